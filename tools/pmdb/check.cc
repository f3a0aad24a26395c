// check.cc - the `check` command: a full, read-only integrity check.
//
// Three sources of findings, each a line naming the block:
//  1. the survey of the file's bytes (image.cc): the control block's own
//     fields and integrity tests, the file's length, the free-slot chain,
//     keys whose rid names no live record (warnings), and every block
//     accounted for exactly once (translation, data, key, free or orphan);
//  2. the library's record check (dbcheck): every live slot names a data
//     block that holds its record, every entry parses and unpacks and is
//     named by its slot, chains acyclic with each block on one chain and
//     carrying its number, frid and lrid exact;
//  3. the library's key tree checker (keycheck): order, separators,
//     levels, lengths and counts of every key block.
// The library checkers read through the cache of a read-only open, so
// nothing is ever written. Exit 0 clean, 1 problems, 2 not a database.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "fss/dbcheck.h"
#include "fss/keycheck.h"
#include "image.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

// Problem lines kept for printing: far more than anyone reads, and few
// enough that a file damaged in every block keeps the check's memory
// bounded. All are counted.
constexpr size_t KEPTLINES = 200000;

struct Findings {
    std::vector<std::string> lines;
    uint64_t dropped = 0;
    void add(std::string line) {
        if (lines.size() < KEPTLINES)
            lines.push_back(std::move(line));
        else
            dropped++;
    }
};

// "block N: what"; a text that already names its block keeps its own.
std::string blockline(uint32_t blk, const char *what) {
    std::string head = "block " + std::to_string(blk) + ": ";
    if (strncmp(what, head.c_str(), head.size()) == 0) return what;
    return head + what;
}

void fromdbcheck(void *ctx, uint32_t blk, const char *what) {
    static_cast<Findings *>(ctx)->add(blockline(blk, what));
}

void fromkeycheck(void *ctx, uint32_t blk, const char *text) {
    static_cast<Findings *>(ctx)->add(blockline(blk, text));
}

uint64_t blockof(const std::string &line) {
    if (line.compare(0, 6, "block ") != 0) return 0;
    return strtoull(line.c_str() + 6, nullptr, 10);
}

// Runs the library's checkers on a read-only open of the file. They walk
// every block up to lb; a damaged lb far beyond the file's end would have
// them try millions of blocks that are not there (each a problem), so
// their view ends at the last block the file really holds. The survey has
// told the claimed length once already.
void librarychecks(Ctx &c, const std::string &path, const Image &im, Findings *f) {
    Db db;
    if (!db.open(c, path, true)) {
        f->add("block 0: the library cannot open the file (see above)");
        return;
    }
    pmdb::FSDATA *fsdata = pmdb::getfsdata(db.fs());
    uint64_t real = im.filesize / pmdb::BLKSIZE;
    if (real > 0 && fsdata->fscb.lb > real - 1) fsdata->fscb.lb = (uint32_t)(real - 1);
    pmdb::dbcheck(fsdata, fromdbcheck, f);
    std::vector<uint8_t> seen(pmdb::keycheckmapbytes(fsdata) + 1, 0);
    pmdb::KCHECK chk;
    memset(&chk, 0, sizeof chk);
    chk.problem = fromkeycheck;
    chk.ctx = f;
    chk.seen = seen.data();
    chk.seenbytes = seen.size();
    pmdb::keycheck(fsdata, &chk);
    clearliberrors();
}

}  // namespace

int checkfile(Ctx &c, const std::string &path, uint64_t maxproblems, bool quiet) {
    // A journal left by a writer that died in a commit is rolled back first
    // (opening through the library does that), so that the check reads the
    // file as last committed.
    if (fileexists(path + "-journal")) {
        Db db;
        if (!db.open(c, path, true)) return EXIT_FAIL;
    }
    Image im;
    std::string why;
    if (loadimage(path, &im, &why) != IMAGE_OK) {
        toolerror(c, path, why);
        return EXIT_USAGE;
    }
    // The phases, for the progress line of a large file.
    Progress progress(c, "check", 3);
    progress.step(0);
    Survey s;
    survey(im, &s, true);
    Findings f;
    for (std::string &l : s.problems) f.add(std::move(l));
    progress.step(1);
    if (!s.stopped) librarychecks(c, path, im, &f);
    progress.done();
    // In block order, each finding once, so that two checkers that meet the
    // same fault print it once.
    std::stable_sort(f.lines.begin(), f.lines.end(),
                     [](const std::string &a, const std::string &b) { return blockof(a) < blockof(b); });
    std::vector<std::string> problems;
    std::unordered_set<std::string> seen;
    for (const std::string &l : f.lines)
        if (seen.insert(l).second) problems.push_back(l);
    uint64_t nproblems = problems.size() + f.dropped;

    if (!quiet) {
        uint64_t shown = 0;
        for (const std::string &l : problems)
            if (shown++ < maxproblems) fprintf(c.out, "%s\n", l.c_str());
        if (nproblems > maxproblems)
            fprintf(c.out, "... %llu more problems\n", (unsigned long long)(nproblems - std::min<uint64_t>(maxproblems, problems.size())));
        shown = 0;
        for (const std::string &l : s.warnings)
            if (shown++ < maxproblems) fprintf(c.out, "warning: %s\n", l.c_str());
        if (s.warnings.size() > maxproblems)
            fprintf(c.out, "... %llu more warnings\n", (unsigned long long)(s.warnings.size() - maxproblems));
    }
    uint32_t counts[5] = {};  // translation, data, key, free, other
    for (uint32_t b = 1; b < s.role.size(); b++) {
        uint16_t r = s.role[b];
        if (r & ROLE_XLATE)
            counts[0]++;
        else if (r & ROLE_KEY)
            counts[2]++;
        else if (r & chainrole(0))
            counts[3]++;
        else if (r != 0)
            counts[1]++;
        else
            counts[4]++;
    }
    fprintf(c.out,
            "%s: %s, %llu problem%s, %zu warning%s (%u blocks: %u translation, %u data, %u key, %u free, "
            "%u unclaimed)\n",
            path.c_str(), nproblems == 0 ? "ok" : "DAMAGED", (unsigned long long)nproblems, nproblems == 1 ? "" : "s",
            s.warnings.size(), s.warnings.size() == 1 ? "" : "s", s.lastblk + 1, counts[0], counts[1], counts[2],
            counts[3], counts[4]);
    return nproblems == 0 ? EXIT_OK : EXIT_FAIL;
}

int cmdcheck(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "check", argc, argv, {"quiet"}, {"max-problems"}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1) return usage(c, "check", "expected one FILE");
    uint64_t maxp = 100;
    if (a.has("max-problems") && !parseuint(a.get("max-problems"), UINT32_MAX, &maxp))
        return usage(c, "check", "--max-problems takes a number");
    return checkfile(c, a.pos[0], maxp, a.has("quiet"));
}

}  // namespace pmdbtool
