// open.cc - opening and closing databases: fsopen with its signature and
// integrity tests, the private temporary database, and the closes.
//
// Opening takes two heap blocks, the FSDATA and the FS handle, given back
// by the closes with whatever the pager took since (pager.h).
#include <string.h>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"
#include "fss/fsdata.h"
#include "fss/pager.h"
#include "fss/writerlock.h"
#include "platform/platform.h"

namespace pmdb {

namespace {

// Claims the lowest free entry with its FSDATA and handle, both stamped
// for this open; -1 on failure with pmerrno and the error number set.
int claimentry(FS **fsout) {
    int n = 0;
    while (n < NUMFSDATA && fsdataary[n] != nullptr) n++;
    if (n == NUMFSDATA) {
        dodberror(1009);
        pmerrno = 1;
        return -1;
    }
    FSDATA *fsdata = (FSDATA *)plat_alloc(sizeof(FSDATA));
    if (fsdata == nullptr) {
        dodberror(1010);
        pmerrno = 2;
        return -1;
    }
    memset(fsdata, 0, sizeof *fsdata);
    fsdata->fsp = -1;
    fsdata->keychanges = 1;
    pagerinit(fsdata);
    fsdataary[n] = fsdata;
    FS *fs = takehandle();
    if (fs == nullptr) fs = (FS *)plat_alloc(sizeof(FS));
    if (fs == nullptr) {
        dodberror(1012);
        pmerrno = 2;
        plat_free(fsdata);
        fsdataary[n] = nullptr;
        return -1;
    }
    memset(fs, 0, sizeof *fs);
    fsdata->stamp = newstamp();
    fsdata->handle = fs;
    fs->error = (int32_t)fsdata->stamp;
    *fsout = fs;
    return n;
}

// Closes the file (if open) and gives the entry back.
void freeentry(int n) {
    FSDATA *fsdata = fsdataary[n];
    pagerclose(fsdata, false);
    if (fsdata->fsp >= 0) {
        harderrno = 0;
        plat_close(fsdata->fsp);
    }
    plat_free(fsdata);
    fsdataary[n] = nullptr;
}

// A failed open: the handle never reached the caller and is freed.
void dropentry(int n, FS *fs) {
    freeentry(n);
    plat_free(fs);
}

// A close: the caller may still hold the handle, so it is retired (the
// library's own, also when the close was given a copy of it).
void closeentry(int n) {
    FS *fs = fsdataary[n]->handle;
    freeentry(n);
    retirehandle(fs);
}

// Whole blocks in the file, and whether the control block claims more.
void measure(FSDATA *fsdata) {
    int64_t size = plat_filesize(fsdata->fsp);
    if (size < 0) {   // unknown: nothing is refused on a guess
        fsdata->fileblocks = MAXBLOCK + 1;
        fsdata->shortfile = 0;
        return;
    }
    uint64_t blocks = (uint64_t)size / BLKSIZE;
    fsdata->fileblocks = blocks > MAXBLOCK + 1 ? MAXBLOCK + 1 : (uint32_t)blocks;
    fsdata->shortfile = (uint64_t)fsdata->fscb.lb + 1 > blocks ? 1 : 0;
}

// fsname holds at most 63 bytes and a NUL; the full path stays in path.
void setfsname(FSCB *cb, const char *name) {
    memset(cb->fsname, 0, sizeof cb->fsname);
    size_t n = strlen(name);
    if (n > sizeof cb->fsname - 1) n = sizeof cb->fsname - 1;
    memcpy(cb->fsname, name, n);
}

// The three integrity tests; 0 when all pass, else the failing pmerrno.
int integrity(FSDATA *fsdata, int16_t *errnum) {
    const FSCB &cb = fsdata->fscb;
    int64_t size = plat_filesize(fsdata->fsp);
    uint32_t blocks = size < 0 ? 0 : (uint32_t)(size / BLKSIZE);
    // Test 1: the translation block that holds the head of the free-slot
    // chain exists, or is the next one to be made. The head moves into a
    // translation block that is not made yet as soon as the last slot of
    // the one before is taken, and the file grows to it only at the next
    // add; so the head's block may lie up to xblkfreq - 1 blocks past lb.
    // Computed in 64 bits so that a damaged ftc cannot wrap into passing.
    uint64_t f = (uint16_t)cb.xblkfreq;
    if ((uint64_t)(cb.ftc / 256) * f > (uint64_t)cb.lb + f - 1) {
        *errnum = 1021;
        return 4;
    }
    if (blocks != cb.lb + 1) {
        *errnum = 1021;
        return 5;
    }
    for (int k = 0; k < 6; k++) {
        if (cb.fc[k] > blocks) {
            *errnum = 1022;
            return 6;
        }
    }
    return 0;
}

}  // namespace

}  // namespace pmdb

using namespace pmdb;

