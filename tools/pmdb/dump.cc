// dump.cc - `dump` and `load`: a database as lines of text and back.
//
// Text format (one item per line, in this order; see docs/tool.md):
//   pmdb-dump 1
//   schema LINE                   each line of the schema (schema.h)
//   rec N RID HEX                 a record of file N: rid as 8 hex digits,
//                                 its bytes in hex ("-" when empty)
//   key N.S RID VALUE             a key: subkey, rid, value (keyvalue.h)
//   end RECORDS KEYS              the counts, so a cut dump is told
// Records come file by file in rid order, keys subkey by subkey in key
// order, so two dumps of equal databases are equal and diff line by line.
// The jsonl format carries the same items as one JSON object per line.
#include <ctype.h>
#include <errno.h>
#include <string.h>

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "fss/fsdata.h"
#include "image.h"
#include "keyvalue.h"
#include "keywalk.h"
#include "pmdbtool.h"
#include "schema.h"

namespace pmdbtool {

namespace {

constexpr int RECBUF = 65536;  // more than the longest record, 32767 bytes

std::string hex8(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// The value of a key as a JSON value: numbers as numbers (when finite),
// everything else as a string.
std::string jsonkeyvalue(int t, const std::string &v) {
    if (keytypewidth(t) == 0 || v.empty()) return jsonbytes(v);
    std::string text = formatkeyvalue(t, (const uint8_t *)v.data(), (int)v.size());
    if (text.find_first_not_of("0123456789+-.eE") != std::string::npos) return "\"" + text + "\"";
    return text;
}

// ---- dump ----------------------------------------------------------------

// keycounts: a survey of the file, for the keys no call can walk; may be
// null.
int dumpdb(Ctx &c, const Db &db, bool jsonl, const Survey *keycounts) {
    FILE *o = c.out;
    const pmdb::FSCB &cb = pmdb::getfsdata(db.fs())->fscb;
    Schema s;
    if (!readschema(db, &s)) {
        liberror(c, "dump: cannot read the schema");
        return EXIT_FAIL;
    }
    s.xblkfreq = cb.xblkfreq == 0 ? pmdb::DEFAULTXBLKFREQ : cb.xblkfreq;
    if (jsonl) {
        fprintf(o, "{\"type\":\"header\",\"format\":\"pmdb-dump\",\"version\":1}\n");
        fprintf(o, "{\"type\":\"xblkfreq\",\"value\":%d}\n", s.xblkfreq);
        for (int n = 1; n <= pmdb::NUMFILES; n++) {
            const FileDef &f = s.f[n - 1];
            if (f.declared)
                fprintf(o, "{\"type\":\"file\",\"file\":%d,\"name\":%s,\"rlen\":%d}\n", n,
                        jsonbytes(f.name).c_str(), f.rlen);
            for (int k = 0; k < pmdb::NUMSUBKEYS; k++)
                if (f.sub[k].declared && keytypename(f.sub[k].keytype))
                    fprintf(o, "{\"type\":\"subkey\",\"file\":%d,\"subkey\":%d,\"keytype\":\"%s\",\"dup\":%s}\n", n,
                            k, keytypename(f.sub[k].keytype), f.sub[k].dup ? "true" : "false");
        }
    } else {
        fprintf(o, "pmdb-dump 1\n");
        std::istringstream lines(formatschema(s));
        std::string line;
        while (std::getline(lines, line))
            if (!line.empty() && line[0] != '#') fprintf(o, "schema %s\n", line.c_str());
    }

    std::vector<uint8_t> rec(RECBUF);
    uint64_t records = 0, keys = 0;
    // No walk can visit more records than there are slots.
    uint64_t bound = ((uint64_t)cb.lb + 1) * 256;
    Progress progress(c, "dump", 0);
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        clearliberrors();
        uint64_t steps = 0;
        for (uint32_t rid = fsfirst(db.inst(), db.fs(), (uint8_t)(n << 4)); rid != 0;
             rid = fsnext(db.inst(), db.fs(), rid)) {
            if (++steps > bound) {
                toolerror(c, "dump: the records of file " + std::to_string(n) + " do not end");
                return EXIT_FAIL;
            }
            clearliberrors();
            short len = fsread(db.inst(), db.fs(), rid, rec.data());
            if (len == 0 && liberrorsince()) {
                liberror(c, "dump: cannot read record " + hex8(rid));
                return EXIT_FAIL;
            }
            std::string hex = len > 0 ? hexbytes(rec.data(), (size_t)len) : "";
            if (jsonl)
                fprintf(o, "{\"type\":\"record\",\"file\":%d,\"rid\":%u,\"hex\":\"%s\"}\n", n, rid, hex.c_str());
            else
                fprintf(o, "rec %d %s %s\n", n, hex8(rid).c_str(), hex.empty() ? "-" : hex.c_str());
            records++;
            progress.step(records);
            clearliberrors();
        }
        if (liberrorsince()) {
            liberror(c, "dump: the walk of file " + std::to_string(n) + " failed");
            return EXIT_FAIL;
        }
    }
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            uint8_t fid = (uint8_t)(n << 4 | k);
            int t = subkeytype(db, fid);
            if (t < 0) {
                // No key call reads such a subkey: say so if it holds keys,
                // rather than leave them out silently.
                if (keycounts != nullptr && keycounts->keys[n - 1][k] > 0)
                    fprintf(c.err,
                            "pmdb: dump: warning: subkey %d.%d holds %u keys, but its key type %d is none "
                            "that the key calls read; they are not in the dump\n",
                            n, k, keycounts->keys[n - 1][k], cb.f[n - 1].keytype[k]);
                continue;
            }
            clearliberrors();
            Found cur;
            int r = keyfirst(db, fid, &cur);
            uint64_t steps = 0;
            while (r == 1) {
                // A key block holds at most 144 entries (7 bytes or more each),
                // so a walk that goes on longer runs round a damaged tree.
                if (++steps > ((uint64_t)cb.lb + 1) * 144) {
                    toolerror(c, "dump: the keys of subkey " + std::to_string(n) + "." + std::to_string(k) +
                                     " do not end");
                    return EXIT_FAIL;
                }
                if (jsonl)
                    fprintf(o, "{\"type\":\"key\",\"file\":%d,\"subkey\":%d,\"rid\":%u,\"value\":%s}\n", n, k,
                            cur.rid, jsonkeyvalue(t, cur.value).c_str());
                else
                    fprintf(o, "key %d.%d %s %s\n", n, k, hex8(cur.rid).c_str(),
                            formatkeyvalue(t, (const uint8_t *)cur.value.data(), (int)cur.value.size()).c_str());
                keys++;
                Found next;
                r = keynext(db, fid, cur, &next);
                cur = next;
            }
            if (r < 0) {
                liberror(c, "dump: the walk of subkey " + std::to_string(n) + "." + std::to_string(k) + " failed");
                return EXIT_FAIL;
            }
        }
    }
    if (jsonl)
        fprintf(o, "{\"type\":\"end\",\"records\":%llu,\"keys\":%llu}\n", (unsigned long long)records,
                (unsigned long long)keys);
    else
        fprintf(o, "end %llu %llu\n", (unsigned long long)records, (unsigned long long)keys);
    return ferror(o) ? EXIT_FAIL : EXIT_OK;
}

