// CLOSE: ends an open handle, answering with what was known of the object
// when it was opened.
#include "engine/engine.h"

// Accepts the FileId of an open in use of the request's session, whatever
// its volatile half or tree. Refuses a short body or a wrong StructureSize
// (INVALID_PARAMETER) and an unknown FileId, or another session's
// (FILE_CLOSED). The open is freed; its FileId is never reused.
void cmd_close(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t structure_size = rd_u16(rd);
    rd_skip(rd, 2 + 4); // Flags, Reserved
    uint64_t fid = rd_u64(rd);
    if (structure_size != 24 || rd->bad) {
        err_reply(c, r, SMB2_CLOSE, STATUS_INVALID_PARAMETER);
        return;
    }
    qv2_open *o = open_find(c, fid);
    if (!o) {
        err_reply(c, r, SMB2_CLOSE, STATUS_FILE_CLOSED);
        return;
    }
    // Flags stays 0, so a client does not take the values below as valid;
    // in this body FileAttributes comes before the two sizes.
    const qv2_fs_info &in = o->info;
    rep_set_status(r, STATUS_SUCCESS);
    w16(&r->buf, 60);
    w16(&r->buf, 0); // Flags
    w32(&r->buf, 0); // Reserved
    w64(&r->buf, qv2_filetime(in.crtime));
    w64(&r->buf, qv2_filetime(in.atime));
    w64(&r->buf, qv2_filetime(in.mtime));
    w64(&r->buf, qv2_filetime(in.crtime)); // ChangeTime: no separate change time is kept
    w32(&r->buf, attr_word(in.kind));
    w64(&r->buf, alloc_size(in.size));
    w64(&r->buf, in.size);
    open_close(c, o);
}