extern "C" {

PMDB_API FS *fsopen(char instance, const char *name, short checkintegrity, short readonly) {
    pmerrno = 0;
    if (name == nullptr) {   // as a file that cannot be opened, with no path to log
        nullarg("fsopen");
        dodberror(1015);
        pmerrno = 7;
        return nullptr;
    }
    FS *fs = nullptr;
    int n = claimentry(&fs);
    if (n < 0) return nullptr;
    FSDATA *fsdata = fsdataary[n];

    size_t namelen = strlen(name);
    harderrno = 0;
    if (namelen < sizeof fsdata->path) fsdata->fsp = plat_open(name, readonly);
    if (fsdata->fsp < 0 || harderrno) {
        fsdata->fsp = -1;
        dodberrorstring(name);
        dodberror(1015);
        setmsg("%s", name);
        pmerrno = 7;
        dropentry(n, fs);
        return nullptr;
    }
    memcpy(fsdata->path, name, namelen + 1);
    initbuffs(fsdata);
    memset(&fsdata->fscb, 0, sizeof fsdata->fscb);
    fsdata->readonly = readonly ? 1 : 0;
    fs->fsdatanum = (int16_t)n;

    // One writer at a time, and a crashed writer's journal rolled back
    // before anything is read.
    if (!writeropen(fsdata)) {
        dropentry(n, fs);
        return nullptr;
    }

    if (!readfscb(fsdata)) {
        dodberror(1015);
        dropentry(n, fs);
        return nullptr;
    }
    if (!fslock(instance, fs, nullptr)) {
        dodberror(1020);
        dropentry(n, fs);
        return nullptr;
    }
    // A file that fails its signature or integrity tests is left exactly
    // as it was: nothing is written back and it is not reopened.
    if (memcmp(fsdata->fscb.copyright + SIGOFFSET, SIGNATURE, 8) != 0) {
        dodberror(1020);
        dropentry(n, fs);
        return nullptr;
    }
    if (checkintegrity) {
        int16_t errnum = 0;
        int bad = integrity(fsdata, &errnum);
        if (bad) {
            pmerrno = (int16_t)bad;
            dodberror(errnum);
            dropentry(n, fs);
            return nullptr;
        }
    }
    measure(fsdata);
    setfsname(&fsdata->fscb, name);
    fsdata->fscb.numusers++;
    (void)fsunlock(instance, fs);
    fs->fsdatanum = (int16_t)n;
    fs->len = (int16_t)fsdata->fsp;
    return fs;
}

PMDB_API FS *fsopentemp(char instance) {
    (void)instance;
    pmerrno = 0;
    FS *fs = nullptr;
    int n = claimentry(&fs);
    if (n < 0) return nullptr;
    FSDATA *fsdata = fsdataary[n];

    harderrno = 0;
    fsdata->fsp = plat_createtemp(fsdata->path, sizeof fsdata->path);
    if (fsdata->fsp < 0 || harderrno) {
        fsdata->fsp = -1;
        dodberror(1015);
        setmsg("%s", fsdata->path);
        pmerrno = 7;
        dropentry(n, fs);
        return nullptr;
    }

    FSCB *cb = &fsdata->fscb;
    newfscb(cb, DEFAULTXBLKFREQ);
    cb->numusers = 1;
    setfsname(cb, fsdata->path);
    for (FDATA &f : cb->f)
        for (int s = 0; s < NUMSUBKEYS; s++) f.keytype[s] = (signed char)(s % 9);

    static const int16_t writeerr[] = {1021, 1022, 1023};
    int failed = writenewblocks(fsdata->fsp, cb);
    if (failed) {
        dodberror(writeerr[failed - 1]);
        pmerrno = (int16_t)(8 + failed);
        // A temporary database leaves nothing behind, not even a failed one.
        plat_remove(fsdata->path);
        dropentry(n, fs);
        return nullptr;
    }
    initbuffs(fsdata);
    if (!readfscb(fsdata)) {
        dodberror(1020);
        pmerrno = 8;
        plat_remove(fsdata->path);
        dropentry(n, fs);
        return nullptr;
    }
    measure(fsdata);
    fs->fsdatanum = (int16_t)n;
    return fs;
}

PMDB_API void fsclose(char instance, FS *fsinfo) {
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsclose");
    if (fsdata == nullptr) return;
    if (fslock(instance, fsinfo, nullptr)) {
        fsdata->fscb.numusers--;
        (void)fsunlock(instance, fsinfo);
    }
    closeentry(fsinfo->fsdatanum);
}

PMDB_API void fsclosetemp(char instance, FS *fsinfo) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsclosetemp");
    if (fsdata == nullptr) return;
    pagerclose(fsdata, true);   // nothing is written back; the journal goes too
    harderrno = 0;
    plat_close(fsdata->fsp);
    fsdata->fsp = -1;
    plat_remove(fsdata->path);
    closeentry(fsinfo->fsdatanum);
}

PMDB_API short fsforceclose(char instance, const char *name) {
    (void)instance;
    (void)name;
    return 1;
}

}
