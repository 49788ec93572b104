// QUERY_INFO for security information: every object of a read-only share
// has the same fixed descriptor, so that Explorer's Security tab, icacls and
// robocopy /SEC see what they may do (read) instead of an error.
#include "engine/engine.h"

namespace {

enum : uint32_t {
    OWNER_SECURITY_INFORMATION = 0x1,
    GROUP_SECURITY_INFORMATION = 0x2,
    DACL_SECURITY_INFORMATION = 0x4,
    SACL_SECURITY_INFORMATION = 0x8,
    READ_CONTROL = 0x00020000,
    // What everyone may do: FILE_READ_DATA, FILE_READ_EA, FILE_EXECUTE,
    // FILE_READ_ATTRIBUTES, READ_CONTROL, SYNCHRONIZE.
    EVERYONE_RIGHTS = 0x001200A9,

    SE_DACL_PRESENT = 0x0004,
    SE_SELF_RELATIVE = 0x8000,
    SD_HEADER_LEN = 20,
    ACL_REVISION = 2,
    ACCESS_ALLOWED_ACE_TYPE = 0,
};

// BUILTIN\Administrators (S-1-5-32-544) owns everything; Everyone is S-1-1-0.
constexpr uint8_t kAdministrators[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
constexpr uint8_t kEveryone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
constexpr uint32_t kAceLen = 8 + sizeof kEveryone;
constexpr uint32_t kAclLen = 8 + kAceLen;

// The self-relative descriptor (MS-DTYP 2.4.6) holding the parts asked for:
// owner and group Administrators, a DACL with one ACE granting Everyone the
// read rights. No SACL is ever held.
void build_descriptor(uint32_t parts, qv2_buf *b) {
    bool owner = parts & OWNER_SECURITY_INFORMATION;
    bool group = parts & GROUP_SECURITY_INFORMATION;
    bool dacl = parts & DACL_SECURITY_INFORMATION;
    uint32_t at = SD_HEADER_LEN;
    uint32_t owner_at = owner ? at : 0;
    at += owner ? sizeof kAdministrators : 0;
    uint32_t group_at = group ? at : 0;
    at += group ? sizeof kAdministrators : 0;
    uint32_t dacl_at = dacl ? at : 0;

    qv2_buf_byte(b, 1); // Revision
    qv2_buf_byte(b, 0); // Sbz1
    w16(b, uint16_t(SE_SELF_RELATIVE | (dacl ? uint32_t(SE_DACL_PRESENT) : 0u)));
    w32(b, owner_at);
    w32(b, group_at);
    w32(b, 0); // OffsetSacl
    w32(b, dacl_at);
    if (owner) qv2_buf_put(b, kAdministrators, sizeof kAdministrators);
    if (group) qv2_buf_put(b, kAdministrators, sizeof kAdministrators);
    if (dacl) {
        qv2_buf_byte(b, ACL_REVISION);
        qv2_buf_byte(b, 0); // Sbz1
        w16(b, uint16_t(kAclLen));
        w16(b, 1); // AceCount
        w16(b, 0); // Sbz2
        qv2_buf_byte(b, ACCESS_ALLOWED_ACE_TYPE);
        qv2_buf_byte(b, 0); // AceFlags
        w16(b, uint16_t(kAceLen));
        w32(b, EVERYONE_RIGHTS);
        qv2_buf_put(b, kEveryone, sizeof kEveryone);
    }
}

} // namespace

// Refuses the SACL (no open here can hold ACCESS_SYSTEM_SECURITY) and the
// other parts to an open without READ_CONTROL, with ACCESS_DENIED. A
// descriptor longer than OutputBufferLength is not cut: the client gets
// BUFFER_TOO_SMALL and, as ErrorData, the length it needs (MS-SMB2
// 3.3.5.20.3).
void query_security(qv2_conn *c, qv2_reply *r, const qv2_open *o, uint32_t additional,
                    uint32_t out_cap) {
    uint32_t parts = additional & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION);
    if ((additional & SACL_SECURITY_INFORMATION) || (parts && !(o->access & READ_CONTROL))) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_ACCESS_DENIED);
        return;
    }
    uint64_t body_at = qi_answer_begin(r);
    uint64_t answer_at = r->buf.len;
    build_descriptor(parts, &r->buf);
    if (r->buf.failed) return; // the session loop drops the reply and the connection
    uint32_t need = uint32_t(r->buf.len - answer_at);
    if (out_cap < need) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_BUFFER_TOO_SMALL);
        uint8_t needed[4];
        qv2_put_le32(needed, need);
        rep_error_data(r, needed, sizeof needed);
        return;
    }
    qv2_put_le32(r->buf.data + body_at + 4, need);
}
