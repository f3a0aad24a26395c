// keycursor.cc - the remembered position of a key walk: a step of
// fsnextkey or fsprevkey from the key the last search returned is taken in
// the leaf that holds it, without a descent from the root, when the result
// is provably the one the descent would give.
//
// What the cursor holds (KCURSOR, fsdata.h): the blocks the descent passed,
// root first and the leaf last, the entry returned, and two verdicts made
// when it was set. It holds while keychanges has not moved (every change of
// the index, a change of subkey types, open, unlock and rollback move it),
// while lb is what it was (the header checks of a descent read lb) and
// while no block of its path is marked changed (writeblk ends it, so that
// not even a damaged file can change a block under it).
//
// Why a step may skip the descent. A search for an image K of fid f
// descends by the first entry of each inner block that does not sort below
// K. When every block on the path is in strictly ascending order (see
// kbordered), "does not sort below K" is false and then true along a block,
// so the chosen entry is decided by its neighbours alone: the entry before
// it sorts below K and the chosen one does not. When the leaf's first key
// of fid f sorts above every "entry before" on the path and its last such
// key (bar the leaf's last entry, from which a step forward leaves the leaf)
// sorts below every chosen entry, then the descent for any key of fid f in
// the leaf follows the same path (nextok; for a step back the bounds are
// the leaf's first such key bar its first entry, and its last such key not
// above the chosen entries: prevok). In the leaf the key is then found
// where it lies, and the result is its neighbour, exactly as the scan of
// the leaf would give it. Anything else (another image, the leaf's edge,
// a block not in order, a path block no longer in the sixteen buffers)
// goes the plain way (a descent from the root), which also sets the cursor
// again.
//
// The sixteen buffers see the same lookups: the descent would have looked
// up every block of the path, root first, so a step looks them up too (all
// are hits, or the step is not taken) and the buffers' use order, and with
// it every later decision of the cache, is the descent's.
#include <string.h>

#include "fss/cache.h"
#include "fss/keyblk.h"
#include "fss/keycmp.h"
#include "fss/xlate.h"

