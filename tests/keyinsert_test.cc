// keyinsert_test.cc - adding keys: new key blocks, split points and
// shapes, refusals, mixed subkeys in shared blocks, cache pressure during
// cascades, deep trees, and every failure number of insertion.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fss/alloc.h"
#include "keytestutil.h"

using namespace pmdb;
using pmdbtest::recorded;

namespace {

class KeyInsert : public pmdbtest::KeyTest {
protected:
    KeyInsert() : KeyTest("k.db") {}
};

}  // namespace

TEST_F(KeyInsert, FirstKeyTakesTheChainHeadAndTheRootSplitsIntoANewRoot) {
    ASSERT_EQ(+d->fscb.fc[0], 2u);
    for (int i = 0; i < 5; i++) ASSERT_EQ(add(0x10, 0x10000001 + i, val(i, 195)), 1);
    // Five entries of 202 bytes fill the root leaf exactly, without a split.
    EXPECT_EQ(+d->fscb.rootkb, 2u);
    EXPECT_EQ(+d->fscb.fc[0], 0u);
    EXPECT_EQ(+kb(2)->len, 1024);
    EXPECT_EQ(+kb(2)->level, 0);
    EXPECT_EQ(+kb(2)->type, 1);
    // The sixth splits it: entries 0..2 to the new block 3 (the file grows),
    // a new root 4 with entry 2 leading there and the old leaf as xtrablk.
    ASSERT_EQ(add(0x10, 0x10000009, val(9, 195)), 1);
    EXPECT_EQ(+d->fscb.rootkb, 4u);
    EXPECT_EQ(values(3), (std::vector<std::string>{val(0, 195), val(1, 195), val(2, 195)}));
    EXPECT_EQ(values(2), (std::vector<std::string>{val(3, 195), val(4, 195), val(9, 195)}));
    KB *root = kb(4);
    EXPECT_EQ(+root->level, 1);
    EXPECT_EQ(+root->numkeys, 1);
    EXPECT_EQ(+root->xtrablk, 2u);
    EXPECT_EQ(kbchild(root, KBHEADER), 3u);
    EXPECT_EQ(get32(kbimage(root, KBHEADER) + 196), 0x10000003u);   // the separator's rid
    EXPECT_EQ(values(4), (std::vector<std::string>{val(2, 195)}));
    EXPECT_EQ(problems(), 0u);
}

TEST_F(KeyInsert, OneByteBeyondAFullLeafSplits) {
    for (int i = 0; i < 4; i++) ASSERT_EQ(add(0x10, 0x10000001 + i, val(i, 195)), 1);
    ASSERT_EQ(add(0x10, 0x10000010, val(10, 188)), 1);   // 1017 bytes
    ASSERT_EQ(add(0x11, 0x10000011, ""), 1);               // 7 more: exactly 1024
    EXPECT_EQ(+kb(2)->len, 1024);
    EXPECT_EQ(+kb(2)->level, 0);
    ASSERT_EQ(add(0x12, 0x10000012, "x"), 1);              // 8 more: split
    EXPECT_EQ(+kb(d->fscb.rootkb)->level, 1);
    EXPECT_EQ(problems(), 0u);
}

TEST_F(KeyInsert, LeafSplitPoints) {
    // n entries that fill a leaf: entry size 1010 / n.
    for (int n = 5; n <= 7; n++) {
        SCOPED_TRACE(n);
        FS *f = createopen("l" + std::to_string(n) + ".db");
        ASSERT_NE(f, nullptr);
        int len = 1010 / n - 7;
        for (int i = 0; i < n; i++) {
            std::string v = val(i, len);
            ASSERT_EQ(fsaddkey(0, f, 0x10, 0x10000001 + i, (short)len, v.data()), 1);
        }
        FSDATA *fd = data(f);
        ASSERT_EQ(+fd->fscb.rootkb, 2u);
        std::string v = val(n, len);
        ASSERT_EQ(fsaddkey(0, f, 0x10, 0x10000100, (short)len, v.data()), 1);
        KB *low = &readblk(fd, 3)->kbuff;
        EXPECT_EQ(+low->numkeys, (n + 1) / 2);
        KB *high = &readblk(fd, 2)->kbuff;
        EXPECT_EQ(+high->numkeys, n - (n + 1) / 2 + 1);
        KB *root = &readblk(fd, fd->fscb.rootkb)->kbuff;
        EXPECT_EQ(memcmp(kbimage(root, KBHEADER) + 1, val((n + 1) / 2 - 1, len).data(), (size_t)len), 0);
        fsclose(0, f);
    }
}

