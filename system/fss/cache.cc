// cache.cc - the block cache: lookup in use order, growth of the file by
// one block at its end, deferred writes and the ordered flush. The
// invariants are listed in cache.h; what happens below a flush is the
// pager's (pager.h).
#include "fss/cache.h"

#include <string.h>

#include "fss/errors.h"
#include "fss/fscb.h"
#include "platform/platform.h"

namespace pmdb {

uint32_t hits, miss, bf, fscbf;

void initbuffs(FSDATA *fsdata) {
    for (int j = 0; j < NUMBUFFS; j++) {
        // Nothing is borrowed here: a fresh open has no store yet, and a
        // rollback's buffers took their copies before the store was emptied.
        FSBUFF &b = fsdata->buff[j];
        b.blk = NOBLOCK;
        fsdata->bufblk[j] = NOBLOCK;
        b.cf = 0;
        b.extblk = 0;
        b.checked = 0;
        b.lent = 0;
        b.img = b.raw;
        fsdata->seq[j] = (int16_t)j;
    }
}

void makelast(int16_t *seq, int16_t sn) {
    int16_t b = seq[sn];
    if (sn == 0) {   // a miss: the least recently used buffer goes to the top
        memmove(seq, seq + 1, (NUMBUFFS - 1) * sizeof *seq);
        seq[NUMBUFFS - 1] = b;
        return;
    }
    memmove(seq + sn, seq + sn + 1, (size_t)(NUMBUFFS - 1 - sn) * sizeof *seq);
    seq[NUMBUFFS - 1] = b;
}

void extendedblk(FSDATA *fsdata, FSBUFF *buff) {
    fsdata->fscb.lb++;
    changefscb(fsdata);
    buff->cf = 1;
    buff->extblk = 1;
    // Only the header is significant; the rest is cleared so that a new
    // block's bytes on disk do not depend on what the buffer held before.
    memset(buff->raw, 0, sizeof buff->raw);
    buff->dbuff.len = DBHEADER;
}

namespace {

// The buffer stops borrowing: with copy, its own bytes become the image
// (for a change, or before the store lets the image go); without, the
// buffer is about to be given another block.
void unlend(FSDATA *fsdata, FSBUFF *b, bool copy) {
    if (!b->lent) return;
    if (copy) memcpy(b->raw, b->img, BLKSIZE);
    pagerunlend(fsdata, b->blk);
    b->lent = 0;
    b->img = b->raw;
}

// The lookup of readblk and viewblk. Both decide the same: which buffer
// holds the block, the use order, the victim and its flush, the counters.
// own says whether the caller may change the image; a reader takes the
// store's image in place when the store holds the block.
// keep: the caller changed the image already and set its mark (writeblk).
FSBUFF *lookup(FSDATA *fsdata, uint32_t blk, bool own, bool keep = false) {
    own = own || fsdata->plainreads;
    int16_t *seq = fsdata->seq;
    int j = findbuff(fsdata, blk);
    if (j >= 0) {
        FSBUFF *b = &fsdata->buff[j];
        hits++;
        int p = NUMBUFFS - 1;
        while (seq[p] != j) p--;
        makelast(seq, (int16_t)p);
        if (own) return keep ? ownbuffkept(fsdata, b) : ownbuff(fsdata, b);
        return b;
    }
    miss++;
    FSBUFF *v = &fsdata->buff[seq[0]];
    // A changed victim is handed down first. If the pager cannot take it
    // (and cannot write it out) the victim is not reused: its change would
    // be lost with no one told. (A read-only database never writes, and
    // its buffers are reused as they are.)
    if (v->cf && !handbuffs(fsdata) && !fsdata->readonly) {
        dodberror(1385);
        return nullptr;
    }
    uint32_t lb = fsdata->fscb.lb;
    uint8_t mark = 0;
    if (blk > lb) {
        if (blk != lb + 1) {
            dodberror(1390);
            setmsg("Block %lu > last block %lu", (unsigned long)blk, (unsigned long)lb + 1);
            return nullptr;
        }
        // Block lb + 1 of a file that does not hold the blocks before it
        // would be written past a hole: the damage is reported instead.
        if (fsdata->shortfile) {
            dbdamage(blk, "the file holds fewer blocks than lb claims");
            dodberror(ERR_SHORTFILE);
            return nullptr;
        }
        unlend(fsdata, v, false);
        extendedblk(fsdata, v);
        v->checked = 0;
    } else if (const uint8_t *img = own ? nullptr : pagerlend(fsdata, blk, &mark)) {
        unlend(fsdata, v, false);
        v->img = img;
        v->lent = 1;
        v->checked = (char)mark;
    } else {
        // A read from the file may fail, and the victim must then keep its
        // block and image as they were: a borrowed image is copied first.
        if (!pagerholds(fsdata, blk)) unlend(fsdata, v, true);
        else unlend(fsdata, v, false);
        int r = pagerread(fsdata, blk, v->raw, &mark);
        if (r != 0) {
            // Nothing at all to read: the block lies past the end of the
            // file although lb claims it.
            if (r == 3) {
                dbdamage(blk, "the file holds fewer blocks than lb claims");
                dodberror(ERR_SHORTFILE);
            }
            dodberror(r == 1 ? 1395 : 1400);
            return nullptr;
        }
        v->checked = (char)mark;
        // A block just read from the file and kept by the store is read
        // there from now on, like any other held block.
        if (!own && pagerholds(fsdata, blk)) {
            v->img = pagerlend(fsdata, blk, &mark);
            v->lent = 1;
        }
    }
    makelast(seq, 0);
    v->blk = blk;
    fsdata->bufblk[v - fsdata->buff] = blk;
    if (own && !keep && markedkey(v->checked)) v->checked = MARKKEY;
    return v;
}

}  // namespace

FSBUFF *readblk(FSDATA *fsdata, uint32_t blk) { return lookup(fsdata, blk, true); }

const FSBUFF *viewblk(FSDATA *fsdata, uint32_t blk) { return lookup(fsdata, blk, false); }

void setchecked(FSDATA *fsdata, const FSBUFF *b, char kind) {
    FSBUFF *w = const_cast<FSBUFF *>(b);
    w->checked = kind;
    // A borrowed image is the store's: the mark goes with it, so that the
    // next load of the block is not walked again. A buffer's own copy may
    // have been changed: its mark reaches the store with the change.
    if (b->lent) pagersetmark(fsdata, b->blk, (uint8_t)kind);
}

FSBUFF *ownbuff(FSDATA *fsdata, const FSBUFF *b) {
    FSBUFF *w = const_cast<FSBUFF *>(b);
    unlend(fsdata, w, true);
    // The caller may change the image: the order is no longer known.
    if (markedkey(w->checked)) w->checked = MARKKEY;
    return w;
}

void forgetkeymarks(FSDATA *fsdata) {
    for (FSBUFF &b : fsdata->buff)
        if (markedkey(b.checked)) b.checked = 0;
    pagerforgetmarks(fsdata, (uint8_t)MARKKEY);
}

FSBUFF *ownbuffkept(FSDATA *fsdata, const FSBUFF *b) {
    FSBUFF *w = const_cast<FSBUFF *>(b);
    unlend(fsdata, w, true);
    return w;
}

void ownbuffs(FSDATA *fsdata) {
    for (FSBUFF &b : fsdata->buff) unlend(fsdata, &b, true);
}

short writeblk(FSDATA *fsdata, uint32_t blk) {
    cursorwrite(fsdata, blk);
    fsdata->fscb.wrts++;
    changefscb(fsdata);
    FSBUFF *b = lookup(fsdata, blk, true, true);
    if (b == nullptr) {
        dodberror(1370);
        return 0;
    }
    b->cf = 1;
    if (fsdata->fscb.wrts >= FORCEDFLUSH && !handbuffs(fsdata)) {
        dodberror(1375);
        return 0;
    }
    return 1;
}

short handbuffs(FSDATA *fsdata) {
    if (fsdata->readonly) return 1;

    // Buffer numbers in ascending block order; empty buffers (NOBLOCK)
    // sort last. Insertion sort keeps equal numbers in buffer order.
    int16_t order[NUMBUFFS];
    for (int j = 0; j < NUMBUFFS; j++) {
        int k = j;
        while (k > 0 && fsdata->buff[order[k - 1]].blk > fsdata->buff[j].blk) {
            order[k] = order[k - 1];
            k--;
        }
        order[k] = (int16_t)j;
    }

    for (int j = 0; j < NUMBUFFS; j++) {
        FSBUFF *b = &fsdata->buff[order[j]];
        if (!b->cf) continue;
        bf++;
        // A block the pager cannot take stays marked, so that the next
        // flush tries it again instead of dropping the change.
        if (!pagerput(fsdata, b->blk, b->raw, b->extblk != 0, (uint8_t)b->checked)) return 0;
        b->cf = 0;
        b->extblk = 0;
    }
    // The control block is due at the commit; as when it was written, the
    // count of changes towards the next forced flush starts again.
    FSCB *cb = &fsdata->fscb;
    if (cb->cf) {
        fsdata->pager.cbpending = 1;
        cb->cf = 0;
        cb->wrts = 0;
    }
    return 1;
}

short flushbuffs(FSDATA *fsdata) {
    if (fsdata->readonly) return 1;
    FSCB *cb = &fsdata->fscb;
    int16_t wrts = cb->wrts;
    if (!handbuffs(fsdata)) return 0;
    bool writecb = fsdata->pager.cbpending != 0;
    if (writecb) fscbf++;
    // The in-memory flags never reach the file (cf and wrts were cleared
    // when the block was handed over); dblocked is put back after the write.
    char locked = cb->dblocked;
    cb->dblocked = 0;
    short ok = pagercommit(fsdata, writecb ? cb : nullptr);
    cb->dblocked = locked;
    if (ok) {
        fsdata->pager.cbpending = 0;
        return 1;
    }
    // What was not written is marked again, in the buffers as in the pager,
    // so that the next flush writes it.
    if (writecb) {
        cb->cf = 1;
        cb->wrts = wrts;
    }
    for (FSBUFF &b : fsdata->buff) {
        bool isnew = false;
        if (b.blk != NOBLOCK && pagerchanged(fsdata, b.blk, &isnew)) {
            // A buffer that reads the image in place takes it as its own
            // first: the bytes handed down again must be the image's.
            unlend(fsdata, &b, true);
            b.cf = 1;
            b.extblk = isnew ? 1 : 0;
        }
    }
    return 0;
}

}  // namespace pmdb

using namespace pmdb;

extern "C" PMDB_API short fsflush(char instance, FS *fsinfo) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsflush");
    if (fsdata == nullptr) return 0;
    short r = flushbuffs(fsdata);
    freefs(fsdata);
    return r;
}
