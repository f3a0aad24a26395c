// xlate.cc - binding rids to data blocks through the translation blocks,
// the free-slot chain, and the slot-order walk of a logical file. The
// layout of a translation block and of a slot is given in xlate.h.
#include "fss/xlate.h"

#include "fss/alloc.h"
#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"

namespace pmdb {

namespace {

uint32_t freq(const FSDATA *fsdata) { return (uint32_t)(uint16_t)fsdata->fscb.xblkfreq; }

// The rid of slot j of translation block xblk, for the file bits of rid.
uint32_t slotrid(const FSDATA *fsdata, uint32_t xblk, int j, uint32_t rid) {
    return (rid & RIDFILE) + 256 * ((xblk - 1) / freq(fsdata)) + (uint32_t)j;
}

// The last translation block of the file.
uint32_t lastxblk(const FSDATA *fsdata) {
    uint32_t lb = fsdata->fscb.lb;
    return lb < 1 ? 1 : xlateblkof(fsdata, (lb - 1) / freq(fsdata));
}

// A mark that failed (its forced flush failed) has still changed the
// slot in the cache; a call that reports failure puts the old value back.
void undoslot(FSDATA *fsdata, uint32_t xblk, uint32_t rid, uint32_t old) {
    FSBUFF *x = readblk(fsdata, xblk);
    if (x == nullptr) return;
    x->xlate[rid & 0xff] = old;
    (void)writeblk(fsdata, xblk);
}

// The value of a link of the free chain: FSCB.ftc for NOSLOT, else the
// slot's own. False when the slot's translation block is not in the file
// or cannot be read.
bool linkvalue(FSDATA *fsdata, uint32_t at, uint32_t *v) {
    if (at == NOSLOT) {
        *v = fsdata->fscb.ftc;
        return true;
    }
    uint32_t xblk = slotxblk(fsdata, at);
    FSBUFF *x = xblk > fsdata->fscb.lb ? nullptr : readblk(fsdata, xblk);
    if (x == nullptr) return false;
    *v = x->xlate[at & 0xff];
    return true;
}

// The slots of the translation blocks the file has; also the first slot of
// the next one to be made, where the chain leaves the file.
uint64_t slotsinfile(const FSDATA *fsdata) {
    const FSCB &cb = fsdata->fscb;
    return cb.lb < 1 ? 0 : ((uint64_t)(cb.lb - 1) / freq(fsdata) + 1) * 256;
}

bool beyondfile(const FSDATA *fsdata, uint32_t slot) {
    return slot > RIDSLOT || slotxblk(fsdata, slot) > fsdata->fscb.lb;
}

int damaged(uint32_t blk, const char *what) {
    dbdamage(blk, what);
    return -1;
}

// Follows the chain from the link *at until a link names slot s (1, *at is
// that link) or leaves the file (0, *at is the last link in the file); -1
// on damage: an unreadable block, a link to a slot in use, or a loop (no
// sound chain visits more links than there are slots).
int walktoslot(FSDATA *fsdata, uint32_t s, uint32_t *at) {
    uint64_t limit = slotsinfile(fsdata) + 1;
    for (uint64_t steps = 0;; steps++) {
        uint32_t v;
        if (!linkvalue(fsdata, *at, &v)) return damaged(0, "free slot chain link cannot be read");
        if (v == s) return 1;
        if (beyondfile(fsdata, v)) return 0;
        uint32_t w;
        if (!linkvalue(fsdata, v, &w)) return damaged(slotxblk(fsdata, v), "free slot chain link cannot be read");
        if ((w & RIDFILE) != 0) return damaged(slotxblk(fsdata, v), "free slot chain names a slot in use");
        if (steps > limit) return damaged(0, "free slot chain loops");
        *at = v;
    }
}

}  // namespace

int findslotlink(FSDATA *fsdata, uint32_t rid, uint32_t *link) {
    uint32_t s = rid & RIDSLOT;
    bool beyond = beyondfile(fsdata, s);
    uint32_t v;
    if (!beyond) {
        if (!linkvalue(fsdata, s, &v)) return damaged(slotxblk(fsdata, s), "translation block cannot be read");
        if ((v & RIDFILE) != 0) return 0;
    }
    // The hint first (when it is still a free slot of the file), then the
    // head; a hint that does not lead to s cost one walk to the chain's end.
    uint32_t starts[2] = {NOSLOT, NOSLOT};
    uint32_t h = fsdata->freehint - 1;
    if (fsdata->freehint != 0 && h != s && !beyondfile(fsdata, h) && linkvalue(fsdata, h, &v) &&
        (v & RIDFILE) == 0)
        starts[0] = h;
    for (int k = starts[0] == NOSLOT ? 1 : 0; k < 2; k++) {
        uint32_t at = starts[k];
        int r = walktoslot(fsdata, s, &at);
        if (r < 0) return -1;
        if (r == 1) {
            *link = at;
            return 1;
        }
        if (beyond) {
            // The way out must name the first slot of the next translation
            // block, or growing the file would not bring s onto the chain.
            if (!linkvalue(fsdata, at, &v) || v != slotsinfile(fsdata))
                return damaged(0, "free slot chain leaves the file at the wrong slot");
            *link = at;
            return 1;
        }
    }
    return damaged(slotxblk(fsdata, s), "free slot not on the free slot chain");
}

uint32_t takeslot(FSDATA *fsdata, uint32_t link, uint32_t blk, uint32_t rid) {
    FSCB &cb = fsdata->fscb;
    uint32_t s = rid & RIDSLOT;
    uint32_t xs = slotxblk(fsdata, s);
    while (xs > cb.lb) {
        uint32_t b = allocextendedblk(fsdata);
        if (b == 0 || readblk(fsdata, b) == nullptr) {
            dodberror(1590);
            return NOSLOT;
        }
    }
    uint32_t at = link, next;
    if (walktoslot(fsdata, s, &at) != 1 || !linkvalue(fsdata, s, &next)) {
        dodberror(1560);
        return NOSLOT;
    }
    if (at == NOSLOT) {
        cb.ftc = next;
        changefscb(fsdata);
    } else {
        uint32_t xa = slotxblk(fsdata, at);
        FSBUFF *x = readblk(fsdata, xa);
        if (x == nullptr) {
            dodberror(1560);
            return NOSLOT;
        }
        x->xlate[at & 0xff] = next;
        if (!writeblk(fsdata, xa)) {
            undoslot(fsdata, xa, at, s);
            dodberror(1595);
            return NOSLOT;
        }
    }
    FSBUFF *x = readblk(fsdata, xs);
    if (x != nullptr) x->xlate[s & 0xff] = (rid & RIDFILE) | (blk & RIDSLOT);
    if (x == nullptr || !writeblk(fsdata, xs)) {
        // The slot goes back into the chain where it stood.
        if (x != nullptr) undoslot(fsdata, xs, s, next);
        if (at == NOSLOT) {
            cb.ftc = s;
            changefscb(fsdata);
        } else {
            undoslot(fsdata, slotxblk(fsdata, at), at, s);
        }
        dodberror(1595);
        return NOSLOT;
    }
    fsdata->freehint = at == NOSLOT ? 0 : at + 1;
    return s;
}

uint32_t ridtoblk(FSDATA *fsdata, uint32_t rid) {
    uint32_t xblk = slotxblk(fsdata, rid);
    if (ridfile(rid) == 0 || xblk > fsdata->fscb.lb) {
        dodberror(1345);
        return 0;
    }
    const FSBUFF *x = viewblk(fsdata, xblk);
    if (x == nullptr) {
        dodberror(1345);
        return 0;
    }
    for (uint32_t l = 0; l < BLKSIZE; l += 64) __builtin_prefetch(imgof(x) + l);
    uint32_t v = get32(imgof(x) + 4 * (rid & 0xff));
    // A free slot or another file's: not this record (a deleted rid).
    if ((v & RIDFILE) != (rid & RIDFILE)) {
        dodberror(1345);
        return 0;
    }
    uint32_t blk = v & RIDSLOT;
    if (blk < 2 || blk > fsdata->fscb.lb || isxlateblk(fsdata, blk)) {
        dbdamage(xblk, "slot names no data block");
        dodberror(1345);
        return 0;
    }
    return blk;
}

uint32_t getxlate(FSDATA *fsdata, uint32_t blk, uint32_t fid) {
    FSCB &cb = fsdata->fscb;
    uint32_t s = cb.ftc;
    uint32_t xblk = xlateblkof(fsdata, (s & RIDSLOT) >> 8);
    // The free chain never runs more than one translation block past the
    // last one; a head further out is damage, and growing the file to it
    // could take millions of blocks.
    if (s > RIDSLOT || xblk > (uint64_t)lastxblk(fsdata) + freq(fsdata)) {
        dbdamage(0, "free slot chain head beyond the file");
        dodberror(1357);
        return NOSLOT;
    }
    while (xblk > cb.lb) {
        uint32_t b = allocextendedblk(fsdata);
        if (b == 0) {
            dodberror(1357);
            return NOSLOT;
        }
        if (readblk(fsdata, b) == nullptr) {
            dodberror(1358);
            return NOSLOT;
        }
    }
    FSBUFF *x = readblk(fsdata, xblk);
    if (x == nullptr) {
        dodberror(1360);
        return NOSLOT;
    }
    uint32_t &slot = x->xlate[s & 0xff];
    // Taking a slot in use would lose another record.
    if ((slot & RIDFILE) != 0) {
        dbdamage(xblk, "free slot chain names a slot in use");
        dodberror(1360);
        return NOSLOT;
    }
    cb.ftc = slot;
    changefscb(fsdata);
    slot = ((fid >> 4 & 0xf) << 28) + (blk & RIDSLOT);
    if (!writeblk(fsdata, xblk)) {
        // The caller adds no record, so the slot goes back to the head of
        // the free chain rather than stay bound to a block without it.
        undoslot(fsdata, xblk, s, cb.ftc);
        cb.ftc = s;
        changefscb(fsdata);
        dodberror(1365);
        return NOSLOT;
    }
    return s;
}

short changexlate(FSDATA *fsdata, uint32_t blk, uint32_t rid) {
    uint32_t xblk = slotxblk(fsdata, rid);
    if (xblk > fsdata->fscb.lb) {
        dodberror(1366);
        return 0;
    }
    FSBUFF *x = readblk(fsdata, xblk);
    if (x == nullptr) {
        dodberror(1367);
        return 0;
    }
    uint32_t old = x->xlate[rid & 0xff];
    x->xlate[rid & 0xff] = (old & RIDFILE) | (blk & RIDSLOT);
    if (!writeblk(fsdata, xblk)) {
        undoslot(fsdata, xblk, rid, old);
        dodberror(1368);
        return 0;
    }
    return 1;
}

short freexlate(FSDATA *fsdata, uint32_t rid) {
    uint32_t xblk = slotxblk(fsdata, rid);
    FSBUFF *x = xblk > fsdata->fscb.lb ? nullptr : readblk(fsdata, xblk);
    if (x == nullptr) {
        dodberror(1350);
        return 0;
    }
    uint32_t old = x->xlate[rid & 0xff];
    x->xlate[rid & 0xff] = fsdata->fscb.ftc;
    if (!writeblk(fsdata, xblk)) {
        undoslot(fsdata, xblk, rid, old);
        dodberror(1355);
        return 0;
    }
    fsdata->fscb.ftc = rid & RIDSLOT;
    changefscb(fsdata);
    return 1;
}

short rebindxlate(FSDATA *fsdata, uint32_t rid, uint32_t blk) {
    FSCB &cb = fsdata->fscb;
    uint32_t xblk = slotxblk(fsdata, rid);
    if (cb.ftc != (rid & RIDSLOT) || xblk > cb.lb) return 0;
    FSBUFF *x = readblk(fsdata, xblk);
    if (x == nullptr) return 0;
    cb.ftc = x->xlate[rid & 0xff];
    x->xlate[rid & 0xff] = (rid & RIDFILE) | (blk & RIDSLOT);
    changefscb(fsdata);
    // A failed mark still leaves the slot changed in the cache, which is
    // all an undo can do.
    (void)writeblk(fsdata, xblk);
    return 1;
}

uint32_t nextrid(FSDATA *fsdata, uint32_t rid) {
    const FDATA *f = filebyrid(fsdata, rid);
    if (f == nullptr || rid >= f->lrid) return 0;
    uint64_t xblk = slotxblk(fsdata, rid);
    int j = (int)(rid & 0xff) + 1;
    // Translation blocks lie freq apart and only up to lb, so the walk
    // reads at most every translation block once.
    while (xblk <= fsdata->fscb.lb) {
        FSBUFF *x = readblk(fsdata, (uint32_t)xblk);
        if (x == nullptr) {
            dodberror(1320);
            return 0;
        }
        for (; j < 256; j++)
            if ((x->xlate[j] & RIDFILE) == (rid & RIDFILE)) return slotrid(fsdata, (uint32_t)xblk, j, rid);
        xblk += freq(fsdata);
        j = 0;
    }
    // lrid promised a later record that the file does not hold.
    dbdamage(0, "lrid beyond the last record of its file");
    dodberror(1325);
    return 0;
}

uint32_t prevrid(FSDATA *fsdata, uint32_t rid) {
    const FDATA *f = filebyrid(fsdata, rid);
    if (f == nullptr || rid <= f->frid || f->frid == 0) return 0;
    uint32_t xblk = slotxblk(fsdata, rid);
    int j = (int)(rid & 0xff) - 1;
    // A rid beyond the file starts from the file's last slot, so that the
    // walk never reads (and so grows) past lb.
    if (xblk > fsdata->fscb.lb) {
        xblk = lastxblk(fsdata);
        j = 255;
    }
    for (;;) {
        FSBUFF *x = readblk(fsdata, xblk);
        if (x == nullptr) {
            dodberror(1330);
            return 0;
        }
        for (; j >= 0; j--)
            if ((x->xlate[j] & RIDFILE) == (rid & RIDFILE)) return slotrid(fsdata, xblk, j, rid);
        if (xblk == 1) break;
        xblk -= freq(fsdata);
        j = 255;
    }
    dbdamage(0, "frid below the first record of its file");
    dodberror(1335);
    return 0;
}

}  // namespace pmdb
