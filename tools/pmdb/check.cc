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
#include <vector>

#include "fss/dbcheck.h"
#include "fss/keycheck.h"
#include "image.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

struct Findings {
    std::vector<std::string> lines;
};

// "block N: what"; a text that already names its block keeps its own.
std::string blockline(uint32_t blk, const char *what) {
    std::string head = "block " + std::to_string(blk) + ": ";
    if (strncmp(what, head.c_str(), head.size()) == 0) return what;
    return head + what;
}

void fromdbcheck(void *ctx, uint32_t blk, const char *what) {
    static_cast<Findings *>(ctx)->lines.push_back(blockline(blk, what));
}

void fromkeycheck(void *ctx, uint32_t blk, const char *text) {
    static_cast<Findings *>(ctx)->lines.push_back(blockline(blk, text));
}

uint64_t blockof(const std::string &line) {
    if (line.compare(0, 6, "block ") != 0) return 0;
    return strtoull(line.c_str() + 6, nullptr, 10);
}

// Runs the library's checkers on a read-only open of the file.
void librarychecks(Ctx &c, const std::string &path, Findings *f) {
    Db db;
    if (!db.open(c, path, true)) {
        f->lines.push_back("block 0: the library cannot open the file (see above)");
        return;
    }
    pmdb::FSDATA *fsdata = pmdb::getfsdata(db.fs());
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
    Image im;
    std::string why;
    if (loadimage(path, &im, &why) != IMAGE_OK) {
        toolerror(c, "check: " + why);
        return EXIT_USAGE;
    }
    // The phases, for the progress line of a large file.
    Progress progress(c, "check", 3);
    progress.step(0);
    Survey s;
    survey(im, &s, true);
    Findings f;
    f.lines = s.problems;
    progress.step(1);
    if (!s.stopped) librarychecks(c, path, &f);
    progress.done();
    // In block order, each finding once, so that two checkers that meet the
    // same fault print it once.
    std::stable_sort(f.lines.begin(), f.lines.end(),
                     [](const std::string &a, const std::string &b) { return blockof(a) < blockof(b); });
    std::vector<std::string> problems;
    for (const std::string &l : f.lines)
        if (std::find(problems.begin(), problems.end(), l) == problems.end()) problems.push_back(l);

    if (!quiet) {
        uint64_t shown = 0;
        for (const std::string &l : problems)
            if (shown++ < maxproblems) fprintf(c.out, "%s\n", l.c_str());
        if (problems.size() > maxproblems)
            fprintf(c.out, "... %llu more problems\n", (unsigned long long)(problems.size() - maxproblems));
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
            "%s: %s, %zu problem%s, %zu warning%s (%u blocks: %u translation, %u data, %u key, %u free, "
            "%u unclaimed)\n",
            path.c_str(), problems.empty() ? "ok" : "DAMAGED", problems.size(), problems.size() == 1 ? "" : "s",
            s.warnings.size(), s.warnings.size() == 1 ? "" : "s", s.lastblk + 1, counts[0], counts[1], counts[2],
            counts[3], counts[4]);
    return problems.empty() ? EXIT_OK : EXIT_FAIL;
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
