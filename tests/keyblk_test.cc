// keyblk_test.cc - the key image, the nine comparators, the argument
// checks of the key calls and the check of a key block as it is read.
#include <float.h>
#include <math.h>
#include <string.h>

#include <random>

#include "fss/keyblk.h"
#include "testutil.h"

using namespace pmdb;

namespace {

// An image of fid + value + rid, as entries and newkey hold them.
struct IMG {
    uint8_t b[KEYBUFSIZE];
    int16_t len;
};

IMG img(uint8_t fid, const void *v, int n, uint32_t rid) {
    IMG r;
    r.b[0] = fid;
    memcpy(r.b + 1, v, (size_t)n);
    put32(r.b + 1 + n, rid);
    r.len = (int16_t)(n + 1);
    return r;
}

int16_t cmp(FUNC f, const IMG &a, const IMG &b, int16_t dup) {
    int16_t s = f(a.b, b.b, a.len < b.len ? a.len : b.len, dup, a.len, b.len);
    return (int16_t)(s > 0 ? 1 : s < 0 ? -1 : 0);
}

template <typename T>
IMG num(uint8_t fid, T v, uint32_t rid = 0x10000001) {
    return img(fid, &v, sizeof v, rid);
}

// An 80-bit value from its parts.
IMG ld(bool neg, uint16_t exp, uint64_t mant, uint32_t rid = 0x10000001) {
    uint8_t v[10];
    for (int k = 0; k < 8; k++) v[k] = (uint8_t)(mant >> (8 * k));
    uint16_t se = (uint16_t)((neg ? 0x8000 : 0) | exp);
    v[8] = (uint8_t)se;
    v[9] = (uint8_t)(se >> 8);
    return img(0x18, v, 10, rid);
}

}  // namespace

TEST(KeyImage, BldkeyLaysOutFidValueRid) {
    uint8_t *p = bldkey(0x23, 0x10203040, 3, "abc");
    EXPECT_EQ(p, newkey);
    EXPECT_EQ(p[0], 0x23);
    EXPECT_EQ(memcmp(p + 1, "abc", 3), 0);
    EXPECT_EQ(get32(p + 4), 0x10203040u);
    p = bldkey(0x10, 7, 0, nullptr);
    EXPECT_EQ(get32(p + 1), 7u);
}

TEST(Comparators, TableOrderAndWidths) {
    const FUNC want[NUMKEYTYPES] = {charfunc,  shortfunc, longfunc,   ucharfunc,  ushortfunc,
                                    ulongfunc, floatfunc, doublefunc, ldoublefunc};
    const int widths[NUMKEYTYPES] = {0, 2, 4, 0, 2, 4, 4, 8, 10};
    for (int t = 0; t < NUMKEYTYPES; t++) {
        EXPECT_EQ(funcs[t], want[t]) << t;
        EXPECT_EQ(keywidth[t], widths[t]) << t;
    }
}

TEST(Comparators, CharBytesUnsignedPrefixFirstRidOnlyWithDuplicates) {
    for (FUNC f : {charfunc, ucharfunc}) {
        EXPECT_EQ(cmp(f, img(0x10, "\x80", 1, 1), img(0x10, "\x7f", 1, 1), 0), 1);
        EXPECT_EQ(cmp(f, img(0x10, "ab", 2, 9), img(0x10, "abc", 3, 1), 1), -1);
        EXPECT_EQ(cmp(f, img(0x10, "abd", 3, 1), img(0x10, "abc", 3, 1), 0), 1);
        // Equal values: rids matter only for duplicates.
        EXPECT_EQ(cmp(f, img(0x10, "ab", 2, 5), img(0x10, "ab", 2, 9), 0), 0);
        EXPECT_EQ(cmp(f, img(0x10, "ab", 2, 5), img(0x10, "ab", 2, 9), 1), -1);
        EXPECT_EQ(cmp(f, img(0x10, "ab", 2, 0xf0000000), img(0x10, "ab", 2, 9), 1), 1);
        // An empty value matches any key of its subkey, on the fid alone.
        EXPECT_EQ(cmp(f, img(0x10, "", 0, 5), img(0x10, "zz", 2, 1), 1), 0);
        EXPECT_EQ(cmp(f, img(0x11, "", 0, 5), img(0x10, "zz", 2, 1), 1), 1);
        // The fid byte decides first, unsigned.
        EXPECT_EQ(cmp(f, img(0xf0, "a", 1, 1), img(0x10, "z", 1, 1), 0), 1);
    }
}

