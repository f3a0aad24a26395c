// cache.h - the sixteen-buffer block cache of an open database.
//
// Invariants:
//  1. A block number is held by at most one buffer at a time.
//  2. seq holds the buffer numbers 0..15, each once, least recently used
//     first. A buffer returned by readblk is the most recently used.
//  3. A change is made in a buffer and only marked (writeblk). A flush
//     between unlocks (a changed buffer to be reused, the 2001st change)
//     hands every changed buffer and the control block to the pager below
//     (pager.h) and nothing reaches the file; the flush at unlock, fsflush
//     and close also commits: changed blocks in ascending block order,
//     then, last, the control block.
//  4. A block past the end of the file on disk is created in a buffer
//     (extblk) and reaches the file when committed, at its own offset.
//  5. No code keeps a buffer pointer across a call that may read another
//     block: it takes the buffer again by block number (a cache hit). So
//     nothing depends on how long a block stays resident.
//  6. A read-only database never writes: the flush returns 1 and leaves
//     the buffers marked.
//  7. A change is never dropped: a block whose write fails stays marked
//     for the next flush, and a changed buffer is reused only after the
//     pager took it.
#ifndef PMDB_FSS_CACHE_H
#define PMDB_FSS_CACHE_H

#include <stdint.h>

#include "fss/fsdata.h"

namespace pmdb {

// Process-wide counters, only ever incremented.
extern uint32_t hits, miss, bf, fscbf;

// Fresh buffers: none holds a block, seq = 0..15.
void initbuffs(FSDATA *fsdata);
// The buffer holding blk, now the most recently used; null on failure
// (1390 beyond the next block to append, 1395 seek, 1400 read, 1385
// the changed buffer to be reused cannot be handed to the pager).
FSBUFF *readblk(FSDATA *fsdata, uint32_t blk);
// Marks blk changed; 0 on failure (1370, 1375).
short writeblk(FSDATA *fsdata, uint32_t blk);
// The flush between unlocks: hands every changed buffer, in ascending
// block order, and the control block to the pager. 0 when the pager could
// not hold a block and writing it out failed (1290..1305, journal numbers).
short handbuffs(FSDATA *fsdata);
// The flush that commits (unlock, fsflush, close): hands everything over,
// then the pager writes every changed block and the control block; 0 on
// failure (1290, 1295, 1300, 1305, 1310, 1315, journal numbers), with every
// buffer whose block was not written marked again.
short flushbuffs(FSDATA *fsdata);
void makelast(int16_t *seq, int16_t sn);
// Gives buff the new block lb + 1 as an empty data block.
void extendedblk(FSDATA *fsdata, FSBUFF *buff);

}  // namespace pmdb

#endif
