// keyinsert.cc - adding keys to the index: new key blocks, insertion into
// a leaf and of separators into inner blocks, and the splits that make
// room.
//
// A split never moves the block it splits: the new block takes the lower
// half, the old one keeps the upper half, its number and its place under
// its parent, and one separator (the lower half's highest key) goes up.
//   leaf of n entries:  entries 0 .. (n+1)/2 - 1 to the new block; the last
//                       of them is copied up as the separator
//   inner of n entries: entries 0 .. n/2 - 1 to the new block; entry n/2
//                       goes up, its child becomes the new block's xtrablk
// A root split makes a new root one level higher with that one entry and
// the old root as xtrablk.
//
// A cascade (a block must split and its parent lacks room for the
// separator, and so on up) is planned before anything changes: every new
// block it needs is taken first, in the order of a cascade that climbs
// from the bottom: the new lower half of the lowest splitting level, then
// that of each level above, the new root last. So the block numbers, and
// the order in which blocks leave chain 0, are those of a bottom-up
// cascade, and a failed allocation gives back what was taken and leaves
// the tree as it was.
//
// The splits themselves are made from the top of the cascade down, one
// block per round, each with the block taken for its level: the parent (or
// the first ancestor whose own parent has room) first, then the entry is
// placed again from the root. A block splits with the same entries, at the
// same point, as it would after the split below it, and the descent takes
// an entry to the half a bottom-up cascade would give it (an entry equal
// to the separator goes to the lower half), so the tree has the same shape
// and bytes. Each round leaves a sound tree holding every key. A half that
// still lacks room (keys of very different lengths, where a bottom-up
// cascade would overfill it) is simply split again in a later round, with
// a block taken then.
// No buffer pointer is kept across a call that may read another block:
// blocks are taken again by number.
#include <string.h>

#include "fss/alloc.h"
#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"
#include "fss/keyblk.h"

