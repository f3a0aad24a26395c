// keydelete.cc - removing keys from the index (not yet built).
#include "fss/keyblk.h"

namespace pmdb {

short deletekey(FSDATA *fsdata, int16_t len, const uint8_t *key) {
    (void)fsdata;
    (void)len;
    (void)key;
    return 0;
}

void freekeyblock(FSDATA *fsdata, uint32_t blk) {
    (void)fsdata;
    (void)blk;
}

}  // namespace pmdb
