// pmdbtool_test.cc - the pmdb tool's commands, run in-process through
// pmdbmain() against real files that the tests make: the command line and
// error reporting, schema round trips, info figures, dump and load round
// trips of a random workload, get and scan, and a small demo.
#include <fcntl.h>
#include <sys/stat.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dumpformat.h"
#include "fss/fsdata.h"
#include "image.h"
#include "keyvalue.h"
#include "pmdbtool.h"
#include "schema.h"
#include "testutil.h"
#include "tooltestutil.h"

namespace {

using pmdbtest::DbTest;

using pmdbtest::Result;
using pmdbtest::has;
using pmdbtest::pmdb;

void writetext(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) v.push_back(l);
    return v;
}

// An open database of the library, closed at the end of the scope.
struct Open {
    char inst;
    FS *fs;
    explicit Open(const std::string &path, short readonly = 0) {
        inst = fsinit("");
        fs = fsopen(inst, path.c_str(), 0, readonly);
    }
    ~Open() {
        if (fs) fsclose(inst, fs);
        closefs(inst);
    }
};

template <typename T>
std::string bytes(T v) {
    return std::string((const char *)&v, sizeof v);
}

// Runs the tool with standard input read from file.
Result fromstdin(const std::string &file, std::vector<std::string> args) {
    fflush(stdin);
    int saved = dup(0), fd = open(file.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    dup2(fd, 0);
    close(fd);
    std::cin.clear();
    Result r = pmdb(args);
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    std::cin.clear();
    return r;
}

const char *const SCHEMA =
    "xblkfreq 12\n"
    "1 people 40\n"
    "1.1 long dup\n"
    "1.2 double dup\n"
    "1.3 ldouble unique\n"
    "1.8 char unique\n"
    "2 things 0\n"
    "2.0 short unique\n"
    "2.1 ushort dup\n"
    "2.2 ulong unique\n"
    "2.3 float dup\n"
    "2.4 uchar dup\n"
    "3 name\\x20sp 7\n";

// ---- the command line ---------------------------------------------------

TEST_F(DbTest, HelpVersionAndUsageErrors) {
    Result v = pmdb({"--version"});
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.out, std::string("pmdb ") + PMDB_VERSION + "\n");
    Result h = pmdb({"--help"});
    EXPECT_EQ(h.rc, 0);
    std::ifstream manfile(std::string(PMDB_DOCS_DIR) + "/pmdb.1"), reffile(std::string(PMDB_DOCS_DIR) + "/tool.md");
    std::stringstream man, ref;
    man << manfile.rdbuf();
    ref << reffile.rdbuf();
    for (const char *cmd :
         {"create", "schema", "info", "check", "dump", "load", "copy", "get", "scan", "put", "delete", "demo"}) {
        EXPECT_TRUE(has(h.out, std::string("  ") + cmd + " ")) << cmd;
        // The manual page and the reference know every command.
        EXPECT_TRUE(has(man.str(), std::string(".BI \"") + cmd + " ")) << cmd;
        EXPECT_TRUE(has(ref.str(), std::string("| `pmdb ") + cmd + " ")) << cmd;
        Result ch = pmdb({cmd, "--help"});
        EXPECT_EQ(ch.rc, 0) << cmd;
        EXPECT_EQ(ch.out.rfind(std::string("usage: pmdb ") + cmd, 0), 0u) << cmd;
        EXPECT_EQ(pmdb({"help", cmd}).out, ch.out);
    }
    EXPECT_EQ(pmdb({}).rc, 2);
    Result u = pmdb({"frobnicate"});
    EXPECT_EQ(u.rc, 2);
    EXPECT_TRUE(has(u.err, "unknown command 'frobnicate'"));
    Result bad = pmdb({"info", "x.db", "--colour"});
    EXPECT_EQ(bad.rc, 2);
    EXPECT_TRUE(has(bad.err, "unknown option --colour"));
    EXPECT_TRUE(has(bad.err, "usage: pmdb info FILE"));
    EXPECT_EQ(pmdb({"scan", "x.db", "1.0", "--limit"}).rc, 2);
    EXPECT_EQ(pmdb({"info", "x.db", "--json=yes"}).rc, 2);
    EXPECT_EQ(pmdb({"create"}).rc, 2);
    Result missing = pmdb({"schema", "nosuch.db"});
    EXPECT_EQ(missing.rc, 2);
    EXPECT_EQ(missing.err, "pmdb schema: nosuch.db: No such file or directory\n");
}

TEST_F(DbTest, ErrorsNameLibraryNumbersAndMeanings) {
    // Every number documented in docs/errors.md has its meaning in the tool.
    std::ifstream doc(std::string(PMDB_DOCS_DIR) + "/errors.md");
    ASSERT_TRUE(doc.good());
    std::string line;
    bool inpmerrno = false;
    int found = 0;
    while (std::getline(doc, line)) {
        if (line.rfind("## ", 0) == 0) inpmerrno = has(line, "pmerrno");
        if (line.size() < 3 || line[0] != '|' || !isdigit((unsigned char)line[2])) continue;
        std::string cell = line.substr(1, line.find('|', 1) - 1);
        std::istringstream in(cell);
        std::string num;
        while (std::getline(in, num, ',')) {
            int n = atoi(num.c_str());
            if (n == 0) continue;
            found++;
            if (inpmerrno)
                EXPECT_NE(pmdbtool::pmerrnomeaning(n), nullptr) << "pmerrno " << n;
            else
                EXPECT_NE(pmdbtool::errmeaning(n), nullptr) << "error " << n;
        }
    }
    EXPECT_GT(found, 40);

    // A file that is not a database: the library's numbers and meanings.
    pmdbtest::writefile(path("zeros.db"), std::vector<uint8_t>(3072, 0));
    Result r = pmdb({"schema", path("zeros.db")});
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(has(r.err, std::string("error 1020: ") + pmdbtool::errmeaning(1020))) << r.err;
    // A creation that fails names pmerrno.
    Result c = pmdb({"create", path("nodir/x.db")});
    EXPECT_EQ(c.rc, 1);
    EXPECT_TRUE(has(c.err, std::string("pmerrno 406: ") + pmdbtool::pmerrnomeaning(406))) << c.err;
    // Not a terminal: no progress line on the error stream.
    ASSERT_EQ(pmdb({"create", path("a.db")}).rc, 0);
    EXPECT_EQ(pmdb({"check", path("a.db")}).err, "");
}

// ---- create and schema -------------------------------------------------