namespace pmdb {

namespace {

// The numbers a split records, leaf and inner.
struct SPLITERR {
    int16_t noblock, readnew, writeold, writenew, noroot, readroot, readparent, writeparent;
};
constexpr SPLITERR LEAFERR = {1170, 1175, 1180, 1185, 1190, 1195, 1200, 1205};
constexpr SPLITERR INNERERR = {1210, 1215, 1220, 1225, 1230, 1235, 1240, 1245};
const SPLITERR &errsof(int level) { return level > 0 ? INNERERR : LEAFERR; }

// Rounds of placeentry before the tree is taken as damaged. A sound tree
// needs one round per level split, and a few more for keys of very
// different lengths.
constexpr int MAXROUNDS = 4 * MAXLEVELS;

// Inserts the entry at position pos of kb (which has room).
void insertat(KB *kb, int pos, const uint8_t *entry, int size) {
    uint8_t *p = kbat(kb, pos);
    if (pos < kb->len) memmove(p + size, p, (size_t)(kb->len - pos));
    memcpy(p, entry, (size_t)size);
    kb->len = (int16_t)(kb->len + size);
    kb->numkeys++;
}

// The header of a key block just taken: in use, empty, at level. The
// entry area keeps what the block held.
void initkb(KB *kb, int level) {
    kb->ancestor = 0;
    kb->len = KBHEADER;
    kb->numkeys = 0;
    kb->type = 1;
    kb->level = (signed char)level;
    kb->xtrablk = 0;
}

// The separator length and fid byte of the block kb (blk) when it splits;
// 0 when it holds too few entries to split (a damaged block), reported
// with the number of a split at its level.
short splitsep(uint32_t blk, const KB *kb, int16_t *seplen, uint8_t *sepfid) {
    int i, seppos, lowend;
    if (!splitpoint(kb, &i, &seppos, seplen, &lowend)) {
        dbdamage(blk, "key block: too few entries to split");
        dodberror(errsof(kb->level).noblock);
        return 0;
    }
    *sepfid = kbat(kb, seppos)[kbkeyoff(kb)];
    return 1;
}

// Splits the block blk at `level`, whose parent on the path has room for
// the separator (or which is the root), with the blocks the plan holds for
// its level, or new ones. The separator that went up is copied to sep
// when asked for.
uint32_t splitone(FSDATA *fsdata, uint32_t blk, KEYPATH *path, SPLITPLAN *plan, KEYCOPY *sep) {
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return 0;
    KB old;   // the halves are built from a copy
    memcpy(&old, &b->kbuff, sizeof old);
    int level = old.level;
    bool inner = level > 0;
    const SPLITERR &e = errsof(level);
    int i, seppos, lowend;
    int16_t key2len;
    if (!splitpoint(&old, &i, &seppos, &key2len, &lowend)) {
        dbdamage(blk, "key block: too few entries to split");
        dodberror(e.noblock);
        return 0;
    }
    uint8_t key2[KEYBUFSIZE];
    memcpy(key2, kbat(&old, seppos) + kbkeyoff(&old), (size_t)key2len + 4);
    FUNC sepfunc;
    int16_t sepdup;
    // A separator whose subkey has no comparator could not be placed.
    if (!choosecmp(fsdata, key2[0], &sepfunc, &sepdup)) return 0;
    uint32_t parent = parentof(path, level);
    if (parent == 0 && level + 1 >= MAXLEVELS) {
        dodberror(e.noroot);   // the path has no slot for another level
        return 0;
    }
    int upstart = inner ? lowend + key2len + INNEROVERHEAD : lowend;

    // Every new block first; a failure gives back what was taken here.
    uint32_t nblk = plan != nullptr ? plan->half[level] : 0;
    bool planned = nblk != 0;
    if (!planned) {
        nblk = newkeyblock(fsdata, (int16_t)level);
        if (nblk == 0) {
            dodberror(e.noblock);
            return 0;
        }
    }
    uint32_t root = 0;
    if (parent == 0) {
        if (plan != nullptr && plan->root != 0 && plan->rootlevel == level + 1) {
            root = plan->root;
            plan->root = 0;
        } else {
            root = newkeyblock(fsdata, (int16_t)(level + 1));
        }
        if (root == 0) {
            if (!planned) (void)freekeyblock(fsdata, nblk);
            dodberror(e.noroot);
            return 0;
        }
    }
    if (planned) plan->half[level] = 0;

    FSBUFF *nb = readblk(fsdata, nblk);
    if (nb == nullptr) {
        dodberror(e.readnew);
        return 0;
    }
    KB *kb1 = &nb->kbuff;
    if (planned && plan->reuse == nblk) {
        // A block of the tree that the deletion emptied: it becomes a key
        // block at this level only now.
        initkb(kb1, level);
        plan->reuse = 0;
    }
    memcpy(kbat(kb1, KBHEADER), kbat(&old, KBHEADER), (size_t)(lowend - KBHEADER));
    kb1->len = (int16_t)lowend;
    kb1->numkeys = (int16_t)i;
    if (inner) kb1->xtrablk = kbchild(&old, seppos);

    uint32_t target = root != 0 ? root : parent;
    FSBUFF *pb = readblk(fsdata, target);
    if (pb == nullptr) {
        dodberror(root != 0 ? e.readroot : e.readparent);
        return 0;
    }
    if (root != 0) pb->kbuff.xtrablk = blk;
    if (!addparentkey(fsdata, &pb->kbuff, key2len, nblk, key2)) {
        dbdamage(target, "key block: separator already present");
        dodberror(e.writeparent);
        return 0;
    }
    if (root != 0) {
        fsdata->fscb.rootkb = root;
        changefscb(fsdata);
    }

    b = readblk(fsdata, blk);
    if (b == nullptr) {
        dodberror(e.writeold);
        return 0;
    }
    KB *kb = &b->kbuff;
    memmove(kbat(kb, KBHEADER), kbat(&old, upstart), (size_t)(old.len - upstart));
    kb->len = (int16_t)(KBHEADER + old.len - upstart);
    kb->numkeys = (int16_t)(old.numkeys - i - (inner ? 1 : 0));

    if (!writeblk(fsdata, blk)) {
        dodberror(e.writeold);
        return 0;
    }
    if (!writeblk(fsdata, nblk)) {
        dodberror(e.writenew);
        return 0;
    }
    if (!writeblk(fsdata, target)) {
        dodberror(e.writeparent);
        return 0;
    }
    if (sep != nullptr) {
        sep->len = key2len;
        memcpy(sep->img, key2, (size_t)key2len + 4);
    }
    return nblk;
}

// Places the entry (a key in a leaf, or a separator leading to child)
// into the block b, which has room. In a block found in strict order the
// place is found by bisection (the same place the scan finds), and the
// block stays marked in order: the entry lies strictly between its
// neighbours, unless it has no place in an order itself (an empty value, a
// value not equal to itself), and then the mark goes. An append at the
// right edge of the tree, which scanned every entry of the leaf, so costs
// a comparison per halving.
short placeinto(FSDATA *fsdata, const FSBUFF *b, int level, int16_t len, const uint8_t *key, uint32_t child,
                int16_t dupkeys, FUNC cmpfunc) {
    if (fsdata->plainreads || !kbordered(fsdata, b)) {
        KB *kb = &ownbuff(fsdata, b)->kbuff;
        return level == 0 ? addl0key(kb, len, key, dupkeys, cmpfunc) : addparentkey(fsdata, kb, len, child, key);
    }
    int16_t result;
    int prev;
    int pos = scanblock(fsdata, b, len, key, dupkeys, cmpfunc, &result, &prev);
    if (result == 0) return 0;   // an equal entry is present
    char mark = b->checked;
    FSBUFF *w = ownbuffkept(fsdata, b);
    KB *kb = &w->kbuff;
    uint8_t entry[KEYBUFSIZE + INNEROVERHEAD];
    put16(entry, (uint16_t)len);
    int size = len + kboverhead(kb);
    if (level > 0) put32(entry + 2, child);
    memcpy(entry + kbkeyoff(kb), key, (size_t)len + 4);
    bool uniform = mark == MARKUNIFORM && (kb->len == KBHEADER || kbkeylen(kb, KBHEADER) == len);
    insertat(kb, pos, entry, size);
    bool floating = cmpfunc == floatfunc || cmpfunc == doublefunc || cmpfunc == ldoublefunc;
    bool inorder = len >= 2 && (!floating || cmpfunc(key, key, len, 1, len, len) == 0);
    w->checked = !inorder ? MARKKEY : uniform ? MARKUNIFORM : MARKORDERED;
    return 1;
}

}  // namespace

short splitpoint(const KB *kb, int *count, int *seppos, int16_t *seplen, int *lowend) {
    bool inner = kb->level > 0;
    int n = kb->numkeys;
    if (n < (inner ? 3 : 2)) return 0;
    int i = inner ? n / 2 : (n + 1) / 2;
    int pos = KBHEADER, last = KBHEADER;
    for (int k = 0; k < i; k++) {
        last = pos;
        pos = kbnext(kb, pos);
    }
    *count = i;
    *seppos = inner ? pos : last;
    *seplen = kbkeylen(kb, *seppos);
    *lowend = pos;
    return 1;
}

uint32_t newkeyblock(FSDATA *fsdata, int16_t level) {
    FSCB &cb = fsdata->fscb;
    uint32_t blk = cb.fc[0];
    bool fromchain = blk != 0;
    if (!fromchain) {
        blk = allocextendedblk(fsdata);
        if (blk == 0) {
            dodberror(1280);
            return 0;
        }
    } else if (blk < 2 || blk > cb.lb + 1 || isxlateblk(fsdata, blk)) {
        dbdamage(0, "chain 0 head is not a block of the file");
        dodberror(1285);
        return 0;
    }
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) {
        dodberror(1285);
        return 0;
    }
    // Taking a block in use (a damaged chain) would destroy its contents.
    if (fromchain && (b->dbuff.type != 0 || b->dbuff.len != DBHEADER)) {
        dbdamage(blk, "chain 0 head is not an empty block");
        dodberror(1285);
        return 0;
    }
    cb.fc[0] = b->kbuff.ancestor;
    changefscb(fsdata);
    initkb(&b->kbuff, level);
    // Marked at once, so that the block cannot leave the cache unwritten
    // before its first entries are in it.
    if (!writeblk(fsdata, blk)) {
        (void)freekeyblock(fsdata, blk);   // back on the chain it came from
        dodberror(1285);
        return 0;
    }
    return blk;
}

