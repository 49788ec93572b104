// Building SMB2 requests and simulation scripts, running them through
// dirir2i_simulate, and reading the replies back.
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

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace smb2 {

using Bytes = std::vector<uint8_t>;

// Request header fields. Designated initialisers read well:
// smb2::Header{.command = 13, .mid = 7, .credit_request = 1000}.
struct Header {
    uint16_t command = 0; // the whole 16-bit field (high byte ignored by the server)
    uint64_t mid = 0;
    uint64_t sid = 0;
    uint32_t tid = 0;
    uint32_t flags = 0; // 0x04 related, 0x08 signed
    uint16_t credit_charge = 0;
    uint16_t credit_request = 1;
    uint32_t next_command = 0; // compound() sets it
    uint32_t status = 0;
};

enum : uint32_t { FLAG_RELATED = 0x04, FLAG_SIGNED = 0x08 };

// Little-endian body writer: smb2::Body().u16(24).u16(0).u32(0).u64(fid).
class Body {
  public:
    Body &u8(uint8_t v);
    Body &u16(uint16_t v);
    Body &u32(uint32_t v);
    Body &u64(uint64_t v);
    Body &bytes(const Bytes &b);
    Body &bytes(const void *p, size_t n);
    Body &zeros(size_t n);
    Body &utf16(const std::string &ascii); // UTF-16LE, no terminator (ASCII text only)
    // Overwrites already written bytes (offsets fixed up after the fact).
    Body &set_u16(size_t pos, uint16_t v);
    Body &set_u32(size_t pos, uint32_t v);
    size_t size() const { return b_.size(); }
    const Bytes &data() const { return b_; }
    operator Bytes() const { return b_; }

  private:
    Bytes b_;
};

// Little-endian field access on any byte vector (bounds are the caller's).
void put_u16(Bytes &b, size_t pos, uint16_t v);
void put_u32(Bytes &b, size_t pos, uint32_t v);
void put_u64(Bytes &b, size_t pos, uint64_t v);
uint16_t get_u16(const Bytes &b, size_t pos);
uint32_t get_u32(const Bytes &b, size_t pos);
uint64_t get_u64(const Bytes &b, size_t pos);

// The 64-byte header alone.
Bytes header(const Header &h);
// Header followed by the body: one request message.
Bytes request(const Header &h, const Bytes &body = {});
// ECHO's body (StructureSize 4, Reserved 0).
Bytes echo_body();
// A whole ECHO request.
Bytes echo(uint64_t mid, uint16_t credit_request = 1);

// Joins requests into one compound message: each but the last is padded
// with zeros to a multiple of 8 and its NextCommand set to the distance to
// the next. With `related` the Flags of every request after the first get
// 0x04. With a key, each request is signed (after padding and linking).
Bytes compound(const std::vector<Bytes> &reqs, bool related = false,
               const uint8_t *sign_key = nullptr);

// Signs one request in place with a 16-byte key: sets Flags 0x08, zeroes the
// Signature, puts the first 16 bytes of HMAC-SHA256 over all of req there.
void sign(Bytes &req, const uint8_t key[16]);
// The HMAC-SHA256 signature (16 bytes) of bytes[off, off+n) with the
// Signature field (at off+48) taken as zero.
Bytes signature_of(const Bytes &bytes, size_t off, size_t n, const uint8_t key[16]);

// NetBIOS session-service packets.
Bytes nbss(const Bytes &msg, uint8_t type = 0x00);       // 4-byte header + msg
Bytes nbss_header(uint32_t len, uint8_t type = 0x00);    // the header alone
Bytes session_request(uint32_t body_len);                // 0x81 with body_len zero bytes

std::string hex(const Bytes &b);
Bytes from_hex(const std::string &text); // pairs of digits; whitespace skipped

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