TEST_F(KeyInsert, InnerSplitPoints) {
    for (int n = 4; n <= 7; n++) {
        SCOPED_TRACE(n);
        // An inner root of n separators, full for one more of the same size.
        int len = n == 4 ? 195 : n == 5 ? 190 : 1008 / n - 11;
        uint32_t blk = newkeyblock(d, 1);
        ASSERT_NE(blk, 0u);
        KB *k = kb(blk);
        for (int i = 0; i < n; i++) {
            std::string v = val(i, len);
            uint8_t *img = bldkey(0x10, 0x10000001 + i, (int16_t)len, v.data());
            ASSERT_EQ(addparentkey(d, k, (int16_t)(len + 1), 100 + i, img), 1);
        }
        k->xtrablk = 200;
        ASSERT_FALSE(kbroom(k, (int16_t)(len + 1)));
        d->fscb.rootkb = blk;
        KEYPATH path;
        clearpath(&path);
        uint32_t low = splitparent(d, blk, &path);
        ASSERT_NE(low, 0u);
        int m = n / 2;
        EXPECT_EQ(+kb(low)->numkeys, m);
        EXPECT_EQ(+kb(low)->xtrablk, 100u + m);   // the lifted entry's child
        EXPECT_EQ(+kb(low)->level, 1);
        EXPECT_EQ(+kb(blk)->numkeys, n - m - 1);
        EXPECT_EQ(+kb(blk)->xtrablk, 200u);
        EXPECT_EQ(kbchild(kb(blk), KBHEADER), 100u + m + 1);
        KB *root = kb(d->fscb.rootkb);
        EXPECT_EQ(+root->level, 2);
        EXPECT_EQ(+root->numkeys, 1);
        EXPECT_EQ(+root->xtrablk, blk);
        EXPECT_EQ(kbchild(root, KBHEADER), low);
        EXPECT_EQ(memcmp(kbimage(root, KBHEADER) + 1, val(m, len).data(), (size_t)len), 0);
    }
}

TEST_F(KeyInsert, EqualToTheSeparatorGoesLowAndDuplicatesAreRefusedAfterTheirSplit) {
    for (int i = 0; i < 5; i++) ASSERT_EQ(add(0x10, 0x10000001 + i, val(i, 195)), 1);
    // A duplicate value (another rid) aimed at the full leaf: the split
    // happens and stays, the key is refused.
    ASSERT_EQ(add(0x10, 0x10000077, val(2, 195)), 0);
    EXPECT_TRUE(recorded(1145));
    EXPECT_EQ(+kb(d->fscb.rootkb)->level, 1);
    EXPECT_EQ(problems(), 0u);
    for (int i = 0; i < 5; i++) EXPECT_EQ(find(0x10, val(i, 195)), 0x10000001u + i);
    // The separator is entry 2: an equal image descends to the lower block,
    // a greater one to the upper block.
    KEYPATH path;
    clearpath(&path);
    std::string v = val(2, 195);
    uint8_t *img = bldkey(0x10, 0x10000003, 195, v.data());
    EXPECT_EQ(findkeybuff(d, 196, img, 0, charfunc, &path, d->fscb.rootkb)->blk, 3u);
    v = val(3, 195);
    img = bldkey(0x10, 0x10000001, 195, v.data());
    EXPECT_EQ(findkeybuff(d, 196, img, 0, charfunc, &path, d->fscb.rootkb)->blk, 2u);
    // With duplicates (subkey 8): another rid is stored in rid order, the
    // same rid refused.
    ASSERT_EQ(add(0x18, 0x10000030, "dup"), 1);
    ASSERT_EQ(add(0x18, 0x10000010, "dup"), 1);
    EXPECT_EQ(add(0x18, 0x10000030, "dup"), 0);
    EXPECT_EQ(find(0x18, "dup"), 0x10000010u);
}

