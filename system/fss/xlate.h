// xlate.h - record-id translation: the rid format, the translation blocks
// that bind each rid to the data block holding its record, the chain of
// free translation slots, and the walk from one rid of a logical file to
// the next or previous one.
//
// rid (32 bits):  28..31 logical file 1..15 | 8..27 translation block
//                 index m | 0..7 slot j. The low 28 bits are the slot
//                 number s = 256m + j; all files share one slot space.
// Translation block m is block m * xblkfreq + 1. It has no header: slot j
// is the little-endian uint32 at byte 4j.
//   in use:  file number in bits 28..31, data block number in bits 0..27
//   free:    0 in bits 28..31, the slot number of the next free slot
// FSCB.ftc heads the free chain. A new translation block m chains its own
// slots upward (slot j holds 256m + j + 1) and its slot 255 names slot 0 of
// block m + 1, which is made when the chain reaches it.
#ifndef PMDB_FSS_XLATE_H
#define PMDB_FSS_XLATE_H

#include <stdint.h>

#include "fss/fsdata.h"
#include "fss/pager.h"

namespace pmdb {

constexpr uint32_t NOSLOT = 0xffffffff;   // getxlate's failure value
constexpr uint32_t RIDFILE = 0xf0000000;  // file-number bits of a rid or slot
constexpr uint32_t RIDSLOT = 0x0fffffff;  // slot-number bits of a rid

inline uint32_t ridfile(uint32_t rid) { return rid >> 28; }
// The block number of translation block m, and the one that holds slot s.
// Saturates at 0xffffffff (beyond any file) for a damaged xblkfreq.
inline uint32_t xlateblkof(const FSDATA *fsdata, uint32_t m) {
    uint64_t b = (uint64_t)m * (uint16_t)fsdata->fscb.xblkfreq + 1;
    return b > 0xffffffffu ? 0xffffffffu : (uint32_t)b;
}
inline uint32_t slotxblk(const FSDATA *fsdata, uint32_t rid) {
    return xlateblkof(fsdata, (rid & RIDSLOT) >> 8);
}
// Where rid's translation slot lies in the store's image of its block, or
// null when the store does not hold that block. For prefetching only: the
// slot is neither checked nor counted as a use.
inline const uint8_t *heldslot(const FSDATA *fsdata, uint32_t rid) {
    const uint8_t *x = pagerimage(fsdata, slotxblk(fsdata, rid));
    return x == nullptr ? nullptr : x + 4 * (rid & 0xff);
}

// The data block holding the record rid, or 0 (1345): the file number is
// 0, the translation block lies beyond the file or cannot be read, the slot
// is free or owned by another file, or it names no data block of the file.
uint32_t ridtoblk(FSDATA *fsdata, uint32_t rid);

// Binds the head of the free chain to data block blk for the file in the
// high four bits of fid and returns its slot number (the new rid without
// its file bits); NOSLOT on failure (1357, 1358, 1360, 1365). The file may
// grow up to the head slot's translation block; every block added on the
// way lies above the FSCB.lb seen before the call.
uint32_t getxlate(FSDATA *fsdata, uint32_t blk, uint32_t fid);

// Binding a chosen slot (fsaddat). The free chain is singly linked, so a
// slot in its middle is taken out by rewriting the link that names it:
// FSCB.ftc (link NOSLOT) or the free slot before it. findslotlink finds
// that link without changing anything; takeslot grows the file to the
// slot's translation block when it lies beyond the file, unlinks the slot
// and binds it. A slot beyond the file is reached through the chain's way
// out of the file, which names the first slot of the next translation
// block to be made: growing the file chains the new blocks' slots upward
// from there, so the wanted slot then lies further down the same chain.
//
// 1 with *link set: the slot is free and *link names it, or the slot lies
// beyond the file and *link is the chain's way out; 0: the slot is in use;
// -1: the chain cannot be followed to it (damage reported).
int findslotlink(FSDATA *fsdata, uint32_t rid, uint32_t *link);
// Takes rid's slot (found through link by findslotlink, nothing on the
// chain changed since) and binds it to blk for rid's file. The slot number,
// or NOSLOT on failure: 1590 the file cannot grow to the slot's translation
// block, 1560 the chain cannot be followed, 1595 a translation block cannot
// be marked changed (the chain is put back as it was).
uint32_t takeslot(FSDATA *fsdata, uint32_t link, uint32_t blk, uint32_t rid);

// Rebinds rid to data block blk, keeping its file bits; 0 on failure
// (1366 beyond the file, 1367, 1368).
short changexlate(FSDATA *fsdata, uint32_t blk, uint32_t rid);

// Puts rid's slot at the head of the free chain; 0 on failure (1350, 1355).
short freexlate(FSDATA *fsdata, uint32_t rid);

// Undoes freexlate(rid) while rid's slot still heads the free chain: the
// slot names blk again. 0 when it no longer heads the chain. Records
// nothing (it runs on failure paths that record their own number).
short rebindxlate(FSDATA *fsdata, uint32_t rid, uint32_t blk);

// The next (previous) rid of rid's logical file in slot order; 0 at the
// end (start) of the file, for file number 0, or on failure (1320, 1325;
// 1330, 1335). Neither needs rid itself to be in use.
uint32_t nextrid(FSDATA *fsdata, uint32_t rid);
uint32_t prevrid(FSDATA *fsdata, uint32_t rid);

}  // namespace pmdb

#endif
