// fscb.cc - block 0 of a database and the making of a new database file.
//
// A new database is exactly three blocks:
//   block 0  control block: identification text, lb = 2, fc[0] = 2,
//            xblkfreq = freq, each FDATA with frid 0xffffffff, dupkeys 0xff00
//   block 1  translation block 0: slot i holds i + 1 (all free, chained)
//   block 2  empty data block: len = 10, all else zero
#include "fss/fscb.h"

#include <string.h>

#include "fss/errors.h"
#include "platform/platform.h"

namespace pmdb {

short readfscb(FSDATA *fsdata) {
    for (int tries = 0; tries < READFSCBTRIES; tries++) {
        harderrno = 0;
        if (plat_seek(fsdata->fsp, 0) != 0 || harderrno) {
            dodberror(1380);
            return 0;
        }
        long n = plat_pread(fsdata->fsp, &fsdata->fscb, BLKSIZE, 0);
        if (n <= 0 || harderrno) {
            dodberror(9900);
            continue;
        }
        // A short positive read is accepted; the rest keeps what was there.
        fsdata->fscb.cf = 0;
        if (fsdata->fscb.xblkfreq == 0) fsdata->fscb.xblkfreq = DEFAULTXBLKFREQ;
        return 1;
    }
    return 0;
}

void changefscb(FSDATA *fsdata) {
    fsdata->fscb.cf = 1;
    fsdata->fscb.fschanged++;   // unsigned: 0xffffffff wraps to 0
}

short dbchanged(FSDATA *fsdata) {
    (void)fsdata;
    return 1;
}

void newfscb(FSCB *cb, int16_t freq) {
    memset(cb, 0, sizeof *cb);
    memcpy(cb->copyright, COPYRIGHT, sizeof COPYRIGHT);
    cb->lb = 2;
    cb->fc[0] = 2;
    cb->xblkfreq = freq;
    for (FDATA &f : cb->f) {
        f.frid = 0xffffffff;
        f.dupkeys = 0xff00;
    }
}

int writenewblocks(int fd, const FSCB *cb) {
    uint8_t blk[BLKSIZE];
    if (plat_pwrite(fd, cb, BLKSIZE, 0) <= 0) return 1;
    for (uint32_t j = 0; j < 256; j++) put32(blk + 4 * j, j + 1);
    if (plat_pwrite(fd, blk, BLKSIZE, BLKSIZE) <= 0) return 2;
    memset(blk, 0, sizeof blk);
    put16(blk + 4, DBHEADER);
    if (plat_pwrite(fd, blk, BLKSIZE, 2 * BLKSIZE) <= 0) return 3;
    return 0;
}

}  // namespace pmdb

using namespace pmdb;

extern "C" PMDB_API short fscreatedatabase(const char *filename, short freq) {
    pmerrno = 0;
    if (filename == nullptr) {
        nullarg("fscreatedatabase");
        pmerrno = 406;
        return 0;
    }
    // A spacing below 2 leaves no data block between translation blocks.
    if (freq < 2) {
        pmerrno = 406;
        return 0;
    }
    int fd = plat_create(filename);
    if (fd < 0) {
        pmerrno = 406;
        return 0;
    }
    FSCB cb;
    newfscb(&cb, freq);
    int failed = writenewblocks(fd, &cb);
    plat_close(fd);
    if (failed) {
        // A half-written file would open as a damaged database; remove it.
        plat_remove(filename);
        pmerrno = (int16_t)(8 + failed);
        return 0;
    }
    return 1;
}
