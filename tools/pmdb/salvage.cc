// salvage.cc - dump --salvage: what can still be read of a damaged file,
// read from its blocks directly (the library refuses a call at the first
// damage it meets; a salvage must go round it).
//
//   records  every live translation slot whose data block holds its entry
//            and whose stored form unpacks; then entries that no slot
//            names (a damaged slot), each rid once
//   keys     every entry of every leaf (type 1, level 0) in the file,
//            reachable from the root or not: a damaged inner block must
//            not lose the leaves below it. Sorted as the index orders them,
//            each key once; a later equal value in a unique subkey is
//            skipped so that the dump loads.
// Each item that cannot be read is skipped with one warning line.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

#include "compress/compress.h"
#include "dumpformat.h"
#include "image.h"
#include "keyvalue.h"
#include "keywalk.h"

namespace pmdbtool {

namespace {

using pmdb::get16;
using pmdb::get32;

struct Key {
    uint8_t fid;
    std::string value;
    uint32_t rid;
};

struct Salvage {
    Ctx &c;
    const std::string &path;
    const Image &im;
    Schema schema;
    uint32_t last = 0;   // last block present and named by lb
    uint64_t skipped = 0;
    std::map<uint32_t, std::string> recs;

    void skip(const std::string &what) {
        skipped++;
        toolwarning(c, path, what + ": skipped");
    }
    const uint8_t *datablock(uint32_t b, int *len) const {
        if (b < 2 || b > last || im.isxlate(b)) return nullptr;
        const uint8_t *p = im.block(b);
        *len = (int16_t)get16(p + 4);
        if (p[8] != 0 || *len < pmdb::DBHEADER || *len > (int)pmdb::BLKSIZE) return nullptr;
        return p;
    }
    // The record of rid in block b; false (with *why) when it cannot be had.
    bool readrec(uint32_t b, uint32_t rid, std::string *out, std::string *why) const {
        int len;
        const uint8_t *p = datablock(b, &len);
        if (p == nullptr) {
            *why = "its slot names block " + std::to_string(b) + ", which is no readable data block";
            return false;
        }
        for (int pos = pmdb::DBHEADER; pos + 6 <= len;) {
            int n = (int16_t)get16(p + pos + 4);
            if (n < 1 || pos + 6 + n > len) break;
            if (get32(p + pos) == rid) return unpack(p + pos + 6, n, out, why);
            pos += 6 + n;
        }
        *why = "block " + std::to_string(b) + " does not hold it";
        return false;
    }
    static bool unpack(const uint8_t *form, int n, std::string *out, std::string *why) {
        std::vector<uint8_t> buf(32767);
        int16_t got = pmdb::uncompress(buf.data(), buf.size(), form, (int16_t)n);
        if (got < 0) {
            *why = "its stored form does not unpack";
            return false;
        }
        out->assign((const char *)buf.data(), (size_t)got);
        return true;
    }

