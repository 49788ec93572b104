// CREATE: the access checks of a read-only server, name resolution inside the
// share (and the default data stream), the open handle, the "QFid" and
// "MxAc" create contexts, and the oplock or lease (lease.cpp decides).
#include "config/qv2_cfg.h"
#include "engine/conn_log.h"
#include "engine/engine.h"
#include "engine/qv2_cache.h"
#include "foundation/qv2_trace.h"
#include "files/qv2_vfs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint32_t {
    GENERIC_READ = 0x80000000,
    GENERIC_WRITE = 0x40000000,
    GENERIC_EXECUTE = 0x20000000,
    GENERIC_ALL = 0x10000000,
    MAXIMUM_ALLOWED = 0x02000000,
    // The file rights each generic right stands for (MS-SMB2 2.2.13.1.1).
    GENERIC_READ_RIGHTS = 0x001200A9,
    GENERIC_WRITE_RIGHTS = 0x00120116,
    GENERIC_EXECUTE_RIGHTS = 0x001200A0, // FILE_EXECUTE, READ_ATTRIBUTES, READ_CONTROL, SYNCHRONIZE
    GENERIC_ALL_RIGHTS = 0x001F01FF,
    // FILE_READ_DATA, FILE_READ_EA, FILE_EXECUTE, FILE_READ_ATTRIBUTES,
    // READ_CONTROL, SYNCHRONIZE: everything a reader needs, nothing more.
    // It is also the most any open of a share may have.
    READ_ONLY_RIGHTS = 0x001200A9,
    // What the pipe allows: reading and writing requests and answers.
    PIPE_RIGHTS = GENERIC_READ_RIGHTS | GENERIC_WRITE_RIGHTS,

    FILE_OPEN = 1,
    FILE_OPENED = 1,

    FILE_DIRECTORY_FILE = 0x00000001,
    FILE_WRITE_THROUGH = 0x00000002,
    FILE_NON_DIRECTORY_FILE = 0x00000040,
    FILE_DELETE_ON_CLOSE = 0x00001000,
    FILE_DISALLOW_EXCLUSIVE = 0x00020000,
    FILE_RESERVE_OPFILTER = 0x00100000,

    IMPERSONATION_MAX = 4, // Delegate
    OPEN_CEILING = 1024,   // opens in use, whatever max_handles says
    NAME_LEN_MAX = 2054,   // bytes of UTF-16LE
    NAME_CAP = 2056,       // bytes of UTF-8 with terminator
    VPATH_CAP = 1026,
    PIPE_SIZE = 7168, // what the srvsvc pipe reports as its size

    CREATE_RESPONSE_SIZE = 89,
    CTX_HDR_LEN = 16, // Next, NameOffset, NameLength, Reserved, DataOffset, DataLength
    // The answered contexts fill the response's Buffer, right after its
    // 88 fixed bytes (8-byte aligned there already), as Windows servers put
    // them; Samba's client refuses them anywhere else.
    CTX_AT = SMB2_HDR_LEN + 88,
    QFID_LEN = 56,
    MXAC_LEN = 32,

    // Create contexts this server answers.
    CTX_QFID = 1, // SMB2_CREATE_QUERY_ON_DISK_ID
    CTX_MXAC = 2, // SMB2_CREATE_QUERY_MAXIMAL_ACCESS_REQUEST
    CTX_RQLS = 4, // SMB2_CREATE_REQUEST_LEASE (both versions)
};

// The fixed fields of a CREATE request that the server looks at.
struct create_req {
    uint8_t oplock; // RequestedOplockLevel
    uint32_t impersonation;
    uint32_t access; // as sent; mapped separately
    uint32_t disposition;
    uint32_t options;
    uint16_t name_off;
    uint16_t name_len;
    uint32_t ctx_off;
    uint32_t ctx_len;
};

// 0, or -1 when the body is too short.
int read_request(qv2_reader *rd, create_req *q) {
    rd_skip(rd, 1); // SecurityFlags
    q->oplock = rd->pos < rd->size ? rd->data[rd->pos] : 0;
    rd_skip(rd, 1);
    q->impersonation = rd_u32(rd);
    rd_skip(rd, 8 + 8); // SmbCreateFlags, Reserved
    q->access = rd_u32(rd);
    rd_skip(rd, 4 + 4); // FileAttributes, ShareAccess
    q->disposition = rd_u32(rd);
    q->options = rd_u32(rd);
    q->name_off = rd_u16(rd);
    q->name_len = rd_u16(rd);
    q->ctx_off = rd_u32(rd);
    q->ctx_len = rd_u32(rd);
    return rd->bad ? -1 : 0;
}

