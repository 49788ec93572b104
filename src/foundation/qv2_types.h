// Records and result codes shared by every unit. No behaviour lives here.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes of failing operations; 0 is success. The message goes to the
// error slot (qv2_fail).
enum : int {
    QV2_OK = 0,
    QV2_EARG = -1,     // bad argument or value
    QV2_ENOENT = -2,   // no such item
    QV2_EEXIST = -3,   // already exists
    QV2_ERUNNING = -4, // already running
    QV2_ESYS = -5,     // system facility failed
    QV2_EFULL = -6,    // table full
    QV2_ENAME = -7,    // bad name
    QV2_ESMALL = -8,   // output area too small
};

// Growable byte string, always NUL-terminated once data is allocated.
// All-zero is the valid empty buffer. An allocation failure sets `failed`,
// after which every append is a no-op until qv2_buf_free; builders check the
// flag once when they are done.
struct qv2_buf {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
    int32_t failed;
};

// An IPv4 (family 4) or IPv6 (family 6) address in network byte order.
// IPv4-mapped IPv6 addresses are always held as family 4.
struct qv2_ip {
    int32_t family;
    uint8_t addr[16];
};

// An allow-list entry: network address with the bits past `prefix` cleared.
struct qv2_cidr {
    qv2_ip ip;
    int32_t prefix;
};
