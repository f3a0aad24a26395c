// fsrecord_test.cc - failures of the record calls: every read and every
// block mark an operation makes is made to fail in turn, and damaged
// blocks are met on every path. After each failure the database must pass
// the consistency check and every record must read back as it was (or as
// written, when the call reported success).
#include <string.h>

#include <functional>
#include <map>

#include "fss/record.h"
#include "fss/xlate.h"
#include "rectestutil.h"

using namespace pmdbtest;
using pmdb::FSDATA;
using pmdb::clearerrors;
using pmdb::plat_calls;
using pmdb::plat_failat;
using pmdb::plat_faultreset;

namespace {

using pmdbtest::spread::storedas;

typedef std::map<uint32_t, bytes> model;

// Every record of m reads back, each file walks to exactly m's rids, and
// the check finds nothing.
void verify(FS *fs, const model &m, const std::string &what) {
    SCOPED_TRACE(what);
    bytes buf(2048);
    for (auto &r : m) {
        short n = fsread(0, fs, r.first, buf.data());
        ASSERT_EQ(bytes(buf.begin(), buf.begin() + (n > 0 ? n : 0)), r.second) << std::hex << r.first;
    }
    for (uint32_t f = 1; f <= 3; f++) {
        std::vector<uint32_t> want, got;
        for (auto &r : m)
            if (r.first >> 28 == f) want.push_back(r.first);
        for (uint32_t r = fsfirst(0, fs, (uint8_t)(f << 4)); r != 0 && got.size() <= want.size(); r = fsnext(0, fs, r))
            got.push_back(r);
        ASSERT_EQ(got, want) << "file " << f;
    }
    checkdb(fs);
}

// One operation on the database and what it does to the model when it
// reports success.
struct OP {
    const char *name;
    std::function<bool(FS *)> run;
    std::function<void(model &)> apply;
};

}  // namespace

class FsRecordTest : public DbTest {
protected:
    // A database of records in three files, spread over more blocks than
    // the cache holds, so that a fresh open must read nearly every block.
    void makebase(int records, int freq) {
        FS *fs = createopen("base.db", (short)freq);
        ASSERT_NE(fs, nullptr);
        for (int k = 0; k < records; k++) {
            bytes r = storedas(40 + (size_t)(k * 37 % 360), k);
            uint32_t rid = add(fs, r, (uint8_t)(0x10 * (1 + k % 3)));
            ASSERT_NE(rid, 0u);
            base_[rid] = r;
        }
        fsclose(0, fs);
        basefile_ = readfile(path("base.db"));
    }

    // The working copy, with no store below the buffers: every read and
    // every forced flush goes to the file, where it can be made to fail.
    FS *openwork() {
        writefile(path("work.db"), basefile_);
        FS *fs = fsopen(0, path("work.db").c_str(), 1, 0);
        if (fs != nullptr) nostore(fs);
        return fs;
    }

    std::vector<OP> ops() {
        auto first = base_.begin()->first, last = base_.rbegin()->first;
        uint32_t mid = std::next(base_.begin(), (long)base_.size() / 2)->first;
        auto rewrite = [](uint32_t rid, bytes r) {
            return OP{"", [=](FS *fs) { return fswrite(0, fs, r.data(), (short)r.size(), rid) == 1; },
                      [=](model &m) { m[rid] = r; }};
        };
        std::vector<OP> v;
        v.push_back({"add small", [](FS *fs) { return add(fs, storedas(30, 77), 0x20) != 0; },
                     [&](model &m) { m[next_] = storedas(30, 77); }});
        v.push_back({"add full block", [](FS *fs) { return add(fs, storedas(1008, 78), 0x30) != 0; },
                     [&](model &m) { m[next_] = storedas(1008, 78); }});
        OP w = rewrite(mid, storedas(20, 79));
        w.name = "rewrite in place";
        v.push_back(w);
        w = rewrite(mid, storedas(990, 80));
        w.name = "rewrite that moves";
        v.push_back(w);
        for (uint32_t rid : {mid, first, last}) {
            v.push_back({rid == mid ? "delete" : rid == first ? "delete first" : "delete last",
                         [=](FS *fs) { return fsdelete(0, fs, rid) == 1; }, [=](model &m) { m.erase(rid); }});
        }
        return v;
    }

