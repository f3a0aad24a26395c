// keycursor_test.cc - the search path against the plain one: two
// databases take the same random calls, one as built (the walk's cursor,
// images read in place, bisection, windows read ahead) and one with
// plainreads (every block copied into a buffer, every step a descent from
// the root). Long walks both ways run between key additions and deletions,
// record calls, commits, rollbacks, store resizes and injected I/O faults;
// after every call the results, the key buffers, FS.len, the error state
// and the sixteen buffers (which block each holds, their use order and
// flags) must agree, and at the end the files must hold the same bytes.
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

// The sanitizer build runs a tenth of the calls.
constexpr int CALLS = pmdbtest::SANITIZED ? 4000 : 40000;

// The subkeys walked. Values of one subkey have one length (fsprevkey does
// not say how long the value it returns is), but for subkey 0x11, walked
// forward only, whose values run from empty to 30 bytes: an empty value
// compares equal to every key of its subkey, so the leaves that hold one
// are never in strict order and are walked by descents.
struct SUBKEY {
    uint8_t fid;
    int type;   // keytype
    int dup;
    int len;    // value length, -1 varying
};
const SUBKEY SUBKEYS[] = {
    {0x10, 0, 0, 12}, {0x11, 0, 0, -1}, {0x18, 0, 1, 4}, {0x12, 2, 0, 4}, {0x13, 7, 1, 8}, {0x20, 3, 0, 40},
};

class KeyCursor : public pmdbtest::DbTest {
protected:
    FS *fs[2] = {nullptr, nullptr};
    std::mt19937 rng{12};
    std::vector<uint32_t> rids;                 // records of file 1
    std::vector<std::pair<int, std::string>> keys;   // (subkey index, value) added, maybe deleted since
    // The walk: subkey, and the last key returned.
    int sk = 0;
    uint32_t rid = 0;
    std::string value;
    int32_t step = 0;

    void TearDown() override {
        for (FS *f : fs)
            if (f != nullptr) fsclose(0, f);
        DbTest::TearDown();
    }

    int rnd(int n) { return (int)(rng() % (unsigned)n); }

    std::string makevalue(int s) {
        const SUBKEY &k = SUBKEYS[s];
        int len = k.len >= 0 ? k.len : rnd(8) == 0 ? 0 : 1 + rnd(30);
        std::string v((size_t)len, '\0');
        if (k.type == 2) {
            int32_t x = rnd(2000) - 1000;
            memcpy(&v[0], &x, 4);
        } else if (k.type == 7) {
            double x = rnd(50) == 0 ? -0.0 : (rnd(4000) - 2000) / 8.0;
            memcpy(&v[0], &x, 8);
        } else {
            // Few letters: long shared prefixes, and duplicates in 0x18.
            for (char &c : v) c = (char)('a' + rnd(k.dup ? 3 : 6));
        }
        return v;
    }

