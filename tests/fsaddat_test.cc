// fsaddat_test.cc - placing records under chosen rids: any free slot, in
// any order, beyond the file; refusals that change nothing; failures met
// midway; and after all of it a free-slot chain that holds every free slot
// exactly once, so that later adds never collide.
#include <algorithm>
#include <map>
#include <random>

#include "fss/xlate.h"
#include "rectestutil.h"

using namespace pmdbtest;

namespace {

typedef std::map<uint32_t, bytes> model;

bytes rec(uint32_t rid) { return bytes(20 + rid % 50, (uint8_t)(rid * 7 + 1)); }

// The file past its control block, whose counters every open changes.
bytes blocks(const bytes &file) { return bytes(file.begin() + 1024, file.end()); }

short addat(FS *fs, uint32_t rid, const bytes &b) { return fsaddat(0, fs, b.data(), (short)b.size(), rid); }

// Every record reads back and every free slot of the file is on the free
// chain exactly once, which leaves it where the next translation block
// begins.
void verify(FS *fs, const model &m) {
    bytes buf(2048);
    for (auto &r : m) {
        short n = fsread(0, fs, r.first, buf.data());
        ASSERT_EQ(bytes(buf.begin(), buf.begin() + std::max<short>(n, 0)), r.second) << std::hex << r.first;
    }
    const pmdb::FSDATA *d = pmdb::getfsdata(fs);
    uint32_t f = (uint16_t)d->fscb.xblkfreq, xblocks = (d->fscb.lb - 1) / f + 1;
    std::vector<uint32_t> slot(xblocks * 256);
    pmdb::FSDATA *w = pmdb::getfsdata(fs);
    for (uint32_t s = 0; s < slot.size(); s++) slot[s] = pmdb::readblk(w, (s >> 8) * f + 1)->xlate[s & 255];
    std::vector<bool> seen(slot.size());
    uint32_t s = d->fscb.ftc;
    for (; s < slot.size(); s = slot[s]) {
        ASSERT_EQ(slot[s] >> 28, 0u) << "chain reaches slot in use " << s;
        ASSERT_FALSE(seen[s]) << "chain loops at " << s;
        seen[s] = true;
    }
    EXPECT_EQ(s, slot.size());
    for (uint32_t k = 0; k < slot.size(); k++)
        EXPECT_TRUE((slot[k] >> 28) != 0 || seen[k]) << "free slot " << k << " leaked";
    checkdb(fs);
}

}  // namespace

TEST_F(DbTest, PlacedRecordsKeepTheirRidsAndLeaveTheChainSound) {
    // Spacing 4: every 256 slots need a translation block three blocks on.
    FS *fs = createopen("a.db", 4);
    ASSERT_NE(fs, nullptr);
    model m;
    // Rising with gaps, across files, up to slot 2000 (translation block 7,
    // far beyond the file): each placement starts where the last one left.
    for (uint32_t s = 3; s < 2000; s += 1 + s % 5) {
        uint32_t rid = ((1 + s % 3) << 28) | s;
        ASSERT_EQ(addat(fs, rid, rec(rid)), 1) << s;
        m[rid] = rec(rid);
    }
    verify(fs, m);
    // Then backwards and shuffled, in the gaps the first pass left.
    std::vector<uint32_t> gaps;
    for (uint32_t s = 0; s < 2000; s++)
        if (!m.count((1 + s % 3) << 28 | s) && s % 4 == 0) gaps.push_back((5u << 28) | s);
    std::shuffle(gaps.begin(), gaps.end(), std::mt19937(7));
    for (uint32_t rid : gaps) {
        ASSERT_EQ(addat(fs, rid, rec(rid)), 1) << std::hex << rid;
        m[rid] = rec(rid);
    }
    EXPECT_EQ(fsfirst(0, fs, 0x50), 5u << 28);
    verify(fs, m);
    // Later adds and deletes mix with placements and never collide.
    std::mt19937 rng(11);
    for (int k = 0; k < 400; k++) {
        if (rng() % 2) {
            uint32_t rid = fsadd(0, fs, "x", 1, 0x20);
            ASSERT_EQ(m.count(rid), 0u);
            m[rid] = bytes{'x'};
        } else {
            auto it = std::next(m.begin(), (long)(rng() % m.size()));
            ASSERT_EQ(fsdelete(0, fs, it->first), 1);
            uint32_t rid = (it->first & 0x0fffffff) | 0x30000000;
            m.erase(it);
            ASSERT_EQ(addat(fs, rid, rec(rid)), 1);
            m[rid] = rec(rid);
        }
    }
    fsclose(0, fs);
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    verify(fs, m);
    fsclose(0, fs);
}

