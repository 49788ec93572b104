// QUERY_DIRECTORY: pages through a directory listing that is taken once per
// open handle and kept there, writing the entries in six information classes.
#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "foundation/qv2_trace.h"
#include "files/qv2_vfs.h"

#include <cstdio>
#include <cstring>

namespace {

enum : uint32_t {
    QD_STRUCTURE_SIZE = 33,
    QD_RESPONSE_SIZE = 9,
    OUTPUT_OFFSET = 72, // right after the 8-byte response body header

    RESTART_SCANS = 0x01,
    RETURN_SINGLE_ENTRY = 0x02,
    INDEX_SPECIFIED = 0x04,
    REOPEN = 0x10,

    // Without a client limit a reply stops once it holds this much; with one,
    // too, so no client can make a reply grow past QD_REPLY_MAX.
    REPLY_CAP = 1048576,
    NAME16_CAP = 1024, // UTF-16LE bytes of one entry name
    ENTRY_MAX = 104 + NAME16_CAP, // the largest layout's fixed part, and the name
    PATTERN_UTF8_CAP = 515,
};

enum : uint8_t {
    FILE_DIRECTORY_INFORMATION = 1,
    FILE_FULL_DIRECTORY_INFORMATION = 2,
    FILE_BOTH_DIRECTORY_INFORMATION = 3,
    FILE_NAMES_INFORMATION = 12,
    FILE_ID_BOTH_DIRECTORY_INFORMATION = 37,
    FILE_ID_FULL_DIRECTORY_INFORMATION = 38,
};

// Bytes before the name in an entry of the class; 0 for a class not served.
uint32_t fixed_size(uint8_t cls) {
    switch (cls) {
    case FILE_DIRECTORY_INFORMATION:
        return 64;
    case FILE_FULL_DIRECTORY_INFORMATION:
        return 68;
    case FILE_BOTH_DIRECTORY_INFORMATION:
        return 94;
    case FILE_NAMES_INFORMATION:
        return 12;
    case FILE_ID_BOTH_DIRECTORY_INFORMATION:
        return 104;
    case FILE_ID_FULL_DIRECTORY_INFORMATION:
        return 80;
    default:
        return 0;
    }
}

struct qd_req {
    uint8_t cls;
    uint8_t flags;
    uint32_t file_index;
    uint64_t fid;
    uint16_t name_off;
    uint16_t name_len;
    uint32_t out_cap; // 0: no client limit
};

// The fields after StructureSize. 0, or -1 when the body is too short.
int read_request(qv2_reader *rd, qd_req *q) {
    uint16_t cls_flags = rd_u16(rd);
    q->cls = uint8_t(cls_flags & 0xFF);
    q->flags = uint8_t(cls_flags >> 8);
    q->file_index = rd_u32(rd);
    q->fid = rd_u64(rd);
    rd_skip(rd, 8); // volatile half
    q->name_off = rd_u16(rd);
    q->name_len = rd_u16(rd);
    q->out_cap = rd_u32(rd);
    return rd->bad ? -1 : 0;
}

// Writes one entry at p with NextEntryOffset 0, followed by zero bytes up to
// `padded` (its length rounded up to a multiple of 8).
void put_entry(uint8_t *p, uint8_t cls, uint32_t file_index, const qv2_vent &e,
               const uint8_t *name16, int32_t name16_len, uint64_t padded) {
    memset(p, 0, padded);
    qv2_put_le32(p + 4, file_index);
    uint32_t fixed = fixed_size(cls);
    if (cls == FILE_NAMES_INFORMATION) {
        qv2_put_le32(p + 8, uint32_t(name16_len));
    } else {
        // Unlike CREATE and QUERY_INFO, a listing reports the last write
        // time as CreationTime and the creation time as ChangeTime.
        qv2_put_le64(p + 8, qv2_filetime(e.mtime));
        qv2_put_le64(p + 16, qv2_filetime(e.atime));
        qv2_put_le64(p + 24, qv2_filetime(e.mtime));
        qv2_put_le64(p + 32, qv2_filetime(e.crtime));
        qv2_put_le64(p + 40, e.size);
        qv2_put_le64(p + 48, alloc_size(e.size));
        qv2_put_le32(p + 56, attr_word(e.target_kind));
        qv2_put_le32(p + 60, uint32_t(name16_len));
        // EaSize (64), the reserved fields and a missing short name stay zero.
        if (cls == FILE_BOTH_DIRECTORY_INFORMATION || cls == FILE_ID_BOTH_DIRECTORY_INFORMATION) {
            p[68] = uint8_t(qv2_short_name(e.name, p + 70));
            if (cls == FILE_ID_BOTH_DIRECTORY_INFORMATION) qv2_put_le64(p + 96, e.ino);
        } else if (cls == FILE_ID_FULL_DIRECTORY_INFORMATION) {
            qv2_put_le64(p + 72, e.ino);
        }
    }
    memcpy(p + fixed, name16, size_t(name16_len));
}

void drop_listing(qv2_open *o) {
    if (o->has_listing) qv2_vfs_free(o->listing, o->listing_count);
    o->has_listing = 0;
    o->listing = nullptr;
    o->listing_count = 0;
    o->cursor = 0;
}

// Entries all listings of a connection may hold together: four whole
// listings (about 40 MB). Without it, 1024 handles on a folder of 100,000
// names would hold gigabytes for one client.
constexpr int64_t HELD_ENTRIES_MAX = 4 * int64_t(QV2_LISTING_MAX);

int64_t entries_held(const qv2_conn *c) {
    int64_t n = 0;
    for (const qv2_open *o = c->open_list; o; o = o->next)
        if (o->has_listing) n += o->listing_count;
    return n;
}

// Takes a fresh snapshot of the open directory. Links are judged against the
// share as it was at TREE_CONNECT. 0; -1 when the folder can't be listed, -2
// when the listing would pass the connection's budget (no listing held).
int make_listing(qv2_conn *c, qv2_open *o, const char *pattern, uint8_t cls) {
    drop_listing(o);
    qv2_vres res{};
    res.kind = QV2_V_DIR;
    memcpy(res.host, o->host, sizeof res.host);
    res.share = o->share;
    qv2_vent *entries = nullptr;
    int32_t count = 0;
    if (qv2_vfs_list(&res, &entries, &count) != 0) return -1;
    if (entries_held(c) + count > HELD_ENTRIES_MAX) {
        qv2_vfs_free(entries, count);
        return -2;
    }
    o->listing = entries;
    o->listing_count = count;
    o->has_listing = 1;
    o->cursor = 0;
    o->listing_class = cls;
    // The whole pattern is kept (it always fits), so that a continued query
    // with the same pattern is recognised as such.
    snprintf(o->pattern, sizeof o->pattern, "%s", pattern);
    return 0;
}

// The end of a listing: STATUS_NO_MORE_FILES is an error response, so it
// carries the error body (a body read as a listing would put 72 where the
// error's context count belongs). The listing stays held.
void no_more_files(qv2_reply *r) {
    qv2_stat_add(QV2_ST_LISTINGS_SENT, 1);
    rep_set_status(r, STATUS_NO_MORE_FILES);
    rep_error_body(&r->buf);
}

static_assert(REPLY_CAP + ENTRY_MAX <= QD_REPLY_MAX, "a listing stays within its budget");

} // namespace

