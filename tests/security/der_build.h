// The SPNEGO pieces the SPNEGO tests build by hand, from the toolkit's der().
#pragma once

#include "support/builders/wire.h"

#include <initializer_list>

using smb2::Bytes;
using smb2::bytes_of;
using smb2::cat;
using smb2::der;
using smb2::from_hex;
using smb2::hex;

inline const Bytes kOidNtlm = from_hex("06 0a 2b 06 01 04 01 82 37 02 02 0a");
inline const Bytes kOidSpnego = from_hex("06 06 2b 06 01 05 05 02");
inline const Bytes kOidKerberos = from_hex("06 09 2a 86 48 86 f7 12 01 02 02");
inline const Bytes kOidMsKerberos = from_hex("06 09 2a 86 48 82 f7 12 01 02 02");
inline const Bytes kOidNegoex = from_hex("06 0a 2b 06 01 04 01 82 37 02 02 1e");

// GSS initial token: [APPLICATION 0] { SPNEGO OID, [0] NegTokenInit { fields } }.
inline Bytes gss_init(const Bytes &fields) {
    return der(0x60, cat({kOidSpnego, der(0xa0, der(0x30, fields))}));
}

// [0] mechTypes with the given OIDs.
inline Bytes mech_types(std::initializer_list<Bytes> oids) {
    return der(0xa0, der(0x30, cat(oids)));
}

// negTokenResp { SEQUENCE { fields } }.
inline Bytes neg_resp(const Bytes &fields) {
    return der(0xa1, der(0x30, fields));
}
