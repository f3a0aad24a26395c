// pmdbcheck_test.cc - `pmdb check` against a corpus of damaged files made
// by changing bytes of good ones: each damage is reported with exit status
// 1 (2 for files that cannot be read as a database), no file makes the
// check crash or hang, and a good file gives nothing but its summary line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fss/format.h"
#include "image.h"
#include "pmdbtool.h"
#include "testutil.h"
#include "tooltestutil.h"

namespace {

using pmdb::get16;
using pmdb::get32;
using pmdb::put16;
using pmdb::put32;
using pmdbtest::DbTest;
using Bytes = std::vector<uint8_t>;
using pmdbtool::ROLE_KEY;

using pmdbtest::Result;
using pmdbtest::has;
using pmdbtest::pmdb;

uint8_t *blk(Bytes &b, uint32_t n) { return b.data() + (size_t)n * 1024; }

class CheckTest : public DbTest {
protected:
    // A good file: two logical files of records, a key tree several
    // leaves wide (char keys with duplicates, long keys), records
    // rewritten so that they move, and records deleted so that blocks
    // empty and slots go back on the free chain.
    void SetUp() override {
        DbTest::SetUp();
        good_ = path("good.db");
        ASSERT_TRUE(fscreatedatabase(good_.c_str(), 10));
        char inst = fsinit("");
        FS *fs = fsopen(inst, good_.c_str(), 0, 0);
        ASSERT_NE(fs, nullptr);
        pmdb::FSDATA *fsdata = pmdb::getfsdata(fs);
        fsdata->fscb.f[0].keytype[1] = 2;  // 1.1 long, unique
        fsdata->fscb.f[0].dupkeys = 0xff01;  // 1.0 char with duplicates
        std::mt19937 rng(11);
        std::vector<uint32_t> nokeys;
        for (int i = 0; i < 1200; i++) {
            std::string rec(20 + rng() % 200, (char)('a' + i % 26));
            bool keyed = i % 4 != 0;
            uint32_t rid = fsadd(inst, fs, rec.data(), (short)rec.size(), keyed ? 0x10 : 0x20);
            ASSERT_NE(rid, 0u);
            if (!keyed) {
                nokeys.push_back(rid);
                continue;
            }
            std::string name = "customer " + std::to_string(rng() % 300);
            ASSERT_TRUE(fsaddkey(inst, fs, 0x10, rid, (short)name.size(), name.data()));
            int32_t n = i * 7 - 2000;
            ASSERT_TRUE(fsaddkey(inst, fs, 0x11, rid, 4, &n));
        }
        for (size_t i = 0; i < nokeys.size(); i += 2) {
            std::string rec(700, 'q');
            for (auto &ch : rec) ch = (char)rng();
            ASSERT_TRUE(fswrite(inst, fs, rec.data(), (short)rec.size(), nokeys[i]));
        }
        for (size_t i = 1; i < nokeys.size(); i += 2) ASSERT_TRUE(fsdelete(inst, fs, nokeys[i]));
        fsclose(inst, fs);
        closefs(inst);
        bytes_ = pmdbtest::readfile(good_);
        std::string why;
        ASSERT_EQ(pmdbtool::loadimage(good_, &im_, &why), pmdbtool::IMAGE_OK);
        pmdbtool::survey(im_, &sv_, true);
        ASSERT_TRUE(sv_.problems.empty());
        ASSERT_GE(sv_.tree.height, 2);
    }

    // Writes the damaged copy and checks it.
    Result damaged(const Bytes &b) {
        std::string p = path("bad.db");
        pmdbtest::writefile(p, b);
        Result r = pmdb({"check", p});
        // Every finding is one line that names its block.
        for (const std::string &l : lines(r.out)) {
            if (l.rfind("warning: ", 0) != 0 && l.rfind(p, 0) != 0 && l.rfind("...", 0) != 0) {
                EXPECT_EQ(l.rfind("block ", 0), 0u) << l;
            }
        }
        return r;
    }

    static std::vector<std::string> lines(const std::string &t) {
        std::vector<std::string> v;
        std::istringstream in(t);
        std::string l;
        while (std::getline(in, l)) v.push_back(l);
        return v;
    }

