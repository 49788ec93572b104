// Engine-internal interfaces shared by the engine's source files: framing,
// the reply builder, error replies, and the command handlers.
//
// Handler contract: handler(conn, reader, reply). On entry the command's reply
// header is already written at reply->hdr_off with Status SUCCESS, and the
// reader is at the start of the request body (its size runs to the end of
// the whole message). The handler appends its response body, or calls
// err_reply_l (CREATE: create_error_l) and appends nothing more. A warning
// status that still carries a body goes into the current header with
// rep_set_status. Handlers never write to the transport.
#pragma once

#include "engine/qv2_engine_types.h"
#include "foundation/qv2_util.h"

// ---- session loop (sess_loop.cpp) ----

// Writes one reply with its session-service header (in one io->write_pair
// where the transport has it, else two io->write calls); a failed write sets
// `closing`. While c->enc_sess is set the reply is sealed in place first,
// behind a TRANSFORM_HEADER. Counts bytes_sent and tells io->log.
void send_frame(qv2_conn *c, uint8_t *data, uint64_t len);

// ---- framing and dispatch (frame.cpp) ----

// Processes one whole message (without its session-service header). May
// modify the message in place. *send is 1 when the reply should be written.
// With c->defer_sign set, the reply's final signature is left in
// c->sign_job (flag and field already set, the MAC still zero).
void frame_in(qv2_conn *c, uint8_t *msg, uint64_t len, qv2_reply *r, int *send);

// Computes the signatures recorded in ja (for reply a) and jb (for b, which
// may be null), two at once where both are pending, and wipes the jobs.
void sign_jobs(qv2_reply *a, qv2_sign_job *ja, qv2_reply *b, qv2_sign_job *jb);

// MS-SMB2 3.3.5.2.5: on a multi-credit connection, whether the request's
// CreditCharge pays for `payload` bytes (the larger of what it sends and
// what its reply may carry): CreditCharge 0 pays for 64 KiB, n for n times
// 64 KiB. Always true on a connection without multi-credit.
bool credit_charge_ok(const qv2_conn *c, uint64_t payload);

// Parses one 64-byte request header at data. 0 with *body_off = 64; -1 when
// len is below 64 or ProtocolId or StructureSize is wrong.
int parse_header(const uint8_t *data, uint64_t len, qv2_hdr *h, uint64_t *body_off);

uint16_t rd_u16(qv2_reader *r);
uint32_t rd_u32(qv2_reader *r);
uint64_t rd_u64(qv2_reader *r);
void rd_skip(qv2_reader *r, uint64_t n); // same overrun rule as the reads

void w16(qv2_buf *b, uint16_t v);
void w32(qv2_buf *b, uint32_t v);
void w64(qv2_buf *b, uint64_t v);

void rep_begin(qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t mid, uint64_t sid,
               uint32_t tid, uint16_t charge, uint16_t credits);
void rep_chain(qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t mid, uint64_t sid,
               uint32_t tid, uint16_t charge, uint16_t credits);
// The current command's reply header (64 bytes at hdr_off).
uint8_t *rep_hdr(qv2_reply *r);
void rep_set_status(qv2_reply *r, uint32_t status);

// The 9-byte body of every error response (StructureSize 9, no error
// contexts, no error data). A reply with an error status and no body is
// malformed to clients and dissectors.
void rep_error_body(qv2_buf *b);
// Gives the error reply just written for the current command n bytes of
// ErrorData (ByteCount n) instead of the empty placeholder.
void rep_error_data(qv2_reply *r, const void *data, uint32_t n);

// Error reply for the current command: its header with the status and the
// error body, nothing else.
void err_reply_l(qv2_conn *c, qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t sid,
                 uint32_t tid, int line);
// Error reply for a command of a compound that has no reply header of its
// own (its request header did not parse): a new header is chained.
void err_reply_new_l(qv2_conn *c, qv2_reply *r, uint32_t cmd, uint32_t status, uint64_t sid,
                     uint32_t tid, int line);
// CREATE's error reply: 88-byte error body, or a bare header inside a compound.
void create_error_l(qv2_conn *c, qv2_reply *r, uint32_t status, int line);

#define err_reply(c, r, cmd, status)                                                           \
    err_reply_l((c), (r), (cmd), (status), (c)->cur_sid, (c)->cur_tree_id, __LINE__)
#define create_error(c, r, status) create_error_l((c), (r), (status), __LINE__)

// ---- what handles report about their objects ----

// The attribute word: read-only always; directory or archive by kind.
inline uint32_t attr_word(int32_t kind) { return kind == QV2_FS_DIR ? 0x11u : 0x21u; }
// Allocation size: the data length rounded up to whole 64 KiB units.
inline uint64_t alloc_size(uint64_t size) { return (size + 65535) & ~uint64_t(0xFFFF); }

// ---- sessions (sessions.cpp) ----

enum : int { SESSIONS_MAX = 64 }; // per connection, logons in progress included

