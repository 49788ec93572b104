// A logged-on connection driven through frame_in, with one-line helpers for
// tree connects, opens and closes, for tests of the handle-based commands.
//
//   TempDir dir;
//   dir.write("a.txt", "hello");
//   ScopedShare share("docs", dir.path());
//   smb2::Client cl;                          // guest logon
//   uint32_t tid = cl.connect("docs");
//   uint64_t fid = cl.open(tid, "a.txt");     // 0 (and a test failure) when refused
//   smb2::Reply r = cl.send(my_request(cl.header(SMB2_READ, tid), fid));
//   cl.close(tid, fid);
//
// The record behind it is cl.conn(): its tree_list and open_list can be
// inspected directly.
//
// SimClient does the same end to end through dirir2i_simulate: the logon is
// made once, and each run replays it in front of that run's requests. The
// `clock` option must stay set for the object's whole life (the server's
// challenge and SessionId then repeat). On a fresh connection the first
// TREE_CONNECT gets tree id 1 and the first CREATE after it FileId 0x21.
//
//   smb2::ScopedOption clock("clock", "1700000000");
//   smb2::SimClient sim;
//   std::vector<smb2::Reply> r = sim.run({
//       smb2::tree_connect(sim.header(SMB2_TREE_CONNECT), "\\\\h\\docs"),
//       smb2::create(sim.header(SMB2_CREATE, 1), {.name = "a.txt"})});
#pragma once

#include "support/smb2_requests.h"
#include "support/smb2_session.h"
#include "support/smb2_transport.h"

#include <string>
#include <vector>

namespace smb2 {

class Client {
  public:
    // Logs on (a guest, unless p names a user); a failed logon fails the test.
    explicit Client(const LogonParams &p = {});

    DirectConn &direct() { return dc_; }
    qv2_conn &conn() { return dc_.conn(); }
    Session &session() { return s_; }
    // Header for the next request on the session (MessageIds count up).
    Header header(uint16_t command, uint32_t tid = 0) { return s_.header(command, tid); }

    Reply send(const Bytes &msg) { return dc_.process(msg); }
    // TREE_CONNECT to \\server\share; the tree id, or 0 with a test failure.
    uint32_t connect(const std::string &share);
    Reply create(uint32_t tid, const CreateParams &p) {
        return send(smb2::create(header(5, tid), p));
    }
    // Opens a name for reading; the FileId, or 0 with a test failure.
    uint64_t open(uint32_t tid, const std::string &name, uint32_t options = 0);
    Reply close(uint32_t tid, uint64_t fid) { return send(smb2::close(header(6, tid), fid)); }

  private:
    DirectConn dc_;
    Session s_;
};

class SimClient {
  public:
    explicit SimClient(const LogonParams &p = {});

    Session &session() { return s_; }
    Header header(uint16_t command, uint32_t tid = 0) { return s_.header(command, tid); }
    // Replays the logon, then the messages; returns one reply per message
    // (a missing one fails the test and reads as an empty Reply).
    std::vector<Reply> run(const std::vector<Bytes> &msgs);
    // The whole transcript of the last run.
    const Transcript &transcript() const { return t_; }

  private:
    Session s_;
    Transcript t_;
};

} // namespace smb2
