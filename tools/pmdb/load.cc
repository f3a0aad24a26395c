// load.cc - the `load` command: a dump (dumpformat.h, text or jsonl)
// streamed into a new database that gives every record its rid back.
//
// Two steps per line: the Checker reads and checks it (everything that can
// be known without the database: the syntax, each key value by its type,
// each record's stored size after packing, rids repeated or of the wrong
// file, equal neighbours in a subkey that refuses them, the counts of the
// end line), then the Restore writes it through the exported calls
// (fsaddat, fsaddkey, the schema and control-value setters). A dump in a
// file is read twice, checked whole before the first write; standard input
// is read once, each line checked before it is written. Either way the
// database is a NewDb, renamed into place only when complete, and memory
// stays bounded whatever the size of the dump: a line at a time, a bit per
// rid, and the last key of each subkey.
#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "compress/compress.h"
#include "dumpformat.h"
#include "keyvalue.h"
#include "keywalk.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

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

// ---- reading lines -------------------------------------------------------

class Reader {
public:
    // A file by name, or standard input for "-".
    bool open(Ctx &c, const std::string &path) {
        name_ = path == "-" ? "standard input" : path;
        if (path == "-") {
            in_ = &std::cin;
            return true;
        }
        struct stat st;
        if (!fileusable(c, path, &st)) return false;
        file_.open(path, std::ios::binary);
        if (!file_) {
            toolerror(c, path, sysreason(errno));
            return false;
        }
        // Only a regular file can be read a second time.
        seekable_ = S_ISREG(st.st_mode);
        size_ = seekable_ ? (uint64_t)st.st_size : 0;
        in_ = &file_;
        return true;
    }
    bool next(std::string *line) {
        if (!std::getline(*in_, *line)) return false;
        bytes_ += line->size() + 1;
        lineno_++;
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
    }
    bool failed() const { return in_->bad(); }
    bool rewind() {
        file_.clear();
        file_.seekg(0);
        bytes_ = 0;
        lineno_ = 0;
        return (bool)file_;
    }
    bool seekable() const { return seekable_; }
    uint64_t size() const { return size_; }
    uint64_t bytes() const { return bytes_; }
    int lineno() const { return lineno_; }
    const std::string &name() const { return name_; }

private:
    std::istream *in_ = nullptr;
    std::ifstream file_;
    std::string name_;
    bool seekable_ = false;
    uint64_t size_ = 0, bytes_ = 0;
    int lineno_ = 0;
};

// ---- checking ------------------------------------------------------------

enum Kind { BLANK, HEADER, SCHEMA, CONTROL, REC, KEY, END };

struct Item {
    Kind kind = BLANK;
    int file = 0, subkey = 0;
    uint32_t rid = 0;
    std::string bytes;  // REC: the record; KEY: the value as stored
};

class Checker {
public:
    // Reads and checks one line; false with *error.
    bool line(const std::string &l, int lineno, Item *it, std::string *error);
    // After the last line: the end line was there and its counts agree.
    // An exit status, EXIT_OK when complete.
    int finish(std::string *error) const;

    const Schema &schema() const { return schema_; }
    const Controls &controls() const { return cv_; }
    uint64_t records() const { return recs_; }
    uint64_t keys() const { return keys_; }

private:
    bool text(const std::string &l, Item *it, std::string *error);
    bool json(const std::string &l, Item *it, std::string *error);
    bool record(Item *it, std::string *error);
    bool key(Item *it, const std::string &valuetext, bool jsonstring, std::string *error);
    bool control(const std::string &name, uint64_t v, std::string *error);
    int freq() const { return schema_.xblkfreq != 0 ? schema_.xblkfreq : pmdb::DEFAULTXBLKFREQ; }

    int lineno_ = 0;
    bool started_ = false, jsonl_ = false, data_ = false, ended_ = false;
    Schema schema_;
    Controls cv_;
    uint64_t recs_ = 0, keys_ = 0, endrecs_ = 0, endkeys_ = 0;
    std::vector<uint64_t> slots_;  // a bit per slot taken by a record
    struct Last {
        bool has = false;
        std::string value;
        uint32_t rid = 0;
        int lineno = 0;
    } last_[pmdb::NUMFILES][pmdb::NUMSUBKEYS];
};