    // The rid the next add gets (the head of the free slot chain).
    void notenext(FS *fs, uint8_t fid) { next_ = ((uint32_t)fid << 24 & 0xf0000000) | data(fs)->fscb.ftc; }

    model base_;
    bytes basefile_;
    uint32_t next_ = 0;
};

TEST_F(FsRecordTest, EveryFailedReadLeavesTheDatabaseWhole) {
    makebase(90, 20);
    if (HasFatalFailure()) return;
    int failures = 0;
    for (OP &op : ops()) {
        for (long n = 1;; n++) {
            FS *fs = openwork();
            ASSERT_NE(fs, nullptr);
            notenext(fs, strcmp(op.name, "add full block") == 0 ? 0x30 : 0x20);
            clearerrors();
            long start = plat_calls(pmdb::PLAT_READ);
            plat_failat(pmdb::PLAT_READ, n, 0);
            bool ok = op.run(fs);
            bool fired = plat_calls(pmdb::PLAT_READ) - start >= n;
            plat_faultreset();
            model m = base_;
            if (ok) op.apply(m);
            if (!fired) {
                ASSERT_TRUE(ok) << op.name;
            }
            if (!ok) {
                failures++;
                EXPECT_TRUE(recorded(1400)) << op.name;
            }
            verify(fs, m, std::string(op.name) + " read " + std::to_string(n));
            fsclose(0, fs);
            fs = fsopen(0, path("work.db").c_str(), 1, 0);
            ASSERT_NE(fs, nullptr);
            verify(fs, m, std::string(op.name) + " reopened, read " + std::to_string(n));
            fsclose(0, fs);
            if (HasFailure() || !fired) break;
        }
    }
    EXPECT_GT(failures, 10);
}

TEST_F(FsRecordTest, EveryFailedMarkLeavesTheDatabaseWhole) {
    makebase(25, 20);   // few blocks: the cache never evicts
    if (HasFatalFailure()) return;
    std::map<int16_t, int> seen;
    for (OP &op : ops()) {
        for (int k = 1;; k++) {
            FS *fs = openwork();
            ASSERT_NE(fs, nullptr);
            FSDATA *d = data(fs);
            notenext(fs, strcmp(op.name, "add full block") == 0 ? 0x30 : 0x20);
            clearerrors();
            // The k-th block mark of the call forces a flush that fails.
            d->fscb.wrts = (int16_t)(pmdb::FORCEDFLUSH - k);
            plat_failat(pmdb::PLAT_WRITE, 1, 0);
            bool ok = op.run(fs);
            bool fired = plat_calls(pmdb::PLAT_WRITE) > 0 && recorded(1375);
            plat_faultreset();
            model m = base_;
            if (ok) op.apply(m);
            if (!fired) {
                ASSERT_TRUE(ok) << op.name;
            }
            if (!ok) seen[pmdb::lasterror()]++;
            verify(fs, m, std::string(op.name) + " mark " + std::to_string(k));
            fsclose(0, fs);
            if (HasFailure() || !fired) break;
        }
    }
    // Each failing mark of these calls was met.
    for (int16_t e : {1055, 1100, 1075, 1087, 1120})
        EXPECT_GT(seen[e], 0) << e;
}

