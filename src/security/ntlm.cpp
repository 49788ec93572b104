// NTLMv2 server authentication (MS-NLMP): the CHALLENGE message and the
// verification of a client's AUTHENTICATE message against one user.
//
// qv2_ntlm_type3 says why it ended as it did (qv2_ntlm_reason), and
// qv2_ntlm_outcome_of what that means: a verified user (with the session
// key), a guest (no key), no match (the caller may try its next user), or a
// malformed message (the logon fails at once). NTLMv1 is never verified.
#include "security/qv2_ntlm.h"

#include "foundation/qv2_trace.h"
#include "foundation/qv2_util.h"
#include "security/qv2_crypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

const char kDefaultName[] = "KESTRAVONDLEX";
const uint8_t kSig[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};

enum : uint16_t {
    kAvEol = 0,
    kAvNbComputerName = 1,
    kAvNbDomainName = 2,
    kAvFlags = 6,
    kAvTimestamp = 7,
};
constexpr uint32_t kAvFlagMic = 0x00000002; // MsvAvFlags: the AUTHENTICATE carries a MIC

// The AUTHENTICATE's fixed part, then its Version, then its MIC.
constexpr uint64_t kMicOffset = 72, kMicEnd = 88;

constexpr uint64_t kBlobAvOffset = 28; // AV pairs inside NTLMv2_CLIENT_CHALLENGE
constexpr uint64_t kNtMin = 48, kNtMax = 1040;
constexpr int64_t kClockSkew = 7200;
constexpr uint64_t kEpochDelta = 11644473600ULL; // seconds from 1601 to 1970


int rd_u16(der_reader *r, uint16_t *v) {
    if (r->pos > r->size || r->size - r->pos < 2) return -1;
    *v = qv2_le16(r->data + r->pos);
    r->pos += 2;
    return 0;
}

int rd_u32(der_reader *r, uint32_t *v) {
    uint16_t lo, hi;
    if (rd_u16(r, &lo) != 0 || rd_u16(r, &hi) != 0) return -1;
    *v = uint32_t(lo) | (uint32_t(hi) << 16);
    return 0;
}

// One field descriptor (Len, MaxLen, Offset). Returns the field's bytes, or
// null when it is absent: unreadable descriptor, Offset 0 (Len is still
// stored), or bytes past the message end.
const uint8_t *field(der_reader *r, const uint8_t *msg, uint64_t msglen, uint64_t *len_out) {
    uint16_t len, maxlen;
    uint32_t off;
    if (rd_u16(r, &len) != 0 || rd_u16(r, &maxlen) != 0 || rd_u32(r, &off) != 0) return nullptr;
    if (uint64_t(off) + len <= msglen) {
        *len_out = len;
        return off == 0 ? nullptr : msg + off;
    }
    qv2_trace(-1, "t3field", "off=%u ln=%u msglen=%zu hi=%u\n", unsigned(off), unsigned(len), size_t(msglen),
          unsigned(maxlen));
    return nullptr;
}

// First AV pair with AvId `id` before MsvAvEOL. 0 found, -1 not.
int av_find(const uint8_t *list, uint64_t len, uint16_t id, const uint8_t **value_out,
            uint64_t *vlen_out) {
    uint64_t off = 0;
    while (len - off >= 4) {
        uint16_t avid = qv2_le16(list + off);
        uint16_t avlen = qv2_le16(list + off + 2);
        if (avlen > len - off - 4) return -1;
        if (avid == kAvEol) return -1;
        if (avid == id) {
            *value_out = list + off + 4;
            *vlen_out = avlen;
            return 0;
        }
        off += 4 + uint64_t(avlen);
    }
    return -1;
}

// The AV pairs of a blob, one line, for diagnosing clients that echo them
// oddly.
void trace_av_walk(const uint8_t *blob, uint64_t blen) {
    if (!qv2_trace_on("t3")) return;
    qv2_buf line{};
    qv2_buf_printf(&line, "walk blen=%zu:", size_t(blen));
    uint64_t off = kBlobAvOffset;
    while (off <= blen && blen - off >= 4) {
        uint16_t avid = qv2_le16(blob + off);
        uint16_t avlen = qv2_le16(blob + off + 2);
        qv2_buf_printf(&line, " id=%u len=%u@%zu", unsigned(avid), unsigned(avlen), size_t(off));
        if (avlen > blen - off - 4) {
            qv2_buf_str(&line, " OVER");
            break;
        }
        if (avid == kAvEol) break;
        off += 4 + uint64_t(avlen);
    }
    if (!line.failed) qv2_trace(-1, "t3", "%s\n", reinterpret_cast<char *>(line.data));
    qv2_buf_free(&line);
}

