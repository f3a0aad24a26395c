// dump.cc - the `dump` command: a database through the library's exported
// calls as the lines of dumpformat.h, and the writer of those lines that
// dump, dump --salvage and their tests share.
#include <string.h>
#include <sys/stat.h>

#include <sstream>

#include "dumpformat.h"
#include "image.h"
#include "keyvalue.h"
#include "keywalk.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

constexpr int RECBUF = 65536;  // more than the longest record, 32767 bytes

// The value of a key as a JSON value: numbers as numbers (when finite),
// everything else as a string.
std::string jsonkeyvalue(int t, const std::string &v) {
    if (keytypewidth(t) == 0 || v.empty()) return jsonbytes(v);
    std::string text = formatkeyvalue(t, (const uint8_t *)v.data(), (int)v.size());
    if (text.find_first_not_of("0123456789+-.eE") != std::string::npos) return "\"" + text + "\"";
    return text;
}

const char *jsontypename(int t) { return t == NONETYPE ? NONETYPENAME : keytypename(t); }

}  // namespace

std::string ridtext(uint32_t rid) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", rid);
    return buf;
}

void DumpOut::header() {
    if (jsonl_)
        fprintf(o_, "{\"type\":\"header\",\"format\":\"pmdb-dump\",\"version\":%d}\n", DUMPVERSION);
    else
        fprintf(o_, "pmdb-dump %d\n", DUMPVERSION);
}

void DumpOut::schema(const Schema &s) {
    if (!jsonl_) {
        std::istringstream lines(formatschema(s));
        std::string line;
        while (std::getline(lines, line))
            if (!line.empty() && line[0] != '#') fprintf(o_, "schema %s\n", line.c_str());
        return;
    }
    fprintf(o_, "{\"type\":\"xblkfreq\",\"value\":%d}\n", s.xblkfreq);
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        const FileDef &f = s.f[n - 1];
        if (f.declared)
            fprintf(o_, "{\"type\":\"file\",\"file\":%d,\"name\":%s,\"rlen\":%d}\n", n, jsonbytes(f.name).c_str(),
                    f.rlen);
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++)
            if (f.sub[k].declared && jsontypename(f.sub[k].keytype))
                fprintf(o_, "{\"type\":\"subkey\",\"file\":%d,\"subkey\":%d,\"keytype\":\"%s\",\"dup\":%s}\n", n, k,
                        jsontypename(f.sub[k].keytype), f.sub[k].dup ? "true" : "false");
    }
}

void DumpOut::controls(const Controls &cv) {
    if (jsonl_) {
        fprintf(o_, "{\"type\":\"control\",\"counter\":%u,\"businessdate\":%u,\"appstat\":%d}\n", cv.counter,
                cv.businessdate, cv.appstat);
    } else {
        fprintf(o_, "control counter %u\ncontrol businessdate %u\ncontrol appstat %d\n", cv.counter,
                cv.businessdate, cv.appstat);
    }
}

void DumpOut::record(int file, uint32_t rid, const uint8_t *bytes, size_t n) {
    std::string hex = hexbytes(bytes, n);
    if (jsonl_)
        fprintf(o_, "{\"type\":\"record\",\"file\":%d,\"rid\":%u,\"hex\":\"%s\"}\n", file, rid, hex.c_str());
    else
        fprintf(o_, "rec %d %s %s\n", file, ridtext(rid).c_str(), hex.empty() ? "-" : hex.c_str());
    records_++;
}

void DumpOut::key(int file, int subkey, int t, uint32_t rid, const std::string &v) {
    if (jsonl_)
        fprintf(o_, "{\"type\":\"key\",\"file\":%d,\"subkey\":%d,\"rid\":%u,\"value\":%s}\n", file, subkey, rid,
                jsonkeyvalue(t, v).c_str());
    else
        fprintf(o_, "key %d.%d %s %s\n", file, subkey, ridtext(rid).c_str(),
                formatkeyvalue(t, (const uint8_t *)v.data(), (int)v.size()).c_str());
    keys_++;
}

void DumpOut::end() {
    if (jsonl_)
        fprintf(o_, "{\"type\":\"end\",\"records\":%llu,\"keys\":%llu}\n", (unsigned long long)records_,
                (unsigned long long)keys_);
    else
        fprintf(o_, "end %llu %llu\n", (unsigned long long)records_, (unsigned long long)keys_);
}

