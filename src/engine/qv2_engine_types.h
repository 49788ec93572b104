// SMB2 engine records: the transport, per-connection state, trees, opens,
// the request reader and the reply builder; NT status and command numbers.
#pragma once

#include "config/qv2_cfg_types.h"
#include "engine/qv2_cache_types.h"
#include "files/qv2_fs_types.h"
#include "security/qv2_smb3_crypto_types.h"

// The transport a connection runs over, built and owned by the caller
// (a TCP socket, or the simulation's in-memory script).
struct qv2_io {
    void *user; // passed unchanged to every callback
    // Writes all len bytes: 0 done, anything else failure.
    int (*write)(void *user, const uint8_t *data, int len);
    // Waits at most timeout_ms: bytes read (1..max), 0 nothing more will
    // come, -2 time-out with nothing read, -3 woken (see `wake`) with nothing
    // read, -1 error.
    int (*read)(void *user, uint8_t *buf, int max, int timeout_ms);
    // Optional: told of every whole message, ">>" received, "<<" sent.
    void (*log)(void *user, const char *dir, const uint8_t *data, int len);
    // Optional: writes all of head and then all of body, as two write calls
    // would, but as one piece: a socket then sends a reply and its 4-byte
    // session-service header in one system call and one segment. 0 done,
    // anything else failure. Without it the engine calls write twice.
    int (*write_pair)(void *user, const uint8_t *head, int hlen, const uint8_t *body,
                      int blen) = nullptr;
    // Optional: fills out with n unpredictable bytes; 0 done, anything else
    // failure. A network connection has it, and then every NTLM challenge is
    // fresh; without it (the simulation) challenges are derived from the
    // server name and the time, so that transcripts repeat.
    int (*random)(void *user, uint8_t *out, int n) = nullptr;
    // Optional: told once, when the connection's first logon succeeds (a
    // listener may close connections that never log on to make room).
    void (*logged_on)(void *user) = nullptr;
    // Optional: whether the transport ended the connection itself to make
    // room for another (asked once, at the end, for the log).
    int (*evicted)(void *user) = nullptr;
    // Optional: makes the read in progress, or the next one, return -3 at
    // once. Called from other threads (the host watcher's), never blocks,
    // and stays callable until the connection's qv2_sess_run returns. A
    // transport that has it gets server-initiated messages (oplock and
    // lease breaks) as soon as they are due, and is offered caching; one
    // without it (the simulation) gets what is due whenever its loop looks.
    void (*wake)(void *user) = nullptr;
};

// The NTLM exchange between our CHALLENGE and the client's AUTHENTICATE:
// what the MICs of the AUTHENTICATE and of SPNEGO are computed over. Heap
// allocated while the exchange lasts. A NEGOTIATE or MechTypeList too long
// to keep counts as absent, so a MIC over it can't verify.
enum : uint32_t {
    QV2_AUTH_NEGOTIATE_MAX = 1024, // real NEGOTIATE messages are about 40 bytes
    QV2_AUTH_CHALLENGE_MAX = 512,  // ours: at most 432 with a 60-character name
    QV2_AUTH_MECH_TYPES_MAX = 512, // Windows lists four mechanisms in about 50 bytes
};
struct qv2_auth_state {
    uint32_t offered; // NegotiateFlags of our CHALLENGE
    uint32_t negotiate_len;
    uint32_t challenge_len;
    uint32_t mech_types_len;
    uint8_t negotiate[QV2_AUTH_NEGOTIATE_MAX];
    uint8_t challenge[QV2_AUTH_CHALLENGE_MAX];
    uint8_t mech_types[QV2_AUTH_MECH_TYPES_MAX];
};

// Tree ids that stay taken after their trees were freed (private to handles.cpp).
struct qv2_id_set;

struct qv2_session;

// One tree connect.
struct qv2_tree {
    uint32_t id; // 24 bits used
    int disconnected;
    qv2_session *sess; // the session that connected it; a tree never outlives it
    int encrypt_data;  // TreeConnect.EncryptData: its requests must come sealed
    char name[QV2_SHARE_NAME_MAX + 1]; // "IPC$" or the share name as the client wrote it
    int is_ipc;
    qv2_share share; // copy taken at connect time; empty for IPC$
    qv2_tree *next;
};

