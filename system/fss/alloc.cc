// alloc.cc - choosing the block by which the file grows. Translation
// block m is block m * xblkfreq + 1; when the next block is one of them it
// is made first (all 256 slots free and chained: slot j holds 256m + j + 1)
// and the block after it is handed out.
#include "fss/alloc.h"

#include "fss/cache.h"
#include "fss/errors.h"

namespace pmdb {

uint32_t allocextendedblk(FSDATA *fsdata) {
    FSCB &cb = fsdata->fscb;
    uint32_t f = (uint32_t)(uint16_t)cb.xblkfreq;
    if (cb.lb + 1 > MAXBLOCK) {
        dodberror(1405);
        return 0;
    }
    if (cb.lb % f != 0) return cb.lb + 1;
    // A new translation block must leave room for the block it precedes.
    uint32_t m = (cb.lb + 1) / f;
    if ((uint64_t)256 * m > MAXSLOT || cb.lb + 2 > MAXBLOCK) {
        dodberror(cb.lb + 2 > MAXBLOCK ? 1405 : 1415);
        return 0;
    }
    FSBUFF *x = readblk(fsdata, cb.lb + 1);
    if (x == nullptr) {
        dodberror(1420);
        return 0;
    }
    for (uint32_t j = 0; j < 256; j++) x->xlate[j] = 256 * m + j + 1;
    return cb.lb + 1;
}

}  // namespace pmdb