TEST(Comparators, IntegersSignedAndUnsigned) {
    EXPECT_EQ(cmp(shortfunc, num<int16_t>(0x10, -1), num<int16_t>(0x10, 0), 0), -1);
    EXPECT_EQ(cmp(ushortfunc, num<uint16_t>(0x10, 0xffff), num<uint16_t>(0x10, 0), 0), 1);
    EXPECT_EQ(cmp(longfunc, num<int32_t>(0x10, INT32_MIN), num<int32_t>(0x10, 1), 0), -1);
    EXPECT_EQ(cmp(ulongfunc, num<uint32_t>(0x10, 0x80000000u), num<uint32_t>(0x10, 1), 0), 1);
    EXPECT_EQ(cmp(longfunc, num<int32_t>(0x10, 5, 1), num<int32_t>(0x10, 5, 2), 0), 0);
    EXPECT_EQ(cmp(longfunc, num<int32_t>(0x10, 5, 1), num<int32_t>(0x10, 5, 2), 1), -1);
    // Typed comparators look at nothing but the fid for an empty value.
    EXPECT_EQ(cmp(shortfunc, img(0x10, "", 0, 1), num<int16_t>(0x10, 7), 1), 0);
    EXPECT_EQ(cmp(shortfunc, num<int16_t>(0x20, -9), num<int16_t>(0x10, 7), 0), 1);
}

TEST(Comparators, FloatingPointZeroInfinityNaN) {
    EXPECT_EQ(cmp(floatfunc, num<float>(0x10, -0.0f), num<float>(0x10, 0.0f), 0), 0);
    EXPECT_EQ(cmp(doublefunc, num<double>(0x10, -0.0), num<double>(0x10, 0.0), 0), 0);
    EXPECT_EQ(cmp(floatfunc, num<float>(0x10, -INFINITY), num<float>(0x10, -FLT_MAX), 0), -1);
    EXPECT_EQ(cmp(doublefunc, num<double>(0x10, 1e300), num<double>(0x10, -1e300), 0), 1);
    EXPECT_EQ(cmp(doublefunc, num<double>(0x10, 2.0, 3), num<double>(0x10, 2.0, 1), 1), 1);
    // Unordered: -1 either way round.
    EXPECT_EQ(cmp(floatfunc, num<float>(0x10, NAN), num<float>(0x10, 1.0f), 0), -1);
    EXPECT_EQ(cmp(floatfunc, num<float>(0x10, 1.0f), num<float>(0x10, NAN), 0), -1);
    EXPECT_EQ(cmp(doublefunc, num<double>(0x10, NAN), num<double>(0x10, NAN), 0), -1);
}

