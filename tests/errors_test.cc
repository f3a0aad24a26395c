// errors_test.cc - the error ring, msg, the error log and the accessors.
#include <string.h>

#include "testutil.h"

using namespace pmdbtest;

TEST_F(DbTest, RingKeepsTheLastTenInOrderAndWraps) {
    for (int k = 1; k <= 11; k++) pmdb::dodberror((int16_t)(1000 + k));
    short ring[10];
    EXPECT_EQ(fsgeterrors(ring), 1);
    EXPECT_EQ(ring[0], 1011);
    for (int k = 1; k < 10; k++) EXPECT_EQ(ring[k], 1000 + k + 1);
    EXPECT_EQ(pmdb::lasterror(), 1011);
}

TEST_F(DbTest, MsgIsCutAtSeventyNineCharacters) {
    std::string longname = path(std::string(200, 'x'));
    EXPECT_EQ(fsopen(0, longname.c_str(), 0, 0), nullptr);
    EXPECT_EQ(strlen(fsgetmsg()), 79u);
    EXPECT_EQ(std::string(fsgetmsg()), longname.substr(0, 79));
}

TEST_F(DbTest, MissingFileWritesOneLogLine) {
    std::string missing = path("missing.db");
    EXPECT_EQ(fsopen(0, missing.c_str(), 0, 0), nullptr);
    EXPECT_EQ(fsgeterrno(), 7);
    EXPECT_STREQ(fsgetmsg(), missing.c_str());
    EXPECT_EQ(errors(), (std::vector<int16_t>{1015}));
    std::vector<uint8_t> log = readfile("pmdblog.txt");
    std::string expect = missing + "\r\n";
    EXPECT_EQ(std::string(log.begin(), log.end()), expect);

    // A second failure appends; a failed temporary database appends nothing.
    EXPECT_EQ(fsopen(0, missing.c_str(), 0, 0), nullptr);
    pmdb::plat_failat(pmdb::PLAT_OPEN, 1, 0);
    EXPECT_EQ(fsopentemp(0), nullptr);
    EXPECT_EQ(fsgeterrno(), 7);
    log = readfile("pmdblog.txt");
    EXPECT_EQ(std::string(log.begin(), log.end()), expect + expect);
}

TEST_F(DbTest, SuccessfulCallsClearPmerrnoAndAppstatLeavesIt) {
    EXPECT_EQ(fsopen(0, path("missing.db").c_str(), 0, 0), nullptr);
    EXPECT_EQ(fsgeterrno(), 7);
    FS bad;
    memset(&bad, 0, sizeof bad);
    bad.fsdatanum = 5;
    EXPECT_EQ(fsgetappstat(0, &bad), 0);
    EXPECT_EQ(fsgeterrno(), 7);
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fsgeterrno(), 0);
    fsclose(0, fs);
}