TEST_F(KeyInsert, EmptyValueIsStoredOnlyInAnEmptySubkey) {
    ASSERT_EQ(add(0x13, 0x10000001, ""), 1);
    EXPECT_EQ(add(0x13, 0x10000002, ""), 0);
    EXPECT_EQ(add(0x13, 0x10000003, "a"), 0);   // equal to the empty value
    ASSERT_EQ(add(0x14, 0x10000004, "a"), 1);
    EXPECT_EQ(add(0x14, 0x10000005, ""), 0);
    EXPECT_EQ(pmdb::lasterror(), 1145);
}

TEST_F(KeyInsert, RefusalsChangeNothing) {
    d->fscb.f[0].keytype[3] = 9;
    EXPECT_EQ(add(0x13, 0x10000001, "a"), 0);   // no comparator
    EXPECT_EQ(+d->fscb.rootkb, 0u);               // and no empty root leaf
    EXPECT_EQ(+d->fscb.fc[0], 2u);
    EXPECT_EQ(add(0x03, 0x10000001, "a"), 0);   // file number 0
    EXPECT_EQ(add(0x10, 0, "a"), 0);            // rid 0
    EXPECT_EQ(add(0x10, 0x10000001, std::string(196, 'a')), 0);
    d->fscb.f[0].keytype[1] = 2;   // long: 4 bytes
    EXPECT_EQ(add(0x11, 0x10000001, "abc"), 0);
    d->fscb.f[0].keytype[2] = 6;   // float
    float nan = NAN;
    EXPECT_EQ(fsaddkey(0, fs, 0x12, 0x10000001, 4, &nan), 0);
    EXPECT_EQ(+d->fscb.rootkb, 0u);
    EXPECT_EQ(pmdb::lasterror(), 1145);
    EXPECT_EQ(add(0x11, 0x10000001, "abcd"), 1);
    float one = 1;
    EXPECT_EQ(fsaddkey(0, fs, 0x12, 0x10000001, 4, &one), 1);
    // A read-only database refuses before anything else.
    fsclose(0, fs);
    fs = nullptr;
    fs = fsopen(0, path("k.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    d = data(fs);
    uint32_t lb = d->fscb.lb;
    EXPECT_EQ(add(0x10, 0x10000001, "zz"), 0);
    EXPECT_EQ(pmdb::lasterror(), ERR_READONLY);
    EXPECT_EQ(add(0x03, 0, std::string(300 - 104, 'a')), 0);
    EXPECT_EQ(pmdb::lasterror(), ERR_READONLY);
    EXPECT_EQ(+d->fscb.lb, lb);
    EXPECT_EQ(find(0x10, "zz"), 0u);
}

TEST_F(KeyInsert, SubkeysOfDifferentTypesShareBlocks) {
    // Short keys of two subkeys around a char subkey with long values that
    // share prefixes: separators of one type are placed while keys of the
    // other are inserted.
    d->fscb.f[0].keytype[0] = 1;
    d->fscb.f[0].keytype[2] = 1;
    std::vector<std::string> chars;
    for (int i = 0; i < 300; i++) {
        std::string v = std::string(150, 'p') + val((i * 37) % 300, 40);
        chars.push_back(v);
        ASSERT_EQ(add(0x11, 0x10000001 + i, v), 1);
        int16_t s = (int16_t)(i * 101 - 15000);
        ASSERT_EQ(fsaddkey(0, fs, 0x10, 0x10000001 + i, 2, &s), 1);
        s = (int16_t)(15000 - i * 97);
        ASSERT_EQ(fsaddkey(0, fs, 0x12, 0x10000001 + i, 2, &s), 1);
    }
    int height = 0;
    EXPECT_EQ(problems(&height), 0u);
    EXPECT_GE(height, 3);
    for (int i = 0; i < 300; i++) EXPECT_EQ(find(0x11, chars[i]), 0x10000001u + i);
}

TEST_F(KeyInsert, CascadesHoldWhileOtherBlocksCycleThroughTheCache) {
    // Twenty data blocks, all changed in the cache before every insertion,
    // so that every block the cascade needs is read in afresh.
    std::vector<uint32_t> other;
    for (int j = 0; j < 20; j++) {
        uint32_t b = allocextendedblk(d);
        ASSERT_NE(readblk(d, b), nullptr);
        other.push_back(b);
    }
    std::vector<std::string> keys;
    for (int i = 0; i < 260; i++) {
        for (uint32_t b : other) {
            readblk(d, b)->dbuff.fill = (char)i;
            ASSERT_EQ(writeblk(d, b), 1);
        }
        std::string v = val((i * 53) % 260, 120 + (i * 7) % 76);
        keys.push_back(v);
        ASSERT_EQ(add(0x10, 0x10000001 + i, v), 1);
    }
    int height = 0;
    EXPECT_EQ(problems(&height), 0u);
    EXPECT_GE(height, 4);
    fsclose(0, fs);
    fs = nullptr;
    fs = fsopen(0, path("k.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    d = data(fs);
    EXPECT_EQ(problems(), 0u);
    for (int i = 0; i < 260; i++) EXPECT_EQ(find(0x10, keys[i]), 0x10000001u + i) << i;
}

namespace {

// A chain of blocks at levels top..0: inner blocks each full of entries
// (or empty when full is false) all leading to the block below, and a
// full leaf of five 195-byte keys. Returns the root.
uint32_t craftchain(FSDATA *d, int top, bool full) {
    uint32_t below = 0;
    for (int level = 0; level <= top; level++) {
        uint32_t blk = newkeyblock(d, (int16_t)level);
        KB *k = &readblk(d, blk)->kbuff;
        for (int i = 0; i < 5; i++) {
            char v[200];
            snprintf(v, sizeof v, "%0*d", level == 0 ? 195 : 189, i);
            uint8_t *img = bldkey(0x10, 0x10000001 + i, level == 0 ? 195 : 189, v);
            if (level == 0) addl0key(k, 196, img, 0, charfunc);
            else if (full) addparentkey(d, k, 190, below, img);
        }
        k->xtrablk = level == 0 ? 0 : below;
        writeblk(d, blk);
        below = blk;
    }
    d->fscb.rootkb = below;
    return below;
}

}  // namespace

TEST_F(KeyInsert, ThirtyTwoLevelsWorkAndAThirtyThirdIsRefused) {
    // Empty inner blocks above a leaf: a tree of 32 levels that works.
    craftchain(d, 31, false);
    EXPECT_EQ(problems(), 0u);
    EXPECT_NE(find(0x10, val(3, 195)), 0u);
    ASSERT_EQ(add(0x10, 0x10000050, val(7, 195)), 1);   // splits the leaf
    EXPECT_EQ(problems(), 0u);
    uint8_t buf[KEYBUFSIZE];
    std::string v = val(3, 195);
    memcpy(buf, v.data(), v.size());
    EXPECT_EQ(fsprevkey(0, fs, 0x10, 0x10000004, 195, buf), 0x10000003u);
    EXPECT_EQ(fsnextkey(0, fs, 0x10, 0x10000003, 195, buf), 0x10000004u);

    // Every block of the path full: the cascade would need a 33rd level.
    FS *f2 = createopen("deep.db");
    ASSERT_NE(f2, nullptr);
    FSDATA *d2 = data(f2);
    uint32_t root = craftchain(d2, 31, true);
    uint32_t lb = d2->fscb.lb, fc0 = d2->fscb.fc[0];
    pmdb::clearerrors();
    v = val(9, 195);
    EXPECT_EQ(fsaddkey(0, f2, 0x10, 0x10000077, 195, v.data()), 0);
    EXPECT_TRUE(recorded(1230));
    EXPECT_TRUE(recorded(1145));
    EXPECT_EQ(+d2->fscb.rootkb, root);
    EXPECT_EQ(+d2->fscb.lb, lb);
    EXPECT_EQ(+d2->fscb.fc[0], fc0);
    fsclose(0, f2);
}

TEST_F(KeyInsert, NoBlockForTheRootOrASplit) {
    // File full: no root leaf.
    d->fscb.fc[0] = 0;
    d->fscb.lb = MAXBLOCK;
    EXPECT_EQ(add(0x10, 0x10000001, "a"), 0);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1405, 1280, 1140}));
    EXPECT_EQ(+d->fscb.rootkb, 0u);
}

TEST_F(KeyInsert, UnreadableOrDamagedChainHead) {
    fsclose(0, fs);
    fs = nullptr;
    fs = fsopen(0, path("k.db").c_str(), 1, 0);
    d = data(fs);
    pmdb::clearerrors();
    plat_failat(PLAT_READ, 1, 0);
    EXPECT_EQ(add(0x10, 0x10000001, "a"), 0);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1400, 1285, 1140}));
    EXPECT_EQ(+d->fscb.fc[0], 2u);
    // A chain head that is not an empty block is not taken.
    fsclose(0, fs);
    fs = nullptr;
    pmdbtest::corruptat(path("k.db"), 2 * 1024 + 4, {20, 0});
    fs = fsopen(0, path("k.db").c_str(), 0, 0);
    d = data(fs);
    pmdb::clearerrors();
    uint32_t dmg = damagecount;
    EXPECT_EQ(add(0x10, 0x10000001, "a"), 0);
    EXPECT_EQ(damagecount, dmg + 1);
    EXPECT_EQ(pmdbtest::errors(), (std::vector<int16_t>{1285, 1140}));
}

