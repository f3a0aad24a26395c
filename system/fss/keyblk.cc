// keyblk.cc - the key image, the nine comparators and their table, the
// argument checks every key call makes, and the check of a key block as
// it is read. Layouts are listed in keyblk.h.
//
// Order of the whole index: by fid byte (unsigned), then by value under
// the subkey's comparator, then, in subkeys with duplicates, by rid.
#include "fss/keyblk.h"

#include <string.h>

#include "fss/alloc.h"
#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/keycmp.h"

namespace pmdb {

uint8_t newkey[KEYBUFSIZE];

const int8_t keywidth[NUMKEYTYPES] = {0, 2, 4, 0, 2, 4, 4, 8, 10};

uint8_t *bldkey(uint8_t fid, uint32_t rid, int16_t len, const void *key) {
    // Callers have checked len (keyargsok); the clamp only keeps a caller
    // that did not from writing past the buffer.
    if (len < 0) len = 0;
    if (len > MAXKEYVALUE) len = MAXKEYVALUE;
    newkey[0] = fid;
    if (len > 0) memcpy(newkey + 1, key, (size_t)len);
    put32(newkey + 1 + len, rid);
    return newkey;
}

namespace {

inline uint64_t get64(const uint8_t *p) { return (uint64_t)get32(p) | ((uint64_t)get32(p + 4) << 32); }

// The 80-bit format: significand in bytes 0..7 (bit 63 the explicit
// integer bit), then 15 bits of exponent and the sign in bytes 8..9.
inline bool ldunordered(const uint8_t *v) {
    uint16_t se = get16(v + 8);
    uint16_t e = se & 0x7fff;
    uint64_t m = get64(v);
    bool intbit = (m >> 63) != 0;
    if (e == 0x7fff) return m != 0x8000000000000000ull;   // NaN, pseudo-NaN/-infinity
    if (e != 0 && !intbit) return true;                      // unnormal
    return false;
}

}  // namespace

int16_t ldcmp(const uint8_t *a, const uint8_t *b) {
    if (ldunordered(a) || ldunordered(b)) return 1;
    uint16_t ea = get16(a + 8) & 0x7fff, eb = get16(b + 8) & 0x7fff;
    bool na = (get16(a + 8) & 0x8000) != 0, nb = (get16(b + 8) & 0x8000) != 0;
    uint64_t ma = get64(a), mb = get64(b);
    // A denormal (exponent 0) is scaled as exponent 1, so a pseudo-denormal
    // equals the normal of the same significand.
    if (ea == 0) ea = 1;
    if (eb == 0) eb = 1;
    bool za = ma == 0, zb = mb == 0;
    if (za && zb) return 0;   // -0 = +0
    // Magnitude order of (exponent, significand); zero has the least.
    int mag;
    if (za) mag = -1;
    else if (zb) mag = 1;
    else if (ea != eb) mag = ea > eb ? 1 : -1;
    else mag = ma > mb ? 1 : ma < mb ? -1 : 0;
    if (na != nb) {
        // Different signs and not both zero: the negative one is smaller.
        return na ? -1 : 1;
    }
    return (int16_t)(na ? -mag : mag);
}

bool ldoubleinvalid(const uint8_t *v) { return ldunordered(v); }

int16_t charfunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t v1len,
                 int16_t v2len) {
    return charcmp(v1, v2, len, dupkeys, v1len, v2len);
}

int16_t ucharfunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t v1len,
                  int16_t v2len) {
    return charcmp(v1, v2, len, dupkeys, v1len, v2len);
}

int16_t shortfunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t a, int16_t b) {
    return typedcmp<SHORTV>(v1, v2, len, dupkeys, a, b);
}

int16_t longfunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t a, int16_t b) {
    return typedcmp<LONGV>(v1, v2, len, dupkeys, a, b);
}

int16_t ushortfunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t a, int16_t b) {
    return typedcmp<USHORTV>(v1, v2, len, dupkeys, a, b);
}

int16_t ulongfunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t a, int16_t b) {
    return typedcmp<ULONGV>(v1, v2, len, dupkeys, a, b);
}

int16_t floatfunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t a, int16_t b) {
    return typedcmp<FLOATV>(v1, v2, len, dupkeys, a, b);
}

int16_t doublefunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t a, int16_t b) {
    return typedcmp<DOUBLEV>(v1, v2, len, dupkeys, a, b);
}

int16_t ldoublefunc(const uint8_t *v1, const uint8_t *v2, int16_t len, int16_t dupkeys, int16_t a, int16_t b) {
    return typedcmp<LDOUBLEV>(v1, v2, len, dupkeys, a, b);
}

const FUNC funcs[NUMKEYTYPES] = {charfunc,  shortfunc, longfunc,   ucharfunc,  ushortfunc,
                                 ulongfunc, floatfunc, doublefunc, ldoublefunc};

short choosecmp(const FSDATA *fsdata, uint8_t fid, FUNC *cmpfunc, int16_t *dupkeys) {
    int n = fid >> 4;
    if (n == 0) return 0;
    const FDATA &f = fsdata->fscb.f[n - 1];
    int s = fid & 15;
    int t = f.keytype[s];
    if (t < 0 || t >= NUMKEYTYPES) return 0;
    *cmpfunc = funcs[t];
    *dupkeys = (int16_t)((f.dupkeys >> s) & 1);
    return 1;
}

