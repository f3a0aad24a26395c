// alloc.h - growth of the database file by its next block, and taking
// back the growth of a call that failed.
#ifndef PMDB_FSS_ALLOC_H
#define PMDB_FSS_ALLOC_H

#include <stdint.h>

#include "fss/fsdata.h"

namespace pmdb {

// Is blk a translation block (1, 1 + f, 1 + 2f, ...)?
inline bool isxlateblk(const FSDATA *fsdata, uint32_t blk) {
    uint32_t f = (uint32_t)(uint16_t)fsdata->fscb.xblkfreq;
    return blk >= 1 && (blk - 1) % f == 0;
}

// The number of the block a caller may take as a new data or key block:
// lb + 1, after first making the translation block that falls due there.
// The returned block is not read here; reading it grows the file. 0 on
// failure (1405 file full, 1415 slot space exhausted, 1420 read failed).
// A file whose control block claims more blocks than the file holds is
// never grown (1410 and a damage report).
uint32_t allocextendedblk(FSDATA *fsdata);

// What a changing call may grow: the last block and the chain heads as they
// were when it began.
struct GROWMARK {
    uint32_t lb;
    uint32_t fc[6];
};
GROWMARK growthmark(const FSDATA *fsdata);
// A call that fails takes back the blocks it added since mark, so that the
// file grows only by calls that succeed: when every added block is still
// only in the cache and holds nothing (an empty data block, or a
// translation block), and nothing of the file links to one, the buffers
// are emptied, lb is put back and chain heads that named them pass over
// them. Otherwise (a flush already wrote them, or a failure left one in
// use) the growth stays: the blocks are sound and found again later.
void undogrowth(FSDATA *fsdata, const GROWMARK &mark);

}  // namespace pmdb

#endif
