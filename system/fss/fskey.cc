// fskey.cc - the exported key calls. Each one refuses what the layer below
// could not handle safely (a bad handle, 480; a null key where one is
// read or written, 485; a read-only database for the changing calls,
// then the arguments: file number 0, a keytype outside 0..8, a value
// longer than 195 bytes or of the wrong width for a typed subkey, a NaN
// or invalid 80-bit value, rid 0 for an addition), builds the key image
// and hands keylen = len + 1 to the internal call.
#include "fss/alloc.h"
#include "fss/errors.h"
#include "fss/fscb.h"
#include "fss/fsdata.h"
#include "fss/keyblk.h"

using namespace pmdb;

namespace {

// The searches share their opening: pmerrno cleared, the handle checked,
// the database asked whether it may be read, the arguments checked. Every
// search copies the value it finds into key, so key is never optional.
FSDATA *searchopen(FS *fsinfo, const char *call, int16_t err, uint8_t fid, short len,
                   const void *key) {
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, call);
    if (fsdata == nullptr) return nullptr;
    if (key == nullptr) {
        nullarg(call);
        return nullptr;
    }
    if (!dbchanged(fsdata)) {
        dodberror(err);
        return nullptr;
    }
    if (!keyargsok(fsdata, fid, len, key)) {
        freefs(fsdata);
        return nullptr;
    }
    return fsdata;
}

}  // namespace

extern "C" {

PMDB_API uint32_t fsfirstkey(char instance, FS *fsinfo, uint8_t fid, void *key) {
    (void)instance;
    FSDATA *fsdata = searchopen(fsinfo, "fsfirstkey", 1138, fid, 0, key);
    if (fsdata == nullptr) return 0;
    int16_t keylen = 0;
    uint32_t rid = firstkey(fsdata, fid, key, &keylen);
    if (rid != 0) fsinfo->len = keylen;
    freefs(fsdata);
    return rid;
}

PMDB_API uint32_t fslastkey(char instance, FS *fsinfo, uint8_t fid, short len, void *key) {
    (void)instance;
    FSDATA *fsdata = searchopen(fsinfo, "fslastkey", 1138, fid, len, key);
    if (fsdata == nullptr) return 0;
    uint8_t *image = bldkey(fid, 0, len, key);
    uint32_t rid = lastkey(fsdata, (int16_t)(len + 1), image, key);
    freefs(fsdata);
    return rid;
}

PMDB_API uint32_t fsfindkey(char instance, FS *fsinfo, uint8_t fid, short len, void *key) {
    (void)instance;
    FSDATA *fsdata = searchopen(fsinfo, "fsfindkey", 1139, fid, len, key);
    if (fsdata == nullptr) return 0;
    uint8_t *image = bldkey(fid, 0, len, key);
    uint32_t rid = findkey(fsdata, (int16_t)(len + 1), image, key);
    freefs(fsdata);
    return rid;
}

PMDB_API uint32_t fsnextkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len,
                            void *key) {
    (void)instance;
    FSDATA *fsdata = searchopen(fsinfo, "fsnextkey", 1141, fid, len, key);
    if (fsdata == nullptr) return 0;
    uint8_t *image = bldkey(fid, rid, len, key);
    int16_t newlen = 0;
    uint32_t found = nextkey(fsdata, (int16_t)(len + 1), image, key, &newlen);
    if (found != 0) fsinfo->len = newlen;
    freefs(fsdata);
    return found;
}

PMDB_API uint32_t fsprevkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len,
                            void *key) {
    (void)instance;
    FSDATA *fsdata = searchopen(fsinfo, "fsprevkey", 1142, fid, len, key);
    if (fsdata == nullptr) return 0;
    uint8_t *image = bldkey(fid, rid, len, key);
    uint32_t found = prevkey(fsdata, (int16_t)(len + 1), image, key);
    freefs(fsdata);
    return found;
}

PMDB_API short fsaddkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len,
                        const void *key) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsaddkey");
    if (fsdata == nullptr) return 0;
    short r = 0;
    if (fsdata->readonly) {
        dodberror(ERR_READONLY);
    } else if (len > 0 && key == nullptr) {
        nullarg("fsaddkey");
        dodberror(1145);
    } else if (rid == 0 || !keyargsok(fsdata, fid, len, key)) {
        dodberror(1145);
    } else {
        GROWMARK mark = growthmark(fsdata);
        uint8_t *image = bldkey(fid, rid, len, key);
        r = addkey(fsdata, (int16_t)(len + 1), image);
        if (r == 0) undogrowth(fsdata, mark);
    }
    freefs(fsdata);
    return r;
}

PMDB_API short fsdeletekey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len,
                           const void *key) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsdeletekey");
    if (fsdata == nullptr) return 0;
    short r = 0;
    if (fsdata->readonly) {
        dodberror(ERR_READONLY);
    } else if (len > 0 && key == nullptr) {
        nullarg("fsdeletekey");
    } else if (keyargsok(fsdata, fid, len, key)) {
        GROWMARK mark = growthmark(fsdata);
        uint8_t *image = bldkey(fid, rid, len, key);
        r = deletekey(fsdata, (int16_t)(len + 1), image);
        if (r == 0) undogrowth(fsdata, mark);
    }
    freefs(fsdata);
    return r;
}

}  // extern "C"
