// edit.cc - `put` and `delete`: one record and its keys from the command
// line, through the exported calls, under one lock. Everything that can be
// checked is checked before the first change; a failure after it takes
// back what the command had done, so the database is left as it was.
#include <string.h>

#include <vector>

#include "compress/compress.h"
#include "dumpformat.h"
#include "keyvalue.h"
#include "keywalk.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

struct KeyArg {
    uint8_t fid;
    int keytype;
    std::string value;
    std::string text() const {
        return std::to_string(fid >> 4) + "." + std::to_string(fid & 15) + " " +
               formatkeyvalue(keytype, (const uint8_t *)value.data(), (int)value.size());
    }
};

// "S=VALUE" for subkey S of logical file n; false with *error.
bool parsekeyarg(const Db &db, int n, const std::string &arg, KeyArg *k, std::string *error) {
    size_t eq = arg.find('=');
    uint64_t s;
    if (eq == std::string::npos || !parseuint(arg.substr(0, eq), 15, &s) ||
        arg.substr(0, eq).find_first_not_of("0123456789") != std::string::npos) {
        *error = "--key takes SUBKEY=VALUE, SUBKEY 0..15, not '" + arg + "'";
        return false;
    }
    k->fid = (uint8_t)(n << 4 | (int)s);
    k->keytype = subkeytype(db, k->fid);
    if (k->keytype < 0) {
        *error = "subkey " + std::to_string(n) + "." + std::to_string(s) + " has a key type that no key call accepts";
        return false;
    }
    return parsekeyvalue(k->keytype, arg.substr(eq + 1), &k->value, error);
}

// A rid in hexadecimal, as dump and scan print it (0x allowed).
bool parserid(const std::string &w, uint32_t *rid) {
    uint64_t v;
    std::string h = w.compare(0, 2, "0x") == 0 || w.compare(0, 2, "0X") == 0 ? w.substr(2) : w;
    if (h.empty() || h.size() > 8 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        !parseuint("0x" + h, UINT32_MAX, &v) || v == 0)
        return false;
    *rid = (uint32_t)v;
    return true;
}

// The key of (value, rid) in its subkey: 1 there, 0 not, -1 the search failed.
int haskey(const Db &db, const KeyArg &k, uint32_t rid) {
    Found f;
    int r = k.value.empty() ? keyfirst(db, k.fid, &f) : keyfind(db, k.fid, k.value, &f);
    while (r == 1 && samevalue(k.keytype, f.value, k.value)) {
        if (f.rid == rid) return 1;
        Found next;
        r = keynext(db, k.fid, f, &next);
        f = next;
    }
    return r < 0 ? -1 : 0;
}

bool commit(Ctx &c, const Db &db) {
    clearliberrors();
    if (fsunlock(db.inst(), db.fs())) return true;
    liberror(c, db.path(), "cannot commit");
    return false;
}

}  // namespace

int cmdput(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "put", argc, argv, {"hex"}, {"key", "rid"}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 3) return usage(c, "put", "expected FILE LOGICALFILE RECORD");
    Db db;
    if (!db.open(c, a.pos[0], false)) return EXIT_USAGE;
    std::string error, rec;
    int n = resolvefile(db, a.pos[1], &error);
    if (n == 0) return usage(c, "put", error);
    if (a.has("hex") ? !unhex(a.pos[2], &rec) : !unescape(a.pos[2], &rec))
        return usage(c, "put", a.has("hex") ? "RECORD is not hexadecimal bytes" : "RECORD has a malformed escape");
    uint8_t work[pmdb::MAXSTORED];
    if (rec.size() > 32767 || pmdb::compress(work, sizeof work, (const uint8_t *)rec.data(), (int16_t)rec.size()) == 0)
        return usage(c, "put", "the record (" + std::to_string(rec.size()) +
                                   " bytes) does not fit a block once packed (at most 1008 bytes stored)");
    uint32_t want = 0;
    if (a.has("rid")) {
        if (!parserid(a.get("rid"), &want)) return usage(c, "put", "--rid takes a rid in hexadecimal");
        if ((int)(want >> 28) != n) return usage(c, "put", "rid " + ridtext(want) + " is not of logical file " + std::to_string(n));
    }
    std::vector<KeyArg> keys;
    for (const std::string &arg : a.getall("key")) {
        KeyArg k;
        if (!parsekeyarg(db, n, arg, &k, &error)) return usage(c, "put", error);
        // A unique subkey refuses a value it holds already.
        int16_t dup = 1;
        fsgetsubkey(db.inst(), db.fs(), k.fid, nullptr, &dup);
        Found f;
        clearliberrors();
        if (!dup && !k.value.empty() && keyfind(db, k.fid, k.value, &f) == 1)
            return toolerror(c, a.pos[0], "duplicate value: key " + k.text() + " is held by rid " + ridtext(f.rid)), EXIT_FAIL;
        keys.push_back(k);
    }

    fslock(db.inst(), db.fs(), nullptr);
    clearliberrors();
    uint32_t rid = want;
    bool ok = want != 0 ? fsaddat(db.inst(), db.fs(), rec.data(), (short)rec.size(), want) != 0
                        : (rid = fsadd(db.inst(), db.fs(), rec.data(), (short)rec.size(), (uint8_t)(n << 4))) != 0;
    if (!ok) {
        liberror(c, a.pos[0], want != 0 ? "cannot place the record at rid " + ridtext(want) : "cannot add the record");
        return EXIT_FAIL;
    }
    for (size_t i = 0; i < keys.size(); i++) {
        const KeyArg &k = keys[i];
        clearliberrors();
        if (fsaddkey(db.inst(), db.fs(), k.fid, rid, (short)k.value.size(), k.value.data())) continue;
        liberror(c, a.pos[0], "cannot add key " + k.text() + "; the record and its keys are taken back");
        for (size_t j = 0; j < i; j++)
            fsdeletekey(db.inst(), db.fs(), keys[j].fid, rid, (short)keys[j].value.size(), keys[j].value.data());
        fsdelete(db.inst(), db.fs(), rid);
        commit(c, db);
        return EXIT_FAIL;
    }
    if (!commit(c, db)) return EXIT_FAIL;
    fprintf(c.out, "%s\n", ridtext(rid).c_str());
    return EXIT_OK;
}