TEST_F(FsRecordTest, GrowthThatFailsLeavesNoSlotBound) {
    // 256 empty records fill slots 0 to 255 in two blocks; the next add
    // grows the file to translation block 1 (block 6 with spacing 5).
    FS *fs = createopen("base.db", 5);
    ASSERT_NE(fs, nullptr);
    for (int k = 0; k < 256; k++) {
        uint32_t r = fsadd(0, fs, "", 0, 0x10);
        ASSERT_NE(r, 0u);
        base_[r] = bytes();
    }
    fsclose(0, fs);
    basefile_ = readfile(path("base.db"));
    for (int k = 1;; k++) {
        // Opened without the integrity tests: the first of them refuses a
        // file whose free slot lies in a translation block not yet made.
        writefile(path("work.db"), basefile_);
        fs = fsopen(0, path("work.db").c_str(), 0, 0);
        ASSERT_NE(fs, nullptr);
        nostore(fs);
        clearerrors();
        data(fs)->fscb.wrts = (int16_t)(pmdb::FORCEDFLUSH - k);
        plat_failat(pmdb::PLAT_WRITE, 1, 0);
        uint32_t rid = fsadd(0, fs, "abc", 3, 0x10);
        bool fired = recorded(1375);
        plat_faultreset();
        model m = base_;
        if (rid != 0) {
            EXPECT_EQ(rid, 0x10000100u);
            m[rid] = bytes({'a', 'b', 'c'});
        }
        verify(fs, m, "growth mark " + std::to_string(k));
        fsclose(0, fs);
        if (HasFailure() || !fired) break;
    }
}

TEST_F(FsRecordTest, GrowthPastTheCacheThatFailsToReadLeavesNoSlotBound) {
    // With translation blocks every 30 blocks the add of slot 256 makes 29
    // blocks, more than the cache holds: the record's block must be read
    // again afterwards, and that read may fail.
    FS *fs = createopen("base.db", 30);
    ASSERT_NE(fs, nullptr);
    for (int k = 0; k < 256; k++) {
        uint32_t r = fsadd(0, fs, "", 0, 0x10);
        ASSERT_NE(r, 0u);
        base_[r] = bytes();
    }
    fsclose(0, fs);
    basefile_ = readfile(path("base.db"));
    bool reread = false;
    for (long n = 1;; n++) {
        writefile(path("work.db"), basefile_);
        fs = fsopen(0, path("work.db").c_str(), 0, 0);
        ASSERT_NE(fs, nullptr);
        nostore(fs);
        clearerrors();
        long start = plat_calls(pmdb::PLAT_READ);
        plat_failat(pmdb::PLAT_READ, n, 0);
        uint32_t rid = fsadd(0, fs, "abc", 3, 0x10);
        bool fired = plat_calls(pmdb::PLAT_READ) - start >= n;
        plat_faultreset();
        if (recorded(1050)) reread = true;
        model m = base_;
        if (rid != 0) m[rid] = bytes({'a', 'b', 'c'});
        verify(fs, m, "growth read " + std::to_string(n));
        // A failed read while filing the new empty blocks on chain 0 leaves
        // some of them unused, but the record is added.
        if (!fired) {
            EXPECT_NE(rid, 0u);
        }
        fsclose(0, fs);
        if (HasFailure() || !fired) break;
    }
    EXPECT_TRUE(reread);
}

TEST_F(FsRecordTest, DeleteWhoseNewBoundCannotBeFoundIsUndone) {
    // File 2 holds slots 0 and 256 only, so deleting its first record
    // walks into translation block 1 (block 21) to find its new frid.
    FS *fs = createopen("base.db");
    ASSERT_NE(fs, nullptr);
    for (int k = 0; k < 257; k++) {
        bytes r = storedas(10, k);
        uint32_t rid = add(fs, r, k % 256 == 0 ? 0x20 : 0x10);
        ASSERT_NE(rid, 0u);
        base_[rid] = r;
    }
    fsclose(0, fs);
    basefile_ = readfile(path("base.db"));
    std::map<int16_t, int> seen;
    for (long n = 1;; n++) {
        fs = openwork();
        ASSERT_NE(fs, nullptr);
        clearerrors();
        long start = plat_calls(pmdb::PLAT_READ);
        plat_failat(pmdb::PLAT_READ, n, 0);
        bool ok = fsdelete(0, fs, 0x20000000) == 1;
        bool fired = plat_calls(pmdb::PLAT_READ) - start >= n;
        plat_faultreset();
        if (!ok) seen[pmdb::lasterror()]++;
        model m = base_;
        if (ok) m.erase(0x20000000);
        verify(fs, m, "bound read " + std::to_string(n));
        EXPECT_EQ(ok, !fired);
        fsclose(0, fs);
        if (HasFailure() || !fired) break;
    }
    EXPECT_GT(seen[1120], 0);
    EXPECT_GT(seen[1110], 0);
}

