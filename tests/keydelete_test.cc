// keydelete_test.cc - removing keys: the worked shapes of separator
// repair, freed blocks and their reuse, longer replacement separators that
// split their parent, matching rules, refusals and failures.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "keytestutil.h"

using namespace pmdb;
using pmdbtest::recorded;

namespace {

class KeyDelete : public pmdbtest::KeyTest {
protected:
    KeyDelete() : KeyTest("d.db") {}

    static std::string v(int i) { return val(i, 195); }
    short del(uint8_t fid, uint32_t rid, const std::string &s) {
        return fsdeletekey(0, fs, fid, rid, (short)s.size(), s.data());
    }
    std::vector<uint8_t> image(uint32_t blk) {
        const uint8_t *p = readblk(d, blk)->raw;
        return std::vector<uint8_t>(p, p + BLKSIZE);
    }
    // Root R (block 4) with (v2 -> A = 3), (v5 -> B = 5) and xtrablk C = 2,
    // each leaf holding three 195-byte keys: A v0..v2, B v3..v5, C v6..v8.
    void buildshape() {
        for (int i = 0; i < 9; i++) ASSERT_EQ(add(0x10, 0x10000001 + i, v(i)), 1);
        ASSERT_EQ(+d->fscb.rootkb, 4u);
        ASSERT_EQ(values(4), (std::vector<std::string>{v(2), v(5)}));
        ASSERT_EQ(kbchild(kb(4), KBHEADER), 3u);
        ASSERT_EQ(kbchild(kb(4), kbnext(kb(4), KBHEADER)), 5u);
        ASSERT_EQ(+kb(4)->xtrablk, 2u);
        ASSERT_EQ(values(3), (std::vector<std::string>{v(0), v(1), v(2)}));
        ASSERT_EQ(values(5), (std::vector<std::string>{v(3), v(4), v(5)}));
        ASSERT_EQ(values(2), (std::vector<std::string>{v(6), v(7), v(8)}));
    }
    void expectfreed(uint32_t blk) {
        const DB &db = readblk(d, blk)->dbuff;
        EXPECT_EQ(+db.len, DBHEADER);
        EXPECT_EQ(+db.type, 0);
        EXPECT_EQ(+db.fill, 0);   // the level byte
        EXPECT_EQ(+db.fc, 0);
        EXPECT_EQ(+d->fscb.fc[0], blk);
    }
};

}  // namespace

TEST_F(KeyDelete, AMiddleKeyChangesOnlyItsLeaf) {
    buildshape();
    std::vector<uint8_t> r = image(4), b = image(5), c = image(2);
    int16_t len = kb(3)->len;
    ASSERT_EQ(del(0x10, 0x10000002, v(1)), 1);
    EXPECT_EQ(kb(3)->len, len - 202);
    EXPECT_EQ(values(3), (std::vector<std::string>{v(0), v(2)}));
    EXPECT_EQ(image(4), r);
    EXPECT_EQ(image(5), b);
    EXPECT_EQ(image(2), c);
}

TEST_F(KeyDelete, ALeafsHighestKeyIsReplacedInItsSeparator) {
    buildshape();
    ASSERT_EQ(del(0x10, 0x10000003, v(2)), 1);
    EXPECT_EQ(values(4), (std::vector<std::string>{v(1), v(5)}));
    EXPECT_EQ(kbchild(kb(4), KBHEADER), 3u);
    EXPECT_EQ(get32(kbimage(kb(4), KBHEADER) + 196), 0x10000002u);   // v1's rid
    EXPECT_EQ(problems(), 0u);
}

TEST_F(KeyDelete, TheRightmostEdgeHasNoSeparator) {
    buildshape();
    std::vector<uint8_t> r = image(4);
    ASSERT_EQ(del(0x10, 0x10000009, v(8)), 1);
    EXPECT_EQ(image(4), r);
    EXPECT_EQ(problems(), 0u);
}

TEST_F(KeyDelete, AFreedRightmostChildGivesItsPlaceToTheLastEntry) {
    buildshape();
    ASSERT_EQ(del(0x10, 0x10000007, v(6)), 1);
    ASSERT_EQ(del(0x10, 0x10000008, v(7)), 1);
    ASSERT_EQ(del(0x10, 0x10000009, v(8)), 1);   // C's only key
    expectfreed(2);
    EXPECT_EQ(values(4), (std::vector<std::string>{v(2)}));
    EXPECT_EQ(+kb(4)->xtrablk, 5u);
    EXPECT_EQ(problems(), 0u);
}

