// alloc.cc - choosing the block by which the file grows, and taking back
// the growth of a call that failed. Translation block m is block
// m * xblkfreq + 1; when the next block is one of them it is made first
// (all 256 slots free and chained: slot j holds 256m + j + 1) and the
// block after it is handed out.
//
// The file grows only at its end, one block after the last (lb + 1), and
// only when the blocks before it exist: a file whose control block claims
// blocks that the file does not hold (measured at open) would otherwise be
// written at lb + 1 over a hole as large as the damage.
#include "fss/alloc.h"

#include <string.h>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"

namespace pmdb {

uint32_t allocextendedblk(FSDATA *fsdata) {
    FSCB &cb = fsdata->fscb;
    uint32_t f = (uint32_t)(uint16_t)cb.xblkfreq;
    if (fsdata->shortfile) {
        dbdamage(cb.lb + 1, "the file holds fewer blocks than lb claims");
        dodberror(ERR_SHORTFILE);
        return 0;
    }
    if (cb.lb + 1 > MAXBLOCK) {
        dodberror(1405);
        return 0;
    }
    if (cb.lb % f != 0) return cb.lb + 1;
    // A new translation block must leave room for the block it precedes.
    uint32_t m = (cb.lb + 1) / f;
    if ((uint64_t)256 * m > MAXSLOT || cb.lb + 2 > MAXBLOCK) {
        dodberror(cb.lb + 2 > MAXBLOCK ? 1405 : 1415);
        return 0;
    }
    FSBUFF *x = readblk(fsdata, cb.lb + 1);
    if (x == nullptr) {
        dodberror(1420);
        return 0;
    }
    for (uint32_t j = 0; j < 256; j++) x->xlate[j] = 256 * m + j + 1;
    return cb.lb + 1;
}

GROWMARK growthmark(const FSDATA *fsdata) {
    GROWMARK m;
    m.lb = fsdata->fscb.lb;
    memcpy(m.fc, fsdata->fscb.fc, sizeof m.fc);
    return m;
}

namespace {

FSBUFF *cached(FSDATA *fsdata, uint32_t blk) {
    for (FSBUFF &b : fsdata->buff)
        if (b.blk == blk) return &b;
    return nullptr;
}

}  // namespace

void undogrowth(FSDATA *fsdata, const GROWMARK &mark) {
    FSCB &cb = fsdata->fscb;
    uint32_t lb0 = mark.lb;
    if (cb.lb < lb0 || cb.lb - lb0 > (uint32_t)NUMBUFFS) return;
    uint32_t added = cb.lb - lb0;
    // Every added block is in the cache and was never written. A changed
    // buffer leaves the cache only through a flush, and a flush writes every
    // added block: so with none written, every block this call changed since
    // its first growth is still in the cache too, and can be asked below.
    for (uint32_t blk = lb0 + 1; blk <= cb.lb; blk++) {
        const FSBUFF *b = cached(fsdata, blk);
        if (b == nullptr || !b->extblk) return;
        if (!isxlateblk(fsdata, blk) && (b->dbuff.type != 0 || b->dbuff.len != DBHEADER)) return;
    }
    for (const FSBUFF &b : fsdata->buff) {
        if (b.blk > lb0 || !b.cf || isxlateblk(fsdata, b.blk) || b.dbuff.type != 0) continue;
        if (b.dbuff.nbic > lb0) return;   // an old data block links to an added one
    }
    // A chain head this call moved onto an added block (or onto lb + 1, a
    // block announced for the next read) passes over the added blocks; an
    // announced block heads a chain that holds nothing else.
    uint32_t fc[6];
    for (int k = 0; k < 6; k++) {
        uint32_t h = cb.fc[k];
        if (h == mark.fc[k]) {
            fc[k] = h;
            continue;
        }
        for (uint32_t steps = 0; h > lb0 && steps <= added; steps++) {
            if (h <= cb.lb && isxlateblk(fsdata, h)) return;
            h = h > cb.lb ? 0 : cached(fsdata, h)->dbuff.nbic;
        }
        if (h > lb0) return;
        fc[k] = h == 0 && mark.fc[k] > lb0 ? mark.fc[k] : h;
    }
    for (uint32_t blk = lb0 + 1; blk <= cb.lb; blk++) {
        FSBUFF *b = cached(fsdata, blk);
        b->blk = NOBLOCK;
        fsdata->bufblk[b - fsdata->buff] = NOBLOCK;
        b->cf = 0;
        b->extblk = 0;
        b->checked = 0;
        // The emptied buffer is the first to be used again.
        int16_t *seq = fsdata->seq;
        int16_t n = (int16_t)(b - fsdata->buff);
        int p = 0;
        while (seq[p] != n) p++;
        memmove(seq + 1, seq, (size_t)p * sizeof *seq);
        seq[0] = n;
    }
    if (added == 0 && memcmp(cb.fc, fc, sizeof fc) == 0) return;
    memcpy(cb.fc, fc, sizeof fc);
    cb.lb = lb0;
    changefscb(fsdata);
}

}  // namespace pmdb
