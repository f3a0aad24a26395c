// schema.cc - the exported schema calls: a logical file's name and record
// length, and a subkey's key type and duplicate rule, set and read back.
//
// They live in the file's descriptor in the control block (FDATA, see
// format.h):
//   offset size field    meaning
//   0      2    rlen     record length; stored for the application, never read
//   6      15   name     name; NUL-padded, no NUL when all 15 bytes are used
//   25     16   keytype  comparator number of each subkey (0..8; 9 = none)
//   41     2    dupkeys  bit s set: subkey s admits equal values
// A new database has every name empty, rlen 0, keytype 0 and dupkeys
// 0xff00. Changes are made to the control block in memory and reach the
// file with the next flush, like every other change.
//
// The key type and duplicate rule decide the order of a subkey's keys in
// the one tree. Changing either under keys that are already stored would
// leave them out of order, and every later search and insertion would go
// wrong, so a subkey that holds keys keeps what it has.
#include <string.h>

#include "fss/errors.h"
#include "fss/fscb.h"
#include "fss/fsdata.h"
#include "fss/keyblk.h"

namespace pmdb {

namespace {

constexpr int MAXKEYTYPE = 9;   // 9: a subkey no key call accepts

FSDATA *opencall(const FS *fsinfo, const char *call) {
    pmerrno = 0;
    return usehandle(fsinfo, call);
}

// 1 when the subkey of fid holds at least one key, 0 when none, -1 when
// the index cannot be read. Keys sort by their fid byte first, so a
// descent that compares the fid byte alone (charfunc on one-byte images)
// finds the subkey's first key whatever its own type, 9 included.
int holdskeys(FSDATA *fsdata, uint8_t fid) {
    if (fsdata->fscb.rootkb == 0) return 0;
    uint8_t image[5] = {fid, 0, 0, 0, 0};
    KEYPATH path;
    clearpath(&path);
    const FSBUFF *b = findkeybuff(fsdata, 1, image, 0, charfunc, &path, fsdata->fscb.rootkb);
    if (b == nullptr) return -1;
    int16_t result;
    (void)locatekey(kbview(b), 1, image, 0, &result, charfunc);
    return result == 0 ? 1 : 0;
}

short definefile(FSDATA *fsdata, uint8_t file, const char *name, int16_t rlen) {
    if (fsdata->readonly) {
        dodberror(ERR_READONLY);
        return 0;
    }
    if (file < 1 || file > NUMFILES) {
        dodberror(1500);
        return 0;
    }
    FDATA &f = fsdata->fscb.f[file - 1];
    if (name == nullptr) nullarg("fsdefinefile");
    size_t n = name == nullptr ? sizeof f.name + 1 : strnlen(name, sizeof f.name + 1);
    if (n > sizeof f.name) {
        dodberror(1505);
        return 0;
    }
    memset(f.name, 0, sizeof f.name);
    memcpy(f.name, name, n);
    f.rlen = rlen;
    changefscb(fsdata);
    return 1;
}

short definesubkey(FSDATA *fsdata, uint8_t fid, int16_t keytype, int16_t dupkeys) {
    if (fsdata->readonly) {
        dodberror(ERR_READONLY);
        return 0;
    }
    if ((fid >> 4) == 0) {
        dodberror(1510);
        return 0;
    }
    if (keytype < 0 || keytype > MAXKEYTYPE) {
        dodberror(1515);
        return 0;
    }
    // Only 0 and 1: a caller passing the whole dupkeys mask by mistake
    // would otherwise get duplicates without asking.
    if (dupkeys != 0 && dupkeys != 1) {
        dodberror(1520);
        return 0;
    }
    FDATA &f = fsdata->fscb.f[(fid >> 4) - 1];
    int s = fid & 15;
    bool same = f.keytype[s] == keytype && (int)((f.dupkeys >> s) & 1) == dupkeys;
    if (same) return 1;
    int held = holdskeys(fsdata, fid);
    if (held < 0) {
        dodberror(1530);
        return 0;
    }
    if (held > 0) {
        dodberror(1525);
        return 0;
    }
    f.keytype[s] = (signed char)keytype;
    f.dupkeys = (uint16_t)(dupkeys ? f.dupkeys | (1u << s) : f.dupkeys & ~(1u << s));
    changefscb(fsdata);
    // The checks of key blocks (typed widths) and their order were made
    // under the old comparators: every key block is walked again.
    keyschanged(fsdata);
    forgetkeymarks(fsdata);
    return 1;
}

}  // namespace

}  // namespace pmdb

using namespace pmdb;

extern "C" {

PMDB_API short fsdefinefile(char instance, FS *fsinfo, uint8_t file, const char *name, int16_t rlen) {
    (void)instance;
    FSDATA *fsdata = opencall(fsinfo, "fsdefinefile");
    return fsdata == nullptr ? 0 : definefile(fsdata, file, name, rlen);
}

PMDB_API short fsdefinesubkey(char instance, FS *fsinfo, uint8_t fid, int16_t keytype, int16_t dupkeys) {
    (void)instance;
    FSDATA *fsdata = opencall(fsinfo, "fsdefinesubkey");
    return fsdata == nullptr ? 0 : definesubkey(fsdata, fid, keytype, dupkeys);
}

PMDB_API short fsgetfile(char instance, FS *fsinfo, uint8_t file, char name[16], int16_t *rlen) {
    (void)instance;
    FSDATA *fsdata = opencall(fsinfo, "fsgetfile");
    if (fsdata == nullptr) return 0;
    if (file < 1 || file > NUMFILES) {
        dodberror(1535);
        return 0;
    }
    const FDATA &f = fsdata->fscb.f[file - 1];
    if (name != nullptr) {
        size_t n = strnlen(f.name, sizeof f.name);
        memcpy(name, f.name, n);
        name[n] = '\0';
    }
    if (rlen != nullptr) *rlen = f.rlen;
    return 1;
}

PMDB_API short fsgetsubkey(char instance, FS *fsinfo, uint8_t fid, int16_t *keytype, int16_t *dupkeys) {
    (void)instance;
    FSDATA *fsdata = opencall(fsinfo, "fsgetsubkey");
    if (fsdata == nullptr) return 0;
    if ((fid >> 4) == 0) {
        dodberror(1540);
        return 0;
    }
    const FDATA &f = fsdata->fscb.f[(fid >> 4) - 1];
    if (keytype != nullptr) *keytype = f.keytype[fid & 15];
    if (dupkeys != nullptr) *dupkeys = (int16_t)((f.dupkeys >> (fid & 15)) & 1);
    return 1;
}

}
