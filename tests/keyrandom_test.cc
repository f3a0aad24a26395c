// keyrandom_test.cc - randomized model tests of the key index: for every
// key type, keys are added to several files and subkeys (with and without
// duplicates, sharing leaves with a char subkey of short values), and
// after every batch the tree checker runs and the searches and full walks
// are compared with an in-memory model, again after close and reopen.
// The churn tests then delete keys in random, ascending and descending
// order and by empty value, re-add some, and check after every deletion.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fss/keyblk.h"
#include "fss/keycheck.h"
#include "testutil.h"

using namespace pmdb;

namespace {

// The sanitizer build runs a tenth of the keys, to stay within seconds.
constexpr int SCALE = pmdbtest::SANITIZED ? 1 : 10;

// Typed keys of a churn test (beside 160 long char keys).
constexpr int CHURNKEYS = SCALE == 1 ? 200 : 1000;

struct MKEY {
    std::vector<uint8_t> v;
    uint32_t rid;
};

// Value order of each key type, written independently of the library.
int cmpval(int type, const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    auto sgn = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
    switch (type) {
    case 0:
    case 3: return a < b ? -1 : b < a ? 1 : 0;
    case 1: { int16_t x, y; memcpy(&x, a.data(), 2); memcpy(&y, b.data(), 2); return sgn(x, y); }
    case 2: { int32_t x, y; memcpy(&x, a.data(), 4); memcpy(&y, b.data(), 4); return sgn(x, y); }
    case 4: { uint16_t x, y; memcpy(&x, a.data(), 2); memcpy(&y, b.data(), 2); return sgn(x, y); }
    case 5: { uint32_t x, y; memcpy(&x, a.data(), 4); memcpy(&y, b.data(), 4); return sgn(x, y); }
    case 6: { float x, y; memcpy(&x, a.data(), 4); memcpy(&y, b.data(), 4); return sgn(x, y); }
    case 7: { double x, y; memcpy(&x, a.data(), 8); memcpy(&y, b.data(), 8); return sgn(x, y); }
    default: {
        long double x = 0, y = 0;
        memcpy(&x, a.data(), 10);
        memcpy(&y, b.data(), 10);
        return sgn(x, y);
    }
    }
}

struct SUB {
    uint8_t fid;
    int type;
    bool dup;
    std::vector<MKEY> keys;   // in index order

    int cmp(const MKEY &a, const MKEY &b) const {
        int c = cmpval(type, a.v, b.v);
        if (c != 0 || !dup) return c;
        return a.rid < b.rid ? -1 : a.rid > b.rid ? 1 : 0;
    }
    // Index of the first key not below k.
    size_t lower(const MKEY &k) const {
        return std::lower_bound(keys.begin(), keys.end(), k,
                                [&](const MKEY &x, const MKEY &y) { return cmp(x, y) < 0; }) -
               keys.begin();
    }
    bool add(const MKEY &k) {
        size_t i = lower(k);
        if (i < keys.size() && cmp(keys[i], k) == 0) return false;
        keys.insert(keys.begin() + (long)i, k);
        return true;
    }
    // Removes the key that fsdeletekey would remove; false when none.
    bool remove(const MKEY &k, MKEY *gone) {
        size_t i = lower(k);
        if (i >= keys.size() || cmp(keys[i], k) != 0) return false;
        *gone = keys[i];
        keys.erase(keys.begin() + (long)i);
        return true;
    }
};

class KeyRandom : public pmdbtest::DbTest {
protected:
    // Closes the handle (the fixture frees only the open databases).
    void TearDown() override {
        if (fs != nullptr) fsclose(0, fs);
        DbTest::TearDown();
    }
    std::mt19937 rng{12345};
    std::vector<SUB> subs;
    FS *fs = nullptr;
    uint32_t ridseq = 0;

    uint32_t r(uint32_t n) { return (uint32_t)(rng() % n); }

    void setup(int type) {
        fs = createopen("r.db");
        ASSERT_NE(fs, nullptr);
        // Two subkeys of the type under test (one with duplicates) in file
        // 1, one with duplicates in file 3, and a char subkey of short
        // values in file 2 between them, so leaves mix types.
        subs = {{0x10, type, false, {}}, {0x11, type, true, {}}, {0x25, 0, true, {}},
                {0x30, type, true, {}}};
        for (SUB &s : subs) {
            FDATA &f = data(fs)->fscb.f[(s.fid >> 4) - 1];
            f.keytype[s.fid & 15] = (signed char)s.type;
            if (s.dup) f.dupkeys = (uint16_t)(f.dupkeys | (1u << (s.fid & 15)));
            else f.dupkeys = (uint16_t)(f.dupkeys & ~(1u << (s.fid & 15)));
        }
        changefscbhere();
    }
    void changefscbhere() { data(fs)->fscb.cf = 1; }

