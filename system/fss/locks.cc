// locks.cc - lock and unlock, and the control values kept in the control
// block (application counter, status, business date) and the local time.
//
// An unlock is a commit: it flushes every changed block and the control
// block (atomically, through the pager's journal), then closes the file and
// opens it again under the full path the database was opened with. The
// lock calls take no file lock of their own: one writer at a time is kept
// by the writer lock taken at open (writerlock.h). fsrollback is the other
// way out of a lock: every change since the last commit is dropped.
#include <string.h>
#include <time.h>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"
#include "fss/fsdata.h"
#include "fss/pager.h"
#include "platform/platform.h"

namespace pmdb {

namespace {

short lock(FS *fsinfo, const char *call) {
    pmerrno = 0;
    harderrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, call);
    if (fsdata == nullptr) return 0;
    if (!dbchanged(fsdata)) {
        dodberror(1029);
        return 0;
    }
    fsdata->fscb.dblocked = 1;
    return 1;
}

// Steps shared by every release: flush, close, reopen. A read-only
// database is reopened read-only: it must never become writable.
short release(FSDATA *fsdata) {
    keyschanged(fsdata);
    fsdata->fscb.dblocked = 0;
    changefscb(fsdata);
    // A commit that fails has recorded its own numbers; its changes stay
    // for the next commit. The caller must hear of it: an unlock that said
    // 1 here would promise a change that a crash can still take away.
    short committed = flushbuffs(fsdata);
    harderrno = 0;
    plat_close(fsdata->fsp);
    fsdata->fsp = plat_open(fsdata->path, fsdata->readonly);
    if (fsdata->fsp < 0 || harderrno) {
        dodberror(1015);
        pmerrno = 7;
        return 0;
    }
    return committed ? 1 : 0;
}

short releaseany(FS *fsinfo, const char *call) {
    pmerrno = 0;
    harderrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, call);
    return fsdata == nullptr ? 0 : release(fsdata);
}

// The control-value calls check their handle and say so in msg.
FSDATA *checked(const FS *fsinfo, const char *text) {
    FSDATA *fsdata = checkfsdata(fsinfo);
    if (fsdata == nullptr) {
        setmsg("%s", text);
        dodberror(ERR_BADHANDLE);
    }
    return fsdata;
}

bool refusereadonly(FSDATA *fsdata) {
    if (!fsdata->readonly) return false;
    dodberror(ERR_READONLY);
    return true;
}

uint32_t cannumber(const FSCB &cb) { return (uint32_t)cb.cannumber[1] << 16 | cb.cannumber[0]; }

}  // namespace

}  // namespace pmdb

using namespace pmdb;

extern "C" {

PMDB_API short fslock(char instance, FS *fsinfo, uint32_t *ridary) {
    (void)instance;
    (void)ridary;
    return lock(fsinfo, "fslock");
}

PMDB_API short fsexclusivelock(char instance, FS *fsinfo, short allowreads) {
    (void)instance;
    (void)allowreads;
    return lock(fsinfo, "fsexclusivelock");
}

PMDB_API short fsunlock(char instance, FS *fsinfo) {
    (void)instance;
    pmerrno = 0;
    harderrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsunlock");
    if (fsdata == nullptr) return 0;
    keyschanged(fsdata);
    if (fsdata->readonly) return 1;
    return release(fsdata);
}

PMDB_API short fsrollback(char instance, FS *fsinfo) {
    (void)instance;
    pmerrno = 0;
    harderrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsrollback");
    if (fsdata == nullptr) return 0;
    fsdata->fscb.dblocked = 0;
    keyschanged(fsdata);
    if (fsdata->readonly) return 1;   // it never has changes to drop
    // The blocks first (from the journal where some went out early), then
    // the buffers and the control block as the file now holds them.
    if (!pagerrollback(fsdata)) return 0;
    initbuffs(fsdata);
    if (!readfscb(fsdata)) return 0;
    fsdata->fscb.dblocked = 0;
    return 1;
}

PMDB_API short fsunlockrid(char instance, FS *fsinfo, uint32_t rid) {
    (void)instance;
    (void)rid;
    return releaseany(fsinfo, "fsunlockrid");
}

PMDB_API short fsforceunlockrid(char instance, FS *fsinfo, uint32_t rid) {
    (void)instance;
    (void)rid;
    return releaseany(fsinfo, "fsforceunlockrid");
}

PMDB_API short fsexclusiveunlock(char instance, FS *fsinfo) {
    (void)instance;
    return releaseany(fsinfo, "fsexclusiveunlock");
}

PMDB_API uint32_t fsgetcannumber(char instance, FS *fsinfo, short increment) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = checked(fsinfo, "fsgetcannumber - invalid index.");
    if (fsdata == nullptr) return 0;
    FSCB &cb = fsdata->fscb;
    if (increment) {
        if (refusereadonly(fsdata)) return 0;
        cb.cannumber[0]++;
        if ((int16_t)cb.cannumber[0] > 30000) {
            cb.cannumber[1]++;
            cb.cannumber[0] = cb.cannumber[1] == 0 ? 1 : 0;
            changefscb(fsdata);
        }
    }
    return cannumber(cb);
}

PMDB_API short fsstorecannumber(char instance, FS *fsinfo, uint32_t rid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = checked(fsinfo, "fsstorecannumber - invalid index.");
    if (fsdata == nullptr || refusereadonly(fsdata)) return 0;
    fsdata->fscb.cannumber[0] = (uint16_t)rid;
    fsdata->fscb.cannumber[1] = (uint16_t)(rid >> 16);
    changefscb(fsdata);
    return 1;
}

PMDB_API short fsgetappstat(char instance, FS *fsinfo) {
    (void)instance;
    if (fsinfo != nullptr) fsinfo->len = 0;
    FSDATA *fsdata = checked(fsinfo, "fsgetappstat - invalid index.\r\n");
    if (fsdata == nullptr) return 0;
    fsinfo->rid = 0;
    return fsdata->fscb.appstat ? 1 : 0;
}

PMDB_API short fssetappstat(char instance, FS *fsinfo, short appstat) {
    (void)instance;
    if (fsinfo != nullptr) fsinfo->len = 0;
    FSDATA *fsdata = checked(fsinfo, "fssetappstat - invalid index.");
    if (fsdata == nullptr || refusereadonly(fsdata)) return 0;
    // Not marked changed: every unlock marks the control block anyway.
    fsdata->fscb.appstat = appstat ? 1 : 0;
    return 1;
}

PMDB_API uint32_t fsgetbusinessdate(char instance, FS *fsinfo) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = checked(fsinfo, "fsgetbusinessdate - invalid index.");
    return fsdata == nullptr ? 0 : fsdata->fscb.businessdate;
}

PMDB_API short fsstorebusinessdate(char instance, FS *fsinfo, uint32_t bdate) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = checked(fsinfo, "fsstorebusinessdate - invalid index.");
    if (fsdata == nullptr || refusereadonly(fsdata)) return 0;
    fsdata->fscb.businessdate = bdate;
    changefscb(fsdata);
    return 1;
}

PMDB_API short fsgetlocaltime(char instance, struct tm *data) {
    (void)instance;
    pmerrno = 0;
    if (data == nullptr) return (short)nullarg("fsgetlocaltime");
    struct tm now;
    memset(&now, 0, sizeof now);
    (void)plat_localtime(&now);
    *data = now;
    return 1;
}

}