// ---- a small reader of flat JSON objects -----------------------------------

struct JValue {
    bool isstring = false;
    std::string text;  // the decoded string, or the literal as written
};

bool jsonobject(const std::string &line, std::map<std::string, JValue> *obj) {
    size_t i = 0;
    auto ws = [&] {
        while (i < line.size() && isspace((unsigned char)line[i])) i++;
    };
    auto str = [&](std::string *out) {
        if (i >= line.size() || line[i] != '"') return false;
        out->clear();
        for (i++; i < line.size(); i++) {
            char ch = line[i];
            if (ch == '"') {
                i++;
                return true;
            }
            if (ch != '\\') {
                *out += ch;
                continue;
            }
            if (++i >= line.size()) return false;
            char e = line[i];
            switch (e) {
            case '"': case '\\': case '/': *out += e; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                if (i + 4 >= line.size()) return false;
                std::string h = line.substr(i + 1, 4);
                if (h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
                long cp = strtol(h.c_str(), nullptr, 16);
                if (cp > 0xff) return false;  // dumps carry bytes only
                *out += (char)cp;
                i += 4;
                break;
            }
            default: return false;
            }
        }
        return false;
    };
    ws();
    if (i >= line.size() || line[i++] != '{') return false;
    ws();
    if (i < line.size() && line[i] == '}') return true;
    for (;;) {
        ws();
        std::string key;
        if (!str(&key)) return false;
        ws();
        if (i >= line.size() || line[i++] != ':') return false;
        ws();
        JValue v;
        if (i < line.size() && line[i] == '"') {
            v.isstring = true;
            if (!str(&v.text)) return false;
        } else {
            size_t st = i;
            while (i < line.size() && line[i] != ',' && line[i] != '}' && !isspace((unsigned char)line[i])) i++;
            v.text = line.substr(st, i - st);
            if (v.text.empty()) return false;
        }
        (*obj)[key] = v;
        ws();
        if (i >= line.size()) return false;
        if (line[i] == ',') {
            i++;
            continue;
        }
        if (line[i++] != '}') return false;
        ws();
        return i == line.size();
    }
}