    std::vector<uint8_t> value(int type, bool longkeys) {
        std::vector<uint8_t> v;
        switch (type) {
        case 0:
        case 3: {
            int n = longkeys ? 150 + (int)r(46) : 1 + (int)r(r(4) == 0 ? 195 : 12);
            for (int k = 0; k < n; k++) v.push_back((uint8_t)(r(3) == 0 ? 0x80 + r(3) : 'a' + r(3)));
            return v;
        }
        case 1:
        case 4: { uint16_t x = (uint16_t)(r(4) == 0 ? rng() : r(700) - 350); v.resize(2); memcpy(v.data(), &x, 2); return v; }
        case 2:
        case 5: { uint32_t x = r(4) == 0 ? (uint32_t)rng() : r(3000) - 1500; v.resize(4); memcpy(v.data(), &x, 4); return v; }
        case 6: {
            static const float special[] = {0.0f, -0.0f, INFINITY, -INFINITY, 1e-45f, -1e-45f, 3.4e38f};
            float x = r(8) == 0 ? special[r(7)] : (float)((int)r(2000) - 1000) / 8.0f;
            v.resize(4); memcpy(v.data(), &x, 4); return v;
        }
        case 7: {
            static const double special[] = {0.0, -0.0, INFINITY, -INFINITY, 5e-324, -5e-324, 1e308};
            double x = r(8) == 0 ? special[r(7)] : (double)((int)r(2000) - 1000) / 16.0;
            v.resize(8); memcpy(v.data(), &x, 8); return v;
        }
        default: {
            // Sign, exponent and significand drawn apart: small values,
            // denormals, huge values and infinities.
            uint64_t m = r(8) == 0 ? (uint64_t)rng() : (uint64_t)r(64) << 58;
            uint16_t e = (uint16_t)(r(8) == 0 ? 0 : r(8) == 0 ? 0x7ffe - r(4) : 0x3ff8 + r(16));
            if (r(40) == 0) { e = 0x7fff; m = 0; }
            if (e != 0) m |= 0x8000000000000000ull;
            uint16_t se = (uint16_t)(e | (r(2) ? 0x8000 : 0));
            v.resize(10); memcpy(v.data(), &m, 8); memcpy(v.data() + 8, &se, 2);
            return v;
        }
        }
    }

    uint32_t newrid(uint8_t fid) { return ((uint32_t)(fid >> 4) << 28) | (++ridseq); }

    void checktree(const char *where) {
        std::vector<uint8_t> seen(keycheckmapbytes(data(fs)));
        KCHECK c{};
        c.seen = seen.data();
        c.seenbytes = seen.size();
        size_t total = 0;
        for (SUB &s : subs) total += s.keys.size();
        ASSERT_EQ(keycheck(data(fs), &c), 0u) << where << ": " << c.first;
        ASSERT_EQ(c.keys, total) << where;
        lastheight = c.height;
    }
    int lastheight = 0;

    void expectkey(uint32_t got, const uint8_t *buf, const MKEY &want, const char *what) {
        ASSERT_EQ(got, want.rid) << what;
        ASSERT_EQ(memcmp(buf, want.v.data(), want.v.size()), 0) << what;
    }

