// pager.h - the layer under the sixteen buffers: a store of block images in
// memory and the commit that decides when bytes reach the database file.
//
// The sixteen buffers (cache.cc) decide what the library does; this layer
// only decides when. A buffer that misses is filled from the store (an
// index by block number to an image in an arena; no system call once a
// block was read or written). A flush between unlocks hands the changed buffers
// here and nothing reaches the file; the commit at unlock, fsflush and close
// writes them.
//
// Why a store and not a read-only mapping of the file: another process may
// cut the file (a rollback does), and touching a mapped page past the new
// end kills the reader with SIGBUS; the library promises not to crash on a
// bad file. Measured at a million entries (a 140 MB file, random lookups),
// a buffer miss served from the store cost about 0.2 us, nearly all of it
// the 1 KiB copy out of memory, against about 1 us for the pread it
// replaced; reading calls now read the store's image in place (cache.h).
// The index by block number (4 bytes per block up to the highest held)
// beat a hash table, whose probes missed the processor's cache. The images
// lie in huge pages where the system has them (random lookups a fifth
// faster); a large file is read into the store a window of blocks at a
// time (pager.cc, readahead). Changed blocks are written with pwritev: a
// writable mapping measured no faster.
//
// Invariants
//  (1) No block of the database file that existed when the transaction
//      began is overwritten before its original image is in the journal on
//      disk (synced first in mode 1); the journal also holds the file's
//      length, so blocks added past it are cut away by a rollback.
//  (2) The journal is ended only after every changed block and the control
//      block are written (and the database synced in mode 1).
//  (3) A commit writes every changed block once, in ascending order, runs of
//      adjacent blocks in one call (a run never mixes blocks that were in the
//      file with new ones, so a failure keeps its number), the control block
//      last.
//  (4) A hot journal is rolled back before anything reads the file
//      (writerlock.cc, at open).
//  (5) An image in the store is the block's current content: a clean one
//      equals the file, a changed one is newer. A changed image is never
//      evicted; it leaves only by being written (spill, commit) or dropped
//      (fsrollback). Clean images are evicted by a clock sweep.
//  (6) The store holds at most maxslots images, with at most maxslots
//      changed; the journal keeps at most a quarter of that waiting in
//      memory. Past the bound, changed blocks go to the file early, after
//      their originals (invariant 1): a crash still rolls back the whole lock.
//  (7) Memory that cannot be had never fails a call: the store serves what
//      it holds, reads the rest from the file, and writes a change it cannot
//      hold through the journal at once.
//  (8) Images do not move while held.
//  (9) A lent image (pagerlend: a buffer above reads it in place instead of
//      holding a copy; it may be a change not yet written) is never evicted
//      or changed while lent: a buffer takes a copy of it before its block
//      is changed or handed down again. So the pointer stays valid until the
//      buffer lets it go; at most sixteen per open database are lent. Before the store drops its
//      images (fssetcache, a rollback, close) the buffers take copies
//      (ownbuffs, cache.h).
//
// States of a transaction (the changes since the last commit), and the
// function that moves between them:
//
//   CLEAN ---pagerput---> CHANGED (changes and journal images in memory)
//   CHANGED ---spill / jflush---> JOURNALED (journal on disk; the file may
//                                  already hold some changed blocks)
//   CHANGED, JOURNALED ---pagercommit: jflush, writeruns, control block,
//                          sync---> COMMITTED ---jend---> CLEAN
//   CHANGED ---pagerrollback (drop the store)---> CLEAN
//   JOURNALED ---pagerrollback (jrestore)---> CLEAN
//   a failed commit stays JOURNALED: the next commit finishes it, fsrollback
//   undoes it, a crash leaves it to jrecover at the next open.
#ifndef PMDB_FSS_PAGER_H
#define PMDB_FSS_PAGER_H

#include <stddef.h>
#include <stdint.h>

#include "fss/format.h"
#include "fss/journal.h"

