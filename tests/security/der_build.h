// Building DER elements by hand for the SPNEGO tests.
#pragma once

#include "test_bytes.h"

#include <initializer_list>

// One element: tag, definite length (short or long form), content.
inline bytes der(uint8_t tag, const bytes &content) {
    bytes b{tag};
    size_t n = content.size();
    if (n < 0x80) {
        b.push_back(uint8_t(n));
    } else if (n < 0x100) {
        b.push_back(0x81);
        b.push_back(uint8_t(n));
    } else {
        b.push_back(0x82);
        b.push_back(uint8_t(n >> 8));
        b.push_back(uint8_t(n));
    }
    b.insert(b.end(), content.begin(), content.end());
    return b;
}

inline bytes cat(std::initializer_list<bytes> parts) {
    bytes b;
    for (const bytes &p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

inline const bytes kOidNtlm = unhex("06 0a 2b 06 01 04 01 82 37 02 02 0a");
inline const bytes kOidSpnego = unhex("06 06 2b 06 01 05 05 02");
inline const bytes kOidKerberos = unhex("06 09 2a 86 48 86 f7 12 01 02 02");
inline const bytes kOidMsKerberos = unhex("06 09 2a 86 48 82 f7 12 01 02 02");
inline const bytes kOidNegoex = unhex("06 0a 2b 06 01 04 01 82 37 02 02 1e");

// GSS initial token: [APPLICATION 0] { SPNEGO OID, [0] NegTokenInit { fields } }.
inline bytes gss_init(const bytes &fields) {
    return der(0x60, cat({kOidSpnego, der(0xa0, der(0x30, fields))}));
}

// [0] mechTypes with the given OIDs.
inline bytes mech_types(std::initializer_list<bytes> oids) {
    return der(0xa0, der(0x30, cat(oids)));
}

// negTokenResp { SEQUENCE { fields } }.
inline bytes neg_resp(const bytes &fields) {
    return der(0xa1, der(0x30, fields));
}