    void verify(const SUB &s, bool walks) {
        uint8_t buf[KEYBUFSIZE];
        uint32_t got = fsfirstkey(0, fs, s.fid, buf);
        if (s.keys.empty()) {
            ASSERT_EQ(got, 0u);
        } else {
            expectkey(got, buf, s.keys[0], "first");
            ASSERT_EQ(+fs->len, (int16_t)(s.keys[0].v.size() + 1));
        }
        if (walks && !s.keys.empty()) {
            for (size_t i = 1; i <= s.keys.size(); i++) {
                const MKEY &k = s.keys[i - 1];
                memcpy(buf, k.v.data(), k.v.size());
                got = fsnextkey(0, fs, s.fid, k.rid, (short)k.v.size(), buf);
                if (i == s.keys.size()) {
                    ASSERT_EQ(got, 0u) << "next past the last";
                } else {
                    expectkey(got, buf, s.keys[i], "next");
                    ASSERT_EQ(+fs->len, (int16_t)(s.keys[i].v.size() + 1));
                }
            }
            for (size_t i = s.keys.size(); i-- > 0;) {
                const MKEY &k = s.keys[i];
                memcpy(buf, k.v.data(), k.v.size());
                got = fsprevkey(0, fs, s.fid, k.rid, (short)k.v.size(), buf);
                if (i == 0) {
                    ASSERT_EQ(got, 0u) << "prev before the first";
                } else {
                    expectkey(got, buf, s.keys[i - 1], "prev");
                }
            }
        }
        for (int t = 0; t < 40; t++) {
            MKEY probe{value(s.type, false), 0};
            if (!s.keys.empty() && r(2)) probe.v = s.keys[r((uint32_t)s.keys.size())].v;
            // fsfindkey: the first key of the value (smallest rid).
            size_t i = std::lower_bound(s.keys.begin(), s.keys.end(), probe,
                                        [&](const MKEY &x, const MKEY &y) {
                                            return cmpval(s.type, x.v, y.v) < 0;
                                        }) -
                       s.keys.begin();
            memcpy(buf, probe.v.data(), probe.v.size());
            got = fsfindkey(0, fs, s.fid, (short)probe.v.size(), buf);
            if (i < s.keys.size() && cmpval(s.type, s.keys[i].v, probe.v) == 0) {
                expectkey(got, buf, s.keys[i], "find");
            } else {
                ASSERT_EQ(got, 0u) << "find of a missing value";
            }
            // fslastkey: the greatest key below the value.
            memcpy(buf, probe.v.data(), probe.v.size());
            got = fslastkey(0, fs, s.fid, (short)probe.v.size(), buf);
            if (i == 0) {
                ASSERT_EQ(got, 0u) << "last below the first";
            } else {
                expectkey(got, buf, s.keys[i - 1], "last");
            }
        }
    }

    void verifyall(bool walks, const char *where) {
        checktree(where);
        for (SUB &s : subs) {
            SCOPED_TRACE(std::string(where) + " fid " + std::to_string(s.fid));
            verify(s, walks);
            if (HasFatalFailure()) return;
        }
    }

    void addsome(int n, bool longkeys) {
        for (int k = 0; k < n; k++) {
            SUB &s = subs[r(8) == 0 ? 2 : (r(3) == 0 ? 3 : r(2))];
            MKEY key{value(s.type, longkeys && s.fid != 0x25), newrid(s.fid)};
            if (s.dup && !s.keys.empty() && r(6) == 0) {
                const MKEY &old = s.keys[r((uint32_t)s.keys.size())];
                key.v = old.v;                       // an equal value
                if (r(4) == 0) key.rid = old.rid;    // and the same rid: refused
            }
            bool want = s.add(key);
            short got = fsaddkey(0, fs, s.fid, key.rid, (short)key.v.size(), key.v.data());
            ASSERT_EQ(got, want ? 1 : 0) << "add " << k;
            if (!want) {
                ASSERT_EQ(pmdb::lasterror(), 1145);
            }
        }
    }

    void reopen() {
        fsclose(0, fs);
        fs = nullptr;
        fs = fsopen(0, path("r.db").c_str(), 1, 0);
        ASSERT_NE(fs, nullptr);
    }

    void run(int type, int batches, int perbatch, bool longkeys) {
        setup(type);
        for (int b = 0; b < batches; b++) {
            addsome(perbatch, longkeys);
            if (HasFatalFailure()) return;
            verifyall(b == batches - 1, "batch");
            if (HasFatalFailure()) return;
        }
        reopen();
        verifyall(true, "reopened");
    }
    // Checks after one deletion: the tree, and the walk from the key just
    // deleted, forward and backward.
    void afterdelete(const SUB &s, const MKEY &gone, bool full) {
        checktree("delete");
        if (HasFatalFailure()) return;
        uint8_t buf[KEYBUFSIZE];
        size_t i = s.lower(gone);   // the first key after the deleted one
        memcpy(buf, gone.v.data(), gone.v.size());
        uint32_t got = fsnextkey(0, fs, s.fid, gone.rid, (short)gone.v.size(), buf);
        if (i < s.keys.size()) {
            expectkey(got, buf, s.keys[i], "next from a deleted key");
        } else {
            ASSERT_EQ(got, 0u) << "next from a deleted last key";
        }
        memcpy(buf, gone.v.data(), gone.v.size());
        got = fsprevkey(0, fs, s.fid, gone.rid, (short)gone.v.size(), buf);
        if (i > 0) {
            expectkey(got, buf, s.keys[i - 1], "prev from a deleted key");
        } else {
            ASSERT_EQ(got, 0u) << "prev from a deleted first key";
        }
        if (full) verify(s, true);
    }