    // Runs call on both databases and checks that they agree in every
    // visible result and in the state of their buffers.
    template <class CALL>
    void both(const char *what, CALL call) {
        uint8_t key[2][KEYBUFSIZE];
        long r[2];
        short ring[2][10], at[2], err[2];
        int16_t len[2];
        for (int i = 0; i < 2; i++) {
            pmdb::clearerrors();
            pmerrno = 0;
            memset(key[i], 0, sizeof key[i]);
            memcpy(key[i], value.data(), value.size());
            fs[i]->len = 0;   // an output of the key calls (the open left a descriptor there)
            r[i] = call(fs[i], key[i]);
            at[i] = fsgeterrors(ring[i]);
            err[i] = fsgeterrno();
            len[i] = fs[i]->len;
        }
        SCOPED_TRACE(testing::Message() << what << " at call " << step);
        ASSERT_EQ(r[0], r[1]);
        ASSERT_EQ(memcmp(key[0], key[1], KEYBUFSIZE), 0);
        ASSERT_EQ(len[0], len[1]);
        ASSERT_EQ(err[0], err[1]);
        ASSERT_EQ(at[0], at[1]);
        ASSERT_EQ(memcmp(ring[0], ring[1], sizeof ring[0]), 0);
        const FSDATA *a = data(fs[0]), *b = data(fs[1]);
        ASSERT_EQ(memcmp(a->seq, b->seq, sizeof a->seq), 0);
        for (int j = 0; j < NUMBUFFS; j++) {
            ASSERT_EQ(a->buff[j].blk, b->buff[j].blk);
            ASSERT_EQ(a->buff[j].cf, b->buff[j].cf);
            ASSERT_EQ(a->buff[j].extblk, b->buff[j].extblk);
            // A changed image is the buffer's own in both.
            if (a->buff[j].cf) {
                ASSERT_EQ(memcmp(a->buff[j].raw, b->buff[j].raw, BLKSIZE), 0);
            }
        }
        // The control block is packed: compare copies, not references.
        ASSERT_EQ((uint32_t)a->fscb.lb, (uint32_t)b->fscb.lb);
        ASSERT_EQ((uint32_t)a->fscb.rootkb, (uint32_t)b->fscb.rootkb);
        ASSERT_EQ(memcmp(a->fscb.fc, b->fscb.fc, sizeof a->fscb.fc), 0);
        // A search that found a key moves the walk there. fsfirstkey and
        // fsnextkey tell the value's length; fsfindkey's is the one asked.
        if (strstr(what, "fs") == what && strstr(what, "key") != nullptr && strstr(what, "addkey") == nullptr &&
            strstr(what, "deletekey") == nullptr) {
            rid = (uint32_t)r[0];
            size_t n = SUBKEYS[sk].len >= 0 ? (size_t)SUBKEYS[sk].len : len[0] > 0 ? (size_t)len[0] - 1 : value.size();
            value.assign((const char *)key[0], n);
        }
    }

    void walkfrom(int s) {
        sk = s;
        const SUBKEY &k = SUBKEYS[s];
        int how = rnd(3);
        if (how == 0 || keys.empty()) {
            both("fsfirstkey", [&](FS *f, uint8_t *key) { return (long)fsfirstkey(0, f, k.fid, key); });
            return;
        }
        value = rnd(2) ? makevalue(s) : keys[(size_t)rnd((int)keys.size())].second;
        if (k.len >= 0) value.resize((size_t)k.len, 'a');
        short n = (short)value.size();
        if (how == 1)
            both("fsfindkey", [&](FS *f, uint8_t *key) { return (long)fsfindkey(0, f, k.fid, n, key); });
        else if (k.len >= 0)
            both("fslastkey", [&](FS *f, uint8_t *key) { return (long)fslastkey(0, f, k.fid, n, key); });
    }

    void walk() {
        const SUBKEY &k = SUBKEYS[sk];
        bool back = k.len >= 0 && rnd(3) == 0;
        for (int i = rnd(60); i > 0 && rid != 0; i--) {
            short n = (short)value.size();
            uint32_t from = rid;
            // Now and then an image the walk did not return: another rid.
            if (rnd(40) == 0) from ^= 1;
            if (back)
                both("fsprevkey", [&](FS *f, uint8_t *key) { return (long)fsprevkey(0, f, k.fid, from, n, key); });
            else
                both("fsnextkey", [&](FS *f, uint8_t *key) { return (long)fsnextkey(0, f, k.fid, from, n, key); });
            if (rnd(3) == 0 && rid != 0) {
                uint32_t r = rid;
                char rec[32768];
                both("fsread", [&](FS *f, uint8_t *) { return (long)fsread(0, f, r, rec); });
            }
            if (k.len >= 0 && rnd(10) == 0) back = !back;
        }
    }

