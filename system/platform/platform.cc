// platform.cc - POSIX implementation of the platform layer, with the fault
// injector that the tests use to reach every I/O and allocation failure.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
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
int jmissing;

// Writes every piece, going on after a short write; total or -1.
long writeall(int fd, const platiov *iov, int n, uint64_t offset) {
    if (n < 0 || n > PLATIOVMAX) return -1;
    struct iovec v[PLATIOVMAX];
    size_t total = 0;
    for (int k = 0; k < n; k++) {
        v[k].iov_base = const_cast<void *>(iov[k].base);
        v[k].iov_len = iov[k].len;
        total += iov[k].len;
    }
    if (writehook != nullptr) writehook(fd, offset, total);
    size_t done = 0;
    int first = 0;
    while (done < total) {
        ssize_t r = ::pwritev(fd, v + first, n - first, (off_t)(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        done += (size_t)r;
        // Skip the pieces written in full and trim the one cut short.
        size_t left = (size_t)r;
        while (first < n && left >= v[first].iov_len) left -= v[first++].iov_len;
        if (first < n) {
            v[first].iov_base = (char *)v[first].iov_base + left;
            v[first].iov_len -= left;
        }
    }
    return (long)total;
}

int truncateto(int fd, uint64_t len) {
    if (writehook != nullptr) writehook(fd, len, 0);
    int r;
    do {
        r = ::ftruncate(fd, (off_t)len);
    } while (r < 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

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
    // Not passed on to programs the caller runs: the writer lock lives on a
    // descriptor like this one.
    return ::open(path, (readonly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
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

long plat_pwritev(int fd, const platiov *iov, int n, uint64_t offset) {
    if (injected(PLAT_WRITE)) return -1;
    return writeall(fd, iov, n, offset);
}

int plat_truncate(int fd, uint64_t len) {
    if (injected(PLAT_WRITE)) return -1;
    return truncateto(fd, len);
}

int plat_sync(int fd) {
    if (injected(PLAT_SYNC)) return -1;
    int r;
    do {
        r = ::fdatasync(fd);
    } while (r < 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

int plat_syncdir(const char *path) {
    if (injected(PLAT_SYNC)) return -1;
    char dir[4200];
    const char *slash = strrchr(path, '/');
    size_t n = slash == nullptr ? 0 : slash == path ? 1 : (size_t)(slash - path);
    if (n >= sizeof dir) return -1;
    if (n == 0) {
        strcpy(dir, ".");
    } else {
        memcpy(dir, path, n);
        dir[n] = '\0';
    }
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    int r = ::fsync(fd);
    ::close(fd);
    return r == 0 ? 0 : -1;
}

int plat_jopen(const char *path, int mode) {
    jmissing = 0;
    if (injected(PLAT_JOURNAL)) return -1;
    int flags = (mode == 0 ? O_RDONLY : mode == 1 ? O_RDWR : O_RDWR | O_CREAT) | O_CLOEXEC;
    int fd = ::open(path, flags, 0666);
    if (fd < 0 && errno == ENOENT) jmissing = 1;
    return fd;
}

int plat_jmissing() { return jmissing; }

long plat_jpread(int fd, void *buf, size_t n, uint64_t offset) {
    if (injected(PLAT_JOURNAL)) return -1;
    ssize_t r;
    do {
        r = ::pread(fd, buf, n, (off_t)offset);
    } while (r < 0 && errno == EINTR);
    return (long)r;
}

long plat_jpwritev(int fd, const platiov *iov, int n, uint64_t offset) {
    if (injected(PLAT_JOURNAL)) return -1;
    return writeall(fd, iov, n, offset);
}

int plat_jtruncate(int fd, uint64_t len) {
    if (injected(PLAT_JOURNAL)) return -1;
    return truncateto(fd, len);
}

int plat_fileid(int fd, uint64_t *dev, uint64_t *ino, uint64_t *links) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    *dev = (uint64_t)st.st_dev;
    *ino = (uint64_t)st.st_ino;
    *links = (uint64_t)st.st_nlink;
    return 0;
}

int plat_pid() { return (int)::getpid(); }

int plat_trylock(int fd) {
    if (injected(PLAT_LOCK)) return -1;
    // flock locks belong to the open file description: the close and
    // reopen of the database's own descriptor at every unlock leaves a lock
    // taken on a separate descriptor in place (a POSIX record lock would
    // be dropped by it).
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return 0;
    return errno == EWOULDBLOCK ? 1 : -1;
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

void *plat_allocpages(size_t n) {
    if (injected(PLAT_ALLOC)) return nullptr;
    void *p = aligned_alloc(PLATPAGESIZE, n);
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the memory is used as it is.
    if (p != nullptr) (void)madvise(p, n, MADV_HUGEPAGE);
#endif
    return p;
}

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