enum : int { QV2_PATTERN_CAP = 513 };

// One open handle.
struct qv2_open {
    uint64_t id; // persistent half of the FileId; the volatile half is 0
    int in_use;
    qv2_session *sess; // the session that opened it; an open never outlives it
    int encrypt_data;  // its tree takes only sealed requests: its breaks go sealed too
    int is_dir;
    int is_pipe;
    char host[QV2_HOST_PATH_CAP];            // canonical host path; empty for the pipe
    // The share-relative path as the host spells it ('/' between components;
    // empty for the share's root), or "srvsvc" for the pipe.
    char name[QV2_REL_PATH_CAP];
    uint32_t access;                         // the access granted at CREATE
    char share_name[QV2_SHARE_NAME_MAX + 1]; // the tree's name
    qv2_share share;                         // the tree's copy of the share entry
    qv2_fs_info info;                        // stat taken at open time; zero for the pipe
    int has_listing;
    qv2_vent *listing;
    int32_t listing_count;
    int32_t cursor; // next entry QUERY_DIRECTORY examines
    char pattern[QV2_PATTERN_CAP];
    int32_t listing_class;
    qv2_buf pipe_out; // the pipe's answer to the last WRITE, not yet READ
    qv2_open *next;
    // For the access log's close line: what was read through this open.
    uint64_t bytes_read;
    uint32_t reads;
};

struct qv2_reply;

// A reply's final signature, recorded for the session loop to compute: the
// MAC over bytes [hdr_off, hdr_off + len) of the reply, with `key`.
struct qv2_sign_job {
    int pending;
    uint64_t hdr_off;
    uint64_t len;
    uint8_t key[16];
};

// One session of a connection (MS-SMB2 3.3.1.8): its logon, identity and
// key. Trees and opens name their session; LOGOFF, a failed logon and the
// connection's end free them with it. Allocated zero-filled by
// session_create (sessions.cpp).
struct qv2_session {
    uint64_t id;
    // The logon has completed (Session.State Valid). Until then the session
    // only carries the NTLM exchange in progress and is good for nothing else.
    int valid;
    int guest; // a guest's session: it has no key, and never signs
    // Set by a user logon when either side required signing; every request
    // on the session but the few that can't be signed must then be.
    int must_sign;
    // The client asked for signing, at NEGOTIATE or in this session's
    // SESSION_SETUP: a guest logon is then refused.
    int client_sign_required;
    uint8_t signing_key[16];
    uint8_t challenge[8];
    // A CHALLENGE with `challenge` was sent and no AUTHENTICATE has used it
    // yet: each challenge answers one AUTHENTICATE only.
    int challenge_live;
    qv2_auth_state *auth; // the exchange in progress, or null
    uint64_t started_ms;  // its logon (or re-authentication) began: the deadline runs from here
    char log_user[QV2_USER_NAME_MAX + 1]; // the configured user; empty for a guest
    // SMB 3 (smb3_session.cpp). signing_key above is then the derived one.
    uint8_t preauth[64];  // 3.1.1: the session's preauth integrity hash while it logs on
    int has_cipher_keys;  // seal and open are keyed
    qv2_aead_ctx seal;    // what the server sends
    qv2_aead_ctx open;    // what it receives
    uint64_t nonce_next;  // the next sealed message's nonce: never used twice under a key
    // Session.EncryptData: its requests must come encrypted, and its replies
    // go encrypted.
    int encrypt_data;
    qv2_session *next;
};

