// schema.cc - the schema text format, and the `create` and `schema`
// commands that write it into and read it from a control block.
#include "schema.h"

#include <ctype.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "fss/fsdata.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

const char *const typenames[NUMKEYTYPES] = {"char",  "short", "long",   "uchar",  "ushort",
                                            "ulong", "float", "double", "ldouble"};
const int typewidths[NUMKEYTYPES] = {0, 2, 4, 0, 2, 4, 4, 8, 10};

std::vector<std::string> splitwords(const std::string &line) {
    std::vector<std::string> w;
    std::istringstream in(line);
    std::string x;
    while (in >> x) w.push_back(x);
    return w;
}

bool fail(std::string *error, int lineno, const std::string &text) {
    *error = "line " + std::to_string(lineno) + ": " + text;
    return false;
}

bool readtext(Ctx &c, const std::string &path, std::string *text) {
    if (path == "-") {
        std::ostringstream s;
        s << std::cin.rdbuf();
        *text = s.str();
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        toolerror(c, path, sysreason(errno));
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

}  // namespace

const char *keytypename(int t) { return t >= 0 && t < NUMKEYTYPES ? typenames[t] : nullptr; }

int keytypebyname(const std::string &name) {
    for (int t = 0; t < NUMKEYTYPES; t++)
        if (name == typenames[t]) return t;
    return -1;
}

int keytypewidth(int t) { return t >= 0 && t < NUMKEYTYPES ? typewidths[t] : 0; }

std::string escapeword(const std::string &bytes) {
    std::string out;
    for (unsigned char ch : bytes) {
        if (ch > 0x20 && ch < 0x7f && ch != '\\' && ch != '"' && ch != '#') {
            out += (char)ch;
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", ch);
            out += buf;
        }
    }
    return out;
}

bool unescape(const std::string &text, std::string *bytes) {
    bytes->clear();
    for (size_t i = 0; i < text.size(); i++) {
        char ch = text[i];
        if (ch != '\\') {
            *bytes += ch;
            continue;
        }
        if (i + 1 >= text.size()) return false;
        char e = text[++i];
        if (e == '\\' || e == '"') {
            *bytes += e;
        } else if (e == 'x' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
                   isxdigit((unsigned char)text[i + 2])) {
            *bytes += (char)strtol(text.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

bool parsefilesubkey(const std::string &w, int *file, int *subkey) {
    size_t dot = w.find('.');
    if (dot == std::string::npos) return false;
    uint64_t n, s;
    if (!parseuint(w.substr(0, dot), pmdb::NUMFILES, &n) || n == 0) return false;
    if (!parseuint(w.substr(dot + 1), pmdb::NUMSUBKEYS - 1, &s)) return false;
    if (w.substr(0, dot).find_first_not_of("0123456789") != std::string::npos ||
        w.substr(dot + 1).find_first_not_of("0123456789") != std::string::npos)
        return false;
    *file = (int)n;
    *subkey = (int)s;
    return true;
}

bool parseschemaline(const std::string &rawline, int lineno, Schema *s, std::string *error) {
    std::string line = rawline.substr(0, rawline.find('#'));
    std::vector<std::string> w = splitwords(line);
    if (w.empty()) return true;
    // The optional leading keywords of the long form.
    if ((w[0] == "file" || w[0] == "key" || w[0] == "subkey") && w.size() > 1) w.erase(w.begin());
    if (w[0] == "xblkfreq") {
        uint64_t f;
        if (w.size() != 2 || !parseuint(w[1], 32767, &f) || f < 2)
            return fail(error, lineno, "xblkfreq takes one number from 2 to 32767");
        if (s->xblkfreq != 0) return fail(error, lineno, "xblkfreq given twice");
        s->xblkfreq = (int)f;
        return true;
    }
    if (w[0].find('.') != std::string::npos) {
        int n, sk;
        if (!parsefilesubkey(w[0], &n, &sk))
            return fail(error, lineno, "'" + w[0] + "' is not FILE.SUBKEY (1..15).(0..15)");
        if (w.size() != 3) return fail(error, lineno, "a subkey line is FILE.SUBKEY TYPE unique|dup");
        int t = w[1] == NONETYPENAME ? NONETYPE : keytypebyname(w[1]);
        if (t < 0) return fail(error, lineno, "unknown key type '" + w[1] + "'");
        if (w[2] != "unique" && w[2] != "dup")
            return fail(error, lineno, "expected unique or dup, not '" + w[2] + "'");
        SubkeyDef &k = s->f[n - 1].sub[sk];
        if (k.declared) return fail(error, lineno, "subkey " + w[0] + " declared twice");
        k.declared = true;
        k.keytype = t;
        k.dup = w[2] == "dup";
        return true;
    }
    uint64_t n;
    if (!parseuint(w[0], pmdb::NUMFILES, &n) || n == 0 ||
        w[0].find_first_not_of("0123456789") != std::string::npos)
        return fail(error, lineno, "'" + w[0] + "' is not a logical file number 1..15");
    if (w.size() != 3) return fail(error, lineno, "a file line is NUMBER NAME RECORDLENGTH");
    std::string name;
    if (w[1] != "-" && !unescape(w[1], &name))
        return fail(error, lineno, "bad escape in name '" + w[1] + "'");
    if (name.size() > sizeof(pmdb::FDATA::name))
        return fail(error, lineno, "name longer than 15 bytes");
    if (name.find('\0') != std::string::npos) return fail(error, lineno, "name holds a zero byte");
    // The library stores any 16-bit value; a negative one made by a
    // program must survive a dump and load.
    errno = 0;
    char *end = nullptr;
    long rl = strtol(w[2].c_str(), &end, 10);
    if (w[2].empty() || *end != '\0' || errno != 0 || rl < -32768 || rl > 32767)
        return fail(error, lineno, "record length must be a number from -32768 to 32767");
    FileDef &f = s->f[n - 1];
    if (f.declared) return fail(error, lineno, "file " + w[0] + " declared twice");
    f.declared = true;
    f.name = name;
    f.rlen = (int)rl;
    return true;
}

bool parseschema(const std::string &text, Schema *s, std::string *error) {
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        lineno++;
        if (!parseschemaline(line, lineno, s, error)) return false;
    }
    return true;
}

std::string formatschema(const Schema &s) {
    std::string out;
    if (s.xblkfreq != 0) out += "xblkfreq " + std::to_string(s.xblkfreq) + "\n";
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        const FileDef &f = s.f[n - 1];
        bool anysub = false;
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) anysub |= f.sub[k].declared;
        if (!f.declared && !anysub) continue;
        if (f.declared)
            out += std::to_string(n) + " " + (f.name.empty() ? "-" : escapeword(f.name)) + " " +
                   std::to_string(f.rlen) + "\n";
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            const SubkeyDef &sk = f.sub[k];
            if (!sk.declared) continue;
            const char *tn = sk.keytype == NONETYPE ? NONETYPENAME : keytypename(sk.keytype);
            std::string id = std::to_string(n) + "." + std::to_string(k);
            if (tn == nullptr)
                out += "# " + id + " has key type " + std::to_string(sk.keytype) +
                       ", which no key call accepts\n";
            else
                out += id + " " + tn + (sk.dup ? " dup" : " unique") + "\n";
        }
    }
    return out;
}

void schemafromfscb(const pmdb::FSCB &cb, Schema *s) {
    *s = Schema();
    s->xblkfreq = cb.xblkfreq == 0 ? pmdb::DEFAULTXBLKFREQ : cb.xblkfreq;
    for (int n = 0; n < pmdb::NUMFILES; n++) {
        const pmdb::FDATA &fd = cb.f[n];
        FileDef &f = s->f[n];
        f.name.assign(fd.name, strnlen(fd.name, sizeof fd.name));
        f.rlen = fd.rlen;
        f.declared = !f.name.empty() || f.rlen != 0;
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            SubkeyDef &sk = f.sub[k];
            sk.keytype = fd.keytype[k];
            sk.dup = (fd.dupkeys >> k) & 1;
            sk.declared = sk.keytype != 0 || sk.dup != defaultdup(k);
        }
    }
}