    // A block whose role bits are exactly these.
    uint32_t find(uint16_t role, int level = -1) {
        for (uint32_t b = 2; b < sv_.role.size(); b++) {
            if (sv_.role[b] != role) continue;
            if (level >= 0 && im_.block(b)[9] != level) continue;
            return b;
        }
        return 0;
    }

    std::string good_;
    Bytes bytes_;
    pmdbtool::Image im_;
    pmdbtool::Survey sv_;
};

TEST_F(CheckTest, GoodFilesGiveOnlyTheSummary) {
    Result r = pmdb({"check", good_});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(lines(r.out).size(), 1u) << r.out;
    EXPECT_TRUE(has(r.out, good_ + ": ok, 0 problems, 0 warnings (")) << r.out;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(fscreatedatabase(path("new.db").c_str(), 20));
    Result n = pmdb({"check", path("new.db")});
    EXPECT_EQ(n.rc, 0);
    EXPECT_EQ(n.out, path("new.db") + ": ok, 0 problems, 0 warnings (3 blocks: 1 translation, 0 data, 0 key, 1 free, 0 unclaimed)\n");
    // Checking is read-only.
    EXPECT_EQ(pmdbtest::readfile(good_), bytes_);
    EXPECT_EQ(pmdb({"check", good_, "--quiet"}).out, lines(r.out)[0] + "\n");
}

TEST_F(CheckTest, ChainThatLoopsBack) {
    int k = 0;
    while (k < 6 && sv_.chain[k].blocks < 2) k++;
    ASSERT_LT(k, 6) << "the good file has a chain of two blocks";
    uint32_t head = im_.cb.fc[k], b = head;
    while (get32(blk(bytes_, b)) != 0) b = get32(blk(bytes_, b));
    Bytes bad = bytes_;
    put32(blk(bad, b), head);  // the last block links back to the head
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
}

TEST_F(CheckTest, SlotNamingTheWrongBlock) {
    // Slot 0 (translation block 1) names the block of record 0; make it
    // name another data block holding records.
    uint32_t v = get32(blk(bytes_, 1));
    ASSERT_NE(v >> 28, 0u);
    uint32_t other = 0;
    for (uint32_t b = 2; b < sv_.role.size() && other == 0; b++)
        if ((sv_.role[b] & pmdbtool::ROLE_RECS) && b != (v & 0x0fffffff) && !(sv_.role[b] & pmdbtool::ROLE_KEY))
            other = b;
    ASSERT_NE(other, 0u);
    Bytes bad = bytes_;
    put32(blk(bad, 1), (v & 0xf0000000) | other);
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    // A slot naming a key block claims that block twice.
    bad = bytes_;
    put32(blk(bad, 1), (v & 0xf0000000) | find(pmdbtool::ROLE_KEY, 0));
    r = damaged(bad);
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.out, "claimed twice: key block and named by a record's slot")) << r.out;
}

TEST_F(CheckTest, RecordEntryRunningPastLen) {
    uint32_t b = 0;
    for (uint32_t x = 2; x < sv_.role.size() && b == 0; x++)
        if (sv_.role[x] & pmdbtool::ROLE_RECS) b = x;
    ASSERT_NE(b, 0u);
    Bytes bad = bytes_;
    uint8_t *p = blk(bad, b);
    int len = (int16_t)get16(p + 4);
    put16(p + 10 + 4, (uint16_t)(len - 10 - 6 + 1));  // the first entry ends one byte past len
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_TRUE(has(r.out, "block " + std::to_string(b) + ": ")) << r.out;
}

TEST_F(CheckTest, KeysOutOfOrder) {
    // Two neighbouring entries of one length in a leaf, swapped.
    Bytes bad = bytes_;
    bool done = false;
    for (uint32_t b = 2; b < sv_.role.size() && !done; b++) {
        if (sv_.role[b] != pmdbtool::ROLE_KEY || im_.block(b)[9] != 0) continue;
        uint8_t *p = blk(bad, b);
        int len = (int16_t)get16(p + 4);
        for (int pos = 14; pos < len && !done;) {
            int kl = (int16_t)get16(p + pos), next = pos + kl + 6;
            if (next >= len) break;
            int kl2 = (int16_t)get16(p + next);
            if (kl == kl2 && memcmp(p + pos, p + next, (size_t)kl + 6) != 0) {
                std::vector<uint8_t> a(p + pos, p + next);
                memmove(p + pos, p + next, a.size());
                memcpy(p + next, a.data(), a.size());
                done = true;
            }
            pos = next;
        }
    }
    ASSERT_TRUE(done);
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
}

