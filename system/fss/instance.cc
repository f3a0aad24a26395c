// instance.cc - the ten instance slots, the table of twenty open databases,
// the check of a caller's handle, and the network entry points, which
// answer as a single local user.
//
// A handle is good when its fsdatanum (0..19) names an open entry and its
// reserved error field holds that entry's stamp. Stamps come from one
// process-wide counter, so every open of a slot has its own: a handle kept
// past its close, or a copy of it, cannot reach the database that opens in
// the slot next. Closed handles are retired rather than freed (see
// fsdata.h), so checking one never reads freed memory.
#include <string.h>

#include "fss/errors.h"
#include "fss/fsdata.h"
#include "platform/platform.h"

namespace pmdb {

FSDATA *fsdataary[NUMFSDATA];
char instanceinuse[NUMINSTANCES];

short initfsvariables() {
    memset(fsdataary, 0, sizeof fsdataary);
    memset(instanceinuse, 0, sizeof instanceinuse);
    return 1;
}

void freefs(FSDATA *fsdata) { (void)fsdata; }

namespace {

uint32_t laststamp;
FS *retired[RETIRED];   // a ring: the oldest at retiredhead
int retiredhead, retiredcount;

}  // namespace

FSDATA *checkfsdata(const FS *fsinfo) {
    if (fsinfo == nullptr) return nullptr;
    int n = fsinfo->fsdatanum;
    if (n < 0 || n >= NUMFSDATA) return nullptr;
    FSDATA *fsdata = fsdataary[n];
    if (fsdata == nullptr || fsdata->stamp != (uint32_t)fsinfo->error) return nullptr;
    return fsdata;
}

FSDATA *usehandle(const FS *fsinfo, const char *call) {
    FSDATA *fsdata = checkfsdata(fsinfo);
    if (fsdata == nullptr) {
        setmsg("%s - invalid handle.", call);
        dodberror(ERR_BADHANDLE);
    }
    return fsdata;
}

uint32_t newstamp() {
    if (++laststamp == 0) laststamp = 1;
    return laststamp;
}

void retirehandle(FS *fs) {
    fs->fsdatanum = -1;
    fs->error = 0;
    if (retiredcount == RETIRED) {
        // Not reached: takehandle keeps retired plus open handles within
        // RETIRED. Should it be, the oldest goes, not the newest.
        plat_free(retired[retiredhead]);
        retiredhead = (retiredhead + 1) % RETIRED;
        retiredcount--;
    }
    retired[(retiredhead + retiredcount) % RETIRED] = fs;
    retiredcount++;
}

FS *takehandle() {
    if (retiredcount < RETIRED - NUMFSDATA) return nullptr;
    FS *fs = retired[retiredhead];
    retiredhead = (retiredhead + 1) % RETIRED;
    retiredcount--;
    return fs;
}

}  // namespace pmdb

using namespace pmdb;

extern "C" {

PMDB_API char fsinit(const char *servername) {
    (void)servername;
    for (int k = 0; k < NUMINSTANCES; k++) {
        if (instanceinuse[k] == 0) {
            instanceinuse[k] = 1;
            return (char)k;
        }
    }
    return -1;
}

PMDB_API short closefs(char instance) {
    // An instance outside 0..9 was never handed out; there is nothing to free.
    if (instance >= 0 && instance < NUMINSTANCES) instanceinuse[(int)instance] = 0;
    return 1;
}

PMDB_API char *getnwloginname(char instance) {
    (void)instance;
    return nullptr;
}

PMDB_API short checkforshare(const char *fname) {
    (void)fname;
    return 1;
}

}