    void change() {
        int what = rnd(100);
        if (what < 40 || keys.size() < 50) {
            int s = rnd((int)(sizeof SUBKEYS / sizeof SUBKEYS[0]));
            std::string v = makevalue(s);
            uint32_t r = rids[(size_t)rnd((int)rids.size())];
            keys.emplace_back(s, v);
            both("fsaddkey", [&](FS *f, uint8_t *) {
                return (long)fsaddkey(0, f, SUBKEYS[s].fid, r, (short)v.size(), v.data());
            });
        } else if (what < 70) {
            size_t i = (size_t)rnd((int)keys.size());
            auto kv = keys[i];
            keys.erase(keys.begin() + (long)i);
            uint32_t r = rids[(size_t)rnd((int)rids.size())];
            both("fsdeletekey", [&](FS *f, uint8_t *) {
                return (long)fsdeletekey(0, f, SUBKEYS[kv.first].fid, r, (short)kv.second.size(), kv.second.data());
            });
        } else if (what < 80) {
            std::string rec((size_t)(1 + rnd(300)), (char)('a' + rnd(26)));
            both("fsadd", [&](FS *f, uint8_t *) { return (long)fsadd(0, f, rec.data(), (short)rec.size(), 0x10); });
        } else if (what < 88) {
            uint32_t r = rids[(size_t)rnd((int)rids.size())];
            std::string rec((size_t)(1 + rnd(600)), (char)('a' + rnd(26)));
            both("fswrite", [&](FS *f, uint8_t *) { return (long)fswrite(0, f, rec.data(), (short)rec.size(), r); });
        } else if (what < 94) {
            both("fsunlock", [&](FS *f, uint8_t *) { return (long)(fsunlock(0, f) + 2 * fslock(0, f, nullptr)); });
        } else if (what < 97) {
            both("fsrollback", [&](FS *f, uint8_t *) { return (long)(fsrollback(0, f) + 2 * fslock(0, f, nullptr)); });
        } else {
            uint32_t kib = rnd(2) ? 64 + (uint32_t)rnd(512) : 1 << 20;
            both("fssetcache", [&](FS *f, uint8_t *) { return (long)fssetcache(0, f, kib); });
        }
    }

    // The next read or write of both fails.
    void fault() {
        platop op = rnd(2) ? PLAT_READ : PLAT_WRITE;
        int n = 1 + rnd(3);
        uint32_t r = rids[(size_t)rnd((int)rids.size())];
        char rec[32768];
        both("fault", [&](FS *f, uint8_t *) {
            plat_failat(op, n, 0);
            long v = fsread(0, f, r, rec) + 2L * fsunlock(0, f) + 4L * fslock(0, f, nullptr);
            plat_faultreset();
            return v;
        });
    }
};

}  // namespace

TEST_F(KeyCursor, WalksAndReadsAgreeWithPlainDescents) {
    for (int i = 0; i < 2; i++) {
        std::string name = i == 0 ? "a.db" : "b.db";
        fs[i] = createopen(name);
        ASSERT_NE(fs[i], nullptr);
        data(fs[i])->plainreads = (char)i;
        for (const SUBKEY &k : SUBKEYS) ASSERT_EQ(fsdefinesubkey(0, fs[i], k.fid, (int16_t)k.type, (int16_t)k.dup), 1);
        ASSERT_EQ(fslock(0, fs[i], nullptr), 1);
    }
    for (int j = 0; j < 400; j++) {
        std::string rec((size_t)(20 + j % 200), (char)('a' + j % 26));
        uint32_t r = 0;
        both("fsadd", [&](FS *f, uint8_t *) { return (long)(r = fsadd(0, f, rec.data(), (short)rec.size(), 0x10)); });
        rids.push_back(r);
    }
    for (step = 0; step < CALLS && !HasFatalFailure(); step++) {
        int what = rnd(100);
        if (what < 15) walkfrom(rnd((int)(sizeof SUBKEYS / sizeof SUBKEYS[0])));
        else if (what < 60) walk();
        else if (what < 99) change();
        else fault();
    }
    for (int i = 0; i < 2; i++) {
        std::vector<uint8_t> seen(keycheckmapbytes(data(fs[i])));
        KCHECK chk{};
        chk.seen = seen.data();
        chk.seenbytes = seen.size();
        EXPECT_EQ(keycheck(data(fs[i]), &chk), 0u) << chk.first;
        fsclose(0, fs[i]);
        fs[i] = nullptr;
    }
    // The same bytes, but for the path each control block names.
    std::vector<uint8_t> a = pmdbtest::readfile(path("a.db")), b = pmdbtest::readfile(path("b.db"));
    ASSERT_EQ(a.size(), b.size());
    std::fill(a.begin() + offsetof(FSCB, fsname), a.begin() + offsetof(FSCB, fsname) + 64, 0);
    std::fill(b.begin() + offsetof(FSCB, fsname), b.begin() + offsetof(FSCB, fsname) + 64, 0);
    EXPECT_TRUE(a == b);
}