TEST_F(FsRecordTest, DamagedBlocksGiveEachCallsOwnError) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    uint32_t r[6];
    for (int k = 0; k < 6; k++) r[k] = add(fs, storedas(600, k), 0x10);   // blocks 2 to 7
    FSDATA *d = data(fs);
    uint32_t blk = pmdb::ridtoblk(d, r[2]);
    fsclose(0, fs);
    bytes good = readfile(path("a.db"));
    struct {
        const char *what;
        long offset;
        bytes value;
    } damage[] = {
        {"len below 10", 4, {9, 0}},
        {"len above 1024", 4, {0x01, 0x04}},
        {"entry past len", 10 + 4, {0xff, 0x03}},
        {"entry of length 0", 10 + 4, {0, 0}},
        {"chain number 6", 6, {6, 0}},
        {"chain number -2", 6, {0xfe, 0xff}},
        {"chain link beyond the file", 0, {0xff, 0, 0, 0}},
        {"chain link to a translation block", 0, {1, 0, 0, 0}},
        {"a key block", 8, {1}},
    };
    bytes rec = storedas(100);
    for (auto &dm : damage) {
        SCOPED_TRACE(dm.what);
        writefile(path("a.db"), good);
        corruptat(path("a.db"), (long)blk * 1024 + dm.offset, dm.value);
        fs = fsopen(0, path("a.db").c_str(), 1, 0);
        ASSERT_NE(fs, nullptr);
        uint8_t dst[1024];
        clearerrors();
        EXPECT_EQ(fsread(0, fs, r[2], dst), 0);
        EXPECT_EQ(pmdb::lasterror(), 1130);
        EXPECT_EQ(pmdb::damageblk, blk);
        EXPECT_EQ(fswrite(0, fs, rec.data(), (short)rec.size(), r[2]), 0);
        EXPECT_EQ(pmdb::lasterror(), 1065);
        EXPECT_EQ(fsdelete(0, fs, r[2]), 0);
        EXPECT_EQ(pmdb::lasterror(), 1110);
        for (int k = 0; k < 6; k++) {
            if (k == 2) continue;
            EXPECT_EQ(fsread(0, fs, r[k], dst), 599) << k;
        }
        pmdb::DBCHECKRESULT res{};
        EXPECT_GT(pmdb::dbcheck(data(fs), pmdb::dbcheckcollect, &res), 0u);
        EXPECT_EQ(res.blk[0], blk);
        fsclose(0, fs);
    }
    // A stored form that does not unpack is refused, the destination untouched.
    writefile(path("a.db"), good);
    corruptat(path("a.db"), (long)blk * 1024 + 10 + 6, {0x7f});
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    uint8_t dst[1024];
    memset(dst, 0x5a, sizeof dst);
    clearerrors();
    EXPECT_EQ(fsread(0, fs, r[2], dst), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1132}));
    EXPECT_EQ(fsreadn(0, fs, r[2], dst, sizeof dst), 0);
    EXPECT_EQ(fsreclen(0, fs, r[2]), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1132, 1132, 1132}));
    EXPECT_EQ(dst[0], 0x5a);
    fsclose(0, fs);
}