void trace_ts_missing(const uint8_t *blob, uint64_t blen) {
    if (!qv2_trace_on("t3")) return;
    qv2_buf line{};
    qv2_buf_printf(&line, "ts av blen=%zu blob:", size_t(blen));
    for (uint64_t i = 0; i < blen && i < 60; i++)
        qv2_buf_printf(&line, " %02x", blob[i]);
    if (!line.failed) qv2_trace(-1, "t3", "%s\n", reinterpret_cast<char *>(line.data));
    qv2_buf_free(&line);
}

// The server name as it goes on the wire: null or empty is the default,
// at most 60 characters, UTF-16LE in 160 bytes. 0 or -1.
int server_name_utf16(const char *server_name, uint8_t out[160], int32_t *outlen) {
    char name[68];
    snprintf(name, sizeof name, "%.60s",
             server_name && server_name[0] ? server_name : kDefaultName);
    return qv2_utf8_to_utf16le(name, out, 160, outlen);
}

// The AV pair `id` is present and holds `name` (w bytes of UTF-16LE), with
// the ASCII letters compared case-insensitively byte by byte.
bool av_names_server(const uint8_t *avs, uint64_t avlen, uint16_t id, const uint8_t *name,
                     int32_t w) {
    const uint8_t *v;
    uint64_t vlen;
    if (av_find(avs, avlen, id, &v, &vlen) != 0 || vlen != uint64_t(w)) return false;
    for (int32_t i = 0; i < w; i++) {
        uint8_t a = v[i], b = name[i];
        if (a >= 'A' && a <= 'Z') a = uint8_t(a + 32);
        if (b >= 'A' && b <= 'Z') b = uint8_t(b + 32);
        if (a != b) return false;
    }
    return true;
}

// NT hash and NTOWFv2. -1 (both outputs zero) when the password can't be
// converted to UTF-16LE; a user or domain that can't be converted is left out.
int hashes(const char *user, const char *domain, const char *password, uint8_t nt_hash[16],
           uint8_t ntowf[16]) {
    uint8_t pw16[514];
    int32_t pwlen = 0;
    if (qv2_utf8_to_utf16le(password ? password : "", pw16, sizeof pw16, &pwlen) != 0) {
        memset(nt_hash, 0, 16);
        memset(ntowf, 0, 16);
        qv2_wipe(pw16, sizeof pw16);
        return -1;
    }
    qv2_md4(pw16, uint64_t(pwlen), nt_hash);

    char up[129], dom[129];
    snprintf(up, sizeof up, "%s", user ? user : "");
    for (char *p = up; *p; p++)
        if (*p >= 'a' && *p <= 'z') *p = char(*p - 32);
    snprintf(dom, sizeof dom, "%s", domain ? domain : "");

    uint8_t ud[264];
    int32_t ulen = 0, dlen = 0;
    if (qv2_utf8_to_utf16le(up, ud, sizeof ud, &ulen) != 0) ulen = 0;
    if (dom[0] && qv2_utf8_to_utf16le(dom, ud + ulen, int32_t(sizeof ud) - ulen, &dlen) != 0)
        dlen = 0;
    qv2_hmacmd5(nt_hash, 16, ud, uint64_t(ulen + dlen), ntowf);
    qv2_wipe(pw16, sizeof pw16);
    return 0;
}

// Everything secret that the verification derives; wiped on every way out.
struct secrets {
    uint8_t nt_hash[16] = {};
    uint8_t ntowf[16] = {};
    uint8_t base_key[16] = {};
    qv2_hmacmd5_ctx mac = {};
    qv2_rc4_state rc4 = {};
    secrets() = default;
    ~secrets() { qv2_wipe(this, sizeof *this); }
    secrets(const secrets &) = delete;
    secrets &operator=(const secrets &) = delete;
};

} // namespace