class KeyCursorDamage : public KeyCursor, public testing::WithParamInterface<int> {};

TEST_P(KeyCursorDamage, DamagedLeavesAreWalkedByDescents) {
    // A damaged leaf: its second and third entries traded places (0), or
    // its last two keys raised above every other key, in order (1). The
    // steps from it must be the descents' (which may repeat or skip keys):
    // the cursor may take neither the leaf as ordered nor its path as the
    // one the descent for its keys would take.
    fs[0] = createopen("a.db");
    ASSERT_NE(fs[0], nullptr);
    ASSERT_EQ(fslock(0, fs[0], nullptr), 1);
    for (int i = 0; i < 600; i++) {
        char v[13];
        snprintf(v, sizeof v, "%012d", i * 7);
        ASSERT_EQ(fsaddkey(0, fs[0], 0x10, (uint32_t)(0x10000000 | (i + 1)), 12, v), 1);
    }
    ASSERT_EQ(fsunlock(0, fs[0]), 1);
    uint8_t key[KEYBUFSIZE];
    memcpy(key, "000000002100", 12);   // the key of i = 300
    ASSERT_NE(fsfindkey(0, fs[0], 0x10, 12, key), 0u);
    const KCURSOR &c = data(fs[0])->cursor;
    ASSERT_GT(c.depth, 1);
    uint32_t leaf = c.blk[c.depth - 1];
    fsclose(0, fs[0]);
    fs[0] = nullptr;
    std::vector<uint8_t> file = pmdbtest::readfile(path("a.db"));
    uint8_t *kb = &file[(size_t)leaf * BLKSIZE];
    const int size = 12 + 1 + LEAFOVERHEAD;
    if (GetParam() == 0) {
        std::vector<uint8_t> e1(kb + KBHEADER + size, kb + KBHEADER + 2 * size);
        memmove(kb + KBHEADER + size, kb + KBHEADER + 2 * size, size);
        memcpy(kb + KBHEADER + 2 * size, e1.data(), size);
    } else {
        int n = get16(kb + 6);
        memcpy(kb + KBHEADER + (n - 2) * size + LEAFKEYOFF + 1, "999999999998", 12);
        memcpy(kb + KBHEADER + (n - 1) * size + LEAFKEYOFF + 1, "999999999999", 12);
    }
    pmdbtest::writefile(path("a.db"), file);
    pmdbtest::writefile(path("b.db"), file);
    for (int i = 0; i < 2; i++) {
        fs[i] = fsopen(0, path(i == 0 ? "a.db" : "b.db").c_str(), 0, 0);
        ASSERT_NE(fs[i], nullptr);
        data(fs[i])->plainreads = (char)i;
    }
    for (int back = 0; back < 2; back++) {
        value = back ? "999999999999" : "";
        if (back)
            both("fslastkey", [&](FS *f, uint8_t *k) { return (long)fslastkey(0, f, 0x10, 12, k); });
        else
            both("fsfirstkey", [&](FS *f, uint8_t *k) { return (long)fsfirstkey(0, f, 0x10, k); });
        for (step = 0; step < 700 && rid != 0 && !HasFatalFailure(); step++) {
            uint32_t from = rid;
            if (back)
                both("fsprevkey", [&](FS *f, uint8_t *k) { return (long)fsprevkey(0, f, 0x10, from, 12, k); });
            else
                both("fsnextkey", [&](FS *f, uint8_t *k) { return (long)fsnextkey(0, f, 0x10, from, 12, k); });
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Damage, KeyCursorDamage, testing::Values(0, 1));