TEST_F(DbTest, SchemaRoundTripMakesAnEquivalentDatabase) {
    // A subkey declared as the default is not printed back.
    writetext(path("s.txt"), std::string("# people and things\n\n1.0 char unique\n") + SCHEMA + "  # the end\n");
    Result c = pmdb({"create", path("a.db"), "--schema", path("s.txt")});
    ASSERT_EQ(c.rc, 0) << c.err;
    Result s = pmdb({"schema", path("a.db")});
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.out, SCHEMA);
    writetext(path("s2.txt"), s.out);
    ASSERT_EQ(pmdb({"create", path("b.db"), "--schema", path("s2.txt")}).rc, 0);
    EXPECT_EQ(pmdb({"schema", path("b.db")}).out, SCHEMA);

    // The control blocks agree field by field where a schema reaches.
    auto a = pmdbtest::readfile(path("a.db")), b = pmdbtest::readfile(path("b.db"));
    ASSERT_EQ(a.size(), 3072u);
    ASSERT_EQ(b.size(), 3072u);
    pmdb::FSCB ca, cb;
    memcpy(&ca, a.data(), sizeof ca);
    memcpy(&cb, b.data(), sizeof cb);
    EXPECT_EQ(+ca.xblkfreq, 12);
    EXPECT_EQ(+cb.xblkfreq, 12);
    EXPECT_EQ(+ca.numusers, 0);
    for (int n = 0; n < pmdb::NUMFILES; n++) {
        EXPECT_EQ(memcmp(ca.f[n].name, cb.f[n].name, 15), 0);
        EXPECT_EQ(+ca.f[n].rlen, +cb.f[n].rlen);
        EXPECT_EQ(memcmp(ca.f[n].keytype, cb.f[n].keytype, 16), 0);
        EXPECT_EQ(+ca.f[n].dupkeys, +cb.f[n].dupkeys);
        EXPECT_EQ(+ca.f[n].frid, 0xffffffffu);
    }
    EXPECT_EQ(std::string(ca.f[0].name), "people");
    EXPECT_EQ(std::string(ca.f[2].name), "name sp");
    EXPECT_EQ(+ca.f[0].keytype[3], 8);
    EXPECT_EQ(+ca.f[0].dupkeys, 0xfe06);  // 1.1 and 1.2 dup, 1.8 unique, 9..15 as made
    EXPECT_EQ(+ca.f[1].dupkeys, 0xff1a);
    EXPECT_EQ(+ca.f[3].dupkeys, 0xff00);  // files not named keep the defaults

    // --xblkfreq wins over the schema's; a default database prints nothing
    // but its spacing.
    ASSERT_EQ(pmdb({"create", path("c.db"), "--schema", path("s.txt"), "--xblkfreq", "7"}).rc, 0);
    EXPECT_EQ(lines(pmdb({"schema", path("c.db")}).out)[0], "xblkfreq 7");
    ASSERT_EQ(pmdb({"create", path("d.db")}).rc, 0);
    EXPECT_EQ(pmdb({"schema", path("d.db")}).out, "xblkfreq 20\n");
}

TEST_F(DbTest, CreateRefusesBadSchemasAndExistingFiles) {
    struct Case {
        const char *text, *error;
    } cases[] = {
        {"1 a 10\n1.0 varchar unique\n", "line 2: unknown key type 'varchar'"},
        {"1.0 char unique\n1.0 long dup\n", "line 2: subkey 1.0 declared twice"},
        {"16 a 10\n", "line 1: '16' is not a logical file number"},
        {"1.16 char dup\n", "is not FILE.SUBKEY"},
        {"1 a 40000\n", "record length must be a number"},
        {"1 abcdefghijklmnop 4\n", "name longer than 15 bytes"},
        {"1.0 char maybe\n", "expected unique or dup"},
        {"xblkfreq 1\n", "xblkfreq takes one number"},
        {"1 a\n", "a file line is"},
    };
    for (const Case &c : cases) {
        writetext(path("bad.txt"), c.text);
        Result r = pmdb({"create", path("x.db"), "--schema", path("bad.txt")});
        EXPECT_EQ(r.rc, 2) << c.text;
        EXPECT_TRUE(has(r.err, c.error)) << r.err;
        EXPECT_FALSE(pmdbtool::fileexists(path("x.db")));
    }
    EXPECT_EQ(pmdb({"create", path("x.db"), "--schema", path("none.txt")}).rc, 2);

    // An existing file is kept unless --force says otherwise.
    writetext(path("s.txt"), SCHEMA);
    ASSERT_EQ(pmdb({"create", path("a.db"), "--schema", path("s.txt")}).rc, 0);
    Result again = pmdb({"create", path("a.db")});
    EXPECT_EQ(again.rc, 1);
    EXPECT_TRUE(has(again.err, "exists"));
    EXPECT_EQ(pmdb({"schema", path("a.db")}).out, SCHEMA);
    ASSERT_EQ(pmdb({"create", path("a.db"), "--force"}).rc, 0);
    EXPECT_EQ(pmdb({"schema", path("a.db")}).out, "xblkfreq 20\n");
}

// ---- a random workload ---------------------------------------------------

struct Model {
    std::map<uint32_t, std::string> recs;  // rid -> bytes
};

// Records in three files with keys of several types; rewrites that grow
// and shrink, deletions that leave slot gaps, keys of deleted records
// removed first (so every key names a live record).
void workload(const std::string &file, unsigned seed, int steps, Model *m) {
    std::string schema = file + ".schema";
    writetext(schema, SCHEMA);
    ASSERT_EQ(pmdb({"create", file, "--schema", schema}).rc, 0);
    Open db(file);
    ASSERT_NE(db.fs, nullptr);
    std::mt19937 rng(seed);
    struct Keys {
        std::string name;
        int32_t num;
        double d;
        int16_t s;
    };
    std::map<uint32_t, Keys> keys;
    std::vector<uint32_t> live;
    int made = 0;
    for (int i = 0; i < steps; i++) {
        int op = (int)(rng() % 10);
        if (op < 6 || live.empty()) {
            int file = 1 + (int)(rng() % 3);
            std::string rec(rng() % 300, ' ');
            for (auto &ch : rec) ch = (char)(rng() % 4 == 0 ? rng() % 256 : 'a' + rng() % 3);
            uint32_t rid = fsadd(db.inst, db.fs, rec.data(), (short)rec.size(), (uint8_t)(file << 4));
            ASSERT_NE(rid, 0u);
            m->recs[rid] = rec;
            live.push_back(rid);
            Keys k{"n" + std::to_string(made++) + std::string(rng() % 20, 'x'), (int32_t)(rng() % 50) - 25,
                   (double)(rng() % 1000) / 8 - 60, (int16_t)made};
            if (file == 1) {
                ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x10, rid, (short)k.name.size(), k.name.data()));
                ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x11, rid, 4, &k.num));
                ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x12, rid, 8, &k.d));
            } else if (file == 2) {
                ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x20, rid, 2, &k.s));
            }
            keys[rid] = k;
        } else if (op < 8) {
            uint32_t rid = live[rng() % live.size()];
            std::string rec(rng() % 600, (char)('A' + rng() % 26));
            ASSERT_TRUE(fswrite(db.inst, db.fs, rec.data(), (short)rec.size(), rid));
            m->recs[rid] = rec;
        } else {
            size_t at = rng() % live.size();
            uint32_t rid = live[at];
            const Keys &k = keys[rid];
            if ((rid >> 28) == 1) {
                ASSERT_TRUE(fsdeletekey(db.inst, db.fs, 0x10, rid, (short)k.name.size(), k.name.data()));
                ASSERT_TRUE(fsdeletekey(db.inst, db.fs, 0x11, rid, 4, &k.num));
                ASSERT_TRUE(fsdeletekey(db.inst, db.fs, 0x12, rid, 8, &k.d));
            } else if ((rid >> 28) == 2) {
                ASSERT_TRUE(fsdeletekey(db.inst, db.fs, 0x20, rid, 2, &k.s));
            }
            ASSERT_TRUE(fsdelete(db.inst, db.fs, rid));
            m->recs.erase(rid);
            keys.erase(rid);
            live.erase(live.begin() + (long)at);
        }
        if (i % 500 == 499) {
            ASSERT_TRUE(fsunlock(db.inst, db.fs));
        }
    }
}

