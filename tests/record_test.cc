// record_test.cc - records in data blocks: the record calls, the chains and
// the add walk, refusals, and a randomized workload over several logical
// files checked against an in-memory model, before and after reopening.
#include <string.h>

#include <map>
#include <random>

#include "compress/compress.h"
#include "fss/format.h"
#include "fss/record.h"
#include "fss/xlate.h"
#include "rectestutil.h"

using namespace pmdbtest;
using pmdb::FSDATA;
using pmdb::clearerrors;
using pmdb::plat_failat;
using pmdb::plat_faultreset;
using pmdb::plat_calls;

namespace {

// n bytes with no two equal neighbours: stored raw, n + 1 bytes.
bytes incompressible(size_t n, int seed = 0) {
    bytes b(n);
    for (size_t k = 0; k < n; k++) b[k] = (uint8_t)((k * 7 + (size_t)seed) % 251);
    for (size_t k = 1; k < n; k++)
        if (b[k] == b[k - 1]) b[k] ^= 0x80;
    return b;
}

// A record whose stored form is exactly c bytes (c >= 1).
bytes storedas(size_t c, int seed = 0) { return incompressible(c - 1, seed); }

bytes readback(FS *fs, uint32_t rid, short *n) {
    bytes b(40000, 0);
    *n = fsread(0, fs, rid, b.data());
    b.resize(*n > 0 ? (size_t)*n : 0);
    return b;
}

const pmdb::DB &block(FS *fs, uint32_t blk) { return pmdb::readblk(pmdb::getfsdata(fs), blk)->dbuff; }

}  // namespace

class RecordTest : public DbTest {};