bool readspacing(const std::string &path, int *freq) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    uint8_t b[2];
    bool ok = fseek(f, (long)offsetof(pmdb::FSCB, xblkfreq), SEEK_SET) == 0 && fread(b, 1, 2, f) == 2;
    fclose(f);
    if (!ok) return false;
    int16_t v = (int16_t)pmdb::get16(b);
    *freq = v == 0 ? pmdb::DEFAULTXBLKFREQ : v;
    return true;
}

bool readschema(const Db &db, Schema *s) {
    *s = Schema();
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        FileDef &f = s->f[n - 1];
        char name[16];
        int16_t rlen;
        if (!fsgetfile(db.inst(), db.fs(), (uint8_t)n, name, &rlen)) return false;
        f.name = name;
        f.rlen = rlen;
        f.declared = !f.name.empty() || f.rlen != 0;
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            SubkeyDef &sk = f.sub[k];
            int16_t t, dup;
            if (!fsgetsubkey(db.inst(), db.fs(), (uint8_t)(n << 4 | k), &t, &dup)) return false;
            sk.keytype = t;
            sk.dup = dup != 0;
            sk.declared = sk.keytype != 0 || sk.dup != defaultdup(k);
        }
    }
    return true;
}

bool applyschema(const Db &db, const Schema &s, std::string *what) {
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        const FileDef &f = s.f[n - 1];
        if (f.declared && !fsdefinefile(db.inst(), db.fs(), (uint8_t)n, f.name.c_str(), (int16_t)f.rlen)) {
            *what = "cannot define file " + std::to_string(n);
            return false;
        }
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            const SubkeyDef &sk = f.sub[k];
            if (sk.declared &&
                !fsdefinesubkey(db.inst(), db.fs(), (uint8_t)(n << 4 | k), (int16_t)sk.keytype, sk.dup ? 1 : 0)) {
                *what = "cannot define subkey " + std::to_string(n) + "." + std::to_string(k);
                return false;
            }
        }
    }
    return true;
}