namespace {

struct FAILCASE {
    int k;                        // the k-th writeblk of the insertion fails
    std::vector<int16_t> errs;    // numbers recorded
};

}  // namespace

// A failed write of a changed block (the forced flush of the 2001st change
// failing) at each step of a root-leaf split and of a two-level cascade:
// the insertion fails with the step's number, and the tree stays sound
// with every key that was in it.
TEST_F(KeyInsert, EveryStepOfASplitCanFail) {
    const std::vector<FAILCASE> leafcases = {
        {1, {1375, 1285, 1170, 1145}}, {2, {1375, 1285, 1190, 1145}}, {3, {1375, 1180, 1145}},
        {4, {1375, 1185, 1145}},       {5, {1375, 1205, 1145}},       {6, {1375, 1145}}};
    // Ascending 195-byte keys: the 6th splits the root leaf; with 4 entries
    // in the root, the next full leaf splits the root as well (key 17).
    // The cascade takes the leaf's new block, the inner one's, then the new
    // root, before it splits the root and then the leaf.
    const std::vector<FAILCASE> cascade = {
        {1, {1375, 1285, 1170, 1145}}, {2, {1375, 1285, 1210, 1145}}, {3, {1375, 1285, 1230, 1145}},
        {4, {1375, 1220, 1145}},       {5, {1375, 1225, 1145}},       {6, {1375, 1245, 1145}},
        {7, {1375, 1180, 1145}},       {8, {1375, 1185, 1145}},       {9, {1375, 1205, 1145}},
        {10, {1375, 1145}}};
    for (int which = 0; which < 2; which++) {
        const std::vector<FAILCASE> &cases = which == 0 ? leafcases : cascade;
        int before = which == 0 ? 5 : 17;
        for (const FAILCASE &c : cases) {
            SCOPED_TRACE(std::to_string(which) + " k " + std::to_string(c.k));
            std::string name = "f" + std::to_string(which) + "_" + std::to_string(c.k) + ".db";
            FS *f = createopen(name);
            ASSERT_NE(f, nullptr);
            FSDATA *fd = data(f);
            for (int i = 0; i < before; i++) {
                std::string v = val(i, 195);
                ASSERT_EQ(fsaddkey(0, f, 0x10, 0x10000001 + i, 195, v.data()), 1);
            }
            ASSERT_EQ(fsflush(0, f), 1);
            pmdbtest::nostore(f);
            int level = readblk(fd, fd->fscb.rootkb)->kbuff.level;
            fd->fscb.wrts = (int16_t)(FORCEDFLUSH - c.k);
            pmdb::clearerrors();
            plat_failat(PLAT_WRITE, 1, 0);
            std::string v = val(before, 195);
            EXPECT_EQ(fsaddkey(0, f, 0x10, 0x10000001 + before, 195, v.data()), 0);
            plat_faultreset();
            // The failed flush records its own number first (1295 or 1305).
            std::vector<int16_t> got = pmdbtest::errors();
            ASSERT_FALSE(got.empty());
            got.erase(got.begin());
            EXPECT_EQ(got, c.errs);
            std::swap(d, fd);
            EXPECT_EQ(problems(), 0u);
            std::swap(d, fd);
            for (int i = 0; i < before; i++) {
                std::string w = val(i, 195);
                uint8_t buf[KEYBUFSIZE];
                memcpy(buf, w.data(), w.size());
                EXPECT_EQ(fsfindkey(0, f, 0x10, 195, buf), 0x10000001u + i);
            }
            // A failure while the blocks are taken leaves the tree as it
            // was, and gives the blocks back: chain 0 holds them, the lowest
            // level's first.
            if (c.k <= (which == 0 ? 2 : 3)) {
                EXPECT_EQ(readblk(fd, fd->fscb.rootkb)->kbuff.level, level);
                uint32_t c0 = fd->fscb.fc[0];
                for (int j = c.k - 1; j >= 0; j--) {
                    EXPECT_EQ(c0, fd->fscb.lb - (uint32_t)j);
                    c0 = readblk(fd, c0)->dbuff.nbic;
                }
            }
            fsclose(0, f);
        }
    }
}

