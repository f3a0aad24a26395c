// keysearch_test.cc - the five searches: subkey boundaries, duplicates,
// partial and prefix values, walks across leaves and subtrees, refused
// arguments, and the failures of the three descents.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "keytestutil.h"

using namespace pmdb;
using pmdbtest::recorded;

namespace {

class KeySearch : public pmdbtest::KeyTest {
protected:
    KeySearch() : KeyTest("s.db") {}
    uint8_t buf[KEYBUFSIZE];

    // These hide the shared add and find: every add here must succeed,
    // and the searches leave the key they found in buf.
    void add(uint8_t fid, uint32_t rid, const std::string &v) {
        ASSERT_EQ(fsaddkey(0, fs, fid, rid, (short)v.size(), v.data()), 1);
    }
    uint8_t *put(const std::string &v) {
        memcpy(buf, v.data(), v.size());
        return buf;
    }
    std::string got(int len) const { return std::string((const char *)buf, (size_t)len); }
    uint32_t find(uint8_t fid, const std::string &v) {
        return fsfindkey(0, fs, fid, (short)v.size(), put(v));
    }
    uint32_t last(uint8_t fid, const std::string &v) {
        return fslastkey(0, fs, fid, (short)v.size(), put(v));
    }
    uint32_t next(uint8_t fid, uint32_t rid, const std::string &v) {
        return fsnextkey(0, fs, fid, rid, (short)v.size(), put(v));
    }
    uint32_t prev(uint8_t fid, uint32_t rid, const std::string &v) {
        return fsprevkey(0, fs, fid, rid, (short)v.size(), put(v));
    }
    void reopen() {
        fsclose(0, fs);
        fs = nullptr;
        fs = fsopen(0, path("s.db").c_str(), 1, 0);
        ASSERT_NE(fs, nullptr);
        pmdb::clearerrors();
    }
};

}  // namespace

TEST_F(KeySearch, EmptyIndexFindsNothingAndRecordsNothing) {
    EXPECT_EQ(fsfirstkey(0, fs, 0x10, buf), 0u);
    EXPECT_EQ(find(0x10, "a"), 0u);
    EXPECT_EQ(last(0x10, "a"), 0u);
    EXPECT_EQ(next(0x10, 1, "a"), 0u);
    EXPECT_EQ(prev(0x10, 1, "a"), 0u);
    EXPECT_TRUE(pmdbtest::errors().empty());
}

TEST_F(KeySearch, SearchesStayInsideTheirSubkey) {
    add(0x10, 0x10000001, "b");
    add(0x10, 0x10000002, "d");
    add(0x12, 0x10000003, "a");
    add(0x20, 0x20000001, "c");
    EXPECT_EQ(fsfirstkey(0, fs, 0x11, buf), 0u);   // between two used subkeys
    EXPECT_EQ(fsfirstkey(0, fs, 0x12, buf), 0x10000003u);
    EXPECT_EQ(+fs->len, 2);
    EXPECT_EQ(next(0x10, 0x10000002, "d"), 0u);    // 0x12 follows
    EXPECT_EQ(prev(0x12, 0x10000003, "a"), 0u);    // 0x10 precedes
    EXPECT_EQ(last(0x20, "a"), 0u);
    EXPECT_EQ(last(0x10, "zzz"), 0x10000002u);     // above every value: the last key
    EXPECT_EQ(got(1), "d");
    EXPECT_EQ(last(0x10, "d"), 0x10000001u);       // an equal value: the key before
    EXPECT_EQ(last(0x10, ""), 0u);
    EXPECT_EQ(next(0x10, 0x10000001, "b"), 0x10000002u);
    EXPECT_EQ(+fs->len, 2);
    EXPECT_EQ(got(1), "d");
}