short addl0key(KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, FUNC cmpfunc) {
    int16_t result;
    int pos = locatekey(kb, len, key, dupkeys, &result, cmpfunc);
    if (result == 0) return 0;   // an equal key is present
    uint8_t entry[KEYBUFSIZE + LEAFOVERHEAD];
    put16(entry, (uint16_t)len);
    memcpy(entry + 2, key, (size_t)len + 4);
    insertat(kb, pos, entry, len + LEAFOVERHEAD);
    return 1;
}

short addparentkey(FSDATA *fsdata, KB *kb, int16_t keylen, uint32_t blk, const uint8_t *key) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, key[0], &cmpfunc, &dupkeys)) return 0;
    int16_t result;
    int pos = locatekey(kb, keylen, key, dupkeys, &result, cmpfunc);
    if (result == 0) return 0;   // an equal separator is present
    uint8_t entry[KEYBUFSIZE + INNEROVERHEAD];
    put16(entry, (uint16_t)keylen);
    put32(entry + 2, blk);
    memcpy(entry + 6, key, (size_t)keylen + 4);
    insertat(kb, pos, entry, keylen + INNEROVERHEAD);
    return 1;
}

uint32_t splitkeyblk(FSDATA *fsdata, uint32_t blk, KEYPATH *path, SPLITPLAN *plan, KEYCOPY *sep) {
    return splitone(fsdata, blk, path, plan, sep);
}

