// image.h - a database file read whole into memory, and the survey that
// info and check make of it: which block is what, the translation slots,
// the free-space chains and the key tree, read straight from the bytes.
//
// Nothing here goes through the library: the survey must give figures for
// any file, however damaged, so every walk is bounded (each block is taken
// at most once, each slot at most once) and every field is range-checked
// before it is used. Where a walk meets damage it stops quietly and marks
// the structure broken; naming that damage is the library checkers' job
// (dbcheck, keycheck), which check runs beside the survey. The survey names
// what they do not look at: the control block's own fields, the file's
// length, the free-slot chain, and blocks claimed twice or by nothing.
#ifndef PMDB_TOOL_IMAGE_H
#define PMDB_TOOL_IMAGE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "fss/format.h"

namespace pmdbtool {

struct Image {
    std::vector<uint8_t> bytes;  // blocks 0..lb, as far as the file holds them
    uint64_t filesize = 0;
    uint32_t nblocks = 0;        // blocks in bytes
    pmdb::FSCB cb;               // block 0
    uint32_t freq = 20;          // xblkfreq as the library reads it

    const uint8_t *block(uint32_t b) const {
        return b < nblocks ? bytes.data() + (size_t)b * pmdb::BLKSIZE : nullptr;
    }
    bool isxlate(uint32_t b) const { return freq != 0 && b >= 1 && (b - 1) % freq == 0; }
};

enum { IMAGE_OK = 0, IMAGE_CANNOTREAD = 1, IMAGE_NOTDB = 2 };
// Reads the file; *why says what is wrong otherwise (without the path). A file is not a
// database when it is shorter than one block or lacks the signature; the
// rest of a file is read only once its first block passed that test.
int loadimage(const std::string &path, Image *im, std::string *why);

// What a block is, as bits: more than one bit means claimed twice.
enum : uint16_t {
    ROLE_XLATE = 1,
    ROLE_CHAIN = 2,   // ROLE_CHAIN << k for chain k = 0..5
    ROLE_KEY = 128,
    ROLE_SLOT = 256,  // named by a live translation slot
    ROLE_RECS = 512,  // a data block holding record entries
};
inline uint16_t chainrole(int k) { return (uint16_t)(ROLE_CHAIN << k); }

struct ChainStat {
    uint32_t blocks = 0;
    uint64_t freeroom = 0;  // bytes left unused in the chain's blocks
    bool broken = false;
};

struct TreeStat {
    int height = 0;         // levels, 0 for an empty index
    uint32_t blocks = 0;
    uint32_t leaves = 0;
    uint64_t used = 0;      // bytes in use (len) over all key blocks
    uint64_t keys = 0;
    bool broken = false;
};

struct Survey {
    uint32_t lastblk = 0;   // the last block both named by lb and present
    uint32_t xlateblocks = 0;
    uint64_t slots = 0;     // slots in the translation blocks present
    uint64_t slotsused = 0;
    uint64_t slotsonchain = 0;
    uint32_t records[pmdb::NUMFILES] = {};
    ChainStat chain[6];
    uint32_t fullblocks = 0;  // data blocks holding records on no chain
    uint64_t fullroom = 0;
    TreeStat tree;
    uint32_t keys[pmdb::NUMFILES][pmdb::NUMSUBKEYS] = {};
    std::vector<uint16_t> role;
    // Only with checking: findings, one line each, "block N: ..." first.
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
    uint64_t danglingkeys = 0;
    bool stopped = false;     // the control block is too damaged to go on
};

void survey(const Image &im, Survey *s, bool checking);

// The value of slot number sl, or false when its translation block is not
// in the file.
bool slotvalue(const Image &im, uint32_t lastblk, uint64_t sl, uint32_t *v);
// Does rid name a live record (its slot exists and carries rid's file)?
bool ridlive(const Image &im, uint32_t lastblk, uint32_t rid);

}  // namespace pmdbtool

#endif
