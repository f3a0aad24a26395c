// rectestutil.h - helpers the record tests share: adding a record from a
// byte vector and running the consistency check with each problem reported
// as a failure.
#ifndef PMDB_RECTESTUTIL_H
#define PMDB_RECTESTUTIL_H

#include <stdint.h>

#include <vector>

#include "fss/dbcheck.h"
#include "testutil.h"

namespace pmdbtest {

typedef std::vector<uint8_t> bytes;

inline uint32_t add(FS *fs, const bytes &b, uint8_t fid) { return fsadd(0, fs, b.data(), (short)b.size(), fid); }

// Problems the consistency check finds, each one (up to what the result
// holds) reported as a failure naming its block.
inline uint32_t checkdb(FS *fs) {
    pmdb::DBCHECKRESULT r{};
    uint32_t n = pmdb::dbcheck(pmdb::getfsdata(fs), pmdb::dbcheckcollect, &r);
    for (uint32_t k = 0; k < n && k < (uint32_t)pmdb::DBCHECKMAX; k++)
        ADD_FAILURE() << "block " << r.blk[k] << ": " << r.what[k];
    return n;
}

// The record content fsrecord_test and dbcheck_test share: a record stored
// in exactly c bytes (c >= 1). record_test and xlate_test fill theirs with
// patterns of their own under the same name, so this one sits in a nested
// namespace that their `using namespace pmdbtest` does not bring in.
namespace spread {
inline bytes storedas(size_t c, int seed = 0) {
    bytes b(c - 1);
    for (size_t k = 0; k < b.size(); k++) b[k] = (uint8_t)((k * 3 + (size_t)seed * 11) % 239 + 1);
    return b;
}
}  // namespace spread

}  // namespace pmdbtest

#endif
