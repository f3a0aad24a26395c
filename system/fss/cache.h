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
//  8. Reading a block in place (viewblk) and copying it (readblk) decide
//     the same: the buffers, their use order, the victims, the flushes and
//     every result are those of readblk alone. Only the image's place
//     differs, and readblk copies a borrowed image in before a change.
#ifndef PMDB_FSS_CACHE_H
#define PMDB_FSS_CACHE_H

#include <stdint.h>
#include <string.h>

#include "fss/fsdata.h"

namespace pmdb {

// Process-wide counters, only ever incremented.
extern uint32_t hits, miss, bf, fscbf;

// The buffer number holding blk, -1 none. Changes nothing.
inline int findbuff(const FSDATA *fsdata, uint32_t blk) {
    // All sixteen compared four at a time, without a branch; a block is
    // held by one buffer at most.
    typedef uint32_t V4 __attribute__((vector_size(16)));
    static_assert(NUMBUFFS == 16, "four vectors of four");
    V4 a, b, c, d;
    memcpy(&a, fsdata->bufblk, 16);
    memcpy(&b, fsdata->bufblk + 4, 16);
    memcpy(&c, fsdata->bufblk + 8, 16);
    memcpy(&d, fsdata->bufblk + 12, 16);
    V4 eq = (a == blk) & (V4){1, 2, 4, 8};
    eq |= (b == blk) & (V4){16, 32, 64, 128};
    eq |= (c == blk) & (V4){256, 512, 1024, 2048};
    eq |= (d == blk) & (V4){4096, 8192, 16384, 32768};
    unsigned m = eq[0] | eq[1] | eq[2] | eq[3];
    return m == 0 ? -1 : __builtin_ctz(m);
}

// Fresh buffers: none holds a block, seq = 0..15.
void initbuffs(FSDATA *fsdata);
// The buffer holding blk, now the most recently used; null on failure
// (1390 beyond the next block to append, 1395 seek, 1400 read, 1385
// the changed buffer to be reused cannot be handed to the pager).
FSBUFF *readblk(FSDATA *fsdata, uint32_t blk);
// readblk for a caller that only reads the block: the same lookup, with
// the same effect on the buffers, their use order, the victim and the
// counters, but a block the store holds is read there in place (imgof)
// instead of being copied into the buffer. The image stays valid as long
// as a buffer from readblk would (until the buffer is reused).
const FSBUFF *viewblk(FSDATA *fsdata, uint32_t blk);
inline const uint8_t *imgof(const FSBUFF *b) { return b->img; }
// Marks of an image (FSBUFF.checked, kept by the store with its image):
// its entries were walked and found sound as a data block, as a key block,
// or also found in strictly ascending order (kbordered), and also all of
// one size. A change keeps entries sound but may break the order: readblk,
// which precedes every change, lowers an order mark to MARKKEY.
constexpr char MARKDATA = 1;
constexpr char MARKKEY = 2;
constexpr char MARKORDERED = 3;
constexpr char MARKUNIFORM = 4;
inline bool markedkey(char m) { return m == MARKKEY || m == MARKORDERED || m == MARKUNIFORM; }
// Sets b's mark; the store keeps it with the image when b reads the image
// in place.
void setchecked(FSDATA *fsdata, const FSBUFF *b, char kind);
// Forgets every MARKKEY and MARKORDERED, in the buffers and the store (the
// comparators they were found under have changed).
void forgetkeymarks(FSDATA *fsdata);
// The buffer of a block just viewed, for a change: a borrowed image is
// copied in (what readblk of the same block would do, without a lookup).
FSBUFF *ownbuff(FSDATA *fsdata, const FSBUFF *b);
// The same for a change that sets the mark itself (an insertion that keeps
// the block in order).
FSBUFF *ownbuffkept(FSDATA *fsdata, const FSBUFF *b);
// Every buffer that reads the store's image in place takes a copy (before
// the store lets its images go).
void ownbuffs(FSDATA *fsdata);
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
