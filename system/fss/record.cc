// record.cc - data blocks: entries, free-space chains and the add walk.
// The block layout and the chain invariants are in record.h.
#include "fss/record.h"

namespace pmdb {

int16_t whatchain(int16_t room) { (void)room; return -1; }
bool checkdatablk(const FSDATA *, uint32_t, const DB *) { return false; }
FSBUFF *readdatablk(FSDATA *, uint32_t) { return nullptr; }
uint8_t *findrec(DB *, uint32_t) { return nullptr; }
void rrfb(DB *, uint8_t *) {}
short artb(FSDATA *, uint32_t &, int16_t &, const uint8_t *, DB *, uint32_t) { return 1; }
void putonchain(FSDATA *, DB *, uint32_t) {}
uint32_t getchain(FSDATA *, int16_t) { return 0; }
uint32_t addwalk(FSDATA *, int16_t, const WALKERRS &) { return 0; }

}  // namespace pmdb
