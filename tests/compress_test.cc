// compress_test.cc - the stored forms of the record packing, byte for
// byte, its bounds, and the refusal of damaged stored forms.
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

#include "compress/compress.h"

using namespace pmdb;

namespace {

std::vector<uint8_t> pack(const std::vector<uint8_t> &rec) {
    std::vector<uint8_t> out(rec.size() + 1 + 16, 0xee);
    int16_t n = compress(out.data(), rec.data(), (int16_t)rec.size());
    // Never a byte written past n + 1.
    for (size_t k = rec.size() + 1; k < out.size(); k++) EXPECT_EQ(out[k], 0xee);
    out.resize((size_t)n);
    return out;
}

std::vector<uint8_t> bytes(const char *s) { return std::vector<uint8_t>(s, s + strlen(s)); }

// The packing one byte at a time, as plainly as it can be said: the
// packer's word-at-a-time search for the end of a literal must give these
// bytes exactly.
std::vector<uint8_t> plainpack(const std::vector<uint8_t> &b) {
    const int n = (int)b.size();
    std::vector<uint8_t> out;
    for (int i = 0; i < n;) {
        if (i < n - 1 && b[i] == b[i + 1]) {
            int k = 1;
            while (k < 128 && i + k < n - 2 && b[i + k] == b[i + k + 1]) k++;
            out.push_back((uint8_t)(int8_t)-k);
            out.push_back(b[i]);
            i += k + 1;
        } else {
            int k = 0;
            for (;;) {
                k++;
                if (i + k >= n || k == 127) break;
                if (i + k + 1 < n && b[i + k] == b[i + k + 1]) break;
            }
            out.push_back((uint8_t)k);
            out.insert(out.end(), b.begin() + i, b.begin() + i + k);
            i += k;
        }
        if ((int)out.size() >= n) break;
    }
    if ((int)out.size() < n) return out;
    std::vector<uint8_t> raw(1, 0);
    raw.insert(raw.end(), b.begin(), b.end());
    return raw;
}

}  // namespace

TEST(Compress, StoredFormsOfTheFormat) {
    EXPECT_EQ(pack({}), std::vector<uint8_t>({0x00}));
    // Four equal bytes pack to 4, not shorter: stored raw.
    EXPECT_EQ(pack(bytes("AAAA")), std::vector<uint8_t>({0, 'A', 'A', 'A', 'A'}));
    std::vector<uint8_t> hello = bytes("HELLO     WORLD          ");
    ASSERT_EQ(hello.size(), 25u);
    EXPECT_EQ(pack(hello), std::vector<uint8_t>({0x02, 'H', 'E', 0xff, 'L', 0x01, 'O', 0xfc, ' ', 0x05, 'W', 'O',
                                                 'R', 'L', 'D', 0xf8, ' ', 0x01, ' '}));
    EXPECT_EQ(pack(std::vector<uint8_t>(300, 'A')),
              std::vector<uint8_t>({0x80, 'A', 0x80, 'A', 0xd8, 'A', 0x01, 'A'}));
    EXPECT_EQ(pack(std::vector<uint8_t>(100, 0)), std::vector<uint8_t>({0x9e, 0x00, 0x01, 0x00}));
    std::vector<uint8_t> distinct = bytes("abcdefg");
    std::vector<uint8_t> raw = bytes("-abcdefg");
    raw[0] = 0;
    EXPECT_EQ(pack(distinct), raw);
    // A run starting at the second-to-last byte takes in the last byte.
    EXPECT_EQ(pack(bytes("aaaaaaaabzz")), std::vector<uint8_t>({0xf9, 'a', 0x01, 'b', 0xff, 'z'}));
    // A literal is cut at 127 bytes.
    std::vector<uint8_t> lit(130);
    for (size_t k = 0; k < lit.size(); k++) lit[k] = (uint8_t)k;
    lit.insert(lit.end(), 40, 'x');
    std::vector<uint8_t> p = pack(lit);
    ASSERT_GT(p.size(), 130u);
    EXPECT_EQ(p[0], 127);
    EXPECT_EQ(p[128], 3);
}