    void records();
    void keys(std::vector<Key> *out);
};

void Salvage::records() {
    for (uint64_t m = 0;; m++) {
        uint64_t xb = m * im.freq + 1;
        if (xb > last) break;
        const uint8_t *x = im.block((uint32_t)xb);
        for (int j = 0; j < 256; j++) {
            uint32_t v = get32(x + 4 * j);
            if ((v >> 28) == 0) continue;
            uint32_t rid = (v & 0xf0000000) | (uint32_t)(m * 256 + (uint64_t)j);
            std::string rec, why;
            if (readrec(v & 0x0fffffff, rid, &rec, &why))
                recs[rid] = rec;
            else
                skip("record " + ridtext(rid) + ": " + why);
        }
    }
    // Entries that no slot names: the slot was damaged, the record was not.
    // A block that is neither a data nor a key block lost what it held.
    for (uint32_t b = 2; b <= last; b++) {
        int len;
        const uint8_t *p = datablock(b, &len);
        if (p == nullptr) {
            const uint8_t *k = im.block(b);
            int klen = (int16_t)get16(k + 4);
            if (!im.isxlate(b) && (k[8] != 1 || klen < pmdb::KBHEADER || klen > (int)pmdb::BLKSIZE))
                skip("block " + std::to_string(b) + ": neither a data block nor a key block (whatever it held)");
            continue;
        }
        for (int pos = pmdb::DBHEADER; pos + 6 <= len;) {
            int n = (int16_t)get16(p + pos + 4);
            if (n < 1 || pos + 6 + n > len) {
                skip("block " + std::to_string(b) + ": record entries from offset " + std::to_string(pos));
                break;
            }
            uint32_t rid = get32(p + pos);
            uint32_t v;
            bool named = slotvalue(im, last, rid & 0x0fffffff, &v) && v == ((rid & 0xf0000000) | b);
            if (!named && (rid >> 28) != 0 && recs.count(rid) == 0) {
                std::string rec, why;
                if (unpack(p + pos + 6, n, &rec, &why)) {
                    recs[rid] = rec;
                    toolwarning(c, path, "record " + ridtext(rid) + " found in block " + std::to_string(b) +
                                             ", which its slot does not name: written");
                } else {
                    skip("record " + ridtext(rid) + " in block " + std::to_string(b) + ": " + why);
                }
            }
            pos += 6 + n;
        }
    }
}

void Salvage::keys(std::vector<Key> *out) {
    std::set<std::pair<int, int>> unreadable;
    for (uint32_t b = 2; b <= last; b++) {
        if (im.isxlate(b)) continue;
        const uint8_t *p = im.block(b);
        int len = (int16_t)get16(p + 4);
        if (p[8] != 1 || p[9] != 0 || len < pmdb::KBHEADER || len > (int)pmdb::BLKSIZE) continue;
        for (int pos = pmdb::KBHEADER; pos < len;) {
            int kl = (int16_t)get16(p + pos);
            if (kl < 1 || kl > 196 || pos + 6 + kl > len) {
                skip("block " + std::to_string(b) + ": key entries from offset " + std::to_string(pos));
                break;
            }
            const uint8_t *img = p + pos + 2;
            Key k{img[0], std::string((const char *)img + 1, (size_t)kl - 1), get32(img + kl)};
            pos += 6 + kl;
            int n = k.fid >> 4, sk = k.fid & 15;
            int t = n == 0 ? -1 : schema.f[n - 1].sub[sk].keytype;
            int w = keytypewidth(t);
            std::string what = "block " + std::to_string(b) + ": key " + std::to_string(n) + "." + std::to_string(sk) +
                               " rid " + ridtext(k.rid);
            if (n == 0 || keytypename(t) == nullptr) {
                if (unreadable.insert({n, sk}).second)
                    skip("block " + std::to_string(b) + ": keys of subkey " + std::to_string(n) + "." +
                         std::to_string(sk) + ", whose key type no key call reads (and any more of them)");
                continue;
            }
            if (w != 0 && !k.value.empty() && (int)k.value.size() != w) {
                skip(what + ": a value of " + std::to_string(k.value.size()) + " bytes for a " + keytypename(t) + " key");
                continue;
            }
            std::string e, back;
            std::string text = formatkeyvalue(t, (const uint8_t *)k.value.data(), (int)k.value.size());
            if (!parsekeyvalue(t, text, &back, &e)) {
                skip(what + ": value " + text + " has no place in the key order");
                continue;
            }
            out->push_back(k);
        }
    }
    auto dupof = [&](uint8_t fid) { return schema.f[(fid >> 4) - 1].sub[fid & 15].dup; };
    auto typeoffid = [&](uint8_t fid) { return schema.f[(fid >> 4) - 1].sub[fid & 15].keytype; };
    std::sort(out->begin(), out->end(), [&](const Key &a, const Key &b) {
        if (a.fid != b.fid) return a.fid < b.fid;
        int r = comparevalues(typeoffid(a.fid), a.value, b.value);
        if (r != 0) return r < 0;
        return a.rid < b.rid;
    });
    // Each key once; in a unique subkey each value once, as load demands.
    std::vector<Key> kept;
    for (const Key &k : *out) {
        if (!kept.empty() && kept.back().fid == k.fid && comparevalues(typeoffid(k.fid), kept.back().value, k.value) == 0 &&
            (!dupof(k.fid) || kept.back().rid == k.rid)) {
            if (kept.back().rid != k.rid)
                skip("key " + std::to_string(k.fid >> 4) + "." + std::to_string(k.fid & 15) + " rid " + ridtext(k.rid) +
                     ": its value is already held by rid " + ridtext(kept.back().rid) + " in a unique subkey");
            continue;
        }
        kept.push_back(k);
    }
    out->swap(kept);
}

}  // namespace

int salvagedump(Ctx &c, const std::string &path, bool jsonl) {
    Image im;
    std::string why;
    if (loadimage(path, &im, &why) != IMAGE_OK) {
        toolerror(c, path, why);
        return EXIT_USAGE;
    }
    Salvage sv{c, path, im, Schema(), 0, 0, {}};
    schemafromfscb(im.cb, &sv.schema);
    sv.last = std::min<uint32_t>(im.cb.lb, im.nblocks - 1);
    if (im.freq < 2) {
        toolerror(c, path, "the translation-block spacing is below 2: no record can be found");
        return EXIT_FAIL;
    }
    Controls cv;
    cv.counter = (uint32_t)im.cb.cannumber[1] << 16 | im.cb.cannumber[0];
    cv.businessdate = im.cb.businessdate;
    cv.appstat = im.cb.appstat ? 1 : 0;
    sv.records();
    std::vector<Key> keys;
    sv.keys(&keys);

    DumpOut out(c.out, jsonl);
    out.header();
    out.schema(sv.schema);
    out.controls(cv);
    // A rid's file is its top four bits: rid order is file, then rid.
    for (auto &r : sv.recs) out.record((int)(r.first >> 28), r.first, (const uint8_t *)r.second.data(), r.second.size());
    for (const Key &k : keys)
        out.key(k.fid >> 4, k.fid & 15, sv.schema.f[(k.fid >> 4) - 1].sub[k.fid & 15].keytype, k.rid, k.value);
    out.end();
    if (sv.skipped > 0) {
        toolerror(c, path,
                  std::to_string(sv.skipped) + " item" + (sv.skipped == 1 ? "" : "s") +
                      " could not be read and are not in the dump");
        return EXIT_FAIL;
    }
    return out.failed() ? EXIT_FAIL : EXIT_OK;
}

}  // namespace pmdbtool
