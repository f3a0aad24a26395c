// fuzzutil.h - what the fuzz targets share: a scratch directory of their
// own (the error log lands in the current directory), writing an input to
// a file, and the one way a target reports a finding that is not a crash:
// FUZZCHECK prints what is wrong and aborts, which libFuzzer keeps as a
// crashing input like any other.
#ifndef PMDB_FUZZUTIL_H
#define PMDB_FUZZUTIL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "pmdblib.h"

#define FUZZCHECK(cond, ...)                                                  \
    do {                                                                      \
        if (!(cond)) {                                                        \
            fprintf(stderr, "FUZZCHECK failed at %s:%d: %s: ", __FILE__,      \
                    __LINE__, #cond);                                         \
            fprintf(stderr, __VA_ARGS__);                                     \
            fputc('\n', stderr);                                              \
            abort();                                                          \
        }                                                                     \
    } while (0)

namespace pmdbfuzz {

// Moves the process into a fresh directory under TMPDIR (or /tmp).
inline void scratchdir() {
    const char *tmp = getenv("TMPDIR");
    char templ[4096];
    snprintf(templ, sizeof templ, "%s/pmdbfuzzXXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (mkdtemp(templ) == nullptr || chdir(templ) != 0) {
        perror("pmdb fuzz: scratch directory");
        exit(1);
    }
}

inline void writefile(const char *path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path, "wb");
    FUZZCHECK(f != nullptr, "cannot write %s", path);
    if (size > 0) FUZZCHECK(fwrite(data, 1, size, f) == size, "short write of %s", path);
    fclose(f);
}

inline std::vector<uint8_t> readfile(const char *path) {
    std::vector<uint8_t> out;
    FILE *f = fopen(path, "rb");
    if (f == nullptr) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

// Does the file hold exactly these bytes?
inline bool fileis(const char *path, const uint8_t *data, size_t size) {
    std::vector<uint8_t> now = readfile(path);
    return now.size() == size && (size == 0 || memcmp(now.data(), data, size) == 0);
}

inline long filesize(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

// Reads the input front to back; past its end every read gives 0.
struct Input {
    const uint8_t *p;
    size_t n;
    size_t at = 0;
    Input(const uint8_t *data, size_t size) : p(data), n(size) {}
    bool more() const { return at < n; }
    uint8_t byte() { return at < n ? p[at++] : 0; }
    uint16_t u16() { return (uint16_t)(byte() | byte() << 8); }
    uint32_t u32() { return (uint32_t)u16() | (uint32_t)u16() << 16; }
};

}  // namespace pmdbfuzz

#endif