// The generic rights become the file rights they stand for; anything that
// could write stays visible and is refused by the caller. MAXIMUM_ALLOWED
// asks for whatever the object allows, `most`.
uint32_t map_generic(uint32_t access, uint32_t most) {
    constexpr struct {
        uint32_t generic, rights;
    } generics[] = {{GENERIC_READ, GENERIC_READ_RIGHTS},
                    {GENERIC_WRITE, GENERIC_WRITE_RIGHTS},
                    {GENERIC_EXECUTE, GENERIC_EXECUTE_RIGHTS},
                    {GENERIC_ALL, GENERIC_ALL_RIGHTS},
                    {MAXIMUM_ALLOWED, 0}};
    for (const auto &g : generics)
        if (access & g.generic) access = (access & ~g.generic) | (g.rights ? g.rights : most);
    return access;
}

// A lease request's data, when the request carries one.
struct lease_data {
    const uint8_t *data = nullptr;
    uint32_t len = 0;
};

// Looks for the contexts this server answers ("QFid", "MxAc", "RqLs") in
// the request's create-context area. -1 when there is no area to walk, else
// the CTX_ bits of those found; a lease request's data (when it lies inside
// the area) goes to *lease.
int find_contexts(const qv2_reader *rd, uint32_t ctx_off, uint32_t ctx_len, lease_data *lease) {
    if (ctx_len < CTX_HDR_LEN || ctx_off == 0) return -1;
    if (ctx_off < SMB2_HDR_LEN || uint64_t(ctx_off - SMB2_HDR_LEN) + ctx_len > rd->size)
        return -1;
    const uint8_t *area = rd->data + (ctx_off - SMB2_HDR_LEN);
    uint64_t pos = 0; // at least CTX_HDR_LEN bytes of the area remain from here
    int found = 0;
    for (;;) {
        uint32_t next = qv2_le32(area + pos);
        uint16_t name_off = qv2_le16(area + pos + 4);
        uint16_t name_len = qv2_le16(area + pos + 6);
        if (name_len == 4) {
            const uint8_t *name = nullptr;
            // Clients put the name right after the context's header, relative
            // to the context; an offset that reaches into the area or beyond
            // is read as counted from the SMB2 header.
            if (name_off < ctx_off) {
                if (pos + name_off + 4 <= ctx_len) name = area + pos + name_off;
            } else if (uint64_t(name_off - SMB2_HDR_LEN) + 4 <= rd->size) {
                name = rd->data + (name_off - SMB2_HDR_LEN);
            }
            if (name && memcmp(name, "QFid", 4) == 0) found |= CTX_QFID;
            if (name && memcmp(name, "MxAc", 4) == 0) found |= CTX_MXAC;
            if (name && memcmp(name, "RqLs", 4) == 0) {
                // DataOffset is relative to the context, as clients send it.
                uint16_t data_off = qv2_le16(area + pos + 10);
                uint32_t data_len = qv2_le32(area + pos + 12);
                if (data_off >= CTX_HDR_LEN && pos + data_off <= ctx_len &&
                    data_len <= ctx_len - (pos + data_off)) {
                    found |= CTX_RQLS;
                    lease->data = area + pos + data_off;
                    lease->len = data_len;
                }
            }
        }
        if (next == 0) return found;
        pos += next;
        if (pos + CTX_HDR_LEN > ctx_len) return found;
    }
}

// The header of one answered context with a 4-byte name; its data follows
// at offset 24.
void put_context_header(qv2_buf *b, const char name[4], uint32_t data_len) {
    w32(b, 0);  // Next, linked by the caller
    w16(b, 16); // NameOffset
    w16(b, 4);  // NameLength
    w16(b, 0);  // Reserved
    w16(b, 24); // DataOffset
    w32(b, data_len);
    qv2_buf_put(b, name, 4);
    w32(b, 0); // padding up to the data
}