TEST(Compress, RoundTripOverRandomRecords) {
    std::mt19937 rng(12345);
    std::vector<uint8_t> rec, back(1300);
    for (int iter = 0; iter < 4000; iter++) {
        size_t n = rng() % 1201;
        rec.resize(n);
        int style = iter % 4;
        for (size_t k = 0; k < n;) {
            if (style == 0) {   // no runs at all
                rec[k] = (uint8_t)(k == 0 ? rng() : rec[k - 1] + 1 + rng() % 255);
                k++;
            } else if (iter % 8 == 1) {   // long literals between runs, pairs in them
                size_t run = rng() % 16 == 0 ? 3 + rng() % 40 : rng() % 8 == 0 ? 2 : 1;
                uint8_t v = (uint8_t)rng();
                for (size_t r = 0; r < run && k < n; r++) rec[k++] = v;
            } else {            // runs of every length, all byte values
                size_t run = style == 1 ? 1 + rng() % 3 : style == 2 ? 1 + rng() % 300 : 1 + rng() % 8;
                uint8_t v = (uint8_t)rng();
                for (size_t r = 0; r < run && k < n; r++) rec[k++] = v;
            }
        }
        std::vector<uint8_t> p = pack(rec);
        ASSERT_EQ(p, plainpack(rec)) << "iteration " << iter;
        ASSERT_LE(p.size(), n + 1);
        ASSERT_EQ(uncompressedlen(p.data(), (int16_t)p.size()), (int16_t)n);
        ASSERT_EQ(uncompress(back.data(), back.size(), p.data(), (int16_t)p.size()), (int16_t)n);
        ASSERT_EQ(0, memcmp(back.data(), rec.data(), n)) << "iteration " << iter;
        // The bounded form gives the same bytes when they fit, 0 otherwise.
        std::vector<uint8_t> small(p.size());
        EXPECT_EQ(compress(small.data(), small.size(), rec.data(), (int16_t)n), (int16_t)p.size());
        EXPECT_EQ(small, p);
        if (p.size() > 1) {
            EXPECT_EQ(compress(small.data(), p.size() - 1, rec.data(), (int16_t)n), 0);
        }
    }
}

TEST(Compress, BoundedPackingNeverWritesPastItsArea) {
    // A B B A B B ... costs 4 stored bytes per 3 while packing: the packer
    // must give up at n and store raw, within n + 1 bytes.
    std::vector<uint8_t> rec;
    for (int k = 0; k < 600; k++) rec.insert(rec.end(), {'A', 'A', 'B'});
    std::vector<uint8_t> p = pack(rec);
    EXPECT_EQ(p.size(), rec.size() + 1);
    EXPECT_EQ(p[0], 0);
    // Into a 1008-byte area a 1800-byte record that cannot pack is refused
    // without a byte written past the area.
    std::vector<uint8_t> area(1008 + 8, 0xee);
    EXPECT_EQ(compress(area.data(), 1008, rec.data(), (int16_t)rec.size()), 0);
    for (size_t k = 1008; k < area.size(); k++) EXPECT_EQ(area[k], 0xee);
    EXPECT_EQ(compress(area.data(), 4, nullptr, -1), 0);
}

TEST(Compress, DamagedStoredFormsAreRefusedWithoutWriting) {
    uint8_t out[16];
    memset(out, 0x55, sizeof out);
    const uint8_t zeroafter[] = {0x01, 'a', 0x00, 'b'};
    const uint8_t literalpast[] = {0x05, 'a', 'b'};
    const uint8_t repeatpast[] = {0x01, 'a', 0xfe};
    const uint8_t toolong[] = {0x80, 'x'};   // 129 bytes into 16
    EXPECT_EQ(uncompress(out, sizeof out, zeroafter, sizeof zeroafter), -1);
    EXPECT_EQ(uncompress(out, sizeof out, literalpast, sizeof literalpast), -1);
    EXPECT_EQ(uncompress(out, sizeof out, repeatpast, sizeof repeatpast), -1);
    EXPECT_EQ(uncompress(out, sizeof out, toolong, sizeof toolong), -1);
    EXPECT_EQ(uncompressedlen(toolong, sizeof toolong), 129);
    EXPECT_EQ(uncompress(out, sizeof out, toolong, 0), -1);
    const uint8_t rawtoolong[20] = {0};
    EXPECT_EQ(uncompress(out, sizeof out, rawtoolong, sizeof rawtoolong), -1);
    for (uint8_t b : out) EXPECT_EQ(b, 0x55);
    // A form claiming more than the largest record is damage too.
    std::vector<uint8_t> huge;
    for (int k = 0; k < 260; k++) huge.insert(huge.end(), {0x80, 'q'});
    EXPECT_EQ(uncompressedlen(huge.data(), (int16_t)huge.size()), -1);
}
