// instance.cc - the ten instance slots, the table of twenty open databases,
// and the network entry points, which answer as a single local user.
#include <string.h>

#include "fss/errors.h"
#include "fss/fsdata.h"

namespace pmdb {

FSDATA *fsdataary[NUMFSDATA];
char instanceinuse[NUMINSTANCES];

short initfsvariables() {
    memset(fsdataary, 0, sizeof fsdataary);
    memset(instanceinuse, 0, sizeof instanceinuse);
    return 1;
}

void freefs(FSDATA *fsdata) { (void)fsdata; }

FSDATA *checkfsdata(const FS *fsinfo) {
    if (fsinfo == nullptr) return nullptr;
    int n = fsinfo->fsdatanum;
    if (n < 0 || n >= NUMFSDATA) return nullptr;
    return fsdataary[n];
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
