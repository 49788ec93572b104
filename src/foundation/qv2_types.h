// Records and result codes shared by every unit. No behaviour lives here.
#pragma once

#include "dirir2i.h" // the result codes, DIRIR2I_OK and DIRIR2I_E...: one set, inside and out

#include <cstddef>
#include <cstdint>

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
