// keyblk.h - the key layer's internal interface: key blocks and entries,
// the key image, the comparator table, and the search, insertion and
// deletion steps built on them (keysearch.cc, keyinsert.cc, keydelete.cc).
//
// Key block (KB, format.h), 1024 bytes:
//   offset size meaning
//   0      4    ancestor: 0 in use; once freed, the next block of chain 0
//   4      2    len: bytes in use, header included (14 = no entries)
//   6      2    numkeys
//   8      1    type: 1 in use
//   9      1    level: 0 leaf, n > 0 inner
//   10     4    xtrablk: inner blocks only, the rightmost child
//   14     ...  entries, back to back in ascending key order
// Leaf entry:  keylen(2) image(keylen) rid(4)               = keylen + 6
// Inner entry: keylen(2) child(4) image(keylen) rid(4)      = keylen + 10
// Key image:   fid byte(1) value(keylen - 1), followed by its rid(4).
//
// Invariants of the tree, held by insertion and deletion and relied on by
// the searches:
//  1. Every leaf is at level 0 and every child of a block at level n is at
//     level n - 1; the root is the highest block.
//  2. An inner entry's image and rid are a copy of the highest key of its
//     child's subtree; xtrablk holds the keys above the last entry.
//  3. Entries of a block are strictly ascending under the comparator of
//     their own fid byte (the fid byte decides first, so keys of different
//     subkeys never compare equal).
//
// Positions inside a block are byte offsets from the block start: an
// entry, or the end of the entries (len). Nothing keeps a buffer pointer
// across a call that may read another block.
#ifndef PMDB_FSS_KEYBLK_H
#define PMDB_FSS_KEYBLK_H

#include <stdint.h>

#include "fss/cache.h"
#include "fss/format.h"
#include "fss/fsdata.h"

namespace pmdb {

constexpr int MAXKEYVALUE = 195;          // longest key value
constexpr int KEYBUFSIZE = 200;           // fid + 195 value bytes + rid
constexpr int MAXKEYLEN = MAXKEYVALUE + 1;
constexpr int NUMKEYTYPES = 9;
constexpr int LEAFOVERHEAD = 6;
constexpr int INNEROVERHEAD = 10;
constexpr int LEAFKEYOFF = 2;             // image offset inside a leaf entry
constexpr int INNERKEYOFF = 6;            // image offset inside an inner entry
// Levels 0 .. MAXLEVELS - 1. The path has one more slot, always 0, so that
// the parent of the highest possible root reads as "none".
constexpr int MAXLEVELS = 32;

// Comparator: v1, v2 are images each followed by its rid; len is the
// smaller keylen; dupkeys 1 orders equal values by rid. Only the sign of
// the result counts.
typedef int16_t (*FUNC)(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys,
                        int16_t v1len, int16_t v2len);

int16_t charfunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t shortfunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t longfunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t ucharfunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t ushortfunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t ulongfunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t floatfunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t doublefunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);
int16_t ldoublefunc(const uint8_t *, const uint8_t *, int16_t, int16_t, int16_t, int16_t);

// Indexed by FDATA.keytype: char, short, long, uchar, ushort, ulong, float,
// double, long double (80-bit).
extern const FUNC funcs[NUMKEYTYPES];
// Value width of each key type; 0 for the char types (any length).
extern const int8_t keywidth[NUMKEYTYPES];

// The one image buffer of the library.
extern uint8_t newkey[KEYBUFSIZE];
// fid, len value bytes, rid into newkey; returns newkey. len must be 0..195.
uint8_t *bldkey(uint8_t fid, uint32_t rid, int16_t len, const void *key);

// The comparator and duplicate flag of an image's fid byte. 0 (and
// nothing set) when the fid names no file or the keytype is outside 0..8.
short choosecmp(const FSDATA *fsdata, uint8_t fid, FUNC *cmpfunc, int16_t *dupkeys);
// May (fid, len, value) be used by a key call? File number 1..15, keytype
// 0..8, len 0..195 and for typed subkeys 0 or the type's width, no NaN or
// invalid 80-bit encoding. value may be null when len is 0.
short keyargsok(const FSDATA *fsdata, uint8_t fid, int16_t len, const void *value);
// Is an 80-bit value (10 bytes, little-endian) one that has no place in an
// order: a NaN, or an encoding the x87 rejects (pseudo-NaN, pseudo-infinity,
// unnormal)?
bool ldoubleinvalid(const uint8_t *v);

// The path from the root down: slot n holds the inner block passed at
// level n; slot MAXLEVELS is always 0.
struct KEYPATH {
    uint32_t blk[MAXLEVELS + 1];
};
void clearpath(KEYPATH *path);
inline uint32_t parentof(const KEYPATH *path, int level) {
    return level + 1 <= MAXLEVELS && level >= -1 ? path->blk[level + 1] : 0;
}