TEST_F(RecordTest, FirstRecordsAndTheWalkOfEachFile) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fsfirst(0, fs, 0x10), 0u);
    EXPECT_EQ(fslast(0, fs, 0x10), 0u);
    EXPECT_EQ(fsnext(0, fs, 0x10000000), 0u);
    EXPECT_EQ(fsprev(0, fs, 0x10000000), 0u);

    bytes a = incompressible(40), b = bytes(200, ' '), c = incompressible(3, 9);
    uint32_t ra = add(fs, a, 0x13);   // the low four bits are not looked at
    EXPECT_EQ(ra, 0x10000000u);
    EXPECT_EQ(fsfirst(0, fs, 0x10), ra);
    EXPECT_EQ(fslast(0, fs, 0x1f), ra);
    uint32_t rb = add(fs, b, 0x20);   // one slot space for all files
    EXPECT_EQ(rb, 0x20000001u);
    uint32_t rc = add(fs, c, 0x10);
    EXPECT_EQ(rc, 0x10000002u);
    EXPECT_EQ(fsnext(0, fs, ra), rc);
    EXPECT_EQ(fsnext(0, fs, rc), 0u);
    EXPECT_EQ(fsprev(0, fs, rc), ra);
    EXPECT_EQ(fsprev(0, fs, ra), 0u);
    EXPECT_EQ(fsfirst(0, fs, 0x20), rb);
    EXPECT_EQ(fsnext(0, fs, rb), 0u);
    EXPECT_TRUE(errors().empty());

    short n;
    EXPECT_EQ(readback(fs, ra, &n), a);
    EXPECT_EQ(readback(fs, rb, &n), b);
    EXPECT_EQ(readback(fs, rc, &n), c);
    // An empty record is stored as the single byte 0 and reads back empty.
    uint32_t re = fsadd(0, fs, nullptr, 0, 0x30);
    ASSERT_NE(re, 0u);
    uint8_t dst[4] = {9, 9, 9, 9};
    EXPECT_EQ(fsread(0, fs, re, dst), 0);
    EXPECT_EQ(dst[0], 9);
    uint32_t blk = pmdb::ridtoblk(data(fs), re);
    const uint8_t *e = pmdb::findrec(&pmdb::readblk(data(fs), blk)->dbuff, re);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(pmdb::get16(e + 4), 1);
    EXPECT_EQ(e[6], 0);
    EXPECT_EQ(checkdb(fs), 0u);

    fsclose(0, fs);
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(readback(fs, rb, &n), b);
    EXPECT_EQ(fsnext(0, fs, ra), rc);
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(RecordTest, ChainBoundariesAndTheChainPicked) {
    using pmdb::whatchain;
    const int16_t room[] = {1014, 1013, 768, 767, 512, 511, 256, 255, 128, 127, 64, 63, 0};
    const int16_t chain[] = {0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, -1, -1};
    for (size_t k = 0; k < sizeof room / sizeof room[0]; k++) EXPECT_EQ(whatchain(room[k]), chain[k]) << room[k];

    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    // Block 2 left with 100 bytes free: chain 5.
    ASSERT_NE(add(fs, storedas(1014 - 100 - 6), 0x10), 0u);
    EXPECT_EQ(+(d->fscb.fc[5]), 2u);
    EXPECT_EQ(+(block(fs, 2).fc), 5);
    EXPECT_EQ(+(d->fscb.fc[0]), 0u);
    EXPECT_EQ(pmdb::getchain(d, 64), 2u);
    // A need of 65 starts at chain 4; none is filed and chain 0 is empty,
    // so the file grows by one block, which heads chain 0 at once.
    uint32_t lb = d->fscb.lb;
    EXPECT_EQ(pmdb::getchain(d, 65), lb + 1);
    EXPECT_EQ(+(d->fscb.lb), lb + 1);
    EXPECT_EQ(+(d->fscb.fc[0]), lb + 1);
    EXPECT_EQ(pmdb::getchain(d, 128), lb + 1);
    EXPECT_EQ(+(d->fscb.lb), lb + 1);
    // A block on chain 1 is not tried for a need above 768.
    ASSERT_NE(add(fs, storedas(100), 0x10), 0u);   // takes block 3 from chain 4..0
    EXPECT_EQ(+(d->fscb.fc[1]), 3u);
    EXPECT_EQ(pmdb::getchain(d, 768), 3u);
    EXPECT_EQ(pmdb::getchain(d, 769), lb + 2);
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(RecordTest, FullBlocksAndRecordsTooLongToStore) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    // 1008 stored bytes fill an empty block exactly; 1002 leave 6 bytes free.
    uint32_t r1 = add(fs, storedas(1008), 0x10);
    ASSERT_NE(r1, 0u);
    uint32_t b1 = pmdb::ridtoblk(d, r1);
    EXPECT_EQ(+(block(fs, b1).len), 1024);
    EXPECT_EQ(+(block(fs, b1).fc), -1);
    uint32_t r2 = add(fs, storedas(1002), 0x10);
    ASSERT_NE(r2, 0u);
    uint32_t b2 = pmdb::ridtoblk(d, r2);
    EXPECT_NE(b1, b2);
    EXPECT_EQ(+(block(fs, b2).len), 1018);
    EXPECT_EQ(+(block(fs, b2).fc), -1);
    // A long record that packs well is stored; one that would need 1009
    // stored bytes is refused before anything changes.
    uint32_t r3 = add(fs, bytes(30000, 'z'), 0x20);
    ASSERT_NE(r3, 0u);
    short n;
    EXPECT_EQ(readback(fs, r3, &n), bytes(30000, 'z'));
    pmdb::FSCB before = d->fscb;
    clearerrors();
    EXPECT_EQ(add(fs, storedas(1009), 0x10), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1030}));
    EXPECT_EQ(fsadd(0, fs, "x", -1, 0x10), 0u);
    EXPECT_EQ(fsadd(0, fs, "x", 1, 0x05), 0u) << "file number 0";
    EXPECT_EQ(fsfirst(0, fs, 0x0f), 0u);
    EXPECT_EQ(fslast(0, fs, 0x00), 0u);
    EXPECT_EQ(fsnext(0, fs, 0x00000005), 0u);
    EXPECT_EQ(fsprev(0, fs, 0x00000005), 0u);
    bytes toolong = storedas(1009);
    EXPECT_EQ(fswrite(0, fs, toolong.data(), (short)toolong.size(), r1), 0);
    EXPECT_TRUE(recorded(1080));
    EXPECT_EQ(memcmp(&before, &d->fscb, sizeof before), 0) << "a refusal changes nothing";
    EXPECT_EQ(readback(fs, r1, &n), storedas(1008));
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(RecordTest, RewriteInPlaceOrMove) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    uint32_t ra = add(fs, storedas(300, 1), 0x10);
    uint32_t rb = add(fs, storedas(300, 2), 0x10);
    ASSERT_EQ(pmdb::ridtoblk(d, ra), pmdb::ridtoblk(d, rb));
    uint32_t blk = pmdb::ridtoblk(d, ra);
    // Not longer: stays in its block and becomes its last entry.
    bytes shorter = storedas(250, 3);
    ASSERT_EQ(fswrite(0, fs, shorter.data(), (short)shorter.size(), ra), 1);
    EXPECT_EQ(pmdb::ridtoblk(d, ra), blk);
    pmdb::DB *db = &pmdb::readblk(d, blk)->dbuff;
    EXPECT_EQ(pmdb::findrec(db, rb), (uint8_t *)db + 10);
    EXPECT_EQ(pmdb::findrec(db, ra), (uint8_t *)db + 10 + 306);
    // Longer than the block can hold: moves, and the slot follows it.
    bytes longer = storedas(900, 4);
    ASSERT_EQ(fswrite(0, fs, longer.data(), (short)longer.size(), ra), 1);
    EXPECT_NE(pmdb::ridtoblk(d, ra), blk);
    short n;
    EXPECT_EQ(readback(fs, ra, &n), longer);
    EXPECT_EQ(readback(fs, rb, &n), storedas(300, 2));
    EXPECT_EQ(fslast(0, fs, 0x10), rb) << "a rewrite leaves the bounds";
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(RecordTest, DeletesMoveTheBoundsAndSlotsAreReusedLastInFirstOut) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    uint32_t r[4];
    for (int k = 0; k < 4; k++) r[k] = add(fs, incompressible(20, k), 0x10);
    ASSERT_EQ(fsdelete(0, fs, r[1]), 1);
    EXPECT_EQ(fsfirst(0, fs, 0x10), r[0]);
    EXPECT_EQ(fsnext(0, fs, r[0]), r[2]);
    EXPECT_EQ(fsnext(0, fs, r[1]), r[2]) << "a walk may start at a deleted rid";
    ASSERT_EQ(fsdelete(0, fs, r[0]), 1);
    EXPECT_EQ(fsfirst(0, fs, 0x10), r[2]);
    ASSERT_EQ(fsdelete(0, fs, r[3]), 1);
    EXPECT_EQ(fslast(0, fs, 0x10), r[2]);
    ASSERT_EQ(fsdelete(0, fs, r[2]), 1);
    EXPECT_EQ(fsfirst(0, fs, 0x10), 0u);
    EXPECT_EQ(+(data(fs)->fscb.f[0].frid), 0xffffffffu);
    EXPECT_EQ(fslast(0, fs, 0x10), 0u);
    // Freed last first: slot 2, then 3, then 0, then 1, whatever the file.
    EXPECT_EQ(add(fs, incompressible(5), 0x20), 0x20000002u);
    EXPECT_EQ(add(fs, incompressible(5), 0x10), 0x10000003u);
    EXPECT_EQ(add(fs, incompressible(5), 0x30), 0x30000000u);
    EXPECT_EQ(add(fs, incompressible(5), 0x30), 0x30000001u);
    EXPECT_EQ(add(fs, incompressible(5), 0x30), 0x30000004u);
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(RecordTest, DeletedAndForeignRidsAreRefusedCleanly) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    uint32_t keep = add(fs, incompressible(30), 0x10);
    uint32_t gone = add(fs, incompressible(30, 1), 0x10);
    ASSERT_EQ(fsdelete(0, fs, gone), 1);
    uint32_t lb = d->fscb.lb;
    bytes rec = incompressible(30, 2);
    uint8_t dst[64];
    struct { uint32_t rid; const char *why; } bad[] = {
        {gone, "deleted"},
        {(keep & 0x0fffffff) | 0x20000000, "another file's slot"},
        {keep & 0x0fffffff, "file number 0"},
        {0x10000000 | 5000 * 256, "beyond the file"},
        {0x10000000 | 255, "free slot never used"},
    };
    for (auto &b : bad) {
        clearerrors();
        EXPECT_EQ(fsread(0, fs, b.rid, dst), 0) << b.why;
        EXPECT_EQ(errors(), std::vector<int16_t>({1345, 1125})) << b.why;
        clearerrors();
        EXPECT_EQ(fswrite(0, fs, rec.data(), (short)rec.size(), b.rid), 0) << b.why;
        EXPECT_EQ(errors(), std::vector<int16_t>({1345, 1160})) << b.why;
        clearerrors();
        EXPECT_EQ(fsdelete(0, fs, b.rid), 0) << b.why;
        EXPECT_EQ(errors(), std::vector<int16_t>({1345, 1105})) << b.why;
        clearerrors();
        EXPECT_EQ(fsreadn(0, fs, b.rid, dst, sizeof dst), 0) << b.why;
        EXPECT_EQ(fsreclen(0, fs, b.rid), 0) << b.why;
        EXPECT_EQ(errors(), std::vector<int16_t>({1345, 1125, 1345, 1125})) << b.why;
    }
    EXPECT_EQ(+(d->fscb.lb), lb) << "nothing grew the file";
    EXPECT_EQ(pmdb::damagecount, 0u);
    // prevrid of a rid beyond the file ends at the file's last record.
    EXPECT_EQ(fsprev(0, fs, 0x1fffffff), keep);
    EXPECT_EQ(fsnext(0, fs, 0x1fffffff), 0u);
    EXPECT_EQ(+(d->fscb.lb), lb);
    short n;
    EXPECT_EQ(readback(fs, keep, &n), incompressible(30));
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(RecordTest, BoundedReadsNeverWritePastTheirSize) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    // Up to the longest record that packs into one block.
    for (bytes rec : {bytes{}, incompressible(5), incompressible(1007), bytes(32767, ' ')}) {
        uint32_t rid = add(fs, rec, 0x10);
        ASSERT_NE(rid, 0u) << rec.size();
        short len = (short)rec.size();
        clearerrors();
        EXPECT_EQ(fsreclen(0, fs, rid), len);
        bytes dst(rec.size() + 1, 0x5a);
        EXPECT_EQ(fsreadn(0, fs, rid, dst.data(), len), len);
        EXPECT_EQ(bytes(dst.begin(), dst.begin() + len), rec);
        EXPECT_EQ(dst[rec.size()], 0x5a) << "nothing past size";
        EXPECT_EQ(errors(), std::vector<int16_t>{});
        if (len == 0) continue;
        // One byte short, or a size below 0: refused, buffer untouched.
        for (int16_t size : {(int16_t)(len - 1), (int16_t)-1, (int16_t)INT16_MIN}) {
            bytes out(rec.size(), 0x5a);
            clearerrors();
            EXPECT_EQ(fsreadn(0, fs, rid, out.data(), size), 0);
            EXPECT_EQ(errors(), std::vector<int16_t>{1133});
            EXPECT_EQ(out, bytes(rec.size(), 0x5a));
        }
    }
    fsclose(0, fs);
}

