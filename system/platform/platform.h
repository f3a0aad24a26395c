// platform.h - the one layer between the library and the C runtime.
//
// Every file, clock, temporary-name and allocation call of the library goes
// through here, so that a test can make any of them fail on purpose. Block
// I/O is positional (pread/pwrite): one system call per block. A "seek" is
// kept as its own step only so that the failure paths the engine reports
// for a failed positioning stay reachable; it makes no system call.
//
// The database file is touched through open/pread/pwrite/pwritev and the
// rollback journal beside it through the plat_j* calls, which are counted
// as their own kind: a test can fail the n-th block write of a commit
// without also counting the journal's writes, and the other way round.
// Syncs and the writer lock are kinds of their own too.
//
// Fault injection (test-only, but always compiled in: it costs a counter
// and a compare per call). plat_failat(op, n, persist) makes the n-th call
// of that kind from now fail (n = 1 is the very next call); with persist,
// every call from the n-th on fails. plat_faultreset() clears all plans.
#ifndef PMDB_PLATFORM_H
#define PMDB_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

namespace pmdb {

// PLAT_WRITE counts every write to a database file (pwrite, pwritev, and the
// truncation that ends a rollback); PLAT_JOURNAL every open, read, write and
// truncation of a journal, and every read of a block's original made for
// the journal (plat_jpread on the database); PLAT_SYNC every file and
// directory sync; PLAT_LOCK every attempt to take the writer lock.
enum platop { PLAT_OPEN, PLAT_READ, PLAT_WRITE, PLAT_SEEK, PLAT_ALLOC,
              PLAT_JOURNAL, PLAT_SYNC, PLAT_LOCK, PLAT_NOPS };

// One piece of a gathered write.
struct platiov {
    const void *base;
    size_t len;
};
constexpr int PLATIOVMAX = 1024;   // pieces per gathered call

// Opens an existing file, read-only or for reading and writing; -1 failed.
int plat_open(const char *path, int readonly);
// Creates path (emptying an existing file) for reading and writing; -1 failed.
int plat_create(const char *path);
// Creates a new file with a unique name in the temporary directory,
// exclusively, owner read and write; writes its full name into out.
int plat_createtemp(char *out, size_t outlen);
int plat_close(int fd);
// Checks that offset can be addressed on fd; 0 ok, -1 failed.
int plat_seek(int fd, uint64_t offset);
// Whole-block transfers at an offset; bytes moved, or -1.
long plat_pread(int fd, void *buf, size_t n, uint64_t offset);
long plat_pwrite(int fd, const void *buf, size_t n, uint64_t offset);
// The pieces written one after the other from offset in one call (at most
// PLATIOVMAX); bytes written, or -1. A short count is a failure to callers.
long plat_pwritev(int fd, const platiov *iov, int n, uint64_t offset);
// Cuts or extends the database file to len bytes; 0 ok, -1 failed.
int plat_truncate(int fd, uint64_t len);
// Flushes the file's data to the disk (fdatasync); 0 ok, -1 failed.
int plat_sync(int fd);
// Flushes the directory holding path (a new file's name); 0 ok, -1 failed.
int plat_syncdir(const char *path);

// The journal beside a database. plat_jopen opens it read-only (mode 0),
// for reading and writing (1), or creates it if missing (2, mode 0666 less
// the umask); -1 failed, with plat_jmissing() telling whether it simply did
// not exist.
int plat_jopen(const char *path, int mode);
int plat_jmissing();
long plat_jpread(int fd, void *buf, size_t n, uint64_t offset);
long plat_jpwritev(int fd, const platiov *iov, int n, uint64_t offset);
int plat_jtruncate(int fd, uint64_t len);

// Identity of an open file, to tell two opens of one file apart from two
// files: device, inode, and the number of names it still has (0 once the
// file was deleted). 0 ok, -1 failed.
int plat_fileid(int fd, uint64_t *dev, uint64_t *ino, uint64_t *links);
// The calling process's id.
int plat_pid();
// The writer lock: an advisory exclusive lock held by an open file
// description (not by the process), so closing another descriptor of the
// same file does not drop it. 0 taken, 1 held by someone else, -1 failed.
int plat_trylock(int fd);
// Length of the open file in bytes; -1 failed.
int64_t plat_filesize(int fd);
int plat_remove(const char *path);
void *plat_alloc(size_t n);
void plat_free(void *p);
// Memory for a large array of block images (a multiple of PLATPAGESIZE):
// aligned to PLATPAGESIZE and, where the system offers them, in huge pages,
// which spare random reads across the array most of their translation
// misses. Counted as an allocation; freed with plat_free.
constexpr size_t PLATPAGESIZE = (size_t)2 << 20;
void *plat_allocpages(size_t n);
// Appends text and "\r\n" to the named text file; 0 ok, -1 failed.
int plat_appendline(const char *file, const char *text);
// Local broken-down time of the calendar clock; 0 ok.
int plat_localtime(struct tm *out);

// Fault injection.
void plat_failat(platop op, long n, int persist);
void plat_faultreset();
// Calls of a kind since the last reset (for tests that loop over N).
long plat_calls(platop op);
// Observes every write to a database or journal file, before it is made
// (tests that pin down the flush order, and the crash tests that kill a
// process after its k-th write): n bytes at offset, or a truncation to
// offset reported with n = 0. Null removes the hook. Cleared by
// plat_faultreset.
typedef void (*platwritehook)(int fd, uint64_t offset, size_t n);
void plat_setwritehook(platwritehook hook);

}  // namespace pmdb

#endif
