// journal.h - the rollback journal beside a database, "FILE-journal": the
// original image of every block a transaction overwrites, written before the
// database is touched, so that a crash (or fsrollback) can put them back.
//
// Layout (little-endian, packed):
//
//   header, 32 bytes at offset 0
//   | offset | size | field    | meaning                                        |
//   | 0      | 8    | magic    | "pmdbjrnl"                                     |
//   | 8      | 4    | version  | 1                                              |
//   | 12     | 4    | count    | records that follow                            |
//   | 16     | 8    | origlen  | length of the database file, in bytes, when    |
//   |        |      |          | the transaction began                          |
//   | 24     | 8    | checksum | over the count records, then header bytes 0-23 |
//
//   count records of 1032 bytes from offset 32
//   | 0      | 4    | blk      | block number                                   |
//   | 4      | 4    | zero     | reserved                                       |
//   | 8      | 1024 | image    | the block as it was                            |
//
// Checksum: s1 and s2 start at 0; for every 64-bit little-endian word w, in
// order, s1 += w and s2 += s1 (mod 2^64); the checksum is s1 ^ s2.
//
// A journal is hot when its header has the magic and version, the file holds
// its count records, and the checksum matches. Rolling back writes the
// records in reverse order (so the first image of a block, its true
// original, is the one that stays) and cuts the file to origlen. An ended
// journal has a zeroed header: the file is kept for the next transaction
// (zeroing 32 bytes costs a fifth of a truncation, measured) and removed by
// the last close.
#ifndef PMDB_FSS_JOURNAL_H
#define PMDB_FSS_JOURNAL_H

#include <stdint.h>

#include "fss/format.h"

namespace pmdb {

struct FSDATA;

constexpr uint32_t JHEADSIZE = 32;
constexpr uint32_t JRECSIZE = 8 + BLKSIZE;
constexpr const char JMAGIC[] = "pmdbjrnl";
constexpr uint32_t JVERSION = 1;
constexpr const char JSUFFIX[] = "-journal";

// The journal of one open database.
struct JOURNAL {
    int fd;              // -1 until the first write of this open
    char live;           // a valid header is on disk: the transaction is journaled
    char dirsynced;      // the directory holding it was synced since it was opened (mode 1)
    uint32_t count;      // records on disk
    uint64_t origlen;    // file length when the transaction began
    uint64_t s1, s2;     // running checksum over every record appended
    uint8_t *buf;        // records waiting in memory (from plat_alloc, or one)
    uint32_t bufcap;     // records buf holds
    uint32_t bufn;       // records waiting
    uint32_t bufmax;     // most records to keep waiting (a quarter of the store)
    uint8_t one[JRECSIZE];   // the buffer used when no memory can be had
};

// Empty journal state, nothing open.
void jinit(JOURNAL *j);
// Adds the original image of blk; may write waiting records to the file.
// 0 on failure (journal error recorded).
short jappend(FSDATA *fsdata, uint32_t blk, const uint8_t *img);
// Puts every waiting record and a valid header on disk (synced in mode 1).
// Must precede every write to the database file. 0 on failure.
short jflush(FSDATA *fsdata);
// Ends the transaction: zeroes the header (synced in mode 1). 0 on failure.
short jend(FSDATA *fsdata);
// Writes the journal's records back into the database and cuts it to
// origlen, then ends the journal (fsrollback after a spill). 0 on failure.
short jrestore(FSDATA *fsdata);
// Closes the journal's file and frees the buffer. remove: the file goes
// when it holds no live transaction; discard: it goes in any case (the
// database goes too).
void jclose(FSDATA *fsdata, bool remove, bool discard);

// At open: the journal of the database at dbpath, if hot, rolled back into
// dbfd (writable) and removed. The caller holds the writer lock. 0 no hot
// journal, 1 rolled back, -1 failed (journal unreadable, or the database
// cannot be written or synced): nothing is removed then.
int jrecover(const char *dbpath, int dbfd);
// Is there a hot journal beside dbpath? (Reads only.) -1 when it cannot
// be read.
int jishot(const char *dbpath);

// "path-journal" into out; false when it does not fit.
bool jpath(const char *dbpath, char *out, size_t outlen);

}  // namespace pmdb

#endif
