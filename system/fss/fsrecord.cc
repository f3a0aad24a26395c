// fsrecord.cc - the exported record calls: add, rewrite, delete and read a
// record (also into a buffer of a given size, or just its length), and
// walk a logical file in rid order.
//
// A record lives packed in exactly one data block, as one entry (rid,
// stored length, stored form); its slot in the translation blocks names
// that block. A changing call refuses (read-only first, then its
// arguments) before it changes anything, and a rewrite or delete that fails
// once the old entry is out of its block puts that entry back, so the
// record stays readable under its rid. Nothing here allocates: the packed
// form and the saved entry live on the stack.
#include <string.h>

#include "compress/compress.h"
#include "fss/alloc.h"
#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fscb.h"
#include "fss/record.h"
#include "fss/xlate.h"

namespace pmdb {

namespace {

constexpr uint32_t EMPTYFRID = 0xffffffff;

bool refusereadonly(FSDATA *fsdata) {
    if (!fsdata->readonly) return false;
    dodberror(ERR_READONLY);
    return true;
}

// Packs rec into work (MAXSTORED bytes); 0 when the arguments are bad
// (a null rec of len > 0 also records 485) or the stored form would not
// fit an empty block.
int16_t pack(uint8_t *work, const void *rec, int16_t len, const char *call) {
    if (len > 0 && rec == nullptr) return (int16_t)nullarg(call);
    if (len < 0) return 0;
    return compress(work, MAXSTORED, (const uint8_t *)rec, len);
}

// One entry kept aside while its record is rewritten or deleted.
struct SAVED {
    uint32_t rid;
    int16_t len;
    uint8_t rec[MAXSTORED];
};

void save(SAVED &s, const uint8_t *entry) {
    s.rid = get32(entry);
    s.len = (int16_t)get16(entry + 4);
    memcpy(s.rec, entry + RECHEAD, (size_t)s.len);
}

// Puts a saved entry back into blk, which it left in this call. The block
// had the room then and nothing has been appended to it since. A failed
// mark still leaves the entry in the cached block.
void restore(FSDATA *fsdata, SAVED &s, uint32_t blk) {
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return;
    if ((int)BLKSIZE - b->dbuff.len < RECHEAD + s.len) {
        dbdamage(blk, "no room to put a record back");
        return;
    }
    (void)artb(fsdata, s.rid, s.len, s.rec, &b->dbuff, blk);
    (void)writeblk(fsdata, blk);
}

// Takes rid's entry out of blk again (undoing an append of this call).
void unappend(FSDATA *fsdata, uint32_t rid, uint32_t blk) {
    FSBUFF *b = readblk(fsdata, blk);
    if (b == nullptr) return;
    uint8_t *e = findrec(&b->dbuff, rid);
    if (e == nullptr) return;
    rrfb(&b->dbuff, e);
    putonchain(fsdata, &b->dbuff, blk);
    (void)writeblk(fsdata, blk);
}

// Files the empty data blocks that getxlate added above oldlb on chain 0,
// lowest first, ahead of what chain 0 held. Built from the top down so
// that chain 0 is whole after every step, even if one fails.
void fileaddedblocks(FSDATA *fsdata, uint32_t oldlb) {
    FSCB &cb = fsdata->fscb;
    for (uint32_t blk = cb.lb; blk > oldlb; blk--) {
        if (isxlateblk(fsdata, blk)) continue;
        FSBUFF *b = readblk(fsdata, blk);
        if (b == nullptr) return;
        b->dbuff.nbic = cb.fc[0];
        b->dbuff.fc = 0;
        if (!writeblk(fsdata, blk)) return;
        cb.fc[0] = blk;
        changefscb(fsdata);
    }
}

// The error numbers of the two adds.
struct ADDERRS {
    const char *call;
    int16_t refused;   // the arguments (or the slot, for fsaddat)
    WALKERRS walk;
    int16_t noslot;    // recorded after the slot call's own number; 0 none
    int16_t reread;    // the block cannot be read again
    int16_t mark;      // the block cannot be marked changed
};
const ADDERRS FSADDERRS = {"fsadd", 1030, {1030, 1035, 1038, 1040, 1042}, 1045, 1050, 1055};
const ADDERRS FSADDATERRS = {"fsaddat", 1550, {1565, 1570, 1575, 1580, 1585}, 0, 1600, 1605};

// Adds a record to file fid >> 4: under the head of the free-slot chain
// (want 0, fsadd), or under the rid want (fsaddat), refused before
// anything changes when that slot is in use or its chain is damaged.
uint32_t addrec(FSDATA *fsdata, const void *rec, int16_t len, uint8_t fid, uint32_t want,
                const ADDERRS &errs) {
    if (refusereadonly(fsdata)) return 0;
    FDATA *f = filebyfid(fsdata, fid);
    uint8_t work[MAXSTORED];
    int16_t c = f == nullptr ? 0 : pack(work, rec, len, errs.call);
    // A slot whose translation block would lie past the largest file (with
    // room for a data block after it) can never be made.
    uint64_t m = (want & RIDSLOT) >> 8;
    if (c == 0 || (want != 0 && m * (uint16_t)fsdata->fscb.xblkfreq + 2 > MAXBLOCK)) {
        dodberror(errs.refused);
        return 0;
    }
    uint32_t link = NOSLOT;
    if (want != 0) {
        int r = findslotlink(fsdata, want, &link);
        if (r <= 0) {
            dodberror(r == 0 ? 1555 : 1560);
            return 0;
        }
    }
    int16_t need = (int16_t)(c + RECHEAD);
    uint32_t b = addwalk(fsdata, need, errs.walk);
    if (b == 0) return 0;

    uint32_t oldlb = fsdata->fscb.lb;
    uint32_t s = want == 0 ? getxlate(fsdata, b, fid) : takeslot(fsdata, link, b, want);
    if (s == NOSLOT) {
        if (errs.noslot != 0) dodberror(errs.noslot);
        return 0;
    }
    uint32_t rid = ((uint32_t)(fid >> 4) << 28) + s;
    // The slot call may have read enough blocks to push b out of the
    // cache: take its buffer afresh.
    FSBUFF *buf = readblk(fsdata, b);
    if (buf == nullptr || (int)BLKSIZE - buf->dbuff.len < need) {
        if (buf != nullptr) dbdamage(b, "block lost its room");
        (void)freexlate(fsdata, rid);
        dodberror(errs.reread);
        return 0;
    }
    (void)artb(fsdata, rid, c, work, &buf->dbuff, b);
    if (!writeblk(fsdata, b)) {
        // The caller gets no rid, so no record may stay behind it.
        unappend(fsdata, rid, b);
        (void)freexlate(fsdata, rid);
        dodberror(errs.mark);
        return 0;
    }
    fileaddedblocks(fsdata, oldlb);
    if (f->frid > rid || f->frid == 0) {
        f->frid = rid;
        changefscb(fsdata);
    }
    if (f->lrid < rid) {
        f->lrid = rid;
        changefscb(fsdata);
    }
    return rid;
}

short writerec(FSDATA *fsdata, const void *rec, int16_t len, uint32_t rid) {
    if (refusereadonly(fsdata)) return 0;
    uint8_t work[MAXSTORED];
    int16_t c = pack(work, rec, len, "fswrite");
    if (c == 0) {
        dodberror(1080);
        return 0;
    }
    int16_t need = (int16_t)(c + RECHEAD);
    uint32_t b = ridtoblk(fsdata, rid);
    if (b == 0) {
        dodberror(1160);
        return 0;
    }
    FSBUFF *buf = readdatablk(fsdata, b);
    if (buf == nullptr) {
        dodberror(1065);
        return 0;
    }
    uint8_t *e = findrec(&buf->dbuff, rid);
    if (e == nullptr) {
        dbdamage(b, "record not in the block its slot names");
        dodberror(1070);
        return 0;
    }
    SAVED old;
    save(old, e);
    rrfb(&buf->dbuff, e);

    if ((int)BLKSIZE - buf->dbuff.len >= need) {
        (void)artb(fsdata, rid, c, work, &buf->dbuff, b);
        if (!writeblk(fsdata, b)) {
            unappend(fsdata, rid, b);
            restore(fsdata, old, b);
            dodberror(1100);
            return 0;
        }
        return 1;
    }

    // The record moves: b has gained room and is filed for it first.
    putonchain(fsdata, &buf->dbuff, b);
    if (!writeblk(fsdata, b)) {
        restore(fsdata, old, b);
        dodberror(1075);
        return 0;
    }
    static const WALKERRS errs = {1080, 1085, 1089, 1090, 1092};
    uint32_t b2 = addwalk(fsdata, need, errs);
    if (b2 == 0) {
        restore(fsdata, old, b);
        return 0;
    }
    if (!changexlate(fsdata, b2, rid)) {
        (void)changexlate(fsdata, b, rid);   // a failed mark may have moved it
        restore(fsdata, old, b);
        dodberror(1087);
        return 0;
    }
    FSBUFF *buf2 = readblk(fsdata, b2);
    if (buf2 == nullptr || (int)BLKSIZE - buf2->dbuff.len < need) {
        if (buf2 != nullptr) dbdamage(b2, "block lost its room");
        (void)changexlate(fsdata, b, rid);
        restore(fsdata, old, b);
        dodberror(1095);
        return 0;
    }
    (void)artb(fsdata, rid, c, work, &buf2->dbuff, b2);
    if (!writeblk(fsdata, b2)) {
        unappend(fsdata, rid, b2);
        (void)changexlate(fsdata, b, rid);
        restore(fsdata, old, b);
        dodberror(1100);
        return 0;
    }
    return 1;
}

short deleterec(FSDATA *fsdata, uint32_t rid) {
    if (refusereadonly(fsdata)) return 0;
    uint32_t b = ridtoblk(fsdata, rid);
    if (b == 0) {
        dodberror(1105);
        return 0;
    }
    FSBUFF *buf = readdatablk(fsdata, b);
    if (buf == nullptr) {
        dodberror(1110);
        return 0;
    }
    uint8_t *e = findrec(&buf->dbuff, rid);
    if (e == nullptr) {
        dbdamage(b, "record not in the block its slot names");
        dodberror(1115);
        return 0;
    }
    SAVED old;
    save(old, e);
    rrfb(&buf->dbuff, e);
    putonchain(fsdata, &buf->dbuff, b);
    if (!freexlate(fsdata, rid)) {
        restore(fsdata, old, b);
        dodberror(1120);
        return 0;
    }
    if (!writeblk(fsdata, b)) {
        (void)rebindxlate(fsdata, rid, b);
        restore(fsdata, old, b);
        dodberror(1120);
        return 0;
    }
    FDATA *f = filebyrid(fsdata, rid);
    if (f->frid == f->lrid) {
        f->frid = EMPTYFRID;
        f->lrid = 0;
        changefscb(fsdata);
    } else if (rid == f->frid || rid == f->lrid) {
        // A bound that cannot be found would leave the file without its
        // first or last record: the delete is undone instead.
        uint32_t bound = rid == f->frid ? nextrid(fsdata, rid) : prevrid(fsdata, rid);
        if (bound == 0) {
            (void)rebindxlate(fsdata, rid, b);
            restore(fsdata, old, b);
            dodberror(1120);
            return 0;
        }
        if (rid == f->frid)
            f->frid = bound;
        else
            f->lrid = bound;
        changefscb(fsdata);
    }
    return 1;
}

// The entry of rid's record, for the reading calls: null on failure with
// fsread's numbers recorded (1124, 1125, 1130, 1135).
const uint8_t *findentry(FSDATA *fsdata, uint32_t rid, uint32_t *blk) {
    if (!dbchanged(fsdata)) {
        dodberror(1124);
        return nullptr;
    }
    uint32_t b = ridtoblk(fsdata, rid);
    if (b == 0) {
        dodberror(1125);
        return nullptr;
    }
    const FSBUFF *buf = viewdatablk(fsdata, b);
    if (buf == nullptr) {
        dodberror(1130);
        return nullptr;
    }
    const uint8_t *e = findrec(reinterpret_cast<const DB *>(imgof(buf)), rid);
    if (e == nullptr) {
        dbdamage(b, "record not in the block its slot names");
        dodberror(1135);
        return nullptr;
    }
    *blk = b;
    return e;
}

// The record length of an entry; -1 (damage reported, 1132) when its
// stored form is damaged.
int16_t entrylen(const uint8_t *e, uint32_t blk) {
    int16_t n = uncompressedlen(e + RECHEAD, (int16_t)get16(e + 4));
    if (n < 0) {
        dbdamage(blk, "stored form damaged");
        dodberror(1132);
    }
    return n;
}

// Unpacks rid's record into rec, which holds size bytes (fsread: any
// record). The stored form is checked whole before anything is written, so
// a damaged one (1132), or a record longer than size (1133), leaves rec
// untouched.
short readrec(FSDATA *fsdata, uint32_t rid, void *rec, int16_t size) {
    uint32_t b = 0;
    const uint8_t *e = findentry(fsdata, rid, &b);
    if (e == nullptr) return 0;
    const uint8_t *stored = e + RECHEAD;
    int16_t storedlen = (int16_t)get16(e + 4);
    if (size < INT16_MAX) {
        int16_t n = entrylen(e, b);
        if (n < 0) return 0;
        if (n > size) {
            dodberror(ERR_TOOLONG);
            return 0;
        }
        if (n == 0) return 0;   // nothing to write, and rec may be null
    }
    int16_t n = uncompress((uint8_t *)rec, (size_t)size, stored, storedlen);
    if (n < 0) {
        dbdamage(b, "stored form damaged");
        dodberror(1132);
        return 0;
    }
    return n;
}

}  // namespace

}  // namespace pmdb