TEST_F(KeyDelete, AFreedLeafLosesItsSeparator) {
    buildshape();
    ASSERT_EQ(del(0x10, 0x10000003, v(2)), 1);
    ASSERT_EQ(del(0x10, 0x10000002, v(1)), 1);
    EXPECT_EQ(values(4), (std::vector<std::string>{v(0), v(5)}));
    ASSERT_EQ(del(0x10, 0x10000001, v(0)), 1);   // A's only key
    expectfreed(3);
    EXPECT_EQ(values(4), (std::vector<std::string>{v(5)}));
    EXPECT_EQ(kbchild(kb(4), KBHEADER), 5u);
    EXPECT_EQ(+kb(4)->xtrablk, 2u);
    EXPECT_EQ(problems(), 0u);
}

TEST_F(KeyDelete, TheLastKeyEmptiesTheIndexAndFreedBlocksAreReused) {
    buildshape();
    for (int i = 0; i < 9; i++) ASSERT_EQ(del(0x10, 0x10000001 + i, v(i)), 1) << i;
    EXPECT_EQ(+d->fscb.rootkb, 0u);
    EXPECT_EQ(del(0x10, 0x10000001, v(0)), 0);   // an empty index
    EXPECT_TRUE(pmdbtest::errors().empty());
    uint32_t lb = d->fscb.lb;
    fsclose(0, fs);
    fs = nullptr;
    // In the file: every freed block an empty data block, the root 0.
    std::vector<uint8_t> file = pmdbtest::readfile(path("d.db"));
    ASSERT_EQ(file.size(), (lb + 1) * BLKSIZE);
    for (uint32_t blk = 2; blk <= 5; blk++) {
        EXPECT_EQ(get16(&file[blk * BLKSIZE + 4]), DBHEADER) << blk;
        EXPECT_EQ(file[blk * BLKSIZE + 8], 0) << blk;
    }
    EXPECT_EQ(get32(&file[129]), 0u);
    fs = fsopen(0, path("d.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    d = data(fs);
    EXPECT_EQ(+d->fscb.rootkb, 0u);
    // A record and new keys take the freed blocks: the file does not grow.
    char rec[900];
    memset(rec, 'r', sizeof rec);
    EXPECT_NE(fsadd(0, fs, rec, sizeof rec, 0x10), 0u);
    for (int i = 0; i < 6; i++) ASSERT_EQ(add(0x10, 0x10000001 + i, v(i)), 1);   // three blocks
    EXPECT_EQ(+d->fscb.lb, lb);
    fsclose(0, fs);
    fs = nullptr;
    file = pmdbtest::readfile(path("d.db"));
    EXPECT_EQ(file.size(), (lb + 1) * BLKSIZE);
    int keyblocks = 0, datablocks = 0;
    for (uint32_t blk = 2; blk <= 5; blk++) {
        if (file[blk * BLKSIZE + 8] == 1) keyblocks++;
        else if (get16(&file[blk * BLKSIZE + 4]) > DBHEADER) datablocks++;
    }
    EXPECT_EQ(keyblocks, 3);
    EXPECT_EQ(datablocks, 1);
}

TEST_F(KeyDelete, MatchingRulesAndRefusals) {
    ASSERT_EQ(add(0x10, 0x10000001, "a"), 1);
    ASSERT_EQ(add(0x10, 0x10000002, "b"), 1);
    ASSERT_EQ(add(0x18, 0x10000005, "x"), 1);
    ASSERT_EQ(add(0x18, 0x10000006, "x"), 1);
    uint32_t changed = d->fscb.fschanged;
    EXPECT_EQ(del(0x10, 0x10000001, "ab"), 0);   // not present
    EXPECT_EQ(del(0x11, 0x10000001, "a"), 0);    // another subkey
    EXPECT_EQ(del(0x18, 0x10000007, "x"), 0);    // duplicates: the rid must match
    EXPECT_EQ(+d->fscb.fschanged, changed);
    EXPECT_TRUE(pmdbtest::errors().empty());
    EXPECT_EQ(del(0x18, 0x10000006, "x"), 1);
    EXPECT_EQ(find(0x18, "x"), 0x10000005u);
    EXPECT_EQ(del(0x10, 0x1fffffff, "b"), 1);   // no duplicates: any rid
    EXPECT_EQ(find(0x10, "b"), 0u);
    // The empty value removes the first key of the subkey.
    ASSERT_EQ(add(0x10, 0x10000003, "c"), 1);
    EXPECT_EQ(del(0x10, 0, ""), 1);
    EXPECT_EQ(find(0x10, "a"), 0u);
    EXPECT_EQ(find(0x10, "c"), 0x10000003u);
    EXPECT_EQ(del(0x12, 0, ""), 0);
    // Refused arguments change nothing and record nothing.
    d->fscb.f[0].keytype[0] = 9;
    EXPECT_EQ(del(0x10, 0x10000003, "c"), 0);
    d->fscb.f[0].keytype[0] = 0;
    EXPECT_EQ(del(0x00, 0x10000003, "c"), 0);
    EXPECT_EQ(del(0x10, 0x10000003, std::string(196, 'c')), 0);
    EXPECT_TRUE(pmdbtest::errors().empty());
    EXPECT_EQ(find(0x10, "c"), 0x10000003u);
    // Read-only: 1025.
    fsclose(0, fs);
    fs = nullptr;
    fs = fsopen(0, path("d.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    d = data(fs);
    EXPECT_EQ(del(0x10, 0x10000003, "c"), 0);
    EXPECT_EQ(pmdb::lasterror(), ERR_READONLY);
    EXPECT_EQ(find(0x10, "c"), 0x10000003u);
}

namespace {

// Root R (level 1) of five entries, four of 195-byte separators and a last
// short one, "f", whose leaf's other key is long: deleting "f" brings a
// replacement 194 bytes longer than R has room for.
void craftlong(FSDATA *d) {
    uint32_t leaves[6];
    const char *keys[6][2] = {{"a", nullptr}, {"b", nullptr}, {"c", nullptr},
                              {"d", nullptr}, {"e", "f"},     {"g", nullptr}};
    for (int j = 0; j < 6; j++) {
        leaves[j] = newkeyblock(d, 0);
        KB *k = &readblk(d, leaves[j])->kbuff;
        for (int e = 0; e < 2 && keys[j][e] != nullptr; e++) {
            std::string s = e == 0 && j < 5 ? std::string(195, keys[j][e][0]) : std::string(keys[j][e]);
            uint8_t *img = bldkey(0x10, 0x10000001 + j * 2 + e, (int16_t)s.size(), s.data());
            addl0key(k, (int16_t)(s.size() + 1), img, 0, charfunc);
        }
        writeblk(d, leaves[j]);
    }
    uint32_t root = newkeyblock(d, 1);
    KB *r = &readblk(d, root)->kbuff;
    for (int j = 0; j < 5; j++) {
        // The highest key of each leaf, as its separator.
        KB *l = &readblk(d, leaves[j])->kbuff;
        int last = KBHEADER;
        for (int pos = KBHEADER; pos < l->len; pos = kbnext(l, pos)) last = pos;
        uint8_t sep[KEYBUFSIZE];
        int16_t len = kbkeylen(l, last);
        memcpy(sep, kbimage(l, last), (size_t)len + 4);
        r = &readblk(d, root)->kbuff;
        addparentkey(d, r, len, leaves[j], sep);
    }
    r->xtrablk = leaves[5];
    writeblk(d, root);
    d->fscb.rootkb = root;
}

}  // namespace

TEST_F(KeyDelete, ALongerReplacementSplitsItsParentAndGrowsTheTree) {
    craftlong(d);
    ASSERT_EQ(problems(), 0u);
    ASSERT_EQ(del(0x10, 0x10000010, "f"), 1);
    EXPECT_EQ(problems(), 0u);
    EXPECT_EQ(+kb(d->fscb.rootkb)->level, 2);
    EXPECT_EQ(find(0x10, "f"), 0u);
    for (const char *c : {"a", "b", "c", "d", "e"}) EXPECT_NE(find(0x10, std::string(195, c[0])), 0u) << c;
    EXPECT_NE(find(0x10, "g"), 0u);
}

TEST_F(KeyDelete, AFailedParentSplitLeavesTheTreeWhole) {
    craftlong(d);
    d->fscb.fc[0] = 0;
    d->fscb.lb = MAXBLOCK;
    pmdb::clearerrors();
    EXPECT_EQ(del(0x10, 0x10000010, "f"), 0);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1405, 1280, 1210}));
    EXPECT_EQ(problems(), 0u);
    EXPECT_NE(find(0x10, "f"), 0u);
    EXPECT_NE(find(0x10, "g"), 0u);
}

TEST_F(KeyDelete, FailedWritesAndReads) {
    buildshape();
    ASSERT_EQ(fsflush(0, fs), 1);
    pmdbtest::nostore(fs);
    // The leaf's write (a middle key), then the parent's (the highest key).
    for (int k = 1; k <= 2; k++) {
        SCOPED_TRACE(k);
        d->fscb.wrts = (int16_t)(FORCEDFLUSH - k);
        pmdb::clearerrors();
        plat_failat(PLAT_WRITE, 1, 0);
        int key = k == 1 ? 4 : 5;
        EXPECT_EQ(del(0x10, 0x10000001 + key, v(key)), 0);
        plat_faultreset();
        EXPECT_TRUE(recorded(1375));
        EXPECT_TRUE(recorded(1147));
        EXPECT_EQ(problems(), 0u);
        for (int i = 0; i < 9; i++) {
            if (i != 4 && (k == 1 || i != 5)) {
                EXPECT_EQ(find(0x10, v(i)), 0x10000001u + i) << i;
            }
        }
    }
    // An unreadable root.
    fsclose(0, fs);
    fs = nullptr;
    fs = fsopen(0, path("d.db").c_str(), 1, 0);
    d = data(fs);
    pmdb::clearerrors();
    plat_failat(PLAT_READ, 1, 0);
    EXPECT_EQ(del(0x10, 0x10000001, v(0)), 0);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1400, 1155}));
    EXPECT_EQ(find(0x10, v(0)), 0x10000001u);
}

