// dirir2i_simulate: plays one client connection from a script of hex lines
// through the session loop, and returns what the engine received and sent.
#include "config/qv2_alog.h"
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "engine/qv2_sess.h"
#include "foundation/qv2_util.h"
#include "frontend/qv2_out.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint64_t {
    LINE_MAX_BYTES = 65535,
    RAW_MAX_BYTES = 16384,
    // A frame line holds at most 65535 hex characters, so it decodes to at
    // most half as many bytes; this area always suffices.
    FRAME_AREA_BYTES = LINE_MAX_BYTES / 2 + 1,
    TRANSCRIPT_CAP = 2097152,
};

struct sim_ctx {
    const uint8_t *script;
    uint64_t pos;
    uint64_t len;
    qv2_buf transcript;
    int32_t truncated;
    int64_t replies;
};

// Appends one piece of the transcript unless that would pass the cap; the
// first piece that doesn't fit is replaced by the truncation mark.
void add_piece(sim_ctx *s, const void *bytes, uint64_t n, bool hex) {
    if (s->truncated) return;
    uint64_t size = hex ? 2 * n : n;
    if (s->transcript.len + size > TRANSCRIPT_CAP) {
        qv2_buf_str(&s->transcript, "[truncated]\n");
        s->truncated = 1;
        return;
    }
    if (hex) qv2_hex_encode(bytes, n, &s->transcript);
    else qv2_buf_put(&s->transcript, bytes, n);
}

int sim_write(void *, const uint8_t *, int) { return 0; }

int sim_read(void *user, uint8_t *buf, int max, int) {
    sim_ctx *s = static_cast<sim_ctx *>(user);
    if (max <= 0 || s->pos >= s->len) return 0;
    uint64_t n = s->len - s->pos;
    if (n > uint64_t(max)) n = uint64_t(max);
    memcpy(buf, s->script + s->pos, n);
    s->pos += n;
    return int(n);
}

void sim_log_frame(void *user, const char *dir, const uint8_t *data, int n) {
    sim_ctx *s = static_cast<sim_ctx *>(user);
    if (n < 0) return;
    if (strcmp(dir, ">>") == 0) {
        char line[64];
        int k = snprintf(line, sizeof line, ">> %s\n", qv2_frame_name(data, uint64_t(n)));
        if (k < 0) return;
        add_piece(s, line, strlen(line), false);
        return;
    }
    add_piece(s, "<< ", 3, false);
    add_piece(s, data, uint64_t(n), true);
    add_piece(s, "\n", 1, false);
    s->replies++;
}

// Decodes the script into the byte stream a client would have sent. 0, or
// -1 with the message in the error slot.
int build_stream(const char *script, qv2_buf *stream) {
    uint8_t *area = static_cast<uint8_t *>(malloc(FRAME_AREA_BYTES));
    if (!area) return qv2_fail(DIRIR2I_EARG, "out of memory");
    const char *p = script;
    int rc = 0;
    while (*p) {
        const char *lf = strchr(p, '\n');
        uint64_t n = lf ? uint64_t(lf - p) : strlen(p);
        const char *next = lf ? lf + 1 : p + n;
        if (n > LINE_MAX_BYTES) {
            rc = qv2_fail(DIRIR2I_EARG, "simulate: script line too long");
            break;
        }
        while (n > 0 && (p[n - 1] == '\r' || p[n - 1] == ' ')) n--;
        uint64_t count = 0;
        if (n == 0 || p[0] == '#') {
            // blank line or comment
        } else if (p[0] == '!') {
            // A raw line that isn't hex text is ignored, not an error.
            if (qv2_hex_decode(p + 1, n - 1, nullptr, 0, nullptr) == 0) {
                if (qv2_hex_decode(p + 1, n - 1, area, RAW_MAX_BYTES, &count) != 0) {
                    rc = qv2_fail(DIRIR2I_EARG, "simulate: bad !raw hex");
                    break;
                }
                qv2_buf_put(stream, area, count);
            }
        } else {
            if (qv2_hex_decode(p, n, area, FRAME_AREA_BYTES, &count) != 0 || count < 4) {
                rc = qv2_fail(DIRIR2I_EARG, "simulate: bad frame hex on a script line");
                break;
            }
            qv2_buf_put(stream, area, count);
        }
        p = next;
    }
    free(area);
    return rc;
}

} // namespace

extern "C" DIRIR2I_API const char *dirir2i_simulate(const char *script, const char *peer) {
    if (!script) {
        qv2_set_error("simulate: NULL script");
        return nullptr;
    }
    const char *addr = peer && *peer ? peer : "127.0.0.1";
    qv2_ip ip{};
    if (qv2_ip_parse(addr, &ip) != 0) {
        qv2_set_error("simulate: %.64s is not an IP address", addr);
        return nullptr;
    }
    if (!qv2_client_allowed(&ip)) {
        qv2_stat_add(QV2_ST_REFUSED_ALLOW, 1);
        qv2_alog_refused(&ip, "allow");
        qv2_buf refused{};
        qv2_buf_str(&refused, "refused: client address not allowed\n");
        if (refused.failed) {
            qv2_buf_free(&refused);
            qv2_set_error("out of memory");
            return nullptr;
        }
        return qv2_out_take(&refused);
    }

    qv2_buf stream{};
    if (build_stream(script, &stream) != 0) {
        qv2_buf_free(&stream);
        return nullptr;
    }
    if (stream.len == 0) qv2_buf_put(&stream, "", 0);
    if (stream.failed) {
        qv2_buf_free(&stream);
        qv2_set_error("out of memory");
        return nullptr;
    }

    sim_ctx s{stream.data, 0, stream.len, qv2_buf{}, 0, 0};
    qv2_io io{&s, sim_write, sim_read, sim_log_frame};
    qv2_sess_run(&io, &ip, 0);
    qv2_buf_free(&stream);

    qv2_buf_printf(&s.transcript, "RESULT ok (%lld frames)\n", (long long)s.replies);
    if (s.transcript.failed) {
        qv2_buf_free(&s.transcript);
        qv2_set_error("out of memory");
        return nullptr;
    }
    return qv2_out_take(&s.transcript);
}
