// keydelete.cc - removing keys from the index (deletion itself not yet
// built); freeing an emptied key block onto chain 0.
//
// A freed block becomes an empty data block on chain 0:
//   offset size field      value
//   0      4    nbic       the previous head of FSCB.fc[0]
//   4      2    len        10 (an empty data block)
//   6      2    fc         0: filed on chain 0
//   8      1    type       0
//   9      1    level      0
//   10     ...  left as they were
#include "fss/cache.h"
#include "fss/fscb.h"
#include "fss/keyblk.h"

namespace pmdb {

short freekeyblock(FSDATA *fsdata, uint32_t blk) {
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return 0;
    FSCB &cb = fsdata->fscb;
    DB *db = &b->dbuff;
    db->nbic = cb.fc[0];
    db->len = DBHEADER;
    db->fc = 0;
    db->type = 0;
    db->fill = 0;
    cb.fc[0] = blk;
    if (cb.rootkb == blk) cb.rootkb = 0;
    changefscb(fsdata);
    return writeblk(fsdata, blk);
}

short deletekey(FSDATA *fsdata, int16_t len, const uint8_t *key) {
    (void)fsdata;
    (void)len;
    (void)key;
    return 0;
}

}  // namespace pmdb