short keyargsok(const FSDATA *fsdata, uint8_t fid, int16_t len, const void *value) {
    FUNC f;
    int16_t d;
    if (!choosecmp(fsdata, fid, &f, &d)) return 0;
    if (len < 0 || len > MAXKEYVALUE) return 0;
    if (len > 0 && value == nullptr) return 0;
    int t = fsdata->fscb.f[(fid >> 4) - 1].keytype[fid & 15];
    int w = keywidth[t];
    if (w == 0 || len == 0) return 1;
    if (len != w) return 0;
    const uint8_t *v = static_cast<const uint8_t *>(value);
    if (t == 6) {
        float x;
        memcpy(&x, v, 4);
        return x == x;
    }
    if (t == 7) {
        double x;
        memcpy(&x, v, 8);
        return x == x;
    }
    if (t == 8) return !ldoubleinvalid(v);
    return 1;
}

void clearpath(KEYPATH *path) { memset(path, 0, sizeof *path); }

bool keyblknumok(const FSDATA *fsdata, uint32_t blk) {
    return blk >= 2 && blk <= fsdata->fscb.lb && !isxlateblk(fsdata, blk);
}

bool keyblkreadok(const FSDATA *fsdata, uint32_t blk) {
    return (uint64_t)blk > (uint64_t)fsdata->fscb.lb + 1 || keyblknumok(fsdata, blk);
}

namespace {

// The header checks, made at every use of a key block.
short checkkbhead(const FSDATA *fsdata, uint32_t blk, const KB *kb, int expectlevel) {
    if (kb->type != 1) return (short)dbdamage(blk, "key block: type is not 1");
    if (kb->len < KBHEADER || kb->len > (int)BLKSIZE)
        return (short)dbdamage(blk, "key block: len outside 14..1024");
    if (kb->numkeys < 0) return (short)dbdamage(blk, "key block: numkeys negative");
    if (kb->level < 0 || kb->level >= MAXLEVELS)
        return (short)dbdamage(blk, "key block: level outside 0..31");
    if (expectlevel >= 0 && kb->level != expectlevel)
        return (short)dbdamage(blk, "key block: level is not one below its parent's");
    if (kb->level > 0 && !keyblkreadok(fsdata, kb->xtrablk))
        return (short)dbdamage(blk, "key block: xtrablk outside the file");
    return 1;
}

// The walk over the entries, made once per read of the block from disk.
short checkkbentries(const FSDATA *fsdata, uint32_t blk, const KB *kb) {
    bool inner = kb->level > 0;
    int ovh = kboverhead(kb), koff = kbkeyoff(kb);
    int pos = KBHEADER, count = 0;
    while (pos < kb->len) {
        if (pos + 2 > kb->len) return (short)dbdamage(blk, "key block: entry crosses len");
        int kl = kbkeylen(kb, pos);
        if (kl < 1 || kl > MAXKEYLEN) return (short)dbdamage(blk, "key block: keylen outside 1..196");
        if (pos + kl + ovh > kb->len) return (short)dbdamage(blk, "key block: entry crosses len");
        if (inner && !keyblkreadok(fsdata, kbchild(kb, pos)))
            return (short)dbdamage(blk, "key block: child outside the file");
        // A typed value shorter than its width would make the comparator
        // read past the entry.
        uint8_t fid = kbat(kb, pos)[koff];
        if ((fid >> 4) != 0) {
            int t = fsdata->fscb.f[(fid >> 4) - 1].keytype[fid & 15];
            if (t >= 0 && t < NUMKEYTYPES && keywidth[t] != 0 && kl != 1 && kl != 1 + keywidth[t])
                return (short)dbdamage(blk, "key block: typed key of the wrong width");
        }
        count++;
        pos += kl + ovh;
    }
    if (count != kb->numkeys) return (short)dbdamage(blk, "key block: numkeys disagrees with entries");
    return 1;
}

}  // namespace

short checkkb(const FSDATA *fsdata, uint32_t blk, const KB *kb, int expectlevel) {
    return checkkbhead(fsdata, blk, kb, expectlevel) && checkkbentries(fsdata, blk, kb);
}

const FSBUFF *viewkeyblk(FSDATA *fsdata, uint32_t blk, int expectlevel) {
    if (!keyblkreadok(fsdata, blk)) {
        dbdamage(blk, "key block number outside the file");
        return nullptr;
    }
    const FSBUFF *b = viewblk(fsdata, blk);
    if (b == nullptr) return nullptr;
    const KB *kb = kbview(b);
    // The whole block is wanted (the scans read on to the key's place):
    // its lines are fetched together rather than one miss after another.
    for (uint32_t l = 64; l < BLKSIZE; l += 64) __builtin_prefetch(imgof(b) + l);
    if (!checkkbhead(fsdata, blk, kb, expectlevel)) return nullptr;
    if (!markedkey(b->checked)) {
        if (!checkkbentries(fsdata, blk, kb)) return nullptr;
        setchecked(fsdata, b, MARKKEY);
    }
    return b;
}

FSBUFF *readkeyblk(FSDATA *fsdata, uint32_t blk, int expectlevel) {
    const FSBUFF *b = viewkeyblk(fsdata, blk, expectlevel);
    return b == nullptr ? nullptr : ownbuff(fsdata, b);
}

}  // namespace pmdb
