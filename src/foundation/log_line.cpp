// Access-log line formatting: logfmt and JSON, with the escaping that keeps
// client-supplied text inside its one value.
#include "foundation/qv2_logline.h"

#include "foundation/qv2_util.h"

#include <cstdio>
#include <cstring>

namespace {

// Length of the well-formed UTF-8 sequence at s (1 to 4 bytes, at most n
// available) with its code point in *cp, or 0 when s starts no such
// sequence (a stray continuation byte, an overlong form, a surrogate, a
// value above U+10FFFF, a cut sequence).
size_t utf8_seq(const unsigned char *s, size_t n, uint32_t *cp) {
    unsigned char b = s[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    size_t len;
    uint32_t v, min;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2, v = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, v = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, v = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

// Code points a terminal or log viewer may take as a line break or use to
// reorder what is shown: the C1 controls (NEL among them), the line and
// paragraph separators and the bidirectional marks and overrides. Written
// as \uXXXX so a line reads as it is.
bool deceptive(uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// Bytes a logfmt value may hold without quotes.
bool bare_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("-._:/@+,~", c) != nullptr;
}

bool bare_value(const char *s, size_t n) {
    if (n == 0) return false;
    for (size_t i = 0; i < n; i++)
        if (!bare_byte(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// The part of a value that is kept: at most QV2_LOG_VALUE_MAX bytes, cut
// before a UTF-8 continuation byte so the cut leaves no half character.
size_t kept_length(const char *s, bool *cut) {
    size_t n = strlen(s);
    *cut = n > size_t(QV2_LOG_VALUE_MAX);
    if (!*cut) return n;
    n = QV2_LOG_VALUE_MAX;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) n--;
    return n;
}

// Appends the escaped body of a quoted value (without the quotes).
void put_escaped(qv2_buf *b, const char *text, size_t n, bool json) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        uint32_t cp = 0;
        size_t len = utf8_seq(s + i, n - i, &cp);
        if (len == 0) {
            // Host file names need not be UTF-8; JSON must be.
            if (json) qv2_buf_str(b, "\\ufffd");
            else qv2_buf_printf(b, "\\x%02x", c);
            i++;
            continue;
        }
        if (c == '"' || c == '\\') {
            qv2_buf_byte(b, '\\');
            qv2_buf_byte(b, c);
        } else if (c == '\n') {
            qv2_buf_str(b, "\\n");
        } else if (c == '\r') {
            qv2_buf_str(b, "\\r");
        } else if (c == '\t') {
            qv2_buf_str(b, "\\t");
        } else if (c < 0x20 || c == 0x7F) {
            if (json) qv2_buf_printf(b, "\\u%04x", c);
            else qv2_buf_printf(b, "\\x%02x", c);
        } else if (deceptive(cp)) {
            qv2_buf_printf(b, "\\u%04x", unsigned(cp));
        } else {
            qv2_buf_put(b, s + i, len);
        }
        i += len;
    }
}

// The separator and key of the next field.
void put_key(qv2_logline *l, const char *key) {
    if (l->format == QV2_LOG_JSON) qv2_buf_printf(&l->buf, ",\"%s\":", key);
    else qv2_buf_printf(&l->buf, " %s=", key);
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void civil_from_days(int64_t z, int64_t *y, unsigned *m, unsigned *d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = unsigned(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = int64_t(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

} // namespace

void qv2_logline_begin(qv2_logline *l, int32_t format, int64_t unix_ms, const char *event) {
    *l = qv2_logline{};
    l->format = format == QV2_LOG_JSON ? QV2_LOG_JSON : QV2_LOG_LOGFMT;
    if (unix_ms < 0) unix_ms = 0;
    int64_t secs = unix_ms / 1000, days = secs / 86400, rest = secs % 86400;
    int64_t year;
    unsigned month, day;
    civil_from_days(days, &year, &month, &day);
    char stamp[40];
    snprintf(stamp, sizeof stamp, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ", (long long)year, month,
             day, int(rest / 3600), int(rest / 60 % 60), int(rest % 60), int(unix_ms % 1000));
    if (l->format == QV2_LOG_JSON)
        qv2_buf_printf(&l->buf, "{\"time\":\"%s\",\"event\":\"%s\"", stamp, event);
    else
        qv2_buf_printf(&l->buf, "time=%s event=%s", stamp, event);
}

void qv2_logline_str(qv2_logline *l, const char *key, const char *value) {
    if (!value) value = "";
    bool cut;
    size_t n = kept_length(value, &cut);
    put_key(l, key);
    bool json = l->format == QV2_LOG_JSON;
    if (!json && !cut && bare_value(value, n)) {
        qv2_buf_put(&l->buf, value, n);
        return;
    }
    qv2_buf_byte(&l->buf, '"');
    put_escaped(&l->buf, value, n, json);
    if (cut) qv2_buf_str(&l->buf, "...");
    qv2_buf_byte(&l->buf, '"');
}

void qv2_logline_num(qv2_logline *l, const char *key, int64_t value) {
    put_key(l, key);
    qv2_buf_printf(&l->buf, "%lld", (long long)value);
}

void qv2_logline_bool(qv2_logline *l, const char *key, bool value) {
    put_key(l, key);
    qv2_buf_str(&l->buf, value ? "true" : "false");
}

void qv2_logline_end(qv2_logline *l) {
    qv2_buf_str(&l->buf, l->format == QV2_LOG_JSON ? "}\n" : "\n");
}
