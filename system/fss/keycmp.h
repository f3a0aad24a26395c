// keycmp.h - the nine comparisons of key images, written once as inline
// functions: the comparator table (keyblk.cc) calls them through its
// pointers, and the block scans (keyscan.h) call them directly, one loop
// per key type, so that the inner loop of a scan makes no call through a
// pointer and a char comparison stops at the first differing byte.
//
// Every comparison takes (v1, v2, len, dupkeys, v1len, v2len): two images,
// each followed by its rid, len the smaller keylen. Only the sign of the
// result counts.
//   char types: the first len bytes as unsigned bytes (the fid byte
//     first); len 1 ends there; else a proper prefix sorts first; then,
//     with dupkeys, the rids as unsigned 32-bit numbers.
//   typed: the fid bytes; len 1 ends there with 0; the values of the
//     type's width; with dupkeys, the rids after the values.
#ifndef PMDB_FSS_KEYCMP_H
#define PMDB_FSS_KEYCMP_H

#include <stdint.h>
#include <string.h>

#include "fss/format.h"

namespace pmdb {

inline int16_t cmpu32(uint32_t a, uint32_t b) { return (int16_t)(a > b ? 1 : a < b ? -1 : 0); }

inline uint64_t loadbe64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline uint32_t loadbe32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

// The sign of memcmp(a, b, n), reading no byte outside the n. Words are
// compared as big-endian numbers, whose order is that of their bytes; the
// last word may overlap the one before it, whose bytes are already equal.
inline int cmpbytes(const uint8_t *a, const uint8_t *b, int n) {
    if (n >= 8) {
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t x = loadbe64(a + i), y = loadbe64(b + i);
            if (x != y) return x > y ? 1 : -1;
        }
        if (i == n) return 0;
        uint64_t x = loadbe64(a + n - 8), y = loadbe64(b + n - 8);
        return x == y ? 0 : x > y ? 1 : -1;
    }
    if (n >= 4) {
        uint32_t x = loadbe32(a), y = loadbe32(b);
        if (x != y) return x > y ? 1 : -1;
        x = loadbe32(a + n - 4);
        y = loadbe32(b + n - 4);
        return x == y ? 0 : x > y ? 1 : -1;
    }
    for (int i = 0; i < n; i++)
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    return 0;
}

inline int16_t charcmp(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t v1len,
                       int16_t v2len) {
    // The fid bytes first: keys of other subkeys are told apart at once.
    if (v1[0] != v2[0]) return v1[0] > v2[0] ? 1 : -1;
    if (len == 1) return 0;
    int c = cmpbytes(v1 + 1, v2 + 1, len - 1);
    if (c != 0) return (int16_t)c;
    if (v1len != v2len) return v1len > v2len ? 1 : -1;
    if (dupkeys == 0) return 0;
    return cmpu32(get32(v1 + len), get32(v2 + len));
}

// The value comparisons of the typed keys, each of its width W.
struct SHORTV {
    static constexpr int W = 2;
    static int16_t cmp(const uint8_t *a, const uint8_t *b) {
        int16_t x = (int16_t)get16(a), y = (int16_t)get16(b);
        return (int16_t)(x > y ? 1 : x < y ? -1 : 0);
    }
};
struct LONGV {
    static constexpr int W = 4;
    static int16_t cmp(const uint8_t *a, const uint8_t *b) {
        int32_t x = (int32_t)get32(a), y = (int32_t)get32(b);
        return (int16_t)(x > y ? 1 : x < y ? -1 : 0);
    }
};
struct USHORTV {
    static constexpr int W = 2;
    static int16_t cmp(const uint8_t *a, const uint8_t *b) {
        uint16_t x = get16(a), y = get16(b);
        return (int16_t)(x > y ? 1 : x < y ? -1 : 0);
    }
};
struct ULONGV {
    static constexpr int W = 4;
    static int16_t cmp(const uint8_t *a, const uint8_t *b) { return cmpu32(get32(a), get32(b)); }
};
struct FLOATV {
    static constexpr int W = 4;
    static int16_t cmp(const uint8_t *a, const uint8_t *b) {
        float x, y;
        memcpy(&x, a, 4);
        memcpy(&y, b, 4);
        if (x > y) return 1;
        if (x < y) return -1;
        if (x == y) return 0;
        return -1;   // unordered
    }
};
struct DOUBLEV {
    static constexpr int W = 8;
    static int16_t cmp(const uint8_t *a, const uint8_t *b) {
        double x, y;
        memcpy(&x, a, 8);
        memcpy(&y, b, 8);
        if (x > y) return 1;
        if (x < y) return -1;
        if (x == y) return 0;
        return -1;   // unordered
    }
};
// 80-bit extended values: +1 when either is unordered (keyblk.cc).
int16_t ldcmp(const uint8_t *a, const uint8_t *b);
struct LDOUBLEV {
    static constexpr int W = 10;
    static int16_t cmp(const uint8_t *a, const uint8_t *b) { return ldcmp(a, b); }
};

template <class V>
inline int16_t typedcmp(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t,
                        int16_t) {
    if (v1[0] != v2[0]) return v1[0] > v2[0] ? 1 : -1;
    if (len == 1) return 0;
    int16_t c = V::cmp(v1 + 1, v2 + 1);
    if (c != 0) return c;
    if (dupkeys == 0) return 0;
    return cmpu32(get32(v1 + 1 + V::W), get32(v2 + 1 + V::W));
}

// The comparison behind a table entry, as a function object for the scans.
struct CHARCMP {
    int16_t operator()(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t d, int16_t l1,
                       int16_t l2) const {
        return charcmp(v1, v2, len, d, l1, l2);
    }
};
template <class V>
struct TYPEDCMP {
    int16_t operator()(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t d, int16_t l1,
                       int16_t l2) const {
        return typedcmp<V>(v1, v2, len, d, l1, l2);
    }
};

}  // namespace pmdb

#endif
