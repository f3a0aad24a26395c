// keycheck_test.cc - the tree checker names each kind of damage by block,
// enumerates the blocks it reached, and survives trees that loop or share
// blocks.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "keytestutil.h"

using namespace pmdb;

namespace {

struct REPORT {
    std::vector<std::pair<uint32_t, std::string>> problems;
    std::vector<uint32_t> blocks;
};

class KeyCheck : public pmdbtest::KeyTest {
protected:
    KeyCheck() : KeyTest("c.db") {}
    REPORT rep;
    KCHECK chk{};
    std::vector<uint8_t> seen;

    void SetUp() override {
        KeyTest::SetUp();
        if (HasFatalFailure()) return;   // no database to fill
        // 195-byte keys: root (4) over leaves 3, 5 and 2.
        for (int i = 0; i < 9; i++) {
            char b[200];
            snprintf(b, sizeof b, "%0195d", i);
            ASSERT_EQ(fsaddkey(0, fs, 0x10, 0x10000001 + i, 195, b), 1);
        }
        ASSERT_EQ(+d->fscb.rootkb, 4u);
    }
    uint32_t run() {
        rep = REPORT();
        seen.assign(keycheckmapbytes(d), 0xff);
        chk = KCHECK{};
        chk.problem = [](void *ctx, uint32_t blk, const char *text) {
            static_cast<REPORT *>(ctx)->problems.emplace_back(blk, text);
        };
        chk.block = [](void *ctx, uint32_t blk, int, int) { static_cast<REPORT *>(ctx)->blocks.push_back(blk); };
        chk.ctx = &rep;
        chk.seen = seen.data();
        chk.seenbytes = seen.size();
        return keycheck(d, &chk);
    }
    bool reported(uint32_t blk, const char *what) {
        for (auto &p : rep.problems)
            if (p.first == blk && p.second.find(what) != std::string::npos) return true;
        return false;
    }
};

}  // namespace

TEST_F(KeyCheck, ASoundTreeIsCountedBlockByBlock) {
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(chk.blocks, 4u);
    EXPECT_EQ(chk.leaves, 3u);
    EXPECT_EQ(chk.keys, 9u);
    EXPECT_EQ(chk.height, 2);
    EXPECT_EQ(rep.blocks, (std::vector<uint32_t>{4, 3, 5, 2}));
    for (uint32_t b : {2u, 3u, 4u, 5u}) EXPECT_TRUE(keycheckseen(&chk, b));
    EXPECT_FALSE(keycheckseen(&chk, 1));
}

TEST_F(KeyCheck, OrderSeparatorsAndCountsAreChecked) {
    // Two leaf entries swapped (same length: len stays right).
    KB *a = kb(3);
    uint8_t tmp[202];
    memcpy(tmp, a->buff, 202);
    memcpy(a->buff, a->buff + 202, 202);
    memcpy(a->buff + 202, tmp, 202);
    EXPECT_GE(run(), 1u);
    EXPECT_TRUE(reported(3, "does not sort after"));
    memcpy(a->buff + 202, a->buff, 202);
    memcpy(a->buff, tmp, 202);
    ASSERT_EQ(run(), 0u);
    // A separator that differs from its child's highest key.
    KB *r = kb(4);
    r->buff[6 + 150] ^= 1;
    EXPECT_GE(run(), 1u);
    EXPECT_TRUE(reported(4, "differs from the highest key of child 3"));
    r->buff[6 + 150] ^= 1;
    // numkeys that disagrees with the entries; the message names the block.
    kb(5)->numkeys = 2;
    EXPECT_GE(run(), 1u);
    EXPECT_TRUE(reported(5, "numkeys"));
    EXPECT_EQ(chk.firstblk, 5u);
    EXPECT_NE(std::string(chk.first).find("block 5:"), std::string::npos);
    kb(5)->numkeys = 3;
    // A child at the wrong level.
    kb(2)->level = 1;
    EXPECT_GE(run(), 1u);
    EXPECT_TRUE(reported(2, "level"));
    kb(2)->level = 0;
    ASSERT_EQ(run(), 0u);
}