// The connection's session with this SessionId, valid or not, or null.
qv2_session *session_find(qv2_conn *c, uint64_t id);
// A new session in progress with a SessionId no session of the connection
// has, or null when SESSIONS_MAX exist or memory ran out.
qv2_session *session_create(qv2_conn *c, uint64_t id);
// Ends a session: frees its trees and opens (logging the closes), its
// exchange in progress, and the record, wiping its key. c->sess is cleared
// when it named this one.
void session_remove(qv2_conn *c, qv2_session *s);
// Ends every session (the connection's end).
void sessions_free_all(qv2_conn *c);
// Frees the sessions that ended while their key still had a reply to seal.
void sessions_free_retired(qv2_conn *c);
// Whether some session of the connection has completed its logon.
bool session_any_valid(const qv2_conn *c);

// ---- SMB 3 (smb3_session.cpp) ----

enum : int { TRANSFORM_HDR_LEN = 52 };

// Derives session s's SMB 3 keys from the logon's session key (MS-SMB2
// 3.3.5.5.3; 3.1.1 with s->preauth): the signing key into s->signing_key,
// and, when the connection agreed a cipher, keys the seal and open
// contexts. 0, or -1 when the cryptography failed.
int smb3_session_keys(qv2_conn *c, qv2_session *s, const uint8_t session_key[16]);
void smb3_session_free(qv2_session *s);
// The signature of msg[0, n) (its Signature field already zero) with the
// dialect's algorithm: HMAC-SHA256 below 3.0, else the agreed AES-CMAC or
// AES-GMAC (whose nonce comes from the message's header), or HMAC-SHA256
// when a 3.1.1 client offers nothing else.
void message_mac(const qv2_conn *c, const uint8_t key[16], const uint8_t *msg, uint64_t n,
                 uint8_t mac[16]);
// Signs the message msg[0, n) in place: SMB2_FLAGS_SIGNED set, the
// Signature field zeroed and then filled with message_mac.
void message_sign(const qv2_conn *c, const uint8_t key[16], uint8_t *msg, uint64_t n);
// Seals data[0, len) in place for session s, writing its TRANSFORM_HEADER
// to hdr (a fresh nonce from the session's counter). 0, or -1 when the
// session has no cipher key, its nonces are spent, or sealing failed.
int transform_seal(qv2_session *s, uint8_t hdr[TRANSFORM_HDR_LEN], uint8_t *data, uint64_t len);
// Opens an encrypted message msg[0, len) in place: the plaintext follows
// the header, *inner_len bytes of it, from session *sess. -1 (the
// connection ends) for Flags other than 1, a size other than the frame's or
// above cap, a session without cipher keys, or a tag that doesn't verify.
int transform_open(qv2_conn *c, uint8_t *msg, uint64_t len, uint64_t cap, uint64_t *inner_len,
                   qv2_session **sess);

// ---- opens and trees (shared by the handlers) ----

// The open in use whose FileId persistent half is `id` and that belongs to
// the current request's session, or null: another session's open is as
// unknown to the request as a closed one.
qv2_open *open_find(qv2_conn *c, uint64_t id);
// The live (not disconnected) tree with this id of the current request's
// session, or null.
qv2_tree *tree_find(qv2_conn *c, uint32_t id);
// Trees and opens are allocated with calloc; these free them.
// Frees the trees and opens of session `s` (releasing held listings), or
// of every session when s is null.
void free_trees_opens(qv2_conn *c, const qv2_session *s);
// Draws the next tree id from next_id (24 bits), skipping ids that a tree
// of the connection holds or held since the last LOGOFF. 0, or -1 when all
// 2^24 ids are taken.
int tree_id_draw(qv2_conn *c, uint32_t *id);
// Frees a tree that TREE_DISCONNECT has marked disconnected; its id stays
// taken. Without memory for that the record stays in the list instead.
void tree_release(qv2_conn *c, qv2_tree *t);
// Ends an open for CLOSE: releases its listing, takes it out of open_count,
// unlinks and frees it. Its FileId is never drawn again.
void open_close(qv2_conn *c, qv2_open *o);

// ---- command handlers ----
// Each later command adds its handler here and its case to frame_in's dispatch.