// A dump's parts: schema lines, records per file as bytes in walk order,
// keys per subkey as (value, index of the record named in its file's walk).
struct Parsed {
    std::vector<std::string> schema;
    std::map<int, std::vector<std::string>> recs;
    std::map<std::string, std::vector<std::pair<std::string, size_t>>> keys;
    std::string end;
};

Parsed parse(const std::string &dump) {
    Parsed p;
    std::map<std::string, std::pair<int, size_t>> where;  // rid -> (file, index)
    for (const std::string &l : lines(dump)) {
        std::istringstream in(l);
        std::string w;
        in >> w;
        if (w == "schema") {
            p.schema.push_back(l);
        } else if (w == "rec") {
            int file;
            std::string rid, hex;
            in >> file >> rid >> hex;
            where[rid] = {file, p.recs[file].size()};
            p.recs[file].push_back(hex);
        } else if (w == "key") {
            std::string id, rid;
            in >> id >> rid;
            std::string value;
            std::getline(in, value);
            auto it = where.find(rid);
            EXPECT_NE(it, where.end()) << l;
            p.keys[id].emplace_back(value, it == where.end() ? 0 : it->second.second);
        } else if (w == "end") {
            p.end = l;
        }
    }
    return p;
}

TEST_F(DbTest, DumpLoadRoundTripOfARandomWorkload) {
    Model m;
    workload(path("a.db"), 7, 1500, &m);
    if (HasFatalFailure()) return;
    {
        Open db(path("a.db"));
        ASSERT_TRUE(fsstorecannumber(db.inst, db.fs, 0x12345678));
        ASSERT_TRUE(fsstorebusinessdate(db.inst, db.fs, 20270101));
        ASSERT_TRUE(fssetappstat(db.inst, db.fs, 1));
    }
    Result d1 = pmdb({"dump", path("a.db")});
    ASSERT_EQ(d1.rc, 0) << d1.err;
    EXPECT_EQ(d1.err, "");
    std::vector<std::string> l = lines(d1.out);
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l[0], "pmdb-dump 2");

    // The dump holds exactly the model's records, in rid order per file.
    Parsed p1 = parse(d1.out);
    size_t n = 0;
    uint32_t last = 0;
    for (const std::string &line : l) {
        if (line.rfind("rec ", 0) != 0) continue;
        std::istringstream in(line);
        std::string w, rid, hex;
        int file;
        in >> w >> file >> rid >> hex;
        uint32_t r = (uint32_t)strtoul(rid.c_str(), nullptr, 16);
        if ((r >> 28) == (last >> 28)) {
            EXPECT_GT(r, last);
        }
        last = r;
        std::string bytes;
        ASSERT_TRUE(pmdbtool::unhex(hex == "-" ? "" : hex, &bytes));
        ASSERT_EQ(m.recs.count(r), 1u) << line;
        EXPECT_EQ(m.recs[r], bytes);
        n++;
    }
    EXPECT_EQ(n, m.recs.size());
    EXPECT_EQ(p1.end, "end " + std::to_string(m.recs.size()) + " " +
                          std::to_string(p1.keys["1.0"].size() * 3 + p1.keys["2.0"].size()));
    EXPECT_GT(p1.keys["1.0"].size(), 100u);

    EXPECT_TRUE(has(d1.out, "\ncontrol counter 305419896\ncontrol businessdate 20270101\ncontrol appstat 1\n"));

    // Load into a new file and dump again: the same dump, deletions'
    // gaps, control values and all.
    writetext(path("a.dump"), d1.out);
    Result ld = pmdb({"load", path("b.db"), path("a.dump")});
    ASSERT_EQ(ld.rc, 0) << ld.err;
    EXPECT_EQ(ld.err, "");
    Result d2 = pmdb({"dump", path("b.db")});
    ASSERT_EQ(d2.rc, 0);
    Parsed p2 = parse(d2.out);
    EXPECT_EQ(p1.schema, p2.schema);
    EXPECT_EQ(p1.recs, p2.recs);
    EXPECT_EQ(p1.keys, p2.keys);
    EXPECT_EQ(p1.end, p2.end);
    EXPECT_EQ(d1.out, d2.out);
    EXPECT_EQ(pmdb({"check", path("b.db")}).rc, 0);
    {
        // The rids freed by deletions stay free: later adds get them, and
        // never a live one.
        Open db(path("b.db"));
        std::set<uint32_t> slots;
        for (auto &r : m.recs) slots.insert(r.first & 0x0fffffff);
        for (int k = 0; k < 300; k++) {
            uint32_t rid = fsadd(db.inst, db.fs, "new", 3, 0x40);
            ASSERT_NE(rid, 0u);
            ASSERT_TRUE(slots.insert(rid & 0x0fffffff).second) << std::hex << rid;
        }
    }
    EXPECT_EQ(pmdb({"check", path("b.db")}).rc, 0);

    // A dump of a loaded file loads to the same file again, and the jsonl
    // form carries exactly the same.
    writetext(path("b.dump"), d2.out);
    ASSERT_EQ(pmdb({"load", path("c.db"), path("b.dump")}).rc, 0);
    EXPECT_EQ(pmdb({"dump", path("c.db")}).out, d2.out);
    Result j = pmdb({"dump", path("a.db"), "--format", "jsonl"});
    ASSERT_EQ(j.rc, 0);
    for (const std::string &line : lines(j.out)) ASSERT_EQ(line[0], '{');
    writetext(path("a.jsonl"), j.out);
    ASSERT_EQ(pmdb({"load", path("d.db"), path("a.jsonl")}).rc, 0);
    EXPECT_EQ(pmdb({"dump", path("d.db")}).out, d2.out);
}

