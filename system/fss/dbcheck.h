// dbcheck.h - the consistency check of an open database's records: every
// live translation slot names a data block that holds its record (and the
// record unpacks), every entry of every data block is named by its slot,
// every free-space chain is acyclic with each block on at most one chain
// and carrying that chain's number, and frid/lrid are exactly the lowest
// and highest live rid of every logical file.
//
// It reads through the cache like any other call (so it sees changes not
// yet flushed) and changes nothing; it never reads past FSCB.lb, allocates
// nothing, and every walk is bounded by the number of blocks, so any file
// content gives a report, never a crash or a hang.
#ifndef PMDB_FSS_DBCHECK_H
#define PMDB_FSS_DBCHECK_H

#include <stdint.h>

#include "fss/fsdata.h"

namespace pmdb {

// One problem: the block it lies in (0 for the control block) and a short
// static text saying what is wrong.
typedef void (*dbcheckreport)(void *ctx, uint32_t blk, const char *what);

// A fixed-size collector for callers that want no callback: the first
// DBCHECKMAX problems are kept, count has them all.
constexpr int DBCHECKMAX = 32;
struct DBCHECKRESULT {
    uint32_t count;
    uint32_t blk[DBCHECKMAX];
    const char *what[DBCHECKMAX];
};
void dbcheckcollect(void *ctx, uint32_t blk, const char *what);

// Runs the check; report (may be null) is called once per problem. Returns
// the number of problems, 0 when the database is consistent.
uint32_t dbcheck(FSDATA *fsdata, dbcheckreport report, void *ctx);

}  // namespace pmdb

#endif