namespace {

// The blocks the next n new key blocks will be: the blocks of chain 0 in
// chain order, then blocks added at the end of the file (translation
// blocks skipped).
std::vector<uint32_t> nextblocks(FSDATA *d, int n) {
    std::vector<uint32_t> out;
    uint32_t c = d->fscb.fc[0], lb = d->fscb.lb;
    for (int i = 0; i < n; i++) {
        if (c != 0) {
            out.push_back(c);
            c = readblk(d, c)->dbuff.nbic;
        } else {
            do lb++;
            while (isxlateblk(d, lb));
            out.push_back(lb);
        }
    }
    return out;
}

}  // namespace

// Ascending 195-byte keys keep the cascade on the rightmost path. Each time
// the root splits, the new blocks are taken from the bottom up: the new
// lower half of the leaf first, then that of each level above, the new root
// last. Before the cascade that makes four levels two empty blocks go onto
// chain 0, which the two lowest levels then take in chain order.
TEST_F(KeyInsert, ACascadeNumbersItsNewBlocksFromTheLeafUp) {
    int height = 1;
    for (int i = 0; height < 4; i++) {
        ASSERT_LT(i, 400);
        uint32_t oldroot = d->fscb.rootkb;
        if (height == 3 && oldroot != 0) {
            // Is every block of the rightmost path full?
            bool full = true;
            for (uint32_t b = oldroot;;) {
                KB *k = kb(b);
                full = full && !kbroom(k, 196);
                if (k->level == 0) break;
                b = k->xtrablk;
            }
            for (int j = 0; full && j < 2; j++) {
                uint32_t b = allocextendedblk(d);
                ASSERT_NE(readblk(d, b), nullptr);
                ASSERT_EQ(freekeyblock(d, b), 1);
            }
        }
        std::vector<uint32_t> want = nextblocks(d, height + 1);
        ASSERT_EQ(add(0x10, 0x10000001 + i, val(i, 195)), 1);
        int level = kb(d->fscb.rootkb)->level;
        if (oldroot == 0 || level + 1 == height) continue;
        SCOPED_TRACE(std::to_string(height) + " levels, key " + std::to_string(i));
        ASSERT_EQ(level, height);
        // want[l] is the new lower half at level l, want[height] the root.
        EXPECT_EQ(+d->fscb.rootkb, want[(size_t)height]);
        EXPECT_EQ(kbchild(kb(d->fscb.rootkb), KBHEADER), want[(size_t)height - 1]);
        EXPECT_EQ(+kb(d->fscb.rootkb)->xtrablk, oldroot);
        // Down the rightmost path, the last separator of each inner block
        // leads to the new lower half one level down.
        uint32_t b = oldroot;
        for (int l = height - 1; l >= 1; l--) {
            KB *k = kb(b);
            int last = KBHEADER;
            for (int pos = KBHEADER; pos < k->len; pos = kbnext(k, pos)) last = pos;
            EXPECT_EQ(kbchild(k, last), want[(size_t)l - 1]) << "level " << l;
            EXPECT_EQ(+kb(want[(size_t)l - 1])->level, l - 1);
            b = k->xtrablk;
        }
        height++;
    }
    EXPECT_EQ(+d->fscb.fc[0], 0u);
    EXPECT_EQ(problems(), 0u);
}