TEST_F(DbTest, DumpValuesOfEveryTypeReadBackExactly) {
    writetext(path("s.txt"), SCHEMA);
    ASSERT_EQ(pmdb({"create", path("a.db"), "--schema", path("s.txt")}).rc, 0);
    {
        Open db(path("a.db"));
        const char rec[] = "r";
        uint32_t r1 = fsadd(db.inst, db.fs, rec, 1, 0x10), r2 = fsadd(db.inst, db.fs, rec, 0, 0x20);
        std::string odd("\x00q\"\\ #\xff", 7);
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x10, r1, (short)odd.size(), odd.data()));
        int32_t l = INT32_MIN;
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x11, r1, 4, &l));
        double d = -0.1, inf = HUGE_VAL;
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x12, r1, 8, &d));
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x12, r2, 8, &inf));
        uint8_t ld[10];
        pmdbtool::ldoubletobytes(1.0L / 3, ld);
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x13, r1, 10, ld));
        pmdbtool::ldoubletobytes(-4.9e-4940L, ld);  // an 80-bit denormal
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x13, r2, 10, ld));
        int16_t s = -32768;
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x20, r2, 2, &s));
        uint16_t us = 65535;
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x21, r2, 2, &us));
        uint32_t ul = 4000000000u;
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x22, r2, 4, &ul));
        float f = 1e-45f;
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x23, r2, 4, &f));
        ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x24, r2, 3, "\x80\x01z"));
    }
    Result d = pmdb({"dump", path("a.db")});
    ASSERT_EQ(d.rc, 0) << d.err;
    EXPECT_TRUE(has(d.out, "key 1.0 10000000 \"\\x00q\\\"\\\\ #\\xff\"\n")) << d.out;
    EXPECT_TRUE(has(d.out, "key 1.1 10000000 -2147483648\n"));
    EXPECT_TRUE(has(d.out, "key 1.2 10000000 -0.1\n"));
    EXPECT_TRUE(has(d.out, "key 1.2 20000001 inf\n"));
    EXPECT_TRUE(has(d.out, "key 2.0 20000001 -32768\n"));
    EXPECT_TRUE(has(d.out, "key 2.1 20000001 65535\n"));
    EXPECT_TRUE(has(d.out, "key 2.2 20000001 4000000000\n"));
    EXPECT_TRUE(has(d.out, "key 2.4 20000001 \"\\x80\\x01z\"\n"));
    EXPECT_TRUE(has(d.out, "rec 1 10000000 72\nrec 2 20000001 -\n"));
    writetext(path("a.dump"), d.out);
    ASSERT_EQ(pmdb({"load", path("b.db"), path("a.dump")}).rc, 0);
    EXPECT_EQ(pmdb({"dump", path("b.db")}).out, d.out);
    writetext(path("a.jsonl"), pmdb({"dump", path("a.db"), "--format=jsonl"}).out);
    ASSERT_EQ(pmdb({"load", path("c.db"), path("a.jsonl")}).rc, 0);
    EXPECT_EQ(pmdb({"dump", path("c.db")}).out, d.out);

    // Keys under a key type that no call reads cannot be dumped: said, not
    // left out silently.
    pmdbtest::corruptat(path("a.db"), 133 + 25 + 1, {12});  // keytype of 1.1
    Result w = pmdb({"dump", path("a.db")});
    EXPECT_EQ(w.rc, 0);
    EXPECT_FALSE(has(w.out, "key 1.1 "));
    EXPECT_TRUE(has(w.err, "warning: subkey 1.1 holds 1 keys, but its key type 12")) << w.err;

    // Floating values in the fewest digits that read back exactly.
    for (auto &c : std::vector<std::pair<float, const char *>>{{0.1f, "0.1"}, {-20.0f, "-20"}, {1e20f, "1e+20"},
                                                               {16777216.0f, "16777216"}, {-0.0f, "-0"}})
        EXPECT_EQ(pmdbtool::formatkeyvalue(6, (const uint8_t *)&c.first, 4), c.second);
    double third = 1.0 / 3;
    EXPECT_EQ(pmdbtool::formatkeyvalue(7, (const uint8_t *)&third, 8), "0.3333333333333333");

    // Stored bytes of every value survive the text form.
    auto same = [&](int t, const std::string &v) {
        std::string text = pmdbtool::formatkeyvalue(t, (const uint8_t *)v.data(), (int)v.size()), back, e;
        EXPECT_TRUE(pmdbtool::parsekeyvalue(t, text, &back, &e)) << text << " " << e;
        EXPECT_EQ(back, v) << t << " " << text;
    };
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; i++) {
        uint32_t a = rng(), b = rng();
        float f;
        memcpy(&f, &a, 4);
        double dd;
        uint64_t x = (uint64_t)a << 32 | b;
        memcpy(&dd, &x, 8);
        if (!isnan(f)) same(6, bytes(f));
        if (!isnan(dd)) same(7, bytes(dd));
        uint8_t ld[10];
        pmdbtool::ldoubletobytes(ldexpl((long double)x, (int)(rng() % 32000) - 16000), ld);
        same(8, std::string((const char *)ld, 10));
        same(1, bytes((int16_t)a));
        same(5, bytes(a));
    }
    std::string e, out;
    EXPECT_FALSE(pmdbtool::parsekeyvalue(7, "nan", &out, &e));
    EXPECT_FALSE(pmdbtool::parsekeyvalue(1, "32768", &out, &e));
    EXPECT_FALSE(pmdbtool::parsekeyvalue(4, "-1", &out, &e));
    EXPECT_FALSE(pmdbtool::parsekeyvalue(0, std::string(196, 'a'), &out, &e));
    EXPECT_FALSE(pmdbtool::parsekeyvalue(0, "\"open", &out, &e));
}