TEST_F(FsRecordTest, DamagedChainsEndTheAddWalk) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    uint32_t r[5];
    for (int k = 0; k < 4; k++) r[k] = add(fs, storedas(1000, k), 0x10);   // blocks 2 to 5, on no chain
    r[4] = add(fs, storedas(938, 4), 0x10);   // block 6, room 70: heads chain 5
    ASSERT_EQ(pmdb::ridtoblk(d, r[3]), 5u);
    ASSERT_EQ(+(d->fscb.fc[5]), 6u);
    auto blk = [&](uint32_t b) -> pmdb::DB & { return pmdb::readblk(d, b)->dbuff; };
    pmdb::FSCB saved = d->fscb;
    auto reset = [&]() {
        d->fscb = saved;
        for (uint32_t b = 2; b <= 6; b++) {
            blk(b).nbic = 0;
            blk(b).fc = b == 6 ? 5 : -1;
        }
    };
    // A chain that links back on itself: re-filing 2 unlinks it, 3 then
    // heads chain 5 and links to 2, which is on no chain now: the walk
    // re-files it too, restarts and grows the file.
    d->fscb.fc[5] = 2;
    blk(2).fc = 5;
    blk(2).nbic = 3;
    blk(3).fc = 5;
    blk(3).nbic = 2;
    clearerrors();
    uint32_t rid = add(fs, storedas(20), 0x20);
    EXPECT_NE(rid, 0u);
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(+(blk(2).fc), -1);
    EXPECT_EQ(+(blk(3).fc), -1);
    ASSERT_EQ(fsdelete(0, fs, rid), 1);
    // The add took a new block (now empty on chain 0); block 6 was lost
    // from chain 5 by the damage: put it back and start from here.
    d->fscb.fc[5] = 6;
    saved = d->fscb;
    reset();
    // A block that lacks room and heads no chain (4), met through a block
    // that wrongly heads two chains (6): 4 is unlinked through 6. Block 6
    // keeps the walk coming back to it, until the walk's bound.
    d->fscb.fc[4] = 2;
    blk(2).fc = 4;
    blk(2).nbic = 6;
    blk(6).nbic = 4;
    blk(4).fc = 5;
    clearerrors();
    EXPECT_EQ(add(fs, storedas(100), 0x20), 0u);
    EXPECT_EQ(pmdb::lasterror(), 1042);
    EXPECT_STREQ(pmdb::damagewhat, "add walk does not end");
    EXPECT_EQ(+(blk(6).nbic), 0u) << "4 unlinked through 6";
    EXPECT_EQ(+(blk(4).fc), -1);
    reset();
    // The same loop with lb damaged to the largest block: the walk measures
    // the file and ends after a few dozen steps, not millions.
    d->fscb.lb = pmdb::MAXBLOCK;
    d->fscb.fc[4] = 2;
    blk(2).fc = 4;
    blk(2).nbic = 6;
    blk(6).nbic = 4;
    blk(4).fc = 5;
    clearerrors();
    uint32_t reads = pmdb::hits + pmdb::miss;
    EXPECT_EQ(add(fs, storedas(100), 0x20), 0u);
    EXPECT_EQ(pmdb::lasterror(), 1042);
    EXPECT_LT(pmdb::hits + pmdb::miss - reads, 1000u);
    reset();
    // A chain head beyond the file, and a next block that is damaged.
    d->fscb.fc[5] = 99;
    clearerrors();
    EXPECT_EQ(add(fs, storedas(20), 0x20), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1035}));
    reset();
    d->fscb.fc[5] = 2;
    blk(2).fc = 5;
    blk(2).nbic = 3;
    blk(3).fc = 5;
    blk(3).len = 2;
    clearerrors();
    EXPECT_EQ(add(fs, storedas(20), 0x20), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1042}));
    blk(3).len = 1016;
    reset();
    // A full file: no block after a chain ran out; a re-filing whose mark fails.
    d->fscb.lb = pmdb::MAXBLOCK;
    d->fscb.fc[5] = 4;
    d->fscb.fc[0] = 0;
    blk(4).fc = 5;
    clearerrors();
    EXPECT_EQ(add(fs, storedas(20), 0x20), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1405, 1040}));
    reset();
    d->fscb.fc[5] = 4;
    blk(4).fc = 5;
    nostore(fs);
    d->fscb.wrts = pmdb::FORCEDFLUSH - 1;
    plat_failat(pmdb::PLAT_WRITE, 1, 0);
    clearerrors();
    EXPECT_EQ(add(fs, storedas(20), 0x20), 0u);
    EXPECT_EQ(pmdb::lasterror(), 1038);
    plat_faultreset();
    reset();
    uint8_t dst[1024];
    for (int k = 0; k < 5; k++) EXPECT_EQ(fsread(0, fs, r[k], dst), k == 4 ? 937 : 999) << k;
    model m;
    for (int k = 0; k < 5; k++) m[r[k]] = storedas(k == 4 ? 938 : 1000, k);
    verify(fs, m, "after the damage was undone");
    fsclose(0, fs);
}