uint32_t splitparent(FSDATA *fsdata, uint32_t blk, KEYPATH *path, SPLITPLAN *plan, KEYCOPY *sep) {
    return splitone(fsdata, blk, path, plan, sep);
}

void clearplan(SPLITPLAN *plan) { memset(plan, 0, sizeof *plan); }

short plancascade(FSDATA *fsdata, int level, int16_t seplen, uint8_t sepfid, const KEYPATH *path,
                  int *top, bool *newroot) {
    for (int l = level;; l++) {
        FUNC f;
        int16_t dup;
        // A separator whose subkey has no comparator could not be placed.
        if (!choosecmp(fsdata, sepfid, &f, &dup)) return 0;
        uint32_t parent = parentof(path, l);
        if (parent == 0) {
            if (l + 1 >= MAXLEVELS) {
                dodberror(errsof(l).noroot);   // the path has no slot for another level
                return 0;
            }
            *top = l;
            *newroot = true;
            return 1;
        }
        FSBUFF *pb = readkeyblk(fsdata, parent, l + 1);
        if (pb == nullptr) {
            dodberror(errsof(l).readparent);
            return 0;
        }
        if (kbroom(&pb->kbuff, seplen)) {
            *top = l;
            *newroot = false;
            return 1;
        }
        if (!splitsep(parent, &pb->kbuff, &seplen, &sepfid)) return 0;
    }
}

short takeplan(FSDATA *fsdata, SPLITPLAN *plan, int low, int top, bool newroot) {
    for (int l = low; l <= top; l++) {
        if (plan->half[l] != 0) continue;   // held already
        uint32_t blk = newkeyblock(fsdata, (int16_t)l);
        if (blk == 0) {
            dodberror(errsof(l).noblock);
            giveback(fsdata, plan);
            return 0;
        }
        plan->half[l] = blk;
    }
    if (newroot) {
        uint32_t blk = newkeyblock(fsdata, (int16_t)(top + 1));
        if (blk == 0) {
            dodberror(errsof(top).noroot);
            giveback(fsdata, plan);
            return 0;
        }
        plan->root = blk;
        plan->rootlevel = top + 1;
    }
    return 1;
}