TEST_F(KeySearch, PartialValuesAndDuplicates) {
    add(0x10, 0x10000001, "abc");
    add(0x10, 0x10000002, "abd");
    EXPECT_EQ(find(0x10, ""), 0x10000001u);   // the empty value: first of the subkey
    EXPECT_EQ(got(3), "abc");
    EXPECT_EQ(find(0x10, "ab"), 0u);          // a prefix does not match
    EXPECT_EQ(find(0x10, "abd"), 0x10000002u);
    // Without duplicates the rid is ignored by next.
    EXPECT_EQ(next(0x10, 0x1fffffff, "abc"), 0x10000002u);
    // Subkey 8 admits duplicates: equal values in rid order.
    add(0x18, 0x10000030, "x");
    add(0x18, 0x10000010, "x");
    add(0x18, 0x10000020, "x");
    add(0x18, 0x10000040, "y");
    EXPECT_EQ(find(0x18, "x"), 0x10000010u);
    std::vector<uint32_t> walk;
    for (uint32_t r = fsfirstkey(0, fs, 0x18, buf); r != 0; r = next(0x18, r, got(fs->len - 1)))
        walk.push_back(r);
    EXPECT_EQ(walk, (std::vector<uint32_t>{0x10000010, 0x10000020, 0x10000030, 0x10000040}));
    EXPECT_EQ(prev(0x18, 0x10000030, "x"), 0x10000020u);
    EXPECT_EQ(last(0x18, "y"), 0x10000030u);   // the greatest rid of the value below
}

TEST_F(KeySearch, WalksCrossLeavesAndSubtrees) {
    // 195-byte values: five to a leaf, a tree of several levels.
    const int n = 120;
    for (int i = 0; i < n; i++) add(0x10, 0x10000001 + i, val((i * 7) % n, 195));
    uint32_t root = data(fs)->fscb.rootkb;
    EXPECT_GE(readblk(data(fs), root)->kbuff.level, 3);
    reopen();
    int count = 0;
    std::string v;
    uint32_t r = fsfirstkey(0, fs, 0x10, buf);
    while (r != 0) {
        v = got(195);
        EXPECT_EQ(v, val(count, 195));
        count++;
        r = next(0x10, r, v);
    }
    EXPECT_EQ(count, n);
    r = last(0x10, std::string(195, '9'));
    while (r != 0) {
        count--;
        EXPECT_EQ(got(195), val(count, 195));
        r = prev(0x10, r, got(195));
    }
    EXPECT_EQ(count, 0);
}

TEST_F(KeySearch, RefusedArgumentsFindNothing) {
    FDATA &f = data(fs)->fscb.f[0];
    add(0x10, 0x10000001, "a");
    f.keytype[0] = 9;
    EXPECT_EQ(fsfirstkey(0, fs, 0x10, buf), 0u);
    EXPECT_EQ(find(0x10, "a"), 0u);
    EXPECT_EQ(last(0x10, "b"), 0u);
    EXPECT_EQ(next(0x10, 1, ""), 0u);
    EXPECT_EQ(prev(0x10, 0x1fffffff, "b"), 0u);
    f.keytype[0] = 0;
    EXPECT_EQ(find(0x00, "a"), 0u);
    EXPECT_EQ(fsfindkey(0, fs, 0x10, 196, put(std::string(196, 'a'))), 0u);
    f.keytype[1] = 7;
    double x = 2.5, nan = NAN;
    ASSERT_EQ(fsaddkey(0, fs, 0x11, 0x10000002, 8, &x), 1);
    EXPECT_EQ(fsfindkey(0, fs, 0x11, 8, &x), 0x10000002u);
    EXPECT_EQ(fsfindkey(0, fs, 0x11, 8, &nan), 0u);
    EXPECT_EQ(fsprevkey(0, fs, 0x11, 1, 8, &nan), 0u);
    EXPECT_EQ(fsfindkey(0, fs, 0x11, 4, &x), 0u);   // not the type's width
    EXPECT_TRUE(pmdbtest::errors().empty());
}

