// tooltestutil.h - running the pmdb tool in-process for its tests: both
// tool test programs drive pmdbmain() the same way and read what it wrote,
// so the driver lives here once.
#ifndef PMDB_TOOLTESTUTIL_H
#define PMDB_TOOLTESTUTIL_H

#include <stdio.h>

#include <string>
#include <vector>

#include "pmdbtool.h"

namespace pmdbtest {

struct Result {
    int rc;
    std::string out, err;
};

// All that was written to a temporary file; closes it.
inline std::string slurp(FILE *f) {
    std::string s;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

// Runs `pmdb args...`; temporary files stand in for stdout and stderr so
// that a test sees exactly what the tool wrote to each.
inline Result pmdb(std::vector<std::string> args) {
    args.insert(args.begin(), "pmdb");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    FILE *out = tmpfile(), *err = tmpfile();
    Result r;
    r.rc = pmdbtool::pmdbmain((int)args.size(), argv.data(), out, err);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

inline bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace pmdbtest

#endif