    // Deletes key k (by value alone where rids are not compared) and checks.
    void del(SUB &s, MKEY k, int &count) {
        MKEY gone;
        bool want;
        if (k.v.empty()) {
            // The empty value removes the first key of the subkey.
            want = !s.keys.empty();
            if (want) {
                gone = s.keys.front();
                s.keys.erase(s.keys.begin());
            }
        } else {
            want = s.remove(k, &gone);
        }
        if (!s.dup && r(2)) k.rid = newrid(s.fid);   // rid ignored without duplicates
        short got = fsdeletekey(0, fs, s.fid, k.rid, (short)k.v.size(), k.v.data());
        ASSERT_EQ(got, want ? 1 : 0);
        if (want) afterdelete(s, gone, ++count % 150 == 0);
    }

    void churn(int type, int n) {
        setup(type);
        int count = 0;
        // Long char keys make the shared tree at least 4 levels high.
        for (int k = 0; k < n + 160; k++) {
            SUB &s = subs[k < 160 ? 2 : k % 3 == 0 ? 3 : k % 2];
            MKEY key{value(s.type, s.fid == 0x25), newrid(s.fid)};
            if (s.add(key)) {
                ASSERT_EQ(fsaddkey(0, fs, s.fid, key.rid, (short)key.v.size(), key.v.data()), 1);
            }
        }
        verifyall(true, "built");
        if (HasFatalFailure()) return;
        EXPECT_GE(lastheight, 4);
        // A third of every subkey in random order, and some keys not present.
        for (SUB &s : subs) {
            for (size_t j = s.keys.size() / 3; j > 0; j--) {
                del(s, s.keys[r((uint32_t)s.keys.size())], count);
                if (HasFatalFailure()) return;
            }
            MKEY absent{value(s.type, false), newrid(s.fid)};
            del(s, absent, count);
            if (HasFatalFailure()) return;
        }
        addsome(n / 4, false);
        if (HasFatalFailure()) return;
        verifyall(true, "re-added");
        if (HasFatalFailure()) return;
        // Then everything: ascending, descending, by empty value, random.
        for (int which = 0; which < (int)subs.size(); which++) {
            SUB &s = subs[which];
            while (!s.keys.empty()) {
                MKEY k = which == 0 ? s.keys.front()
                         : which == 1 ? s.keys.back()
                         : which == 3 ? MKEY{{}, 0}
                                      : s.keys[r((uint32_t)s.keys.size())];
                del(s, k, count);
                if (HasFatalFailure()) return;
            }
        }
        EXPECT_EQ(+data(fs)->fscb.rootkb, 0u);
        reopen();
        EXPECT_EQ(+data(fs)->fscb.rootkb, 0u);
        verifyall(true, "emptied and reopened");
    }
};

TEST_F(KeyRandom, Char) { run(0, 4, 500 * SCALE, false); }
TEST_F(KeyRandom, CharLongValuesReachFourLevels) {
    run(0, 4, 400, true);
    EXPECT_GE(lastheight, 4);
}
TEST_F(KeyRandom, Short) { run(1, 4, 500 * SCALE, false); }
TEST_F(KeyRandom, Long) { run(2, 4, 500 * SCALE, false); }
TEST_F(KeyRandom, UChar) { run(3, 4, 500 * SCALE, false); }
TEST_F(KeyRandom, UShort) { run(4, 4, 500 * SCALE, false); }
TEST_F(KeyRandom, ULong) { run(5, 4, 500 * SCALE, false); }
TEST_F(KeyRandom, Float) { run(6, 4, 500 * SCALE, false); }
TEST_F(KeyRandom, Double) { run(7, 4, 500 * SCALE, false); }
#if defined(__x86_64__) || defined(__i386__)
TEST_F(KeyRandom, LongDouble) { run(8, 4, 500 * SCALE, false); }
#endif

TEST_F(KeyRandom, ChurnChar) { churn(0, CHURNKEYS); }
TEST_F(KeyRandom, ChurnShort) { churn(1, CHURNKEYS); }
TEST_F(KeyRandom, ChurnLong) { churn(2, CHURNKEYS); }
TEST_F(KeyRandom, ChurnUChar) { churn(3, CHURNKEYS); }
TEST_F(KeyRandom, ChurnUShort) { churn(4, CHURNKEYS); }
TEST_F(KeyRandom, ChurnULong) { churn(5, CHURNKEYS); }
TEST_F(KeyRandom, ChurnFloat) { churn(6, CHURNKEYS); }
TEST_F(KeyRandom, ChurnDouble) { churn(7, CHURNKEYS); }
#if defined(__x86_64__) || defined(__i386__)
TEST_F(KeyRandom, ChurnLongDouble) { churn(8, CHURNKEYS); }
#endif

}  // namespace
