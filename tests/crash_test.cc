// crash_test.cc - crash safety, tested by killing real processes. A child
// runs batches of adds, rewrites, deletes and key changes, each batch under
// a lock, and is killed (SIGKILL) just before its k-th write to the
// database or its journal (so also inside a commit and inside a spill), or
// at a random moment. Then `pmdb check` must pass, the database must open,
// and it must hold exactly the batches whose unlock returned (or one more:
// the one whose commit was done when the kill came), nothing of the others.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "kvtestutil.h"

using namespace pmdbtest;

namespace {

constexpr int BATCHES = 8;
constexpr int OPS = 100;
constexpr unsigned SEED = 11;

long writes, killat;
void killhook(int, uint64_t, size_t) {
    if (++writes == killat) kill(getpid(), SIGKILL);
}

struct Config {
    const char *name;
    uint32_t cachekib;   // 0 = the default store
    int16_t sync;
};

// The child's work: every batch committed, its number written to report.
// Returns the number of batches done (all, unless a call failed).
int work(const std::string &path, const Config &c, int report) {
    FS *fs = fsopen(0, path.c_str(), 0, 0);
    if (fs == nullptr) return -1;
    if (c.cachekib) fssetcache(0, fs, c.cachekib);
    fssetsync(0, fs, c.sync);
    kvmodel m;
    std::mt19937 rng(SEED);
    int b = 0;
    while (b < BATCHES) {
        fslock(0, fs, nullptr);
        if (!kvbatch(fs, &m, &rng, OPS) || !fsunlock(0, fs)) break;
        b++;
        if (report >= 0 && write(report, &b, sizeof b) != sizeof b) break;
    }
    fsclose(0, fs);
    return b;
}

}  // namespace

class CrashTest : public DbTest {
protected:
    // Runs the child until killed; the batches it reported committed.
    int crash(const std::string &path, const Config &c, long at, long delayus) {
        int fds[2];
        if (pipe(fds) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            writes = 0;
            killat = at;
            if (at > 0) pmdb::plat_setwritehook(killhook);
            _exit(work(path, c, fds[1]) == BATCHES ? 0 : 3);
        }
        close(fds[1]);
        if (delayus >= 0) {
            usleep((useconds_t)delayus);
            kill(pid, SIGKILL);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        int last = 0, b;
        while (read(fds[0], &b, sizeof b) == sizeof b) last = b;
        close(fds[0]);
        EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "the child failed by itself: " << status;
        return last;
    }

    // After the crash: the tool's check (which rolls a hot journal back
    // first) and the library both find the database whole and in state
    // last or last + 1.
    void verify(const std::string &path, int last, bool toolfirst, const std::string &what) {
        SCOPED_TRACE(what);
        std::string check = std::string("'") + PMDB_TOOL + "' check '" + path + "' > /dev/null 2>&1";
        if (toolfirst) {
            EXPECT_EQ(system(check.c_str()), 0) << "pmdb check fails";
        }
        FS *fs = fsopen(0, path.c_str(), 1, 0);
        ASSERT_NE(fs, nullptr) << "does not open";
        std::string diff = kvdiff(fs, states_[last]);
        if (!diff.empty() && last < BATCHES) {
            std::string next = kvdiff(fs, states_[last + 1]);
            if (next.empty()) diff = "";
        }
        EXPECT_EQ(diff, "") << "batches committed: " << last;
        fsclose(0, fs);
        if (!toolfirst) {
            EXPECT_EQ(system(check.c_str()), 0) << "pmdb check fails";
        }
    }

    void SetUp() override {
        DbTest::SetUp();
        states_ = kvstates(SEED, BATCHES, OPS);
    }

    std::vector<kvmodel> states_;
};

TEST_F(CrashTest, KilledAtEveryKindOfWriteLosesNoCommitAndKeepsNoPartOfALock) {
    const Config configs[] = {
        {"store", 0, 0},
        {"spills (a store of 16 blocks)", 16, 0},
        {"synced", 0, 1},
    };
    int trial = 0;
    for (const Config &c : configs) {
        // A run without a kill counts the writes to spread the kills over.
        std::string path = this->path("count.db");
        ASSERT_EQ(fscreatedatabase(path.c_str(), 20), 1);
        pmdb::plat_setwritehook(killhook);
        writes = 0;
        killat = -1;
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(work(path, c, -1), BATCHES);
        long us = (long)std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
        pmdb::plat_setwritehook(nullptr);
        long total = writes;
        ASSERT_GT(total, 4 * BATCHES);
        // A kill before every write (every few, when syncs make runs slow),
        // then a few at random moments, which may also cut a write short.
        long step = (c.sync ? 8 : c.cachekib ? 1 : 2) * (SANITIZED ? 3 : 1);
        std::mt19937 rng(7);
        for (long at = 1; at <= total + 4 * step; at += step, trial++) {
            path = this->path("t" + std::to_string(trial) + ".db");
            ASSERT_EQ(fscreatedatabase(path.c_str(), 20), 1);
            bool timed = at > total;
            int last = crash(path, c, timed ? 0 : at, timed ? (long)(rng() % (unsigned)(us + 1)) : -1);
            verify(path, last, trial % 2 == 0,
                   std::string(c.name) + (timed ? ", timed kill" : ", kill at write " + std::to_string(at)));
            if (HasFailure()) return;
        }
    }
}