TEST_F(RecordTest, ReadOnlyDatabaseRefusesChanges) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    uint32_t r = add(fs, incompressible(50), 0x10);
    fsclose(0, fs);
    std::vector<uint8_t> file = readfile(path("a.db"));
    fs = fsopen(0, path("a.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    pmdb::FSCB before = data(fs)->fscb;
    bytes rec = incompressible(10);
    clearerrors();
    EXPECT_EQ(add(fs, rec, 0x10), 0u);
    EXPECT_EQ(fswrite(0, fs, rec.data(), (short)rec.size(), r), 0);
    EXPECT_EQ(fsdelete(0, fs, r), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1025, 1025, 1025}));
    EXPECT_EQ(fswrite(0, fs, nullptr, -5, 0), 0) << "read-only is refused before the arguments";
    EXPECT_EQ(pmdb::lasterror(), 1025);
    EXPECT_EQ(memcmp(&before, &data(fs)->fscb, sizeof before), 0);
    short n;
    EXPECT_EQ(readback(fs, r, &n), incompressible(50));
    EXPECT_EQ(fsfirst(0, fs, 0x10), r);
    fsclose(0, fs);
    EXPECT_EQ(readfile(path("a.db")), file);
}

// The record calls allocate nothing of their own: with no store below the
// buffers no allocation is even tried. With a store whose every allocation
// fails, they work all the same (the pager then reads from the file and
// sends changes out through the journal).
TEST_F(RecordTest, RecordCallsAllocateNothingAndNeedNoMemory) {
    for (bool store : {false, true}) {
        SCOPED_TRACE(store ? "store, no memory" : "no store");
        std::string name = store ? "b.db" : "a.db";
        FS *fs = createopen(name);
        ASSERT_NE(fs, nullptr);
        if (!store) nostore(fs);
        plat_failat(pmdb::PLAT_ALLOC, 1, 1);
        long allocs = plat_calls(pmdb::PLAT_ALLOC);
        std::vector<uint32_t> rids;
        for (int k = 0; k < 300; k++) {
            bytes r = k % 3 ? incompressible(20 + k % 200, k) : bytes(150 + k, (char)k);
            uint32_t rid = add(fs, r, (uint8_t)(0x10 * (1 + k % 3)));
            ASSERT_NE(rid, 0u);
            rids.push_back(rid);
        }
        uint8_t dst[2048];
        for (size_t k = 0; k < rids.size(); k += 2) {
            bytes r = incompressible(k % 500, 7);
            ASSERT_EQ(fswrite(0, fs, r.data(), (short)r.size(), rids[k]), 1);
            ASSERT_EQ(fsread(0, fs, rids[k], dst), (short)r.size());
        }
        for (size_t k = 1; k < rids.size(); k += 4) ASSERT_EQ(fsdelete(0, fs, rids[k]), 1);
        int walked = 0;
        for (uint32_t r = fsfirst(0, fs, 0x20); r != 0; r = fsnext(0, fs, r)) walked++;
        for (uint32_t r = fslast(0, fs, 0x20); r != 0; r = fsprev(0, fs, r)) walked--;
        EXPECT_EQ(walked, 0);
        if (!store) {
            EXPECT_EQ(plat_calls(pmdb::PLAT_ALLOC), allocs);
        }
        EXPECT_EQ(checkdb(fs), 0u);
        fsclose(0, fs);
        plat_faultreset();
        fs = fsopen(0, path(name).c_str(), 1, 0);
        ASSERT_NE(fs, nullptr);
        EXPECT_EQ(checkdb(fs), 0u);
        EXPECT_EQ(fsread(0, fs, rids[2], dst), (short)incompressible(2 % 500, 7).size());
        fsclose(0, fs);
    }
}