TEST_F(DbTest, RefusedPlacementsChangeNothing) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    uint32_t r1 = fsadd(0, fs, "one", 3, 0x10);
    fsclose(0, fs);
    bytes before = readfile(path("a.db"));
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    struct Case {
        uint32_t rid;
        short len;
        int16_t err;
    } cases[] = {
        {r1, 3, 1555},                      // the slot of a live record
        {(r1 & 0x0fffffff) | 0x20000000, 3, 1555},   // the same slot, another file
        {0x00000005, 3, 1550},              // file number 0
        {0x1fffffff, 3, 1550},              // beyond the largest file
        {0x10000001, -1, 1550},
    };
    for (const Case &c : cases) {
        pmdb::clearerrors();
        EXPECT_EQ(fsaddat(0, fs, "abc", c.len, c.rid), 0) << std::hex << c.rid;
        EXPECT_EQ(pmdb::lasterror(), c.err) << std::hex << c.rid;
    }
    FS closed = *fs;
    fsclose(0, fs);
    EXPECT_EQ(blocks(readfile(path("a.db"))), blocks(before));
    EXPECT_EQ(fsaddat(0, &closed, "abc", 3, 0x10000001), 0);
    EXPECT_EQ(pmdb::lasterror(), 480);
    fs = fsopen(0, path("a.db").c_str(), 1, 1);
    EXPECT_EQ(fsaddat(0, fs, "abc", 3, 0x10000001), 0);
    EXPECT_EQ(pmdb::lasterror(), 1025);
    fsclose(0, fs);

    // A chain that loops, or names a slot in use, is damage: 1560.
    for (uint32_t link : {1u, 0x10000000u}) {
        writefile(path("b.db"), before);
        corruptat(path("b.db"), 1024 + 4 * 1, {(uint8_t)link, 0, 0, (uint8_t)(link >> 24)});
        bytes damaged = readfile(path("b.db"));
        fs = fsopen(0, path("b.db").c_str(), 0, 0);
        pmdb::clearerrors();
        EXPECT_EQ(fsaddat(0, fs, "abc", 3, 0x10000009), 0);
        EXPECT_EQ(pmdb::lasterror(), 1560);
        fsclose(0, fs);
        EXPECT_EQ(blocks(readfile(path("b.db"))), blocks(damaged));
    }
}

TEST_F(DbTest, PlacementsThatFailMidwayLeaveTheChainSound) {
    // Slot 2000 lies in translation block 7 (block 57 with spacing 8), far
    // beyond the file: the growth passes more blocks than the cache holds,
    // so reads and writes of reused buffers fail it. Slot 700 (block 17)
    // needs fewer blocks than the cache holds, so no flush resets the count
    // of marks that the forced flush relies on: its unlink and append fail.
    FS *fs = createopen("base.db", 8);
    model base;
    for (uint32_t s : {0u, 1u, 5u, 300u}) {
        ASSERT_EQ(addat(fs, 0x10000000 | s, rec(s)), 1);
        base[0x10000000 | s] = rec(s);
    }
    fsclose(0, fs);
    bytes file = readfile(path("base.db"));
    std::map<int16_t, int> seen;
    // The k-th read, the k-th write (of a buffer the cache must reuse), and
    // the k-th block mark (whose forced flush fails) of the call.
    for (int mode = 0; mode < 3; mode++) {
        pmdb::platop op = mode == 0 ? pmdb::PLAT_READ : pmdb::PLAT_WRITE;
        const uint32_t want = 0x20000000 | (mode == 2 ? 700 : 2000);
        for (int k = 1;; k++) {
            writefile(path("w.db"), file);
            fs = fsopen(0, path("w.db").c_str(), 1, 0);
            ASSERT_NE(fs, nullptr);
            nostore(fs);   // every read and every flush goes to the file
            pmdb::clearerrors();
            if (mode == 2) pmdb::getfsdata(fs)->fscb.wrts = (int16_t)(pmdb::FORCEDFLUSH - k);
            long n = mode == 2 ? 1 : k, start = pmdb::plat_calls(op);
            pmdb::plat_failat(op, n, 0);
            short ok = addat(fs, want, rec(want));
            // A mark fired when its forced flush failed; evictions write too.
            bool fired = mode == 2 ? recorded(1375) : pmdb::plat_calls(op) - start >= n;
            pmdb::plat_faultreset();
            model m = base;
            if (ok)
                m[want] = rec(want);
            else
                seen[pmdb::lasterror()]++;
            verify(fs, m);
            // Whatever happened, the chain still serves the slot.
            if (!ok) {
                EXPECT_EQ(addat(fs, want, rec(want)), 1);
            }
            fsclose(0, fs);
            if (HasFailure() || !fired) break;
        }
    }
    for (int16_t e : {1590, 1595, 1605}) EXPECT_GT(seen[e], 0) << e;
}