// Makes path a new database set up by schema; reports its own failures.
int createdatabase(Ctx &c, const std::string &path, const Schema &schema, bool force) {
    if (fileexists(path) && !force) {
        toolerror(c, path, "exists; use --force to replace it");
        return EXIT_FAIL;
    }
    int freq = schema.xblkfreq != 0 ? schema.xblkfreq : pmdb::DEFAULTXBLKFREQ;
    clearliberrors();
    errno = 0;
    bool made = fscreatedatabase(path.c_str(), (short)freq) != 0;
    int e = errno;
    if (!made) {
        liberror(c, path, "cannot be created" + std::string(e != 0 ? ": " + sysreason(e) : ""));
        return EXIT_FAIL;
    }
    Db db;
    if (!db.open(c, path, false)) return EXIT_FAIL;
    clearliberrors();
    std::string what;
    if (!applyschema(db, schema, &what) || !fsunlock(db.inst(), db.fs())) {
        liberror(c, path, what.empty() ? "cannot write the schema" : what);
        return EXIT_FAIL;
    }
    db.close();
    return EXIT_OK;
}

int cmdcreate(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "create", argc, argv, {"force"}, {"schema", "xblkfreq"}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1) return usage(c, "create", "expected one FILE");
    Schema schema;
    if (a.has("schema")) {
        std::string text, error;
        if (!readtext(c, a.get("schema"), &text)) return EXIT_USAGE;
        if (!parseschema(text, &schema, &error)) {
            toolerror(c, a.get("schema") == "-" ? "standard input" : a.get("schema"), error);
            return EXIT_USAGE;
        }
    }
    if (a.has("xblkfreq")) {
        uint64_t f;
        if (!parseuint(a.get("xblkfreq"), 32767, &f) || f < 2)
            return usage(c, "create", "--xblkfreq takes a number from 2 to 32767");
        schema.xblkfreq = (int)f;
    }
    return createdatabase(c, a.pos[0], schema, a.has("force"));
}

int cmdschema(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "schema", argc, argv, {}, {}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1) return usage(c, "schema", "expected one FILE");
    Db db;
    if (!db.open(c, a.pos[0], true)) return EXIT_USAGE;
    Schema s;
    clearliberrors();
    if (!readschema(db, &s) || !readspacing(a.pos[0], &s.xblkfreq)) {
        liberror(c, a.pos[0], "cannot read the schema");
        return EXIT_FAIL;
    }
    fputs(formatschema(s).c_str(), c.out);
    return EXIT_OK;
}

}  // namespace pmdbtool