// Answers from the listing held in a directory open, taking one on the first
// request and on SMB2_RESTART_SCANS or SMB2_REOPEN. Refuses a malformed
// request or pattern and a continued query whose class or pattern differs
// (INVALID_PARAMETER; the listing is dropped), a class not served
// (INVALID_INFO_CLASS), an unknown FileId (FILE_CLOSED), the pipe
// (NOT_SUPPORTED), a file (NOT_A_DIRECTORY) and a directory that can't be
// listed (ACCESS_DENIED). Entries that don't fit OutputBufferLength stay for
// the next request; once the listing is used up every further request gets
// STATUS_NO_MORE_FILES until a restart.
void cmd_query_directory(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    qd_req q{};
    if (rd_u16(rd) != QD_STRUCTURE_SIZE || read_request(rd, &q) != 0) {
        err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_INVALID_PARAMETER);
        return;
    }
    qv2_trace(c->conn_id, "qd", "cls=%u flags=%u fid=%llx out_cap=%u fo_off=%u fo_len=%u\n",
                unsigned(q.cls), unsigned(q.flags), (unsigned long long)q.fid, q.out_cap,
                q.name_off, q.name_len);
    if (!credit_charge_ok(c, q.out_cap)) {
        err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_INVALID_PARAMETER);
        return;
    }
    uint32_t fixed = fixed_size(q.cls);
    if (fixed == 0) {
        err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_INVALID_INFO_CLASS);
        return;
    }
    qv2_open *o = open_find(c, q.fid);
    if (!o) {
        err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_FILE_CLOSED);
        return;
    }
    if (o->is_pipe) {
        err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_NOT_SUPPORTED);
        return;
    }
    if (!o->is_dir) {
        err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_NOT_A_DIRECTORY);
        return;
    }

    // An absent pattern, or an empty one, lists everything.
    char pattern[PATTERN_UTF8_CAP] = "*";
    bool in_message =
        q.name_off >= SMB2_HDR_LEN && uint64_t(q.name_off - SMB2_HDR_LEN) + q.name_len <= rd->size;
    if (q.name_len != 0) {
        if (!in_message || qv2_utf16_to_utf8(rd->data + (q.name_off - SMB2_HDR_LEN), q.name_len,
                                             pattern, PATTERN_UTF8_CAP) < 0) {
            err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_INVALID_PARAMETER);
            return;
        }
        if (pattern[0] == 0) snprintf(pattern, sizeof pattern, "*");
    }
    if (qv2_pat_check(pattern) != 0) {
        err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_INVALID_PARAMETER);
        return;
    }

    bool fresh = !o->has_listing || (q.flags & (RESTART_SCANS | REOPEN));
    if (fresh) {
        // SMB2_INDEX_SPECIFIED has no meaning for a listing not yet taken.
        int rc = make_listing(c, o, pattern, q.cls);
        if (rc != 0) {
            err_reply(c, r, SMB2_QUERY_DIRECTORY,
                      rc == -2 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_ACCESS_DENIED);
            return;
        }
    } else {
        if (int32_t(q.cls) != o->listing_class || strcmp(pattern, o->pattern) != 0) {
            drop_listing(o);
            err_reply(c, r, SMB2_QUERY_DIRECTORY, STATUS_INVALID_PARAMETER);
            return;
        }
        // FileIndex is the index the client saw last, so the entry after it
        // comes next. Any index past the listing just ends it.
        if (q.flags & INDEX_SPECIFIED)
            o->cursor = q.file_index < uint32_t(o->listing_count) ? int32_t(q.file_index)
                                                                  : o->listing_count;
    }
    if (o->cursor >= o->listing_count) {
        no_more_files(r);
        return;
    }

    // Entries go straight into the reply after the 8-byte body header.
    uint64_t body_at = r->buf.len;
    w16(&r->buf, QD_RESPONSE_SIZE);
    w16(&r->buf, OUTPUT_OFFSET);
    w32(&r->buf, 0); // OutputBufferLength, set below
    uint64_t out_at = r->buf.len;
    uint64_t prev_at = 0;
    bool any = false;
    uint8_t name16[NAME16_CAP];
    while (o->cursor < o->listing_count && !r->buf.failed) {
        const qv2_vent &e = o->listing[o->cursor];
        int32_t name16_len = 0;
        if (!qv2_glob_match(pattern, e.name) ||
            qv2_utf8_to_utf16le(e.name, name16, NAME16_CAP, &name16_len) != 0) {
            o->cursor++;
            continue;
        }
        uint64_t padded = (uint64_t(fixed) + uint64_t(name16_len) + 7) & ~uint64_t(7);
        uint64_t out_len = r->buf.len - out_at;
        if (q.out_cap != 0 && out_len + padded > q.out_cap) break;
        if (buf_reserve(&r->buf, padded) != 0) break;
        uint64_t at = r->buf.len;
        put_entry(r->buf.data + at, q.cls, uint32_t(o->cursor) + 1, e, name16, name16_len, padded);
        r->buf.len += padded;
        r->buf.data[r->buf.len] = 0;
        if (any) qv2_put_le32(r->buf.data + prev_at, uint32_t(at - prev_at));
        prev_at = at;
        any = true;
        o->cursor++;
        if ((q.flags & RETURN_SINGLE_ENTRY) || r->buf.len - out_at > REPLY_CAP) break;
    }
    if (r->buf.failed) return; // the session loop drops the reply and the connection

    if (!any && o->cursor >= o->listing_count) {
        // Only entries the pattern skipped were left.
        r->buf.len = body_at;
        r->buf.data[body_at] = 0;
        no_more_files(r);
        return;
    }
    qv2_stat_add(QV2_ST_LISTINGS_SENT, 1);
    // Even when not one entry fitted the client's limit, the answer is
    // SUCCESS with an empty buffer; the cursor stays where it was.
    qv2_put_le32(r->buf.data + body_at + 4, uint32_t(r->buf.len - out_at));
}