namespace pmdb {

struct FSDATA;

constexpr uint32_t DEFAULTCACHEKIB = 256 * 1024;   // 256 MiB of block images
constexpr uint32_t CHUNKSLOTS = 2048;               // images per arena chunk (2 MiB)
constexpr uint32_t NOIMAGE = 0xffffffff;

// What the store knows of one image; the images themselves lie apart, 1024
// bytes each, so that each is exactly sixteen cache lines.
struct PGSLOT {
    uint32_t blk;      // NOBLOCK while free
    uint32_t next;     // link in the changed list or the free list
    uint32_t jtxn;     // transaction whose journal holds this block's original
    uint8_t dirty;     // changed since written
    uint8_t isnew;     // beyond the file when it was changed (1300/1305 on failure)
    // The clock bit, the lent flag and the mark live in the index entry of
    // the block (pager.cc), which a lookup touches anyway.
};

// CHUNKSLOTS slots: their heads and their images, each from plat_alloc.
struct PGCHUNK {
    PGSLOT *heads;
    uint8_t *imgs;     // raw, moved up to a cache line
    uint8_t *raw;
};

struct PAGER {
    PGCHUNK *chunks;       // arena: slot i is in chunks[i / CHUNKSLOTS], at i % CHUNKSLOTS
    uint32_t chunkcap;     // entries of chunks
    uint32_t nslots;       // slots made
    uint32_t maxslots;     // the bound, in images
    uint32_t *index;       // by block number: its slot + 1, 0 = not held
    uint32_t indexsize;    // entries of index (grows to the highest block held)
    uint32_t freelist;     // free slots, linked by next
    uint32_t hand;         // clock hand
    uint32_t changed;      // changed slots, linked by next
    uint32_t nchanged;
    char nomem;            // an allocation failed: no more tries until the commit
    char intxn;            // a transaction has begun (journal.origlen is set)
    char cbpending;        // the control block was handed in and is due
    char broken;           // a rollback could not be finished: no commits
    char endpending;       // committed, but the journal could not be ended yet
    int16_t syncmode;      // 0 no fsync, 1 fsync at commit
    uint32_t txn;          // number of the transaction, from 1
    uint32_t cbjtxn;       // transaction whose journal holds block 0's original
    uint8_t *rabuf;        // the read-ahead window (pager.cc), from plat_alloc when first wanted
    uint32_t lowchanged;   // lowest block held changed (while nchanged > 0)
    uint32_t highchanged;  // highest block changed in this transaction
    uint8_t cbimg[BLKSIZE];   // block 0 as last committed by this open
    char cbvalid;
    int16_t writer;        // entry in the writer registry, -1 none
    JOURNAL journal;
};

// Files of at least this many blocks (when opened) are read into the store
// a window of 64 blocks at a time; smaller ones block by block. A variable
// only so that tests can reach the windows with small files.
extern uint32_t raheadminblocks;

// Empty store, default bound, mode 0.
void pagerinit(FSDATA *fsdata);
// Frees the store and closes the journal (removing an ended one when this
// is the last writable open of the file in the process, or when discard).
void pagerclose(FSDATA *fsdata, bool discard);

// Fills dst with blk: 0 done, 1 the seek failed, 2 the read failed, 3
// nothing to read (the block lies past the end of the file). *mark is the
// held image's mark, 0 for a block read from the file.
int pagerread(FSDATA *fsdata, uint32_t blk, uint8_t *dst, uint8_t *mark);
// Where the held image of blk lies, or null; changes nothing (for
// prefetching).
const uint8_t *pagerimage(const FSDATA *fsdata, uint32_t blk);
// Is blk held? Changes nothing (not even the clock bit).
bool pagerholds(const FSDATA *fsdata, uint32_t blk);
// Lends the held image of blk to a buffer (the clock bit set, as a read
// sets it): null when not held. *mark is its mark.
const uint8_t *pagerlend(FSDATA *fsdata, uint32_t blk, uint8_t *mark);
// The buffer that borrowed blk's image no longer reads it.
void pagerunlend(FSDATA *fsdata, uint32_t blk);
// Sets the mark of blk's held image, if held.
void pagersetmark(FSDATA *fsdata, uint32_t blk, uint8_t mark);
// Every held image whose mark is atleast or more gets mark 0.
void pagerforgetmarks(FSDATA *fsdata, uint8_t atleast);
// Marks (0..7) belong to the layers above; a block read from the file has
// mark 0.
// Takes a changed block and its mark. 1, or 0 when it could not be held
// and writing it out failed (1290, 1295, 1300, 1305, or a journal number).
short pagerput(FSDATA *fsdata, uint32_t blk, const uint8_t *img, bool isnew, uint8_t mark);
// Is blk changed and not yet written? isnew tells whether it is past the file.
bool pagerchanged(FSDATA *fsdata, uint32_t blk, bool *isnew);
// Commits: the journal, every changed block, then cb (the control block,
// null when unchanged), sync, end of the journal. 0 on failure (1290..1315,
// journal numbers); what was not written stays changed.
short pagercommit(FSDATA *fsdata, const void *cb);
// Drops every change since the last commit, restoring the file from the
// journal when blocks went out early. 0 on failure.
short pagerrollback(FSDATA *fsdata);
// Blocks the database has, on disk or held changed here: the real bound
// for walks that must not trust a damaged lb.
uint64_t pagerblocks(FSDATA *fsdata);

}  // namespace pmdb

#endif