TEST_F(DbTest, LoadRefusesBadDumpsAndKeepsEveryRid) {
    writetext(path("cut.dump"), "pmdb-dump 1\nschema 1 a 4\nrec 1 10000000 61\n");
    Result r = pmdb({"load", path("a.db"), path("cut.dump")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.err, "incomplete"));
    EXPECT_FALSE(pmdbtool::fileexists(path("a.db")));
    writetext(path("count.dump"), "pmdb-dump 1\nrec 1 10000000 61\nend 2 0\n");
    EXPECT_EQ(pmdb({"load", path("a.db"), path("count.dump")}).rc, 1);
    // Each refusal names the dump, the line and what is wrong.
    struct Case {
        const char *dump, *error;
    } cases[] = {
        {"rec 2 10000000 61\nend 1 0\n", "line 2: rid 10000000 does not belong to file 2"},
        {"schema 1.1 short dup\nrec 1 10000000 61\nkey 1.1 10000000 x\nend 1 1\n", "line 4: 'x' is not a short value"},
        {"schema 1.1 short unique\nkey 1.1 10000000 7\nkey 1.1 10000001 7\nend 0 2\n",
         "line 4: duplicate value 7 in unique subkey 1.1 (also on line 3)"},
        {"rec 1 10000000 61\nrec 3 30000000 62\nend 2 0\n", "line 3: a record with the slot of rid 30000000 is in the dump already"},
        {"control counter 5\nrec 1 10000000 61\ncontrol appstat 1\nend 1 0\n", "line 4: schema and control lines come before"},
        {"control appstat 2\nend 0 0\n", "line 2: appstat is 0 or 1"},
        {"schema 1.1 none dup\nkey 1.1 10000000 \"a\"\nend 0 1\n", "line 3: subkey 1.1 has key type none"},
    };
    for (const Case &c : cases) {
        writetext(path("bad.dump"), std::string("pmdb-dump 2\n") + c.dump);
        Result b = pmdb({"load", path("a.db"), path("bad.dump")});
        EXPECT_EQ(b.rc, 2) << c.dump;
        EXPECT_EQ(b.err.rfind("pmdb load: " + path("bad.dump") + ": line ", 0), 0u) << b.err;
        EXPECT_TRUE(has(b.err, c.error)) << b.err;
        EXPECT_FALSE(pmdbtool::fileexists(path("a.db")));
    }
    // A record too long once packed (not merely over 32767 bytes).
    std::string noisy;
    for (int k = 0; k < 1009; k++) noisy += (char)('a' + k % 2);
    writetext(path("long.dump"), "pmdb-dump 2\nrec 1 10000000 " + pmdbtool::hexbytes((const uint8_t *)noisy.data(), noisy.size()) +
                                     "\nend 1 0\n");
    EXPECT_TRUE(has(pmdb({"load", path("a.db"), path("long.dump")}).err, "does not fit a block once packed"));

    // Every rid comes back, with the gaps between them; a key whose rid
    // names no record of the dump is kept as it was.
    writetext(path("d.dump"),
              "pmdb-dump 1\nschema 1 a 4\nrec 1 10000005 6162\nrec 1 10000209 -\n"
              "key 1.0 10000209 \"b\"\nkey 1.0 10000007 \"c\"\nkey 1.0 10000005 \"d\"\nend 2 3\n");
    Result d = pmdb({"load", path("a.db"), path("d.dump")});
    ASSERT_EQ(d.rc, 0) << d.err;
    EXPECT_EQ(d.err, "");
    EXPECT_EQ(d.out, path("a.db") + ": 2 records, 3 keys loaded\n");
    const std::string want =
        "pmdb-dump 2\nschema xblkfreq 20\nschema 1 a 4\ncontrol counter 0\ncontrol businessdate 0\n"
        "control appstat 0\nrec 1 10000005 6162\nrec 1 10000209 -\nkey 1.0 10000209 \"b\"\n"
        "key 1.0 10000007 \"c\"\nkey 1.0 10000005 \"d\"\nend 2 3\n";
    EXPECT_EQ(pmdb({"dump", path("a.db")}).out, want);
    Result exists = pmdb({"load", path("a.db"), path("d.dump")});
    EXPECT_EQ(exists.rc, 1);
    EXPECT_EQ(exists.err, "pmdb load: " + path("a.db") + ": exists; use --force to replace it\n");

    // Without DUMP (or with "-") the dump comes from standard input, as
    // does a schema of "-".
    Result in = fromstdin(path("d.dump"), {"load", path("b.db")});
    EXPECT_EQ(in.rc, 0) << in.err;
    EXPECT_EQ(pmdb({"dump", path("b.db")}).out, want);
    writetext(path("s.txt"), "1 from\\x20stdin 9\n");
    EXPECT_EQ(fromstdin(path("s.txt"), {"create", path("c.db"), "--schema", "-"}).rc, 0);
    EXPECT_EQ(pmdb({"schema", path("c.db")}).out, "xblkfreq 20\n1 from\\x20stdin 9\n");
}

// Files in the test's folder, for what a failed command leaves behind.
std::set<std::string> listing(const std::string &dir) {
    std::set<std::string> names;
    std::string cmd = "ls -a " + dir;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) names.insert(buf);
    if (p) pclose(p);
    return names;
}

