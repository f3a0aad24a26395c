// pager.cc - the block store, the hand-over of changed blocks, spills, the
// commit and the rollback. Invariants and states are in pager.h.
#include "fss/pager.h"

#include <string.h>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fsdata.h"
#include "fss/writerlock.h"
#include "platform/platform.h"

namespace pmdb {

namespace {

constexpr uint32_t MAXSLOTS = MAXBLOCK + 1;   // a store never needs more than the file can have

constexpr size_t CHUNKBYTES = (size_t)CHUNKSLOTS * BLKSIZE;
constexpr uint32_t RAHEAD = 64;                 // blocks per read-ahead window (a power of 2)

constexpr uint32_t FIRSTINDEX = 1024;

inline PGSLOT *slotat(const PAGER *pg, uint32_t i) { return &pg->chunks[i / CHUNKSLOTS].heads[i % CHUNKSLOTS]; }
inline uint8_t *imgat(const PAGER *pg, uint32_t i) {
    return pg->chunks[i / CHUNKSLOTS].imgs + (size_t)(i % CHUNKSLOTS) * BLKSIZE;
}

// An index entry holds what a lookup needs, so that a block served from
// the store costs one touch of the index and none of the slot's head:
//   bits 0..22   the slot + 1 (0: not held)
//   bit 23       the clock bit: used since the hand last passed
//   bit 24       lent to a buffer (invariant 9)
//   bits 25..27  the mark of the layers above (0 when loaded from the file)
//   bit 31       changed: the commit finds the changed blocks in block
//                order by running down the index, without touching slots
constexpr uint32_t SLOTBITS = 0x007fffffu;
constexpr uint32_t REFBIT = 0x00800000u;
constexpr uint32_t LENTBIT = 0x01000000u;
constexpr int MARKSHIFT = 25;
constexpr uint32_t MARKBITS = 0x0e000000u;
constexpr uint32_t CHANGEDBIT = 0x80000000u;
static_assert(MAXSLOTS <= SLOTBITS, "a slot number + 1 fits its bits");

uint32_t lookup(const PAGER *pg, uint32_t blk) {
    return blk < pg->indexsize ? (pg->index[blk] & SLOTBITS) - 1 : NOIMAGE;   // 0 - 1 is NOIMAGE
}

inline uint8_t markof(uint32_t e) { return (uint8_t)((e & MARKBITS) >> MARKSHIFT); }
inline uint32_t withmark(uint32_t e, uint8_t mark) {
    return (e & ~MARKBITS) | (((uint32_t)mark << MARKSHIFT) & MARKBITS);
}

void setchanged(PAGER *pg, PGSLOT *p, bool changed) {
    p->dirty = changed ? 1 : 0;
    if (changed) pg->index[p->blk] |= CHANGEDBIT;
    else pg->index[p->blk] &= ~CHANGEDBIT;
}

// Enters blk in the index, growing it to cover blk; false when it cannot
// grow (no memory: the image is then not kept).
bool indexinsert(PAGER *pg, uint32_t blk, uint32_t slot) {
    if (blk >= pg->indexsize) {
        if (blk > MAXBLOCK || pg->nomem) return false;
        uint32_t size = pg->indexsize == 0 ? FIRSTINDEX : pg->indexsize;
        while (size <= blk) size *= 2;
        if (size > MAXSLOTS) size = MAXSLOTS;
        uint32_t *ni = (uint32_t *)plat_alloc((size_t)size * sizeof *ni);
        if (ni == nullptr) {
            pg->nomem = 1;
            return false;
        }
        if (pg->indexsize) memcpy(ni, pg->index, (size_t)pg->indexsize * sizeof *ni);
        memset(ni + pg->indexsize, 0, (size_t)(size - pg->indexsize) * sizeof *ni);
        plat_free(pg->index);
        pg->index = ni;
        pg->indexsize = size;
    }
    pg->index[blk] = (slot + 1) | REFBIT;
    return true;
}

// One more slot from memory, under the bound; NOIMAGE when the bound is
// reached or memory cannot be had (then no more tries until the commit).
uint32_t growslot(PAGER *pg) {
    if (pg->nomem || pg->nslots >= pg->maxslots) return NOIMAGE;
    uint32_t c = pg->nslots / CHUNKSLOTS;
    if (pg->nslots % CHUNKSLOTS == 0) {
        if (c >= pg->chunkcap) {
            uint32_t cap = pg->chunkcap == 0 ? 16 : pg->chunkcap * 2;
            PGCHUNK *nc = (PGCHUNK *)plat_alloc(cap * sizeof *nc);
            if (nc == nullptr) goto nomem;
            if (pg->chunkcap) memcpy(nc, pg->chunks, pg->chunkcap * sizeof *nc);
            plat_free(pg->chunks);
            pg->chunks = nc;
            pg->chunkcap = cap;
        }
        PGSLOT *heads = (PGSLOT *)plat_alloc(CHUNKSLOTS * sizeof(PGSLOT));
        if (heads == nullptr) goto nomem;
        // A chunk is one huge page where the system has them: at a million
        // entries random lookups ran a fifth faster than on small pages.
        // Images start on a cache line: each is exactly sixteen lines.
        uint8_t *raw = (uint8_t *)plat_allocpages(CHUNKBYTES);
        if (raw == nullptr) {
            plat_free(heads);
            goto nomem;
        }
        pg->chunks[c] = PGCHUNK{heads, raw, raw};
    }
    return pg->nslots++;
nomem:
    pg->nomem = 1;
    return NOIMAGE;
}

// A slot for a new image: a free one, a new one, or a clean one evicted by
// the clock; NOIMAGE when every slot holds a change.
uint32_t getslot(PAGER *pg) {
    uint32_t s = pg->freelist;
    if (s != NOIMAGE) {
        pg->freelist = slotat(pg, s)->next;
        return s;
    }
    s = growslot(pg);
    if (s != NOIMAGE) return s;
    for (uint32_t steps = 0; steps < 2 * pg->nslots; steps++) {
        if (pg->hand >= pg->nslots) pg->hand = 0;
        uint32_t i = pg->hand++;
        PGSLOT *p = slotat(pg, i);
        if (p->dirty || p->blk == NOBLOCK) continue;
        uint32_t &e = pg->index[p->blk];
        if (e & LENTBIT) continue;
        if (e & REFBIT) {
            e &= ~REFBIT;
            continue;
        }
        e = 0;
        p->blk = NOBLOCK;
        return i;
    }
    return NOIMAGE;
}

// A slot that costs no other image: a free one or a new one.
uint32_t spareslot(PAGER *pg) {
    uint32_t s = pg->freelist;
    if (s != NOIMAGE) {
        pg->freelist = slotat(pg, s)->next;
        return s;
    }
    return growslot(pg);
}

// Puts img in slot s as blk; null (the slot back on the free list) when
// the index cannot take blk. used: the clock bit is set (a block read
// ahead of its use has it clear, and goes first when room is wanted).
PGSLOT *place(PAGER *pg, uint32_t s, uint32_t blk, const uint8_t *img, bool used = true) {
    PGSLOT *p = slotat(pg, s);
    if (!indexinsert(pg, blk, s)) {
        p->blk = NOBLOCK;
        p->next = pg->freelist;
        pg->freelist = s;
        return nullptr;
    }
    p->blk = blk;
    p->next = NOIMAGE;
    p->jtxn = 0;
    p->dirty = 0;
    p->isnew = 0;
    if (!used) pg->index[blk] &= ~REFBIT;
    memcpy(imgat(pg, s), img, BLKSIZE);
    return p;
}

// Sorts the changed list by block number (a merge sort on the links; no
// memory needed).
uint32_t mergelists(PAGER *pg, uint32_t a, uint32_t b) {
    uint32_t head = NOIMAGE, *tail = &head;
    while (a != NOIMAGE && b != NOIMAGE) {
        uint32_t *from = slotat(pg, a)->blk < slotat(pg, b)->blk ? &a : &b;
        *tail = *from;
        tail = &slotat(pg, *from)->next;
        *from = *tail;
    }
    *tail = a != NOIMAGE ? a : b;
    return head;
}

void sortchanged(PAGER *pg) {
    // Dense changes (a batch over a file that fits the store) are picked
    // up in order from the index; sparse ones are merge-sorted.
    uint32_t span = pg->highchanged - pg->lowchanged + 1;
    if (pg->nchanged > 0 && span / 128 <= pg->nchanged && pg->highchanged < pg->indexsize) {
        uint32_t head = NOIMAGE, *tail = &head;
        for (uint32_t b = pg->lowchanged; b <= pg->highchanged; b++) {
            uint32_t e = pg->index[b];
            if ((e & CHANGEDBIT) == 0) continue;
            *tail = (e & SLOTBITS) - 1;
            tail = &slotat(pg, *tail)->next;
        }
        *tail = NOIMAGE;
        pg->changed = head;
        return;
    }
    uint32_t bins[33];
    for (uint32_t &b : bins) b = NOIMAGE;
    int top = 0;
    for (uint32_t x = pg->changed; x != NOIMAGE;) {
        uint32_t next = slotat(pg, x)->next;
        slotat(pg, x)->next = NOIMAGE;
        int k = 0;
        for (; k < 32 && bins[k] != NOIMAGE; k++) {
            x = mergelists(pg, bins[k], x);
            bins[k] = NOIMAGE;
        }
        bins[k] = x;
        if (k >= top) top = k + 1;
        x = next;
    }
    uint32_t all = NOIMAGE;
    for (int k = 0; k < top; k++) all = mergelists(pg, bins[k], all);
    pg->changed = all;
}

// Writes the changed slots in ascending order, each run of adjacent blocks
// of one kind (in the file before, or new) in one call. A failed run and
// everything after it stay changed.
short writeruns(FSDATA *fsdata) {
    PAGER *pg = &fsdata->pager;
    sortchanged(pg);
    platiov iov[PLATIOVMAX];
    while (pg->changed != NOIMAGE) {
        const PGSLOT *first = slotat(pg, pg->changed);
        int n = 0;
        for (uint32_t s = pg->changed; s != NOIMAGE && n < PLATIOVMAX; n++) {
            const PGSLOT *p = slotat(pg, s);
            if (p->blk != first->blk + (uint32_t)n || p->isnew != first->isnew) break;
            iov[n] = platiov{imgat(pg, s), BLKSIZE};
            s = p->next;
        }
        uint64_t off = (uint64_t)first->blk * BLKSIZE;
        harderrno = 0;
        if (plat_seek(fsdata->fsp, off) != 0 || harderrno) {
            dodberror(first->isnew ? 1300 : 1290);
            return 0;
        }
        if (plat_pwritev(fsdata->fsp, iov, n, off) != (long)n * (long)BLKSIZE || harderrno) {
            dodberror(first->isnew ? 1305 : 1295);
            return 0;
        }
        for (int k = 0; k < n; k++) {
            PGSLOT *p = slotat(pg, pg->changed);
            pg->changed = p->next;
            p->next = NOIMAGE;
            setchanged(pg, p, false);
            p->isnew = 0;
            pg->nchanged--;
        }
    }
    return 1;
}

// Changed blocks go to the file before the commit, their originals first.
short spill(FSDATA *fsdata) {
    if (fsdata->pager.nchanged == 0) return 1;
    return jflush(fsdata) && writeruns(fsdata);
}

// The block as it is in the file (a short last block is zero-filled), for
// the journal: a step of journalling, counted and failed as one.
short readorig(FSDATA *fsdata, uint32_t blk, uint8_t *out) {
    harderrno = 0;
    long n = plat_jpread(fsdata->fsp, out, BLKSIZE, (uint64_t)blk * BLKSIZE);
    if (n < 0 || harderrno) {
        dodberror(ERR_JORIG);
        return 0;
    }
    memset(out + n, 0, BLKSIZE - (size_t)n);
    return 1;
}

// The first change since the last commit notes the file's length: blocks
// past it need no original, and a rollback cuts the file back to it.
short txnbegin(FSDATA *fsdata) {
    PAGER *pg = &fsdata->pager;
    if (pg->intxn) return 1;
    if (pg->endpending) {
        if (!jend(fsdata)) return 0;
        pg->endpending = 0;
    }
    int64_t size = plat_filesize(fsdata->fsp);
    if (size < 0) {
        dodberror(ERR_JORIG);
        return 0;
    }
    pg->journal.origlen = (uint64_t)size;
    pg->intxn = 1;
    return 1;
}

void txnend(PAGER *pg) {
    if (++pg->txn == 0) {
        // After 2^32 transactions the numbers start again: no image may
        // look journaled by a transaction of the past.
        pg->txn = 1;
        for (uint32_t s = 0; s < pg->nslots; s++) slotat(pg, s)->jtxn = 0;
    }
    pg->intxn = 0;
    pg->nomem = 0;
    pg->highchanged = 0;
    pg->cbjtxn = 0;
}

// A change the store cannot hold goes straight to the file, after the
// journal.
short writeone(FSDATA *fsdata, uint32_t blk, const uint8_t *img, bool isnew) {
    if (!jflush(fsdata)) return 0;
    uint64_t off = (uint64_t)blk * BLKSIZE;
    harderrno = 0;
    if (plat_seek(fsdata->fsp, off) != 0 || harderrno) {
        dodberror(isnew ? 1300 : 1290);
        return 0;
    }
    if (plat_pwrite(fsdata->fsp, img, BLKSIZE, off) != (long)BLKSIZE || harderrno) {
        dodberror(isnew ? 1305 : 1295);
        return 0;
    }
    return 1;
}

void freestore(PAGER *pg) {
    for (uint32_t c = 0; c * CHUNKSLOTS < pg->nslots; c++) {
        plat_free(pg->chunks[c].heads);
        plat_free(pg->chunks[c].raw);
    }
    plat_free(pg->chunks);
    plat_free(pg->index);
    plat_free(pg->rabuf);
    pg->rabuf = nullptr;
    pg->chunks = nullptr;
    pg->chunkcap = 0;
    pg->nslots = 0;
    pg->index = nullptr;
    pg->indexsize = 0;
    pg->freelist = NOIMAGE;
    pg->hand = 0;
    pg->changed = NOIMAGE;
    pg->nchanged = 0;
}

void setbound(PAGER *pg, uint32_t kib) {
    pg->maxslots = kib < MAXSLOTS ? kib : MAXSLOTS;
    uint32_t q = pg->maxslots / 4;
    pg->journal.bufmax = q > 0 ? q : 1;
}

}  // namespace

uint32_t raheadminblocks = 4096;

void pagerinit(FSDATA *fsdata) {
    PAGER *pg = &fsdata->pager;
    memset(pg, 0, sizeof *pg);
    pg->freelist = NOIMAGE;
    pg->changed = NOIMAGE;
    pg->txn = 1;
    pg->writer = -1;
    jinit(&pg->journal);
    setbound(pg, DEFAULTCACHEKIB);
}

void pagerclose(FSDATA *fsdata, bool discard) {
    PAGER *pg = &fsdata->pager;
    // A transaction whose commit failed is put back now rather than left to
    // the next open; if that fails too, the journal stays hot for it.
    if (pg->journal.live && !discard && !pg->endpending) (void)jrestore(fsdata);
    if (pg->endpending) (void)jend(fsdata);
    jclose(fsdata, writerlast(fsdata), discard);
    writerclose(fsdata);
    ownbuffs(fsdata);
    freestore(pg);
}

// Reads the window of RAHEAD blocks around blk in one call and keeps the
// blocks the store does not hold yet, as far as it has room for them
// without letting another image go; blk itself is kept as a single read
// would keep it. False when no window is read (a small file, no room, no
// memory for the window) or the read did not bring blk whole: the single
// read then decides, with its own result.
//
// Why: a database opened afresh is read block by block as it is used, and
// each read is a system call of its own; at a million entries that was a
// fifth of a walk in key order. A window costs one call for 64 blocks,
// whose bytes are the file's as a read of each would give them (a block
// the store holds, changed or not, is never replaced). Small files are
// read block by block as before: the system keeps them in its own cache,
// and their reads stay one call per block.
bool readahead(FSDATA *fsdata, uint32_t blk, uint8_t *dst) {
    PAGER *pg = &fsdata->pager;
    if (fsdata->fileblocks < raheadminblocks || pg->nomem) return false;
    if (pg->freelist == NOIMAGE && pg->nslots + RAHEAD > pg->maxslots) return false;
    if (pg->rabuf == nullptr) {
        pg->rabuf = (uint8_t *)plat_alloc((size_t)RAHEAD * BLKSIZE);
        if (pg->rabuf == nullptr) return false;
    }
    uint32_t first = blk & ~(RAHEAD - 1);
    if (first == 0) first = 1;   // block 0, the control block, is never kept here
    uint32_t count = (blk | (RAHEAD - 1)) + 1 - first;
    uint64_t off = (uint64_t)first * BLKSIZE;
    harderrno = 0;
    if (plat_seek(fsdata->fsp, off) != 0 || harderrno) return false;
    long n = plat_pread(fsdata->fsp, pg->rabuf, (size_t)count * BLKSIZE, off);
    if (n < 0 || harderrno || (uint64_t)n < (uint64_t)(blk - first + 1) * BLKSIZE) return false;
    uint32_t whole = (uint32_t)((uint64_t)n / BLKSIZE);
    for (uint32_t i = 0; i < whole; i++) {
        uint32_t b = first + i;
        if (b == blk || lookup(pg, b) != NOIMAGE) continue;
        uint32_t s = spareslot(pg);
        if (s == NOIMAGE) break;
        place(pg, s, b, pg->rabuf + (size_t)i * BLKSIZE, false);
    }
    const uint8_t *img = pg->rabuf + (size_t)(blk - first) * BLKSIZE;
    memcpy(dst, img, BLKSIZE);
    uint32_t s = getslot(pg);
    if (s != NOIMAGE) place(pg, s, blk, img);
    return true;
}

int pagerread(FSDATA *fsdata, uint32_t blk, uint8_t *dst, uint8_t *mark) {
    PAGER *pg = &fsdata->pager;
    uint32_t s = lookup(pg, blk);
    *mark = 0;
    if (s != NOIMAGE) {
        pg->index[blk] |= REFBIT;
        *mark = markof(pg->index[blk]);
        memcpy(dst, imgat(pg, s), BLKSIZE);
        return 0;
    }
    if (readahead(fsdata, blk, dst)) return 0;
    uint64_t off = (uint64_t)blk * BLKSIZE;
    harderrno = 0;
    if (plat_seek(fsdata->fsp, off) != 0 || harderrno) return 1;
    long n = plat_pread(fsdata->fsp, dst, BLKSIZE, off);
    if (n == 0 && !harderrno) return 3;
    if (n < 0 || harderrno) return 2;
    // A short read (a part-block at the end of the file) is handed on as
    // the platform left it, and not kept.
    if (n == (long)BLKSIZE) {
        s = getslot(pg);
        if (s != NOIMAGE) place(pg, s, blk, dst);
    }
    return 0;
}

const uint8_t *pagerimage(const FSDATA *fsdata, uint32_t blk) {
    const PAGER *pg = &fsdata->pager;
    uint32_t s = lookup(pg, blk);
    return s == NOIMAGE ? nullptr : imgat(pg, s);
}

bool pagerholds(const FSDATA *fsdata, uint32_t blk) { return lookup(&fsdata->pager, blk) != NOIMAGE; }

const uint8_t *pagerlend(FSDATA *fsdata, uint32_t blk, uint8_t *mark) {
    PAGER *pg = &fsdata->pager;
    uint32_t s = lookup(pg, blk);
    if (s == NOIMAGE) return nullptr;
    uint32_t &e = pg->index[blk];
    e |= REFBIT | LENTBIT;
    *mark = markof(e);
    return imgat(pg, s);
}

void pagerunlend(FSDATA *fsdata, uint32_t blk) {
    PAGER *pg = &fsdata->pager;
    if (lookup(pg, blk) != NOIMAGE) pg->index[blk] &= ~LENTBIT;
}

void pagersetmark(FSDATA *fsdata, uint32_t blk, uint8_t mark) {
    PAGER *pg = &fsdata->pager;
    if (lookup(pg, blk) != NOIMAGE) pg->index[blk] = withmark(pg->index[blk], mark);
}

void pagerforgetmarks(FSDATA *fsdata, uint8_t atleast) {
    PAGER *pg = &fsdata->pager;
    for (uint32_t b = 0; b < pg->indexsize; b++) {
        uint32_t e = pg->index[b];
        if ((e & SLOTBITS) != 0 && markof(e) >= atleast) pg->index[b] = withmark(e, 0);
    }
}

short pagerput(FSDATA *fsdata, uint32_t blk, const uint8_t *img, bool isnew, uint8_t mark) {
    PAGER *pg = &fsdata->pager;
    if (pg->broken) {
        dodberror(ERR_BROKEN);
        return 0;
    }
    if (!txnbegin(fsdata)) return 0;
    uint32_t s = lookup(pg, blk);
    PGSLOT *p = s == NOIMAGE ? nullptr : slotat(pg, s);
    if (p != nullptr && p->dirty) {
        memcpy(imgat(pg, s), img, BLKSIZE);
        p->isnew |= isnew ? 1 : 0;
        pg->index[blk] = withmark(pg->index[blk] | REFBIT, mark);
        return 1;
    }
    // First change of blk in this transaction (or since it went out early):
    // its original goes to the journal unless it is there already or the
    // block is new.
    if ((uint64_t)blk * BLKSIZE < pg->journal.origlen && (p == nullptr || p->jtxn != pg->txn)) {
        uint8_t orig[BLKSIZE];
        if (p == nullptr && !readorig(fsdata, blk, orig)) return 0;
        if (!jappend(fsdata, blk, p != nullptr ? imgat(pg, s) : orig)) return 0;
    }
    if (pg->nchanged >= pg->maxslots && !spill(fsdata)) return 0;
    if (p == nullptr) {
        s = getslot(pg);
        if (s == NOIMAGE && pg->nchanged > 0) {
            if (!spill(fsdata)) return 0;
            s = getslot(pg);
        }
        if (s != NOIMAGE) p = place(pg, s, blk, img);
        if (p == nullptr) return writeone(fsdata, blk, img, isnew);
    } else {
        memcpy(imgat(pg, s), img, BLKSIZE);
    }
    pg->index[blk] = withmark(pg->index[blk] | REFBIT, mark);
    setchanged(pg, p, true);
    p->isnew = isnew ? 1 : 0;
    p->jtxn = pg->txn;
    p->next = pg->changed;
    pg->changed = s;
    if (pg->nchanged++ == 0 || blk < pg->lowchanged) pg->lowchanged = blk;
    if (blk > pg->highchanged) pg->highchanged = blk;
    return 1;
}

bool pagerchanged(FSDATA *fsdata, uint32_t blk, bool *isnew) {
    PAGER *pg = &fsdata->pager;
    uint32_t s = lookup(pg, blk);
    if (s == NOIMAGE || !slotat(pg, s)->dirty) return false;
    *isnew = slotat(pg, s)->isnew != 0;
    return true;
}

short pagercommit(FSDATA *fsdata, const void *cb) {
    PAGER *pg = &fsdata->pager;
    if (pg->broken) {
        dodberror(ERR_BROKEN);
        return 0;
    }
    if (pg->nchanged == 0 && cb == nullptr && !pg->journal.live && pg->journal.bufn == 0) {
        if (pg->endpending) {
            if (!jend(fsdata)) return 0;
            pg->endpending = 0;
        }
        if (pg->intxn) txnend(pg);
        return 1;
    }
    if (!txnbegin(fsdata)) return 0;
    if (cb != nullptr && pg->cbjtxn != pg->txn) {
        uint8_t orig[BLKSIZE];
        if (!pg->cbvalid && !readorig(fsdata, 0, orig)) return 0;
        if (!jappend(fsdata, 0, pg->cbvalid ? pg->cbimg : orig)) return 0;
        pg->cbjtxn = pg->txn;
    }
    if (!jflush(fsdata) || !writeruns(fsdata)) return 0;
    if (cb != nullptr) {
        harderrno = 0;
        if (plat_seek(fsdata->fsp, 0) != 0 || harderrno) {
            dodberror(1310);
            return 0;
        }
        if (plat_pwrite(fsdata->fsp, cb, BLKSIZE, 0) <= 0 || harderrno) {
            dodberror(1315);
            return 0;
        }
        memcpy(pg->cbimg, cb, BLKSIZE);
        pg->cbvalid = 1;
    }
    if (pg->syncmode != 0 && plat_sync(fsdata->fsp) != 0) {
        dodberror(ERR_DBSYNC);
        return 0;
    }
    // Everything is written: the transaction is committed. If its journal
    // cannot be ended now, that is retried before the next one begins (a
    // crash meanwhile would roll this commit back, whole).
    short ended = jend(fsdata);
    pg->endpending = ended ? 0 : 1;
    txnend(pg);
    return ended;
}

short pagerrollback(FSDATA *fsdata) {
    PAGER *pg = &fsdata->pager;
    if (pg->endpending) {
        // The last commit is complete; only its journal is left to end.
        if (!jend(fsdata)) return 0;
        pg->endpending = 0;
    }
    if (!jrestore(fsdata)) {
        pg->broken = 1;
        return 0;
    }
    pg->broken = 0;
    // Every image may be newer than the file now holds: start empty (the
    // buffers first give back what they read in place).
    ownbuffs(fsdata);
    if (pg->index != nullptr) memset(pg->index, 0, (size_t)pg->indexsize * sizeof *pg->index);
    pg->freelist = NOIMAGE;
    for (uint32_t s = pg->nslots; s-- > 0;) {
        PGSLOT *p = slotat(pg, s);
        p->blk = NOBLOCK;
        p->dirty = 0;
        p->next = pg->freelist;
        pg->freelist = s;
    }
    pg->changed = NOIMAGE;
    pg->nchanged = 0;
    pg->cbpending = 0;
    txnend(pg);
    return 1;
}

uint64_t pagerblocks(FSDATA *fsdata) {
    int64_t size = plat_filesize(fsdata->fsp);
    if (size < 0) return UINT64_MAX;
    uint64_t have = (uint64_t)size / BLKSIZE;
    uint64_t held = fsdata->pager.intxn ? (uint64_t)fsdata->pager.highchanged + 1 : 0;
    return have > held ? have : held;
}

}  // namespace pmdb

using namespace pmdb;

extern "C" {

PMDB_API short fssetcache(char instance, FS *fsinfo, uint32_t kib) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fssetcache");
    if (fsdata == nullptr) return 0;
    PAGER *pg = &fsdata->pager;
    uint32_t old = pg->maxslots;
    setbound(pg, kib);
    // A smaller bound gives memory back at once when nothing changed is
    // held; otherwise the next change past the bound writes the changes out.
    if (pg->maxslots < old && pg->nchanged == 0) {
        ownbuffs(fsdata);
        freestore(pg);
    }
    pg->nomem = 0;
    return 1;
}

PMDB_API short fssetsync(char instance, FS *fsinfo, int16_t mode) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fssetsync");
    if (fsdata == nullptr) return 0;
    if (mode != 0 && mode != 1) {
        dodberror(ERR_SYNCMODE);
        return 0;
    }
    fsdata->pager.syncmode = mode;
    return 1;
}

}
