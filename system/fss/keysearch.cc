// keysearch.cc - reading the key index: the two scans of one block, the
// three descents through the tree, and the internal searches behind the
// exported key calls. Nothing here changes a block.
//
// Every block is checked as it is read (readkeyblk), so the scans may trust
// the entry lengths. A descent steps exactly one level down per block read
// and the backward walk is bounded by the height a tree can have, so no
// file content makes a search loop or run long.
#include <string.h>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/keyblk.h"
#include "fss/keycmp.h"
#include "fss/xlate.h"

namespace pmdb {

namespace {

inline int16_t minlen(int16_t a, int16_t b) { return a < b ? a : b; }

// Bounds of the backward walk. In a sound tree findlastkeybuff climbs the
// descent's path and then goes down one subtree, at most 2 * MAXLEVELS
// blocks, and the leaf it reaches holds a key below the value, so prevkey
// needs one round after its first leaf. The bounds leave room beyond that
// but do not come from lb: a damaged lb in the millions made a walk round
// a rewired tree read millions of blocks per round, and rounds times steps
// grew with its square.
constexpr uint32_t WALKSTEPS = 4 * MAXLEVELS;
constexpr uint32_t WALKROUNDS = MAXLEVELS;

}  // namespace

namespace {

template <class CMP>
inline int scanwith(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, int16_t *result,
                    int *prev, CMP cmp) {
    const uint8_t *base = kbat(kb, 0);
    int ovh = kboverhead(kb), koff = kbkeyoff(kb), end = kb->len;
    int16_t r = -1;
    int pv = -1, pos = KBHEADER;
    while (pos < end) {
        int16_t kl = (int16_t)get16(base + pos);
        r = cmp(key, base + pos + koff, minlen(len, kl), dupkeys, len, kl);
        if (r <= 0) break;
        pv = pos;
        pos += kl + ovh;
    }
    *result = r;
    *prev = pv;
    return pos;
}

}  // namespace

uint32_t copykeyout(const KB *kb, int pos, void *key, int16_t *keylen) {
    int16_t kl = kbkeylen(kb, pos);
    if (kl > 1) memcpy(key, kbat(kb, pos) + LEAFKEYOFF + 1, (size_t)(kl - 1));
    if (keylen != nullptr) *keylen = kl;
    return get32(kbat(kb, pos) + LEAFKEYOFF + kl);
}

namespace {

// The same answer by bisection, for a block in strictly ascending order
// (kbordered): "does not sort below the key" is then false and then true
// along the block, so the first entry where it holds is found with a
// comparison per halving. Only the sign of the result is kept: positive
// when every entry sorts below the key.
template <class CMP>
inline int bisectwith(const KB *kb, bool uniform, int16_t len, const uint8_t *key, int16_t dupkeys,
                      int16_t *result, int *prev, CMP cmp) {
    const uint8_t *base = kbat(kb, 0);
    int ovh = kboverhead(kb), koff = kbkeyoff(kb), end = kb->len;
    if (end <= KBHEADER) {
        *result = -1;
        *prev = -1;
        return end;
    }
    // Where entry i lies: i entries of one size on, or from the offsets
    // walked once.
    int16_t at[(BLKSIZE - KBHEADER) / (LEAFOVERHEAD + 1) + 1];
    int n = 0, size = 0;
    if (uniform) {
        size = get16(base + KBHEADER) + ovh;
        n = (end - KBHEADER) / size;
    } else {
        for (int pos = KBHEADER; pos < end; pos += get16(base + pos) + ovh) at[n++] = (int16_t)pos;
    }
    auto entry = [&](int i) { return uniform ? KBHEADER + i * size : at[i]; };
    int lo = 0, hi = n;
    int16_t r = 1;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        int pos = entry(mid);
        int16_t kl = (int16_t)get16(base + pos);
        int16_t c = cmp(key, base + pos + koff, minlen(len, kl), dupkeys, len, kl);
        if (c <= 0) {
            hi = mid;
            r = c;
        } else {
            lo = mid + 1;
        }
    }
    *result = lo < n ? r : 1;
    *prev = lo > 0 ? entry(lo - 1) : -1;
    return lo < n ? entry(lo) : end;
}

// Calls fn with the comparison of cmpfunc as a function object: the
// comparators of the table inline, any other through its pointer.
template <class FN>
inline int withcmp(FUNC cmpfunc, FN fn) {
    if (cmpfunc == charfunc || cmpfunc == ucharfunc) return fn(CHARCMP());
    if (cmpfunc == ulongfunc) return fn(TYPEDCMP<ULONGV>());
    if (cmpfunc == longfunc) return fn(TYPEDCMP<LONGV>());
    if (cmpfunc == shortfunc) return fn(TYPEDCMP<SHORTV>());
    if (cmpfunc == ushortfunc) return fn(TYPEDCMP<USHORTV>());
    if (cmpfunc == floatfunc) return fn(TYPEDCMP<FLOATV>());
    if (cmpfunc == doublefunc) return fn(TYPEDCMP<DOUBLEV>());
    if (cmpfunc == ldoublefunc) return fn(TYPEDCMP<LDOUBLEV>());
    return fn(cmpfunc);
}

}  // namespace

