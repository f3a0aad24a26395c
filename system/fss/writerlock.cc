// writerlock.cc - the registry of files open for writing in this process,
// the writer lock, and the hot-journal check at open (writerlock.h).
#include "fss/writerlock.h"

#include "fss/errors.h"
#include "fss/journal.h"
#include "platform/platform.h"

namespace pmdb {

namespace {

// One file open for writing in this process. At most one entry per open
// database, so the table of open databases bounds it.
struct WRITER {
    uint64_t dev, ino;
    int pid;                 // the process that took the lock
    int lockfd;              // holds the lock; -1 = free entry
    int16_t count;           // writable opens sharing it
    const FSDATA *jowner;    // the open with a live journal, if any
    char orphan;             // a closed open left its journal hot
};

WRITER writers[NUMFSDATA] = {};
bool initialised;

void clearentry(WRITER *w) {
    *w = WRITER{};
    w->lockfd = -1;
}

// The entry of the file open on fd, or -1. Entries whose file is gone (no
// name left) are dropped on the way: their opens were never closed (a test
// that freed its databases) and no new open can reach that file again. So
// are entries a forked child inherited from its parent: the lock is the
// parent's, and the child's copy of its descriptor is closed so that it
// does not keep the lock alive after the parent lets it go.
int findwriter(int fd) {
    if (!initialised) {
        for (WRITER &w : writers) clearentry(&w);
        initialised = true;
    }
    uint64_t dev, ino, links;
    if (plat_fileid(fd, &dev, &ino, &links) != 0) return -1;
    int found = -1;
    for (int k = 0; k < NUMFSDATA; k++) {
        WRITER &w = writers[k];
        if (w.lockfd < 0) continue;
        uint64_t d, i, l;
        if (w.pid != plat_pid() || plat_fileid(w.lockfd, &d, &i, &l) != 0 || l == 0) {
            plat_close(w.lockfd);
            clearentry(&w);
            continue;
        }
        if (w.dev == dev && w.ino == ino) found = k;
    }
    return found;
}

short refuse(int16_t pe, int16_t e, const char *fmt, const char *path) {
    pmerrno = pe;
    dodberror(e);
    setmsg(fmt, path);
    return 0;
}

short openwritable(FSDATA *fsdata) {
    int k = findwriter(fsdata->fsp);
    if (k >= 0) {
        // Opened again by this process: the journal, if live, is the other
        // open's transaction, not a crashed one.
        writers[k].count++;
        fsdata->pager.writer = (int16_t)k;
        return 1;
    }
    uint64_t dev, ino, links;
    if (plat_fileid(fsdata->fsp, &dev, &ino, &links) != 0)
        return refuse(12, ERR_WRITERLOCK, "cannot take the writer lock: %s", fsdata->path);
    for (k = 0; k < NUMFSDATA && writers[k].lockfd >= 0; k++) {}
    int fd = plat_open(fsdata->path, 0);
    if (k == NUMFSDATA || fd < 0) {
        plat_close(fd);
        return refuse(12, ERR_WRITERLOCK, "cannot take the writer lock: %s", fsdata->path);
    }
    int got = plat_trylock(fd);
    if (got != 0) {
        plat_close(fd);
        if (got == 1) return refuse(12, ERR_WRITERBUSY, "open for writing in another process: %s", fsdata->path);
        return refuse(12, ERR_WRITERLOCK, "cannot take the writer lock: %s", fsdata->path);
    }
    if (jrecover(fsdata->path, fsdata->fsp) < 0) {
        plat_close(fd);
        return refuse(13, ERR_RECOVER, "cannot roll back the journal of %s", fsdata->path);
    }
    WRITER &w = writers[k];
    clearentry(&w);
    w.dev = dev;
    w.ino = ino;
    w.pid = plat_pid();
    w.lockfd = fd;
    w.count = 1;
    fsdata->pager.writer = (int16_t)k;
    return 1;
}

short openreadonly(FSDATA *fsdata) {
    int hot = jishot(fsdata->path);
    if (hot == 0) return 1;
    if (hot < 0) return refuse(13, ERR_RECOVER, "cannot read the journal of %s", fsdata->path);
    if (findwriter(fsdata->fsp) >= 0) return 1;   // our own live writer
    int fd = plat_open(fsdata->path, 0);
    if (fd < 0) return refuse(13, ERR_HOTREADONLY, "needs a rollback, no write access: %s", fsdata->path);
    int got = plat_trylock(fd);
    short ok = 1;
    if (got < 0) {
        ok = refuse(12, ERR_WRITERLOCK, "cannot take the writer lock: %s", fsdata->path);
    } else if (got == 0 && jrecover(fsdata->path, fd) < 0) {
        ok = refuse(13, ERR_RECOVER, "cannot roll back the journal of %s", fsdata->path);
    }
    // got == 1: a writer is alive and the journal is its transaction.
    plat_close(fd);   // gives the lock back
    return ok;
}

}  // namespace

short writeropen(FSDATA *fsdata) {
    return fsdata->readonly ? openreadonly(fsdata) : openwritable(fsdata);
}

void writerclose(FSDATA *fsdata) {
    int k = fsdata->pager.writer;
    if (k < 0) return;
    fsdata->pager.writer = -1;
    WRITER &w = writers[k];
    if (w.jowner == fsdata) w.jowner = nullptr;
    if (--w.count > 0) return;
    plat_close(w.lockfd);
    clearentry(&w);
}

bool writerlast(FSDATA *fsdata) {
    int k = fsdata->pager.writer;
    return k < 0 || writers[k].count <= 1;
}

bool writerownjournal(FSDATA *fsdata) {
    int k = fsdata->pager.writer;
    if (k < 0) return true;
    WRITER &w = writers[k];
    if (w.orphan || (w.jowner != nullptr && w.jowner != fsdata)) return false;
    w.jowner = fsdata;
    return true;
}

void writerreleasejournal(FSDATA *fsdata) {
    int k = fsdata->pager.writer;
    if (k >= 0 && writers[k].jowner == fsdata) writers[k].jowner = nullptr;
}

void writerorphanjournal(FSDATA *fsdata) {
    int k = fsdata->pager.writer;
    if (k < 0) return;
    writers[k].orphan = 1;
    writers[k].jowner = nullptr;
}

}  // namespace pmdb
