// READ: bytes of a regular file, read afresh from the host for every request.
#include "config/qv2_cfg.h"
#include "engine/engine.h"
#include "files/qv2_fs.h"

namespace {

enum : uint32_t {
    READ_STRUCTURE_SIZE = 49,
    READ_RESPONSE_SIZE = 17,
    DATA_OFFSET = 80,   // the data follows the 16-byte response body header
    READ_PIECE = 65536, // bytes per positional read
    CHANNEL_NONE = 0,
};

struct read_req {
    uint32_t length;
    uint64_t offset;
    uint64_t fid;
    uint32_t minimum; // MinimumCount
    uint32_t channel;
};

// The fields after StructureSize. 0, or -1 when the body is too short.
int read_request(qv2_reader *rd, read_req *q) {
    rd_skip(rd, 1 + 1); // Padding, Flags
    q->length = rd_u32(rd);
    q->offset = rd_u64(rd);
    q->fid = rd_u64(rd);
    rd_skip(rd, 8); // volatile half
    q->minimum = rd_u32(rd);
    q->channel = rd_u32(rd);
    rd_skip(rd, 4 + 2 + 2); // RemainingBytes, ReadChannelInfoOffset and Length
    return rd->bad ? -1 : 0;
}

// Reads up to `length` bytes at `offset` of the regular file at `host` into
// dst, in positional reads of at most 64 KiB, and closes the file again: no
// host handle outlives the request. 0 with the bytes read in *total (fewer at
// the end of the file) and the file's size now in *size, or -1 when the file
// can't be opened (gone, no longer a regular file, or its path now passes
// through a link) or a read fails.
int read_range(const char *host, uint64_t offset, uint32_t length, uint8_t *dst, uint32_t *total,
               uint64_t *size) {
    // The canonical path holds no link; a folder on it swapped for one since
    // CREATE must not lead the read out of the share.
    qv2_fs_info info;
    qv2_file *f = qv2_fs_open_ro_nofollow(host, &info);
    if (!f) return -1;
    *size = info.size;
    uint32_t got = 0;
    while (got < length) {
        uint32_t want = length - got < READ_PIECE ? length - got : uint32_t(READ_PIECE);
        int32_t n = qv2_fs_pread(f, offset + got, dst + got, int32_t(want));
        if (n < 0 || uint32_t(n) > want) {
            qv2_fs_close(f);
            return -1;
        }
        if (n == 0) break; // end of file
        got += uint32_t(n);
    }
    qv2_fs_close(f);
    *total = got;
    return 0;
}

} // namespace

// Answers with up to Length bytes from Offset of the file the open names.
// Refuses a malformed request (INVALID_PARAMETER), a channel
// (NOT_SUPPORTED), a Length above the negotiated MaxReadSize or one its
// CreditCharge does not pay for (INVALID_PARAMETER), an unknown FileId
// (FILE_CLOSED), the pipe (NOT_SUPPORTED), a directory
// (FILE_IS_A_DIRECTORY), a file that can't be opened or read now
// (ACCESS_DENIED, nothing of a partial read is sent), and a read that starts
// at or past the end of the file or finds fewer than MinimumCount bytes
// (END_OF_FILE, MS-SMB2 3.3.5.12): clients read until they are told so.
void cmd_read(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    read_req q{};
    if (rd_u16(rd) != READ_STRUCTURE_SIZE || read_request(rd, &q) != 0) {
        err_reply(c, r, SMB2_READ, STATUS_INVALID_PARAMETER);
        return;
    }
    if (q.channel != CHANNEL_NONE) {
        err_reply(c, r, SMB2_READ, STATUS_NOT_SUPPORTED);
        return;
    }
    if (q.length > c->max_read || !credit_charge_ok(c, q.length)) {
        err_reply(c, r, SMB2_READ, STATUS_INVALID_PARAMETER);
        return;
    }
    qv2_open *o = open_find(c, q.fid);
    if (!o) {
        err_reply(c, r, SMB2_READ, STATUS_FILE_CLOSED);
        return;
    }
    if (o->is_pipe) {
        // The answer to a WRITE on the pipe (the IOCTL transceive needs none).
        pipe_read(c, o, q.length, r);
        return;
    }
    if (o->is_dir) {
        err_reply(c, r, SMB2_READ, STATUS_FILE_IS_A_DIRECTORY);
        return;
    }

    // The data is read straight into the reply, after the body header; room
    // for all of Length is made first, so the buffer doesn't move meanwhile.
    uint64_t body_at = r->buf.len;
    if (buf_reserve(&r->buf, 16 + uint64_t(q.length)) != 0)
        return; // the session loop ends the connection
    w16(&r->buf, READ_RESPONSE_SIZE);
    qv2_buf_byte(&r->buf, DATA_OFFSET);
    qv2_buf_byte(&r->buf, 0); // Reserved
    w32(&r->buf, 0);          // DataLength, set below
    w32(&r->buf, 0);          // DataRemaining
    w32(&r->buf, 0);          // Reserved2
    uint32_t total = 0;
    uint64_t size = 0;
    if (read_range(o->host, q.offset, q.length, r->buf.data + r->buf.len, &total, &size) != 0) {
        err_reply(c, r, SMB2_READ, STATUS_ACCESS_DENIED);
        return;
    }
    // Nothing read means the read began at or past the end (the size tells
    // it for a Length of 0).
    bool at_end = q.length != 0 ? total == 0 : q.offset >= size;
    if (at_end || total < q.minimum) {
        err_reply(c, r, SMB2_READ, STATUS_END_OF_FILE);
        return;
    }
    r->buf.len += total;
    r->buf.data[r->buf.len] = 0;
    qv2_put_le32(r->buf.data + body_at + 4, total);
    qv2_stat_add(QV2_ST_READS, 1);
    qv2_share_stat_add(o->share.name, 0, total);
    o->reads++;
    o->bytes_read += total;
}
