// check_fuzz.cc - the pmdb tool's check (and info) on a database image.
// The tool reads the file's bytes itself and through a read-only open, so
// whatever the image holds it must answer with an exit code, never crash
// or hang, and never change the file.
#include <string>
#include <vector>

#include "fuzzutil.h"
#include "pmdbtool.h"

using namespace pmdbfuzz;

namespace {

const char IMAGE[] = "check.db";
FILE *devnull;

int run(std::vector<std::string> args) {
    args.insert(args.begin(), "pmdb");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return pmdbtool::pmdbmain((int)args.size(), argv.data(), devnull, devnull);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    scratchdir();
    devnull = fopen("/dev/null", "w");
    if (devnull == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    writefile(IMAGE, data, size);
    int rc = run({"check", IMAGE});
    FUZZCHECK(rc >= 0 && rc <= 2, "check exits with %d", rc);
    (void)run({"info", IMAGE});
    FUZZCHECK(fileis(IMAGE, data, size), "the tool changed the file");
    return 0;
}