int scankb(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, FUNC cmpfunc,
           int16_t *result, int *prev) {
    // One loop per comparator of the table, with the comparison inline.
    return withcmp(cmpfunc, [&](auto cmp) { return scanwith(kb, len, key, dupkeys, result, prev, cmp); });
}

int scanblock(FSDATA *fsdata, const FSBUFF *b, int16_t len, const uint8_t *key, int16_t dupkeys,
              FUNC cmpfunc, int16_t *result, int *prev) {
    const KB *kb = kbview(b);
    if (fsdata->plainreads || !kbordered(fsdata, b))
        return scankb(kb, len, key, dupkeys, cmpfunc, result, prev);
    bool uniform = b->checked == MARKUNIFORM;
    return withcmp(cmpfunc, [&](auto cmp) { return bisectwith(kb, uniform, len, key, dupkeys, result, prev, cmp); });
}

int locatekey(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, int16_t *result,
              FUNC cmpfunc) {
    int prev;
    return scankb(kb, len, key, dupkeys, cmpfunc, result, &prev);
}

int locatelastkey(const KB *kb, int16_t len, const uint8_t *key, uint32_t *lastblk,
                  int16_t dupkeys, int16_t *result, FUNC cmpfunc) {
    int koff = kbkeyoff(kb);
    int prev;
    int pos = scankb(kb, len, key, dupkeys, cmpfunc, result, &prev);
    // An empty block keeps the starting value +1.
    if (kb->len <= KBHEADER) *result = 1;
    if (pos < kb->len) {
        // Stopped at an entry: the one before it, if any, precedes the key.
        if (prev < 0) return -1;
        *result = cmpfunc(key, kbat(kb, prev) + koff, 1, 0, 1, 1);
        return prev;
    }
    if (prev < 0) return -1;   // an empty block: nothing precedes
    if (kb->level > 0) {
        *lastblk = kbchild(kb, prev);
        return kb->len;
    }
    *result = cmpfunc(key, kbat(kb, prev) + koff, 1, 0, 1, 1);
    return prev;
}

namespace {

// Notes block b of a descent in the trail, with the entry chosen in it.
inline void follow(KTRAIL *trail, uint32_t blk, int pos, int prev) {
    if (trail == nullptr || trail->depth < 0) return;
    if (trail->depth >= CURSORPATH) {
        trail->depth = -1;
        return;
    }
    trail->blk[trail->depth] = blk;
    trail->pos[trail->depth] = (int16_t)pos;
    trail->prev[trail->depth] = (int16_t)prev;
    trail->depth++;
}

}  // namespace

