// Simulation scripts run through dirir2i_simulate, and the replies read
// back; the requests come from the byte toolkit in builders/wire.h.
//
//   smb2::Script s;
//   s.send(smb2::request({.command = SMB2_ECHO, .mid = 1}, smb2::echo_body()));
//   smb2::Transcript t = smb2::run(s);
//   ASSERT_EQ(t.replies.size(), 1u);
//   EXPECT_EQ(t.replies[0].status(), STATUS_SUCCESS);
//
// Compounds: smb2::compound({req1, req2}, /*related=*/true) pads each request
// to 8 bytes and links them; t.replies[0].parts() walks the compound reply.
#pragma once

#include "support/builders/wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace smb2 {

// A simulation script.
class Script {
  public:
    // One message wrapped in its session-service header, as frame lines
    // (split over several lines when it is too long for one).
    Script &send(const Bytes &msg);
    // Bytes as given, on frame lines (must be at least 4 bytes).
    Script &packet(const Bytes &bytes);
    // Bytes as given, on one raw ("!") line; any length up to 16384.
    Script &raw(const Bytes &bytes);
    Script &comment(const std::string &text);
    Script &line(const std::string &text); // verbatim, a newline is added
    const std::string &text() const { return text_; }

  private:
    std::string text_;
};

// One reply message, or one command's part of a compound reply. Offsets are
// relative to this part's header; reads past the end fail the test and
// give 0.
class Reply {
  public:
    Reply() = default;
    Reply(Bytes message, size_t offset_in_message = 0)
        : bytes_(std::move(message)), offset_(offset_in_message) {}

    const Bytes &bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }
    // Where this part starts in the whole reply message.
    size_t offset_in_message() const { return offset_; }

    uint8_t u8(size_t pos) const;
    uint16_t u16(size_t pos) const;
    uint32_t u32(size_t pos) const;
    uint64_t u64(size_t pos) const;

    bool is_smb2() const; // starts FE 'S' 'M' 'B'
    uint16_t credit_charge() const { return u16(6); }
    uint32_t status() const { return u32(8); }
    uint16_t command() const { return u16(12); }
    uint16_t credits() const { return u16(14); }
    uint32_t flags() const { return u32(16); }
    uint32_t next_command() const { return u32(20); }
    uint64_t mid() const { return u64(24); }
    uint32_t tid() const { return u32(36); }
    uint64_t sid() const { return u64(40); }
    Bytes signature() const;
    size_t body_offset() const { return 64; }
    Bytes body() const; // everything after the 64-byte header

    // The parts of a compound reply, following NextCommand from this header;
    // each part runs to the next header (padding included) or to the end.
    std::vector<Reply> parts() const;
    // True when the Signature equals HMAC-SHA256 of this part under key.
    bool signed_with(const uint8_t key[16]) const;

  private:
    Bytes bytes_;
    size_t offset_ = 0;
};

// What dirir2i_simulate returned, taken apart.
struct Transcript {
    bool ok = false;       // a text came back (false: error holds the message)
    std::string text;      // the whole text
    std::string error;     // dirir2i_last_error() when !ok
    std::vector<std::string> received; // frame names of the ">>" lines, in order
    std::vector<Reply> replies;        // the "<<" lines, in order
    long long result_frames = -1;      // count from the RESULT line, -1 when absent
    bool truncated = false;            // "[truncated]" appeared
};

Transcript parse_transcript(const std::string &text);
// Runs the script (peer null means the default 127.0.0.1).
Transcript run(const Script &script, const char *peer = nullptr);
Transcript run_text(const std::string &script, const char *peer = nullptr);

} // namespace smb2