using namespace pmdb;

extern "C" {

PMDB_API uint32_t fsadd(char instance, FS *fsinfo, const void *rec, short len, uint8_t fid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsadd");
    if (fsdata == nullptr) return 0;
    GROWMARK mark = growthmark(fsdata);
    uint32_t rid = addrec(fsdata, rec, len, fid, 0, FSADDERRS);
    if (rid == 0) undogrowth(fsdata, mark);
    freefs(fsdata);
    return rid;
}

PMDB_API short fsaddat(char instance, FS *fsinfo, const void *rec, short len, uint32_t rid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsaddat");
    if (fsdata == nullptr) return 0;
    uint8_t fid = (uint8_t)((rid >> 28) << 4);
    GROWMARK mark = growthmark(fsdata);
    uint32_t r = addrec(fsdata, rec, len, fid, rid, FSADDATERRS);
    if (r == 0) undogrowth(fsdata, mark);
    freefs(fsdata);
    return r == 0 ? 0 : 1;
}

PMDB_API short fswrite(char instance, FS *fsinfo, const void *rec, short len, uint32_t rid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fswrite");
    if (fsdata == nullptr) return 0;
    GROWMARK mark = growthmark(fsdata);
    short r = writerec(fsdata, rec, len, rid);
    if (r == 0) undogrowth(fsdata, mark);
    freefs(fsdata);
    return r;
}

PMDB_API short fsdelete(char instance, FS *fsinfo, uint32_t rid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsdelete");
    if (fsdata == nullptr) return 0;
    short r = deleterec(fsdata, rid);
    freefs(fsdata);
    return r;
}

PMDB_API short fsread(char instance, FS *fsinfo, uint32_t rid, void *rec) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsread");
    if (fsdata == nullptr) return 0;
    if (rec == nullptr) return (short)nullarg("fsread");
    // fsread is given no size: the caller's buffer holds the record it stored.
    short n = readrec(fsdata, rid, rec, INT16_MAX);
    freefs(fsdata);
    return n;
}

