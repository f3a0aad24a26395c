// writerlock_test.cc - one writer at a time across processes: a second
// writing process is refused (also after the first committed many times,
// each commit closing and reopening its file), readers are not, the same
// process may open its file twice, and a reader leaves a live writer's
// journal alone.
#include <sys/wait.h>
#include <unistd.h>

#include "kvtestutil.h"

using namespace pmdbtest;

namespace {

// A process that works on a database at its parent's word: each command
// byte is answered with one byte ('y' done, 'n' refused or failed).
class Child {
public:
    explicit Child(const std::string &path) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(down[1]);
            close(up[0]);
            serve(path, down[0], up[1]);
            _exit(0);
        }
        close(down[0]);
        close(up[1]);
        to_ = down[1];
        from_ = up[0];
    }
    ~Child() {
        close(to_);   // the child closes its database and ends
        close(from_);
        int status;
        waitpid(pid_, &status, 0);
    }
    // o open writable, c commit 50 adds, s change enough under a lock to
    // send blocks out early (the journal is then live), u unlock, x close.
    char ask(char cmd) {
        char r = '?';
        if (write(to_, &cmd, 1) != 1 || read(from_, &r, 1) != 1) return '?';
        return r;
    }

private:
    static void serve(const std::string &path, int in, int out) {
        FS *fs = nullptr;
        kvmodel m;
        std::mt19937 rng(9);
        char cmd;
        while (read(in, &cmd, 1) == 1) {
            bool ok = true;
            if (cmd == 'o') {
                fs = fsopen(0, path.c_str(), 1, 0);
                ok = fs != nullptr;
            } else if (cmd == 'c') {
                for (int k = 0; k < 50 && ok; k++)
                    ok = fslock(0, fs, nullptr) && fsadd(0, fs, "x", 1, 0x10) != 0 && fsunlock(0, fs);
            } else if (cmd == 's') {
                ok = fssetcache(0, fs, 4) && fslock(0, fs, nullptr) && kvbatch(fs, &m, &rng, 800) &&
                     pmdb::getfsdata(fs)->pager.journal.live;
            } else if (cmd == 'u') {
                ok = fsunlock(0, fs) == 1;
            } else if (cmd == 'x') {
                fsclose(0, fs);
                fs = nullptr;
            }
            char r = ok ? 'y' : 'n';
            if (write(out, &r, 1) != 1) break;
        }
        if (fs != nullptr) fsclose(0, fs);
    }
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
};

size_t records(FS *fs) {
    size_t n = 0;
    for (uint32_t r = fsfirst(0, fs, 0x10); r != 0; r = fsnext(0, fs, r)) n++;
    return n;
}

}  // namespace

TEST_F(DbTest, ASecondWritingProcessIsRefusedReadersAreNot) {
    std::string p = path("a.db");
    ASSERT_EQ(fscreatedatabase(p.c_str(), 20), 1);
    {
        Child writer(p);
        ASSERT_EQ(writer.ask('o'), 'y');
        for (int round = 0; round < 2; round++) {
            pmdb::clearerrors();
            EXPECT_EQ(fsopen(0, p.c_str(), 1, 0), nullptr);
            EXPECT_EQ(fsgeterrno(), 12);
            EXPECT_EQ(errors(), std::vector<int16_t>({1700}));
            EXPECT_EQ(std::string(fsgetmsg()).rfind("open for writing in another process", 0), 0u);
            FS *reader = fsopen(0, p.c_str(), 1, 1);
            ASSERT_NE(reader, nullptr);
            EXPECT_EQ(records(reader), round * 50u);
            fsclose(0, reader);
            // Fifty commits, each closing and reopening the writer's file.
            ASSERT_EQ(writer.ask('c'), 'y');
        }
        // Once the writer has closed, another may write.
        ASSERT_EQ(writer.ask('x'), 'y');
        FS *fs = fsopen(0, p.c_str(), 1, 0);
        ASSERT_NE(fs, nullptr);
        EXPECT_EQ(records(fs), 100u);
        EXPECT_EQ(pmdb::dbcheck(data(fs), nullptr, nullptr), 0u);
        ASSERT_EQ(writer.ask('o'), 'n');
        fsclose(0, fs);
    }
}

TEST_F(DbTest, OneProcessMayOpenItsFileTwice) {
    std::string p = path("a.db");
    ASSERT_EQ(fscreatedatabase(p.c_str(), 20), 1);
    Child other(p);
    FS *a = fsopen(0, p.c_str(), 1, 0), *b = fsopen(0, p.c_str(), 1, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(other.ask('o'), 'n');
    {
        // A child forked while the parent writes does not inherit the right
        // to write: the lock is the parent's.
        Child forked(p);
        EXPECT_EQ(forked.ask('o'), 'n');
    }
    fsclose(0, a);
    EXPECT_EQ(other.ask('o'), 'n') << "the second open still holds the lock";
    ASSERT_NE(fsadd(0, b, "x", 1, 0x10), 0u);
    ASSERT_EQ(fsunlock(0, b), 1);
    fsclose(0, b);
    EXPECT_EQ(other.ask('o'), 'y');
}

TEST_F(DbTest, AReaderLeavesALiveWritersJournalAlone) {
    std::string p = path("a.db");
    ASSERT_EQ(fscreatedatabase(p.c_str(), 20), 1);
    Child writer(p);
    ASSERT_EQ(writer.ask('o'), 'y');
    ASSERT_EQ(writer.ask('c'), 'y');
    ASSERT_EQ(writer.ask('s'), 'y');   // locked, with blocks out early
    std::vector<uint8_t> j = readfile(p + "-journal");
    ASSERT_GT(j.size(), 32u);
    // (Without the integrity tests: the file is longer than its committed
    // control block says while the writer's blocks are out early.)
    FS *reader = fsopen(0, p.c_str(), 0, 1);
    ASSERT_NE(reader, nullptr);
    fsclose(0, reader);
    EXPECT_EQ(readfile(p + "-journal"), j) << "the journal of a live writer was touched";
    ASSERT_EQ(writer.ask('u'), 'y');
    ASSERT_EQ(writer.ask('x'), 'y');
    FS *fs = fsopen(0, p.c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    EXPECT_GT(records(fs), 50u);
    EXPECT_EQ(pmdb::dbcheck(data(fs), nullptr, nullptr), 0u);
    fsclose(0, fs);
}
