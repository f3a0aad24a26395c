// makeseeds.cc - the seed corpus of the fuzz targets, made through the
// library itself: `makeseeds DIR` writes DIR/image (database images for
// image_fuzz and check_fuzz) and DIR/calls (call sequences for
// calls_fuzz). The images cover what the walks should reach from the
// start: records in several files with deletions, keys of every type in a
// tree of more than one level, close translation blocks, and files whose
// length disagrees with their control block.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "pmdblib.h"

namespace {

std::string dir;
std::mt19937 rng(20240611);

std::vector<uint8_t> slurp(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    int c;
    while ((c = fgetc(f)) != EOF) out.push_back((uint8_t)c);
    fclose(f);
    return out;
}

void emit(const std::string &sub, const std::string &name, const std::vector<uint8_t> &bytes) {
    std::string p = dir + "/" + sub + "/" + name;
    FILE *f = fopen(p.c_str(), "wb");
    if (f == nullptr) {
        perror(p.c_str());
        exit(1);
    }
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

FS *create(const std::string &path, short freq) {
    if (!fscreatedatabase(path.c_str(), freq)) exit(1);
    FS *fs = fsopen(0, path.c_str(), 1, 0);
    if (fs == nullptr) exit(1);
    return fs;
}

// Records in files 1 to 3, every fifth one deleted again.
void records(FS *fs, int n) {
    std::vector<uint8_t> r(700);
    for (int k = 0; k < n; k++) {
        size_t len = rng() % (k % 7 == 0 ? 700 : 60);
        for (size_t j = 0; j < len; j++) r[j] = (uint8_t)(k % 3 == 0 ? 'x' : rng());
        uint32_t rid = fsadd(0, fs, r.data(), (short)len, (uint8_t)((1 + k % 3) << 4));
        if (k % 5 == 4) fsdelete(0, fs, rid);
    }
}

// Subkey s of file 1 gets keytype s (0..8), with a few keys each; subkey 0
// also gets long character keys enough for a tree of two levels.
void keys(FS *fs) {
    for (int s = 0; s < 9; s++) fsdefinesubkey(0, fs, (uint8_t)(0x10 | s), (int16_t)s, s == 3);
    fsdefinefile(0, fs, 1, "customers", 120);
    static const short width[] = {0, 2, 4, 0, 2, 4, 4, 8, 10};
    uint8_t v[200];
    for (int s = 0; s < 9; s++) {
        for (int k = 0; k < 20; k++) {
            short len = width[s] ? width[s] : (short)(1 + rng() % 20);
            for (short j = 0; j < len; j++) v[j] = (uint8_t)rng();
            if (s == 6) { float x = (float)k / 3; memcpy(v, &x, 4); }
            if (s == 7) { double x = -(double)k / 7; memcpy(v, &x, 8); }
            if (s == 8) { memset(v, 0, 10); v[7] = 0x80; v[8] = (uint8_t)k; v[9] = 0x3f; }
            fsaddkey(0, fs, (uint8_t)(0x10 | s), 0x10000000u + (uint32_t)k, len, v);
        }
    }
    for (int k = 0; k < 300; k++) {
        memset(v, 'a' + k % 26, 100);
        snprintf((char *)v + 90, 10, "%05d", k);
        fsaddkey(0, fs, 0x10, 0x10000000u + (uint32_t)k, 100, v);
    }
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; k++) b[at + (size_t)k] = (uint8_t)(v >> (8 * k));
}

void images() {
    std::string p = dir + "/work.db";
    FS *fs = create(p, 20);
    fsclose(0, fs);
    std::vector<uint8_t> fresh = slurp(p);
    emit("image", "fresh", fresh);

    fs = create(p, 20);
    records(fs, 120);
    keys(fs);
    fsclose(0, fs);
    std::vector<uint8_t> full = slurp(p);
    emit("image", "records-and-keys", full);

    fs = create(p, 2);
    records(fs, 300);
    fsclose(0, fs);
    emit("image", "spacing-2", slurp(p));

    // Damaged: lb far beyond the file, one block beyond it, a file cut in
    // half, and a control block alone.
    std::vector<uint8_t> d = full;
    put32(d, 812, 478000);
    emit("image", "lb-far-beyond", d);
    d = full;
    put32(d, 812, (uint32_t)(full.size() / 1024));
    emit("image", "lb-one-beyond", d);
    emit("image", "cut-in-half", std::vector<uint8_t>(full.begin(), full.begin() + (long)full.size() / 2));
    emit("image", "control-block-only", std::vector<uint8_t>(fresh.begin(), fresh.begin() + 1024));
    remove(p.c_str());
}

void calls() {
    for (int k = 0; k < 12; k++) {
        std::vector<uint8_t> b(100 + rng() % (k < 6 ? 400 : 3000));
        for (auto &c : b) c = (uint8_t)rng();
        emit("calls", "random-" + std::to_string(k), b);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: makeseeds DIR\n");
        return 2;
    }
    dir = argv[1];
    for (const char *sub : {"", "/image", "/calls"}) mkdir((dir + sub).c_str(), 0755);
    images();
    calls();
    return 0;
}
