// A logged-on connection for tests: NEGOTIATE, then SESSION_SETUP in two
// legs (our NTLM NEGOTIATE, the server's CHALLENGE, our AUTHENTICATE) as a
// user or a guest, over SPNEGO or bare NTLMSSP. The AUTHENTICATE is computed
// from the CHALLENGE the server actually sent.
//
// In the simulation (the `clock` option must be set, so that the server's
// challenge and SessionId repeat from one run to the next):
//
//   smb2::ScopedOption clock("clock", "1700000000");
//   smb2::Session s = smb2::logon_script({.user = "alice", .password = "pw"});
//   ASSERT_TRUE(s.ok) << s.error;
//   smb2::Script script = s.script();          // the logon, replayable
//   script.send(s.sign(smb2::echo(s.next_mid++)));
//   smb2::Transcript t = smb2::run(script);    // t.replies[s.replies.size()] is the ECHO's
//
// Driving frame_in directly keeps the state in the DirectConn:
//
//   smb2::DirectConn dc;
//   smb2::Session s = smb2::logon(dc);         // guest by default
//
// logon_script runs the simulation once per leg, so counters move more than
// one logon would move them: take a CounterWatch after it.
#pragma once

#include "support/smb2_frames.h"
#include "support/smb2_transport.h"

#include <functional>
#include <string>
#include <vector>

namespace smb2 {

struct LogonParams {
    // Empty user: an anonymous AUTHENTICATE (empty NT response), which the
    // server admits as a guest when guests are allowed.
    std::string user{};
    std::string password{};
    std::string domain{};
    bool spnego = true;   // false: bare NTLMSSP tokens
    bool key_exch = true; // send KEY_EXCH with an exported session key
    std::vector<uint16_t> dialects = {0x0202, 0x0210};
    uint16_t security_mode = 0x01; // 0x02: the client requires signing
    uint32_t capabilities = 0;
    // Send the AUTHENTICATE's own MIC and (over SPNEGO) a mechListMIC, as
    // Windows and Samba do; `tamper` spoils one of them.
    bool mic = false;
    enum class Tamper { none, ntlm_mic, mech_list_mic } tamper = Tamper::none;
    uint32_t ntlm_flags = 0xe0888215; // the client's NEGOTIATE flags: a usual set, with KEY_EXCH
    // The AUTHENTICATE's NegotiateFlags; 0: the usual set. Without extended
    // session security they are an NTLMv1 client's.
    uint32_t auth_flags = 0;
    // Another session on a connection that has negotiated already: no
    // NEGOTIATE, and MessageIds from first_mid on.
    bool negotiate = true;
    uint64_t first_mid = 0;
    // Not 0: re-authenticates this session instead of starting a new one.
    uint64_t session_id = 0;
};

struct Session {
    bool ok = false;    // the logon ended in SUCCESS
    std::string error;  // why not, otherwise
    uint32_t status = 0; // status of the last SESSION_SETUP reply
    uint64_t session_id = 0;
    uint8_t key[16] = {}; // signing key (all zero for a guest)
    bool guest = false;   // the server flagged the session as a guest session
    Bytes challenge_message; // the NTLM CHALLENGE the server sent
    Bytes server_mic;        // the mechListMIC of the server's final token (empty: none)
    bool server_mic_ok = false; // it is the one the server's keys give
    std::vector<Bytes> requests; // what was sent, in order (MessageIds from first_mid)
    std::vector<Reply> replies;  // the replies to them
    uint64_t next_mid = 3;       // first MessageId after the logon

    // A script holding the logon's requests, ready for more.
    Script script() const;
    // Signs a request (Flags 0x08) with the session key.
    Bytes sign(Bytes req) const;
    // Header fields for a request on this session, taking the next MessageId.
    Header header(uint16_t command, uint32_t tid = 0);
};

// Sends one request message, returns its reply (an empty Reply when none came).
using Exchange = std::function<Reply(const Bytes &)>;

Session logon(const Exchange &exchange, const LogonParams &p = {});
Session logon(DirectConn &dc, const LogonParams &p = {});
// Through dirir2i_simulate, replaying the script so far for each leg.
Session logon_script(const LogonParams &p = {}, const char *peer = nullptr);

// Adds a user for the lifetime of the object and removes it after.
class ScopedUser {
  public:
    ScopedUser(const char *user, const char *password);
    ~ScopedUser();
    ScopedUser(const ScopedUser &) = delete;
    ScopedUser &operator=(const ScopedUser &) = delete;

  private:
    std::string user_;
};

// ---- building blocks ----

// NEGOTIATE with the dialect list right after the fixed fields.
Bytes negotiate_request(uint64_t mid, const std::vector<uint16_t> &dialects,
                        uint16_t security_mode = 0x01, uint32_t capabilities = 0);
// SESSION_SETUP (StructureSize 25) with the security buffer at offset 88.
Bytes session_setup_request(uint64_t mid, uint64_t sid, const Bytes &security_buffer,
                            uint16_t security_mode = 0x01);
// LOGOFF.
Bytes logoff_request(uint64_t mid, uint64_t sid);

// Client SPNEGO tokens: the GSS-framed negTokenInit offering NTLMSSP with
// `ntlm` as mechToken, and the negTokenResp carrying `ntlm` as responseToken.
Bytes spnego_init(const Bytes &ntlm);
Bytes spnego_resp(const Bytes &ntlm, const Bytes &mech_list_mic = {});
// The MechTypeList spnego_init sends (NTLMSSP alone), which mechListMICs cover.
Bytes spnego_mech_types();
// The mechListMIC of a server's negTokenResp (false when it has none).
bool mech_list_mic_from_token(const Bytes &token, Bytes *mic);
// The AUTHENTICATE of an anonymous client: empty NT response and names.
Bytes ntlm_anonymous_message();

// The security buffer of a SESSION_SETUP or NEGOTIATE reply (empty when it
// doesn't fit the reply).
Bytes security_buffer(const Reply &r);
// The NTLM message in a server token: the responseToken of a negTokenResp,
// or the token itself when it is bare NTLMSSP. False when neither.
bool ntlm_from_token(const Bytes &token, Bytes *ntlm);

} // namespace smb2
