// The tests' one byte toolkit, and SMB2 messages built from it: little-endian
// fields, hex text, UTF-16LE names, DER elements, request headers, compounds,
// signing and session-service framing. Free of GTest, so the benchmarks and
// the fuzz targets build their requests with it too.
//
//   smb2::Bytes req = smb2::request({.command = SMB2_ECHO, .mid = 1}, smb2::echo_body());
//   smb2::sign(req, key);
//   smb2::Bytes packet = smb2::nbss(req);
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace smb2 {

using Bytes = std::vector<uint8_t>;

// ---- bytes ----

// Little-endian fields at a position (bounds checked: std::out_of_range).
void put_u16(Bytes &b, size_t pos, uint16_t v);
void put_u32(Bytes &b, size_t pos, uint32_t v);
void put_u64(Bytes &b, size_t pos, uint64_t v);
uint16_t get_u16(const Bytes &b, size_t pos);
uint32_t get_u32(const Bytes &b, size_t pos);
uint64_t get_u64(const Bytes &b, size_t pos);

// Little-endian writer: smb2::Body().u16(24).u16(0).u32(0).u64(fid).
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

// Lower-case hex digits, two per byte.
std::string hex(const Bytes &b);
std::string hex(const uint8_t *p, size_t n);
// Pairs of hex digits; anything that is no digit (spaces, line breaks) is skipped.
Bytes from_hex(const std::string &text);
// The bytes of a string as they are.
Bytes bytes_of(const std::string &s);
Bytes cat(std::initializer_list<Bytes> parts);

// UTF-8 text to UTF-16LE (as clients send names), and back.
Bytes to_utf16(const std::string &utf8);
std::string from_utf16(const uint8_t *p, size_t n);

// 64-bit FNV-1a over data, from `h` (0xcbf29ce484222325 to start): the
// tests' own copy, to check the server's derivations against.
uint64_t fnv1a64(const void *data, size_t n, uint64_t h = 0xcbf29ce484222325ULL);

// One DER element: tag, definite length (short form, or long form of one or
// two bytes), content.
Bytes der(uint8_t tag, const Bytes &content);

// ---- SMB2 requests ----

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

// The 64-byte header alone.
Bytes header(const Header &h);
// Header followed by the body: one request message.
Bytes request(const Header &h, const Bytes &body = {});
// ECHO's body (StructureSize 4, Reserved 0).
Bytes echo_body();
// A whole ECHO request.
Bytes echo(uint64_t mid, uint16_t credit_request = 1, uint64_t sid = 0);

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
Bytes nbss(const Bytes &msg, uint8_t type = 0x00);    // 4-byte header + msg
Bytes nbss_header(uint32_t len, uint8_t type = 0x00); // the header alone
Bytes session_request(uint32_t body_len);             // 0x81 with body_len zero bytes

} // namespace smb2
