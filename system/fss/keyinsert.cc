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
// Splits divide by entry count, so with keys of different lengths the half
// chosen for an entry may still lack room; the entry is then placed again
// from the root (placeentry), which splits a block with fewer entries each
// round. No buffer pointer is kept across a call that may read another
// block: blocks are taken again by number.
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

// Rounds of placeentry before the tree is taken as damaged; each round
// splits a block with fewer entries, so a sound tree needs few.
constexpr int MAXROUNDS = 64;

inline int16_t minlen(int16_t a, int16_t b) { return a < b ? a : b; }

// Inserts the entry at position pos of kb (which has room).
void insertat(KB *kb, int pos, const uint8_t *entry, int size) {
    uint8_t *p = kbat(kb, pos);
    if (pos < kb->len) memmove(p + size, p, (size_t)(kb->len - pos));
    memcpy(p, entry, (size_t)size);
    kb->len = (int16_t)(kb->len + size);
    kb->numkeys++;
}

uint32_t splitblk(FSDATA *fsdata, uint32_t blk, int16_t len, const uint8_t *key, KEYPATH *path);

// The separator key2 (image + rid, keylen key2len) leading to child goes
// into the parent of a block at `level`: a new root, or the parent on the
// path, split first when it lacks room.
short placeseparator(FSDATA *fsdata, uint32_t blk, int level, int16_t key2len,
                     const uint8_t *key2, uint32_t child, KEYPATH *path, const SPLITERR &e) {
    uint32_t parent = parentof(path, level);
    if (parent == 0) {
        uint32_t root = newkeyblock(fsdata, (int16_t)(level + 1));
        if (root == 0) {
            dodberror(e.noroot);
            return 0;
        }
        fsdata->fscb.rootkb = root;
        changefscb(fsdata);
        FSBUFF *rb = readblk(fsdata, root);
        if (rb == nullptr) {
            dodberror(e.readroot);
            return 0;
        }
        rb->kbuff.xtrablk = blk;
        if (!addparentkey(fsdata, &rb->kbuff, key2len, child, key2)) return 0;
        if (!writeblk(fsdata, root)) {
            dodberror(e.writeparent);
            return 0;
        }
        return 1;
    }
    FSBUFF *pb = readkeyblk(fsdata, parent, level + 1);
    if (pb == nullptr) {
        dodberror(e.readparent);
        return 0;
    }
    uint32_t target = parent;
    if (!kbroom(&pb->kbuff, key2len)) {
        target = splitparent(fsdata, parent, key2len, key2, path);
        if (target == 0) return 0;
        pb = readblk(fsdata, target);
        if (pb == nullptr) {
            dodberror(e.readparent);
            return 0;
        }
        if (!kbroom(&pb->kbuff, key2len)) {
            // The chosen half lacks room: place the separator from the root.
            if (!placeentry(fsdata, level + 1, key2len, key2, child)) {
                dodberror(e.writeparent);
                return 0;
            }
            return 1;
        }
    }
    if (!addparentkey(fsdata, &pb->kbuff, key2len, child, key2)) return 0;
    if (!writeblk(fsdata, target)) {
        dodberror(e.writeparent);
        return 0;
    }
    return 1;
}