// ---- key block views --------------------------------------------------
inline KB *kbof(FSBUFF *b) { return &b->kbuff; }
inline int kboverhead(const KB *kb) { return kb->level > 0 ? INNEROVERHEAD : LEAFOVERHEAD; }
inline int kbkeyoff(const KB *kb) { return kb->level > 0 ? INNERKEYOFF : LEAFKEYOFF; }
inline uint8_t *kbat(KB *kb, int pos) { return reinterpret_cast<uint8_t *>(kb) + pos; }
inline const uint8_t *kbat(const KB *kb, int pos) {
    return reinterpret_cast<const uint8_t *>(kb) + pos;
}
// keylen of the entry at pos.
inline int16_t kbkeylen(const KB *kb, int pos) { return (int16_t)get16(kbat(kb, pos)); }
inline const uint8_t *kbimage(const KB *kb, int pos) { return kbat(kb, pos) + kbkeyoff(kb); }
inline uint32_t kbchild(const KB *kb, int pos) { return get32(kbat(kb, pos) + 2); }
inline int kbnext(const KB *kb, int pos) { return pos + kbkeylen(kb, pos) + kboverhead(kb); }
// Does an entry of keylen fit?
inline bool kbroom(const KB *kb, int keylen) {
    return kb->len + keylen + kboverhead(kb) <= (int)BLKSIZE;
}

// Checks a key block as read (type, len, entries inside len and agreeing
// with numkeys, level, child numbers that keyblkreadok accepts, typed
// entries of their width). expectlevel < 0 accepts any level below
// MAXLEVELS. Reports through dbdamage and returns 0 when damaged.
short checkkb(const FSDATA *fsdata, uint32_t blk, const KB *kb, int expectlevel);
// May blk name a key block: 2..lb and not a translation block?
bool keyblknumok(const FSDATA *fsdata, uint32_t blk);
// May a descent read blk as a key block? Those keyblknumok accepts, and
// every number past lb + 1, which readblk refuses itself (1390, with the
// block and lb + 1 in msg). lb + 1 is not: reading it would make a search
// grow the file.
bool keyblkreadok(const FSDATA *fsdata, uint32_t blk);
// readblk + checkkb; null when unreadable or damaged (the caller records
// its own number after readblk's). The entries are walked once per load of
// the block from the file (the mark goes with the image), the header at
// every use.
FSBUFF *readkeyblk(FSDATA *fsdata, uint32_t blk, int expectlevel);
// The same for reading only: viewblk, the image in place (kbview).
const FSBUFF *viewkeyblk(FSDATA *fsdata, uint32_t blk, int expectlevel);
inline const KB *kbview(const FSBUFF *b) { return reinterpret_cast<const KB *>(imgof(b)); }

// ---- searches (keysearch.cc) -----------------------------------------
// The scan of one block: the first entry that does not sort below key
// (or len), the entry before it (*prev, -1 none) and the last comparison
// (-1 for an empty block). The comparators of the table are applied
// inline, one loop per key type.
int scankb(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, FUNC cmpfunc,
           int16_t *result, int *prev);
// The same answer for a viewed block, by bisection when the block is in
// strictly ascending order (kbordered); only the sign of *result is the
// scan's.
int scanblock(FSDATA *fsdata, const FSBUFF *b, int16_t len, const uint8_t *key, int16_t dupkeys,
              FUNC cmpfunc, int16_t *result, int *prev);
// Position of the first entry not below key, or len; result as the last
// comparison (-1 for an empty block).
int locatekey(const KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, int16_t *result,
              FUNC cmpfunc);
// The entry before the search position (see keysearch.cc); -1 for none.
int locatelastkey(const KB *kb, int16_t len, const uint8_t *key, uint32_t *lastblk,
                  int16_t dupkeys, int16_t *result, FUNC cmpfunc);
// Descends from startblk to the block at stoplevel (0 = the leaf) where key
// belongs, filling path. Returns the buffer, null on failure (1155, 1160,
// 1165 recorded).
// The blocks a descent passed, root first and the block it reached last,
// with the entry it chose in each inner block (pos: an entry, or len for
// xtrablk) and the entry before that one (prev, -1 none). depth -1: too
// deep to keep.
struct KTRAIL {
    int depth;
    uint32_t blk[CURSORPATH];
    int16_t pos[CURSORPATH];
    int16_t prev[CURSORPATH];
};
// The blocks are viewed (read in place); a caller that changes the block
// it reached takes it with ownbuff. The trail, when given, is filled.
const FSBUFF *findkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                          FUNC cmpfunc, KEYPATH *path, uint32_t startblk, int stoplevel = 0,
                          KTRAIL *trail = nullptr);
const FSBUFF *findnextkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                              FUNC cmpfunc, KTRAIL *trail = nullptr);
const FSBUFF *findlastkeybuff(FSDATA *fsdata, int16_t len, const uint8_t *key, int16_t dupkeys,
                              FUNC cmpfunc, KEYPATH *path, uint32_t firstblk);
// Copies the value of the leaf entry at pos into key (keylen to *keylen
// when given); returns its rid.
uint32_t copykeyout(const KB *kb, int pos, void *key, int16_t *keylen);
uint32_t firstkey(FSDATA *fsdata, uint8_t fid, void *key, int16_t *keylen);
uint32_t lastkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key);
uint32_t findkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key);
uint32_t nextkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key, int16_t *newlen);
uint32_t prevkey(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key);