bool Checker::line(const std::string &l, int lineno, Item *it, std::string *error) {
    lineno_ = lineno;
    *it = Item();
    std::string e;
    bool ok = true;
    if (l.find_first_not_of(" \t") == std::string::npos) {
        it->kind = BLANK;
    } else if (ended_) {
        ok = false, e = "text after the end line";
    } else if (!started_) {
        jsonl_ = l[0] == '{';
        ok = jsonl_ ? json(l, it, &e) : text(l, it, &e);
        if (ok && it->kind != HEADER) ok = false, e = "not a dump (it starts with neither \"pmdb-dump\" nor a header)";
        started_ = ok;
    } else {
        ok = jsonl_ ? json(l, it, &e) : text(l, it, &e);
    }
    if (ok && (it->kind == SCHEMA || it->kind == CONTROL) && data_)
        ok = false, e = "schema and control lines come before the records and keys";
    if (ok && it->kind == REC) ok = record(it, &e);
    if (ok && (it->kind == REC || it->kind == KEY)) data_ = true;
    if (!ok) *error = "line " + std::to_string(lineno) + ": " + e;
    return ok;
}

bool Checker::text(const std::string &l, Item *it, std::string *e) {
    size_t sp = l.find(' ');
    std::string word = l.substr(0, sp);
    std::string rest = sp == std::string::npos ? "" : l.substr(sp + 1);
    if (word == "pmdb-dump") {
        if (started_ || (rest != "1" && rest != "2")) return *e = "expected \"pmdb-dump 1\" or \"pmdb-dump 2\" first", false;
        it->kind = HEADER;
    } else if (!started_) {
        return *e = "not a dump (expected \"pmdb-dump 2\")", false;
    } else if (word == "schema") {
        it->kind = SCHEMA;
        std::string err;
        if (!parseschemaline(rest, lineno_, &schema_, &err)) {
            *e = err.substr(err.find(": ") + 2);  // the line number is added once, by line()
            return false;
        }
    } else if (word == "control") {
        std::istringstream in(rest);
        std::string name, num, extra;
        in >> name >> num;
        uint64_t v;
        if (!parseuint(num, UINT32_MAX, &v) || (in >> extra)) return *e = "a control line is: control NAME NUMBER", false;
        it->kind = CONTROL;
        return control(name, v, e);
    } else if (word == "rec") {
        std::istringstream in(rest);
        std::string n, rid, hex, extra;
        in >> n >> rid >> hex;
        uint64_t file, r;
        if (!parseuint(n, pmdb::NUMFILES, &file) || file == 0 || rid.size() != 8 || !parseuint("0x" + rid, UINT32_MAX, &r) ||
            hex.empty() || (in >> extra))
            return *e = "a record line is: rec FILE RID HEX", false;
        it->kind = REC;
        it->file = (int)file;
        it->rid = (uint32_t)r;
        if (hex != "-" && (hex.empty() || !unhex(hex, &it->bytes))) return *e = "malformed hex bytes", false;
    } else if (word == "key") {
        size_t a = rest.find(' '), b = a == std::string::npos ? a : rest.find(' ', a + 1);
        uint64_t r;
        if (b == std::string::npos || !parsefilesubkey(rest.substr(0, a), &it->file, &it->subkey) ||
            !parseuint("0x" + rest.substr(a + 1, b - a - 1), UINT32_MAX, &r))
            return *e = "a key line is: key FILE.SUBKEY RID VALUE", false;
        it->kind = KEY;
        it->rid = (uint32_t)r;
        return key(it, rest.substr(b + 1), false, e);
    } else if (word == "end") {
        std::istringstream in(rest);
        std::string a, b, extra;
        in >> a >> b;
        if (!parseuint(a, UINT64_MAX, &endrecs_) || !parseuint(b, UINT64_MAX, &endkeys_) || (in >> extra))
            return *e = "the end line is: end RECORDS KEYS", false;
        it->kind = END;
        ended_ = true;
    } else {
        return *e = "unknown line '" + word + "'", false;
    }
    return true;
}