TEST_F(DbTest, FailedLoadsLeaveNoFileAndKeepTheTarget) {
    writetext(path("ok.dump"), "pmdb-dump 2\nschema 1.0 long unique\nrec 1 10000000 61\nkey 1.0 10000000 1\nend 1 1\n");
    ASSERT_EQ(pmdb({"load", path("t.db"), path("ok.dump")}).rc, 0);
    std::vector<uint8_t> before = pmdbtest::readfile(path("t.db"));
    // Equal values that are not neighbours get past the first reading and
    // are refused by the index midway through the writing.
    writetext(path("dup.dump"), "pmdb-dump 2\nschema 1.0 long unique\nrec 1 10000000 61\nrec 1 10000001 62\n"
                                "key 1.0 10000000 5\nkey 1.0 10000001 6\nkey 1.0 10000002 5\nend 2 3\n");
    std::set<std::string> files = listing(dir_);
    Result r = pmdb({"load", path("t.db"), path("dup.dump"), "--force"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "pmdb load: " + path("dup.dump") + ": line 7: duplicate value 5 in unique subkey 1.0\n");
    EXPECT_EQ(pmdbtest::readfile(path("t.db")), before);
    EXPECT_EQ(listing(dir_), files);
    // Read once from standard input, the same.
    Result in = fromstdin(path("dup.dump"), {"load", path("t.db"), "--force"});
    EXPECT_EQ(in.rc, 1);
    EXPECT_EQ(in.err, "pmdb load: standard input: line 7: duplicate value 5 in unique subkey 1.0\n");
    EXPECT_EQ(pmdbtest::readfile(path("t.db")), before);
    EXPECT_EQ(listing(dir_), files);
    EXPECT_EQ(pmdb({"load", path("t.db"), path("t.db"), "--force"}).err,
              "pmdb load: " + path("t.db") + ": is the same file as " + path("t.db") + "\n");
    mkdir(path("adir").c_str(), 0777);
    EXPECT_EQ(pmdb({"load", path("adir"), path("ok.dump")}).err, "pmdb load: " + path("adir") + ": Is a directory\n");
    EXPECT_EQ(pmdbtest::readfile(path("t.db")), before);
    // A load that succeeds replaces the target, keeping its mode.
    chmod(path("t.db").c_str(), 0640);
    writetext(path("two.dump"), "pmdb-dump 2\nrec 2 20000003 -\nend 1 0\n");
    ASSERT_EQ(pmdb({"load", path("t.db"), path("two.dump"), "--force"}).rc, 0);
    struct stat st;
    ASSERT_EQ(stat(path("t.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(pmdb({"dump", path("t.db")}).out,
              "pmdb-dump 2\nschema xblkfreq 20\ncontrol counter 0\ncontrol businessdate 0\ncontrol appstat 0\n"
              "rec 2 20000003 -\nend 1 0\n");
}

TEST_F(DbTest, CopyKeepsEveryRidAndCompactionShrinksTheIndex) {
    Model m;
    workload(path("a.db"), 3, 1200, &m);
    if (HasFatalFailure()) return;
    Result c = pmdb({"copy", path("a.db"), path("b.db")});
    ASSERT_EQ(c.rc, 0) << c.err;
    EXPECT_EQ(pmdbtest::readfile(path("b.db")), pmdbtest::readfile(path("a.db")));
    Result k = pmdb({"copy", path("a.db"), path("c.db"), "--compact"});
    ASSERT_EQ(k.rc, 0) << k.err;
    EXPECT_EQ(pmdb({"dump", path("c.db")}).out, pmdb({"dump", path("a.db")}).out);
    EXPECT_EQ(pmdb({"check", path("c.db")}).rc, 0);
    auto keyblocks = [&](const std::string &f) {
        pmdbtool::Image im;
        std::string why;
        EXPECT_EQ(pmdbtool::loadimage(f, &im, &why), pmdbtool::IMAGE_OK);
        pmdbtool::Survey sv;
        pmdbtool::survey(im, &sv, false);
        return sv.tree.blocks;
    };
    EXPECT_LT(keyblocks(path("c.db")), keyblocks(path("a.db")));
    EXPECT_LE(pmdbtest::readfile(path("c.db")).size(), pmdbtest::readfile(path("a.db")).size());
    EXPECT_EQ(pmdb({"copy", path("a.db"), path("c.db")}).rc, 1);   // exists
    EXPECT_EQ(pmdb({"copy", path("a.db"), path("c.db"), "--force"}).rc, 0);
    EXPECT_EQ(pmdb({"copy", path("none.db"), path("d.db")}).rc, 2);
    EXPECT_FALSE(pmdbtool::fileexists(path("d.db")));
}

TEST_F(DbTest, PutAndDeleteOneRecordWithItsKeys) {
    writetext(path("s.txt"), "1 people 0\n1.0 char unique\n1.1 long dup\n");
    ASSERT_EQ(pmdb({"create", path("a.db"), "--schema", path("s.txt")}).rc, 0);
    std::string f = path("a.db");
    Result p = pmdb({"put", f, "people", "Ann\\x00", "--key", "0=ann", "--key", "1=42"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.out, "10000000\n");
    EXPECT_EQ(pmdb({"put", f, "1", "426f62", "--hex", "--key", "0=bob", "--key", "1=42"}).out, "10000001\n");
    EXPECT_EQ(pmdb({"get", f, "people.1", "42"}).out,
              "1.1 42 10000000 \"Ann\\x00\"\n1.1 42 10000001 \"Bob\"\n");
    // Refused before anything changes: a value the unique subkey holds, a
    // bad value, an unknown file name, a rid in use.
    std::string before = pmdb({"dump", f}).out;
    Result d = pmdb({"put", f, "people", "x", "--key", "0=ann"});
    EXPECT_EQ(d.rc, 1);
    EXPECT_TRUE(has(d.err, "duplicate value: key 1.0 \"ann\" is held by rid 10000000")) << d.err;
    EXPECT_EQ(pmdb({"put", f, "people", "x", "--key", "1=many"}).rc, 2);
    EXPECT_TRUE(has(pmdb({"put", f, "staff", "x"}).err, "no logical file is named 'staff'"));
    EXPECT_EQ(pmdb({"put", f, "people", "x", "--rid", "10000001"}).rc, 1);
    EXPECT_EQ(pmdb({"dump", f}).out, before);
    EXPECT_EQ(pmdb({"put", f, "people", "z", "--rid", "10000300", "--key", "0=zed"}).out, "10000300\n");

    // Delete with the keys named, or found by walking the file's subkeys.
    EXPECT_EQ(pmdb({"delete", f, "10000001", "--key", "0=nobody"}).rc, 1);
    Result d1 = pmdb({"delete", f, "10000001", "--key", "0=bob", "--key", "1=42"});
    EXPECT_EQ(d1.rc, 0) << d1.err;
    EXPECT_EQ(d1.out, f + ": deleted record 10000001 and 2 keys\n");
    Result d2 = pmdb({"delete", f, "0x10000000"});
    EXPECT_EQ(d2.out, f + ": deleted record 10000000 and 2 keys\n");
    EXPECT_EQ(pmdb({"delete", f, "10000000"}).rc, 1);
    EXPECT_EQ(pmdb({"scan", f, "people.0", "--count"}).out, "1\n");
    EXPECT_EQ(pmdb({"scan", f, "1.1", "--count"}).out, "0\n");
    Result c = pmdb({"check", f});
    EXPECT_EQ(c.rc, 0) << c.out;
    EXPECT_TRUE(has(c.out, "0 warnings")) << c.out;
}

TEST_F(DbTest, ErrorsAreOneLineAndFailedOutputFails) {
    ASSERT_EQ(pmdb({"create", path("a.db")}).rc, 0);
    mkdir(path("adir").c_str(), 0777);
    EXPECT_EQ(pmdb({"info", path("adir")}).err, "pmdb info: " + path("adir") + ": Is a directory\n");
    EXPECT_EQ(pmdb({"dump", path("adir")}).err, "pmdb dump: " + path("adir") + ": Is a directory\n");
    EXPECT_EQ(pmdb({"check", path("nope")}).err, "pmdb check: " + path("nope") + ": No such file or directory\n");
    Result c = pmdb({"create", path("nodir/x.db")});
    EXPECT_EQ(c.err.substr(0, c.err.find('\n')),
              "pmdb create: " + path("nodir/x.db") + ": cannot be created: No such file or directory");
    // Standard output on a full disk: the command fails and says so.
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    FILE *err = tmpfile();
    std::string file = path("a.db");
    std::vector<char *> argv = {(char *)"pmdb", (char *)"dump", &file[0], nullptr};
    EXPECT_EQ(pmdbtool::pmdbmain(3, argv.data(), full, err), 1);
    fclose(full);
    EXPECT_EQ(pmdbtest::slurp(err), "pmdb dump: standard output: No space left on device\n");
}

TEST_F(DbTest, SalvageWritesWhatCanBeReadAndLoads) {
    Model m;
    workload(path("a.db"), 5, 600, &m);
    if (HasFatalFailure()) return;
    Result good = pmdb({"dump", path("a.db"), "--salvage"});
    EXPECT_EQ(good.rc, 0) << good.err;
    EXPECT_EQ(good.out, pmdb({"dump", path("a.db")}).out);
    // Break a leaf and the slot of one record.
    pmdbtool::Image im;
    std::string why;
    ASSERT_EQ(pmdbtool::loadimage(path("a.db"), &im, &why), pmdbtool::IMAGE_OK);
    pmdbtool::Survey sv;
    pmdbtool::survey(im, &sv, false);
    uint32_t leaf = 0;
    for (uint32_t b = 2; b < sv.role.size() && leaf == 0; b++)
        if (sv.role[b] == pmdbtool::ROLE_KEY && im.block(b)[9] == 0) leaf = b;
    ASSERT_NE(leaf, 0u);
    pmdbtest::corruptat(path("a.db"), (long)leaf * 1024 + 8, {0x55});
    uint32_t rid = m.recs.begin()->first;
    pmdbtest::corruptat(path("a.db"), 1024 + 4 * (rid & 255), {0xff, 0xff, 0x3f, (uint8_t)(rid >> 24)});
    EXPECT_EQ(pmdb({"dump", path("a.db")}).rc, 1);
    Result s = pmdb({"dump", path("a.db"), "--salvage"});
    EXPECT_EQ(s.rc, 1);
    EXPECT_TRUE(has(s.err, "warning: block " + std::to_string(leaf) + ": neither a data block nor a key block")) << s.err;
    // The record is found in its block although its slot is damaged.
    EXPECT_TRUE(has(s.err, "record " + pmdbtool::ridtext(rid) + " found in block ")) << s.err;
    EXPECT_TRUE(has(s.out, "rec 1 " + pmdbtool::ridtext(rid) + " ")) << s.err;
    writetext(path("s.dump"), s.out);
    Result l = pmdb({"load", path("b.db"), path("s.dump")});
    EXPECT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(pmdb({"check", path("b.db")}).rc, 0);
}

// ---- info ------------------------------------------------------------------

TEST_F(DbTest, InfoFiguresMatchWhatWasPutIn) {
    writetext(path("s.txt"), SCHEMA);
    ASSERT_EQ(pmdb({"create", path("a.db"), "--schema", path("s.txt")}).rc, 0);
    std::vector<uint32_t> rids;
    {
        Open db(path("a.db"));
        std::string rec(100, 'z');
        for (int i = 0; i < 600; i++) {
            uint32_t rid = fsadd(db.inst, db.fs, rec.data(), (short)rec.size(), i % 3 ? 0x10 : 0x20);
            ASSERT_NE(rid, 0u);
            rids.push_back(rid);
            if (i % 3) {
                int32_t v = i;
                ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x11, rid, 4, &v));
            }
            if (i % 3 == 0 && i % 2 == 0) {
                int16_t s = (int16_t)i;
                ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x20, rid, 2, &s));
            }
        }
        for (int i = 1; i < 60; i += 3) ASSERT_TRUE(fsdelete(db.inst, db.fs, rids[i]));  // file 1
        fsstorebusinessdate(db.inst, db.fs, 20261208);
        fsstorecannumber(db.inst, db.fs, 777);
        fssetappstat(db.inst, db.fs, 1);
    }
    Result j = pmdb({"info", path("a.db"), "--json"});
    ASSERT_EQ(j.rc, 0) << j.err;
    auto size = pmdbtest::readfile(path("a.db")).size();
    EXPECT_TRUE(has(j.out, "\"size\":" + std::to_string(size) + ",\"blocks\":" + std::to_string(size / 1024)));
    EXPECT_TRUE(has(j.out, "\"numusers\":0"));
    EXPECT_TRUE(has(j.out, "\"businessdate\":20261208,\"counter\":777,\"appstat\":1"));
    EXPECT_TRUE(has(j.out, "{\"file\":1,\"name\":\"people\",\"rlen\":40,\"records\":380,"));
    EXPECT_TRUE(has(j.out, "{\"file\":2,\"name\":\"things\",\"rlen\":0,\"records\":200,"));
    EXPECT_TRUE(has(j.out, "{\"subkey\":1,\"keytype\":\"long\",\"dup\":true,\"keys\":400}"));
    EXPECT_TRUE(has(j.out, "{\"subkey\":0,\"keytype\":\"short\",\"dup\":false,\"keys\":100}"));
    EXPECT_TRUE(has(j.out, ",\"keys\":500,\"damaged\":false}"));
    EXPECT_TRUE(has(j.out, "\"used\":580,"));
    EXPECT_TRUE(has(j.out, "{\"file\":3,\"name\":\"name sp\",\"rlen\":7,\"records\":0,\"frid\":4294967295,\"lrid\":0,"));
    EXPECT_FALSE(has(j.out, "{\"file\":4,"));

    Result t = pmdb({"info", path("a.db")});
    ASSERT_EQ(t.rc, 0);
    EXPECT_TRUE(has(t.out, "   1 people          rlen 40    records 380, frid 10000002 lrid 10000257\n"));
    EXPECT_TRUE(has(t.out, "       1.1  long     dup    400 keys\n"));
    EXPECT_TRUE(has(t.out, "   3 name\\x20sp      rlen 7     records 0\n"));
    EXPECT_TRUE(has(t.out, "translation     "));
    EXPECT_TRUE(has(t.out, "580 used"));
    EXPECT_TRUE(has(t.out, "height "));

    // An empty database; and a file that is not one.
    ASSERT_EQ(pmdb({"create", path("e.db")}).rc, 0);
    Result e = pmdb({"info", path("e.db")});
    EXPECT_TRUE(has(e.out, "none in use"));
    EXPECT_TRUE(has(e.out, "key tree        empty"));
    EXPECT_TRUE(has(e.out, "1 blocks, 256 slots: 0 used, 256 free"));
    pmdbtest::writefile(path("junk.db"), std::vector<uint8_t>(5000, 0x41));
    EXPECT_EQ(pmdb({"info", path("junk.db")}).rc, 2);
}

