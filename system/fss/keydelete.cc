// keydelete.cc - removing keys from the index and keeping every separator
// above equal to its subtree's highest key; freeing emptied key blocks
// onto chain 0.
//
// Blocks are never merged: a leaf leaves the tree when its last entry
// goes, an inner block when its last child goes; the root is never
// replaced by its only child. When the removed key was its leaf's highest,
// the separator that bounds the leaf is replaced by the leaf's new highest
// key. A rightmost child (xtrablk) has no separator of its own in its
// parent, so the repair climbs until it meets a block that is not a
// rightmost child and replaces the separator in that block's parent; on
// the rightmost edge there is none to repair. A freed rightmost child
// makes its parent's last entry the new rightmost child, whose key then
// bounds the parent further up.
//
// The deletion is planned before anything changes: when the replacement
// separator is longer than the one it replaces and its block lacks room,
// that block is split first (as an insertion would split it) and the
// deletion starts over from the root. So the deletion itself never needs
// a new block, and a failure leaves a sound tree with every other key.
//
// A freed block becomes an empty data block on chain 0:
//   offset size field      value
//   0      4    nbic       the previous head of FSCB.fc[0]
//   4      2    len        10 (an empty data block)
//   6      2    fc         0: filed on chain 0
//   8      1    type       0
//   9      1    level      0
//   10     ...  left as they were
#include <string.h>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"
#include "fss/keyblk.h"