namespace pmdb {

namespace {

// How many entries ahead a forward step prefetches the translation slot,
// and the data block (whose number is read from the slot fetched before).
constexpr int XLATEAHEAD = 4;
constexpr int DATAAHEAD = 2;

// The buffer holding blk, looked at without a lookup; null when none.
const FSBUFF *heldbuff(const FSDATA *fsdata, uint32_t blk) {
    int j = findbuff(fsdata, blk);
    return j < 0 ? nullptr : &fsdata->buff[j];
}

// The lookups of a descent along the path, when every block of it is in a
// buffer (hits only); false, and nothing changed, otherwise. Looking up
// the blocks one after the other moves each to the most recently used end:
// the others keep their order and the path ends up last, in its order.
bool touchpath(FSDATA *fsdata, KCURSOR &c) {
    int n = c.depth;
    int16_t *seq = fsdata->seq;
    unsigned onpath = 0;
    for (int i = 0; i < n; i++) {
        // The buffer found at the last step, or where the block is now.
        int j = c.bufs[i];
        if (fsdata->bufblk[j] != c.blk[i]) {
            j = findbuff(fsdata, c.blk[i]);
            if (j < 0) return false;
            c.bufs[i] = (int16_t)j;
        }
        onpath |= 1u << j;
    }
    hits += (uint32_t)n;
    // Mostly the path lies in the use order as one run, in its order (the
    // last step left it on top, and the record read since went above it):
    // the run moves to the top.
    int q = NUMBUFFS - 1;
    while (q >= 0 && seq[q] != c.bufs[0]) q--;
    bool run = q >= 0 && q + n <= NUMBUFFS;
    for (int i = 1; i < n && run; i++) run = seq[q + i] == c.bufs[i];
    if (run) {
        memmove(seq + q, seq + q + n, (size_t)(NUMBUFFS - q - n) * sizeof *seq);
        memcpy(seq + NUMBUFFS - n, c.bufs, (size_t)n * sizeof *seq);
        return true;
    }
    int16_t order[NUMBUFFS];
    int k = 0;
    for (int p = 0; p < NUMBUFFS; p++)
        if ((onpath >> seq[p] & 1) == 0) order[k++] = seq[p];
    for (int i = 0; i < n; i++) order[k++] = c.bufs[i];
    memcpy(seq, order, sizeof order);
    return true;
}

int entrybefore(const KB *kb, int pos) {
    int prev = -1;
    for (int p = KBHEADER; p < pos; p = kbnext(kb, p)) prev = p;
    return prev;
}

// Fetches, ahead of the calls that will read them, the translation slot
// of the record of the entry `ahead` places after pos in the leaf, or its
// data block (whose number is read from the slot, fetched earlier). Only
// the store's images are touched, and only as prefetches and reads of a
// slot: nothing in the cache or the store changes.
void prefetchentry(FSDATA *fsdata, const KB *kb, int pos, int ahead, bool data) {
    int p = pos;
    for (int i = 0; i < ahead; i++) {
        p = kbnext(kb, p);
        if (p >= kb->len) return;
    }
    int16_t kl = kbkeylen(kb, p);
    uint32_t rid = get32(kbat(kb, p) + LEAFKEYOFF + kl);
    const uint8_t *slot = heldslot(fsdata, rid);
    if (slot == nullptr) return;
    if (!data) {
        __builtin_prefetch(slot);
        return;
    }
    uint32_t v = get32(slot);
    if ((v & RIDFILE) != (rid & RIDFILE)) return;
    const uint8_t *d = pagerimage(fsdata, v & RIDSLOT);
    if (d == nullptr) return;
    for (uint32_t l = 0; l < BLKSIZE; l += 64) __builtin_prefetch(d + l);
}

// At a new position: the slots of the next XLATEAHEAD entries and the
// data blocks of the next DATAAHEAD; at each step after: what has come
// into reach.
void prefetchfrom(FSDATA *fsdata, const KB *kb, int pos, bool first) {
    for (int i = first ? 1 : XLATEAHEAD; i <= XLATEAHEAD; i++) prefetchentry(fsdata, kb, pos, i, false);
    for (int i = first ? 1 : DATAAHEAD; i <= DATAAHEAD; i++) prefetchentry(fsdata, kb, pos, i, true);
}

// The comparison of two entries' images (each followed by its rid).
int16_t cmpimages(FUNC f, const uint8_t *a, int16_t al, const uint8_t *b, int16_t bl, int16_t dupkeys) {
    return f(a, b, al < bl ? al : bl, dupkeys, al, bl);
}

}  // namespace

bool kbordered(FSDATA *fsdata, const FSBUFF *b) {
    if (b->checked == MARKORDERED || b->checked == MARKUNIFORM) return true;
    if (b->checked != MARKKEY) return false;
    const KB *kb = kbview(b);
    int koff = kbkeyoff(kb);
    const uint8_t *pimg = nullptr;
    int16_t pl = 0;
    FUNC f = nullptr;
    int16_t d = 0;
    bool floating = false, uniform = true;
    int16_t kl0 = kb->len > KBHEADER ? kbkeylen(kb, KBHEADER) : 0;
    for (int pos = KBHEADER; pos < kb->len; pos = kbnext(kb, pos)) {
        int16_t kl = kbkeylen(kb, pos);
        uniform = uniform && kl == kl0;
        const uint8_t *img = kbat(kb, pos) + koff;
        // A one-byte image (an empty value) compares equal to every key of
        // its subkey: such blocks are never taken as ordered.
        if (kl < 2) return false;
        if (pimg == nullptr || pimg[0] != img[0]) {
            if (pimg != nullptr && pimg[0] > img[0]) return false;
            if (!choosecmp(fsdata, img[0], &f, &d)) return false;
            floating = f == floatfunc || f == doublefunc || f == ldoublefunc;
        } else if (cmpimages(f, pimg, pl, img, kl, d) >= 0) {
            return false;
        }
        // The comparisons of the integer and char types are orders; a
        // floating value that is not equal to itself (a NaN, an invalid
        // 80-bit encoding) has no place in one, and is looked for.
        if (floating && (cmpimages(f, img, kl, img, kl, 1) != 0 ||
                         (pimg != nullptr && pimg[0] == img[0] && cmpimages(f, img, kl, pimg, pl, d) <= 0)))
            return false;
        pimg = img;
        pl = kl;
    }
    setchecked(fsdata, b, uniform ? MARKUNIFORM : MARKORDERED);
    return true;
}

void setcursor(FSDATA *fsdata, const KTRAIL *trail, int pos) {
    KCURSOR &c = fsdata->cursor;
    c.epoch = 0;
    if (fsdata->plainreads || trail->depth <= 0 || trail->depth > CURSORPATH) return;
    // Only noted here: a search that starts no walk pays nothing more. The
    // path is judged at the first step taken from it.
    int depth = trail->depth;
    memcpy(c.blk, trail->blk, (size_t)depth * sizeof c.blk[0]);
    memcpy(c.chosen, trail->pos, (size_t)depth * sizeof c.chosen[0]);
    memcpy(c.before, trail->prev, (size_t)depth * sizeof c.before[0]);
    // Where each block lies is found at the first step (a guess that
    // proves wrong is only looked up).
    memset(c.bufs, 0, sizeof c.bufs);
    c.depth = (int16_t)depth;
    c.pos = (int16_t)pos;
    c.lb = fsdata->fscb.lb;
    c.judged = 0;
    c.epoch = fsdata->keychanges;
}

namespace {

// Sets nextok and prevok of a cursor whose blocks are all in the buffers.
void judge(FSDATA *fsdata, KCURSOR &c) {
    c.judged = 1;
    c.nextok = c.prevok = 0;
    int depth = c.depth;
    const FSBUFF *bufs[CURSORPATH];
    for (int i = 0; i < depth; i++) {
        bufs[i] = heldbuff(fsdata, c.blk[i]);
        if (bufs[i] == nullptr || !kbordered(fsdata, bufs[i])) return;
    }
    const KB *leaf = kbview(bufs[depth - 1]);
    if (leaf->level != 0 || c.pos < KBHEADER || c.pos >= leaf->len) return;
    uint8_t fid = c.fid;
    FUNC f;
    int16_t d;
    if (!choosecmp(fsdata, fid, &f, &d)) return;

    // The leaf's keys of fid f: the first and last, the first bar the
    // leaf's first entry, the last bar the leaf's last entry.
    int first = -1, last = -1, firstbut = -1, lastbut = -1;
    for (int p = KBHEADER; p < leaf->len; p = kbnext(leaf, p)) {
        if (kbat(leaf, p)[LEAFKEYOFF] != fid) continue;
        if (first < 0) first = p;
        if (firstbut < 0 && p != KBHEADER) firstbut = p;
        if (kbnext(leaf, p) < leaf->len) lastbut = p;
        last = p;
    }
    bool nextok = first >= 0 && lastbut >= 0, prevok = firstbut >= 0 && last >= 0;
    for (int i = 0; i < depth - 1 && (nextok || prevok); i++) {
        const KB *kb = kbview(bufs[i]);
        int cp = c.chosen[i], pp = c.before[i];
        if (pp >= 0) {
            const uint8_t *e = kbimage(kb, pp);
            int16_t el = kbkeylen(kb, pp);
            if (nextok && cmpimages(f, kbimage(leaf, first), kbkeylen(leaf, first), e, el, d) <= 0) nextok = false;
            if (prevok && cmpimages(f, kbimage(leaf, firstbut), kbkeylen(leaf, firstbut), e, el, d) <= 0)
                prevok = false;
        }
        if (cp < kb->len) {
            const uint8_t *e = kbimage(kb, cp);
            int16_t el = kbkeylen(kb, cp);
            if (nextok && cmpimages(f, kbimage(leaf, lastbut), kbkeylen(leaf, lastbut), e, el, d) >= 0)
                nextok = false;
            if (prevok && cmpimages(f, kbimage(leaf, last), kbkeylen(leaf, last), e, el, d) > 0) prevok = false;
        }
    }
    c.nextok = nextok;
    c.prevok = prevok;
}

}  // namespace

namespace {

// The leaf of a live cursor whose entry is the image (keylen len, then its
// rid), or null.
const KB *cursorleaf(FSDATA *fsdata, int16_t len, const uint8_t *image) {
    KCURSOR &c = fsdata->cursor;
    if (c.epoch == 0 || c.epoch != fsdata->keychanges || fsdata->plainreads) return nullptr;
    if (c.lb != fsdata->fscb.lb) return nullptr;
    int leaf = c.depth - 1;
    if (fsdata->bufblk[c.bufs[leaf]] != c.blk[leaf]) {
        int j = findbuff(fsdata, c.blk[leaf]);
        if (j < 0) return nullptr;
        c.bufs[leaf] = (int16_t)j;
    }
    const KB *kb = kbview(&fsdata->buff[c.bufs[leaf]]);
    if (c.pos >= kb->len || kbkeylen(kb, c.pos) != len || cmpbytes(kbimage(kb, c.pos), image, len + 4) != 0)
        return nullptr;
    if (!c.judged) {
        c.fid = image[0];
        judge(fsdata, c);
        if (c.nextok) prefetchfrom(fsdata, kb, c.pos, true);
    }
    return kb;
}

}  // namespace

int cursornext(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key, int16_t *newlen, uint32_t *rid) {
    KCURSOR &c = fsdata->cursor;
    const KB *kb = cursorleaf(fsdata, len, image);
    if (kb == nullptr || !c.nextok) return 0;
    int next = kbnext(kb, c.pos);
    if (next >= kb->len || !touchpath(fsdata, c)) return 0;
    // The scan of the leaf stops at the image's own entry (every entry
    // before it sorts below it), equal: the result is the entry after it.
    if (kbat(kb, next)[LEAFKEYOFF] != c.fid) {
        *rid = 0;
        return 1;
    }
    *rid = copykeyout(kb, next, key, newlen);
    c.pos = (int16_t)next;
    prefetchfrom(fsdata, kb, next, false);
    return 1;
}

int cursorprev(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key, uint32_t *rid) {
    KCURSOR &c = fsdata->cursor;
    const KB *kb = cursorleaf(fsdata, len, image);
    if (kb == nullptr || !c.prevok || c.pos == KBHEADER || !touchpath(fsdata, c)) return 0;
    // The backward scan stops at the image's own entry, which is not the
    // leaf's first: the result is the entry before it, if of the same fid.
    int prev = entrybefore(kb, c.pos);
    if (kbat(kb, prev)[LEAFKEYOFF] != c.fid) {
        *rid = 0;
        return 1;
    }
    *rid = copykeyout(kb, prev, key, nullptr);
    c.pos = (int16_t)prev;
    return 1;
}

}  // namespace pmdb
