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
// The old separator leaves its block first; when the replacement does not
// fit the block even then, that block (one entry shorter) splits as an
// insertion splits, and the replacement goes to the half it belongs to.
// The repair is planned before anything changes: the blocks such a split
// and the cascade above it need are taken first (a leaf that the deletion
// empties is the first block the split takes: it would be the head of
// chain 0 at that moment), and the ancestors that must split are split
// before the deletion starts, top down, as an insertion does. So a failed
// allocation leaves the tree as it was. Where keys of very different
// lengths would leave the half without room even then, the block is split
// as it stands, with the old separator still in it, and the deletion
// starts over.
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

void copykey(KEYCOPY *c, const KB *kb, int pos) {
    c->len = kbkeylen(kb, pos);
    memcpy(c->img, kbimage(kb, pos), (size_t)c->len + 4);
}

// The first entry of kb that does not sort below key (or len), the entry
// before it (-1 none) and the last comparison (-1 for an empty block).
int scan(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, FUNC cmpfunc,
         int16_t *result, int *prev) {
    return scankb(kb, len, key, dupkeys, cmpfunc, result, prev);
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

// Where the repair of removing delkey, the highest key of kbblk (at level),
// replaces a separator, found without changing anything: the block (0:
// no separator is replaced), its level, the old separator's position and
// the replacement's keylen.
struct REPAIRAT {
    uint32_t blk;
    int level;
    int pos;
    int16_t addlen;
};

short planrepair(FSDATA *fsdata, uint32_t kbblk, int level, const uint8_t *delkey, int16_t dellen,
                 FUNC cmpfunc, int16_t dupkeys, int16_t addlen, bool hasnew, KEYPATH *path,
                 REPAIRAT *at) {
    at->blk = 0;
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
        at->blk = parent;
        at->level = level + 1;
        at->pos = pos;
        at->addlen = addlen;
        return 1;
    }
}

// Plans the split that the repair at `at` needs when the replacement does
// not fit its block even without the old separator. *split is 0 when it
// fits; 1 when the block splits (one entry shorter) and *seplen, *sepfid
// are the separator that goes up; 2 when the half that would take the
// replacement lacks room for it too.
short plansplitrepair(FSDATA *fsdata, const REPAIRAT *at, int *split, int16_t *seplen, uint8_t *sepfid) {
    *split = 0;
    FSBUFF *b = readkeyblk(fsdata, at->blk, at->level);
    if (b == nullptr) {
        dodberror(1155);
        return 0;
    }
    KB shorter;
    memcpy(&shorter, &b->kbuff, sizeof shorter);
    int r = 0;   // the old separator's index: the replacement's in the shorter block
    for (int pos = KBHEADER; pos < at->pos; pos = kbnext(&shorter, pos)) r++;
    removeat(&shorter, at->pos);
    if (kbroom(&shorter, at->addlen)) return 1;
    int count, seppos, lowend;
    if (!splitpoint(&shorter, &count, &seppos, seplen, &lowend)) {
        dbdamage(at->blk, "key block: too few entries to split");
        dodberror(1210);
        return 0;
    }
    *sepfid = kbat(&shorter, seppos)[INNERKEYOFF];
    // The replacement ranks where the old separator stood: at or before
    // the lifted entry it goes to the lower half.
    int halflen = r <= count ? lowend : KBHEADER + shorter.len - (lowend + *seplen + INNEROVERHEAD);
    *split = halflen + at->addlen + INNEROVERHEAD <= (int)BLKSIZE ? 1 : 2;
    return 1;
}

// Repairs the separators above kbblk (at level), whose highest key delkey
// was removed: newkey is its new highest key, or null when kbblk was freed.
// A split the repair needs takes the blocks of plan.
short delparentkeys(FSDATA *fsdata, uint32_t kbblk, int level, const uint8_t *delkey,
                    int16_t dellen, FUNC cmpfunc, int16_t dupkeys, int16_t addlen,
                    const uint8_t *newkey, KEYPATH *path, SPLITPLAN *plan) {
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
                                 newkey, path, plan);
        if (kb2->numkeys > 0) {
            // The freed child's place goes to the last entry's child, and
            // that entry's key becomes kb2's highest.
            KEYCOPY e;
            copykey(&e, kb2, lastentry(kb2));
            if (!delparentkeys(fsdata, parent, level + 1, delkey, dellen, cmpfunc, dupkeys, e.len,
                               e.img, path, plan))
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
        if (!delparentkeys(fsdata, parent, level + 1, delkey, dellen, cmpfunc, dupkeys, 0, nullptr, path,
                           plan))
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
    FUNC newfunc = nullptr;
    int16_t newdup = 0;
    if (newkey != nullptr && !choosecmp(fsdata, newkey[0], &newfunc, &newdup)) return 0;
    removeat(kb2, pos);
    uint32_t target = parent;
    if (newkey != nullptr && !kbroom(kb2, addlen)) {
        // Even one entry shorter the block has no room: it splits (with
        // the blocks planned for it), and the replacement goes to the half
        // it belongs to, as a key equal to the separator would.
        KEYCOPY sep;
        uint32_t low = splitparent(fsdata, parent, path, plan, &sep);
        if (low == 0) return 0;
        int16_t minlen = addlen < sep.len ? addlen : sep.len;
        if (newfunc(newkey, sep.img, minlen, newdup, addlen, sep.len) <= 0) target = low;
        pb = readblk(fsdata, target);
        if (pb == nullptr) {
            dodberror(1147);
            return 0;
        }
        kb2 = &pb->kbuff;
    }
    if (newkey != nullptr) {
        // The new separator takes the old one's place.
        if (!kbroom(kb2, addlen) || !addparentkey(fsdata, kb2, addlen, kbblk, newkey)) {
            dbdamage(target, "key block: replacement separator does not fit");
            dodberror(1147);
            return 0;
        }
    }
    if (!writeblk(fsdata, target)) {
        dodberror(1147);
        return 0;
    }
    return 1;
}

