// journal_test.cc - the rollback journal: its layout on disk, every one of
// its writes and syncs failing in turn (a commit fails cleanly: what a crash
// would leave rolls back, the open database commits later), the hot journal
// met by a read-only open, and fsrollback against a model.
#include "fss/journal.h"
#include "kvtestutil.h"

using namespace pmdbtest;

namespace {

constexpr int OPS = 800;   // a database of some 40 blocks, more than the buffers hold

uint64_t get64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

}  // namespace

class JournalTest : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        states_ = kvstates(21, 2, OPS);
        FS *fs = createopen("base.db");
        ASSERT_NE(fs, nullptr);
        std::mt19937 rng(21);
        kvmodel m;
        ASSERT_TRUE(kvbatch(fs, &m, &rng, OPS));
        rng_ = rng;   // where batch 2 starts
        fsclose(0, fs);
        base_ = readfile(path("base.db"));
    }

    // A working copy of the base, open, with batch 2 made under a lock and
    // not committed.
    FS *changed(const std::string &name, uint32_t kib, int16_t sync) {
        writefile(path(name), base_);
        FS *fs = fsopen(0, path(name).c_str(), 1, 0);
        if (fs == nullptr) return nullptr;
        if (kib != 0) fssetcache(0, fs, kib);
        opened_ = readfile(path(name));
        fslock(0, fs, nullptr);
        kvmodel m = states_[1];
        std::mt19937 rng = rng_;
        EXPECT_TRUE(kvbatch(fs, &m, &rng, OPS));
        fssetsync(0, fs, sync);   // for the commit (syncing every early write would be slow)
        return fs;
    }

    // Copies the database and its journal as a crash would leave them.
    void crashcopy(const std::string &from, const std::string &to) {
        writefile(path(to), readfile(path(from)));
        std::vector<uint8_t> j = readfile(path(from + "-journal"));
        unlink(path(to + "-journal").c_str());
        if (!j.empty()) writefile(path(to + "-journal"), j);
    }

    std::string state(const std::string &name, int want) {
        FS *fs = fsopen(0, path(name).c_str(), 1, 0);
        if (fs == nullptr) return "does not open";
        std::string diff = kvdiff(fs, states_[want]);
        fsclose(0, fs);
        return diff;
    }

    std::vector<kvmodel> states_;
    std::mt19937 rng_;
    std::vector<uint8_t> base_;
    std::vector<uint8_t> opened_;   // the working copy as committed by its open
};

TEST_F(JournalTest, LayoutOnDisk) {
    // A store of 4 images: batch 2 goes out early, so its journal is live.
    FS *fs = changed("a.db", 4, 0);
    ASSERT_NE(fs, nullptr);
    ASSERT_TRUE(data(fs)->pager.journal.live);
    std::vector<uint8_t> j = readfile(path("a.db-journal"));
    ASSERT_GE(j.size(), 32u);
    EXPECT_EQ(std::string(j.begin(), j.begin() + 8), "pmdbjrnl");
    EXPECT_EQ(pmdb::get32(&j[8]), 1u);
    uint32_t count = pmdb::get32(&j[12]);
    EXPECT_GT(count, 4u);
    EXPECT_EQ(get64(&j[16]), base_.size());
    ASSERT_GE(j.size(), 32 + count * 1032u);
    uint64_t s1 = 0, s2 = 0;
    auto sum = [&](size_t from, size_t to) {
        for (size_t k = from; k < to; k += 8) {
            s1 += get64(&j[k]);
            s2 += s1;
        }
    };
    sum(32, 32 + count * 1032u);
    sum(0, 24);
    EXPECT_EQ(get64(&j[24]), s1 ^ s2);
    // The first record of each block is the block as the base holds it (a
    // block that went out early and is changed again is journaled again;
    // the rollback puts the records back last first).
    std::vector<bool> seen(base_.size() / 1024);
    for (uint32_t r = 0; r < count; r++) {
        const uint8_t *rec = &j[32 + r * 1032u];
        uint32_t blk = pmdb::get32(rec);
        ASSERT_LT(blk, seen.size());
        if (seen[blk]) continue;
        seen[blk] = true;
        EXPECT_EQ(memcmp(rec + 8, &base_[blk * 1024u], 1024), 0) << blk;
    }
    ASSERT_EQ(fsunlock(0, fs), 1);
    j = readfile(path("a.db-journal"));
    EXPECT_EQ(std::vector<uint8_t>(j.begin(), j.begin() + 32), std::vector<uint8_t>(32, 0)) << "ended";
    fsclose(0, fs);
    EXPECT_TRUE(readfile(path("a.db-journal")).empty()) << "removed by the close";
}