TEST_F(KeyCheck, SharedChildrenAndBadNumbersNeverHang) {
    // Both entries and xtrablk lead to leaf 3: reached three times.
    KB *r = kb(4);
    put32(r->buff + 2, 3);
    put32(r->buff + 206 + 2, 3);
    r->xtrablk = 3;
    EXPECT_GE(run(), 2u);
    EXPECT_TRUE(reported(3, "more than once"));
    // The root pointing at itself and outside the file.
    r->xtrablk = 4;
    EXPECT_GE(run(), 1u);
    d->fscb.rootkb = 999;
    EXPECT_EQ(run(), 1u);
    EXPECT_TRUE(reported(0, "outside the file"));
    d->fscb.rootkb = 4;
    // No bitmap: refused, not walked.
    chk.seen = nullptr;
    EXPECT_EQ(keycheck(d, &chk), 1u);
}

// Random damage to the key blocks of a larger tree: the checker reports
// it, and every key call fails or succeeds without reading outside a block
// or looping (the sanitizer build watches the reads).
TEST_F(KeyCheck, RandomDamageIsSurvived) {
    for (int i = 9; i < 120; i++) {
        char b[200];
        snprintf(b, sizeof b, "%0*d", 20 + i % 150, i);
        ASSERT_EQ(fsaddkey(0, fs, (uint8_t)(0x10 | (i % 3)), 0x10000001 + i, (short)(20 + i % 150), b), 1);
    }
    ASSERT_EQ(run(), 0u);
    std::vector<uint32_t> blocks = rep.blocks;
    ASSERT_EQ(fsflush(0, fs), 1);
    std::vector<uint8_t> good = pmdbtest::readfile(path("c.db"));
    uint32_t seed = 99;
    auto rnd = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int round = 0; round < 100; round++) {
        fsclose(0, fs);
        fs = nullptr;
        std::vector<uint8_t> bad = good;
        for (int k = 0; k < 1 + (int)rnd(4); k++) {
            uint32_t blk = blocks[rnd((uint32_t)blocks.size())];
            // Mostly header and entry-length bytes, where damage bites.
            uint32_t off = rnd(3) == 0 ? rnd(18) : rnd(1024);
            bad[blk * BLKSIZE + off] = (uint8_t)rnd(256);
        }
        pmdbtest::writefile(path("c.db"), bad);
        fs = fsopen(0, path("c.db").c_str(), 0, 0);
        ASSERT_NE(fs, nullptr);
        d = data(fs);
        run();
        char buf[200];
        int steps = 0;
        for (uint32_t r = fsfirstkey(0, fs, 0x10, buf); r != 0 && steps < 200; steps++)
            r = fsnextkey(0, fs, 0x10, r, (short)(fs->len - 1), buf);
        snprintf(buf, sizeof buf, "%0*d", 20 + 60 % 150, 60);
        (void)fslastkey(0, fs, 0x10, (short)strlen(buf), buf);
        (void)fsprevkey(0, fs, 0x10, 0x10000001 + 60, (short)strlen(buf), buf);
        (void)fsdeletekey(0, fs, 0x10, 0x10000001 + 60, (short)strlen(buf), buf);
        (void)fsaddkey(0, fs, 0x11, 0x10000500, 5, "fresh");
        run();
    }
}

// Found by fuzzing the tool's check: an lb near 2^32 asked for a bitmap of
// half a gigabyte, and clearing it took most of a second.
TEST_F(KeyCheck, ADamagedLbAsksForNoMoreBitmapThanTheLargestFile) {
    d->fscb.lb = 0xffff0000;
    EXPECT_EQ(keycheckmapbytes(d), (size_t)MAXBLOCK / 8 + 1);
    d->fscb.rootkb = MAXBLOCK + 5;   // within the damaged lb, past any file
    EXPECT_EQ(run(), 1u);
    EXPECT_TRUE(reported(0, "rootkb"));
    d->fscb.rootkb = 4;
    d->fscb.lb = 5;
}
