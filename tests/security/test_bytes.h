// Old names for the byte toolkit of support/builders/wire.h, for the tests
// that still use them.
#pragma once

#include "support/builders/wire.h"

#include <string>

using bytes = smb2::Bytes;
using smb2::hex;

inline bytes unhex(const std::string &text) {
    return smb2::from_hex(text);
}
inline bytes str_bytes(const std::string &s) {
    return smb2::bytes_of(s);
}