const FSBUFF *findkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                          FUNC cmpfunc, KEYPATH *path, uint32_t startblk, int stoplevel, KTRAIL *trail) {
    if (trail != nullptr) trail->depth = 0;
    const FSBUFF *b = viewkeyblk(fsdata, startblk, -1);
    if (b == nullptr) {
        dodberror(1155);
        return nullptr;
    }
    if (kbview(b)->level < stoplevel) {
        // Only a damaged tree is lower than a block it holds.
        dbdamage(startblk, "key block: root lower than a block below it");
        dodberror(1165);
        return nullptr;
    }
    while (kbview(b)->level > stoplevel) {
        const KB *kb = kbview(b);
        int level = kb->level;
        path->blk[level] = b->blk;
        int16_t result;
        int prev = -1;
        int pos = kb->numkeys > 0 ? scanblock(fsdata, b, len, key, dupkeys, cmpfunc, &result, &prev) : kb->len;
        uint32_t next = pos < kb->len ? kbchild(kb, pos) : kb->xtrablk;
        if (next == 0) {
            dodberror(1160);
            return nullptr;
        }
        follow(trail, b->blk, pos, prev);
        b = viewkeyblk(fsdata, next, level - 1);
        if (b == nullptr) {
            dodberror(1165);
            return nullptr;
        }
    }
    follow(trail, b->blk, -1, -1);
    return b;
}

const FSBUFF *findnextkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                              FUNC cmpfunc, KTRAIL *trail) {
    if (trail != nullptr) trail->depth = 0;
    if (fsdata->fscb.rootkb == 0) return nullptr;
    const FSBUFF *b = viewkeyblk(fsdata, fsdata->fscb.rootkb, -1);
    if (b == nullptr) {
        dodberror(1250);
        return nullptr;
    }
    while (kbview(b)->level > 0) {
        const KB *kb = kbview(b);
        int level = kb->level;
        int pos = kb->len, prev = -1;
        if (kb->numkeys > 0) {
            int16_t result;
            pos = scanblock(fsdata, b, len, key, dupkeys, cmpfunc, &result, &prev);
            // An entry equal to the key: nothing under its child follows it.
            if (result == 0) {
                prev = pos;
                pos = kbnext(kb, pos);
            }
        }
        uint32_t next = pos < kb->len ? kbchild(kb, pos) : kb->xtrablk;
        if (next == 0) {
            dodberror(1255);
            return nullptr;
        }
        follow(trail, b->blk, pos, prev);
        b = viewkeyblk(fsdata, next, level - 1);
        if (b == nullptr) {
            dodberror(1260);
            return nullptr;
        }
    }
    follow(trail, b->blk, -1, -1);
    return b;
}

const FSBUFF *findlastkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                              FUNC cmpfunc, KEYPATH *path, uint32_t firstblk) {
    const FSBUFF *b = viewkeyblk(fsdata, firstblk, -1);
    if (b == nullptr) {
        dodberror(1265);
        return nullptr;
    }
    uint32_t steps = 0;
    while (kbview(b)->level > 0) {
        if (++steps > WALKSTEPS) {
            dbdamage(b->blk, "key index: backward walk does not end");
            dodberror(1275);
            return nullptr;
        }
        const KB *kb = kbview(b);
        int level = kb->level;
        uint32_t lastblk = 0, next;
        int16_t result = 1;
        int pos;
        if (kb->numkeys > 0) {
            pos = locatelastkey(kb, len, key, &lastblk, dupkeys, &result, cmpfunc);
        } else {
            pos = kb->len;
            lastblk = parentof(path, level);
        }
        bool up;
        if (pos == kb->len) {
            // Every entry sorts below the key. Coming up out of the
            // rightmost child, the walk goes on left of it; otherwise it
            // descends to the rightmost child.
            if (path->blk[level - 1] == kb->xtrablk) {
                next = lastblk;
                up = kb->numkeys <= 0;
            } else {
                next = kb->xtrablk;
                up = false;
            }
        } else if (pos < 0) {
            next = parentof(path, level);
            up = true;
        } else if (result == 0) {
            next = kbchild(kb, pos);
            up = false;
        } else {
            return nullptr;   // the key before belongs to another subkey
        }
        if (next == 0) return nullptr;   // above the root
        b = viewkeyblk(fsdata, next, up ? level + 1 : level - 1);
        if (b == nullptr) {
            dodberror(1275);
            return nullptr;
        }
    }
    return b;
}

