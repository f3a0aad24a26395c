// testutil.h - shared test fixture and helpers: every test runs in a fresh
// temporary directory (the error log lands in the current directory), with
// the fault injector and the error state cleared.
#ifndef PMDB_TESTUTIL_H
#define PMDB_TESTUTIL_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "fss/cache.h"
#include "fss/errors.h"
#include "fss/fsdata.h"
#include "platform/platform.h"
#include "pmdblib.h"

namespace pmdbtest {

// Is this the sanitizer build? Randomized tests run smaller there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

class DbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Path of a file inside the test's directory.
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    // Creates a database (freq 20 unless given) and opens it writable.
    FS *createopen(const std::string &name, short freq = 20);
    pmdb::FSDATA *data(FS *fs) const { return pmdb::getfsdata(fs); }

    std::string dir_;
    std::string olddir_;
};

// No store below the sixteen buffers (fssetcache 0): every flush between
// unlocks sends its blocks to the file at once, through the journal, so a
// failed write meets the calls that hand changes down, as it would when a
// transaction outgrows the store.
void nostore(FS *fs);

std::vector<uint8_t> readfile(const std::string &path);
void writefile(const std::string &path, const std::vector<uint8_t> &bytes);
// Overwrites bytes of a file at an offset (to make damaged files).
void corruptat(const std::string &path, long offset, const std::vector<uint8_t> &bytes);
// The error ring, newest last.
std::vector<int16_t> errors();
// Was e recorded in the ring since the last clearerrors()?
bool recorded(int16_t e);
// Runs body in a child process, so that a crash (or a sanitizer report)
// fails the test instead of ending the run: "ok" when body returned and
// made no failed EXPECT, otherwise how the child ended.
std::string inchild(const std::function<void()> &body);

}  // namespace pmdbtest

#endif