// ---- load ----------------------------------------------------------------

struct DumpRec {
    int file;
    uint32_t rid;
    std::string bytes;
};

struct DumpKey {
    int file, subkey;
    uint32_t rid;
    std::string valuetext;  // as written; read by the subkey's type
    bool jsonstring = false;
    int lineno;
};

struct Dump {
    Schema schema;
    std::vector<DumpRec> recs;
    std::vector<DumpKey> keys;
    bool ended = false;
    uint64_t endrecs = 0, endkeys = 0;
};

bool parsetext(const std::vector<std::string> &lines, Dump *d, std::string *error) {
    auto bad = [&](size_t ln, const std::string &what) {
        *error = "line " + std::to_string(ln + 1) + ": " + what;
        return false;
    };
    if (lines.empty() || lines[0] != "pmdb-dump 1") return bad(0, "not a dump (expected \"pmdb-dump 1\")");
    for (size_t ln = 1; ln < lines.size(); ln++) {
        const std::string &l = lines[ln];
        if (l.empty()) continue;
        if (d->ended) return bad(ln, "text after the end line");
        size_t sp = l.find(' ');
        std::string word = l.substr(0, sp);
        std::string rest = sp == std::string::npos ? "" : l.substr(sp + 1);
        if (word == "schema") {
            if (!d->recs.empty() || !d->keys.empty()) return bad(ln, "schema line after the data");
            std::string e;
            if (!parseschemaline(rest, (int)ln + 1, &d->schema, &e)) {
                *error = e;
                return false;
            }
        } else if (word == "rec") {
            std::istringstream in(rest);
            std::string n, rid, hex, extra;
            in >> n >> rid >> hex;
            uint64_t file, r;
            if (!parseuint(n, pmdb::NUMFILES, &file) || file == 0 || !parseuint("0x" + rid, UINT32_MAX, &r) ||
                hex.empty() || (in >> extra))
                return bad(ln, "a record line is: rec FILE RID HEX");
            if ((r >> 28) != file) return bad(ln, "the rid does not belong to file " + n);
            DumpRec rec{(int)file, (uint32_t)r, ""};
            if (hex != "-" && !unhex(hex, &rec.bytes)) return bad(ln, "malformed hex bytes");
            if (rec.bytes.size() > 32767) return bad(ln, "a record holds at most 32767 bytes");
            d->recs.push_back(rec);
        } else if (word == "key") {
            size_t a = rest.find(' '), b = a == std::string::npos ? a : rest.find(' ', a + 1);
            int file, subkey;
            uint64_t r;
            if (b == std::string::npos || !parsefilesubkey(rest.substr(0, a), &file, &subkey) ||
                !parseuint("0x" + rest.substr(a + 1, b - a - 1), UINT32_MAX, &r))
                return bad(ln, "a key line is: key FILE.SUBKEY RID VALUE");
            d->keys.push_back(DumpKey{file, subkey, (uint32_t)r, rest.substr(b + 1), false, (int)ln + 1});
        } else if (word == "end") {
            std::istringstream in(rest);
            std::string a, b;
            in >> a >> b;
            if (!parseuint(a, UINT64_MAX, &d->endrecs) || !parseuint(b, UINT64_MAX, &d->endkeys))
                return bad(ln, "the end line is: end RECORDS KEYS");
            d->ended = true;
        } else {
            return bad(ln, "unknown line '" + word + "'");
        }
    }
    return true;
}