int qv2_ntlm_type2(const char *server_name, const uint8_t challenge[8], int64_t unix_time,
                   uint32_t flags, qv2_buf *b) {
    uint8_t name16[160];
    int32_t w = 0;
    if (!challenge || !b || server_name_utf16(server_name, name16, &w) != 0) return -1;

    // Payload: the TargetName when the client asked for it, then TargetInfo.
    uint16_t target_len = (flags & QV2_NTLM_REQUEST_TARGET) ? uint16_t(w) : 0;
    uint8_t hdr[48] = {0};
    memcpy(hdr, kSig, 8);
    qv2_put_le32(hdr + 8, 2);
    qv2_put_le16(hdr + 12, target_len);
    qv2_put_le16(hdr + 14, target_len);
    qv2_put_le32(hdr + 16, target_len ? 48 : 0);
    qv2_put_le32(hdr + 20, flags);
    memcpy(hdr + 24, challenge, 8);
    qv2_put_le16(hdr + 40, uint16_t(2 * w + 24));
    qv2_put_le16(hdr + 42, uint16_t(2 * w + 24));
    qv2_put_le32(hdr + 44, 48u + target_len);
    qv2_buf_put(b, hdr, sizeof hdr);
    if (target_len) qv2_buf_put(b, name16, target_len);

    uint8_t av[4];
    for (uint16_t id : {kAvNbDomainName, kAvNbComputerName}) {
        qv2_put_le16(av, id);
        qv2_put_le16(av + 2, uint16_t(w));
        qv2_buf_put(b, av, 4);
        qv2_buf_put(b, name16, uint64_t(w));
    }
    uint8_t ts[12];
    qv2_put_le16(ts, kAvTimestamp);
    qv2_put_le16(ts + 2, 8);
    // Unsigned arithmetic: any time argument gives a defined value.
    qv2_put_le64(ts + 4, (uint64_t(unix_time) + kEpochDelta) * 10000000ULL);
    qv2_buf_put(b, ts, sizeof ts);
    uint8_t eol[4] = {0};
    qv2_buf_put(b, eol, 4);
    return 0;
}

