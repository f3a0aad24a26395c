// lookup.cc - `get` and `scan`: keys from the shell, each printed with its
// record, one line per key:
//   FILE.SUBKEY VALUE RID RECORD
// VALUE as keyvalue.h writes it, RID as 8 hex digits, RECORD as a quoted
// string with escapes (or hex with --hex), "(no record)" when the key's rid
// names none.
#include <string.h>

#include <vector>

#include "keyvalue.h"
#include "keywalk.h"
#include "pmdbtool.h"
#include "schema.h"

namespace pmdbtool {

namespace {

struct Lookup {
    Db db;
    uint8_t fid = 0;
    int keytype = 0;
    bool hex = false;
    std::vector<uint8_t> rec = std::vector<uint8_t>(65536);
};

// Opens the file and reads FILE.SUBKEY; an exit status, EXIT_OK to go on.
int setup(Ctx &c, const char *cmd, const Args &a, Lookup *l) {
    l->hex = a.has("hex");
    if (!l->db.open(c, a.pos[0], true)) return EXIT_USAGE;
    int n, k;
    std::string error;
    if (!resolvesubkey(l->db, a.pos[1], &n, &k, &error)) return usage(c, cmd, error);
    l->fid = (uint8_t)(n << 4 | k);
    l->keytype = subkeytype(l->db, l->fid);
    if (l->keytype < 0) {
        toolerror(c, a.pos[0], "subkey " + a.pos[1] + " has a key type that no key call accepts");
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

void printkey(Ctx &c, Lookup &l, const Found &f) {
    std::string id = std::to_string(l.fid >> 4) + "." + std::to_string(l.fid & 15);
    std::string value = formatkeyvalue(l.keytype, (const uint8_t *)f.value.data(), (int)f.value.size());
    char rid[16];
    snprintf(rid, sizeof rid, "%08x", f.rid);
    clearliberrors();
    short len = fsread(l.db.inst(), l.db.fs(), f.rid, l.rec.data());
    std::string record;
    if (len == 0 && liberrorsince())
        record = "(no record)";
    else if (l.hex)
        record = len > 0 ? hexbytes(l.rec.data(), (size_t)len) : "-";
    else
        record = quotebytes(l.rec.data(), (size_t)len);
    fprintf(c.out, "%s %s %s %s\n", id.c_str(), value.c_str(), rid, record.c_str());
}

int failed(Ctx &c, const Lookup &l) {
    liberror(c, l.db.path(), "the key search failed");
    return EXIT_FAIL;
}

}  // namespace

int cmdget(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "get", argc, argv, {"hex"}, {}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 3) return usage(c, "get", "expected FILE SUBKEY VALUE");
    Lookup l;
    int rc = setup(c, "get", a, &l);
    if (rc != EXIT_OK) return rc;
    std::string value, error;
    if (!parsekeyvalue(l.keytype, a.pos[2], &value, &error)) return usage(c, "get", error);
    if (value.empty()) return usage(c, "get", "the empty value matches every key; use scan");
    clearliberrors();
    Found f;
    int r = keyfind(l.db, l.fid, value, &f);
    if (r < 0) return failed(c, l);
    uint64_t found = 0;
    while (r == 1 && samevalue(l.keytype, f.value, value)) {
        printkey(c, l, f);
        found++;
        Found next;
        clearliberrors();
        r = keynext(l.db, l.fid, f, &next);
        if (r < 0) return failed(c, l);
        f = next;
    }
    if (found == 0) {
        toolerror(c, a.pos[0],
                  "no key " + a.pos[1] + " of value " +
                      formatkeyvalue(l.keytype, (const uint8_t *)value.data(), (int)value.size()));
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

int cmdscan(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "scan", argc, argv, {"reverse", "hex", "count"}, {"from", "to", "prefix", "limit"}, &a))
        return EXIT_USAGE;
    if (a.pos.size() != 2) return usage(c, "scan", "expected FILE SUBKEY");
    uint64_t limit = UINT64_MAX;
    if (a.has("limit") && !parseuint(a.get("limit"), UINT64_MAX, &limit))
        return usage(c, "scan", "--limit takes a number");
    if (a.has("prefix") && a.has("from")) return usage(c, "scan", "--prefix starts where it starts: no --from with it");
    Lookup l;
    int rc = setup(c, "scan", a, &l);
    if (rc != EXIT_OK) return rc;
    std::string from, to, prefix, error;
    bool hasfrom = a.has("from"), hasto = a.has("to"), hasprefix = a.has("prefix");
    bool reverse = a.has("reverse"), count = a.has("count");
    if (hasfrom && !parsekeyvalue(l.keytype, a.get("from"), &from, &error)) return usage(c, "scan", error);
    if (hasto && !parsekeyvalue(l.keytype, a.get("to"), &to, &error)) return usage(c, "scan", error);
    if (hasprefix) {
        if (keytypewidth(l.keytype) != 0) return usage(c, "scan", "--prefix is for char subkeys; use --from and --to");
        if (!parsekeyvalue(l.keytype, a.get("prefix"), &prefix, &error)) return usage(c, "scan", error);
        // The keys with the prefix lie from the prefix itself up to the
        // prefix followed by the greatest bytes.
        hasfrom = !prefix.empty();
        from = reverse ? prefix + std::string(195 - prefix.size(), '\xff') : prefix;
    }

    clearliberrors();
    Found f;
    int r;
    if (!reverse) {
        if (!hasfrom || from.empty()) {
            r = keyfirst(l.db, l.fid, &f);
        } else {
            // The first key not below the value: the value itself, or the
            // first that follows where it would stand.
            r = keyfind(l.db, l.fid, from, &f);
            if (r == 0) {
                Found before;
                before.rid = 0;
                before.value = from;
                r = keynext(l.db, l.fid, before, &f);
            }
        }
    } else {
        // The last key not above the value (the greatest value of the type
        // when none is given): past the keys equal to it, then backwards.
        std::string top = hasfrom ? from : maxvalue(l.keytype);
        r = hasfrom && from.empty() ? 0 : keyfind(l.db, l.fid, top, &f);
        if (r == 0 && !(hasfrom && from.empty())) r = keylast(l.db, l.fid, top, &f);
        if (r == 0 && !hasfrom) r = keyfirst(l.db, l.fid, &f);
        while (r == 1 && (!hasfrom || samevalue(l.keytype, f.value, top))) {
            Found next;
            int rn = keynext(l.db, l.fid, f, &next);
            if (rn < 0) return failed(c, l);
            if (rn == 0 || (hasfrom && !samevalue(l.keytype, next.value, top))) break;
            f = next;
        }
        if (hasfrom && from.empty()) {
            // Only keys of the empty value are not above it.
            r = keyfirst(l.db, l.fid, &f);
            if (r == 1 && !f.value.empty()) r = 0;
            while (r == 1) {
                Found next;
                int rn = keynext(l.db, l.fid, f, &next);
                if (rn < 0) return failed(c, l);
                if (rn == 0 || !next.value.empty()) break;
                f = next;
            }
        }
    }
    uint64_t n = 0;
    while (r == 1 && n < limit) {
        if (hasto && comparevalues(l.keytype, f.value, to) * (reverse ? -1 : 1) > 0) break;
        if (hasprefix && f.value.compare(0, prefix.size(), prefix) != 0) break;
        if (!count) printkey(c, l, f);
        n++;
        Found next;
        clearliberrors();
        r = reverse ? keyprev(l.db, l.fid, f, &next) : keynext(l.db, l.fid, f, &next);
        f = next;
    }
    if (r < 0) return failed(c, l);
    if (count) fprintf(c.out, "%llu\n", (unsigned long long)n);
    return EXIT_OK;
}

}  // namespace pmdbtool
