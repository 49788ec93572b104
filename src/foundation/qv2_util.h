// Foundation utilities: the error slot, byte buffers, name/path/pattern rules,
// UTF-16/UTF-8 conversion, hashing, addresses and hexadecimal text.
#pragma once

#include "foundation/qv2_types.h"

#define QV2_PRINTF(fmt_idx, arg_idx) __attribute__((format(printf, fmt_idx, arg_idx)))

// ---- Error slot and byte buffer ----

// Formats a message into the process-wide error slot (cut at 511 characters).
void qv2_set_error(const char *fmt, ...) QV2_PRINTF(1, 2);
// Same, then returns `code`: failing operations end with `return qv2_fail(...)`.
int qv2_fail(int code, const char *fmt, ...) QV2_PRINTF(2, 3);
// The slot itself (not a copy); always NUL-terminated.
const char *qv2_error(void);

// Makes room for n more bytes plus the terminator; 0, or -1 (and `failed` set).
int buf_reserve(qv2_buf *b, uint64_t n);
void qv2_buf_put(qv2_buf *b, const void *bytes, uint64_t n);
void qv2_buf_str(qv2_buf *b, const char *text);
void qv2_buf_printf(qv2_buf *b, const char *fmt, ...) QV2_PRINTF(2, 3);
void qv2_buf_byte(qv2_buf *b, int value);
// Frees the data and resets every field, `failed` included.
void qv2_buf_free(qv2_buf *b);

// ---- Names, paths and patterns ----

enum : int {
    QV2_VPATH_IN_MAX = 2048,   // whole client path given to qv2_vpath
    QV2_VPATH_COMP_MAX = 255,  // one path component
    QV2_VPATH_DEPTH_MAX = 64,  // components in a path
    QV2_VPATH_OUT_MAX = 1024,  // normalised path, without terminator
    QV2_PATTERN_MAX = 512,     // search pattern
};

// Normalises a client path to "a/b/c" (no leading or trailing separator, empty
// for the share root). 0, -7 (bad name) or -8 (out too small), with a message.
int qv2_vpath(const char *path, char *out, int32_t outcap);
// Validates a QUERY_DIRECTORY pattern (leaf name, no control bytes). 0 or -1.
int qv2_pat_check(const char *pattern);
// Search pattern match (name_match.cpp): '*', '?' and the DOS wildcards
// '<', '>', '"' of MS-FSCC 2.1.4.4, characters compared as by
// qv2_name_caseeq; "*.*" matches every name. 1 match, 0 no match.
int qv2_glob_match(const char *pattern, const char *name);
// 1 when two UTF-8 names are equal ignoring case (simple folding of ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic letters), else 0.
int qv2_name_caseeq(const char *a, const char *b);
enum : int { QV2_SHORT_NAME_CAP = 24 }; // UTF-16LE bytes of an 8.3 name
// The 8.3 short name of a name that already has that form (the name in
// ASCII upper case), as UTF-16LE in out; its byte length, or 0 when the
// name has none. No short name is ever invented for a long name.
int32_t qv2_short_name(const char *name, uint8_t out[QV2_SHORT_NAME_CAP]);
// ASCII-case-insensitive C-string comparisons.
int qv2_casecmp(const char *a, const char *b);
int qv2_ncasecmp(const char *a, const char *b, uint64_t n);
// The code point at *p, *p advanced past it; strict UTF-8 (no overlong
// forms, surrogates or values above U+10FFFF). -1 for a malformed sequence,
// *p advanced by one byte. Never reads past the terminator (0 there, *p
// left alone).
int32_t qv2_utf8_next(const char **p);
// UTF-16LE (nbytes) to NUL-terminated UTF-8 in dst[cap]; length, or -1.
int qv2_utf16_to_utf8(const uint8_t *src, uint64_t nbytes, char *dst, int32_t cap);
// NUL-terminated UTF-8 to UTF-16LE (no terminator); 0 with *outlen bytes, or -1.
int qv2_utf8_to_utf16le(const char *src, uint8_t *dst, int32_t cap, int32_t *outlen);

constexpr uint64_t QV2_FNV_BASIS = 0xcbf29ce484222325ULL;
// 64-bit FNV-1a continuing from `seed` (start fresh hashes with QV2_FNV_BASIS).
uint64_t qv2_fnv1a64(const void *data, uint64_t len, uint64_t seed);

// ---- Addresses and hex text ----

int qv2_ip_parse(const char *text, qv2_ip *out);
void qv2_ip_format(const qv2_ip *ip, char *out, int32_t size);
int qv2_ip_equal(const qv2_ip *a, const qv2_ip *b);
int qv2_ip_is_loopback(const qv2_ip *ip);
int qv2_cidr_parse(const char *text, qv2_cidr *out);
int qv2_cidr_match(const qv2_cidr *entry, const qv2_ip *ip);
// Hex text (whitespace allowed anywhere) to bytes. `out` may be null
// (validation only) and so may `count`. 0 or -1.
int qv2_hex_decode(const char *text, uint64_t len, uint8_t *out, uint64_t cap, uint64_t *count);
// Appends two lowercase hex digits per byte.
void qv2_hex_encode(const void *bytes, uint64_t n, qv2_buf *b);

// ---- Little-endian wire helpers (the session-service length is the only
// big-endian value on the wire) ----

inline uint16_t qv2_le16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t qv2_le32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t qv2_le64(const uint8_t *p) {
    return uint64_t(qv2_le32(p)) | (uint64_t(qv2_le32(p + 4)) << 32);
}
inline void qv2_put_le16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void qv2_put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
inline void qv2_put_le64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}

// Unix seconds to FILETIME (100 ns units since 1601). Sub-second parts are
// never carried, so the conversion is exact.
inline uint64_t qv2_filetime(int64_t unix_seconds) {
    return uint64_t(unix_seconds + 11644473600LL) * 10000000ULL;
}

// ---- secrets ----

// When set, every wipe calls it instead of zeroing (tests use it to observe
// wipes). Assign it before any other thread starts.
extern void (*wipe_hook)(void *buf, uint64_t len);
// Zeroes secrets in a way the optimiser can't drop.
void qv2_wipe(void *buf, uint64_t len);
// 1 when equal; always compares all len bytes.
int qv2_ct_equal(const void *a, const void *b, uint64_t len);