TEST_F(RecordTest, RidNotInItsBlockIsReportedWithItsNumber) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    uint32_t r[12];
    for (int k = 0; k < 12; k++) r[k] = add(fs, incompressible(600, k), 0x10);   // one per block
    uint32_t b0 = pmdb::ridtoblk(data(fs), r[0]);
    fsclose(0, fs);
    // Slot 10 of translation block 0 names the block of r[0].
    corruptat(path("a.db"), 1024 + 4 * 10, {(uint8_t)b0, 0, 0, 0x10});
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    clearerrors();
    uint8_t dst[1024];
    EXPECT_EQ(fsread(0, fs, r[10], dst), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1340, 1135}));
    EXPECT_STREQ(fsgetmsg(), "Rid 1000000a not in block");
    clearerrors();
    bytes rec = incompressible(10);
    EXPECT_EQ(fswrite(0, fs, rec.data(), (short)rec.size(), r[10]), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1340, 1070}));
    clearerrors();
    EXPECT_EQ(fsdelete(0, fs, r[10]), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1340, 1115}));
    // The check names the damage; every other record is untouched.
    pmdb::DBCHECKRESULT res{};
    EXPECT_GT(pmdb::dbcheck(data(fs), pmdb::dbcheckcollect, &res), 0u);
    EXPECT_EQ(res.blk[0], b0);
    short n;
    for (int k = 0; k < 12; k++) {
        if (k == 10) continue;
        EXPECT_EQ(readback(fs, r[k], &n), incompressible(600, k));
    }
    fsclose(0, fs);
}