// ---- the walk's cursor (keycursor.cc) --------------------------------
// Is the (checked) key block in strictly ascending order: every entry's
// image longer than its fid byte and equal to itself, fid bytes not
// falling, and entries of one fid strictly ascending, both ways, under its
// comparator and duplicate flag? Marks the block MARKORDERED when it is,
// MARKUNIFORM when its entries are also all of one size.
bool kbordered(FSDATA *fsdata, const FSBUFF *b);
// Remembers the leaf entry at pos that a search just returned, reached by
// the descent in trail (whose blocks are all in the buffers).
void setcursor(FSDATA *fsdata, const KTRAIL *trail, int pos);
// The step of nextkey (prevkey) from image taken at the cursor: 1 with the
// result in *rid (0: none) and key (and *newlen) filled as the descent
// would fill them; 0 when the cursor does not apply (nothing changed).
int cursornext(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key, int16_t *newlen,
               uint32_t *rid);
int cursorprev(FSDATA *fsdata, int16_t len, const uint8_t *image, void *key, uint32_t *rid);

// ---- insertion (keyinsert.cc) ----------------------------------------
// A key image with its rid, copied out of a block.
struct KEYCOPY {
    int16_t len;   // keylen
    uint8_t img[KEYBUFSIZE];
};

// The new blocks of a split cascade, taken before its first split: for
// each level that splits, the block for its new lower half, and the new
// root. reuse names a block of the tree that a deletion empties and that
// becomes the new half of its level at the split, instead of going to
// chain 0 and being taken back from there.
struct SPLITPLAN {
    uint32_t half[MAXLEVELS];
    uint32_t root;
    int rootlevel;
    uint32_t reuse;
};
void clearplan(SPLITPLAN *plan);
// The cascade that a split of the block at `level`, whose separator has
// keylen seplen and fid byte sepfid, starts on path: *top is the highest
// level that splits (its parent has room), *newroot whether that block is
// the root. Changes nothing; 0 on failure (a parent unreadable, a
// separator without a comparator, no level left for a new root).
short plancascade(FSDATA *fsdata, int level, int16_t seplen, uint8_t sepfid, const KEYPATH *path,
                  int *top, bool *newroot);
// Takes the blocks of a cascade that splits levels low..top (and makes a
// new root when newroot), from the lowest level up and the root last,
// skipping levels the plan holds already. On failure records the number
// of the split that would have taken the block (1170/1210, 1190/1230)
// and gives back what was taken.
short takeplan(FSDATA *fsdata, SPLITPLAN *plan, int low, int top, bool newroot);
// Gives the blocks a plan still holds back to chain 0, in the reverse
// order of taking (reuse excepted), and clears the plan.
void giveback(FSDATA *fsdata, SPLITPLAN *plan);

// Where kb would split: *count entries go to the new block, the separator
// is the entry at *seppos (keylen *seplen), the lower half ends at *lowend.
// 0 when kb holds too few entries to split (only a damaged block).
short splitpoint(const KB *kb, int *count, int *seppos, int16_t *seplen, int *lowend);
uint32_t newkeyblock(FSDATA *fsdata, int16_t level);
short addkey(FSDATA *fsdata, int16_t len, const uint8_t *key);
short addkeytoblk(FSDATA *fsdata, int16_t len, const uint8_t *key);
short addl0key(KB *kb, int16_t len, const uint8_t *key, int16_t dupkeys, FUNC cmpfunc);
short addparentkey(FSDATA *fsdata, KB *kb, int16_t keylen, uint32_t blk, const uint8_t *key);
// Splits the block blk (reached through path, whose parent has room for
// the separator, or which is the root) in two; returns the new lower
// block, 0 on failure. The new blocks are the plan's for this level (null
// or none held: taken here, before anything changes). The separator that
// went up is copied to sep when not null.
// Leaves record 1170..1205, inner blocks 1210..1245.
uint32_t splitkeyblk(FSDATA *fsdata, uint32_t blk, KEYPATH *path, SPLITPLAN *plan = nullptr,
                     KEYCOPY *sep = nullptr);
uint32_t splitparent(FSDATA *fsdata, uint32_t blk, KEYPATH *path, SPLITPLAN *plan = nullptr,
                     KEYCOPY *sep = nullptr);
// Makes room in the block blk at `level` (reached through path): splits it,
// or first the lowest ancestor whose parent has room for its separator.
// The tree changes by one split; the caller descends again.
short splitfor(FSDATA *fsdata, uint32_t blk, int level, KEYPATH *path, SPLITPLAN *plan);
// Places an entry at `level` (0: a key into a leaf; above: a separator
// leading to child), descending from the root and splitting as needed.
short placeentry(FSDATA *fsdata, int level, int16_t len, const uint8_t *key, uint32_t child);

// ---- deletion (keydelete.cc) -----------------------------------------
short deletekey(FSDATA *fsdata, int16_t len, const uint8_t *key);
// Frees a key block onto chain 0 (an empty data block); rootkb 0 when it
// was the root. The result of marking the block changed.
short freekeyblock(FSDATA *fsdata, uint32_t blk);

}  // namespace pmdb

#endif
