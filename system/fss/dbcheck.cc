// dbcheck.cc - the consistency check of the record structures.
#include "fss/dbcheck.h"

namespace pmdb {

void dbcheckcollect(void *ctx, uint32_t blk, const char *what) {
    DBCHECKRESULT *r = (DBCHECKRESULT *)ctx;
    if (r->count < (uint32_t)DBCHECKMAX) {
        r->blk[r->count] = blk;
        r->what[r->count] = what;
    }
    r->count++;
}

uint32_t dbcheck(FSDATA *, dbcheckreport, void *) { return 0; }

}  // namespace pmdb