// Appends the answered contexts in place of the response's one-byte Buffer
// (at CTX_AT after the reply header), each 8-byte aligned: the maximal
// access (MS-SMB2 2.2.14.2.5), the on-disk id (2.2.14.2.9) and the lease
// granted (2.2.14.2.10, 2.2.14.2.11: `lease_len` bytes, none when 0), and
// fills in the response's context offset and length.
void put_contexts(qv2_conn *c, qv2_reply *r, const qv2_open *o, int which, uint32_t maximal,
                  const uint8_t *lease, uint32_t lease_len) {
    if (r->buf.failed || r->buf.len != r->hdr_off + CTX_AT + 1) return;
    r->buf.len -= 1; // the Buffer placeholder
    uint64_t first = r->buf.len, prev = 0;
    bool any = false;
    auto link = [&](uint64_t at) {
        if (any && !r->buf.failed) qv2_put_le32(r->buf.data + prev, uint32_t(at - prev));
        prev = at;
        any = true;
    };
    if (which & CTX_MXAC) {
        link(r->buf.len);
        put_context_header(&r->buf, "MxAc", 8);
        w32(&r->buf, STATUS_SUCCESS); // QueryStatus
        w32(&r->buf, maximal);
    }
    if (which & CTX_QFID) {
        link(r->buf.len);
        put_context_header(&r->buf, "QFid", 32);
        w64(&r->buf, o->info.ino ? o->info.ino : o->id); // DiskFileId; the pipe has no inode
        uint8_t volume_and_reserved[24] = {};
        qv2_buf_put(&r->buf, volume_and_reserved, sizeof volume_and_reserved);
    }
    if (lease_len > 0) {
        while (r->buf.len % 8 && !r->buf.failed) qv2_buf_byte(&r->buf, 0);
        link(r->buf.len);
        put_context_header(&r->buf, "RqLs", lease_len);
        qv2_buf_put(&r->buf, lease, lease_len);
    }
    if (r->buf.failed || !any || first != r->hdr_off + CTX_AT) return;
    uint8_t *h = r->buf.data + r->hdr_off;
    qv2_put_le32(h + 144, CTX_AT);
    qv2_put_le32(h + 148, uint32_t(r->buf.len - first));
    qv2_trace(c->conn_id, "qfid-out", "ctx_at=%zu bn=%zu\n", size_t(first), size_t(r->buf.len));
}

// The default data stream of a name, as in "a.txt::$DATA", is the file
// itself; any other stream name is one the host can't have.
bool is_default_stream(const char *suffix) {
    return qv2_casecmp(suffix, ":$DATA") == 0;
}

void put_response(qv2_reply *r, const qv2_open *o, uint8_t oplock) {
    const qv2_fs_info &in = o->info;
    uint64_t size = o->is_pipe ? uint64_t(PIPE_SIZE) : in.size;
    uint64_t allocation = o->is_pipe ? uint64_t(PIPE_SIZE) : alloc_size(in.size);
    w16(&r->buf, CREATE_RESPONSE_SIZE);
    qv2_buf_byte(&r->buf, oplock);
    qv2_buf_byte(&r->buf, 0); // Flags
    w32(&r->buf, FILE_OPENED);
    w64(&r->buf, qv2_filetime(in.crtime));
    w64(&r->buf, qv2_filetime(in.atime));
    w64(&r->buf, qv2_filetime(in.mtime));
    w64(&r->buf, qv2_filetime(in.crtime)); // ChangeTime: no separate change time is kept
    w64(&r->buf, allocation);
    w64(&r->buf, size);
    w32(&r->buf, attr_word(in.kind));
    w32(&r->buf, 0);     // Reserved2
    w64(&r->buf, o->id); // FileId, persistent half
    w64(&r->buf, 0);     // volatile half
    w32(&r->buf, 0);     // CreateContextsOffset, set when contexts are answered
    w32(&r->buf, 0);     // CreateContextsLength
    qv2_buf_byte(&r->buf, 0);
}

// Why a name could not be resolved, as the client is told.
uint32_t not_found_status(const qv2_vres &res) {
    return res.missing == QV2_MISSING_LEAF ? STATUS_OBJECT_NAME_NOT_FOUND
                                           : STATUS_OBJECT_PATH_NOT_FOUND;
}

