// keycheck.cc - the tree checker of the key index (interface and promises
// in keycheck.h). It walks the tree depth first from FSCB.rootkb, one
// frame per level (at most 32, since every block's level is checked to be
// one below its parent's), working on a copy of each block so that the
// cache may reuse buffers while it descends.
#include "fss/keycheck.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/keyblk.h"

namespace pmdb {

namespace {

// A key image with its rid, copied out of a block.
struct KEYREF {
    int16_t len;
    uint8_t img[KEYBUFSIZE];
};

struct WALK {
    FSDATA *fsdata;
    KCHECK *chk;
};

void problem(WALK &w, uint32_t blk, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

void problem(WALK &w, uint32_t blk, const char *fmt, ...) {
    char what[KCHECKTEXT - 24];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    char line[KCHECKTEXT];
    snprintf(line, sizeof line, "block %lu: %s", (unsigned long)blk, what);
    KCHECK *chk = w.chk;
    if (chk->problems == 0) {
        chk->firstblk = blk;
        memcpy(chk->first, line, sizeof line);
    }
    chk->problems++;
    if (chk->problem != nullptr) chk->problem(chk->ctx, blk, line);
}

void setref(KEYREF *r, const uint8_t *img, int16_t len) {
    r->len = len;
    memcpy(r->img, img, (size_t)len + 4);
}

// a against b under a's comparator (charfunc where a's subkey has none):
// the fid byte decides first, so keys of different subkeys compare right
// whichever comparator is used.
int16_t cmpkeys(const FSDATA *fsdata, const uint8_t *a, int16_t alen, const uint8_t *b,
                int16_t blen) {
    FUNC f = charfunc;
    int16_t dup = 1;
    if (!choosecmp(fsdata, a[0], &f, &dup)) {
        f = charfunc;
        dup = 1;
    }
    return f(a, b, alen < blen ? alen : blen, dup, alen, blen);
}

bool sameref(const KEYREF &a, const uint8_t *img, int16_t len) {
    return a.len == len && memcmp(a.img, img, (size_t)len + 4) == 0;
}

// Checks the subtree at blk; on return *lo/*hi hold its lowest and highest
// key when *haskeys. Returns false when the block could not be walked.
bool checksub(WALK &w, uint32_t blk, int expectlevel, bool isroot, KEYREF *lo, KEYREF *hi,
              bool *haskeys) {
    FSDATA *fsdata = w.fsdata;
    KCHECK *chk = w.chk;
    *haskeys = false;
    if (!keyblknumok(fsdata, blk) || blk > MAXBLOCK) {
        problem(w, blk, "key block number outside the file or a translation block");
        return false;
    }
    if (keycheckseen(chk, blk)) {
        problem(w, blk, "key block reached more than once");
        return false;
    }
    chk->seen[blk / 8] = (uint8_t)(chk->seen[blk / 8] | (1u << (blk % 8)));
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) {
        problem(w, blk, "key block cannot be read");
        return false;
    }
    KB kb;
    memcpy(&kb, &b->kbuff, sizeof kb);
    chk->blocks++;
    if (chk->block != nullptr) chk->block(chk->ctx, blk, kb.level, kb.numkeys);
    if (!checkkb(fsdata, blk, &kb, expectlevel)) {
        problem(w, blk, "%s", damagewhat);
        return false;
    }
    if (kb.ancestor != 0) problem(w, blk, "ancestor field of a block in use is not 0");
    int koff = kbkeyoff(&kb);
    // Order inside the block.
    int prev = -1;
    for (int pos = KBHEADER; pos < kb.len; pos = kbnext(&kb, pos)) {
        const uint8_t *img = kbat(&kb, pos) + koff;
        uint8_t fid = img[0];
        FUNC f;
        int16_t d;
        if (!choosecmp(fsdata, fid, &f, &d))
            problem(w, blk, "entry of fid 0x%02x, which has no comparator", fid);
        if (prev >= 0 && cmpkeys(fsdata, img, kbkeylen(&kb, pos), kbat(&kb, prev) + koff,
                                 kbkeylen(&kb, prev)) <= 0)
            problem(w, blk, "entry at offset %d does not sort after the one before", pos);
        prev = pos;
    }
    if (kb.level == 0) {
        chk->leaves++;
        chk->keys += (uint32_t)kb.numkeys;
        if (kb.numkeys == 0) {
            if (!isroot) problem(w, blk, "leaf without entries");
            return true;
        }
        setref(lo, kbat(&kb, KBHEADER) + koff, kbkeylen(&kb, KBHEADER));
        setref(hi, kbat(&kb, prev) + koff, kbkeylen(&kb, prev));
        *haskeys = true;
        return true;
    }
    // Inner block: each entry equals its child's highest key, each child's
    // keys lie above the entry before; xtrablk's keys above the last entry.
    KEYREF clo, chi;
    bool ckeys;
    int before = -1;
    for (int pos = KBHEADER;; pos = kbnext(&kb, pos)) {
        bool xtra = pos >= kb.len;
        uint32_t child = xtra ? kb.xtrablk : kbchild(&kb, pos);
        if (checksub(w, child, kb.level - 1, false, &clo, &chi, &ckeys)) {
            if (!ckeys) {
                problem(w, blk, "child %lu holds no keys", (unsigned long)child);
            } else {
                if (!xtra && !sameref(chi, kbat(&kb, pos) + koff, kbkeylen(&kb, pos)))
                    problem(w, blk, "separator at offset %d differs from the highest key of child %lu",
                            pos, (unsigned long)child);
                if (before >= 0 && cmpkeys(fsdata, clo.img, clo.len, kbat(&kb, before) + koff,
                                           kbkeylen(&kb, before)) <= 0)
                    problem(w, blk, "child %lu holds a key not above the separator before it",
                            (unsigned long)child);
                if (!*haskeys) *lo = clo;
                *hi = chi;
                *haskeys = true;
            }
        }
        if (xtra) break;
        before = pos;
    }
    return true;
}

}  // namespace

// No block lies past MAXBLOCK, whatever a damaged lb claims: a bitmap sized
// by lb alone could ask for half a gigabyte.
size_t keycheckmapbytes(const FSDATA *fsdata) {
    uint32_t lb = fsdata->fscb.lb < MAXBLOCK ? fsdata->fscb.lb : MAXBLOCK;
    return (size_t)lb / 8 + 1;
}

uint32_t keycheck(FSDATA *fsdata, KCHECK *chk) {
    chk->problems = 0;
    chk->blocks = chk->leaves = chk->keys = 0;
    chk->height = 0;
    chk->firstblk = 0;
    chk->first[0] = 0;
    WALK w = {fsdata, chk};
    uint32_t root = fsdata->fscb.rootkb;
    if (root == 0) return 0;
    if (chk->seen == nullptr || chk->seenbytes < keycheckmapbytes(fsdata)) {
        problem(w, 0, "no room to record the blocks reached");
        return chk->problems;
    }
    memset(chk->seen, 0, chk->seenbytes);
    if (!keyblknumok(fsdata, root) || root > MAXBLOCK) {
        problem(w, 0, "rootkb %lu lies outside the file", (unsigned long)root);
        return chk->problems;
    }
    FSBUFF *b = readblk(fsdata, root);
    if (b != nullptr && b->kbuff.type == 1 && b->kbuff.level >= 0 && b->kbuff.level < MAXLEVELS)
        chk->height = b->kbuff.level + 1;
    KEYREF lo, hi;
    bool haskeys;
    checksub(w, root, -1, true, &lo, &hi, &haskeys);
    return chk->problems;
}

}  // namespace pmdb
