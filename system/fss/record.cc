// record.cc - data blocks: checking them on use, finding, taking out and
// appending record entries, the free-space chains and the add walk. The
// block layout and the chain invariants are in record.h.
#include "fss/record.h"

#include <string.h>

#include "fss/alloc.h"
#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"
#include "platform/platform.h"

namespace pmdb {

namespace {

constexpr int16_t NOCHAIN = -1;

bool isdatablknum(const FSDATA *fsdata, uint32_t blk) {
    return blk >= 2 && blk <= fsdata->fscb.lb && !isxlateblk(fsdata, blk);
}

}  // namespace

int16_t whatchain(int16_t room) {
    if (room == (int16_t)(BLKSIZE - DBHEADER)) return 0;
    if (room >= 768) return 1;
    if (room >= 512) return 2;
    if (room >= 256) return 3;
    if (room >= 128) return 4;
    if (room >= 64) return 5;
    return NOCHAIN;
}

namespace {

// The header checks, made at every use of a data block.
bool checkdbhead(const FSDATA *fsdata, uint32_t blk, const DB *db) {
    if (db->type != 0) return dbdamage(blk, "not a data block");
    if (db->len < DBHEADER || db->len > (int16_t)BLKSIZE) return dbdamage(blk, "data block len out of range");
    if (db->fc < NOCHAIN || db->fc > 5) return dbdamage(blk, "chain number out of range");
    if (db->nbic != 0 && !isdatablknum(fsdata, db->nbic)) return dbdamage(blk, "chain link names no data block");
    return true;
}

// The walk over the entries, made once per read of the block from disk.
bool checkdbentries(uint32_t blk, const DB *db) {
    const uint8_t *raw = (const uint8_t *)db;
    int p = DBHEADER;
    while (p < db->len) {
        if (p + RECHEAD > db->len) return dbdamage(blk, "entry head runs past len");
        int16_t c = (int16_t)get16(raw + p + 4);
        if (c < 1 || p + RECHEAD + c > db->len) return dbdamage(blk, "entry runs past len");
        p += RECHEAD + c;
    }
    return true;
}

}  // namespace

bool checkdatablk(const FSDATA *fsdata, uint32_t blk, const DB *db) {
    return checkdbhead(fsdata, blk, db) && checkdbentries(blk, db);
}

const FSBUFF *viewdatablk(FSDATA *fsdata, uint32_t blk) {
    if (!isdatablknum(fsdata, blk)) {
        dbdamage(blk, "names no data block of the file");
        return nullptr;
    }
    const FSBUFF *b = viewblk(fsdata, blk);
    if (b == nullptr) return nullptr;
    const DB *db = reinterpret_cast<const DB *>(imgof(b));
    // The entries are walked from the start to the record: the block's
    // lines are fetched together rather than one miss after another.
    for (uint32_t l = 64; l < BLKSIZE; l += 64) __builtin_prefetch(imgof(b) + l);
    if (!checkdbhead(fsdata, blk, db)) return nullptr;
    if (b->checked != MARKDATA) {
        if (!checkdbentries(blk, db)) return nullptr;
        setchecked(fsdata, b, MARKDATA);
    }
    return b;
}

FSBUFF *readdatablk(FSDATA *fsdata, uint32_t blk) {
    const FSBUFF *b = viewdatablk(fsdata, blk);
    return b == nullptr ? nullptr : ownbuff(fsdata, b);
}

uint8_t *findrec(DB *dbuff, uint32_t rid) {
    return const_cast<uint8_t *>(findrec(static_cast<const DB *>(dbuff), rid));
}

const uint8_t *findrec(const DB *dbuff, uint32_t rid) {
    const uint8_t *raw = (const uint8_t *)dbuff;
    int len = dbuff->len > (int16_t)BLKSIZE ? (int)BLKSIZE : dbuff->len;
    int p = DBHEADER;
    // Bounded by len even in an unchecked block: every step is at least 7.
    while (p + RECHEAD <= len) {
        int16_t c = (int16_t)get16(raw + p + 4);
        if (c < 1 || p + RECHEAD + c > len) break;
        if (get32(raw + p) == rid) return raw + p;
        p += RECHEAD + c;
    }
    dodberror(1340);
    setmsg("Rid %lx not in block", (unsigned long)rid);
    return nullptr;
}

void rrfb(DB *dbuff, uint8_t *rbuff) {
    uint8_t *raw = (uint8_t *)dbuff;
    int off = (int)(rbuff - raw);
    int size = RECHEAD + (int16_t)get16(rbuff + 4);
    memmove(rbuff, rbuff + size, (size_t)(dbuff->len - off - size));
    dbuff->len = (int16_t)(dbuff->len - size);
}

short artb(FSDATA *fsdata, uint32_t &rid, int16_t &len, const uint8_t *rec, DB *buff, uint32_t blk) {
    uint8_t *p = (uint8_t *)buff + buff->len;
    put32(p, rid);
    put16(p + 4, (uint16_t)len);
    memcpy(p + RECHEAD, rec, (size_t)len);
    buff->len = (int16_t)(buff->len + RECHEAD + len);
    putonchain(fsdata, buff, blk);
    return 1;
}

void putonchain(FSDATA *fsdata, DB *dbuff, uint32_t blk) {
    FSCB &cb = fsdata->fscb;
    int16_t t = whatchain((int16_t)(BLKSIZE - dbuff->len));
    if (t == dbuff->fc) return;
    // A block further down its chain keeps its place: unlinking it would
    // need the block before it. The add walk re-files it when it meets it.
    if (dbuff->fc != NOCHAIN && cb.fc[dbuff->fc] != blk) return;
    if (dbuff->fc != NOCHAIN) cb.fc[dbuff->fc] = dbuff->nbic;
    if (t == NOCHAIN) {
        dbuff->nbic = 0;
    } else {
        dbuff->nbic = cb.fc[t];
        cb.fc[t] = blk;
    }
    dbuff->fc = t;
    changefscb(fsdata);
}

uint32_t getchain(FSDATA *fsdata, int16_t need) {
    FSCB &cb = fsdata->fscb;
    int first = need <= 64 ? 5 : need <= 128 ? 4 : need <= 256 ? 3 : need <= 512 ? 2 : need <= 768 ? 1 : 0;
    for (int k = first; k >= 1; k--)
        if (cb.fc[k] != 0) return cb.fc[k];
    if (cb.fc[0] != 0) return cb.fc[0];
    uint32_t b = allocextendedblk(fsdata);
    // Reading the new block makes it an empty data block (nbic 0, len 10,
    // fc 0), so it may head chain 0 at once.
    if (b == 0 || readblk(fsdata, b) == nullptr) return 0;
    cb.fc[0] = b;
    changefscb(fsdata);
    return b;
}

// Steps after which the add walk measures the file to bound itself.
constexpr uint32_t WALKCHECKFILE = 64;

uint32_t addwalk(FSDATA *fsdata, int16_t need, const WALKERRS &errs) {
    FSCB &cb = fsdata->fscb;
    uint32_t b = getchain(fsdata, need);
    if (b == 0) {
        dodberror(errs.first);
        return 0;
    }
    FSBUFF *buf = readdatablk(fsdata, b);
    if (buf == nullptr) {
        dodberror(errs.firstread);
        return 0;
    }
    uint32_t prev = 0;     // the block whose nbic led to b; 0 after getchain
    uint32_t steps = 0;
    uint32_t bound = cb.lb < MAXBLOCK ? cb.lb : MAXBLOCK;
    while ((int)BLKSIZE - buf->dbuff.len < need) {
        // A sound walk meets each block at most once (a re-filed block goes
        // to a chain this need never tries), and the file grows by at most
        // one block, when chain 0 runs dry: more steps mean a loop.
        if (++steps > bound + 2) {
            dbdamage(b, "add walk does not end");
            dodberror(errs.nextread);
            return 0;
        }
        // A long walk tightens the bound by the blocks that really exist:
        // those in the file, the new ones the pager holds, and the few new
        // ones still in the cache. A damaged lb alone would let a looping
        // chain run millions of steps.
        if (steps == WALKCHECKFILE) {
            uint64_t have = pagerblocks(fsdata);
            if (have < bound && have + NUMBUFFS < bound) bound = (uint32_t)(have + NUMBUFFS);
        }
        cb.ce++;
        uint32_t next = buf->dbuff.nbic;
        int16_t fc = buf->dbuff.fc;
        int16_t t = whatchain((int16_t)(BLKSIZE - buf->dbuff.len));
        if (t != NOCHAIN && fc == t && cb.fc[t] == b) {
            prev = b;   // heads the chain that fits it: left in place
        } else {
            cb.cefixes++;
            bool unlinked = false;
            if (fc != NOCHAIN && cb.fc[fc] == b) {
                cb.fc[fc] = next;
                unlinked = true;
            } else {
                for (int k = 0; k < 6 && !unlinked; k++) {
                    if (cb.fc[k] == b) {
                        cb.fc[k] = next;
                        unlinked = true;
                    }
                }
            }
            // Further down a chain: unlink it through the block before it,
            // so that no chain links back on itself once b heads chain t.
            if (!unlinked && prev != 0) {
                FSBUFF *p = readdatablk(fsdata, prev);
                if (p == nullptr) {
                    dodberror(errs.refile);
                    return 0;
                }
                p->dbuff.nbic = next;
                if (!writeblk(fsdata, prev)) {
                    dodberror(errs.refile);
                    return 0;
                }
                buf = readblk(fsdata, b);
                if (buf == nullptr) {
                    dodberror(errs.refile);
                    return 0;
                }
            }
            if (t == NOCHAIN) {
                buf->dbuff.nbic = 0;
            } else {
                buf->dbuff.nbic = cb.fc[t];
                cb.fc[t] = b;
            }
            buf->dbuff.fc = t;
            if (!writeblk(fsdata, b)) {
                dodberror(errs.refile);
                return 0;
            }
            if (unlinked) prev = 0;
        }
        changefscb(fsdata);
        if (next == 0) {
            prev = 0;
            b = getchain(fsdata, need);
            if (b == 0) {
                dodberror(errs.chainend);
                return 0;
            }
        } else {
            b = next;
        }
        buf = readdatablk(fsdata, b);
        if (buf == nullptr) {
            dodberror(errs.nextread);
            return 0;
        }
    }
    return b;
}

}  // namespace pmdb
