// keytestutil.h - the fixture the key tests share: one database opened
// writable for the whole test, and the helpers that look at its key blocks.
#ifndef PMDB_KEYTESTUTIL_H
#define PMDB_KEYTESTUTIL_H

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fss/keyblk.h"
#include "fss/keycheck.h"
#include "testutil.h"

namespace pmdbtest {

class KeyTest : public DbTest {
protected:
    // Each test file keeps its own database name: some tests reopen the
    // file by that name.
    explicit KeyTest(const char *name) : name_(name) {}

    void SetUp() override {
        DbTest::SetUp();
        fs = createopen(name_);
        ASSERT_NE(fs, nullptr);
        d = data(fs);
    }
    // Closes the handle (the fixture frees only the open databases).
    void TearDown() override {
        if (fs != nullptr) fsclose(0, fs);
        DbTest::TearDown();
    }

    // Value i as a string of len bytes (zero-padded digits, ascending in i).
    static std::string val(int i, int len) {
        char b[256];
        snprintf(b, sizeof b, "%0*d", len, i);
        return std::string(b, (size_t)len);
    }
    short add(uint8_t fid, uint32_t rid, const std::string &v) {
        return fsaddkey(0, fs, fid, rid, (short)v.size(), v.data());
    }
    uint32_t find(uint8_t fid, const std::string &v) {
        uint8_t buf[pmdb::KEYBUFSIZE];
        memcpy(buf, v.data(), v.size());
        return fsfindkey(0, fs, fid, (short)v.size(), buf);
    }
    pmdb::KB *kb(uint32_t blk) { return &pmdb::readblk(d, blk)->kbuff; }
    // Values of the entries of a block, in order.
    std::vector<std::string> values(uint32_t blk) {
        std::vector<std::string> out;
        pmdb::KB *k = kb(blk);
        for (int pos = pmdb::KBHEADER; pos < k->len; pos = pmdb::kbnext(k, pos))
            out.emplace_back((const char *)pmdb::kbimage(k, pos) + 1, (size_t)pmdb::kbkeylen(k, pos) - 1);
        return out;
    }
    // Problems the tree checker finds (the first one is reported as a
    // failure); the tree's height through height when asked for.
    uint32_t problems(int *height = nullptr) {
        std::vector<uint8_t> seen(pmdb::keycheckmapbytes(d));
        pmdb::KCHECK c{};
        c.seen = seen.data();
        c.seenbytes = seen.size();
        uint32_t n = pmdb::keycheck(d, &c);
        if (n) ADD_FAILURE() << c.first;
        if (height) *height = c.height;
        return n;
    }

    FS *fs = nullptr;
    pmdb::FSDATA *d = nullptr;

private:
    std::string name_;
};

}  // namespace pmdbtest

#endif
