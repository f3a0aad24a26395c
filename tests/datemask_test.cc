// datemask_test.cc - date and time picture masks, both directions.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>

#include "pmdblib.h"

namespace {

std::string showdate(int year, int mon, int day, const char *m) {
    struct date d = {year, static_cast<signed char>(day), static_cast<signed char>(mon)};
    char out[128];
    EXPECT_EQ(dodatemask(out, &d, m), 1);
    return out;
}

std::string showtime(int hour, int min, int sec, const char *m) {
    struct time t = {static_cast<uint8_t>(min), static_cast<uint8_t>(hour), 0, static_cast<uint8_t>(sec)};
    char out[128];
    EXPECT_EQ(dotimemask(out, &t, m), 1);
    return out;
}

// An exact-size copy, so that a read past the text's NUL is caught.
std::unique_ptr<char[]> exact(const std::string &s) {
    std::unique_ptr<char[]> p(new char[s.size() + 1]);
    memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

TEST(DateMask, ShowsDatesAndTimes) {
    EXPECT_EQ(showdate(1996, 3, 7, "MM/DD/YY"), "03/07/96");
    EXPECT_EQ(showdate(1996, 3, 7, "yyyy-mm-dd"), "1996-03-07");
    EXPECT_EQ(showdate(1996, 12, 25, "DD.MM.YYYY"), "25.12.1996");
    EXPECT_EQ(showdate(1996, 3, 7, "M/D/Y"), "3/7/6");
    EXPECT_EQ(showdate(1996, 3, 7, "mm xyz"), "03 X6Z");
    EXPECT_EQ(showdate(96, 3, 7, "YYYY"), "0096");
    EXPECT_EQ(showdate(1996, 3, 7, ""), "");
    EXPECT_EQ(showtime(9, 5, 7, "HH:MM:SS"), "09:05:07");
    EXPECT_EQ(showtime(9, 5, 7, "hh:mm"), "09:05");
    EXPECT_EQ(showtime(23, 59, 7, "HHMMSSSS"), "23590007");
    EXPECT_EQ(showtime(23, 59, 7, "at h.m d y"), "AT 3.9 D Y");   // D, Y are literal in a time
}

// More placeholders than the field has digits: the extra ones show 0.
TEST(DateMask, SurplusPlaceholdersShowZero) {
    EXPECT_EQ(showdate(1996, 3, 7, "MMMM/DDD/YYYYYY"), "0003/007/001996");
    EXPECT_EQ(showdate(12345, 3, 7, "YYYY"), "2345");
    EXPECT_EQ(showdate(123456, 3, 7, "YYYYYYYY"), "00123456");
    EXPECT_EQ(showtime(9, 5, 7, "HHHHH:SSSSSS"), "00009:000007");
}

// The fields read back, as "year/month/day" or "hour:minute:second".
// The text goes in as an exact-size copy, so that the sanitizer build
// catches a read past its NUL.
std::string readdate(const std::string &s, const char *m) {
    struct date d = {1, 1, 1};
    EXPECT_EQ(undodatemask(exact(s).get(), &d, m), 1);
    return std::to_string(d.da_year) + "/" + std::to_string(d.da_mon) + "/" + std::to_string(d.da_day);
}

std::string readtime(const std::string &s, const char *m) {
    struct time t = {1, 1, 42, 1};
    EXPECT_EQ(undotimemask(exact(s).get(), &t, m), 1);
    EXPECT_EQ(t.ti_hund, 42);   // in no mask
    return std::to_string(t.ti_hour) + ":" + std::to_string(t.ti_min) + ":" + std::to_string(t.ti_sec);
}

TEST(DateMask, ReadsFieldsBack) {
    EXPECT_EQ(readdate("03/07/96", "MM/DD/YY"), "96/3/7");     // no century added
    EXPECT_EQ(readdate("  /-3/x9", "mm/dd/yy"), "0/0/-3");     // blanks; a sign; nothing readable
    EXPECT_EQ(readdate("1 2", "YYY"), "1/0/0");               // ends at the first non-digit
    EXPECT_EQ(readtime("09:05:07", "hh:mm:ss"), "9:5:7");
}

// Every placeholder's character counts, and a text shorter than its mask
// reads as blanks past its end.
TEST(DateMask, ReadsLongFieldsAndShortTexts) {
    EXPECT_EQ(readdate("19961208", "YYYYYYYY"), "19961208/0/0");
    EXPECT_EQ(readdate("000000001996", "YYYYYYYYYYYY"), "1996/0/0");
    EXPECT_EQ(readdate("12/3", "MM/DD/YYYY"), "0/12/3");
    EXPECT_EQ(readdate("", "MM/DD/YYYY"), "0/0/0");
    EXPECT_EQ(readtime("1", "HHHHHH:MM"), "1:0:0");
    EXPECT_EQ(readtime("00000300", "SSSSSSSS"), "0:0:44");   // the low 8 bits of 300
}

// Random masks of random lengths, shown into and read from exact-size
// buffers; a mask whose placeholders are exactly MM, DD, YYYY among
// literals reads back the date it showed.
TEST(DateMask, RandomMasks) {
    std::mt19937 rng(1208);
    const char alpha[] = "MDYHSmdyhs/-: .x9";
    for (int round = 0; round < 2000; round++) {
        std::string m(rng() % 200, ' ');
        for (auto &c : m) c = alpha[rng() % (sizeof alpha - 1)];
        struct date d = {static_cast<int32_t>(rng() % 10000), static_cast<signed char>(1 + rng() % 31),
                         static_cast<signed char>(1 + rng() % 12)};
        std::unique_ptr<char[]> out(new char[m.size() + 1]);
        dodatemask(out.get(), &d, m.c_str());
        ASSERT_EQ(strlen(out.get()), m.size());
        struct time t = {};
        std::string shown(out.get());
        undodatemask(exact(shown.substr(0, rng() % (m.size() + 1))).get(), &d, m.c_str());
        undotimemask(exact(shown.substr(0, rng() % (m.size() + 1))).get(), &t, m.c_str());
        dotimemask(out.get(), &t, m.c_str());
        ASSERT_EQ(strlen(out.get()), m.size());

        std::string lit(rng() % 20, '/');
        for (const char *p = "MMDDYYYY"; *p; p++) lit.insert(rng() % (lit.size() + 1), 1, *p);
        struct date in = {static_cast<int32_t>(rng() % 10000), static_cast<signed char>(1 + rng() % 31),
                          static_cast<signed char>(1 + rng() % 12)};
        struct date back = {};
        char buf[64];
        dodatemask(buf, &in, lit.c_str());
        undodatemask(buf, &back, lit.c_str());
        ASSERT_EQ(back.da_year, in.da_year) << lit;
        ASSERT_EQ(back.da_mon, in.da_mon) << lit;
        ASSERT_EQ(back.da_day, in.da_day) << lit;
    }
}

}  // namespace