// Resolves a normalised name of a disk tree into res. A last component
// with a stream suffix ("a.txt::$DATA") names the file itself when no host
// object carries that whole name: the default data stream is the only
// stream a file here has. 0, or the status to refuse with.
uint32_t resolve_name(const qv2_tree *tree, const char *vpath, qv2_vres *res) {
    // A missing object and one outside the share look the same to the
    // client; the share namespace counts the escapes.
    if (qv2_vfs_resolve(tree->name, vpath, res) == 0) return 0;
    if (vpath[0] == 0) return STATUS_OBJECT_NAME_NOT_FOUND; // the share itself
    uint32_t status = not_found_status(*res);
    const char *leaf = strrchr(vpath, '/');
    leaf = leaf ? leaf + 1 : vpath;
    const char *colon = strchr(leaf, ':');
    if (!colon || status != STATUS_OBJECT_NAME_NOT_FOUND) return status;

    char file[VPATH_CAP];
    size_t n = size_t(colon - vpath);
    memcpy(file, vpath, n);
    file[n] = 0;
    if (n > 0 && file[n - 1] == '/') file[n - 1] = 0; // ":stream" right after a folder
    if (qv2_vfs_resolve(tree->name, file, res) != 0)
        return file[0] == 0 ? STATUS_OBJECT_NAME_NOT_FOUND : not_found_status(*res);
    // Folders have no data stream; files have no other.
    if (res->kind != QV2_V_FILE || !is_default_stream(colon + 1)) {
        *res = qv2_vres{};
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return 0;
}

} // namespace