bool parsejsonl(const std::vector<std::string> &lines, Dump *d, std::string *error) {
    auto bad = [&](size_t ln, const std::string &what) {
        *error = "line " + std::to_string(ln + 1) + ": " + what;
        return false;
    };
    for (size_t ln = 0; ln < lines.size(); ln++) {
        if (lines[ln].find_first_not_of(" \t\r") == std::string::npos) continue;
        std::map<std::string, JValue> o;
        if (!jsonobject(lines[ln], &o)) return bad(ln, "not a JSON object");
        if (d->ended) return bad(ln, "text after the end line");
        auto num = [&](const char *k, uint64_t max, uint64_t *v) {
            auto it = o.find(k);
            return it != o.end() && !it->second.isstring && parseuint(it->second.text, max, v);
        };
        auto text = [&](const char *k, std::string *v) {
            auto it = o.find(k);
            if (it == o.end() || !it->second.isstring) return false;
            *v = it->second.text;
            return true;
        };
        std::string type;
        if (!text("type", &type)) return bad(ln, "no \"type\"");
        uint64_t file = 0, subkey = 0, rid = 0, v = 0;
        std::string s;
        if (type == "header") {
            if (ln != 0 || !text("format", &s) || s != "pmdb-dump" || !num("version", 1, &v) || v != 1)
                return bad(ln, "not a pmdb-dump version 1 header");
        } else if (ln == 0) {
            return bad(ln, "not a dump (expected a header)");
        } else if (type == "xblkfreq") {
            if (!num("value", 32767, &v) || v < 2) return bad(ln, "xblkfreq takes a number from 2 to 32767");
            d->schema.xblkfreq = (int)v;
        } else if (type == "file") {
            std::string name;
            if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !text("name", &name) ||
                !num("rlen", 32767, &v) || name.size() > 15)
                return bad(ln, "a file needs file (1..15), name (at most 15 bytes) and rlen");
            FileDef &f = d->schema.f[file - 1];
            f.declared = true;
            f.name = name;
            f.rlen = (int)v;
        } else if (type == "subkey") {
            auto dup = o.find("dup");
            if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !num("subkey", 15, &subkey) ||
                !text("keytype", &s) || keytypebyname(s) < 0 || dup == o.end() ||
                (dup->second.text != "true" && dup->second.text != "false") || dup->second.isstring)
                return bad(ln, "a subkey needs file, subkey, keytype and dup");
            SubkeyDef &k = d->schema.f[file - 1].sub[subkey];
            k.declared = true;
            k.keytype = keytypebyname(s);
            k.dup = dup->second.text == "true";
        } else if (type == "record") {
            if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !num("rid", UINT32_MAX, &rid) ||
                (rid >> 28) != file || !text("hex", &s))
                return bad(ln, "a record needs file, a rid of that file and hex");
            DumpRec rec{(int)file, (uint32_t)rid, ""};
            if (!unhex(s, &rec.bytes) || rec.bytes.size() > 32767) return bad(ln, "malformed hex bytes");
            d->recs.push_back(rec);
        } else if (type == "key") {
            auto val = o.find("value");
            if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !num("subkey", 15, &subkey) ||
                !num("rid", UINT32_MAX, &rid) || val == o.end())
                return bad(ln, "a key needs file, subkey, rid and value");
            d->keys.push_back(DumpKey{(int)file, (int)subkey, (uint32_t)rid, val->second.text, val->second.isstring,
                                      (int)ln + 1});
        } else if (type == "end") {
            if (!num("records", UINT64_MAX, &d->endrecs) || !num("keys", UINT64_MAX, &d->endkeys))
                return bad(ln, "the end needs records and keys");
            d->ended = true;
        } else {
            return bad(ln, "unknown type \"" + type + "\"");
        }
    }
    if (lines.empty()) return bad(0, "empty input");
    return true;
}