bool Checker::json(const std::string &l, Item *it, std::string *e) {
    std::map<std::string, JValue> o;
    if (!jsonobject(l, &o)) return *e = "not a JSON object", false;
    auto num = [&](const char *k, uint64_t max, uint64_t *v) {
        auto f = o.find(k);
        return f != o.end() && !f->second.isstring && parseuint(f->second.text, max, v);
    };
    auto text = [&](const char *k, std::string *v) {
        auto f = o.find(k);
        if (f == o.end() || !f->second.isstring) return false;
        *v = f->second.text;
        return true;
    };
    std::string type, s;
    uint64_t file = 0, subkey = 0, rid = 0, v = 0;
    if (!text("type", &type)) return *e = "no \"type\"", false;
    if (type == "header") {
        if (started_ || !text("format", &s) || s != "pmdb-dump" || !num("version", DUMPVERSION, &v) || v == 0)
            return *e = "not a pmdb-dump header of version 1 or 2", false;
        it->kind = HEADER;
    } else if (!started_) {
        return *e = "not a dump (expected a header)", false;
    } else if (type == "xblkfreq") {
        if (!num("value", 32767, &v) || v < 2) return *e = "xblkfreq takes a number from 2 to 32767", false;
        it->kind = SCHEMA;
        schema_.xblkfreq = (int)v;
    } else if (type == "file") {
        std::string name;
        auto rl = o.find("rlen");
        char *end = nullptr;
        long rlen = rl == o.end() || rl->second.isstring ? 99999 : strtol(rl->second.text.c_str(), &end, 10);
        if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !text("name", &name) || name.size() > 15 ||
            name.find('\0') != std::string::npos || rlen < -32768 || rlen > 32767 || *end != '\0')
            return *e = "a file needs file (1..15), name (at most 15 bytes) and rlen", false;
        it->kind = SCHEMA;
        FileDef &f = schema_.f[file - 1];
        f.declared = true;
        f.name = name;
        f.rlen = (int)rlen;
    } else if (type == "subkey") {
        auto dup = o.find("dup");
        int t = text("keytype", &s) ? (s == NONETYPENAME ? NONETYPE : keytypebyname(s)) : -1;
        if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !num("subkey", 15, &subkey) || t < 0 ||
            dup == o.end() || (dup->second.text != "true" && dup->second.text != "false") || dup->second.isstring)
            return *e = "a subkey needs file, subkey, keytype and dup", false;
        it->kind = SCHEMA;
        SubkeyDef &k = schema_.f[file - 1].sub[subkey];
        k.declared = true;
        k.keytype = t;
        k.dup = dup->second.text == "true";
    } else if (type == "control") {
        it->kind = CONTROL;
        for (const char *name : {"counter", "businessdate", "appstat"}) {
            if (o.count(name) == 0) continue;
            if (!num(name, UINT32_MAX, &v)) return *e = std::string("\"") + name + "\" takes a number", false;
            if (!control(name, v, e)) return false;
        }
    } else if (type == "record") {
        if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !num("rid", UINT32_MAX, &rid) || !text("hex", &s))
            return *e = "a record needs file, rid and hex", false;
        it->kind = REC;
        it->file = (int)file;
        it->rid = (uint32_t)rid;
        if (!unhex(s, &it->bytes)) return *e = "malformed hex bytes", false;
    } else if (type == "key") {
        auto val = o.find("value");
        if (!num("file", pmdb::NUMFILES, &file) || file == 0 || !num("subkey", 15, &subkey) ||
            !num("rid", UINT32_MAX, &rid) || val == o.end())
            return *e = "a key needs file, subkey, rid and value", false;
        it->kind = KEY;
        it->file = (int)file;
        it->subkey = (int)subkey;
        it->rid = (uint32_t)rid;
        return key(it, val->second.text, val->second.isstring, e);
    } else if (type == "end") {
        if (!num("records", UINT64_MAX, &endrecs_) || !num("keys", UINT64_MAX, &endkeys_))
            return *e = "the end needs records and keys", false;
        it->kind = END;
        ended_ = true;
    } else {
        return *e = "unknown type \"" + type + "\"", false;
    }
    return true;
}

bool Checker::control(const std::string &name, uint64_t v, std::string *e) {
    if (name == "counter")
        cv_.counter = (uint32_t)v;
    else if (name == "businessdate")
        cv_.businessdate = (uint32_t)v;
    else if (name == "appstat" && v <= 1)
        cv_.appstat = (int)v;
    else if (name == "appstat")
        return *e = "appstat is 0 or 1", false;
    else
        return *e = "unknown control value '" + name + "' (counter, businessdate, appstat)", false;
    return true;
}

bool Checker::record(Item *it, std::string *e) {
    uint32_t rid = it->rid;
    if ((int)(rid >> 28) != it->file) return *e = "rid " + ridtext(rid) + " does not belong to file " + std::to_string(it->file), false;
    uint64_t slot = rid & 0x0fffffff;
    if ((slot >> 8) * (uint64_t)freq() + 2 > pmdb::MAXBLOCK)
        return *e = "rid " + ridtext(rid) + " lies beyond the largest file with translation blocks every " +
                    std::to_string(freq()) + " blocks", false;
    if (slots_.size() <= slot / 64) slots_.resize((size_t)(slot / 64 + 1) * 2, 0);
    uint64_t &word = slots_[slot / 64], bit = (uint64_t)1 << (slot % 64);
    if (word & bit) return *e = "a record with the slot of rid " + ridtext(rid) + " is in the dump already", false;
    word |= bit;
    if (it->bytes.size() > 32767) return *e = "record " + ridtext(rid) + " is longer than 32767 bytes", false;
    uint8_t work[pmdb::MAXSTORED];
    if (pmdb::compress(work, sizeof work, (const uint8_t *)it->bytes.data(), (int16_t)it->bytes.size()) == 0)
        return *e = "record " + ridtext(rid) + " (" + std::to_string(it->bytes.size()) +
                    " bytes) does not fit a block once packed (at most 1008 bytes stored)", false;
    recs_++;
    return true;
}

