// compress.cc - the record packing. The stored form is described in
// compress.h; both directions make a single pass and allocate nothing.
#include "compress/compress.h"

#include <string.h>

namespace pmdb {

namespace {

constexpr int MAXREPEAT = 128;    // -count of the longest repeat item (129 bytes)
constexpr int MAXLITERAL = 127;

inline uint64_t load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

// The length of the literal item that starts at i: it ends after a byte
// whose next two bytes (both inside the record) are equal, at the end of
// the record, or at MAXLITERAL bytes. The pairs are looked for eight at a
// time: byte t of x is zero where record bytes j + t and j + t + 1 agree.
inline int literallen(const uint8_t *b2, int i, int n) {
    int limit = n - i < MAXLITERAL ? n - i : MAXLITERAL;
    int j = i + 1;
    for (; j + 8 < n && j - i < limit; j += 8) {
        uint64_t x = load64(b2 + j) ^ load64(b2 + j + 1);
        uint64_t zero = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
        if (zero != 0) {
            int k = j - i + (__builtin_ctzll(zero) >> 3);
            return k < limit ? k : limit;
        }
    }
    for (; j - i < limit; j++)
        if (j + 1 < n && b2[j] == b2[j + 1]) return j - i;
    return limit;
}

}  // namespace

int16_t compress(uint8_t *b1, size_t cap, const uint8_t *b2, int16_t len) {
    if (len < 0) return 0;
    const int n = len;
    int out = 0;   // stored length so far
    int i = 0;
    // Packing stops as soon as it cannot end strictly shorter than the
    // record: the raw form is then stored, so no more than n + 1 bytes of
    // destination are ever needed, and never more than cap are written.
    bool packed = true;
    while (i < n) {
        if (i < n - 1 && b2[i] == b2[i + 1]) {
            int k = 1;
            while (k < MAXREPEAT && i + k < n - 2 && b2[i + k] == b2[i + k + 1]) k++;
            if (out + 2 >= n || (size_t)(out + 2) > cap) {
                packed = false;
                break;
            }
            b1[out] = (uint8_t)(int8_t)-k;
            b1[out + 1] = b2[i];
            out += 2;
            i += k + 1;
        } else {
            int k = literallen(b2, i, n);
            if (out + 1 + k >= n || (size_t)(out + 1 + k) > cap) {
                packed = false;
                break;
            }
            b1[out] = (uint8_t)k;
            memcpy(b1 + out + 1, b2 + i, (size_t)k);
            out += 1 + k;
            i += k;
        }
    }
    if (packed && out < n) return (int16_t)out;
    if ((size_t)n + 1 > cap) return 0;
    b1[0] = 0;
    if (n > 0) memcpy(b1 + 1, b2, (size_t)n);
    return (int16_t)(n + 1);
}

int16_t compress(uint8_t *b1, const uint8_t *b2, int16_t len) {
    return compress(b1, len < 0 ? 0 : (size_t)len + 1, b2, len);
}

int16_t uncompressedlen(const uint8_t *b2, int16_t len) {
    if (len < 1) return -1;
    if (b2[0] == 0) return (int16_t)(len - 1);
    long total = 0;
    int p = 0;
    while (p < len) {
        int8_t c = (int8_t)b2[p];
        if (c == 0) return -1;
        if (c < 0) {
            if (p + 2 > len) return -1;
            total += 1 - c;
            p += 2;
        } else {
            if (p + 1 + c > len) return -1;
            total += c;
            p += 1 + c;
        }
        if (total > INT16_MAX) return -1;
    }
    return (int16_t)total;
}

int16_t uncompress(uint8_t *b1, size_t cap, const uint8_t *b2, int16_t len) {
    // The form is checked whole before anything is written, so a damaged
    // one leaves the destination as it was.
    int16_t n = uncompressedlen(b2, len);
    if (n < 0 || (size_t)n > cap) return -1;
    if (b2[0] == 0) {
        if (n > 0) memcpy(b1, b2 + 1, (size_t)n);
        return n;
    }
    int p = 0;
    int out = 0;
    while (p < len) {
        int8_t c = (int8_t)b2[p];
        if (c < 0) {
            memset(b1 + out, b2[p + 1], (size_t)(1 - c));
            out += 1 - c;
            p += 2;
        } else {
            memcpy(b1 + out, b2 + p + 1, (size_t)c);
            out += c;
            p += 1 + c;
        }
    }
    return n;
}

}  // namespace pmdb
