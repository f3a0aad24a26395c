// testutil.cc - the shared fixture: a fresh directory per test.
#include "testutil.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pmdbtest {

void DbTest::SetUp() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    olddir_ = cwd;
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/pmdbtestXXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    pmdb::plat_faultreset();
    pmdb::clearerrors();
}

void DbTest::TearDown() {
    pmdb::plat_faultreset();
    // A test that failed half-way may leave databases open: close their
    // files so the next test starts with an empty table.
    for (auto &e : pmdb::fsdataary) {
        if (e != nullptr) {
            pmdb::pagerclose(e, true);
            pmdb::plat_close(e->fsp);
            pmdb::plat_free(e);
            e = nullptr;
        }
    }
    for (auto &e : pmdb::instanceinuse) e = 0;
    if (chdir(olddir_.c_str()) != 0) return;
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) return;
}

FS *DbTest::createopen(const std::string &name, short freq) {
    std::string p = path(name);
    if (!fscreatedatabase(p.c_str(), freq)) return nullptr;
    return fsopen(0, p.c_str(), 1, 0);
}

void nostore(FS *fs) { ASSERT_EQ(fssetcache(0, fs, 0), 1); }

std::vector<uint8_t> readfile(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

void writefile(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

void corruptat(const std::string &path, long offset, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "r+b");
    if (!f) return;
    fseek(f, offset, SEEK_SET);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::vector<int16_t> errors() {
    std::vector<int16_t> out;
    int16_t i = pmdb::errindex();
    for (int k = 0; k < 10; k++) {
        int16_t e = pmdb::err[(i + k) % 10];
        if (e != 0) out.push_back(e);
    }
    return out;
}

std::string inchild(const std::function<void()> &body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 3 : 0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return "wait failed";
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) == 3) return "a check failed in the child";
    if (WEXITSTATUS(status) != 0) return "exit status " + std::to_string(WEXITSTATUS(status));
    return "ok";
}

bool recorded(int16_t e) {
    for (int16_t x : pmdb::err)
        if (x == e) return true;
    return false;
}

}  // namespace pmdbtest