qv2_ntlm_reason qv2_ntlm_type3(const uint8_t *msg, uint64_t msglen, const qv2_ntlm_check &chk,
                               const char *user, const char *password, uint8_t key_out[16]) {
    uint8_t key_sink[16];
    if (!key_out) key_out = key_sink;
    memset(key_out, 0, 16);
    if (!user) user = "";
    const uint8_t *challenge = chk.challenge;
    const char *server_name = chk.server_name;

    if (!challenge) return QV2_NTLM_BAD_ARGUMENT;
    if (!msg || msglen < 32) {
        qv2_trace(-1, "t3", "short %zu\n", size_t(msglen));
        return QV2_NTLM_SHORT;
    }
    if (memcmp(msg, kSig, 8) != 0) {
        qv2_trace(-1, "t3", "sig\n");
        return QV2_NTLM_SIGNATURE;
    }
    der_reader r{msg, msglen, 8};
    uint32_t type;
    if (rd_u32(&r, &type) != 0 || type != 3) return QV2_NTLM_NOT_AUTHENTICATE;

    // Descriptors in wire order; the LM response and workstation are read
    // only to step over them.
    uint64_t lm_len = 0, nt_len = 0, dom_len = 0, user_len = 0, ws_len = 0, enc_len = 0;
    field(&r, msg, msglen, &lm_len);
    const uint8_t *nt = field(&r, msg, msglen, &nt_len);
    const uint8_t *dom = field(&r, msg, msglen, &dom_len);
    const uint8_t *wuser = field(&r, msg, msglen, &user_len);
    field(&r, msg, msglen, &ws_len);
    const uint8_t *enc_key = field(&r, msg, msglen, &enc_len);
    if (!nt) {
        qv2_trace(-1, "t3", "ntfield\n");
        return QV2_NTLM_NO_NT_RESPONSE;
    }
    uint32_t flags;
    if (rd_u32(&r, &flags) != 0) {
        qv2_trace(-1, "t3", "flags\n");
        return QV2_NTLM_NO_FLAGS;
    }
    // An anonymous logon carries no response at all, so there is nothing of
    // NTLMv1 to refuse; Samba's anonymous AUTHENTICATE sets NTLM without
    // extended session security.
    if (nt_len == 0) {
        qv2_trace(-1, "t3", "anonymous (empty NT response)\n");
        return QV2_NTLM_ANONYMOUS;
    }
    // NTLM without extended session security means an NTLMv1 client. Its
    // response proves no user; like any unproven logon it may still be a
    // guest.
    bool ntlmv1 = (flags & QV2_NTLM_NTLM) && !(flags & QV2_NTLM_EXTENDED_SESSIONSECURITY);
    if (ntlmv1) {
        if (chk.guest_allowed) {
            qv2_trace(-1, "t3", "ntlmv1 -> guest\n");
            return QV2_NTLM_UNPROVEN_GUEST;
        }
        qv2_trace(-1, "t3", "ntonly flags=%08x\n", unsigned(flags));
        return QV2_NTLM_NTLMV1;
    }
    if (nt_len < kNtMin || nt_len > kNtMax) {
        if (chk.guest_allowed) {
            qv2_trace(-1, "t3", "short blob -> guest\n");
            return QV2_NTLM_UNPROVEN_GUEST;
        }
        qv2_trace(-1, "t3", "ntlen %u\n", unsigned(nt_len));
        return QV2_NTLM_RESPONSE_LENGTH;
    }

    uint8_t proof[16];
    memcpy(proof, nt, 16);
    const uint8_t *blob = nt + 16;
    uint64_t blen = nt_len - 16;
    if (blob[0] != 1 || blob[1] != 1) {
        qv2_trace(-1, "t3", "blobver %02x%02x\n", blob[0], blob[1]);
        return QV2_NTLM_BLOB_VERSION;
    }

    char wire_user[129] = "";
    if (user_len != 0 &&
        (!wuser || qv2_utf16_to_utf8(wuser, user_len, wire_user, sizeof wire_user) < 0))
        return QV2_NTLM_USER_NAME;
    if (user[0] && qv2_casecmp(user, wire_user) != 0) {
        qv2_trace(-1, "t3", "user mismatch wire='%s' want='%s'\n", wire_user, user);
        return QV2_NTLM_OTHER_USER;
    }

    const uint8_t *avs = blob + kBlobAvOffset;
    uint64_t avs_len = blen - kBlobAvOffset;
    if (chk.timecheck) {
        trace_av_walk(blob, blen);
        const uint8_t *tsv;
        uint64_t tslen;
        if (av_find(avs, avs_len, kAvTimestamp, &tsv, &tslen) != 0 || tslen != 8) {
            trace_ts_missing(blob, blen);
            return QV2_NTLM_TIMESTAMP;
        }
        // A zero timestamp would make a response collected once valid for
        // ever: it fails like one out of the window.
        uint64_t ft = qv2_le64(tsv);
        int64_t seconds = int64_t(ft / 10000000ULL) - int64_t(kEpochDelta);
        int64_t skew;
        if (ft == 0 || __builtin_sub_overflow(seconds, chk.now, &skew) || skew > kClockSkew ||
            skew < -kClockSkew)
            return QV2_NTLM_TIMESTAMP;
    }

    uint8_t name16[160];
    int32_t w = 0;
    if (server_name_utf16(server_name, name16, &w) != 0) return QV2_NTLM_BAD_ARGUMENT;
    if (!av_names_server(avs, avs_len, kAvNbDomainName, name16, w)) {
        qv2_trace(-1, "t3", "nbdom av (dom=%s)\n",
              server_name && server_name[0] ? server_name : kDefaultName);
        return QV2_NTLM_DOMAIN_NAME;
    }
    if (!av_names_server(avs, avs_len, kAvNbComputerName, name16, w)) {
        qv2_trace(-1, "t3", "nbcomp av\n");
        return QV2_NTLM_COMPUTER_NAME;
    }

    // The client's domain only enters NTOWFv2; it is not matched.
    char domain[129] = "";
    if (dom && dom_len > 0 && qv2_utf16_to_utf8(dom, dom_len, domain, sizeof domain) < 0)
        domain[0] = '\0';

    secrets s;
    // NTOWFv2 is over the configured spelling of the user, not the wire's. A
    // password that can't be hashed matches nothing: its zero NTOWFv2 would
    // be a key anyone can compute.
    int hashed = hashes(user, domain, password, s.nt_hash, s.ntowf);
    uint8_t expected[16];
    qv2_hmacmd5_init(&s.mac, s.ntowf, 16);
    qv2_hmacmd5_update(&s.mac, challenge, 8);
    qv2_hmacmd5_update(&s.mac, blob, blen);
    qv2_hmacmd5_final(&s.mac, expected);
    if (hashed != 0 || !qv2_ct_equal(expected, proof, 16)) {
        qv2_trace(-1, "t3", "proof MISMATCH user='%s'\n", wire_user);
        return QV2_NTLM_WRONG_PROOF;
    }

    qv2_hmacmd5(s.ntowf, 16, proof, 16, s.base_key);
    if (flags & QV2_NTLM_KEY_EXCH) {
        if (!enc_key || enc_len != 16) return QV2_NTLM_SESSION_KEY;
        memcpy(key_out, enc_key, 16);
        qv2_rc4_init(&s.rc4, s.base_key, 16);
        qv2_rc4(&s.rc4, key_out, 16);
    } else {
        memcpy(key_out, s.base_key, 16);
    }
    return QV2_NTLM_VERIFIED;
}