TEST_F(KeySearch, DescentsReportUnreadableAndDamagedBlocks) {
    const int n = 60;
    for (int i = 0; i < n; i++) add(0x10, 0x10000001 + i, val(i, 195));
    int height = readblk(data(fs), data(fs)->fscb.rootkb)->kbuff.level + 1;
    ASSERT_GE(height, 3);
    std::string mid = val(30, 195);
    struct CASE {
        int call;   // 0 find, 1 next, 2 prev
        int read;   // which read fails
        int16_t err;
    };
    // The first key of a leaf: its predecessor lies in another subtree, so
    // the backward walk reads blocks the descent did not.
    const CASE cases[] = {{0, 1, 1155}, {0, 2, 1165}, {1, 1, 1250}, {1, 2, 1260}};
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.err);
        reopen();
        plat_failat(PLAT_READ, c.read, 0);
        uint32_t r = c.call == 0 ? find(0x10, mid) : next(0x10, 0x10000031, mid);
        EXPECT_EQ(r, 0u);
        EXPECT_TRUE(recorded(1400));
        EXPECT_TRUE(recorded(c.err));
    }
    // The backward walk: find the first key of a leaf whose predecessor is
    // two or more levels up, then fail the first read the walk makes.
    int tried = 0;
    for (int i = 1; i < n && tried == 0; i++) {
        reopen();
        long reads = plat_calls(PLAT_READ);
        EXPECT_EQ(prev(0x10, 0x10000001 + i, val(i, 195)), 0x10000001u + i - 1);
        if (plat_calls(PLAT_READ) - reads <= height) continue;   // no read beyond the descent
        reopen();
        plat_failat(PLAT_READ, height + 1, 0);
        EXPECT_EQ(prev(0x10, 0x10000001 + i, val(i, 195)), 0u);
        EXPECT_TRUE(recorded(1275));
        tried++;
    }
    EXPECT_EQ(tried, 1);
    // A damaged leaf: the search fails with the descent's number, never
    // reading outside the block.
    reopen();
    FSDATA *d = data(fs);
    KEYPATH kp;
    clearpath(&kp);
    uint8_t *img = bldkey(0x10, 0, 195, mid.data());
    uint32_t leaf = findkeybuff(d, 196, img, 0, charfunc, &kp, d->fscb.rootkb)->blk;
    fsclose(0, fs);
    fs = nullptr;
    pmdbtest::corruptat(path("s.db"), (long)leaf * 1024 + 14, {0xff, 0x7f});   // keylen 32767
    fs = fsopen(0, path("s.db").c_str(), 1, 0);
    pmdb::clearerrors();
    uint32_t dmg = damagecount;
    EXPECT_EQ(find(0x10, mid), 0u);
    EXPECT_TRUE(recorded(1165));
    EXPECT_EQ(damagecount, dmg + 1);
    EXPECT_EQ(next(0x10, 0x10000031, mid), 0u);
    EXPECT_TRUE(recorded(1260));
}

// A root or child number past lb + 1 is refused by the block read itself:
// 1390 with the block and lb + 1 in msg, then the search's own number.
// lb + 1 itself is refused before the read, so a search never grows the
// file.
TEST_F(KeySearch, BlocksPastTheFileAreRefusedByTheRead) {
    for (int i = 0; i < 6; i++) add(0x10, 0x10000001 + i, val(i, 195));
    reopen();
    FSDATA *d = data(fs);
    uint32_t lb = d->fscb.lb, root = d->fscb.rootkb;
    char want[80];
    snprintf(want, sizeof want, "Block %lu > last block %lu", (unsigned long)lb + 5, (unsigned long)lb + 1);
    d->fscb.rootkb = lb + 5;
    EXPECT_EQ(find(0x10, val(1, 195)), 0u);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1390, 1155}));
    EXPECT_STREQ(fsgetmsg(), want);
    pmdb::clearerrors();
    EXPECT_EQ(next(0x10, 0, ""), 0u);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1390, 1250}));
    pmdb::clearerrors();
    d->fscb.rootkb = lb + 1;
    EXPECT_EQ(find(0x10, val(1, 195)), 0u);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1155}));
    EXPECT_STREQ(fsgetmsg(), "");
    EXPECT_EQ(+d->fscb.lb, lb);
    // The root's first child, as read from the file.
    d->fscb.rootkb = root;
    put32(kbat(&readblk(d, root)->kbuff, KBHEADER) + 2, lb + 5);
    pmdb::clearerrors();
    EXPECT_EQ(find(0x10, val(1, 195)), 0u);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1390, 1165}));
    EXPECT_STREQ(fsgetmsg(), want);
    EXPECT_EQ(find(0x10, val(5, 195)), 0x10000006u);   // the other child
    EXPECT_EQ(+d->fscb.lb, lb);
}