TEST_F(FsRecordTest, DamagedChainsEndAMove) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    model m;
    // Block 2: r0 (406 bytes) and r1 (506 bytes), 102 free: chain 5.
    uint32_t r0 = add(fs, storedas(400, 0), 0x10), r1 = add(fs, storedas(500, 1), 0x10);
    uint32_t r2 = add(fs, storedas(1000, 2), 0x10), r3 = add(fs, storedas(1000, 3), 0x10);
    m[r0] = storedas(400, 0);
    m[r1] = storedas(500, 1);
    m[r2] = storedas(1000, 2);
    m[r3] = storedas(1000, 3);
    ASSERT_EQ(pmdb::ridtoblk(d, r1), 2u);
    ASSERT_EQ(+(d->fscb.fc[5]), 2u);
    ASSERT_EQ(pmdb::ridtoblk(d, r3), 4u);
    ASSERT_EQ(+(d->fscb.fc[0]), 0u);
    auto blk = [&](uint32_t b) -> pmdb::DB & { return pmdb::readblk(d, b)->dbuff; };
    pmdb::FSCB saved = d->fscb;
    auto reset = [&]() {
        d->fscb = saved;
        d->fscb.cf = 1;
        blk(3).fc = blk(4).fc = -1;
        blk(3).nbic = blk(4).nbic = 0;
        blk(4).len = 1016;
    };
    bytes big = storedas(700);   // r1 no longer fits block 2: it must move
    auto move = [&](std::vector<int16_t> want) {
        clearerrors();
        EXPECT_EQ(fswrite(0, fs, big.data(), (short)big.size(), r1), 0);
        EXPECT_EQ(errors(), want);
        plat_faultreset();
        reset();
        verify(fs, m, "after a failed move");
    };
    d->fscb.fc[0] = 99;
    move({1085});
    d->fscb.fc[0] = 3;
    blk(3).fc = 0;
    blk(3).nbic = 4;
    blk(4).fc = 0;
    blk(4).len = 2;
    move({1092});
    d->fscb.lb = pmdb::MAXBLOCK;
    move({1405, 1080});
    d->fscb.lb = pmdb::MAXBLOCK;
    d->fscb.fc[0] = 3;
    blk(3).fc = 0;
    move({1405, 1090});
    // Re-filing block 3 is the second mark of the move.
    d->fscb.fc[0] = 3;
    blk(3).fc = 0;
    nostore(fs);
    d->fscb.wrts = pmdb::FORCEDFLUSH - 2;
    plat_failat(pmdb::PLAT_WRITE, 1, 0);
    clearerrors();
    EXPECT_EQ(fswrite(0, fs, big.data(), (short)big.size(), r1), 0);
    EXPECT_EQ(pmdb::lasterror(), 1089);
    plat_faultreset();
    reset();
    verify(fs, m, "after a failed re-filing");
    // And the move itself, once the chains are sound again.
    ASSERT_EQ(fswrite(0, fs, big.data(), (short)big.size(), r1), 1);
    m[r1] = big;
    EXPECT_NE(pmdb::ridtoblk(d, r1), 2u);
    verify(fs, m, "after the move");
    fsclose(0, fs);
}
