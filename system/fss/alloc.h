// alloc.h - growth of the database file by its next block.
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
uint32_t allocextendedblk(FSDATA *fsdata);

}  // namespace pmdb

#endif