namespace {

// Hand-built trees of subkey 0x10 (no duplicates): a leaf holds its keys,
// an inner block one separator per child but the last (its xtrablk), each
// separator copied from the child's highest key.
struct SEP {
    int16_t len;
    uint8_t img[KEYBUFSIZE];
};

SEP highest(FSDATA *d, uint32_t blk) {
    KB *k = &readblk(d, blk)->kbuff;
    while (k->level > 0) k = &readblk(d, k->xtrablk)->kbuff;
    int last = KBHEADER;
    for (int pos = KBHEADER; pos < k->len; pos = kbnext(k, pos)) last = pos;
    SEP s;
    s.len = kbkeylen(k, last);
    memcpy(s.img, kbimage(k, last), (size_t)s.len + 4);
    return s;
}

uint32_t mkleaf(FSDATA *d, const std::vector<std::string> &keys) {
    static uint32_t rid = 0x10000001;
    uint32_t b = newkeyblock(d, 0);
    for (const std::string &s : keys) {
        uint8_t *img = bldkey(0x10, rid++, (int16_t)s.size(), s.data());
        addl0key(&readblk(d, b)->kbuff, (int16_t)(s.size() + 1), img, 0, charfunc);
    }
    writeblk(d, b);
    return b;
}

uint32_t mkinner(FSDATA *d, int level, const std::vector<uint32_t> &children) {
    uint32_t b = newkeyblock(d, (int16_t)level);
    for (size_t i = 0; i + 1 < children.size(); i++) {
        SEP s = highest(d, children[i]);
        addparentkey(d, &readblk(d, b)->kbuff, s.len, children[i], s.img);
    }
    readblk(d, b)->kbuff.xtrablk = children.back();
    writeblk(d, b);
    return b;
}

std::string many(char c) { return std::string(195, c); }

}  // namespace