TEST(Comparators, LongDoubleFromTheBytes) {
    const uint64_t I = 0x8000000000000000ull;   // the explicit integer bit
    IMG one = ld(false, 0x3fff, I), two = ld(false, 0x4000, I);
    IMG minnormal = ld(false, 1, I), denormal = ld(false, 0, 0x7fffffffffffffffull);
    IMG pseudodenormal = ld(false, 0, I);
    IMG inf = ld(false, 0x7fff, I), max = ld(false, 0x7ffe, ~0ull);
    EXPECT_EQ(cmp(ldoublefunc, one, two, 0), -1);
    EXPECT_EQ(cmp(ldoublefunc, ld(true, 0x3fff, I), one, 0), -1);
    EXPECT_EQ(cmp(ldoublefunc, ld(true, 0x4000, I), ld(true, 0x3fff, I), 0), -1);
    EXPECT_EQ(cmp(ldoublefunc, denormal, minnormal, 0), -1);
    EXPECT_EQ(cmp(ldoublefunc, ld(false, 0, 1), ld(false, 0, 0), 0), 1);
    EXPECT_EQ(cmp(ldoublefunc, pseudodenormal, minnormal, 0), 0);
    EXPECT_EQ(cmp(ldoublefunc, inf, max, 0), 1);
    EXPECT_EQ(cmp(ldoublefunc, ld(true, 0x7fff, I), ld(true, 0x7ffe, ~0ull), 0), -1);
    EXPECT_EQ(cmp(ldoublefunc, ld(true, 0, 0), ld(false, 0, 0), 0), 0);
    EXPECT_EQ(cmp(ldoublefunc, ld(true, 0, 0), ld(false, 0, 1), 0), -1);
    EXPECT_EQ(cmp(ldoublefunc, ld(false, 0x3fff, I, 2), ld(false, 0x3fff, I, 1), 1), 1);
    // NaN and the encodings the x87 rejects are unordered: +1 either way.
    for (IMG bad : {ld(false, 0x7fff, I | 1), ld(true, 0x7fff, 0xc000000000000000ull),
                    ld(false, 0x7fff, 0), ld(false, 0x7fff, 5), ld(false, 0x3fff, 1)}) {
        EXPECT_EQ(cmp(ldoublefunc, bad, one, 0), 1);
        EXPECT_EQ(cmp(ldoublefunc, one, bad, 0), 1);
        EXPECT_TRUE(ldoubleinvalid(bad.b + 1));
    }
    EXPECT_FALSE(ldoubleinvalid(inf.b + 1));
    EXPECT_FALSE(ldoubleinvalid(denormal.b + 1));
}

#if defined(__x86_64__) || defined(__i386__)
// Where the platform has the 80-bit format, its own order is the oracle.
TEST(Comparators, LongDoubleAgreesWithThePlatform) {
    static_assert(LDBL_MANT_DIG == 64, "x87 extended format");
    std::mt19937_64 rng(42);
    for (int k = 0; k < 20000; k++) {
        IMG a, b;
        long double x, y;
        for (IMG *p : {&a, &b}) {
            uint16_t e = (uint16_t)(rng() % 8 == 0 ? rng() % 3 : rng() % 0x7fff);
            if (rng() % 4 == 0) e = (uint16_t)(0x3ff0 + rng() % 32);
            uint64_t m = rng();
            if (e != 0) m |= 0x8000000000000000ull;
            *p = ld(rng() & 1, e, m);
        }
        memset(&x, 0, sizeof x);
        memset(&y, 0, sizeof y);
        memcpy(&x, a.b + 1, 10);
        memcpy(&y, b.b + 1, 10);
        int want = x < y ? -1 : x > y ? 1 : 0;
        ASSERT_EQ(cmp(ldoublefunc, a, b, 0), want) << k;
    }
}
#endif

class KeyArgs : public pmdbtest::DbTest {};

