// keyvalue.cc - key values, quoted strings, hex and JSON text.
#include "keyvalue.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "schema.h"

namespace pmdbtool {

namespace {

bool isprintableascii(unsigned char ch) { return ch >= 0x20 && ch < 0x7f; }

template <typename T>
void putle(T v, std::string *out) {
    uint8_t b[sizeof(T)];
    memcpy(b, &v, sizeof v);  // the file format and this machine are little-endian
    out->append((const char *)b, sizeof b);
}

bool wholenumber(const std::string &t, bool sign, long long lo, unsigned long long hi,
                 long long *sv, unsigned long long *uv) {
    if (t.empty() || isspace((unsigned char)t[0])) return false;
    char *end = nullptr;
    errno = 0;
    if (sign) {
        long long x = strtoll(t.c_str(), &end, 10);
        if (errno || *end || end == t.c_str() || x < lo || x > (long long)hi) return false;
        *sv = x;
    } else {
        if (t[0] == '-') return false;
        unsigned long long x = strtoull(t.c_str(), &end, 10);
        if (errno || *end || end == t.c_str() || x > hi) return false;
        *uv = x;
    }
    return true;
}

}  // namespace

namespace {

// Bytes as a quoted string: '"' and '\\' escaped, printable ASCII as it
// is, every other byte through esc (the text and JSON forms differ only
// there).
std::string quoted(const uint8_t *p, size_t n, const char *esc) {
    std::string out = "\"";
    for (size_t i = 0; i < n; i++) {
        unsigned char ch = p[i];
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += (char)ch;
        } else if (isprintableascii(ch)) {
            out += (char)ch;
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, esc, ch);
            out += buf;
        }
    }
    return out + "\"";
}

}  // namespace

std::string quotebytes(const uint8_t *p, size_t n) { return quoted(p, n, "\\x%02x"); }

std::string quotebytes(const std::string &bytes) {
    return quotebytes((const uint8_t *)bytes.data(), bytes.size());
}