TEST_F(CheckTest, SeparatorNotItsSubtreesHighestKey) {
    uint32_t root = im_.cb.rootkb;
    ASSERT_GT(im_.block(root)[9], 0);
    Bytes bad = bytes_;
    uint8_t *p = blk(bad, root);
    int kl = (int16_t)get16(p + 14);
    p[14 + 6 + kl - 1] ^= 0x01;  // the last byte of the first separator's image
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_TRUE(has(r.out, "block " + std::to_string(root) + ": ")) << r.out;
    // Its rid differing is as wrong.
    bad = bytes_;
    p = blk(bad, root);
    put32(p + 14 + 6 + kl, get32(p + 14 + 6 + kl) + 1);
    EXPECT_EQ(damaged(bad).rc, 1);
}

TEST_F(CheckTest, BlockClaimedTwice) {
    // A leaf put at the head of a free-space chain.
    uint32_t leaf = find(pmdbtool::ROLE_KEY, 0);
    ASSERT_NE(leaf, 0u);
    Bytes bad = bytes_;
    put32(blk(bad, 0) + 778 + 4 * 3, leaf);
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_TRUE(has(r.out, "block " + std::to_string(leaf) + ": claimed twice: key block and on chain 3")) << r.out;
    // An inner entry leading to a leaf that another entry leads to.
    uint32_t root = im_.cb.rootkb;
    bad = bytes_;
    uint8_t *p = blk(bad, root);
    int kl = (int16_t)get16(p + 14);
    ASSERT_LT(14 + kl + 10, (int16_t)get16(p + 4));
    put32(p + 14 + kl + 10 + 2, get32(p + 14 + 2));  // entry 1's child := entry 0's child
    r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    // A data block that nothing claims any more: a chain cut off at its head.
    int k = 0;
    while (k < 6 && sv_.chain[k].blocks == 0) k++;
    ASSERT_LT(k, 6);
    bad = bytes_;
    put32(blk(bad, 0) + 778 + 4 * k, 0);
    r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    std::string summary = lines(r.out).back();
    size_t problems = strtoul(summary.c_str() + summary.find("DAMAGED, ") + 9, nullptr, 10);
    ASSERT_GT(problems, 2u);
    // At most --max-problems lines, the rest counted; --quiet: the summary.
    Result capped = pmdb({"check", path("bad.db"), "--max-problems", "2"});
    EXPECT_EQ(capped.rc, 1);
    std::vector<std::string> l = lines(capped.out);
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[2], "... " + std::to_string(problems - 2) + " more problems");
    EXPECT_TRUE(has(l[3], "DAMAGED, " + std::to_string(problems) + " problems"));
    Result quiet = pmdb({"check", path("bad.db"), "--quiet"});
    EXPECT_EQ(quiet.rc, 1);
    EXPECT_EQ(quiet.out, l[3] + "\n");
}

TEST_F(CheckTest, FreeSlotChainThatLoops) {
    uint32_t ftc = im_.cb.ftc;
    uint32_t xb = (ftc >> 8) * im_.freq + 1;
    Bytes bad = bytes_;
    put32(blk(bad, xb) + 4 * (ftc & 255), ftc);
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_TRUE(has(r.out, "the free-slot chain loops back to slot " + std::to_string(ftc))) << r.out;
}

