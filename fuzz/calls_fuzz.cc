// calls_fuzz.cc - a sequence of calls on a new database, decoded from the
// input and checked call by call against an in-memory model: records by
// rid in three logical files (added under the next free rid or under one
// the input picks), and keys in four subkeys of each (character and 32-bit
// values, each with and without duplicates). The database is closed and
// opened again (with the integrity tests) halfway through the input and
// whenever the input asks, and at the end the record and key checkers
// must find nothing. A result that differs from the model, like
// a crash or a call over a second, is a finding.
#include <algorithm>
#include <map>
#include <vector>

#include "compress/compress.h"
#include "fss/dbcheck.h"
#include "fss/fsdata.h"
#include "fss/keycheck.h"
#include "fuzzutil.h"

using namespace pmdbfuzz;

namespace {

const char DB[] = "calls.db";
typedef std::vector<uint8_t> bytes;

// ---- The model ------------------------------------------------------------

struct KEY {
    bytes v;
    uint32_t rid;
};

// One subkey: its keys in index order.
struct SUB {
    uint8_t fid;
    bool longs;   // 32-bit signed values, else character values
    bool dup;
    std::vector<KEY> keys;

    int cmpval(const bytes &a, const bytes &b) const {
        if (!longs) return a < b ? -1 : b < a ? 1 : 0;
        int32_t x, y;
        memcpy(&x, a.data(), 4);
        memcpy(&y, b.data(), 4);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    int cmp(const KEY &a, const KEY &b) const {
        int c = cmpval(a.v, b.v);
        if (c != 0 || !dup) return c;
        return a.rid < b.rid ? -1 : a.rid > b.rid ? 1 : 0;
    }
    // The first key not below k, and the first whose value is not below k's.
    size_t lower(const KEY &k) const {
        size_t i = 0;
        while (i < keys.size() && cmp(keys[i], k) < 0) i++;
        return i;
    }
    size_t lowerval(const bytes &v) const {
        size_t i = 0;
        while (i < keys.size() && cmpval(keys[i].v, v) < 0) i++;
        return i;
    }
};

struct MODEL {
    std::map<uint32_t, bytes> recs;   // live records by rid
    std::vector<uint32_t> seen;       // every rid ever given, live or not
    std::vector<SUB> subs;
    uint32_t cannumber = 0;
};

MODEL model;
FS *fs;
uint8_t buf[32767];

void setsubs() {
    model.subs.clear();
    for (int n = 1; n <= 3; n++) {
        uint8_t f = (uint8_t)(n << 4);
        model.subs.push_back({(uint8_t)(f | 0), false, false, {}});
        model.subs.push_back({(uint8_t)(f | 8), false, true, {}});
        model.subs.push_back({(uint8_t)(f | 1), true, false, {}});
        model.subs.push_back({(uint8_t)(f | 9), true, true, {}});
    }
}

// A new database's subkeys are all character keys (subkeys 8 to 15 with
// duplicates); subkeys 1 and 9 of the three files become 32-bit keys.
void typesubkeys() {
    FUZZCHECK(fslock(0, fs, nullptr) == 1, "fslock");
    for (int n = 1; n <= 3; n++) {
        FUZZCHECK(fsdefinesubkey(0, fs, (uint8_t)(n << 4 | 1), 2, 0) == 1, "fsdefinesubkey");
        FUZZCHECK(fsdefinesubkey(0, fs, (uint8_t)(n << 4 | 9), 2, 1) == 1, "fsdefinesubkey");
    }
    FUZZCHECK(fsunlock(0, fs) == 1, "fsunlock");
}

void reopen() {
    fsclose(0, fs);
    fs = fsopen(0, DB, 1, 0);
    FUZZCHECK(fs != nullptr, "the database does not open again (pmerrno %d)", fsgeterrno());
}

// ---- Decoding -------------------------------------------------------------

bytes record(Input &in) {
    uint8_t kind = in.byte();
    size_t len = kind % 4 == 0 ? in.u16() % 32768 : in.u16() % 1100;
    bytes r(len);
    uint8_t seed = in.byte();
    for (size_t k = 0; k < len; k++)
        r[k] = kind & 4 ? seed : (uint8_t)(seed + k * (kind | 1) + (k >> 5));
    return r;
}

uint32_t pickrid(Input &in) {
    uint8_t b = in.byte();
    if (b == 0xff || model.seen.empty()) return in.u32();
    return model.seen[b % model.seen.size()];
}

SUB &picksub(Input &in) { return model.subs[in.byte() % model.subs.size()]; }

bytes keyvalue(Input &in, const SUB &s) {
    if (s.longs) {
        int32_t x = (int32_t)(in.byte() % 64) - 32;
        bytes v(4);
        memcpy(v.data(), &x, 4);
        return v;
    }
    bytes v(1 + in.byte() % 12);
    for (auto &c : v) c = (uint8_t)('a' + in.byte() % 3);   // few letters: many equal values
    return v;
}

// Would this record be stored? (Its packed form must fit one block.)
bool fits(const bytes &r) {
    static uint8_t work[1024];
    return pmdb::compress(work, pmdb::MAXSTORED, r.data(), (int16_t)r.size()) != 0;
}

// ---- Checks ---------------------------------------------------------------

void checkread(uint32_t rid) {
    auto it = model.recs.find(rid);
    short len = fsreclen(0, fs, rid);
    short got = fsreadn(0, fs, rid, buf, (int16_t)sizeof buf);
    if (it == model.recs.end()) {
        FUZZCHECK(len == 0 && got == 0, "rid %x is gone but reads %d bytes", rid, got);
        return;
    }
    const bytes &want = it->second;
    FUZZCHECK(len == (short)want.size(), "rid %x: fsreclen %d, model %zu", rid, len, want.size());
    FUZZCHECK(got == (short)want.size() && (want.empty() || memcmp(buf, want.data(), want.size()) == 0),
              "rid %x reads %d bytes unlike the model's %zu", rid, got, want.size());
    if (!want.empty()) {
        FUZZCHECK(fsreadn(0, fs, rid, buf, (int16_t)(want.size() - 1)) == 0,
                  "rid %x read into a buffer one byte short", rid);
    }
}

void checkwalk(uint8_t file) {
    std::vector<uint32_t> want;
    for (auto &e : model.recs)
        if (e.first >> 28 == file) want.push_back(e.first);
    std::vector<uint32_t> got;
    for (uint32_t r = fsfirst(0, fs, (uint8_t)(file << 4)); r != 0 && got.size() <= want.size();
         r = fsnext(0, fs, r))
        got.push_back(r);
    FUZZCHECK(got == want, "file %d walks forward over %zu records, model %zu", file, got.size(),
              want.size());
    got.clear();
    for (uint32_t r = fslast(0, fs, (uint8_t)(file << 4)); r != 0 && got.size() <= want.size();
         r = fsprev(0, fs, r))
        got.push_back(r);
    std::reverse(got.begin(), got.end());
    FUZZCHECK(got == want, "file %d walks backward over %zu records, model %zu", file, got.size(),
              want.size());
}

void expectkey(uint32_t got, const SUB &s, size_t i, const char *what) {
    if (i >= s.keys.size()) {
        FUZZCHECK(got == 0, "%s in fid %02x: rid %x where the model has none", what, s.fid, got);
        return;
    }
    const KEY &k = s.keys[i];
    FUZZCHECK(got == k.rid, "%s in fid %02x: rid %x, model %x", what, s.fid, got, k.rid);
    FUZZCHECK(k.v.empty() || memcmp(buf, k.v.data(), k.v.size()) == 0, "%s in fid %02x: another value",
              what, s.fid);
}

void checkkeys(const SUB &s) {
    uint32_t got = fsfirstkey(0, fs, s.fid, buf);
    expectkey(got, s, 0, "first key");
    for (size_t i = 0; i < s.keys.size(); i++) {
        const KEY &k = s.keys[i];
        memcpy(buf, k.v.data(), k.v.size());
        expectkey(fsnextkey(0, fs, s.fid, k.rid, (short)k.v.size(), buf), s, i + 1, "next key");
        memcpy(buf, k.v.data(), k.v.size());
        got = fsprevkey(0, fs, s.fid, k.rid, (short)k.v.size(), buf);
        expectkey(got, s, i == 0 ? s.keys.size() : i - 1, "previous key");
    }
}

void checkall() {
    for (uint8_t n = 1; n <= 3; n++) checkwalk(n);
    for (uint32_t rid : model.seen) checkread(rid);
    for (const SUB &s : model.subs) checkkeys(s);
    pmdb::FSDATA *d = pmdb::checkfsdata(fs);
    pmdb::DBCHECKRESULT r{};
    uint32_t problems = pmdb::dbcheck(d, pmdb::dbcheckcollect, &r);
    FUZZCHECK(problems == 0, "record check: block %u: %s", r.blk[0], r.what[0]);
    std::vector<uint8_t> seen(pmdb::keycheckmapbytes(d) + 1);
    pmdb::KCHECK c{};
    c.seen = seen.data();
    c.seenbytes = seen.size();
    FUZZCHECK(pmdb::keycheck(d, &c) == 0, "key check: %s", c.first);
    size_t total = 0;
    for (const SUB &s : model.subs) total += s.keys.size();
    FUZZCHECK(c.keys == total, "the tree holds %u keys, the model %zu", c.keys, total);
}

// ---- One call -------------------------------------------------------------

void step(Input &in) {
    uint8_t op = in.byte();
    switch (op % 15) {
    case 0: {
        uint8_t file = (uint8_t)(1 + in.byte() % 3);
        bytes r = record(in);
        uint32_t rid = fsadd(0, fs, r.data(), (short)r.size(), (uint8_t)(file << 4));
        if (!fits(r)) {
            FUZZCHECK(rid == 0, "a record of %zu bytes that packs too long was added", r.size());
            break;
        }
        FUZZCHECK(rid != 0 && rid >> 28 == file && model.recs.count(rid) == 0,
                  "fsadd gave rid %x", rid);
        model.recs[rid] = r;
        if (std::find(model.seen.begin(), model.seen.end(), rid) == model.seen.end())
            model.seen.push_back(rid);
        break;
    }
    case 1: {
        uint32_t rid = pickrid(in);
        bytes r = record(in);
        bool live = model.recs.count(rid) != 0;
        short got = fswrite(0, fs, r.data(), (short)r.size(), rid);
        FUZZCHECK(got == (live && fits(r) ? 1 : 0), "fswrite of rid %x gave %d", rid, got);
        if (got) model.recs[rid] = r;
        break;
    }
    case 2: {
        uint32_t rid = pickrid(in);
        bool live = model.recs.count(rid) != 0;
        FUZZCHECK(fsdelete(0, fs, rid) == (live ? 1 : 0), "fsdelete of rid %x", rid);
        model.recs.erase(rid);
        break;
    }
    case 3: checkread(pickrid(in)); break;
    case 4: checkwalk((uint8_t)(1 + in.byte() % 3)); break;
    case 5: {
        SUB &s = picksub(in);
        KEY k{keyvalue(in, s), pickrid(in)};
        if (k.rid == 0) k.rid = 1;
        if (s.dup && !s.keys.empty() && in.byte() % 3 == 0) k.v = s.keys[in.byte() % s.keys.size()].v;
        size_t i = s.lower(k);
        bool want = i == s.keys.size() || s.cmp(s.keys[i], k) != 0;
        short got = fsaddkey(0, fs, s.fid, k.rid, (short)k.v.size(), k.v.data());
        FUZZCHECK(got == (want ? 1 : 0), "fsaddkey in fid %02x gave %d", s.fid, got);
        if (want) s.keys.insert(s.keys.begin() + (long)i, k);
        break;
    }
    case 6: {
        SUB &s = picksub(in);
        KEY k{keyvalue(in, s), pickrid(in)};
        if (!s.keys.empty() && in.byte() % 2 == 0) k = s.keys[in.byte() % s.keys.size()];
        bool first = in.byte() % 8 == 0;   // len 0: the subkey's first key
        size_t i = first ? 0 : s.lower(k);
        bool want = first ? !s.keys.empty() : i < s.keys.size() && s.cmp(s.keys[i], k) == 0;
        short got = first ? fsdeletekey(0, fs, s.fid, 0, 0, nullptr)
                          : fsdeletekey(0, fs, s.fid, k.rid, (short)k.v.size(), k.v.data());
        FUZZCHECK(got == (want ? 1 : 0), "fsdeletekey in fid %02x gave %d", s.fid, got);
        if (want) s.keys.erase(s.keys.begin() + (long)i);
        break;
    }
    case 7: {
        SUB &s = picksub(in);
        bytes v = keyvalue(in, s);
        size_t i = s.lowerval(v);
        memcpy(buf, v.data(), v.size());
        uint32_t got = fsfindkey(0, fs, s.fid, (short)v.size(), buf);
        expectkey(got, s, i < s.keys.size() && s.cmpval(s.keys[i].v, v) == 0 ? i : s.keys.size(),
                  "found key");
        memcpy(buf, v.data(), v.size());
        got = fslastkey(0, fs, s.fid, (short)v.size(), buf);
        expectkey(got, s, i == 0 ? s.keys.size() : i - 1, "last key below");
        break;
    }
    case 8: checkkeys(picksub(in)); break;
    case 9: {
        // From any point, stored or not: the keys after and before it.
        SUB &s = picksub(in);
        KEY k{keyvalue(in, s), pickrid(in)};
        size_t i = s.lower(k);
        bool present = i < s.keys.size() && s.cmp(s.keys[i], k) == 0;
        memcpy(buf, k.v.data(), k.v.size());
        expectkey(fsnextkey(0, fs, s.fid, k.rid, (short)k.v.size(), buf), s, present ? i + 1 : i,
                  "next key from a point");
        memcpy(buf, k.v.data(), k.v.size());
        expectkey(fsprevkey(0, fs, s.fid, k.rid, (short)k.v.size(), buf), s,
                  i == 0 ? s.keys.size() : i - 1, "previous key from a point");
        break;
    }
    case 10:
        FUZZCHECK(fslock(0, fs, nullptr) == 1, "fslock");
        FUZZCHECK(fsunlock(0, fs) == 1, "fsunlock");
        break;
    case 11: FUZZCHECK(fsflush(0, fs) == 1, "fsflush"); break;
    case 12: reopen(); break;
    case 13: {
        // A record under a rid of the caller's choosing: its slot must be
        // free in every file.
        uint8_t file = (uint8_t)(1 + in.byte() % 3);
        uint32_t slot = in.u16() % 1200;
        uint32_t rid = (uint32_t)file << 28 | slot;
        bytes r = record(in);
        bool used = false;
        for (auto &e : model.recs) used = used || (e.first & 0x0fffffff) == slot;
        short got = fsaddat(0, fs, r.data(), (short)r.size(), rid);
        FUZZCHECK(got == (!used && fits(r) ? 1 : 0), "fsaddat of rid %x gave %d", rid, got);
        if (got) {
            model.recs[rid] = r;
            if (std::find(model.seen.begin(), model.seen.end(), rid) == model.seen.end())
                model.seen.push_back(rid);
        }
        break;
    }
    default: {
        uint32_t v = in.u32();
        FUZZCHECK(fsstorecannumber(0, fs, v) == 1, "fsstorecannumber");
        model.cannumber = v;
        FUZZCHECK(fsgetcannumber(0, fs, 0) == v, "the counter reads back another value");
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    scratchdir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    short freq = (short)(2 + in.byte() % 40);
    FUZZCHECK(fscreatedatabase(DB, freq) == 1, "fscreatedatabase");
    fs = fsopen(0, DB, 1, 0);
    FUZZCHECK(fs != nullptr, "a new database does not open");
    model = MODEL();
    setsubs();
    typesubkeys();
    bool reopened = false;
    while (in.more()) {
        if (!reopened && in.at >= size / 2) {
            reopen();
            reopened = true;
        }
        step(in);
    }
    checkall();
    reopen();
    checkall();
    FUZZCHECK(fsgetcannumber(0, fs, 0) == model.cannumber, "the counter did not survive");
    fsclose(0, fs);
    return 0;
}