// The old separator leaves its block before the replacement is found to
// need a split, so the block splits with one entry fewer. "B" is the
// highest key of the first leaf, and the root (B, E, H, K, N over leaves,
// 850 bytes) has no room for its 195-byte replacement "A...2": without B
// it holds E, H, K, N; E and H go to the new block 9, K goes up into the
// new root 10, N stays, and the replacement joins the lower half.
TEST_F(KeyDelete, AReplacementThatDoesNotFitSplitsItsBlockWithoutTheOldSeparator) {
    ASSERT_EQ(add(0x10, 0x10000001, std::string(194, 'A') + "1"), 1);
    ASSERT_EQ(add(0x10, 0x10000002, std::string(194, 'A') + "2"), 1);
    ASSERT_EQ(add(0x10, 0x10000003, "B"), 1);
    for (char c = 'C'; c <= 'Q'; c++) ASSERT_EQ(add(0x10, 0x10000100 + (uint32_t)c, many(c)), 1);
    ASSERT_EQ(+d->fscb.rootkb, 4u);
    ASSERT_EQ(+d->fscb.lb, 8u);
    ASSERT_EQ(del(0x10, 0x10000003, "B"), 1);
    EXPECT_EQ(+d->fscb.rootkb, 10u);
    EXPECT_EQ(values(10), (std::vector<std::string>{many('K')}));
    EXPECT_EQ(kbchild(kb(10), KBHEADER), 9u);
    EXPECT_EQ(+kb(10)->xtrablk, 4u);
    EXPECT_EQ(values(9), (std::vector<std::string>{std::string(194, 'A') + "2", many('E'), many('H')}));
    EXPECT_EQ(values(4), (std::vector<std::string>{many('N')}));
    EXPECT_EQ(problems(), 0u);
}