TEST_F(CheckTest, LeakedSlotsAndALeafWithARightmostChild) {
    // The chain's head skips the next free slot: that slot is lost.
    uint32_t ftc = im_.cb.ftc;
    uint32_t xb = (ftc >> 8) * im_.freq + 1;
    Bytes bad = bytes_;
    uint32_t next = get32(blk(bad, xb) + 4 * (ftc & 255));
    uint32_t after = get32(blk(bad, (next >> 8) * im_.freq + 1) + 4 * (next & 255));
    put32(blk(bad, xb) + 4 * (ftc & 255), after);
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_TRUE(has(r.out, "1 free translation slots are on no chain (leaked: never reused), the first slot " +
                               std::to_string(next)))
        << r.out;

    uint32_t leaf = find(ROLE_KEY, 0);
    ASSERT_NE(leaf, 0u);
    bad = bytes_;
    put32(blk(bad, leaf) + 10, 7);
    r = damaged(bad);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_TRUE(has(r.out, "block " + std::to_string(leaf) + ": a leaf with xtrablk 7")) << r.out;
}

TEST_F(CheckTest, ClaimedLengthIsOneProblemAndAPartBlockAWarning) {
    // An lb far beyond the file: one problem, found without visiting the
    // blocks it claims (a check once took a quarter of an hour here).
    Bytes bad = bytes_;
    put32(bad.data() + 812, pmdb::MAXBLOCK);
    Result r = damaged(bad);
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.out, ": DAMAGED, 1 problem, ")) << r.out;
    EXPECT_TRUE(has(r.out, "claims 4194304 blocks")) << r.out;
    // Bytes past the last block, which the library ignores: exit 0.
    Bytes tail = bytes_;
    tail.insert(tail.end(), 100, 0);
    Result t = damaged(tail);
    EXPECT_EQ(t.rc, 0) << t.out;
    EXPECT_TRUE(has(t.out, "warning: the file ends in 100 bytes past its last block")) << t.out;
}

TEST_F(CheckTest, FilesThatAreCutOrNotDatabases) {
    Bytes cut(bytes_.begin(), bytes_.end() - 1536);
    Result r = damaged(cut);
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_TRUE(has(r.out, "block 0: the file is " + std::to_string(cut.size()) + " bytes")) << r.out;

    Result z = damaged(Bytes(bytes_.size(), 0));
    EXPECT_EQ(z.rc, 2);
    EXPECT_TRUE(has(z.err, "not a database")) << z.err;
    std::mt19937 rng(5);
    Bytes noise(bytes_.size());
    for (auto &x : noise) x = (uint8_t)rng();
    EXPECT_EQ(damaged(noise).rc, 2);
    EXPECT_EQ(damaged(Bytes(100, 7)).rc, 2);
    EXPECT_EQ(damaged(Bytes()).rc, 2);
    EXPECT_EQ(pmdb({"check", path("none.db")}).rc, 2);
    EXPECT_EQ(pmdb({"check"}).rc, 2);

    // Noise behind a good control block: every block is wrong, nothing crashes.
    for (int seed = 0; seed < 4; seed++) {
        std::mt19937 g((unsigned)seed);
        Bytes b = bytes_;
        for (size_t i = 1024; i < b.size(); i++) b[i] = (uint8_t)g();
        Result n = damaged(b);
        EXPECT_EQ(n.rc, 1);
        EXPECT_EQ(pmdb({"info", path("bad.db")}).rc, 0);
    }
}

TEST_F(CheckTest, RandomDamageNeverCrashes) {
    std::mt19937 rng(99);
    int found = 0;
    for (int i = 0; i < 40; i++) {
        Bytes b = bytes_;
        int changes = 1 + (int)(rng() % 6);
        for (int c = 0; c < changes; c++) {
            // Mostly headers and entry heads, where damage matters most.
            uint32_t n = (uint32_t)(rng() % (b.size() / 1024));
            size_t off = (size_t)n * 1024 + (rng() % 2 ? rng() % 24 : rng() % 1024);
            if (off >= 21 && off < 29) continue;  // keep the signature
            b[off] = (uint8_t)rng();
        }
        Result r = damaged(b);
        EXPECT_TRUE(r.rc == 0 || r.rc == 1) << r.rc << r.err;
        found += r.rc == 1;
        EXPECT_EQ(pmdb({"info", path("bad.db")}).rc, 0);
        EXPECT_NE(pmdb({"dump", path("bad.db")}).rc, 2);
    }
    EXPECT_GT(found, 20);
}

}  // namespace
