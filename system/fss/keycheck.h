// keycheck.h - the tree checker of the key index, for the tests and the
// command-line check tool.
//
// keycheck walks the tree from FSCB.rootkb and reports every problem it
// finds as one line naming the block and what is wrong: entry order inside
// a block, separators equal to their subtree's highest key, levels
// consistent, every block reached once, numkeys and len agreeing with the
// entries, key ranges of subtrees. It reads blocks only through the cache,
// never writes, never reads a block number outside 2..lb, and stops
// descending into a block it has already reached, so no file content makes
// it crash or hang. It allocates nothing: the caller supplies the bitmap of
// reached blocks (keycheckmapbytes() bytes, zeroed by keycheck).
#ifndef PMDB_FSS_KEYCHECK_H
#define PMDB_FSS_KEYCHECK_H

#include <stddef.h>
#include <stdint.h>

#include "fss/fsdata.h"

namespace pmdb {

constexpr int KCHECKTEXT = 120;   // longest problem line, NUL included

// One problem: the block (0 for the control block's rootkb) and a text.
typedef void (*KCHECKPROBLEM)(void *ctx, uint32_t blk, const char *text);
// One key block reached (reported once per block, before its children).
typedef void (*KCHECKBLOCK)(void *ctx, uint32_t blk, int level, int numkeys);

struct KCHECK {
    // In: callbacks (either may be null) and their context.
    KCHECKPROBLEM problem;
    KCHECKBLOCK block;
    void *ctx;
    // In: bitmap of reached blocks, bit b of byte b / 8 for block b.
    uint8_t *seen;
    size_t seenbytes;
    // Out.
    uint32_t problems;   // problems found (also when no callback is set)
    uint32_t blocks;     // key blocks reached
    uint32_t leaves;
    uint32_t keys;       // leaf entries
    int height;          // levels of the tree, 0 for an empty index
    uint32_t firstblk;   // block of the first problem, 0 none
    char first[KCHECKTEXT];   // text of the first problem
};

// Bytes of bitmap keycheck needs for this database.
size_t keycheckmapbytes(const FSDATA *fsdata);
// Checks the whole tree; returns the number of problems (0 = sound).
uint32_t keycheck(FSDATA *fsdata, KCHECK *chk);
// Is blk marked reached in a bitmap filled by keycheck?
inline bool keycheckseen(const KCHECK *chk, uint32_t blk) {
    return chk->seen != nullptr && blk / 8 < chk->seenbytes &&
           ((chk->seen[blk / 8] >> (blk % 8)) & 1) != 0;
}

}  // namespace pmdb

#endif
