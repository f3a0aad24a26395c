// fsdata.h - one open database (FSDATA), its sixteen block buffers
// (FSBUFF), and the two process-wide tables: the twenty open databases
// and the ten instance slots.
//
// One FSDATA is the only heap block of an open database besides its FS
// handle: the control block, the buffers and the path all live inside it,
// so no operation allocates after open.
#ifndef PMDB_FSS_FSDATA_H
#define PMDB_FSS_FSDATA_H

#include <stdint.h>

#include "fss/format.h"
#include "pmdblib.h"

namespace pmdb {

constexpr int PATHSIZE = 4096;   // the caller's full path, kept for reopening

// One cache buffer. The image is seen as a data block, a key block or a
// translation block (256 slots) depending on the block asked for.
struct FSBUFF {
    uint32_t blk;      // block held, NOBLOCK = none
    char cf;           // changed since read or last written
    char extblk;       // new block past the end of the file on disk
    // In memory only: the entries of the image were walked and found sound
    // since the block entered the buffer, as a data ('D') or key ('K')
    // block. The library's own changes keep entries sound, so a block is
    // walked once per read from disk; its header is checked at every use.
    char checked;
    union {
        DB dbuff;
        KB kbuff;
        uint32_t xlate[256];
        uint8_t raw[BLKSIZE];
    };
};

struct FSDATA {
    int fsp;                   // file handle
    FSCB fscb;                 // the control block as held in memory
    char dblocked;             // reserved; the lock flag in use is fscb.dblocked
    char readonly;
    int16_t seq[NUMBUFFS];     // buffer numbers, least to most recently used
    FSBUFF buff[NUMBUFFS];
    char path[PATHSIZE];       // full path as given to fsopen or made for a temp file
    // In memory only: 1 + the free slot whose link fsaddat rewrote last, 0
    // none. A restore places records in rising rid order, so the next slot
    // it wants is almost always named by that link; starting there keeps
    // each placement from walking the whole free chain again.
    uint32_t freehint;
};

extern FSDATA *fsdataary[NUMFSDATA];
extern char instanceinuse[NUMINSTANCES];
extern const int16_t CHK4SHARE;

// The open database behind a handle. Record, key, lock and flush calls
// trust the handle, as callers were always told to pass what fsopen gave.
inline FSDATA *getfsdata(const FS *fsinfo) { return fsdataary[fsinfo->fsdatanum]; }

// The control-value calls check their handle: null when fsdatanum is out
// of range or names a free entry.
FSDATA *checkfsdata(const FS *fsinfo);

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