bool readquoted(const std::string &text, size_t *pos, std::string *bytes) {
    size_t i = *pos;
    if (i >= text.size() || text[i] != '"') return false;
    bytes->clear();
    for (i++; i < text.size(); i++) {
        char ch = text[i];
        if (ch == '"') {
            *pos = i + 1;
            return true;
        }
        if (ch != '\\') {
            *bytes += ch;
            continue;
        }
        if (++i >= text.size()) return false;
        char e = text[i];
        if (e == '"' || e == '\\') {
            *bytes += e;
        } else if (e == 'x' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
                   isxdigit((unsigned char)text[i + 2])) {
            *bytes += (char)strtol(text.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            return false;
        }
    }
    return false;
}

std::string hexbytes(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

bool unhex(const std::string &hex, std::string *bytes) {
    if (hex.size() % 2) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (!isxdigit((unsigned char)hex[i]) || !isxdigit((unsigned char)hex[i + 1])) return false;
        *bytes += (char)strtol(hex.substr(i, 2).c_str(), nullptr, 16);
    }
    return true;
}

std::string jsonbytes(const uint8_t *p, size_t n) { return quoted(p, n, "\\u%04x"); }

std::string jsonbytes(const std::string &bytes) {
    return jsonbytes((const uint8_t *)bytes.data(), bytes.size());
}

long double ldoublefrombytes(const uint8_t *v) {
    uint64_t sig = 0;
    for (int i = 7; i >= 0; i--) sig = sig << 8 | v[i];
    unsigned se = (unsigned)v[8] | (unsigned)v[9] << 8;
    bool neg = (se & 0x8000) != 0;
    int exp = (int)(se & 0x7fff);
    long double x;
    if (exp == 0x7fff)
        x = (sig << 1) == 0 ? HUGE_VALL : NAN;
    else
        x = ldexpl((long double)sig, (exp == 0 ? 1 : exp) - 16383 - 63);
    return neg ? -x : x;
}

void ldoubletobytes(long double x, uint8_t *v) {
    bool neg = signbit(x);
    long double a = fabsl(x);
    uint64_t sig = 0;
    unsigned exp = 0;
    if (isinf(a)) {
        sig = (uint64_t)1 << 63;
        exp = 0x7fff;
    } else if (a != 0) {
        int e;
        long double m = frexpl(a, &e);  // a = m * 2^e, m in [0.5, 1)
        int biased = e - 1 + 16383;
        if (biased >= 1) {
            sig = (uint64_t)ldexpl(m, 64);
            exp = (unsigned)biased;
        } else {
            sig = (uint64_t)ldexpl(a, 16382 + 63);  // a denormal: exponent field 0
        }
    }
    for (int i = 0; i < 8; i++) v[i] = (uint8_t)(sig >> (8 * i));
    unsigned se = exp | (neg ? 0x8000u : 0u);
    v[8] = (uint8_t)se;
    v[9] = (uint8_t)(se >> 8);
}

std::string formatkeyvalue(int t, const uint8_t *v, int len) {
    if (len == 0) return "\"\"";
    int w = keytypewidth(t);
    if (w == 0 || len != w) return quotebytes(v, (size_t)len);
    char buf[64];
    switch (t) {
    case 1: {
        int16_t x;
        memcpy(&x, v, 2);
        snprintf(buf, sizeof buf, "%d", x);
        break;
    }
    case 2: {
        int32_t x;
        memcpy(&x, v, 4);
        snprintf(buf, sizeof buf, "%d", x);
        break;
    }
    case 4: {
        uint16_t x;
        memcpy(&x, v, 2);
        snprintf(buf, sizeof buf, "%u", x);
        break;
    }
    case 5: {
        uint32_t x;
        memcpy(&x, v, 4);
        snprintf(buf, sizeof buf, "%u", x);
        break;
    }
    // Floating values in the fewest digits that read back to the same
    // bits (0.1, not 0.100000001), by the conversion load uses; more
    // digits only where they spare an exponent (20, not 2e+01).
    case 6:
    case 7:
    default: {
        int maxp = t == 6 ? 9 : t == 7 ? 17 : 21;
        auto show = [&](int p) {
            if (t == 6 || t == 7) {
                double x;
                if (t == 6) {
                    float f;
                    memcpy(&f, v, 4);
                    x = f;
                } else {
                    memcpy(&x, v, 8);
                }
                snprintf(buf, sizeof buf, "%.*g", p, x);
            } else {
                snprintf(buf, sizeof buf, "%.*Lg", p, ldoublefrombytes(v));
            }
        };
        auto readsback = [&]() {
            std::string b;
            std::string e;
            return parsekeyvalue(t, buf, &b, &e) && memcmp(b.data(), v, (size_t)w) == 0;
        };
        int p = 1;
        for (show(p); p < maxp && !readsback(); show(++p)) {
        }
        // An exponent only for the very large and the very small.
        int shortest = p;
        for (; p < maxp && strchr(buf, 'e') != nullptr; show(++p)) {
        }
        if (strchr(buf, 'e') != nullptr) show(shortest);
        break;
    }
    }
    return buf;
}

bool parsekeyvalue(int t, const std::string &text, std::string *bytes, std::string *error) {
    bytes->clear();
    if (text == "\"\"") return true;
    int w = keytypewidth(t);
    if (w == 0) {
        bool ok;
        if (!text.empty() && text[0] == '"') {
            size_t pos = 0;
            ok = readquoted(text, &pos, bytes) && pos == text.size();
        } else {
            ok = unescape(text, bytes);
        }
        if (!ok) {
            *error = "malformed text value " + text;
            return false;
        }
        if (bytes->size() > 195) {
            *error = "a key value holds at most 195 bytes";
            return false;
        }
        return true;
    }
    long long sv = 0;
    unsigned long long uv = 0;
    const char *name = keytypename(t);
    bool ok = true;
    switch (t) {
    case 1:
        ok = wholenumber(text, true, -32768, 32767, &sv, &uv);
        if (ok) putle((int16_t)sv, bytes);
        break;
    case 2:
        ok = wholenumber(text, true, INT32_MIN, INT32_MAX, &sv, &uv);
        if (ok) putle((int32_t)sv, bytes);
        break;
    case 4:
        ok = wholenumber(text, false, 0, 65535, &sv, &uv);
        if (ok) putle((uint16_t)uv, bytes);
        break;
    case 5:
        ok = wholenumber(text, false, 0, UINT32_MAX, &sv, &uv);
        if (ok) putle((uint32_t)uv, bytes);
        break;
    default: {
        if (text.empty() || isspace((unsigned char)text[0])) {
            ok = false;
            break;
        }
        // Each width is read by its own conversion, so that a printed value
        // reads back to exactly the same bits.
        char *end = nullptr;
        errno = 0;
        float f = 0;
        double d = 0;
        long double x = 0;
        if (t == 6)
            x = f = strtof(text.c_str(), &end);
        else if (t == 7)
            x = d = strtod(text.c_str(), &end);
        else
            x = strtold(text.c_str(), &end);
        if (*end || end == text.c_str() || isnan(x)) {
            ok = false;
            break;
        }
        if (t == 6) {
            putle(f, bytes);
        } else if (t == 7) {
            putle(d, bytes);
        } else {
            uint8_t b[10];
            ldoubletobytes(x, b);
            bytes->append((const char *)b, 10);
        }
    }
    }
    if (!ok) *error = "'" + text + "' is not a " + (name ? name : "key") + " value";
    return ok;
}

}  // namespace pmdbtool
