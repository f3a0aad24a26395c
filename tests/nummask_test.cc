// nummask_test.cc - numeric picture masks, number text and the fills.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>

#include "pmdblib.h"

namespace {

// domask into an exact-size buffer (room for the longer of the number and
// the mask), so the sanitizer build catches any access past it; what lies
// past the field's NUL must be left as it was.
struct masked {
    std::string out;
    short ret;
};

masked edit(const std::string &num, const std::string &m) {
    size_t size = (num.size() > m.size() ? num.size() : m.size()) + 1;
    std::unique_ptr<char[]> s(new char[size]);
    memcpy(s.get(), num.c_str(), num.size() + 1);
    short ret = domask(s.get(), m.c_str());
    if (num.size() > m.size()) {
        EXPECT_EQ(std::string(s.get() + m.size() + 1, num.size() - m.size()), num.substr(m.size() + 1) + '\0')
            << num << " in " << m;
    }
    return {s.get(), ret};
}

void expectmask(const std::string &num, const std::string &m, const std::string &want, short ret) {
    masked r = edit(num, m);
    EXPECT_EQ(r.out, want) << num << " in " << m;
    EXPECT_EQ(r.ret, ret) << num << " in " << m;
}

std::string ascnum(const std::string &in) {
    std::unique_ptr<char[]> s(new char[in.size() + 1]);
    memcpy(s.get(), in.c_str(), in.size() + 1);
    EXPECT_EQ(mkascnum(s.get()), 1);
    return s.get();
}

TEST(NumMask, EditsNumbers) {
    const struct { const char *num, *mask, *want; short ret; } rows[] = {
        {"1234.5", "###,##0.00", "  1,234.50", 1},
        {"-1234.5", "###,##0.00-", "  1,234.50-", 1},
        {"1234.5", "###,##0.00-", "  1,234.50 ", 1},
        {"-1234.5", "-###,##0.00", "-  1,234.50", 1},
        {"12", "$###,##0.00", "$$$$$$12.00", 1},
        {"12", "$$$,$$0.00", "    $12.00", 1},
        {"1234567", "$$$,$$0.00", "234,567.00", 0},
        {"1234567", "#,##0", "4,567", 0},
        {"-12.5", "####0.00)", "(  12.50)", 1},
        {"12.5", "####0.00)", "   12.50 ", 1},
        {"-5", "+###0", "-   5", 1},
        {"5", "+###0", "+   5", 1},
        {"-5", "###0.00+", "   5.00-", 1},
        {"12.345", "##0.00", " 12.34", 1},
        {"-0.001", "##0.00-", "  0.00 ", 1},
        {"007", "##0", "007", 1},
        {"0", "###,##0.00", "      0.00", 1},
        {"0", "$##,##0.00", "$$$$$$0.00", 1},
        {"0", "##,##0.00-", "     0.00 ", 1},
        {"12", "*##,##0.00", "*****12.00", 1},
        {"0", "##0.##", "  0.##", 1},
    };
    for (const auto &r : rows) expectmask(r.num, r.mask, r.want, r.ret);
}

TEST(NumMask, FillDollarAndSeparators) {
    expectmask("5", "##*##0", "***  5", 1);      // a '*' fills what lies left of it
    expectmask("12", "*,**0", "***12", 1);
    expectmask("12345", "$#,##0", "12,345", 1);  // '$' takes a digit while there are digits
    expectmask("123", "$#,##0", "$$$123", 1);
    expectmask("1", "$$,$$0", "    $1", 1);     // only the first '$' left over is shown
    expectmask("5", "##,##0", "     5", 1);
    expectmask("12", "#,###", "   12", 1);
    expectmask("1234", ",##", ",34", 0);        // digits remain: the ',' stays
}

TEST(NumMask, SignPositions) {
    expectmask("5", "-###0", "    5", 1);
    expectmask("-5", "-###0", "-   5", 1);
    expectmask("5", "###0-", "   5 ", 1);
    expectmask("-5", "###0-", "   5-", 1);
    expectmask("5", "###0)", "   5 ", 1);
    expectmask("-5", "###0)", "(  5)", 1);
    expectmask("-1234", "##-##", "12-34", 1);    // inside the mask a '-' is literal
    expectmask("-5", "###0+", "   5-", 1);
    expectmask("5", "###0+", "   5+", 1);
}

TEST(NumMask, IntegerAndDecimalParts) {
    expectmask("1234.56", "#,##0", "1,234", 1);  // no point in the mask: no decimals
    expectmask("5", "##0.00", "  5.00", 1);
    expectmask(".5", "##0.00", "  0.50", 1);
    expectmask("12.999", "##0.00", " 12.99", 1); // truncated, not rounded
    expectmask("0007", "##0", "007", 0);
    expectmask("5", "", "", 0);
    expectmask("-0", "##0.00-", "  0.00 ", 1);   // negative zero shows no sign
    expectmask("-0.00", "-##0.00", "   0.00", 1);
    expectmask("-0.001", "##0.00)", "  0.00 ", 1);
}

// Text that is not a number is placed as written, and nothing past the
// result is touched even when the number text is the longer one.
TEST(NumMask, OddNumberTextStaysInItsStrings) {
    expectmask("12a4.5x", "####.##", "12a4.5x", 1);
    expectmask("1 2", "###", "1 2", 1);
    expectmask("1234567890.123456", "#0.0", "90.1", 0);
}

// A '(' that takes the place of a digit loses it: that is reported.
TEST(NumMask, LostDigitUnderParenthesis) {
    expectmask("-12345", "####0)", "(2345)", 0);
    expectmask("12345", "####0)", "12345 ", 1);
}

// For a zero every mask character before the first '0' other than a
// placeholder, a separator, the point, '-' and ')' stays and becomes the
// fill of the placeholders after it.
TEST(NumMask, ZeroLiteralsBecomeTheFill) {
    expectmask("0", "+##0", "+++0", 1);
    expectmask("0", "#X#0", " XX0", 1);
    expectmask("-0", "x##0", "xxx0", 1);
    expectmask("0", "$##,##0.00", "$$$$$$0.00", 1);
    expectmask("0", "*#,##0", "*****0", 1);
    expectmask("-0", "-##0", "   0", 1);      // a sign does not fill; a zero shows none
    expectmask("0", "##-#0)", "  - 0 ", 1);
}

TEST(NumMask, LongMasksAndTexts) {
    std::string digits;
    for (int i = 0; i < 10; i++) digits += "123456789";
    expectmask(digits + ".5", std::string(100, '#') + ".00", std::string(10, ' ') + digits + ".50", 1);
    expectmask("0", std::string(100, '#') + "0.00", std::string(100, ' ') + "0.00", 1);

    std::string in, want = "-";
    for (int i = 0; i < 100; i++) {
        in += "12,";
        want += "12";
    }
    EXPECT_EQ(ascnum(in + "-"), want);
}

TEST(NumMask, MakeNumAscii) {
    char f[9] = "xxxxxxxx";
    EXPECT_EQ(makenumascii(f, "-1,234.5", 8), 1);
    EXPECT_EQ(std::string(f, 8), "00012345");
    EXPECT_EQ(makenumascii(f, "123456789", 4), 1);
    EXPECT_EQ(std::string(f, 8), "67892345");   // only the 4 characters asked for
    EXPECT_EQ(makenumascii(f, "abc", 3), 1);
    EXPECT_EQ(std::string(f, 3), "000");
}

TEST(NumMask, AscNum) {
    EXPECT_EQ(ascnum("  1,234.50-"), "-1234.50");
    EXPECT_EQ(ascnum("0012.50"), "12.50");
    EXPECT_EQ(ascnum("0.50"), ".50");
    EXPECT_EQ(ascnum("000"), "");
    EXPECT_EQ(ascnum("0012-"), "-0012");
    EXPECT_EQ(ascnum("-12"), "12");
    EXPECT_EQ(ascnum(""), "");
    EXPECT_EQ(ascnum("-"), "-");
}

TEST(NumMask, Fills) {
    char b[] = "000";
    blankfill(b, 3);
    EXPECT_STREQ(b, "  0");
    zerofill(b, 3);
    EXPECT_STREQ(b, "000");
    char c[] = "   ";
    zerofill(c, 3);
    EXPECT_STREQ(c, "000");
    char d[] = "00 10";
    blankfill(d, 5);
    EXPECT_STREQ(d, "   10");
    zerofill(d, 2);
    EXPECT_STREQ(d, "00 10");
}

// The same digits laid out by a plain copy into a separate string, for masks
// of '#' and ',' with an optional point and '#' decimals.
std::string plainlayout(const std::string &num, const std::string &m) {
    std::string out = m;
    size_t p = m.find('.'), dot = num.find('.');
    std::string ip = num.substr(0, dot), fp = dot == std::string::npos ? "" : num.substr(dot + 1);
    if (p == std::string::npos) p = m.size();
    for (size_t j = p + 1; j < m.size(); j++) out[j] = j - p - 1 < fp.size() ? fp[j - p - 1] : '0';
    size_t left = ip.size();
    for (size_t i = p; i-- > 0;) out[i] = m[i] == '#' ? (left ? ip[--left] : ' ') : (left ? ',' : ' ');
    return out;
}

TEST(NumMask, RandomMasksAndTexts) {
    std::mt19937 rng(4242);
    auto text = [&](const char *alpha, size_t max) {
        std::string t(rng() % max, ' ');
        for (auto &c : t) c = alpha[rng() % strlen(alpha)];
        return t;
    };
    for (int round = 0; round < 3000; round++) {
        std::string num = (rng() % 3 ? "" : "-") + text("0123456789.-a", 150);
        std::string m = text("#0*$,.-)+x ", 150);
        EXPECT_EQ(edit(num, m).out.size(), m.size()) << num << " in " << m;

        std::string digits = "1" + text("0123456789", 80), frac = text("0123456789", 30);
        std::string plain = text("#,", 100) + "#";
        if (rng() % 2) plain += "." + std::string(rng() % 20, '#');
        std::string n = rng() % 2 ? digits + "." + frac : digits;
        masked r = edit(n, plain);
        EXPECT_EQ(r.out, plainlayout(n, plain)) << n << " in " << plain;

        std::string a = text("0123456789.,- $", 300);
        std::string got = ascnum(a), want;
        bool neg = !a.empty() && a.back() == '-';
        for (char c : a) if ((c >= '0' && c <= '9') || c == '.') want += c;
        if (neg) want = "-" + want;
        else want.erase(0, want.find_first_not_of('0') == std::string::npos ? want.size() : want.find_first_not_of('0'));
        EXPECT_EQ(got, want) << a;
    }
}

}  // namespace
