// TREE_CONNECT and TREE_DISCONNECT: attaching the connection to a share (or
// to the built-in IPC$) and detaching it again.
#include "config/qv2_cfg.h"
#include "engine/conn_log.h"
#include "engine/engine.h"
#include "engine/qv2_cache.h"
#include "foundation/qv2_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint32_t {
    PATH_MIN = 2,    // one UTF-16 unit
    PATH_MAX = 1032, // bytes of UTF-16LE
    PATH_CAP = 1032, // bytes of UTF-8 with terminator
    // What every open of a share may do: the read rights (FILE_READ_DATA,
    // FILE_READ_EA, FILE_EXECUTE, FILE_READ_ATTRIBUTES, READ_CONTROL,
    // SYNCHRONIZE). A client shown write rights offers rename and delete.
    DISK_MAXIMAL_ACCESS = 0x001200A9,
    IPC_MAXIMAL_ACCESS = 0x000000FF,
    // Live trees a connection may hold, the same ceiling as its open
    // handles: each costs about 1.2 KB, and without a bound one client could
    // make the server allocate as long as it keeps sending TREE_CONNECTs.
    LIVE_TREES_MAX = 1024,
    SHAREFLAG_ENCRYPT_DATA = 0x00008000,
};

// The share name is what follows the last separator; the server part of a
// \\server\share path is not looked at.
const char *share_part(const char *path) {
    const char *name = path;
    for (const char *p = path; *p; p++)
        if (*p == '\\' || *p == '/') name = p + 1;
    return name;
}

uint32_t live_trees(const qv2_conn *c) {
    uint32_t n = 0;
    for (const qv2_tree *t = c->tree_list; t; t = t->next)
        if (!t->disconnected) n++;
    return n;
}

} // namespace

// Accepts a path whose last component names a configured share or IPC$.
// Refuses: a malformed body or path (INVALID_PARAMETER), no session
// (USER_SESSION_DELETED), an empty share name (OBJECT_NAME_INVALID), an
// unknown share (OBJECT_NOT_FOUND), a share whose access keys keep this
// session out (ACCESS_DENIED, MS-SMB2 3.3.5.7), a connection that already holds
// LIVE_TREES_MAX live trees (INSUFFICIENT_RESOURCES). The new tree belongs to
// the connection.
void cmd_tree_connect(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    uint16_t structure_size = rd_u16(rd);
    rd_skip(rd, 2); // Flags
    uint16_t path_off = rd_u16(rd);
    uint16_t path_len = rd_u16(rd);
    if (structure_size != 9 || rd->bad) {
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_INVALID_PARAMETER);
        return;
    }
    if (!c->sess || !c->sess->valid) {
        qv2_stat_add(QV2_ST_TREE_REFUSED, 1);
        log_tree(c, "", "no_session");
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_USER_SESSION_DELETED);
        return;
    }
    if (path_off < SMB2_HDR_LEN || uint64_t(path_off - SMB2_HDR_LEN) + path_len > rd->size ||
        path_len < PATH_MIN || path_len > PATH_MAX) {
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_INVALID_PARAMETER);
        return;
    }
    char path[PATH_CAP];
    if (qv2_utf16_to_utf8(rd->data + (path_off - SMB2_HDR_LEN), path_len, path, PATH_CAP) < 0) {
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_INVALID_PARAMETER);
        return;
    }
    const char *name = share_part(path);
    if (*name == 0) {
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_OBJECT_NAME_INVALID);
        return;
    }
    qv2_trace(c->conn_id, "tcon", "share='%s' path='%s'\n", name, path);

    int is_ipc = qv2_casecmp(name, "IPC$") == 0;
    qv2_share share{};
    const qv2_session *s = c->sess;
    int found = is_ipc ? 0 : qv2_share_find_for(name, s->log_user, s->guest, &share);
    if (found == QV2_SHARE_REFUSED) {
        qv2_stat_add(QV2_ST_TREE_REFUSED, 1);
        log_tree(c, name, "access");
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_ACCESS_DENIED);
        return;
    }
    if (found != 0) {
        qv2_trace(c->conn_id, "tcon", "find FAILED for '%s'\n", name);
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_OBJECT_NAME_NOT_FOUND);
        qv2_stat_add(QV2_ST_TREE_REFUSED, 1);
        log_tree(c, name, "no_such_share");
        return;
    }

    // The share's encryption key, else the option's: `required` admits only
    // sessions that can seal (MS-SMB2 3.3.5.7), `desired` asks them to.
    qv2_opts o;
    qv2_opts_get(&o);
    int32_t encryption = share.encryption ? share.encryption : o.encryption;
    bool can_seal = c->dialect >= 0x0300 && s->has_cipher_keys;
    if (!is_ipc && encryption == QV2_ENCRYPT_REQUIRED && !can_seal) {
        qv2_stat_add(QV2_ST_TREE_REFUSED, 1);
        log_tree(c, name, "encryption");
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_ACCESS_DENIED);
        return;
    }
    if (live_trees(c) >= LIVE_TREES_MAX) {
        qv2_stat_add(QV2_ST_TREE_REFUSED, 1);
        log_tree(c, name, "limit");
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    qv2_tree *t = static_cast<qv2_tree *>(calloc(1, sizeof *t));
    if (!t) {
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    // Only reachable after 2^24 TREE_CONNECTs on one connection without a
    // LOGOFF: every id is held, and drawing on would never end.
    if (tree_id_draw(c, &t->id) != 0) {
        free(t);
        err_reply(c, r, SMB2_TREE_CONNECT, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    t->sess = c->sess;
    t->encrypt_data = !is_ipc && can_seal && encryption >= QV2_ENCRYPT_DESIRED;
    t->is_ipc = is_ipc;
    if (is_ipc) {
        snprintf(t->name, sizeof t->name, "IPC$");
    } else {
        snprintf(t->name, sizeof t->name, "%.*s", int(QV2_SHARE_NAME_MAX), name);
        t->share = share;
    }
    t->next = c->tree_list;
    c->tree_list = t;
    qv2_stat_add(QV2_ST_TREES, 1);
    log_tree(c, t->name, nullptr);

    qv2_put_le32(rep_hdr(r) + 36, t->id);
    rep_set_status(r, STATUS_SUCCESS);
    w16(&r->buf, 16);
    qv2_buf_byte(&r->buf, 1); // ShareType disk, for IPC$ as well
    qv2_buf_byte(&r->buf, 0);
    // A session that encrypts says so of its shares too (MS-SMB2 2.2.10).
    w32(&r->buf, t->encrypt_data || (c->sess->encrypt_data && !is_ipc)
                     ? uint32_t(SHAREFLAG_ENCRYPT_DATA)
                     : 0u);
    w32(&r->buf, 0); // Capabilities
    w32(&r->buf, is_ipc ? uint32_t(IPC_MAXIMAL_ACCESS) : uint32_t(DISK_MAXIMAL_ACCESS));
}

// Detaches the live tree the request names; nothing else is checked, and a
// TreeId that names no live tree changes nothing. Opens made through the
// tree stay usable: they hold their own copy of the share.
void cmd_tree_disconnect(qv2_conn *c, qv2_reader *, qv2_reply *r) {
    qv2_tree *t = tree_find(c, c->cur_tree_id);
    if (t) {
        qv2_cache_tree_gone(c, t->id);
        t->disconnected = 1;
        qv2_stat_add(QV2_ST_TREES, -1);
        tree_release(c, t);
    }
    w32(&r->buf, 4);
}