// Everything the engine knows about one connection and its sessions.
// Allocated zero-filled by qv2_sess_run and freed at its end.
struct qv2_conn {
    qv2_io *io;
    void *io_user;
    char peer_text[64];
    int conn_id;
    qv2_opts opts; // refreshed after every message
    uint8_t *rx;
    uint64_t rx_cap;
    // The reply builder's storage, kept from one message to the next (up to
    // what a 64 KiB READ needs) so that a stream of READs reuses one buffer;
    // given back once the connection waits idle.
    qv2_buf reply_store;
    qv2_buf reply_store2; // the same for a second reply built while the first waits
    // Bytes read ahead of the current message, so that a client's queued
    // requests cost one read, and the loop can see that the next request is
    // already here. Allocated while the connection is busy.
    uint8_t *in;
    uint32_t in_pos;
    uint32_t in_end;
    // Set by the session loop around frame_in when it may answer two
    // messages together: the reply's final signature then goes into sign_job
    // instead of being computed, so that two replies are signed side by side.
    int defer_sign;
    qv2_sign_job sign_job;
    // A finished reply held back while the next message is answered. Sent
    // (signed first) before any other byte goes out: see send_frame.
    qv2_reply *held;
    qv2_sign_job held_job;
    int held_send;
    uint64_t last_active_ms;
    uint64_t started_ms;  // when the connection began: the logon deadline runs from here
    int logged_on;        // a SESSION_SETUP has succeeded on this connection
    int closing; // end the connection after the current message
    // negotiation
    int negotiated;
    int dialect;
    int client_sign_required;
    // Multi-credit requests (MS-SMB2 Connection.SupportsMultiCredit): set at
    // 2.1 whatever the client's capability bits say, and announced as
    // CAP_LARGE_MTU.
    int large_mtu;
    uint64_t max_read;
    uint64_t max_write;
    uint64_t server_guid_seed;
    // SMB 3: what the client's NEGOTIATE said (VALIDATE_NEGOTIATE_INFO
    // compares it) and what was agreed.
    uint32_t client_caps;
    uint16_t client_security_mode;
    uint8_t client_guid[16];
    uint32_t server_caps;  // the Capabilities our NEGOTIATE response announced
    uint16_t cipher;       // the encryption cipher; 0: none
    uint16_t signing_algo; // SIGN_AES_CMAC or SIGN_AES_GMAC at 3.x
    uint8_t preauth[64];   // 3.1.1: Connection.PreauthIntegrityHashValue
    // framing
    uint64_t last_mid;
    uint64_t cur_mid;
    uint16_t cur_charge; // CreditCharge of the request being handled
    int cur_signed;      // the request being handled is signed, and so is its reply
    uint64_t cur_sid;    // SessionId of the request being handled (related: inherited)
    const uint8_t *cur_req; // the request being handled, from its header to the next one's
    uint64_t cur_req_len;
    // Credits granted and not yet spent by a request (MS-SMB2 3.3.1.2).
    uint32_t credits_out;
    // sessions
    int sign_required; // our NEGOTIATE announced signing as required
    qv2_session *sessions;
    int session_count; // in the list, logons in progress included
    uint32_t sessions_made; // ever created here: tells SessionIds apart
    // The session the current request names, when the connection has it
    // (valid or not); null otherwise. Set by the dispatcher for each command.
    qv2_session *sess;
    // A challenge sent before any session existed (in a NEGOTIATE response),
    // kept for the first new session; not in the table.
    qv2_session *nego_sess;
    // The session whose key opened the message being answered: its replies
    // go out sealed with it (send_frame). A session that ends meanwhile
    // (LOGOFF) waits in `retired` until the reply is sent.
    qv2_session *enc_sess;
    qv2_session *retired;
    // Failed logons since the last that succeeded. A failed logon's session
    // is gone, so the count belongs to the connection; it ends the
    // connection only while no other session is valid on it.
    int login_failures;
    // trees and opens
    qv2_tree *tree_list;
    qv2_open *open_list;
    int open_count;
    uint64_t next_id;
    qv2_id_set *freed_tree_ids; // ids of disconnected trees already freed (handles.cpp)
    uint64_t last_create_fid;
    uint32_t cur_tree_id;
    uint64_t ioctl_fid_volatile;
    // compound state
    int in_compound;
    int chain_err_pending;
    int chain_err;
    int trace;
    // What the access log says about the connection (conn_log.cpp).
    uint64_t log_id;    // its number in the log's lines
    uint64_t bytes_out; // reply bytes sent, without session-service headers
    // Leases, oplocks, folder watches and waiting CHANGE_NOTIFY requests.
    qv2_cache cache;
};

// Little-endian request body reader with a sticky `bad` flag: a read past
// `size` takes what remains, sets `bad`, and the handler tests it once.
struct qv2_reader {
    const uint8_t *data;
    uint64_t size;
    uint64_t pos;
    int bad;
};