uint32_t firstkey(FSDATA *fsdata, uint8_t fid, void *key, int16_t *keylen) {
    // A one-byte image of the fid alone; the comparators look no further
    // than the fid byte for it, so it needs no rid after it (kept anyway).
    uint8_t image[5] = {fid, 0, 0, 0, 0};
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, fid, &cmpfunc, &dupkeys)) return 0;
    if (fsdata->fscb.rootkb == 0) return 0;
    KEYPATH path;
    clearpath(&path);
    KTRAIL trail;
    const FSBUFF *b = findkeybuff(fsdata, 1, image, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb, 0, &trail);
    if (b == nullptr) return 0;
    int16_t result;
    int prev;
    int pos = scanblock(fsdata, b, 1, image, dupkeys, cmpfunc, &result, &prev);
    if (result != 0) return 0;
    uint32_t rid = copykeyout(kbview(b), pos, key, keylen);
    setcursor(fsdata, &trail, pos);
    return rid;
}

namespace {

// A found key's record is most often read next: its translation slot is
// fetched while the search returns, instead of being a memory miss the
// read waits for. Only a hint; nothing is read or changed.
inline void prefetchslot(const FSDATA *fsdata, uint32_t rid) {
    const uint8_t *slot = heldslot(fsdata, rid);
    if (slot != nullptr) __builtin_prefetch(slot);
}

}  // namespace

uint32_t findkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, image[0], &cmpfunc, &dupkeys)) return 0;
    dupkeys = 0;   // the rid is ignored: the first key of the value
    if (fsdata->fscb.rootkb == 0) return 0;
    KEYPATH path;
    clearpath(&path);
    KTRAIL trail;
    const FSBUFF *b = findkeybuff(fsdata, len, image, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb, 0, &trail);
    if (b == nullptr) return 0;
    int16_t result;
    int prev;
    int pos = scanblock(fsdata, b, len, image, dupkeys, cmpfunc, &result, &prev);
    if (result != 0) return 0;
    uint32_t rid = copykeyout(kbview(b), pos, key, nullptr);
    prefetchslot(fsdata, rid);
    setcursor(fsdata, &trail, pos);
    return rid;
}

uint32_t nextkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key, int16_t *newlen) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, image[0], &cmpfunc, &dupkeys)) return 0;
    uint32_t rid;
    if (cursornext(fsdata, len, image, key, newlen, &rid)) return rid;
    KTRAIL trail;
    const FSBUFF *b = findnextkeybuff(fsdata, len, image, dupkeys, cmpfunc, &trail);
    if (b == nullptr) return 0;
    const KB *kb = kbview(b);
    int16_t result;
    int prev;
    int pos = scanblock(fsdata, b, len, image, dupkeys, cmpfunc, &result, &prev);
    if (result == 0 && pos < kb->len) pos = kbnext(kb, pos);
    if (pos >= kb->len) return 0;
    if (kbat(kb, pos)[LEAFKEYOFF] != image[0]) return 0;
    rid = copykeyout(kb, pos, key, newlen);
    setcursor(fsdata, &trail, pos);
    return rid;
}

uint32_t prevkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, image[0], &cmpfunc, &dupkeys)) return 0;
    if (fsdata->fscb.rootkb == 0) return 0;
    uint32_t rid;
    if (cursorprev(fsdata, len, image, key, &rid)) return rid;
    KEYPATH path;
    clearpath(&path);
    KTRAIL trail;
    const FSBUFF *b = findkeybuff(fsdata, len, image, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb, 0, &trail);
    if (b == nullptr) return 0;
    path.blk[0] = b->blk;
    int16_t result = 1;
    int pos = -1;
    uint32_t rounds = 0;
    do {
        uint32_t lastblk = 0;
        pos = locatelastkey(kbview(b), len, image, &lastblk, dupkeys, &result, cmpfunc);
        if (result > 0) return 0;   // the key before belongs to an earlier subkey
        if (pos < 0) {
            if (path.blk[1] == 0) return 0;   // the leaf is the root
            if (++rounds > WALKROUNDS) {
                dbdamage(b->blk, "key index: backward walk does not end");
                dodberror(1275);
                return 0;
            }
            b = findlastkeybuff(fsdata, len, image, dupkeys, cmpfunc, &path, path.blk[1]);
            if (b == nullptr) return 0;
            trail.depth = -1;   // the walk left the descent's path
            result = 1;
        }
    } while (result != 0);
    rid = copykeyout(kbview(b), pos, key, nullptr);
    setcursor(fsdata, &trail, pos);
    return rid;
}

uint32_t lastkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key) {
    return prevkey(fsdata, len, image, key);
}

}  // namespace pmdb
