// fscb.h - the control block: reading it, marking it changed, and the
// exact content of a new database (shared by fscreatedatabase and the
// temporary database of fsopentemp).
#ifndef PMDB_FSS_FSCB_H
#define PMDB_FSS_FSCB_H

#include <stdint.h>

#include "fss/fsdata.h"

namespace pmdb {

constexpr int READFSCBTRIES = 3;   // failed control-block reads before giving up

// Reads block 0 into fsdata->fscb; 0 on failure (1380 seek, 9900 per failed
// read, at most READFSCBTRIES reads).
short readfscb(FSDATA *fsdata);
// Marks the control block changed and advances fschanged.
void changefscb(FSDATA *fsdata);
// May the cached state be used? Always 1 in this single-user build.
short dbchanged(FSDATA *fsdata);

// The control block of a new database: identification text, lb 2, fc[0] 2,
// every file empty with dupkeys 0xff00.
void newfscb(FSCB *cb, int16_t freq);
// Writes the three blocks of a new database at the start of fd. Returns 0
// when all were written, else the number (1, 2, 3) of the first that failed.
int writenewblocks(int fd, const FSCB *cb);

}  // namespace pmdb

#endif