// Thousands of adds, rewrites (growing and shrinking), deletes and walks
// over four logical files, checked against a model after every step.
TEST_F(RecordTest, RandomWorkloadMatchesAModel) {
    FS *fs = createopen("a.db", 7);   // translation blocks fall due often
    ASSERT_NE(fs, nullptr);
    std::mt19937 rng(2024);
    std::map<uint32_t, bytes> model;
    auto makerec = [&]() {
        size_t n = rng() % 8 == 0 ? 900 + rng() % 200 : rng() % 400;
        bytes r(n);
        int style = (int)(rng() % 3);
        for (size_t k = 0; k < n;) {
            size_t run = style == 0 ? 1 : 1 + rng() % (style == 1 ? 4 : 60);
            uint8_t v = (uint8_t)rng();
            for (size_t q = 0; q < run && k < n; q++, k++) r[k] = style == 0 ? (uint8_t)(k * 13 + 1) : v;
        }
        return r;
    };
    auto storedlen = [](const bytes &r) {
        std::vector<uint8_t> w(r.size() + 1);
        return (size_t)pmdb::compress(w.data(), r.data(), (int16_t)r.size());
    };
    auto verifyall = [&]() {
        short n;
        for (auto &m : model) ASSERT_EQ(readback(fs, m.first, &n), m.second) << std::hex << m.first;
        for (uint32_t f = 1; f <= 4; f++) {
            std::vector<uint32_t> want, got, back;
            for (auto &m : model)
                if (m.first >> 28 == f) want.push_back(m.first);
            for (uint32_t r = fsfirst(0, fs, (uint8_t)(f << 4)); r != 0 && got.size() <= want.size(); r = fsnext(0, fs, r))
                got.push_back(r);
            for (uint32_t r = fslast(0, fs, (uint8_t)(f << 4)); r != 0 && back.size() <= want.size(); r = fsprev(0, fs, r))
                back.insert(back.begin(), r);
            ASSERT_EQ(got, want);
            ASSERT_EQ(back, want);
        }
        ASSERT_EQ(checkdb(fs), 0u);
    };
    const int steps = 3000;
    for (int step = 0; step < steps; step++) {
        int op = (int)(rng() % 10);
        if (model.empty() || op < 4) {
            bytes r = makerec();
            uint8_t fid = (uint8_t)((1 + rng() % 4) << 4 | (rng() % 16));
            uint32_t rid = add(fs, r, fid);
            if (storedlen(r) > 1008) {
                ASSERT_EQ(rid, 0u);
            } else {
                ASSERT_NE(rid, 0u) << step;
                ASSERT_EQ(rid >> 28, (uint32_t)fid >> 4);
                ASSERT_EQ(model.count(rid), 0u);
                model[rid] = r;
            }
        } else {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            uint32_t rid = it->first;
            if (op < 7) {
                bytes r = makerec();
                short ok = fswrite(0, fs, r.data(), (short)r.size(), rid);
                ASSERT_EQ(ok, storedlen(r) > 1008 ? 0 : 1) << step;
                if (ok) it->second = r;
            } else if (op < 9) {
                ASSERT_EQ(fsdelete(0, fs, rid), 1) << step;
                model.erase(it);
            } else {
                uint32_t nx = fsnext(0, fs, rid), pv = fsprev(0, fs, rid);
                auto up = std::next(it);
                while (up != model.end() && up->first >> 28 != rid >> 28) up++;
                ASSERT_EQ(nx, up == model.end() ? 0u : up->first);
                uint32_t want = 0;
                for (auto dn = model.begin(); dn != it; dn++)
                    if (dn->first >> 28 == rid >> 28) want = dn->first;
                ASSERT_EQ(pv, want);
            }
        }
        // The record touched reads back; the whole model now and then.
        if (step % 100 == 99) {
            verifyall();
            if (HasFatalFailure()) return;
        }
        if (step == steps / 2) {
            ASSERT_EQ(fsunlock(0, fs), 1);
        }
    }
    verifyall();
    EXPECT_GT(model.size(), 200u);
    fsclose(0, fs);
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr) << "the file passes the open's integrity tests";
    verifyall();
    fsclose(0, fs);
}