// Removes the entry equal to key from the leaf leafblk and repairs the
// separators above it. A leaf the plan reuses is left to its split.
short deletel0key(FSDATA *fsdata, uint32_t leafblk, int16_t len, const uint8_t *key, int16_t dupkeys,
                  FUNC cmpfunc, KEYPATH *path, SPLITPLAN *plan) {
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
    if (kb->numkeys == 0 && plan->reuse != leafblk) {
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
                         hasnew ? nk.img : nullptr, path, plan);
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
    keyschanged(fsdata);
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, key[0], &cmpfunc, &dupkeys)) return 0;
    SPLITPLAN plan;
    clearplan(&plan);
    bool planned = false;
    short ok = 0;
    int round = 0;
    for (; round < MAXROUNDS; round++) {
        if (fsdata->fscb.rootkb == 0) break;
        KEYPATH path;
        clearpath(&path);
        const FSBUFF *b = findkeybuff(fsdata, len, key, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb);
        if (b == nullptr) break;
        uint32_t leafblk = b->blk;
        const KB *kb = kbview(b);
        int16_t result;
        int prev;
        int pos = scan(kb, len, key, dupkeys, cmpfunc, &result, &prev);
        if (result != 0 || pos >= kb->len) break;   // not present
        if (kbnext(kb, pos) < kb->len) {
            ok = deletel0key(fsdata, leafblk, len, key, dupkeys, cmpfunc, &path, &plan);
            break;
        }
        // The leaf's highest key: will its replacement fit?
        KEYCOPY del;
        copykey(&del, kb, pos);
        int16_t addlen = prev >= 0 ? kbkeylen(kb, prev) : 0;
        REPAIRAT at;
        int split = 0;
        int16_t seplen = 0;
        uint8_t sepfid = 0;
        if (!planrepair(fsdata, leafblk, 0, del.img, del.len, cmpfunc, dupkeys, addlen, prev >= 0, &path, &at) ||
            (at.blk != 0 && !plansplitrepair(fsdata, &at, &split, &seplen, &sepfid)))
            break;
        if (split == 2) {
            // Neither half would have room: split the block as it stands
            // and start over.
            if (!splitfor(fsdata, at.blk, at.level, &path, nullptr)) break;
            continue;
        }
        if (split == 1 && !planned) {
            planned = true;
            // An emptied leaf would be on top of chain 0 when the split
            // takes its block.
            if (prev < 0) {
                plan.half[at.level] = leafblk;
                plan.reuse = leafblk;
            }
            int top;
            bool newroot;
            if (!plancascade(fsdata, at.level, seplen, sepfid, &path, &top, &newroot) ||
                !takeplan(fsdata, &plan, at.level, top, newroot))
                break;
        }
        if (split == 1) {
            // The ancestors that must split for the separator go first.
            uint32_t parent = parentof(&path, at.level);
            if (parent != 0) {
                FSBUFF *pb = readkeyblk(fsdata, parent, at.level + 1);
                if (pb == nullptr) {
                    dodberror(1240);
                    break;
                }
                if (!kbroom(&pb->kbuff, seplen)) {
                    if (!splitfor(fsdata, parent, at.level + 1, &path, &plan)) break;
                    continue;
                }
            }
        }
        ok = deletel0key(fsdata, leafblk, len, key, dupkeys, cmpfunc, &path, &plan);
        break;
    }
    if (round == MAXROUNDS) dbdamage(fsdata->fscb.rootkb, "key index: deletion does not end");
    giveback(fsdata, &plan);
    return ok;
}

}  // namespace pmdb