bool Checker::key(Item *it, const std::string &valuetext, bool jsonstring, std::string *e) {
    const SubkeyDef &sk = schema_.f[it->file - 1].sub[it->subkey];
    std::string id = std::to_string(it->file) + "." + std::to_string(it->subkey);
    int t = sk.keytype;
    if (keytypename(t) == nullptr) return *e = "subkey " + id + " has key type " + NONETYPENAME + ", which holds no keys", false;
    if (it->rid == 0) return *e = "a key's rid cannot be 0", false;
    std::string err;
    bool ok;
    if (jsonstring && keytypewidth(t) == 0) {
        it->bytes = valuetext;
        ok = valuetext.size() <= 195;
        err = "a key value holds at most 195 bytes";
    } else {
        ok = (jsonstring && valuetext.empty()) || parsekeyvalue(t, valuetext, &it->bytes, &err);
    }
    if (!ok) return *e = err, false;
    // Keys of a subkey come in key order in a dump, so equal values meet.
    Last &last = last_[it->file - 1][it->subkey];
    if (last.has && samevalue(t, last.value, it->bytes) && (!sk.dup || last.rid == it->rid)) {
        std::string v = formatkeyvalue(t, (const uint8_t *)it->bytes.data(), (int)it->bytes.size());
        *e = sk.dup ? "key " + id + " " + v + " of rid " + ridtext(it->rid) + " is the same as line " +
                          std::to_string(last.lineno)
                    : "duplicate value " + v + " in unique subkey " + id + " (also on line " +
                          std::to_string(last.lineno) + ")";
        return false;
    }
    last.has = true;
    last.value = it->bytes;
    last.rid = it->rid;
    last.lineno = lineno_;
    keys_++;
    return true;
}

