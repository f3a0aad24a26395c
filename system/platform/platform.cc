// platform.cc - POSIX implementation of the platform layer, with the fault
// injector that the tests use to reach every I/O and allocation failure.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pmdb {

namespace {

struct faultplan {
    long calls;    // calls of this kind since the last reset
    long failat;   // 0 = no plan; else the call number that fails
    int persist;   // every call from failat on fails
};

faultplan plans[PLAT_NOPS];
platwritehook writehook;

// Counts the call and says whether the plan makes it fail.
bool injected(platop op) {
    faultplan &p = plans[op];
    p.calls++;
    if (p.failat == 0) return false;
    return p.persist ? p.calls >= p.failat : p.calls == p.failat;
}

}  // namespace

void plat_failat(platop op, long n, int persist) {
    plans[op].failat = plans[op].calls + n;
    plans[op].persist = persist;
}

void plat_faultreset() {
    for (faultplan &p : plans) p = faultplan{0, 0, 0};
    writehook = nullptr;
}

void plat_setwritehook(platwritehook hook) { writehook = hook; }

long plat_calls(platop op) { return plans[op].calls; }

int plat_open(const char *path, int readonly) {
    if (injected(PLAT_OPEN)) return -1;
    return ::open(path, readonly ? O_RDONLY : O_RDWR);
}

int plat_create(const char *path) {
    if (injected(PLAT_OPEN)) return -1;
    return ::open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
}

int plat_createtemp(char *out, size_t outlen) {
    if (injected(PLAT_OPEN)) return -1;
    const char *dir = getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    int n = snprintf(out, outlen, "%s/pmdbXXXXXX", dir);
    if (n < 0 || (size_t)n >= outlen) return -1;
    // mkstemp creates exclusively with mode 0600.
    return mkstemp(out);
}

int plat_close(int fd) {
    if (fd < 0) return -1;
    return ::close(fd);
}

int plat_seek(int fd, uint64_t offset) {
    if (injected(PLAT_SEEK)) return -1;
    if (fd < 0 || offset > (uint64_t)INT64_MAX) return -1;
    return 0;
}

long plat_pread(int fd, void *buf, size_t n, uint64_t offset) {
    if (injected(PLAT_READ)) return -1;
    ssize_t r;
    do {
        r = ::pread(fd, buf, n, (off_t)offset);
    } while (r < 0 && errno == EINTR);
    return (long)r;
}

long plat_pwrite(int fd, const void *buf, size_t n, uint64_t offset) {
    if (injected(PLAT_WRITE)) return -1;
    if (writehook != nullptr) writehook(fd, offset, n);
    ssize_t r;
    do {
        r = ::pwrite(fd, buf, n, (off_t)offset);
    } while (r < 0 && errno == EINTR);
    return (long)r;
}

int64_t plat_filesize(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return (int64_t)st.st_size;
}

int plat_remove(const char *path) { return ::unlink(path); }

void *plat_alloc(size_t n) {
    if (injected(PLAT_ALLOC)) return nullptr;
    return malloc(n);
}

void plat_free(void *p) { free(p); }

int plat_appendline(const char *file, const char *text) {
    if (injected(PLAT_OPEN)) return -1;
    FILE *f = fopen(file, "ab");
    if (f == nullptr) return -1;
    fputs(text, f);
    fputs("\r\n", f);
    return fclose(f) == 0 ? 0 : -1;
}

int plat_localtime(struct tm *out) {
    time_t now = ::time(nullptr);
    return localtime_r(&now, out) != nullptr ? 0 : -1;
}

}  // namespace pmdb