int loaddump(Ctx &c, const std::string &path, const Dump &d, bool force) {
    // Every key value is read before anything is made.
    std::vector<std::string> values(d.keys.size());
    for (size_t i = 0; i < d.keys.size(); i++) {
        const DumpKey &k = d.keys[i];
        const SubkeyDef &sk = d.schema.f[k.file - 1].sub[k.subkey];
        int t = sk.declared ? sk.keytype : 0;
        std::string e;
        bool ok;
        if (k.jsonstring && keytypewidth(t) == 0)
            values[i] = k.valuetext, ok = values[i].size() <= 195;
        else if (k.jsonstring)
            ok = k.valuetext.empty() || parsekeyvalue(t, k.valuetext, &values[i], &e);
        else
            ok = parsekeyvalue(t, k.valuetext, &values[i], &e);
        if (!ok) {
            toolerror(c, "load: line " + std::to_string(k.lineno) + ": " + (e.empty() ? "bad key value" : e));
            return EXIT_USAGE;
        }
    }
    int rc = createdatabase(c, path, d.schema, force);
    if (rc != EXIT_OK) return rc;
    Db db;
    if (!db.open(c, path, false)) return EXIT_FAIL;
    std::map<uint32_t, uint32_t> newrid;
    Progress progress(c, "load", d.recs.size() + d.keys.size());
    uint64_t done = 0;
    // Commit every few thousand changes, so that a long load holds little
    // in the cache and a failure leaves what was loaded before it.
    auto commit = [&]() {
        clearliberrors();
        if (!fsunlock(db.inst(), db.fs())) {
            liberror(c, "load: cannot commit to " + path);
            return false;
        }
        fslock(db.inst(), db.fs(), nullptr);
        return true;
    };
    fslock(db.inst(), db.fs(), nullptr);
    for (const DumpRec &r : d.recs) {
        if (newrid.count(r.rid)) {
            toolerror(c, "load: record " + hex8(r.rid) + " appears twice in the dump");
            return EXIT_FAIL;
        }
        clearliberrors();
        uint32_t rid = fsadd(db.inst(), db.fs(), r.bytes.data(), (short)r.bytes.size(), (uint8_t)(r.file << 4));
        if (rid == 0) {
            liberror(c, "load: cannot add record " + hex8(r.rid));
            return EXIT_FAIL;
        }
        newrid[r.rid] = rid;
        if (++done % 4000 == 0 && !commit()) return EXIT_FAIL;
        progress.step(done);
    }
    uint64_t dropped = 0;
    for (size_t i = 0; i < d.keys.size(); i++) {
        const DumpKey &k = d.keys[i];
        auto it = newrid.find(k.rid);
        if (it == newrid.end()) {
            if (dropped++ < 10)
                fprintf(c.err, "pmdb: load: warning: line %d: key %d.%d names rid %s, which is no record of the dump; dropped\n",
                        k.lineno, k.file, k.subkey, hex8(k.rid).c_str());
            continue;
        }
        clearliberrors();
        uint8_t fid = (uint8_t)(k.file << 4 | k.subkey);
        if (!fsaddkey(db.inst(), db.fs(), fid, it->second, (short)values[i].size(), values[i].data())) {
            liberror(c, "load: line " + std::to_string(k.lineno) + ": cannot add key " + std::to_string(k.file) +
                            "." + std::to_string(k.subkey));
            return EXIT_FAIL;
        }
        if (++done % 4000 == 0 && !commit()) return EXIT_FAIL;
        progress.step(done);
    }
    progress.done();
    if (dropped > 10) fprintf(c.err, "pmdb: load: warning: %llu keys dropped in all\n", (unsigned long long)dropped);
    clearliberrors();
    if (!fsunlock(db.inst(), db.fs())) {
        liberror(c, "load: cannot commit to " + path);
        return EXIT_FAIL;
    }
    db.close();
    fprintf(c.out, "%s: %zu records, %llu keys loaded\n", path.c_str(), d.recs.size(),
            (unsigned long long)(d.keys.size() - dropped));
    return EXIT_OK;
}

}  // namespace

int cmddump(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "dump", argc, argv, {}, {"format"}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1) return usage(c, "dump", "expected one FILE");
    std::string format = a.get("format", "text");
    if (format != "text" && format != "jsonl") return usage(c, "dump", "--format is text or jsonl");
    Db db;
    if (!db.open(c, a.pos[0], true)) return EXIT_USAGE;
    Image im;
    Survey s;
    std::string why;
    bool surveyed = loadimage(a.pos[0], &im, &why) == IMAGE_OK;
    if (surveyed) survey(im, &s, false);
    return dumpdb(c, db, format == "jsonl", surveyed ? &s : nullptr);
}

int cmdload(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "load", argc, argv, {"force"}, {}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1 && a.pos.size() != 2) return usage(c, "load", "expected FILE and at most one DUMP");
    std::vector<std::string> lines;
    {
        std::ifstream file;
        std::istream *in = &std::cin;
        if (a.pos.size() == 2 && a.pos[1] != "-") {
            file.open(a.pos[1], std::ios::binary);
            if (!file) {
                toolerror(c, "load: cannot read " + a.pos[1] + ": " + strerror(errno));
                return EXIT_USAGE;
            }
            in = &file;
        }
        std::string line;
        while (std::getline(*in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    Dump d;
    std::string error;
    size_t first = 0;
    while (first < lines.size() && lines[first].empty()) first++;
    bool jsonl = first < lines.size() && lines[first][0] == '{';
    if (!(jsonl ? parsejsonl(lines, &d, &error) : parsetext(lines, &d, &error))) {
        toolerror(c, "load: " + error);
        return EXIT_USAGE;
    }
    if (!d.ended) {
        toolerror(c, "load: the dump has no end line: it is incomplete");
        return EXIT_FAIL;
    }
    if (d.endrecs != d.recs.size() || d.endkeys != d.keys.size()) {
        toolerror(c, "load: the dump's end line counts " + std::to_string(d.endrecs) + " records and " +
                         std::to_string(d.endkeys) + " keys, but it holds " + std::to_string(d.recs.size()) +
                         " and " + std::to_string(d.keys.size()));
        return EXIT_FAIL;
    }
    return loaddump(c, a.pos[0], d, a.has("force"));
}

}  // namespace pmdbtool
