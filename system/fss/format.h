// format.h - the stored layouts of a database file, exactly as on disk.
//
// A database is a file of 1024-byte blocks; block n lies at byte n * 1024.
// Every integer is little-endian and every structure is packed. The sizes
// and offsets below are part of the file format and are pinned by
// static_assert; the offset tables live in docs/format.md.
//
//   block 0                      control block (FSCB)
//   1, 1 + f, 1 + 2f, ...        translation blocks, f = FSCB.xblkfreq
//   every other block >= 2       data block (DB, type 0) or key block (KB, type 1)
#ifndef PMDB_FSS_FORMAT_H
#define PMDB_FSS_FORMAT_H

#include <stddef.h>
#include <stdint.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the file format is little-endian and is read in place");

namespace pmdb {

constexpr uint32_t BLKSIZE = 1024;
constexpr uint32_t MAXBLOCK = 0x3fffff;      // highest block number
constexpr uint32_t MAXSLOT = 0x0fffffff;     // highest translation slot number
constexpr uint32_t NOBLOCK = 0xffffffff;     // FSBUFF.blk of an empty buffer
constexpr int NUMFILES = 15;
constexpr int NUMSUBKEYS = 16;
constexpr int NUMBUFFS = 16;
constexpr int NUMFSDATA = 20;
constexpr int NUMINSTANCES = 10;
constexpr int DBHEADER = 10;                 // data-block header bytes
constexpr int KBHEADER = 14;                 // key-block header bytes
constexpr int MAXSTORED = BLKSIZE - DBHEADER - 6;   // 1008: largest stored form
constexpr int16_t DEFAULTXBLKFREQ = 20;
constexpr int FORCEDFLUSH = 2001;            // writeblk calls that force a flush

// The identification text at the start of every control block; bytes 21 to
// 28 are the signature checked on open.
constexpr const char COPYRIGHT[] = "Indexed record file: Pelmaret record file header";
constexpr const char SIGNATURE[] = "Pelmaret";
constexpr int SIGOFFSET = 21;

#pragma pack(push, 1)

// One logical-file descriptor, 15 of them in the control block.
struct FDATA {
    int16_t rlen;            // record length; the library never reads it
    uint32_t frid;           // lowest rid, 0xffffffff when empty
    char name[15];           // name; the library never reads it
    uint32_t lrid;           // highest rid, 0 when empty
    signed char keytype[16]; // comparator number of each subkey
    uint16_t dupkeys;        // bit s: subkey s admits duplicate values
};

// The control block, block 0.
struct FSCB {
    char copyright[63];
    char fsname[64];         // path last given to fsopen (at most 63 bytes)
    int16_t numusers;
    uint32_t rootkb;         // root key block, 0 = empty index
    FDATA f[NUMFILES];
    uint32_t fc[6];          // free-space chain heads
    uint16_t ce;
    uint32_t ftc;            // head of the free translation-slot chain
    char cf;                 // in memory only: changed since written
    char dblocked;           // in memory only: locked
    int16_t xblkfreq;
    uint32_t lb;             // last block
    int16_t wrts;            // in memory only: writeblk calls since written
    uint32_t fschanged;
    uint16_t cefixes;
    uint16_t cannumber[2];   // low half, high half of the application counter
    uint32_t businessdate;
    int16_t dbextended;
    char appstat;
    int16_t sitenumber;
    char fscbfil[187];
};

// A data block: header, then record entries packed from byte 10.
struct DB {
    uint32_t nbic;           // next block in the same free-space chain
    int16_t len;             // bytes in use, header included
    int16_t fc;              // chain the block is filed on, -1 none
    char type;               // 0 data/empty, 1 key block
    char fill;
    uint8_t buff[BLKSIZE - DBHEADER];
};

// A record entry inside a data block: head, then len stored bytes.
struct RECORD {
    uint32_t rid;
    int16_t len;
    uint8_t rec[1];
};

// A key block: header, then entries packed from byte 14.
struct KB {
    uint32_t ancestor;       // 0 in use; the next free block once freed
    int16_t len;             // bytes in use, header included
    int16_t numkeys;
    char type;               // 1 in use
    signed char level;       // 0 leaf, > 0 inner
    uint32_t xtrablk;        // inner blocks: rightmost child
    uint8_t buff[BLKSIZE - KBHEADER];
};

#pragma pack(pop)

static_assert(sizeof(FDATA) == 43, "FDATA layout");
static_assert(offsetof(FDATA, frid) == 2 && offsetof(FDATA, name) == 6 &&
              offsetof(FDATA, lrid) == 21 && offsetof(FDATA, keytype) == 25 &&
              offsetof(FDATA, dupkeys) == 41, "FDATA offsets");
static_assert(sizeof(FSCB) == BLKSIZE, "FSCB is one block");
static_assert(offsetof(FSCB, fsname) == 63 && offsetof(FSCB, numusers) == 127 &&
              offsetof(FSCB, rootkb) == 129 && offsetof(FSCB, f) == 133 &&
              offsetof(FSCB, fc) == 778 && offsetof(FSCB, ce) == 802 &&
              offsetof(FSCB, ftc) == 804 && offsetof(FSCB, cf) == 808 &&
              offsetof(FSCB, dblocked) == 809 && offsetof(FSCB, xblkfreq) == 810 &&
              offsetof(FSCB, lb) == 812 && offsetof(FSCB, wrts) == 816 &&
              offsetof(FSCB, fschanged) == 818 && offsetof(FSCB, cefixes) == 822 &&
              offsetof(FSCB, cannumber) == 824 && offsetof(FSCB, businessdate) == 828 &&
              offsetof(FSCB, dbextended) == 832 && offsetof(FSCB, appstat) == 834 &&
              offsetof(FSCB, sitenumber) == 835 && offsetof(FSCB, fscbfil) == 837,
              "FSCB offsets");
static_assert(sizeof(DB) == BLKSIZE && offsetof(DB, len) == 4 && offsetof(DB, fc) == 6 &&
              offsetof(DB, type) == 8 && offsetof(DB, buff) == DBHEADER, "DB layout");
static_assert(offsetof(RECORD, len) == 4 && offsetof(RECORD, rec) == 6, "RECORD layout");
static_assert(sizeof(KB) == BLKSIZE && offsetof(KB, len) == 4 && offsetof(KB, numkeys) == 6 &&
              offsetof(KB, type) == 8 && offsetof(KB, level) == 9 &&
              offsetof(KB, xtrablk) == 10 && offsetof(KB, buff) == KBHEADER, "KB layout");

// Little-endian field access at any byte offset, for entries that are not
// aligned (record entries, key entries).
inline uint16_t get16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void put16(uint8_t *p, uint16_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); p[2] = (uint8_t)(v >> 16); p[3] = (uint8_t)(v >> 24);
}

}  // namespace pmdb

#endif