PMDB_API short fsreadn(char instance, FS *fsinfo, uint32_t rid, void *buf, int16_t size) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsreadn");
    if (fsdata == nullptr) return 0;
    if (buf == nullptr && size > 0) return (short)nullarg("fsreadn");
    short n = readrec(fsdata, rid, buf, size < 0 ? 0 : size);
    freefs(fsdata);
    return n;
}

PMDB_API short fsreclen(char instance, FS *fsinfo, uint32_t rid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsreclen");
    if (fsdata == nullptr) return 0;
    uint32_t b = 0;
    const uint8_t *e = findentry(fsdata, rid, &b);
    int16_t n = e == nullptr ? 0 : entrylen(e, b);
    freefs(fsdata);
    return n < 0 ? 0 : n;
}

PMDB_API uint32_t fsfirst(char instance, FS *fsinfo, uint8_t fid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsfirst");
    if (fsdata == nullptr) return 0;
    if (!dbchanged(fsdata)) {
        dodberror(1101);
        return 0;
    }
    const FDATA *f = filebyfid(fsdata, fid);
    uint32_t rid = f == nullptr || f->frid == EMPTYFRID ? 0 : f->frid;
    freefs(fsdata);
    return rid;
}

PMDB_API uint32_t fslast(char instance, FS *fsinfo, uint8_t fid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fslast");
    if (fsdata == nullptr) return 0;
    if (!dbchanged(fsdata)) {
        dodberror(1102);
        return 0;
    }
    const FDATA *f = filebyfid(fsdata, fid);
    uint32_t rid = f == nullptr ? 0 : f->lrid;
    freefs(fsdata);
    return rid;
}

PMDB_API uint32_t fsnext(char instance, FS *fsinfo, uint32_t rid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsnext");
    if (fsdata == nullptr) return 0;
    if (!dbchanged(fsdata)) {
        dodberror(1136);
        return 0;
    }
    uint32_t r = nextrid(fsdata, rid);
    freefs(fsdata);
    return r;
}

PMDB_API uint32_t fsprev(char instance, FS *fsinfo, uint32_t rid) {
    (void)instance;
    pmerrno = 0;
    FSDATA *fsdata = usehandle(fsinfo, "fsprev");
    if (fsdata == nullptr) return 0;
    if (!dbchanged(fsdata)) {
        dodberror(1137);
        return 0;
    }
    uint32_t r = prevrid(fsdata, rid);
    freefs(fsdata);
    return r;
}

}
