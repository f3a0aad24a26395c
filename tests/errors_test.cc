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

// ---- Null pointers: refused with 485 where the call has a result ----------

TEST_F(DbTest, NullPointersAreRefusedNotFollowed) {
    EXPECT_EQ(inchild([&] {
                  FS *fs = createopen("a.db");
                  ASSERT_NE(fs, nullptr);
                  uint32_t rid = fsadd(0, fs, "abc", 3, 0x10);
                  ASSERT_NE(rid, 0u);
                  uint32_t empty = fsadd(0, fs, nullptr, 0, 0x10);   // len 0: nothing read
                  ASSERT_NE(empty, 0u);
                  using V = std::vector<int16_t>;
                  auto after = [](auto result, V ring, const char *text = nullptr) {
                      EXPECT_EQ((long)result, 0);
                      EXPECT_EQ(errors(), ring);
                      if (text != nullptr) {
                          EXPECT_STREQ(fsgetmsg(), text);
                      }
                      pmdb::clearerrors();
                  };
                  pmdb::clearerrors();
                  after(fsadd(0, fs, nullptr, 3, 0x10), V{485, 1030}, "fsadd - null argument.");
                  after(fswrite(0, fs, nullptr, 3, rid), V{485, 1080});
                  after(fsaddat(0, fs, nullptr, 3, 0x10000009), V{485, 1550});
                  after(fsdefinefile(0, fs, 1, nullptr, 10), V{485, 1505});
                  after(fsread(0, fs, rid, nullptr), V{485});
                  after(fsreadn(0, fs, rid, nullptr, 3), V{485});
                  after(fsreadn(0, fs, empty, nullptr, 0), V{});   // nothing to write
                  after(fsreadn(0, fs, rid, nullptr, 0), V{1133});
                  after(fsaddkey(0, fs, 0x10, rid, 3, nullptr), V{485, 1145});
                  after(fsdeletekey(0, fs, 0x10, rid, 3, nullptr), V{485});
                  after(fsfirstkey(0, fs, 0x10, nullptr), V{485});
                  after(fsfindkey(0, fs, 0x10, 0, nullptr), V{485});
                  after(fsnextkey(0, fs, 0x10, 0, 0, nullptr), V{485});
                  after(fsgetlocaltime(0, nullptr), V{485}, "fsgetlocaltime - null argument.");
                  after(fsgeterrors(nullptr), V{485});
                  struct date d = {2024, 1, 2};
                  struct time t = {1, 2, 3, 4};
                  char s[16] = "12";
                  after(dodatemask(nullptr, &d, "MM"), V{485});
                  after(undodatemask(s, nullptr, "MM"), V{485});
                  after(dotimemask(s, &t, nullptr), V{485});
                  after(undotimemask(nullptr, &t, "HH"), V{485});
                  after(domask(s, nullptr), V{485});
                  after(makenumascii(nullptr, "1", 3), V{485});
                  after(mkascnum(nullptr), V{485});
                  blankfill(nullptr, 3);   // no result: nothing done
                  zerofill(nullptr, 3);
                  fsclose(0, fs);
                  EXPECT_EQ(fsopen(0, nullptr, 0, 0), nullptr);
                  EXPECT_EQ(fsgeterrno(), 7);
                  after(0, V{485, 1015});
                  EXPECT_EQ(fscreatedatabase(nullptr, 20), 0);
                  EXPECT_EQ(fsgeterrno(), 406);
              }),
              "ok");
}