// Subkeys whose keys no key call can walk (a key type outside 0..8): said
// when they hold keys, rather than left out silently. Only then is the
// file surveyed, which reads it whole.
void warnunwalkable(Ctx &c, const std::string &path, const Schema &s, const char *what) {
    bool any = false;
    for (int n = 0; n < pmdb::NUMFILES; n++)
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) any |= keytypename(s.f[n].sub[k].keytype) == nullptr;
    if (!any) return;
    Image im;
    std::string why;
    if (loadimage(path, &im, &why) != IMAGE_OK) return;
    Survey sv;
    survey(im, &sv, false);
    for (int n = 0; n < pmdb::NUMFILES; n++)
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            int t = s.f[n].sub[k].keytype;
            if (keytypename(t) == nullptr && sv.keys[n][k] > 0)
                toolwarning(c, path,
                            "subkey " + std::to_string(n + 1) + "." + std::to_string(k) + " holds " +
                                std::to_string(sv.keys[n][k]) + " keys, but its key type " + std::to_string(t) +
                                " is none that the key calls read; they are not in the " + what);
        }
}

namespace {

int dumpdb(Ctx &c, const Db &db, bool jsonl) {
    const std::string &path = db.path();
    Schema s;
    Controls cv;
    clearliberrors();
    if (!readschema(db, &s) || !readspacing(path, &s.xblkfreq)) {
        liberror(c, path, "cannot read the schema");
        return EXIT_FAIL;
    }
    cv.counter = fsgetcannumber(db.inst(), db.fs(), 0);
    cv.businessdate = fsgetbusinessdate(db.inst(), db.fs());
    cv.appstat = fsgetappstat(db.inst(), db.fs());
    warnunwalkable(c, path, s, "dump");

    DumpOut out(c.out, jsonl);
    out.header();
    out.schema(s);
    out.controls(cv);
    std::vector<uint8_t> rec(RECBUF);
    // No walk visits more records than the file has slots, nor more keys
    // than its blocks hold (144 entries of 7 bytes or more each).
    struct stat st;
    uint64_t blocks = stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size / pmdb::BLKSIZE + 1 : 1;
    Progress progress(c, "dump", 0);
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        clearliberrors();
        uint64_t steps = 0;
        for (uint32_t rid = fsfirst(db.inst(), db.fs(), (uint8_t)(n << 4)); rid != 0;
             rid = fsnext(db.inst(), db.fs(), rid)) {
            if (++steps > blocks * 256) {
                toolerror(c, path, "the records of file " + std::to_string(n) + " do not end");
                return EXIT_FAIL;
            }
            clearliberrors();
            short len = fsread(db.inst(), db.fs(), rid, rec.data());
            if (len == 0 && liberrorsince()) {
                liberror(c, path, "cannot read record " + ridtext(rid) + " (dump --salvage skips what is damaged)");
                return EXIT_FAIL;
            }
            out.record(n, rid, rec.data(), (size_t)len);
            progress.step(out.records());
            if (out.records() % 1024 == 0 && out.failed()) return EXIT_FAIL;
            clearliberrors();
        }
        if (liberrorsince()) {
            liberror(c, path, "the walk of file " + std::to_string(n) + " failed");
            return EXIT_FAIL;
        }
    }
    for (int n = 1; n <= pmdb::NUMFILES; n++) {
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            uint8_t fid = (uint8_t)(n << 4 | k);
            int t = subkeytype(db, fid);
            if (t < 0) continue;
            clearliberrors();
            Found cur;
            int r = keyfirst(db, fid, &cur);
            uint64_t steps = 0;
            while (r == 1) {
                if (++steps > blocks * 144) {
                    toolerror(c, path, "the keys of subkey " + std::to_string(n) + "." + std::to_string(k) +
                                           " do not end");
                    return EXIT_FAIL;
                }
                out.key(n, k, t, cur.rid, cur.value);
                if (out.keys() % 1024 == 0 && out.failed()) return EXIT_FAIL;
                Found next;
                r = keynext(db, fid, cur, &next);
                cur = next;
            }
            if (r < 0) {
                liberror(c, path, "the walk of subkey " + std::to_string(n) + "." + std::to_string(k) + " failed");
                return EXIT_FAIL;
            }
        }
    }
    out.end();
    return out.failed() ? EXIT_FAIL : EXIT_OK;
}

}  // namespace

int cmddump(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "dump", argc, argv, {"salvage"}, {"format"}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1) return usage(c, "dump", "expected one FILE");
    std::string format = a.get("format", "text");
    if (format != "text" && format != "jsonl") return usage(c, "dump", "--format is text or jsonl");
    if (a.has("salvage")) return salvagedump(c, a.pos[0], format == "jsonl");
    Db db;
    if (!db.open(c, a.pos[0], true)) return EXIT_USAGE;
    return dumpdb(c, db, format == "jsonl");
}

}  // namespace pmdbtool
