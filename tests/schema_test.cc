// schema_test.cc - the schema calls: what they store and read back, what
// they refuse (with nothing changed), and that a subkey holding keys keeps
// the order its keys were stored in.
#include <string.h>

#include "testutil.h"

using namespace pmdbtest;

namespace {

int16_t last() { return pmdb::lasterror(); }

}  // namespace

TEST_F(DbTest, SchemaCallsStoreWhatTheyAreGivenAndRefuseTheRest) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    ASSERT_EQ(fsdefinefile(0, fs, 1, "customers", 120), 1);
    ASSERT_EQ(fsdefinefile(0, fs, 15, "fifteen-bytes-x", -3), 1);   // the whole field, no NUL
    ASSERT_EQ(fsdefinesubkey(0, fs, 0x13, 7, 1), 1);
    ASSERT_EQ(fsdefinesubkey(0, fs, 0x1a, 2, 0), 1);
    ASSERT_EQ(fsdefinesubkey(0, fs, 0xf0, 9, 0), 1);

    struct Refusal {
        short result;
        int16_t err;
    } refused[] = {
        {fsdefinefile(0, fs, 0, "x", 0), 1500},
        {fsdefinefile(0, fs, 16, "x", 0), 1500},
        {fsdefinefile(0, fs, 2, "sixteen-bytes-xx", 0), 1505},
        {fsdefinefile(0, fs, 2, nullptr, 0), 1505},
        {fsdefinesubkey(0, fs, 0x05, 1, 0), 1510},
        {fsdefinesubkey(0, fs, 0x21, -1, 0), 1515},
        {fsdefinesubkey(0, fs, 0x21, 10, 0), 1515},
        {fsdefinesubkey(0, fs, 0x21, 1, 0x100), 1520},
        {fsgetfile(0, fs, 16, nullptr, nullptr), 1535},
        {fsgetsubkey(0, fs, 0x0f, nullptr, nullptr), 1540},
    };
    int k = 0;
    for (const Refusal &r : refused) {
        EXPECT_EQ(r.result, 0) << k;
        k++;
    }
    // Each call recorded its number, in order; the null name 485 before its
    // own. The ring holds the last ten.
    std::vector<int16_t> numbers;
    for (const Refusal &r : refused) {
        if (&r == &refused[3]) numbers.push_back(485);
        numbers.push_back(r.err);
    }
    numbers.erase(numbers.begin(), numbers.end() - 10);
    EXPECT_EQ(errors(), numbers);

    fsclose(0, fs);
    fs = fsopen(0, path("a.db").c_str(), 1, 1);
    char name[16];
    int16_t rlen = 0, type = 0, dup = 0;
    ASSERT_EQ(fsgetfile(0, fs, 1, name, &rlen), 1);
    EXPECT_STREQ(name, "customers");
    EXPECT_EQ(rlen, 120);
    ASSERT_EQ(fsgetfile(0, fs, 15, name, &rlen), 1);
    EXPECT_STREQ(name, "fifteen-bytes-x");
    EXPECT_EQ(rlen, -3);
    ASSERT_EQ(fsgetfile(0, fs, 2, name, &rlen), 1);   // untouched by the refusals
    EXPECT_STREQ(name, "");
    EXPECT_EQ(rlen, 0);
    struct {
        uint8_t fid;
        int16_t type, dup;
    } want[] = {{0x13, 7, 1}, {0x1a, 2, 0}, {0xf0, 9, 0}, {0x21, 0, 0}, {0x29, 0, 1}};
    for (auto &w : want) {
        ASSERT_EQ(fsgetsubkey(0, fs, w.fid, &type, &dup), 1);
        EXPECT_EQ(type, w.type) << std::hex << +w.fid;
        EXPECT_EQ(dup, w.dup) << std::hex << +w.fid;
    }
    // Keytype 9: every key call refuses the subkey.
    EXPECT_EQ(fsfirstkey(0, fs, 0xf0, name), 0u);

    // Read-only, and a handle that is no longer open.
    EXPECT_EQ(fsdefinefile(0, fs, 1, "x", 0), 0);
    EXPECT_EQ(last(), 1025);
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x11, 1, 0), 0);
    EXPECT_EQ(last(), 1025);
    FS closed = *fs;
    fsclose(0, fs);
    EXPECT_EQ(fsgetfile(0, &closed, 1, name, &rlen), 0);
    EXPECT_EQ(last(), 480);
    EXPECT_EQ(fsdefinesubkey(0, nullptr, 0x11, 1, 0), 0);
    EXPECT_EQ(last(), 480);
}

TEST_F(DbTest, ASubkeyThatHoldsKeysKeepsItsOrder) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    ASSERT_EQ(fsdefinesubkey(0, fs, 0x10, 2, 0), 1);
    ASSERT_EQ(fsdefinesubkey(0, fs, 0x12, 2, 1), 1);
    int32_t v = 5;
    ASSERT_EQ(fsaddkey(0, fs, 0x10, 0x10000000, 4, &v), 1);
    ASSERT_EQ(fsaddkey(0, fs, 0x12, 0x10000000, 4, &v), 1);
    // The subkeys with keys refuse any change of type or rule, but take
    // what they already have; the empty one between them may change.
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x10, 5, 0), 0);
    EXPECT_EQ(last(), 1525);
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x12, 2, 0), 0);
    EXPECT_EQ(last(), 1525);
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x10, 2, 0), 1);
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x11, 7, 1), 1);
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x13, 7, 1), 1);
    // Once its keys are gone a subkey may take another order.
    ASSERT_EQ(fsdeletekey(0, fs, 0x10, 0x10000000, 4, &v), 1);
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x10, 5, 1), 1);
    fsclose(0, fs);

    // An index that cannot be read refuses too (the root read fails on a
    // fresh open, whose cache is cold).
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    pmdb::clearerrors();
    pmdb::plat_failat(pmdb::PLAT_READ, 1, 1);
    EXPECT_EQ(fsdefinesubkey(0, fs, 0x12, 3, 1), 0);
    pmdb::plat_faultreset();
    EXPECT_TRUE(recorded(1155));
    EXPECT_EQ(last(), 1530);
    int16_t type = 0;
    ASSERT_EQ(fsgetsubkey(0, fs, 0x12, &type, nullptr), 1);
    EXPECT_EQ(type, 2);
    fsclose(0, fs);
}