void qv2_ntlm_hashes_dom(const char *user, const char *domain, const char *password,
                         uint8_t nt_hash_out[16], uint8_t ntowf_out[16]) {
    hashes(user, domain, password, nt_hash_out, ntowf_out);
}

void qv2_ntlm_hashes(const char *user, const char *password, uint8_t nt_hash_out[16],
                     uint8_t ntowf_out[16]) {
    hashes(user, "", password, nt_hash_out, ntowf_out);
}

int qv2_ntlm_type1(const uint8_t *msg, uint64_t len) {
    if (!msg || len < 16 || memcmp(msg, kSig, 8) != 0 || qv2_le32(msg + 8) != 1) return -1;
    return 0;
}

uint32_t qv2_ntlm_auth_flags(const uint8_t *msg, uint64_t len) {
    if (!msg || len < 64 || memcmp(msg, kSig, 8) != 0) return 0;
    return qv2_le32(msg + 60);
}

int qv2_ntlm_check_mic(const uint8_t *auth, uint64_t authlen, const uint8_t *negotiate,
                       uint64_t negotiate_len, const uint8_t *challenge_msg,
                       uint64_t challenge_len, const uint8_t exported[16]) {
    if (!auth || authlen < 32) return -1;
    der_reader r{auth, authlen, 20}; // NtChallengeResponseFields
    uint64_t nt_len = 0;
    const uint8_t *nt = field(&r, auth, authlen, &nt_len);
    if (!nt || nt_len < kNtMin) return 0; // no NTLMv2 blob, nothing announces a MIC
    const uint8_t *v;
    uint64_t vlen;
    if (av_find(nt + 16 + kBlobAvOffset, nt_len - 16 - kBlobAvOffset, kAvFlags, &v, &vlen) != 0 ||
        vlen != 4 || !(qv2_le32(v) & kAvFlagMic))
        return 0;
    // The blob (which the proof covers) says a MIC is there: it must be.
    if (authlen < kMicEnd) return -1;
    static const uint8_t zero[16] = {0};
    uint8_t mic[16];
    qv2_hmacmd5_ctx h;
    qv2_hmacmd5_init(&h, exported, 16);
    if (negotiate_len) qv2_hmacmd5_update(&h, negotiate, negotiate_len);
    if (challenge_len) qv2_hmacmd5_update(&h, challenge_msg, challenge_len);
    qv2_hmacmd5_update(&h, auth, kMicOffset);
    qv2_hmacmd5_update(&h, zero, sizeof zero);
    qv2_hmacmd5_update(&h, auth + kMicEnd, authlen - kMicEnd);
    qv2_hmacmd5_final(&h, mic);
    int ok = qv2_ct_equal(mic, auth + kMicOffset, 16);
    qv2_wipe(&h, sizeof h);
    qv2_wipe(mic, sizeof mic);
    return ok ? 0 : -1;
}

qv2_ntlm_outcome qv2_ntlm_outcome_of(qv2_ntlm_reason reason) {
    switch (reason) {
    case QV2_NTLM_VERIFIED: return QV2_NTLM_USER;
    case QV2_NTLM_ANONYMOUS:
    case QV2_NTLM_UNPROVEN_GUEST: return QV2_NTLM_GUEST;
    case QV2_NTLM_NTLMV1:
    case QV2_NTLM_OTHER_USER:
    case QV2_NTLM_WRONG_PROOF: return QV2_NTLM_NO_MATCH;
    default: return QV2_NTLM_MALFORMED;
    }
}