// ---- get and scan ------------------------------------------------------------

TEST_F(DbTest, GetAndScanPrintKeysWithTheirRecords) {
    writetext(path("s.txt"), "1 words 8\n1.0 char dup\n1.1 short unique\n");
    ASSERT_EQ(pmdb({"create", path("a.db"), "--schema", path("s.txt")}).rc, 0);
    const char *words[] = {"b", "ab", "abd", "abc", "ab", "a\x01", "aa"};
    std::vector<uint32_t> rids;
    {
        Open db(path("a.db"));
        for (int i = 0; i < 7; i++) {
            std::string rec = std::string("rec ") + words[i];
            uint32_t rid = fsadd(db.inst, db.fs, rec.data(), (short)rec.size(), 0x10);
            rids.push_back(rid);
            ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x10, rid, (short)strlen(words[i]), words[i]));
            int16_t s = (int16_t)(i * 1000 - 3000);
            ASSERT_TRUE(fsaddkey(db.inst, db.fs, 0x11, rid, 2, &s));
        }
    }
    std::string f = path("a.db");
    Result g = pmdb({"get", f, "1.0", "ab"});
    EXPECT_EQ(g.rc, 0);
    EXPECT_EQ(g.out, "1.0 \"ab\" 10000001 \"rec ab\"\n1.0 \"ab\" 10000004 \"rec ab\"\n");
    EXPECT_EQ(pmdb({"get", f, "1.0", "a\\x01"}).out, "1.0 \"a\\x01\" 10000005 \"rec a\\x01\"\n");
    EXPECT_EQ(pmdb({"get", f, "1.0", "\"abd\"", "--hex"}).out, "1.0 \"abd\" 10000002 72656320616264\n");
    EXPECT_EQ(pmdb({"get", f, "1.1", "-1000"}).out, "1.1 -1000 10000002 \"rec abd\"\n");
    Result none = pmdb({"get", f, "1.0", "a"});
    EXPECT_EQ(none.rc, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_TRUE(has(none.err, "no key 1.0 of value \"a\""));
    EXPECT_EQ(pmdb({"get", f, "1.1", "x"}).rc, 2);
    EXPECT_EQ(pmdb({"get", f, "1.x", "1"}).rc, 2);

    auto values = [](const std::string &out) {
        std::vector<std::string> v;
        for (const std::string &l : lines(out)) v.push_back(l.substr(4, l.find(' ', 4) - 4) + "@" + l.substr(l.find(' ', 4) + 1, 8));
        return v;
    };
    using V = std::vector<std::string>;
    V all = {"\"a\\x01\"@10000005", "\"aa\"@10000006", "\"ab\"@10000001", "\"ab\"@10000004",
             "\"abc\"@10000003", "\"abd\"@10000002", "\"b\"@10000000"};
    EXPECT_EQ(values(pmdb({"scan", f, "1.0"}).out), all);
    V rev(all.rbegin(), all.rend());
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--reverse"}).out), rev);
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "ab"}).out), V(all.begin() + 2, all.end()));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "aba"}).out), V(all.begin() + 4, all.end()));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "abd", "--reverse"}).out), V(rev.begin() + 1, rev.end()));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "abcd", "--reverse", "--limit", "3"}).out),
              V(rev.begin() + 2, rev.begin() + 5));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "ab", "--reverse"}).out), V(rev.begin() + 3, rev.end()));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "\"\"", "--reverse"}).out), V{});
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "\"\""}).out), all);
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--from", "c"}).out), V{});
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--limit", "0"}).out), V{});
    V shorts = {"-3000@10000000", "-2000@10000001", "-1000@10000002", "0@10000003",
                "1000@10000004", "2000@10000005", "3000@10000006"};
    EXPECT_EQ(values(pmdb({"scan", f, "1.1"}).out), shorts);
    EXPECT_EQ(values(pmdb({"scan", f, "1.1", "--reverse", "--from", "-1"}).out),
              (V{"-1000@10000002", "-2000@10000001", "-3000@10000000"}));
    EXPECT_EQ(values(pmdb({"scan", f, "1.1", "--from", "-1000", "--limit", "2"}).out),
              (V{"-1000@10000002", "0@10000003"}));
    EXPECT_EQ(pmdb({"scan", f, "2.0"}).out, "");
    // Bounds, prefixes, counts, and the file by its name.
    EXPECT_EQ(values(pmdb({"scan", f, "words.0", "--from", "aa", "--to", "abc"}).out), V(all.begin() + 1, all.begin() + 5));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--to", "ab", "--reverse"}).out), V(rev.begin(), rev.begin() + 5));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--prefix", "ab"}).out), V(all.begin() + 2, all.begin() + 6));
    EXPECT_EQ(values(pmdb({"scan", f, "1.0", "--prefix", "ab", "--reverse"}).out), V(rev.begin() + 1, rev.begin() + 5));
    EXPECT_EQ(pmdb({"scan", f, "1.0", "--prefix", "a", "--count"}).out, "6\n");
    EXPECT_EQ(pmdb({"scan", f, "1.1", "--from", "-2000", "--to", "1500", "--count"}).out, "4\n");
    EXPECT_EQ(pmdb({"scan", f, "1.1", "--prefix", "1"}).rc, 2);
    EXPECT_TRUE(has(pmdb({"scan", f, "people.1"}).err, "no logical file is named 'people'"));

    // A key whose record is gone is shown without one.
    {
        Open db(f);
        ASSERT_TRUE(fsdelete(db.inst, db.fs, rids[0]));
    }
    EXPECT_EQ(pmdb({"get", f, "1.0", "b"}).out, "1.0 \"b\" 10000000 (no record)\n");
    Result c = pmdb({"check", f});
    EXPECT_EQ(c.rc, 0);
    EXPECT_TRUE(has(c.out, "warning: block ")) << c.out;
    EXPECT_TRUE(has(c.out, "key 1.0 \"b\" rid 10000000 names no live record")) << c.out;
    EXPECT_TRUE(has(c.out, "key 1.1 -3000 rid 10000000 names no live record")) << c.out;
}

