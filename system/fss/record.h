// record.h - data blocks, record entries and the free-space chains.
//
// Data block (1024 bytes):
//   offset size field  meaning
//   0      4    nbic   next block on the same free-space chain, 0 = end
//   4      2    len    bytes in use, header included (10 = empty, <= 1024)
//   6      2    fc     chain the block is filed on, 0..5, -1 = none
//   8      1    type   0 data or empty block (key blocks carry 1)
//   9      1    fill   reserved
//   10     ...  record entries, packed without gaps up to len
// Record entry: rid (4) | c = stored length (2) | c stored bytes.
//
// Chains, by free room 1024 - len: 0 exactly 1014 (empty; shared with the
// key index), 1 768..1013, 2 512..767, 3 256..511, 4 128..255, 5 64..127,
// -1 below 64. Heads are FSCB.fc[0..5].
// Invariants:
//  1. A block on chain k carries fc = k; a block with fc = -1 is on no
//     chain; no block is on two chains and no chain links back on itself.
//  2. A block moves to another chain only while it heads its chain or is
//     on none (putonchain), or when an add walk meets it lacking room and
//     unlinks it; so a block further down a chain may hold less room than
//     its chain promises until a walk meets it.
#ifndef PMDB_FSS_RECORD_H
#define PMDB_FSS_RECORD_H

#include <stdint.h>

#include "fss/fsdata.h"

namespace pmdb {

constexpr int RECHEAD = 6;     // rid and stored length before each stored form

// The chain that fits a free room: 0..5, or -1.
int16_t whatchain(int16_t room);

// Does the data block image at blk pass the checks every use makes (type
// 0, len 10..1024, fc -1..5, nbic 0 or a data block of the file, entries
// inside len)? Reports the first failure through dbdamage.
bool checkdatablk(const FSDATA *fsdata, uint32_t blk, const DB *db);

// readblk of a data block of the file (2..lb, not a translation block)
// that passes checkdatablk; null otherwise (readblk's number, or damage
// reported). The caller records its own error number.
FSBUFF *readdatablk(FSDATA *fsdata, uint32_t blk);
// The same for reading only (viewblk): the image in place, imgof.
const FSBUFF *viewdatablk(FSDATA *fsdata, uint32_t blk);

// The entry of rid in the (checked) block, or null (1340, msg
// "Rid %lx not in block").
uint8_t *findrec(DB *dbuff, uint32_t rid);
const uint8_t *findrec(const DB *dbuff, uint32_t rid);
// Takes the entry out, moving the entries behind it down.
void rrfb(DB *dbuff, uint8_t *rbuff);
// Appends the entry (rid, len, rec) at the end of the block in buff and
// files the block (putonchain). The caller has checked the room and marks
// the block changed. Always 1.
short artb(FSDATA *fsdata, uint32_t &rid, int16_t &len, const uint8_t *rec, DB *buff, uint32_t blk);

// Files blk after its free room changed: it moves to the head of the chain
// that fits only when it heads its present chain or is on none. Marks the
// control block changed when it moves, but not the block: callers do
// (writeblk). A block just emptied by the key index goes to the head of
// chain 0 by setting fc = -1, len = 10, then putonchain and writeblk.
void putonchain(FSDATA *fsdata, DB *dbuff, uint32_t blk);

// A block that should have room for need bytes (stored form + 6): the
// head of the fullest chain that may fit, else the head of chain 0, else a
// new block at the end of the file (already made, read and set as the head
// of chain 0). 0 only when the file cannot grow (allocextendedblk's error).
uint32_t getchain(FSDATA *fsdata, int16_t need);

// Error numbers of one caller of the add walk.
struct WALKERRS {
    int16_t first;     // getchain gave nothing for the first block
    int16_t firstread; // the first block cannot be read
    int16_t refile;    // a re-filed block cannot be marked changed
    int16_t chainend;  // getchain gave nothing after a chain ran out
    int16_t nextread;  // the next block of the walk cannot be read
};

// The add walk: a data block with at least need bytes free, re-filing the
// blocks on the way that lack it; 0 on failure with the caller's number.
uint32_t addwalk(FSDATA *fsdata, int16_t need, const WALKERRS &errs);

}  // namespace pmdb

#endif