TEST_F(JournalTest, EveryFailedJournalStepFailsTheCommitCleanly) {
    struct Case {
        const char *name;
        pmdb::platop op;
        uint32_t kib;
        int16_t sync;
    } cases[] = {
        {"journal calls", pmdb::PLAT_JOURNAL, 0, 0},
        {"journal calls, after going out early", pmdb::PLAT_JOURNAL, 16, 0},
        {"syncs", pmdb::PLAT_SYNC, 0, 1},
        {"syncs, after going out early", pmdb::PLAT_SYNC, 16, 1},
        {"database writes", pmdb::PLAT_WRITE, 0, 1},
    };
    for (const Case &c : cases) {
        int failures = 0;
        bool failedbefore = HasFailure();
        for (long n = 1;; n++) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(n));
            FS *fs = changed("w.db", c.kib, c.sync);
            ASSERT_NE(fs, nullptr);
            pmdb::clearerrors();
            long start = pmdb::plat_calls(c.op);
            pmdb::plat_failat(c.op, n, 0);
            short ok = fsflush(0, fs);
            bool fired = pmdb::plat_calls(c.op) - start >= n;
            pmdb::plat_faultreset();
            if (!fired) {
                ASSERT_EQ(ok, 1);
            }
            failures += !ok;
            // A crash now leaves the base, or once the commit is done the
            // whole of batch 2 (also when only the end of its journal
            // failed: 1745); the open database still commits it.
            crashcopy("w.db", "crash.db");
            bool ended = pmdb::lasterror() == 1745;
            std::string st = state("crash.db", ok ? 2 : 1);
            if (!ok && ended && !st.empty()) st = state("crash.db", 2);
            EXPECT_EQ(st, "");
            fsclose(0, fs);
            EXPECT_EQ(state("w.db", 2), "");
            if ((HasFailure() && !failedbefore) || !fired) break;
        }
        EXPECT_GE(failures, 2) << c.name;
    }
}

TEST_F(JournalTest, ACloseWhoseCommitFailsLeavesTheLastCommit) {
    // The close puts the journal's images back at once; when it cannot
    // write either, the journal stays hot for the next open.
    for (bool persist : {false, true}) {
        SCOPED_TRACE(persist ? "every write fails" : "one write fails");
        FS *fs = changed("c.db", 4, 0);
        ASSERT_NE(fs, nullptr);
        pmdb::plat_failat(pmdb::PLAT_WRITE, persist ? 1 : 2, persist);
        fsclose(0, fs);
        pmdb::plat_faultreset();
        EXPECT_EQ(readfile(path("c.db-journal")).empty(), !persist);
        EXPECT_EQ(state("c.db", 1), "");
    }
}

TEST_F(JournalTest, ReadOnlyOpenRollsBackAHotJournalOrRefuses) {
    FS *fs = changed("w.db", 4, 0);
    ASSERT_NE(fs, nullptr);
    crashcopy("w.db", "hot.db");
    fsclose(0, fs);
    std::vector<uint8_t> db = readfile(path("hot.db")), j = readfile(path("hot.db-journal"));
    ASSERT_NE(db, opened_);
    ASSERT_FALSE(j.empty());
    // Without write access (the second open fails) both files stay as they are.
    pmdb::plat_failat(pmdb::PLAT_OPEN, 2, 0);
    EXPECT_EQ(fsopen(0, path("hot.db").c_str(), 1, 1), nullptr);
    EXPECT_EQ(fsgeterrno(), 13);
    EXPECT_EQ(errors(), std::vector<int16_t>({1710}));
    EXPECT_EQ(readfile(path("hot.db")), db);
    EXPECT_EQ(readfile(path("hot.db-journal")), j);
    // A rollback that cannot write the file refuses too, and leaves the
    // journal for the next open.
    pmdb::clearerrors();
    pmdb::plat_failat(pmdb::PLAT_WRITE, 3, 0);
    EXPECT_EQ(fsopen(0, path("hot.db").c_str(), 1, 1), nullptr);
    EXPECT_EQ(fsgeterrno(), 13);
    EXPECT_EQ(errors(), std::vector<int16_t>({1715}));
    EXPECT_EQ(readfile(path("hot.db-journal")), j);
    pmdb::plat_faultreset();
    fs = fsopen(0, path("hot.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(kvdiff(fs, states_[1]), "");
    fsclose(0, fs);
    EXPECT_EQ(readfile(path("hot.db")), opened_);
    EXPECT_TRUE(readfile(path("hot.db-journal")).empty());
}

TEST_F(JournalTest, RollbackDropsEveryChangeSinceTheCommit) {
    const uint32_t bounds[] = {0, 4, pmdb::DEFAULTCACHEKIB};
    for (uint32_t kib : bounds) {
        for (bool failedcommit : {false, true}) {
            SCOPED_TRACE(std::to_string(kib) + (failedcommit ? " after a failed commit" : ""));
            FS *fs = changed("r.db", kib, 0);
            ASSERT_NE(fs, nullptr);
            if (failedcommit) {
                pmdb::plat_failat(pmdb::PLAT_WRITE, 2, 0);   // a block run goes out, then one fails
                EXPECT_EQ(fsflush(0, fs), 0);
                pmdb::plat_faultreset();
            }
            ASSERT_EQ(fsrollback(0, fs), 1);
            EXPECT_EQ(data(fs)->fscb.dblocked, 0);
            EXPECT_EQ(kvdiff(fs, states_[1]), "");
            ASSERT_EQ(fsflush(0, fs), 1);   // nothing left to write
            EXPECT_EQ(readfile(path("r.db")), opened_);
            // Work goes on from the committed state.
            ASSERT_EQ(fslock(0, fs, nullptr), 1);
            kvmodel m = states_[1];
            std::mt19937 rng = rng_;
            ASSERT_TRUE(kvbatch(fs, &m, &rng, OPS));
            ASSERT_EQ(fsunlock(0, fs), 1);
            EXPECT_EQ(kvdiff(fs, states_[2]), "");
            fsclose(0, fs);
            EXPECT_EQ(state("r.db", 2), "");
        }
    }
}