int Checker::finish(std::string *error) const {
    if (!started_) {
        *error = "empty input: not a dump";
        return EXIT_USAGE;
    }
    if (!ended_) {
        *error = "the dump has no end line: it is incomplete";
        return EXIT_FAIL;
    }
    if (endrecs_ != recs_ || endkeys_ != keys_) {
        *error = "the end line counts " + std::to_string(endrecs_) + " records and " + std::to_string(endkeys_) +
                 " keys, but the dump holds " + std::to_string(recs_) + " and " + std::to_string(keys_) +
                 ": it is incomplete";
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

// ---- writing -------------------------------------------------------------

// Writes the items into the new database through the exported calls.
class Restore {
public:
    Restore(Ctx &c, NewDb &nd, const std::string &source) : c_(c), nd_(nd), source_(source) {}
    // Makes the database once the schema and control values are known.
    bool begin(const Checker &ch);
    bool apply(const Item &it, const Checker &ch, int lineno);
    bool begun() const { return begun_; }

private:
    bool commit();
    bool onlyerror(int e) const {
        short ring[10];
        fsgeterrors(ring);
        int n = 0;
        for (short x : ring) n += x != 0 ? (x == e ? 1 : 100) : 0;
        return n == 1;
    }

    Ctx &c_;
    NewDb &nd_;
    std::string source_;
    bool begun_ = false;
    uint64_t changes_ = 0;
};

bool Restore::begin(const Checker &ch) {
    begun_ = true;
    const Schema &s = ch.schema();
    if (!nd_.create(s.xblkfreq != 0 ? s.xblkfreq : pmdb::DEFAULTXBLKFREQ)) return false;
    Db &db = nd_.db();
    std::string what;
    clearliberrors();
    fslock(db.inst(), db.fs(), nullptr);
    const Controls &cv = ch.controls();
    if (!applyschema(db, s, &what) || !fsstorecannumber(db.inst(), db.fs(), cv.counter) ||
        !fsstorebusinessdate(db.inst(), db.fs(), cv.businessdate) ||
        !fssetappstat(db.inst(), db.fs(), (short)cv.appstat)) {
        liberror(c_, nd_.target(), what.empty() ? "cannot set the control values" : what);
        return false;
    }
    return true;
}

bool Restore::commit() {
    // A commit every few thousand changes keeps each flush short.
    if (++changes_ % 4000 != 0) return true;
    Db &db = nd_.db();
    clearliberrors();
    if (!fsunlock(db.inst(), db.fs())) {
        liberror(c_, nd_.target(), "cannot write the new database");
        return false;
    }
    fslock(db.inst(), db.fs(), nullptr);
    return true;
}

bool Restore::apply(const Item &it, const Checker &ch, int lineno) {
    Db &db = nd_.db();
    std::string at = "line " + std::to_string(lineno) + ": ";
    clearliberrors();
    if (it.kind == REC) {
        if (!fsaddat(db.inst(), db.fs(), it.bytes.data(), (short)it.bytes.size(), it.rid)) {
            liberror(c_, source_, at + "cannot place record " + ridtext(it.rid));
            return false;
        }
        return commit();
    }
    if (it.kind != KEY) return true;
    uint8_t fid = (uint8_t)(it.file << 4 | it.subkey);
    if (!fsaddkey(db.inst(), db.fs(), fid, it.rid, (short)it.bytes.size(), it.bytes.data())) {
        // With the value checked already, a lone 1145 means an equal key
        // is there: a duplicate that was not next to its twin in the dump.
        const SubkeyDef &sk = ch.schema().f[it.file - 1].sub[it.subkey];
        std::string id = std::to_string(it.file) + "." + std::to_string(it.subkey);
        std::string v = formatkeyvalue(sk.keytype, (const uint8_t *)it.bytes.data(), (int)it.bytes.size());
        if (onlyerror(1145))
            toolerror(c_, source_, at + (sk.dup ? "key " + id + " " + v + " of rid " + ridtext(it.rid) + " is there already"
                                                : "duplicate value " + v + " in unique subkey " + id));
        else
            liberror(c_, source_, at + "cannot add key " + id + " " + v);
        return false;
    }
    return commit();
}

int runload(Ctx &c, const std::string &target, const std::string &dump, bool force) {
    NewDb nd(c);
    if (!nd.prepare(target, force, dump == "-" ? "" : dump)) return EXIT_FAIL;
    Reader rd;
    if (!rd.open(c, dump)) return EXIT_USAGE;
    std::string line, error;
    Item it;
    // A file is checked whole first; standard input line by line below.
    if (rd.seekable()) {
        Checker ch;
        Progress progress(c, "check", rd.size());
        while (rd.next(&line)) {
            if (!ch.line(line, rd.lineno(), &it, &error)) {
                toolerror(c, rd.name(), error);
                return EXIT_USAGE;
            }
            progress.step(rd.bytes());
            if (interrupted()) return toolerror(c, target, "interrupted; nothing was written"), EXIT_FAIL;
        }
        if (rd.failed()) return toolerror(c, rd.name(), sysreason(EIO)), EXIT_USAGE;
        int rc = ch.finish(&error);
        if (rc != EXIT_OK) return toolerror(c, rd.name(), error), rc;
        if (!rd.rewind()) return toolerror(c, rd.name(), "cannot be read again"), EXIT_USAGE;
    }
    Checker ch;
    Restore rs(c, nd, rd.name());
    Progress progress(c, "load", rd.size());
    while (rd.next(&line)) {
        if (!ch.line(line, rd.lineno(), &it, &error)) {
            toolerror(c, rd.name(), error);
            return EXIT_USAGE;
        }
        if ((it.kind == REC || it.kind == KEY || it.kind == END) && !rs.begun() && !rs.begin(ch)) return EXIT_FAIL;
        if (!rs.apply(it, ch, rd.lineno())) return EXIT_FAIL;
        progress.step(rd.size() ? rd.bytes() : ch.records() + ch.keys());
        if (interrupted()) return toolerror(c, target, "interrupted; " + target + " is as it was"), EXIT_FAIL;
    }
    progress.done();
    if (rd.failed()) return toolerror(c, rd.name(), sysreason(EIO)), EXIT_USAGE;
    int rc = ch.finish(&error);
    if (rc != EXIT_OK) return toolerror(c, rd.name(), error + "; nothing was written"), rc;
    if (!nd.finish()) return EXIT_FAIL;
    fprintf(c.out, "%s: %llu records, %llu keys loaded\n", target.c_str(), (unsigned long long)ch.records(),
            (unsigned long long)ch.keys());
    return EXIT_OK;
}

}  // namespace

int cmdload(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "load", argc, argv, {"force"}, {}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1 && a.pos.size() != 2) return usage(c, "load", "expected FILE and at most one DUMP");
    return runload(c, a.pos[0], a.pos.size() == 2 ? a.pos[1] : "-", a.has("force"));
}

}  // namespace pmdbtool