int cmddelete(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "delete", argc, argv, {}, {"key"}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 2) return usage(c, "delete", "expected FILE RID");
    uint32_t rid;
    if (!parserid(a.pos[1], &rid)) return usage(c, "delete", "'" + a.pos[1] + "' is not a rid in hexadecimal");
    Db db;
    if (!db.open(c, a.pos[0], false)) return EXIT_USAGE;
    std::vector<uint8_t> buf(65536);
    clearliberrors();
    short len = fsread(db.inst(), db.fs(), rid, buf.data());
    if (len == 0 && liberrorsince()) return liberror(c, a.pos[0], "rid " + ridtext(rid) + " names no record"), EXIT_FAIL;
    int n = (int)(rid >> 28);
    std::string error;
    std::vector<KeyArg> keys;
    for (const std::string &arg : a.getall("key")) {
        KeyArg k;
        if (!parsekeyarg(db, n, arg, &k, &error)) return usage(c, "delete", error);
        clearliberrors();
        int r = haskey(db, k, rid);
        if (r < 0) return liberror(c, a.pos[0], "the key search failed"), EXIT_FAIL;
        if (r == 0) return toolerror(c, a.pos[0], "no key " + k.text() + " names rid " + ridtext(rid)), EXIT_FAIL;
        keys.push_back(k);
    }
    if (!a.has("key")) {
        // Every key of the record's file that names it.
        for (int s = 0; s < 16; s++) {
            KeyArg k;
            k.fid = (uint8_t)(n << 4 | s);
            k.keytype = subkeytype(db, k.fid);
            if (k.keytype < 0) continue;
            Found f;
            clearliberrors();
            int r = keyfirst(db, k.fid, &f);
            while (r == 1) {
                if (f.rid == rid) {
                    k.value = f.value;
                    keys.push_back(k);
                }
                Found next;
                r = keynext(db, k.fid, f, &next);
                f = next;
            }
            if (r < 0) return liberror(c, a.pos[0], "the key search failed"), EXIT_FAIL;
        }
    }

    fslock(db.inst(), db.fs(), nullptr);
    size_t done = 0;
    for (; done < keys.size(); done++) {
        const KeyArg &k = keys[done];
        clearliberrors();
        if (!fsdeletekey(db.inst(), db.fs(), k.fid, rid, (short)k.value.size(), k.value.data())) break;
    }
    clearliberrors();
    if (done < keys.size() || !fsdelete(db.inst(), db.fs(), rid)) {
        liberror(c, a.pos[0],
                 done < keys.size() ? "cannot delete key " + keys[done].text() + "; the keys deleted are put back"
                                    : "cannot delete record " + ridtext(rid) + "; its keys are put back");
        for (size_t j = 0; j < done; j++)
            fsaddkey(db.inst(), db.fs(), keys[j].fid, rid, (short)keys[j].value.size(), keys[j].value.data());
        commit(c, db);
        return EXIT_FAIL;
    }
    if (!commit(c, db)) return EXIT_FAIL;
    fprintf(c.out, "%s: deleted record %s and %zu key%s\n", a.pos[0].c_str(), ridtext(rid).c_str(), keys.size(),
            keys.size() == 1 ? "" : "s");
    return EXIT_OK;
}

}  // namespace pmdbtool
