// fsdata.h - one open database (FSDATA), its sixteen block buffers
// (FSBUFF), and the two process-wide tables: the twenty open databases
// and the ten instance slots.
//
// Opening takes two heap blocks, the FSDATA and the FS handle: the control
// block, the buffers, the path and the pager's state live inside the FSDATA.
// The pager's store of block images grows from memory later, as blocks are
// read and changed, and works on without it (pager.h, invariant 7).
#ifndef PMDB_FSS_FSDATA_H
#define PMDB_FSS_FSDATA_H

#include <stdint.h>

#include "fss/format.h"
#include "fss/pager.h"
#include "pmdblib.h"

namespace pmdb {

constexpr int PATHSIZE = 4096;   // the caller's full path, kept for reopening

// One cache buffer. The image is seen as a data block, a key block or a
// translation block (256 slots) depending on the block asked for.
//
// A buffer filled for reading only (viewblk) may borrow the image the
// store below holds instead of a copy: img then points into the store and
// the buffer's own bytes are stale until a caller that changes the block
// asks for it (readblk copies it in then). Which block a buffer holds, its
// place in the use order and its flags are the same either way.
struct FSBUFF {
    uint32_t blk;      // block held, NOBLOCK = none
    char cf;           // changed since read or last written
    char extblk;       // new block past the end of the file on disk
    // In memory only: the entries of the image were walked and found sound
    // (MARKDATA, MARKKEY, MARKORDERED, MARKUNIFORM: cache.h). The store keeps the mark
    // with its image and the library's own changes keep entries sound, so a
    // block is walked once per load from the file; its header is checked at
    // every use.
    char checked;
    char lent;         // img is the store's image, not raw
    const uint8_t *img;   // the image: raw, or the store's when lent
    union {
        DB dbuff;
        KB kbuff;
        uint32_t xlate[256];
        uint8_t raw[BLKSIZE];
    };
};

// The remembered position of a key walk (keycursor.cc), in memory only:
// the leaf and the entry the last search returned, and the blocks the
// written descent passed to reach it, root first and the leaf last. It
// holds while keychanges is what it was when it was set.
constexpr int CURSORPATH = 15;   // deeper trees are walked by descents only
struct KCURSOR {
    uint32_t epoch;                // keychanges when set; 0: no cursor
    uint32_t lb;                   // FSCB.lb when set
    uint32_t blk[CURSORPATH];      // the path
    int16_t chosen[CURSORPATH];    // the entry the descent chose in each inner block
    int16_t before[CURSORPATH];    // the entry before it (-1 none)
    int16_t bufs[CURSORPATH];      // the buffer each block was last found in
    int16_t depth;                 // blocks on the path
    int16_t pos;                   // the entry returned last, in the leaf
    uint8_t fid;                   // its fid byte
    char judged;                   // nextok and prevok are set (at the first step)
    char nextok;                   // a step forward from any entry but the leaf's last keeps the path
    char prevok;                   // a step back from any entry but the leaf's first keeps it
};

struct FSDATA {
    int fsp;                   // file handle
    FSCB fscb;                 // the control block as held in memory
    char dblocked;             // reserved; the lock flag in use is fscb.dblocked
    char readonly;
    int16_t seq[NUMBUFFS];     // buffer numbers, least to most recently used
    // buff[j].blk for every j, side by side: a lookup compares all sixteen
    // at once instead of reaching into sixteen buffers (cache.cc keeps it).
    uint32_t bufblk[NUMBUFFS];
    FSBUFF buff[NUMBUFFS];
    char path[PATHSIZE];       // full path as given to fsopen or made for a temp file
    // In memory only: 1 + the free slot whose link fsaddat rewrote last, 0
    // none. A restore places records in rising rid order, so the next slot
    // it wants is almost always named by that link; starting there keeps
    // each placement from walking the whole free chain again.
    uint32_t freehint;
    // Stamp of this open, also written into the handle's reserved error
    // field: a handle (or a copy of one) from an earlier open of the same
    // slot carries another stamp and is refused. Never 0.
    uint32_t stamp;
    // The handle this open gave out: the one the closes retire, whichever
    // copy of it they are passed.
    FS *handle;
    // Whole blocks the file held when it was opened, and whether the
    // control block then claimed more (lb + 1 > fileblocks): such a file
    // is damaged, and a block appended at lb + 1 would leave a hole of
    // blocks that never existed, so it is never grown.
    uint32_t fileblocks;
    char shortfile;
    PAGER pager;               // the layer below the buffers
    // In memory only: bumped by every change of the key index (each key
    // addition and deletion with its splits and repairs), by a change of a
    // subkey's type, and by open, unlock and rollback. Never 0.
    uint32_t keychanges;
    KCURSOR cursor;
    // In memory only, for tests: every read the plain way, without the
    // shortcuts: a copy into a buffer and a descent from the root (no in-place
    // images, no cursor, no prefetching).
    char plainreads;
};

// Bumps keychanges (skipping 0) and so ends the key walk's cursor.
inline void keyschanged(FSDATA *fsdata) {
    if (++fsdata->keychanges == 0) fsdata->keychanges = 1;
    fsdata->cursor.epoch = 0;
}
// Block blk is being marked changed: a cursor whose path holds it ends.
inline void cursorwrite(FSDATA *fsdata, uint32_t blk) {
    KCURSOR &c = fsdata->cursor;
    if (c.epoch == 0) return;
    for (int i = 0; i < c.depth; i++)
        if (c.blk[i] == blk) c.epoch = 0;
}

extern FSDATA *fsdataary[NUMFSDATA];
extern char instanceinuse[NUMINSTANCES];
extern const int16_t CHK4SHARE;

// The open database behind a handle known to be good (the library's own
// handles inside a call, the tool's and the tests' live handles).
inline FSDATA *getfsdata(const FS *fsinfo) { return fsdataary[fsinfo->fsdatanum]; }

// The one check of a caller's handle, made by every exported call that
// takes one: null when the handle is null, its fsdatanum is outside
// 0..19 or names a free entry, or its stamp is not that entry's current
// open (a closed handle, or a copy of one whose slot was opened again).
// It reads only the 19 bytes of the handle and the table, so a closed
// handle is safe to pass (see retirehandle).
FSDATA *checkfsdata(const FS *fsinfo);
// checkfsdata for an exported call: a bad handle also records 480 and
// puts "<call> - invalid handle." into msg.
FSDATA *usehandle(const FS *fsinfo, const char *call);
// A fresh stamp for a new open (never 0).
uint32_t newstamp();
// Closed handles are not freed but retired: a caller who keeps one past
// fsclose gets 480 instead of reading freed memory. A new open recycles
// the oldest retired handle once RETIRED - NUMFSDATA are waiting, so a
// closed handle stays dead for at least that many later opens, and the
// handles kept, open and retired, never exceed RETIRED.
constexpr int RETIRED = 256;
void retirehandle(FS *fs);
// The oldest retired handle, when enough are waiting; else null.
FS *takehandle();

// Clears both tables without closing anything.
short initfsvariables();
// Release hook that record and key calls run on their way out; nothing to
// release in this build.
void freefs(FSDATA *fsdata);

// Logical file n (1..15) of a fid byte or rid; null for file number 0.
inline FDATA *filebyfid(FSDATA *fsdata, uint8_t fid) {
    int n = fid >> 4;
    return n == 0 ? nullptr : &fsdata->fscb.f[n - 1];
}
inline FDATA *filebyrid(FSDATA *fsdata, uint32_t rid) {
    uint32_t n = rid >> 28;
    return n == 0 ? nullptr : &fsdata->fscb.f[n - 1];
}

}  // namespace pmdb

#endif
