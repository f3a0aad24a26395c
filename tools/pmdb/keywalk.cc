// keywalk.cc - key searches with the found value's length.
#include "keywalk.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "fss/fsdata.h"
#include "keyvalue.h"
#include "schema.h"

namespace pmdbtool {

namespace {

constexpr int VALUEBUF = 256;  // more than the longest value, 195 bytes

int result(uint32_t rid) {
    if (rid != 0) return 1;
    return liberrorsince() ? -1 : 0;
}

// The length of the value that a search copied into buf for rid: found
// among the leaf entries held in the cache, most recently used first.
// below: for char keys, the value the found key sorts below (or, with
// orequal, not above); null takes the longest entry that fits (typed keys
// have one width, so only an empty value of the same rid can compete).
int foundlength(const Db &db, uint8_t fid, uint32_t rid, const uint8_t *buf, const std::string *below,
                bool orequal) {
    const pmdb::FSDATA *fsdata = pmdb::getfsdata(db.fs());
    int best = -1;
    for (int i = pmdb::NUMBUFFS - 1; i >= 0 && best < 0; i--) {
        int16_t sn = fsdata->seq[i];
        if (sn < 0 || sn >= pmdb::NUMBUFFS) continue;
        const pmdb::FSBUFF &b = fsdata->buff[sn];
        if (b.blk == pmdb::NOBLOCK) continue;
        const uint8_t *p = b.raw;
        int len = (int16_t)pmdb::get16(p + 4);
        if (p[8] != 1 || p[9] != 0 || len < pmdb::KBHEADER || len > (int)pmdb::BLKSIZE) continue;
        for (int pos = pmdb::KBHEADER; pos + 2 <= len;) {
            int keylen = (int16_t)pmdb::get16(p + pos);
            if (keylen < 1 || pos + 6 + keylen > len) break;
            const uint8_t *img = p + pos + 2;
            int vlen = keylen - 1;
            if (img[0] == fid && pmdb::get32(img + keylen) == rid && memcmp(img + 1, buf, (size_t)vlen) == 0) {
                std::string v((const char *)img + 1, (size_t)vlen);
                if (below == nullptr || v < *below || (orequal && v == *below)) best = std::max(best, vlen);
            }
            pos += keylen + 6;
        }
    }
    return best;
}

template <typename F>
int lengthless(F search, const Db &db, uint8_t fid, const std::string &in, bool orequal, Found *f) {
    int t = subkeytype(db, fid);
    const std::string *below = t == 0 || t == 3 ? &in : nullptr;
    uint8_t buf[VALUEBUF];
    memset(buf, 0, sizeof buf);
    memcpy(buf, in.data(), in.size());
    uint32_t rid = search(buf);
    int r = result(rid);
    if (r != 1) return r;
    int n = foundlength(db, fid, rid, buf, below, orequal);
    if (n < 0) return -1;
    f->rid = rid;
    f->value.assign((const char *)buf, (size_t)n);
    return 1;
}

}  // namespace

int keyfirst(const Db &db, uint8_t fid, Found *f) {
    uint8_t buf[VALUEBUF];
    db.fs()->len = 0;
    uint32_t rid = fsfirstkey(db.inst(), db.fs(), fid, buf);
    int r = result(rid);
    if (r != 1) return r;
    int len = db.fs()->len - 1;
    if (len < 0 || len > 195) return -1;
    f->rid = rid;
    f->value.assign((const char *)buf, (size_t)len);
    return 1;
}

int keynext(const Db &db, uint8_t fid, const Found &cur, Found *f) {
    uint8_t buf[VALUEBUF];
    memcpy(buf, cur.value.data(), cur.value.size());
    db.fs()->len = 0;
    uint32_t rid = fsnextkey(db.inst(), db.fs(), fid, cur.rid, (short)cur.value.size(), buf);
    int r = result(rid);
    if (r != 1) return r;
    int len = db.fs()->len - 1;
    if (len < 0 || len > 195) return -1;
    f->rid = rid;
    f->value.assign((const char *)buf, (size_t)len);
    return 1;
}

int keyprev(const Db &db, uint8_t fid, const Found &cur, Found *f) {
    short len = (short)cur.value.size();
    uint32_t rid = cur.rid;
    return lengthless([&](uint8_t *buf) { return fsprevkey(db.inst(), db.fs(), fid, rid, len, buf); }, db,
                      fid, cur.value, true, f);
}

int keylast(const Db &db, uint8_t fid, const std::string &v, Found *f) {
    short len = (short)v.size();
    return lengthless([&](uint8_t *buf) { return fslastkey(db.inst(), db.fs(), fid, len, buf); }, db, fid, v,
                      false, f);
}

int keyfind(const Db &db, uint8_t fid, const std::string &v, Found *f) {
    // An exact match has the length of the value sought.
    if (v.empty()) return 0;
    uint8_t buf[VALUEBUF];
    memcpy(buf, v.data(), v.size());
    uint32_t rid = fsfindkey(db.inst(), db.fs(), fid, (short)v.size(), buf);
    int r = result(rid);
    if (r != 1) return r;
    f->rid = rid;
    f->value.assign((const char *)buf, v.size());
    return 1;
}

bool samevalue(int t, const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    if (t == 6 && a.size() == 4) {
        float x, y;
        memcpy(&x, a.data(), 4);
        memcpy(&y, b.data(), 4);
        return x == y;
    }
    if (t == 7 && a.size() == 8) {
        double x, y;
        memcpy(&x, a.data(), 8);
        memcpy(&y, b.data(), 8);
        return x == y;
    }
    if (t == 8 && a.size() == 10)
        return ldoublefrombytes((const uint8_t *)a.data()) == ldoublefrombytes((const uint8_t *)b.data());
    return a == b;
}

int comparevalues(int t, const std::string &a, const std::string &b) {
    if (a.empty() || b.empty() || keytypewidth(t) == 0 || a.size() != b.size())
        return a < b ? -1 : a > b ? 1 : 0;   // bytes unsigned, a prefix first
    auto num = [&](const std::string &v) -> long double {
        const uint8_t *p = (const uint8_t *)v.data();
        switch (t) {
        case 1: return (int16_t)pmdb::get16(p);
        case 2: return (int32_t)pmdb::get32(p);
        case 4: return pmdb::get16(p);
        case 5: return pmdb::get32(p);
        case 6: {
            float f;
            memcpy(&f, p, 4);
            return f;
        }
        case 7: {
            double d;
            memcpy(&d, p, 8);
            return d;
        }
        default: return ldoublefrombytes(p);
        }
    };
    long double x = num(a), y = num(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

std::string maxvalue(int t) {
    std::string v;
    switch (t) {
    case 1: v = std::string("\xff\x7f", 2); break;
    case 2: v = std::string("\xff\xff\xff\x7f", 4); break;
    case 4: v = std::string("\xff\xff", 2); break;
    case 5: v = std::string("\xff\xff\xff\xff", 4); break;
    case 6: {
        float x = HUGE_VALF;
        v.assign((const char *)&x, 4);
        break;
    }
    case 7: {
        double x = HUGE_VAL;
        v.assign((const char *)&x, 8);
        break;
    }
    case 8: {
        uint8_t b[10];
        ldoubletobytes(HUGE_VALL, b);
        v.assign((const char *)b, 10);
        break;
    }
    default: v.assign(195, '\xff'); break;
    }
    return v;
}

int subkeytype(const Db &db, uint8_t fid) {
    int16_t t;
    if (!fsgetsubkey(db.inst(), db.fs(), fid, &t, nullptr)) return -1;
    return t >= 0 && t < NUMKEYTYPES ? t : -1;
}

}  // namespace pmdbtool