TEST_F(KeyArgs, RefusesWhatCannotBeOrderedOrStored) {
    FS *fs = fsopentemp(0);
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    uint8_t v[200] = {0};
    EXPECT_TRUE(keyargsok(d, 0x10, 195, v));
    EXPECT_FALSE(keyargsok(d, 0x10, 196, v));
    EXPECT_FALSE(keyargsok(d, 0x10, -1, v));
    EXPECT_FALSE(keyargsok(d, 0x00, 1, v));   // file number 0
    d->fscb.f[0].keytype[3] = 9;
    EXPECT_FALSE(keyargsok(d, 0x13, 1, v));
    d->fscb.f[0].keytype[3] = -1;
    EXPECT_FALSE(keyargsok(d, 0x13, 1, v));
    // Typed subkeys (keytype s mod 9 in a temporary database): 0 or width.
    const int widths[NUMKEYTYPES] = {0, 2, 4, 0, 2, 4, 4, 8, 10};
    for (int t = 1; t < NUMKEYTYPES; t++) {
        if (widths[t] == 0) continue;
        uint8_t fid = (uint8_t)(0x20 | t);
        EXPECT_TRUE(keyargsok(d, fid, 0, nullptr)) << t;
        EXPECT_TRUE(keyargsok(d, fid, (int16_t)widths[t], v)) << t;
        EXPECT_FALSE(keyargsok(d, fid, (int16_t)(widths[t] - 1), v)) << t;
        EXPECT_FALSE(keyargsok(d, fid, (int16_t)(widths[t] + 1), v)) << t;
    }
    float fn = NAN;
    double dn = NAN;
    EXPECT_FALSE(keyargsok(d, 0x26, 4, &fn));
    EXPECT_FALSE(keyargsok(d, 0x27, 8, &dn));
    IMG bad = ld(false, 0x7fff, 0);   // pseudo-infinity
    EXPECT_FALSE(keyargsok(d, 0x28, 10, bad.b + 1));
    IMG ok = ld(false, 0x7fff, 0x8000000000000000ull);
    EXPECT_TRUE(keyargsok(d, 0x28, 10, ok.b + 1));
    fsclosetemp(0, fs);
}

TEST_F(KeyArgs, BlockCheckRefusesDamage) {
    FS *fs = fsopentemp(0);
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    d->fscb.lb = 40;
    KB good;
    memset(&good, 0, sizeof good);
    good.type = 1;
    good.len = KBHEADER;
    // One leaf entry: keylen 3, "fab", rid.
    uint8_t e[] = {3, 0, 0x10, 'a', 'b', 1, 0, 0, 0x10};
    memcpy(good.buff, e, sizeof e);
    good.len = (int16_t)(KBHEADER + sizeof e);
    good.numkeys = 1;
    EXPECT_TRUE(checkkb(d, 5, &good, 0));
    auto damaged = [&](void (*mutate)(KB &), int level) {
        KB kb = good;
        mutate(kb);
        uint32_t before = damagecount;
        bool ok = checkkb(d, 5, &kb, level) != 0;
        return !ok && damagecount == before + 1;
    };
    EXPECT_TRUE(damaged([](KB &k) { k.type = 0; }, 0));
    EXPECT_TRUE(damaged([](KB &k) { k.len = 13; }, 0));
    EXPECT_TRUE(damaged([](KB &k) { k.len = 1025; }, 0));
    EXPECT_TRUE(damaged([](KB &k) { k.numkeys = 2; }, 0));
    EXPECT_TRUE(damaged([](KB &k) { k.len = (int16_t)(k.len - 1); }, 0));   // entry crosses len
    EXPECT_TRUE(damaged([](KB &k) { k.buff[0] = 0; }, 0));                 // keylen 0
    EXPECT_TRUE(damaged([](KB &k) { k.buff[0] = 197; }, 0));
    EXPECT_TRUE(damaged([](KB &k) { (void)k; }, 1));                      // wrong level
    EXPECT_TRUE(damaged([](KB &k) { k.level = 40; }, -1));
    EXPECT_TRUE(damaged([](KB &k) { k.level = 1; k.xtrablk = 41; }, -1));  // child past lb
    EXPECT_TRUE(damaged([](KB &k) { k.level = 1; k.xtrablk = 21; }, -1));  // translation block
    // A short subkey (type 1, width 2) entry of keylen 2 would be read past.
    EXPECT_TRUE(damaged([](KB &k) { k.buff[2] = 0x11; k.buff[0] = 2; k.numkeys = 1; k.len--; }, 0));
    fsclosetemp(0, fs);
}