// ---- the demo ------------------------------------------------------------------

TEST_F(DbTest, DemoBuildsADatabaseThatChecks) {
    Result d = pmdb({"demo", dir_, "--scale", "3"});
    ASSERT_EQ(d.rc, 0) << d.out << d.err;
    for (const char *part : {"  load ", "  lookups ", "  walks ", "  rewrites ", "  deletions ", "  report ",
                             "largest orders", "turnover by quarter", "report for business date 01.01.2027",
                             "pmdb info ", "pmdb check ", "demo.pmdb: ok, 0 problems, 0 warnings"})
        EXPECT_TRUE(has(d.out, part)) << part;
    EXPECT_EQ(pmdb({"check", path("demo.pmdb")}).rc, 0);
    // DIR is made, with the folders above it; a file in the way is told.
    Result made = pmdb({"demo", path("new/sub"), "--scale", "1"});
    EXPECT_EQ(made.rc, 0) << made.err;
    EXPECT_TRUE(pmdbtool::fileexists(path("new/sub/demo.pmdb")));
    writetext(path("afile"), "x");
    Result notdir = pmdb({"demo", path("afile/sub")});
    EXPECT_EQ(notdir.rc, 1);
    EXPECT_EQ(notdir.err, "pmdb demo: " + path("afile") + ": Not a directory\n");
}

}  // namespace