// A freed rightmost leaf makes its parent's last entry the new highest key,
// and that longer key splits the root. The freed leaf is on top of chain 0
// when the split takes its new block, so it becomes the root's new lower
// half; the new root is the next block of the file. When there is no block
// for the new root, nothing changes.
TEST_F(KeyDelete, AFreedLeafIsTheBlockItsRepairSplitTakes) {
    uint32_t c = mkleaf(d, {"f"});
    uint32_t i5 = mkinner(d, 1, {mkleaf(d, {many('e')}), c});
    std::vector<uint32_t> top;
    for (char x : {'a', 'b', 'c', 'd'}) top.push_back(mkinner(d, 1, {mkleaf(d, {many(x)})}));
    top.push_back(i5);
    top.push_back(mkinner(d, 1, {mkleaf(d, {"g"})}));
    uint32_t root = mkinner(d, 2, top);
    d->fscb.rootkb = root;
    ASSERT_EQ(+d->fscb.fc[0], 0u);
    ASSERT_EQ(problems(), 0u);
    uint32_t lb = d->fscb.lb;
    // No block for the new root: the leaf is neither freed nor taken.
    d->fscb.lb = MAXBLOCK;
    pmdb::clearerrors();
    EXPECT_EQ(del(0x10, 0, "f"), 0);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1405, 1280, 1230}));
    EXPECT_EQ(values(c), (std::vector<std::string>{"f"}));
    EXPECT_EQ(+d->fscb.fc[0], 0u);
    EXPECT_EQ(problems(), 0u);
    d->fscb.lb = lb;
    ASSERT_EQ(del(0x10, 0, "f"), 1);
    EXPECT_EQ(+d->fscb.rootkb, lb + 1);
    EXPECT_EQ(+d->fscb.fc[0], 0u);
    EXPECT_EQ(kbchild(kb(lb + 1), KBHEADER), c);
    EXPECT_EQ(+kb(c)->level, 2);
    EXPECT_EQ(values(c), (std::vector<std::string>{many('a'), many('b')}));
    EXPECT_EQ(values(root), (std::vector<std::string>{many('d'), many('e')}));
    EXPECT_EQ(+kb(i5)->numkeys, 0);
    EXPECT_EQ(problems(), 0u);
}

// Keys of very different lengths: without its old separator "i" the root
// splits into a lower half of five 1-byte separators and an upper half of
// four 195-byte ones, which has no room for the 195-byte replacement. The
// block is then split with the old separator still in it, and the
// deletion made in the half.
TEST_F(KeyDelete, AReplacementThatWouldNotFitEitherHalfSplitsTheBlockAsItIs) {
    std::vector<uint32_t> top;
    for (char x : {'a', 'b', 'c', 'd', 'e'}) top.push_back(mkleaf(d, {std::string(1, x)}));
    for (char x : {'f', 'g', 'h'}) top.push_back(mkleaf(d, {many(x)}));
    top.push_back(mkleaf(d, {std::string(194, 'h') + "i", "i"}));
    top.push_back(mkleaf(d, {many('j')}));
    top.push_back(mkleaf(d, {"k"}));
    d->fscb.rootkb = mkinner(d, 1, top);
    ASSERT_EQ(problems(), 0u);
    ASSERT_EQ(del(0x10, 0, "i"), 1);
    EXPECT_EQ(problems(), 0u);
    EXPECT_EQ(+kb(d->fscb.rootkb)->level, 2);
    for (std::string k : {"a", "e", "k"}) EXPECT_NE(find(0x10, k), 0u) << k;
    for (char x : {'f', 'h', 'j'}) EXPECT_NE(find(0x10, many(x)), 0u) << x;
    EXPECT_NE(find(0x10, std::string(194, 'h') + "i"), 0u);
    EXPECT_EQ(find(0x10, "i"), 0u);
}