// Opens an existing file or directory of the request's tree for reading, or
// the srvsvc pipe on IPC$. Refuses, in this order: a malformed request, any
// disposition but FILE_OPEN, access beyond reading and write-related options
// (disk trees), unsupported options, a bad impersonation level, no session or
// tree, the handle limit, a bad name, a name outside the share or missing
// (OBJECT_NAME_NOT_FOUND when its folder exists, else OBJECT_PATH_NOT_FOUND),
// and a file/directory mismatch with the directory options. Every refusal
// goes through create_error (open_refused +1) and leaves nothing behind. The
// open belongs to the connection until CLOSE, LOGOFF or the connection's end.
void cmd_create(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    create_req q{};
    if (rd_u16(rd) != 57 || read_request(rd, &q) != 0) {
        create_error(c, r, STATUS_INVALID_PARAMETER);
        return;
    }
    qv2_trace(c->conn_id, "create", "access=%08llx opts=%08x disp=%u name_off=%u name_len=%u\n",
                (unsigned long long)q.access, q.options, q.disposition, q.name_off, q.name_len);

    // A tree of another session, or one disconnected, is no tree here
    // (MS-SMB2 3.3.5.2.11).
    qv2_tree *tree = tree_find(c, c->cur_tree_id);
    if (!c->sess || !c->sess->valid || !tree) {
        create_error(c, r, tree ? STATUS_USER_SESSION_DELETED : STATUS_NETWORK_NAME_DELETED);
        return;
    }
    // A name is relative to the share: one that starts at a root is
    // malformed (MS-SMB2 3.3.5.9), whatever else the request asks.
    if (q.name_len >= 2 && q.name_off >= SMB2_HDR_LEN &&
        uint64_t(q.name_off - SMB2_HDR_LEN) + 2 <= rd->size &&
        qv2_le16(rd->data + (q.name_off - SMB2_HDR_LEN)) == '\\') {
        create_error(c, r, STATUS_INVALID_PARAMETER);
        return;
    }
    int is_ipc = tree->is_ipc;
    uint32_t maximal = is_ipc ? uint32_t(PIPE_RIGHTS) : uint32_t(READ_ONLY_RIGHTS);
    uint32_t access = map_generic(q.access, maximal);

    // Nothing is ever created or overwritten, on any tree.
    if (q.disposition != FILE_OPEN) {
        log_write_refused(c, rd, q.name_off, q.name_len, q.access, q.disposition);
        create_error(c, r, STATUS_ACCESS_DENIED);
        return;
    }
    // The pipe is exempt: clients open it for read and write to transact.
    if (!is_ipc && (access & ~READ_ONLY_RIGHTS) != 0) {
        log_write_refused(c, rd, q.name_off, q.name_len, q.access, q.disposition);
        create_error(c, r, STATUS_ACCESS_DENIED);
        return;
    }
    if (!is_ipc && (q.options & (FILE_WRITE_THROUGH | FILE_DELETE_ON_CLOSE)) != 0) {
        log_write_refused(c, rd, q.name_off, q.name_len, q.access, q.disposition);
        create_error(c, r, STATUS_ACCESS_DENIED);
        return;
    }
    if (q.options & (FILE_DISALLOW_EXCLUSIVE | FILE_RESERVE_OPFILTER)) {
        create_error(c, r, STATUS_NOT_SUPPORTED);
        return;
    }
    if (q.impersonation > IMPERSONATION_MAX) {
        create_error(c, r, STATUS_INVALID_PARAMETER);
        return;
    }
    if (c->open_count >= c->opts.max_handles || c->open_count >= int(OPEN_CEILING)) {
        create_error(c, r, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }

    char name[NAME_CAP] = "";
    if (q.name_len != 0) {
        if (q.name_off < SMB2_HDR_LEN ||
            uint64_t(q.name_off - SMB2_HDR_LEN) + q.name_len > rd->size ||
            q.name_len > NAME_LEN_MAX) {
            create_error(c, r, STATUS_INVALID_PARAMETER);
            return;
        }
        if (qv2_utf16_to_utf8(rd->data + (q.name_off - SMB2_HDR_LEN), q.name_len, name,
                              NAME_CAP) < 0) {
            create_error(c, r, STATUS_OBJECT_NAME_INVALID);
            return;
        }
    }

    qv2_vres res{};
    if (is_ipc) {
        // The one pipe; its name is taken as sent, without a leading backslash.
        if (qv2_casecmp(name, "srvsvc") != 0) {
            create_error(c, r, STATUS_OBJECT_NAME_NOT_FOUND);
            return;
        }
    } else {
        char vpath[VPATH_CAP];
        if (qv2_vpath(name, vpath, VPATH_CAP) != 0) {
            qv2_stat_add(QV2_ST_PATH_REFUSED, 1);
            log_open_refused(c, name, "bad_name");
            create_error(c, r, STATUS_OBJECT_NAME_INVALID);
            return;
        }
        uint32_t status = resolve_name(tree, vpath, &res);
        if (status != 0) {
            if (res.outside) log_open_refused(c, vpath, "outside_share");
            create_error(c, r, status);
            return;
        }
        if ((q.options & FILE_DIRECTORY_FILE) && res.kind != QV2_V_DIR) {
            create_error(c, r, STATUS_NOT_A_DIRECTORY);
            return;
        }
        if ((q.options & FILE_NON_DIRECTORY_FILE) && res.kind == QV2_V_DIR) {
            create_error(c, r, STATUS_FILE_IS_A_DIRECTORY);
            return;
        }
    }
    lease_data lease;
    int found = find_contexts(rd, q.ctx_off, q.ctx_len, &lease);
    uint32_t refused = res.kind == QV2_V_FILE
                           ? qv2_lease_check(c, q.oplock, lease.data, lease.len, res.host)
                           : 0;
    if (refused) {
        create_error(c, r, refused);
        return;
    }

    qv2_open *o = static_cast<qv2_open *>(calloc(1, sizeof *o));
    if (!o) {
        create_error(c, r, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    o->in_use = 1;
    o->sess = c->sess;
    o->encrypt_data = tree->encrypt_data;
    c->open_count++;
    c->next_id++;
    o->id = c->next_id * 16 + 1;
    o->next = c->open_list;
    c->open_list = o;
    qv2_trace(c->conn_id, "create-new", "fid=%llx\n", (unsigned long long)o->id);
    snprintf(o->share_name, sizeof o->share_name, "%.*s", int(QV2_SHARE_NAME_MAX), tree->name);
    o->share = tree->share;
    o->is_pipe = is_ipc;
    o->access = access;
    if (is_ipc) {
        snprintf(o->name, sizeof o->name, "srvsvc");
    } else {
        memcpy(o->host, res.host, sizeof o->host);
        o->host[sizeof o->host - 1] = 0;
        memcpy(o->name, res.rel, sizeof o->name);
        o->name[sizeof o->name - 1] = 0;
        o->info = res.info;
        o->is_dir = res.kind == QV2_V_DIR;
    }

    qv2_stat_add(QV2_ST_OPENS, 1);
    qv2_share_stat_add(is_ipc ? "IPC$" : tree->share.name, 1, 0);
    uint8_t granted[QV2_LEASE_CTX_V2];
    uint32_t granted_len = 0;
    uint8_t oplock = qv2_lease_grant(c, o, q.oplock, lease.data, lease.len, granted, &granted_len);
    rep_set_status(r, STATUS_SUCCESS);
    put_response(r, o, oplock);
    c->last_create_fid = o->id;

    // "QFid", "MxAc" and a lease are answered; durable handles and anything
    // else are ignored, and a malformed area leaves the open as it is.
    if (found >= 0) qv2_trace(c->conn_id, "qfid", "walk done has=%d cctx_n=%u ctx_body=%zu\n", found, q.ctx_len,
                size_t(q.ctx_off - SMB2_HDR_LEN));
    if ((found > 0 && (found & ~CTX_RQLS)) || granted_len > 0)
        put_contexts(c, r, o, found > 0 ? found : 0, maximal, granted, granted_len);
}
