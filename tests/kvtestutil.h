// kvtestutil.h - a key -> value workload the storage-layer tests share: each
// value is a record of logical file 1 and its key a 16-byte key of subkey 0.
// The same batches run against a database and against a model (a map), so a
// test can tell which committed state a database is in.
#ifndef PMDB_KVTESTUTIL_H
#define PMDB_KVTESTUTIL_H

#include <stdint.h>
#include <string.h>

#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fss/dbcheck.h"
#include "fss/keycheck.h"
#include "testutil.h"

namespace pmdbtest {

typedef std::map<std::string, std::string> kvmodel;

inline uint32_t kvfind(FS *fs, const std::string &k) {
    char buf[200];
    memcpy(buf, k.data(), k.size());
    return fsfindkey(0, fs, 0x10, (short)k.size(), buf);
}

// One batch of ops random changes: adds, rewrites, deletes and key
// changes, applied to m and, unless fs is null, to the database. The
// choices depend only on rng and m. False when a call of the library failed.
inline bool kvbatch(FS *fs, kvmodel *m, std::mt19937 *rng, int ops) {
    auto value = [&]() {
        std::string v(1 + (*rng)() % 200, ' ');
        bool runs = (*rng)() % 2 == 0;   // compressible or not
        for (size_t k = 0; k < v.size(); k++) v[k] = (char)('a' + (runs ? k / 16 : (*rng)()) % 26);
        return v;
    };
    auto newkey = [&]() {
        char b[17];
        std::string k;
        do {
            snprintf(b, sizeof b, "k%015u", (unsigned)((*rng)() % 1000000000u));
            k.assign(b, 16);
        } while (m->count(k));
        return k;
    };
    for (int i = 0; i < ops; i++) {
        unsigned r = (*rng)() % 10;
        if (m->empty() || r < 4) {
            std::string k = newkey(), v = value();
            (*m)[k] = v;
            if (fs == nullptr) continue;
            uint32_t rid = fsadd(0, fs, v.data(), (short)v.size(), 0x10);
            if (rid == 0 || !fsaddkey(0, fs, 0x10, rid, 16, k.data())) return false;
            continue;
        }
        auto it = std::next(m->begin(), (long)((*rng)() % m->size()));
        std::string k = it->first;
        uint32_t rid = fs ? kvfind(fs, k) : 0;
        if (fs && rid == 0) return false;
        if (r < 6) {
            std::string v = value();
            it->second = v;
            if (fs && !fswrite(0, fs, v.data(), (short)v.size(), rid)) return false;
        } else if (r < 8) {
            m->erase(it);
            if (fs && (!fsdeletekey(0, fs, 0x10, rid, 16, k.data()) || !fsdelete(0, fs, rid))) return false;
        } else {
            std::string v = it->second, nk = newkey();
            m->erase(k);
            (*m)[nk] = v;
            if (fs && (!fsdeletekey(0, fs, 0x10, rid, 16, k.data()) || !fsaddkey(0, fs, 0x10, rid, 16, nk.data())))
                return false;
        }
    }
    return true;
}

// How the database differs from m: empty when every key leads to its value,
// file 1 holds exactly m's records, and both checkers find nothing.
inline std::string kvdiff(FS *fs, const kvmodel &m) {
    char key[200], rec[1100];
    auto it = m.begin();
    size_t keys = 0;
    for (uint32_t rid = fsfirstkey(0, fs, 0x10, key); rid != 0; rid = fsnextkey(0, fs, 0x10, rid, fs->len - 1, key)) {
        if (it == m.end() || std::string(key, 16) != it->first) return "key " + std::string(key, 16) + " not expected";
        short n = fsread(0, fs, rid, rec);
        if (std::string(rec, (size_t)(n > 0 ? n : 0)) != it->second) return "value of " + it->first + " differs";
        ++it;
        keys++;
    }
    if (it != m.end()) return "key " + it->first + " missing";
    size_t recs = 0;
    for (uint32_t rid = fsfirst(0, fs, 0x10); rid != 0 && recs <= m.size(); rid = fsnext(0, fs, rid)) recs++;
    if (recs != m.size()) return std::to_string(recs) + " records, " + std::to_string(m.size()) + " expected";
    pmdb::FSDATA *d = pmdb::getfsdata(fs);
    if (pmdb::dbcheck(d, nullptr, nullptr) != 0) return "the record check finds problems";
    std::vector<uint8_t> seen(pmdb::keycheckmapbytes(d));
    pmdb::KCHECK c{};
    c.seen = seen.data();
    c.seenbytes = seen.size();
    if (pmdb::keycheck(d, &c) != 0) return std::string("the key check finds problems: ") + c.first;
    return "";
}

// The model after each of batches batches (index 0: empty), as kvbatch
// makes them from seed.
inline std::vector<kvmodel> kvstates(unsigned seed, int batches, int ops) {
    std::mt19937 rng(seed);
    std::vector<kvmodel> out(1);
    for (int b = 0; b < batches; b++) {
        out.push_back(out.back());
        kvbatch(nullptr, &out.back(), &rng, ops);
    }
    return out;
}

}  // namespace pmdbtest

#endif
