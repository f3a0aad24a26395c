// fsnshare.cc - settings of the non-shared (single local user) build.
// The share-check flag is kept for the networked configuration; no
// operation reads it here.
#include "fss/fsdata.h"

namespace pmdb {

const int16_t CHK4SHARE = 0;

}  // namespace pmdb