// The reply of one message (a compound of headers and bodies).
struct qv2_reply {
    qv2_buf buf;
    uint64_t hdr_off;     // offset of the current command's reply header
    uint32_t last_status; // status of the last error chained into a compound
};

enum : int { SMB2_HDR_LEN = 64 };

// What the dispatcher reads from one 64-byte request header.
struct qv2_hdr {
    uint32_t command; // low byte of the Command field; the high byte is ignored
    uint16_t credit_charge;
    uint16_t credit_request;
    uint32_t flags;
    uint32_t next_command;
    uint64_t message_id;
    uint32_t tree_id;
    uint64_t session_id;
    uint64_t sig_pos; // offset of the Signature field from the header start
    int is_signed;    // Flags has SMB2_FLAG_SIGNED
};

// Header flags.
enum : uint32_t {
    SMB2_FLAG_RESPONSE = 0x00000001,
    SMB2_FLAG_RELATED = 0x00000004,
    SMB2_FLAG_SIGNED = 0x00000008,
};

// SMB2 commands.
enum : uint32_t {
    SMB2_NEGOTIATE = 0,
    SMB2_SESSION_SETUP = 1,
    SMB2_LOGOFF = 2,
    SMB2_TREE_CONNECT = 3,
    SMB2_TREE_DISCONNECT = 4,
    SMB2_CREATE = 5,
    SMB2_CLOSE = 6,
    SMB2_FLUSH = 7,
    SMB2_READ = 8,
    SMB2_WRITE = 9,
    SMB2_LOCK = 10,
    SMB2_IOCTL = 11,
    SMB2_CANCEL = 12,
    SMB2_ECHO = 13,
    SMB2_QUERY_DIRECTORY = 14,
    SMB2_CHANGE_NOTIFY = 15,
    SMB2_QUERY_INFO = 16,
    SMB2_SET_INFO = 17,
    SMB2_OPLOCK_BREAK = 18,
};

// NT status values this server sends.
enum : uint32_t {
    STATUS_SUCCESS = 0x00000000,
    STATUS_PENDING = 0x00000103,
    STATUS_NOTIFY_CLEANUP = 0x0000010B,
    STATUS_NOTIFY_ENUM_DIR = 0x0000010C,
    STATUS_BUFFER_OVERFLOW = 0x80000005,
    STATUS_UNSUCCESSFUL = 0xC0000001,
    STATUS_NO_MORE_FILES = 0x80000006,
    STATUS_INVALID_INFO_CLASS = 0xC0000003,
    STATUS_INFO_LENGTH_MISMATCH = 0xC0000004,
    STATUS_INVALID_HANDLE = 0xC0000008,
    STATUS_INVALID_PARAMETER = 0xC000000D,
    STATUS_END_OF_FILE = 0xC0000011,
    STATUS_MORE_PROCESSING_REQUIRED = 0xC0000016,
    STATUS_ACCESS_DENIED = 0xC0000022,
    STATUS_BUFFER_TOO_SMALL = 0xC0000023,
    STATUS_OBJECT_NAME_INVALID = 0xC0000033,
    STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034,
    STATUS_OBJECT_PATH_NOT_FOUND = 0xC000003A,
    STATUS_LOGON_FAILURE = 0xC000006D, // "wrong user name or password" (0xC0000064 would say "no such user")
    STATUS_INSUFFICIENT_RESOURCES = 0xC000009A,
    STATUS_FILE_IS_A_DIRECTORY = 0xC00000BA,
    STATUS_NOT_SUPPORTED = 0xC00000BB,
    STATUS_NETWORK_NAME_DELETED = 0xC00000C9,
    STATUS_REQUEST_NOT_ACCEPTED = 0xC00000D0,
    STATUS_INVALID_OPLOCK_PROTOCOL = 0xC00000E3,
    STATUS_NOT_A_DIRECTORY = 0xC0000103,
    STATUS_CANCELLED = 0xC0000120,
    STATUS_FILE_CLOSED = 0xC0000128,
    STATUS_INVALID_DEVICE_STATE = 0xC0000184,
    STATUS_USER_SESSION_DELETED = 0xC0000203,
    STATUS_SMB_NO_PREAUTH_INTEGRITY_HASH_OVERLAP = 0xC05D0000,
};
