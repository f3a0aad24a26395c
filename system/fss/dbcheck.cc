// dbcheck.cc - the consistency check of the record structures (see
// dbcheck.h). Four passes, each bounded by FSCB.lb:
//   1. every translation slot in use names a data block of the file that
//      holds an entry with that rid, whose stored form unpacks;
//   2. every entry of every data block is named by its own slot, and there
//      are exactly as many entries as slots in use (no record twice);
//   3. every free-space chain ends within lb steps, links only data blocks,
//      and each block on chain k carries fc = k (so none is on two chains);
//   4. frid/lrid are the lowest and highest live rid of every file, and the
//      free-slot chain starts at a free slot no further than it can grow.
// A buffer pointer is never kept across another read (cache invariant 5):
// images needed across reads are copied first.
#include "fss/dbcheck.h"

#include <string.h>

#include "compress/compress.h"
#include "fss/alloc.h"
#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/record.h"
#include "fss/xlate.h"

namespace pmdb {

namespace {

struct CHECK {
    FSDATA *fsdata;
    dbcheckreport report;
    void *ctx;
    uint32_t count;

    void problem(uint32_t blk, const char *what) {
        count++;
        if (report != nullptr) report(ctx, blk, what);
    }
};

bool isdatablknum(const FSDATA *fsdata, uint32_t blk) {
    return blk >= 2 && blk <= fsdata->fscb.lb && !isxlateblk(fsdata, blk);
}

// The entry of rid in a checked block image, or null (no error recorded).
const uint8_t *entryof(const uint8_t *img, uint32_t rid) {
    int len = (int16_t)get16(img + 4);
    for (int p = DBHEADER; p + RECHEAD <= len; p += RECHEAD + (int16_t)get16(img + p + 4))
        if (get32(img + p) == rid) return img + p;
    return nullptr;
}

// A copy of a data block that passes checkdatablk, or false with the
// problem reported.
bool loaddata(CHECK &c, uint32_t blk, uint8_t *img) {
    FSBUFF *b = readblk(c.fsdata, blk);
    if (b == nullptr) {
        c.problem(blk, "block cannot be read");
        return false;
    }
    memcpy(img, b->raw, BLKSIZE);
    if (!checkdatablk(c.fsdata, blk, (const DB *)img)) {
        c.problem(blk, damagewhat);
        return false;
    }
    return true;
}

// Pass 1; fills the lowest and highest live rid of each file.
uint32_t checkslots(CHECK &c, uint32_t *lo, uint32_t *hi) {
    FSDATA *fsdata = c.fsdata;
    uint32_t f = (uint16_t)fsdata->fscb.xblkfreq;
    uint32_t live = 0;
    uint8_t img[BLKSIZE];
    for (uint64_t xblk = 1, m = 0; xblk <= fsdata->fscb.lb; xblk += f, m++) {
        for (int j = 0; j < 256; j++) {
            FSBUFF *x = readblk(fsdata, (uint32_t)xblk);
            if (x == nullptr) {
                c.problem((uint32_t)xblk, "translation block cannot be read");
                break;
            }
            uint32_t v = x->xlate[j];
            uint32_t n = v >> 28;
            if (n == 0) continue;
            uint32_t rid = (v & RIDFILE) | (uint32_t)(256 * m + (uint32_t)j);
            live++;
            if (rid < lo[n - 1]) lo[n - 1] = rid;
            if (rid > hi[n - 1]) hi[n - 1] = rid;
            uint32_t blk = v & RIDSLOT;
            if (!isdatablknum(fsdata, blk)) {
                c.problem((uint32_t)xblk, "slot in use names no data block");
                continue;
            }
            if (!loaddata(c, blk, img)) continue;
            const uint8_t *e = entryof(img, rid);
            if (e == nullptr)
                c.problem(blk, "block does not hold the record its slot names");
            else if (uncompressedlen(e + RECHEAD, (int16_t)get16(e + 4)) < 0)
                c.problem(blk, "stored form does not unpack");
        }
    }
    return live;
}

// Pass 2; the number of entries found.
uint32_t checkentries(CHECK &c) {
    FSDATA *fsdata = c.fsdata;
    uint32_t entries = 0;
    uint8_t img[BLKSIZE];
    for (uint32_t blk = 2; blk <= fsdata->fscb.lb; blk++) {
        if (isxlateblk(fsdata, blk)) continue;
        FSBUFF *b = readblk(fsdata, blk);
        if (b == nullptr) {
            c.problem(blk, "block cannot be read");
            continue;
        }
        if (b->dbuff.type == 1) continue;   // a key block: the key checker's
        if (!loaddata(c, blk, img)) continue;
        int len = (int16_t)get16(img + 4);
        for (int p = DBHEADER; p < len; p += RECHEAD + (int16_t)get16(img + p + 4)) {
            uint32_t rid = get32(img + p);
            entries++;
            uint32_t xblk = slotxblk(fsdata, rid);
            if (ridfile(rid) == 0 || xblk > fsdata->fscb.lb) {
                c.problem(blk, "entry with a rid outside the file");
                continue;
            }
            FSBUFF *x = readblk(fsdata, xblk);
            if (x == nullptr) {
                c.problem(xblk, "translation block cannot be read");
                continue;
            }
            if (x->xlate[rid & 0xff] != ((rid & RIDFILE) | blk))
                c.problem(blk, "entry not named by its slot");
        }
    }
    return entries;
}

// Pass 3.
void checkchains(CHECK &c) {
    FSDATA *fsdata = c.fsdata;
    for (int k = 0; k < 6; k++) {
        uint32_t b = fsdata->fscb.fc[k];
        uint32_t steps = 0;
        while (b != 0) {
            if (++steps > fsdata->fscb.lb) {
                c.problem(b, "free-space chain links back on itself");
                break;
            }
            if (!isdatablknum(fsdata, b)) {
                c.problem(b, "free-space chain names no data block");
                break;
            }
            FSBUFF *buf = readblk(fsdata, b);
            if (buf == nullptr) {
                c.problem(b, "block cannot be read");
                break;
            }
            if (buf->dbuff.type != 0) {
                c.problem(b, "key block on a free-space chain");
                break;
            }
            if (buf->dbuff.fc != k) c.problem(b, "block on a chain it is not filed on");
            b = buf->dbuff.nbic;
        }
    }
}

// Pass 4.
void checkbounds(CHECK &c, const uint32_t *lo, const uint32_t *hi) {
    FSDATA *fsdata = c.fsdata;
    for (int n = 0; n < NUMFILES; n++) {
        const FDATA &f = fsdata->fscb.f[n];
        if (hi[n] == 0) {
            if (f.frid != 0xffffffff || f.lrid != 0) c.problem(0, "empty file with a frid or lrid");
            continue;
        }
        if (f.frid != lo[n]) c.problem(0, "frid is not the file's first record");
        if (f.lrid != hi[n]) c.problem(0, "lrid is not the file's last record");
    }
    uint32_t ftc = fsdata->fscb.ftc;
    uint32_t xblk = slotxblk(fsdata, ftc);
    uint32_t f = (uint16_t)fsdata->fscb.xblkfreq;
    uint64_t last = xlateblkof(fsdata, (fsdata->fscb.lb - 1) / f);
    if (ftc > RIDSLOT || xblk > last + f) {
        c.problem(0, "free slot chain starts beyond the file");
    } else if (xblk <= fsdata->fscb.lb) {
        FSBUFF *x = readblk(fsdata, xblk);
        if (x == nullptr)
            c.problem(xblk, "translation block cannot be read");
        else if ((x->xlate[ftc & 0xff] & RIDFILE) != 0)
            c.problem(xblk, "free slot chain starts at a slot in use");
    }
}

}  // namespace

void dbcheckcollect(void *ctx, uint32_t blk, const char *what) {
    DBCHECKRESULT *r = (DBCHECKRESULT *)ctx;
    if (r->count < (uint32_t)DBCHECKMAX) {
        r->blk[r->count] = blk;
        r->what[r->count] = what;
    }
    r->count++;
}

uint32_t dbcheck(FSDATA *fsdata, dbcheckreport report, void *ctx) {
    CHECK c = {fsdata, report, ctx, 0};
    const FSCB &cb = fsdata->fscb;
    if ((uint16_t)cb.xblkfreq < 2) {
        c.problem(0, "translation block spacing below 2");
        return c.count;
    }
    if (cb.lb < 2 || cb.lb > MAXBLOCK) {
        c.problem(0, "last block out of range");
        return c.count;
    }
    // Every block past the end would be one problem more, and as many reads.
    // (A caller that wants the rest checked lowers lb to the file's end.)
    if (fsdata->shortfile && cb.lb >= fsdata->fileblocks) {
        c.problem(0, "the file holds fewer blocks than lb claims");
        return c.count;
    }
    uint32_t lo[NUMFILES], hi[NUMFILES];
    for (int n = 0; n < NUMFILES; n++) {
        lo[n] = 0xffffffff;
        hi[n] = 0;
    }
    uint32_t live = checkslots(c, lo, hi);
    uint32_t entries = checkentries(c);
    if (entries != live) c.problem(0, "entries and slots in use differ in number");
    checkchains(c);
    checkbounds(c, lo, hi);
    return c.count;
}

}  // namespace pmdb