void giveback(FSDATA *fsdata, SPLITPLAN *plan) {
    // In the reverse order of taking, so that chain 0 is as it was.
    if (plan->root != 0) (void)freekeyblock(fsdata, plan->root);
    for (int l = MAXLEVELS - 1; l >= 0; l--) {
        if (plan->half[l] != 0 && plan->half[l] != plan->reuse) (void)freekeyblock(fsdata, plan->half[l]);
    }
    clearplan(plan);
}

short splitfor(FSDATA *fsdata, uint32_t blk, int level, KEYPATH *path, SPLITPLAN *plan) {
    // The block to split: the lowest one on the path whose parent has room
    // for its separator, or the root.
    uint32_t x = blk;
    for (int l = level;; l++) {
        FSBUFF *xb = readblk(fsdata, x);
        if (xb == nullptr) return 0;
        int i, seppos, lowend;
        int16_t seplen;
        if (!splitpoint(&xb->kbuff, &i, &seppos, &seplen, &lowend)) break;   // reported by the split
        uint32_t parent = parentof(path, l);
        if (parent == 0) break;
        FSBUFF *pb = readkeyblk(fsdata, parent, l + 1);
        if (pb == nullptr) {
            dodberror(errsof(l).readparent);
            return 0;
        }
        if (kbroom(&pb->kbuff, seplen)) break;
        x = parent;
    }
    return splitone(fsdata, x, path, plan, nullptr) != 0;
}

short placeentry(FSDATA *fsdata, int level, int16_t len, const uint8_t *key, uint32_t child) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, key[0], &cmpfunc, &dupkeys)) return 0;
    SPLITPLAN plan;
    clearplan(&plan);
    bool planned = false;
    short ok = 0;
    int round = 0;
    for (; round < MAXROUNDS; round++) {
        KEYPATH path;
        clearpath(&path);
        const FSBUFF *b = findkeybuff(fsdata, len, key, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb, level);
        if (b == nullptr) break;
        uint32_t blk = b->blk;
        if (kbroom(kbview(b), len)) {
            ok = placeinto(fsdata, b, level, len, key, child, dupkeys, cmpfunc);
            if (ok) ok = writeblk(fsdata, blk);
            break;
        }
        if (!planned) {
            // The whole cascade's blocks, before its first split.
            planned = true;
            int16_t seplen;
            uint8_t sepfid;
            int top;
            bool newroot;
            if (!splitsep(blk, kbview(b), &seplen, &sepfid) ||
                !plancascade(fsdata, level, seplen, sepfid, &path, &top, &newroot) ||
                !takeplan(fsdata, &plan, level, top, newroot))
                break;
        }
        if (!splitfor(fsdata, blk, level, &path, &plan)) break;
    }
    if (round == MAXROUNDS) dbdamage(fsdata->fscb.rootkb, "key index: placing an entry does not end");
    giveback(fsdata, &plan);
    return ok;
}

short addkeytoblk(FSDATA *fsdata, int16_t len, const uint8_t *key) {
    return placeentry(fsdata, 0, len, key, 0);
}

short addkey(FSDATA *fsdata, int16_t len, const uint8_t *key) {
    keyschanged(fsdata);
    if (fsdata->fscb.rootkb == 0) {
        uint32_t root = newkeyblock(fsdata, 0);
        if (root == 0) {
            dodberror(1140);
            return 0;
        }
        fsdata->fscb.rootkb = root;
    }
    if (!addkeytoblk(fsdata, len, key)) {
        dodberror(1145);
        return 0;
    }
    return 1;
}

}  // namespace pmdb
