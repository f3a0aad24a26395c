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

namespace pmdb {

namespace {

inline int16_t minlen(int16_t a, int16_t b) { return a < b ? a : b; }

// Copies the value of the leaf entry at pos into key; returns its rid.
uint32_t copyout(const KB *kb, int pos, void *key, int16_t *keylen) {
    int16_t kl = kbkeylen(kb, pos);
    if (kl > 1) memcpy(key, kbat(kb, pos) + LEAFKEYOFF + 1, (size_t)(kl - 1));
    if (keylen != nullptr) *keylen = kl;
    return get32(kbat(kb, pos) + LEAFKEYOFF + kl);
}

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

int scankb(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, FUNC cmpfunc,
           int16_t *result, int *prev) {
    // One loop per comparator of the table, with the comparison inline.
    if (cmpfunc == charfunc || cmpfunc == ucharfunc)
        return scanwith(kb, len, key, dupkeys, result, prev, CHARCMP());
    if (cmpfunc == ulongfunc) return scanwith(kb, len, key, dupkeys, result, prev, TYPEDCMP<ULONGV>());
    if (cmpfunc == longfunc) return scanwith(kb, len, key, dupkeys, result, prev, TYPEDCMP<LONGV>());
    if (cmpfunc == shortfunc) return scanwith(kb, len, key, dupkeys, result, prev, TYPEDCMP<SHORTV>());
    if (cmpfunc == ushortfunc) return scanwith(kb, len, key, dupkeys, result, prev, TYPEDCMP<USHORTV>());
    if (cmpfunc == floatfunc) return scanwith(kb, len, key, dupkeys, result, prev, TYPEDCMP<FLOATV>());
    if (cmpfunc == doublefunc) return scanwith(kb, len, key, dupkeys, result, prev, TYPEDCMP<DOUBLEV>());
    if (cmpfunc == ldoublefunc) return scanwith(kb, len, key, dupkeys, result, prev, TYPEDCMP<LDOUBLEV>());
    return scanwith(kb, len, key, dupkeys, result, prev, cmpfunc);
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

const FSBUFF *findkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                          FUNC cmpfunc, KEYPATH *path, uint32_t startblk, int stoplevel) {
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
        int pos = kb->numkeys > 0 ? locatekey(kb, len, key, dupkeys, &result, cmpfunc) : kb->len;
        uint32_t next = pos < kb->len ? kbchild(kb, pos) : kb->xtrablk;
        if (next == 0) {
            dodberror(1160);
            return nullptr;
        }
        b = viewkeyblk(fsdata, next, level - 1);
        if (b == nullptr) {
            dodberror(1165);
            return nullptr;
        }
    }
    return b;
}

const FSBUFF *findnextkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                              FUNC cmpfunc) {
    if (fsdata->fscb.rootkb == 0) return nullptr;
    const FSBUFF *b = viewkeyblk(fsdata, fsdata->fscb.rootkb, -1);
    if (b == nullptr) {
        dodberror(1250);
        return nullptr;
    }
    while (kbview(b)->level > 0) {
        const KB *kb = kbview(b);
        int level = kb->level;
        int pos = kb->len;
        if (kb->numkeys > 0) {
            int16_t result;
            pos = locatekey(kb, len, key, dupkeys, &result, cmpfunc);
            // An entry equal to the key: nothing under its child follows it.
            if (result == 0) pos = kbnext(kb, pos);
        }
        uint32_t next = pos < kb->len ? kbchild(kb, pos) : kb->xtrablk;
        if (next == 0) {
            dodberror(1255);
            return nullptr;
        }
        b = viewkeyblk(fsdata, next, level - 1);
        if (b == nullptr) {
            dodberror(1260);
            return nullptr;
        }
    }
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
    const FSBUFF *b = findkeybuff(fsdata, 1, image, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb);
    if (b == nullptr) return 0;
    int16_t result;
    int pos = locatekey(kbview(b), 1, image, dupkeys, &result, cmpfunc);
    if (result != 0) return 0;
    return copyout(kbview(b), pos, key, keylen);
}

uint32_t findkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, image[0], &cmpfunc, &dupkeys)) return 0;
    dupkeys = 0;   // the rid is ignored: the first key of the value
    if (fsdata->fscb.rootkb == 0) return 0;
    KEYPATH path;
    clearpath(&path);
    const FSBUFF *b = findkeybuff(fsdata, len, image, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb);
    if (b == nullptr) return 0;
    int16_t result;
    int pos = locatekey(kbview(b), len, image, dupkeys, &result, cmpfunc);
    if (result != 0) return 0;
    return copyout(kbview(b), pos, key, nullptr);
}

uint32_t nextkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key, int16_t *newlen) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, image[0], &cmpfunc, &dupkeys)) return 0;
    const FSBUFF *b = findnextkeybuff(fsdata, len, image, dupkeys, cmpfunc);
    if (b == nullptr) return 0;
    const KB *kb = kbview(b);
    int16_t result;
    int pos = locatekey(kb, len, image, dupkeys, &result, cmpfunc);
    if (result == 0 && pos < kb->len) pos = kbnext(kb, pos);
    if (pos >= kb->len) return 0;
    if (kbat(kb, pos)[LEAFKEYOFF] != image[0]) return 0;
    return copyout(kb, pos, key, newlen);
}

uint32_t prevkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, image[0], &cmpfunc, &dupkeys)) return 0;
    if (fsdata->fscb.rootkb == 0) return 0;
    KEYPATH path;
    clearpath(&path);
    const FSBUFF *b = findkeybuff(fsdata, len, image, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb);
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
            result = 1;
        }
    } while (result != 0);
    return copyout(kbview(b), pos, key, nullptr);
}

uint32_t lastkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key) {
    return prevkey(fsdata, len, image, key);
}

}  // namespace pmdb