uint32_t splitblk(FSDATA *fsdata, uint32_t blk, int16_t len, const uint8_t *key, KEYPATH *path) {
    FUNC cmpfunc;
    int16_t dupkeys;
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return 0;
    int level = b->kbuff.level;
    bool inner = level > 0;
    const SPLITERR &e = inner ? INNERERR : LEAFERR;
    if (!choosecmp(fsdata, key[0], &cmpfunc, &dupkeys)) return 0;

    // Work from a copy: the halves are written back into two buffers.
    KB old;
    memcpy(&old, &b->kbuff, sizeof old);
    int n = old.numkeys;
    if (n < (inner ? 3 : 2)) {
        // A block that lacks room holds at least four entries.
        dbdamage(blk, "key block: too few entries to split");
        dodberror(e.noblock);
        return 0;
    }
    int ovh = kboverhead(&old), koff = kbkeyoff(&old);
    int i = inner ? n / 2 : (n + 1) / 2;
    // Leaf: walk i entries, the separator is entry i - 1 (stays below).
    // Inner: walk i entries to the middle entry i, which goes up.
    int pos = KBHEADER, last = KBHEADER;
    for (int k = 0; k < i; k++) {
        last = pos;
        pos = kbnext(&old, pos);
    }
    int seppos = inner ? pos : last;
    int16_t key2len = kbkeylen(&old, seppos);
    uint8_t key2[KEYBUFSIZE];
    memcpy(key2, kbat(&old, seppos) + koff, (size_t)key2len + 4);
    FUNC sepfunc;
    int16_t sepdup;
    // A separator whose subkey has no comparator could not be placed:
    // refuse before anything changes.
    if (!choosecmp(fsdata, key2[0], &sepfunc, &sepdup)) return 0;
    if (parentof(path, level) == 0 && level + 1 >= MAXLEVELS) {
        dodberror(e.noroot);   // the path has no slot for another level
        return 0;
    }
    int lowend = pos;                                   // end of the lower half
    int upstart = inner ? pos + key2len + ovh : pos;    // start of the upper half

    uint32_t nblk = newkeyblock(fsdata, (int16_t)level);
    if (nblk == 0) {
        dodberror(e.noblock);
        return 0;
    }
    FSBUFF *nb = readblk(fsdata, nblk);
    if (nb == nullptr) {
        dodberror(e.readnew);
        return 0;
    }
    KB *kb1 = &nb->kbuff;
    memcpy(kbat(kb1, KBHEADER), kbat(&old, KBHEADER), (size_t)(lowend - KBHEADER));
    kb1->len = (int16_t)lowend;
    kb1->numkeys = (int16_t)i;
    if (inner) kb1->xtrablk = kbchild(&old, seppos);
    b = readblk(fsdata, blk);
    if (b == nullptr) {
        dodberror(e.writeold);
        return 0;
    }
    KB *kb = &b->kbuff;
    memcpy(kbat(kb, KBHEADER), kbat(&old, upstart), (size_t)(old.len - upstart));
    kb->len = (int16_t)(KBHEADER + old.len - upstart);
    kb->numkeys = (int16_t)(n - i - (inner ? 1 : 0));
    (void)ovh;
    if (!writeblk(fsdata, blk)) {
        dodberror(e.writeold);
        return 0;
    }
    if (!writeblk(fsdata, nblk)) {
        dodberror(e.writenew);
        return 0;
    }
    if (!placeseparator(fsdata, blk, level, key2len, key2, nblk, path, e)) return 0;
    // The pending entry goes below when it does not sort after the
    // separator, under its own comparator.
    int16_t c = cmpfunc(key, key2, minlen(len, key2len), dupkeys, len, key2len);
    return c <= 0 ? nblk : blk;
}

}  // namespace

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
    KB *kb = &b->kbuff;
    kb->ancestor = 0;
    kb->len = KBHEADER;
    kb->numkeys = 0;
    kb->type = 1;
    kb->level = (signed char)level;
    kb->xtrablk = 0;
    // Marked at once, so that the block cannot leave the cache unwritten
    // before its first entries are in it.
    if (!writeblk(fsdata, blk)) {
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

uint32_t splitkeyblk(FSDATA *fsdata, uint32_t blk, int16_t len, const uint8_t *key, KEYPATH *path) {
    return splitblk(fsdata, blk, len, key, path);
}

uint32_t splitparent(FSDATA *fsdata, uint32_t blk, int16_t len, const uint8_t *key, KEYPATH *path) {
    return splitblk(fsdata, blk, len, key, path);
}

short placeentry(FSDATA *fsdata, int level, int16_t len, const uint8_t *key, uint32_t child) {
    FUNC cmpfunc;
    int16_t dupkeys;
    if (!choosecmp(fsdata, key[0], &cmpfunc, &dupkeys)) return 0;
    for (int round = 0; round < MAXROUNDS; round++) {
        KEYPATH path;
        clearpath(&path);
        FSBUFF *b = findkeybuff(fsdata, len, key, dupkeys, cmpfunc, &path, fsdata->fscb.rootkb, level);
        if (b == nullptr) return 0;
        uint32_t blk = b->blk;
        if (!kbroom(&b->kbuff, len)) {
            blk = level == 0 ? splitkeyblk(fsdata, blk, len, key, &path)
                             : splitparent(fsdata, blk, len, key, &path);
            if (blk == 0) return 0;
            b = readblk(fsdata, blk);
            if (b == nullptr) return 0;
            if (!kbroom(&b->kbuff, len)) continue;   // start over from the root
        }
        short ok = level == 0 ? addl0key(&b->kbuff, len, key, dupkeys, cmpfunc)
                              : addparentkey(fsdata, &b->kbuff, len, child, key);
        if (!ok) return 0;
        return writeblk(fsdata, blk);
    }
    dbdamage(fsdata->fscb.rootkb, "key index: placing an entry does not end");
    return 0;
}

short addkeytoblk(FSDATA *fsdata, int16_t len, const uint8_t *key) {
    return placeentry(fsdata, 0, len, key, 0);
}

short addkey(FSDATA *fsdata, int16_t len, const uint8_t *key) {
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