namespace pmdb {

namespace {

// Rounds of deletekey before the tree is taken as damaged: each round that
// does not delete splits one block.
constexpr int MAXROUNDS = 4 * MAXLEVELS;

// A key image with its rid, copied out of a block before higher blocks
// are read.
struct KEYCOPY {
    int16_t len;
    uint8_t img[KEYBUFSIZE];
};

void copykey(KEYCOPY *c, const KB *kb, int pos) {
    c->len = kbkeylen(kb, pos);
    memcpy(c->img, kbimage(kb, pos), (size_t)c->len + 4);
}

// The first entry of kb that does not sort below key (or len), the entry
// before it (-1 none) and the last comparison (-1 for an empty block).
int scan(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, FUNC cmpfunc,
         int16_t *result, int *prev) {
    int koff = kbkeyoff(kb), ovh = kboverhead(kb);
    *result = -1;
    *prev = -1;
    int pos = KBHEADER;
    while (pos < kb->len) {
        int16_t kl = kbkeylen(kb, pos);
        *result = cmpfunc(key, kbat(kb, pos) + koff, len < kl ? len : kl, dupkeys, len, kl);
        if (*result <= 0) break;
        *prev = pos;
        pos += kl + ovh;
    }
    return pos;
}

int lastentry(const KB *kb) {
    int last = -1;
    for (int pos = KBHEADER; pos < kb->len; pos = kbnext(kb, pos)) last = pos;
    return last;
}

void removeat(KB *kb, int pos) {
    int size = kbkeylen(kb, pos) + kboverhead(kb);
    memmove(kbat(kb, pos), kbat(kb, pos + size), (size_t)(kb->len - pos - size));
    kb->len = (int16_t)(kb->len - size);
    kb->numkeys--;
}

// Walks the repair that removing delkey, the highest key of kbblk (at
// level), would make, changing nothing. *needsplit is the block that must
// take a replacement separator of addlen and lacks room for it (0 none).
short planrepair(FSDATA *fsdata, uint32_t kbblk, int level, const uint8_t *delkey, int16_t dellen,
                 FUNC cmpfunc, int16_t dupkeys, int16_t addlen, bool hasnew, KEYPATH *path,
                 uint32_t *needsplit, int *splitlevel) {
    *needsplit = 0;
    for (;; level++) {
        uint32_t parent = parentof(path, level);
        if (parent == 0) return 1;
        FSBUFF *pb = readkeyblk(fsdata, parent, level + 1);
        if (pb == nullptr) {
            dodberror(1155);
            return 0;
        }
        const KB *kb2 = &pb->kbuff;
        if (kb2->xtrablk == kbblk) {
            if (!hasnew && kb2->numkeys > 0) {
                addlen = kbkeylen(kb2, lastentry(kb2));
                hasnew = true;
            }
            kbblk = parent;
            continue;
        }
        int16_t result;
        int prev;
        int pos = scan(kb2, dellen, delkey, dupkeys, cmpfunc, &result, &prev);
        if (result != 0 || !hasnew) return 1;
        if (kb2->len - (kbkeylen(kb2, pos) + INNEROVERHEAD) + addlen + INNEROVERHEAD > (int)BLKSIZE) {
            *needsplit = parent;
            *splitlevel = level + 1;
        }
        return 1;
    }
}

// Repairs the separators above kbblk (at level), whose highest key delkey
// was removed: newkey is its new highest key, or null when kbblk was freed.
short delparentkeys(FSDATA *fsdata, uint32_t kbblk, int level, const uint8_t *delkey,
                    int16_t dellen, FUNC cmpfunc, int16_t dupkeys, int16_t addlen,
                    const uint8_t *newkey, KEYPATH *path) {
    uint32_t parent = parentof(path, level);
    if (parent == 0) return 1;   // kbblk is the root
    FSBUFF *pb = readkeyblk(fsdata, parent, level + 1);
    if (pb == nullptr) {
        dodberror(1155);
        return 0;
    }
    KB *kb2 = &pb->kbuff;
    if (kb2->xtrablk == kbblk) {
        // A rightmost child: delkey bounds kb2 too, one level up.
        if (newkey != nullptr)
            return delparentkeys(fsdata, parent, level + 1, delkey, dellen, cmpfunc, dupkeys, addlen,
                                 newkey, path);
        if (kb2->numkeys > 0) {
            // The freed child's place goes to the last entry's child, and
            // that entry's key becomes kb2's highest.
            KEYCOPY e;
            copykey(&e, kb2, lastentry(kb2));
            if (!delparentkeys(fsdata, parent, level + 1, delkey, dellen, cmpfunc, dupkeys, e.len,
                               e.img, path))
                return 0;
            pb = readblk(fsdata, parent);
            if (pb == nullptr) {
                dodberror(1155);
                return 0;
            }
            kb2 = &pb->kbuff;
            int last = lastentry(kb2);
            kb2->xtrablk = kbchild(kb2, last);
            removeat(kb2, last);
            if (!writeblk(fsdata, parent)) {
                dodberror(1147);
                return 0;
            }
            return 1;
        }
        // kb2's only child is gone: kb2 leaves its parent, then the tree.
        if (!delparentkeys(fsdata, parent, level + 1, delkey, dellen, cmpfunc, dupkeys, 0, nullptr, path))
            return 0;
        if (!freekeyblock(fsdata, parent)) {
            dodberror(1147);
            return 0;
        }
        return 1;
    }
    int16_t result;
    int prev;
    int pos = scan(kb2, dellen, delkey, dupkeys, cmpfunc, &result, &prev);
    if (result != 0) return 1;   // no separator equals delkey
    if (kbchild(kb2, pos) != kbblk) {
        dbdamage(parent, "key block: separator does not lead to its subtree");
        dodberror(1155);
        return 0;
    }
    if (newkey != nullptr) {
        FUNC newfunc;
        int16_t newdup;
        if (!choosecmp(fsdata, newkey[0], &newfunc, &newdup)) return 0;
    }
    removeat(kb2, pos);
    if (newkey != nullptr) {
        // The plan made room; the new separator takes the old one's place.
        if (!kbroom(kb2, addlen) || !addparentkey(fsdata, kb2, addlen, kbblk, newkey)) {
            dbdamage(parent, "key block: replacement separator does not fit");
            dodberror(1147);
            return 0;
        }
    }
    if (!writeblk(fsdata, parent)) {
        dodberror(1147);
        return 0;
    }
    return 1;
}

// Removes the entry equal to key from the leaf leafblk and repairs the
// separators above it.
short deletel0key(FSDATA *fsdata, uint32_t leafblk, int16_t len, const uint8_t *key, int16_t dupkeys,
                  FUNC cmpfunc, KEYPATH *path) {
    FSBUFF *b = readblk(fsdata, leafblk);
    if (b == nullptr) return 0;
    KB *kb = &b->kbuff;
    int16_t result;
    int prev;
    int pos = scan(kb, len, key, dupkeys, cmpfunc, &result, &prev);
    if (result != 0 || pos >= kb->len) return 0;
    // The stored key (its own rid) is what the separators hold.
    KEYCOPY del, nk;
    copykey(&del, kb, pos);
    bool waslast = kbnext(kb, pos) >= kb->len;
    bool hasnew = waslast && prev >= 0;
    if (hasnew) copykey(&nk, kb, prev);
    removeat(kb, pos);
    if (kb->numkeys == 0) {
        if (!freekeyblock(fsdata, leafblk)) {
            dodberror(1147);
            return 0;
        }
    } else if (!writeblk(fsdata, leafblk)) {
        dodberror(1147);
        return 0;
    }
    if (!waslast) return 1;
    return delparentkeys(fsdata, leafblk, 0, del.img, del.len, cmpfunc, dupkeys, hasnew ? nk.len : 0,
                         hasnew ? nk.img : nullptr, path);
}

}  // namespace

short freekeyblock(FSDATA *fsdata, uint32_t blk) {
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return 0;
    FSCB &cb = fsdata->fscb;
    DB *db = &b->dbuff;
    db->nbic = cb.fc[0];
    db->len = DBHEADER;
    db->fc = 0;
    db->type = 0;
    db->fill = 0;
    cb.fc[0] = blk;
    if (cb.rootkb == blk) cb.rootkb = 0;
    changefscb(fsdata);
    return writeblk(fsdata, blk);
}

short deletekey(FSDATA *fsdata, int16_t len, const uint8_t *key) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, key[0], &cmpfunc, &dupkeys)) return 0;
    for (int round = 0; round < MAXROUNDS; round++) {
        if (fsdata->fscb.rootkb == 0) return 0;
        KEYPATH path;
        clearpath(&path);
        FSBUFF *b = findkeybuff(fsdata, len, key, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb);
        if (b == nullptr) return 0;
        uint32_t leafblk = b->blk;
        const KB *kb = &b->kbuff;
        int16_t result;
        int prev;
        int pos = scan(kb, len, key, dupkeys, cmpfunc, &result, &prev);
        if (result != 0 || pos >= kb->len) return 0;   // not present
        if (kbnext(kb, pos) < kb->len) return deletel0key(fsdata, leafblk, len, key, dupkeys, cmpfunc, &path);
        // The leaf's highest key: make sure its replacement will fit.
        KEYCOPY del;
        copykey(&del, kb, pos);
        int16_t addlen = prev >= 0 ? kbkeylen(kb, prev) : 0;
        uint32_t needsplit;
        int splitlevel;
        if (!planrepair(fsdata, leafblk, 0, del.img, del.len, cmpfunc, dupkeys, addlen, prev >= 0, &path,
                        &needsplit, &splitlevel))
            return 0;
        if (needsplit == 0) return deletel0key(fsdata, leafblk, len, key, dupkeys, cmpfunc, &path);
        if (!splitfor(fsdata, needsplit, splitlevel, &path)) return 0;
    }
    dbdamage(fsdata->fscb.rootkb, "key index: deletion does not end");
    return 0;
}

}  // namespace pmdb