void cmd_echo(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// notify.cpp: CHANGE_NOTIFY, answered at once or through an interim response
// (CANCEL gets no reply of its own: frame_in hands it to qv2_notify_cancel).
void cmd_change_notify(qv2_conn *c, qv2_reader *rd, qv2_reply *r);
// oplock_break.cpp: OPLOCK_BREAK, the acknowledgment of an oplock or lease break.
void cmd_oplock_break(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// tree.cpp: TREE_CONNECT and TREE_DISCONNECT.
void cmd_tree_connect(qv2_conn *c, qv2_reader *rd, qv2_reply *r);
void cmd_tree_disconnect(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// create.cpp: CREATE, the only way to an open handle.
void cmd_create(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// close.cpp: CLOSE.
void cmd_close(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// query_directory.cpp: QUERY_DIRECTORY, paging through a listing held in the open.
// No listing reply holds more entry bytes than this, whatever the client asks.
constexpr uint64_t QD_REPLY_MAX = 1048576 + 4096;
void cmd_query_directory(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// read.cpp: READ, from the host file reopened for each request.
void cmd_read(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// query_info.cpp: QUERY_INFO, answered from the stat record taken at CREATE.
void cmd_query_info(qv2_conn *c, qv2_reader *rd, qv2_reply *r);
// Append FileBasicInformation (40 bytes) and FileStandardInformation (24
// bytes) of an open; FileAllInformation begins with the two.
void qi_file_basic(const qv2_open *o, qv2_buf *b);
void qi_file_standard(const qv2_open *o, qv2_buf *b);
// Appends the fixed part of a QUERY_INFO response body (OutputBufferLength
// 0, to be set at offset 4 once the answer that follows is complete) and
// returns its offset in the reply.
uint64_t qi_answer_begin(qv2_reply *r);

// query_security.cpp: QUERY_INFO for security information, a fixed
// read-only descriptor. `additional` is the request's AdditionalInformation,
// `out_cap` its OutputBufferLength (0 is taken literally here).
void query_security(qv2_conn *c, qv2_reply *r, const qv2_open *o, uint32_t additional,
                    uint32_t out_cap);

// negotiate.cpp: SMB2 NEGOTIATE, and the SMB1 negotiate that asks for SMB2.
void cmd_negotiate(qv2_conn *c, qv2_reader *rd, qv2_reply *r);
// Called by frame_in for a message starting 0xFF 'S' 'M' 'B', before any
// reply header exists; sets *send.
void smb1_negotiate(qv2_conn *c, const uint8_t *msg, uint64_t len, qv2_reply *r, int *send);

// session.cpp: SESSION_SETUP and LOGOFF.
void cmd_session_setup(qv2_conn *c, qv2_reader *rd, qv2_reply *r);
void cmd_logoff(qv2_conn *c, qv2_reader *rd, qv2_reply *r);
// Finish a SESSION_SETUP reply: a challenge (more 1) or a success (more 0)
// carrying `token`; or a failure with LOGON_FAILURE or INVALID_PARAMETER and
// the 9-byte failure body.
void session_setup_ok_body(qv2_conn *c, qv2_reply *r, int guest, int more, const qv2_buf *token);
void session_setup_fail_body(qv2_conn *c, qv2_reply *r, uint32_t status);
// Starts an NTLM exchange: a fresh challenge, and our CHALLENGE message
// answering the client's NEGOTIATE (null: none seen) appended to out; the
// messages are kept for the MICs of the AUTHENTICATE that may follow. 0, or
// -1 when the random source or the message failed.
int session_challenge(qv2_conn *c, qv2_session *s, const uint8_t *negotiate,
                      uint64_t negotiate_len, const uint8_t *mech_types, uint64_t mech_types_len,
                      qv2_buf *out);
// Releases what an unfinished NTLM exchange of session `s` holds.
void session_auth_end(qv2_session *s);
// The record that keeps a challenge a NEGOTIATE response carried (a
// diagnostic token shape) until a new session takes it over; null without
// memory. session_drop_nego frees it.
qv2_session *session_nego(qv2_conn *c);
void session_drop_nego(qv2_conn *c);

// ioctl.cpp: IOCTL (negotiate validation, transceive on the srvsvc pipe).
void cmd_ioctl(qv2_conn *c, qv2_reader *rd, qv2_reply *r);

// pipe.cpp: the srvsvc pipe over WRITE and READ (clients that don't use
// the IOCTL transceive). A WRITE is taken only when its FileId names an open
// of the pipe; every other WRITE is refused by the dispatcher.
bool write_targets_pipe(qv2_conn *c, const uint8_t *body, uint64_t n);
void cmd_write(qv2_conn *c, qv2_reader *rd, qv2_reply *r);
// READ of the pipe's pending answer (at most length bytes).
void pipe_read(qv2_conn *c, qv2_open *o, uint32_t length, qv2_reply *r);

// srvsvc.cpp: the DCE/RPC server of the srvsvc pipe.
// Answers the one PDU in in[0, n) by appending at most one PDU to out:
// BIND_ACK for a BIND, the share list for a NetrShareEnum REQUEST, a FAULT
// for any other opnum, nothing for anything else or a truncated PDU. The
// list is the one the session (user: its configured name, empty for a
// guest; guest: 1 for a guest session) sees.
void srvsvc_transceive(const char *user, int guest, const uint8_t *in, uint64_t n, qv2_buf *out);
// Appends the NDR stub of the NetrShareEnum response (level 1, IPC$ first,
// then every browseable share the session may open) and counts
// srvsvc_queries.
void srvsvc_share_enum(const char *user, int guest, qv2_buf *stub);
