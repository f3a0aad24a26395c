// platform.h - the one layer between the library and the C runtime.
//
// Every file, clock, temporary-name and allocation call of the library goes
// through here, so that a test can make any of them fail on purpose. Block
// I/O is positional (pread/pwrite): one system call per block. A "seek" is
// kept as its own step only so that the failure paths the engine reports
// for a failed positioning stay reachable; it makes no system call.
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

enum platop { PLAT_OPEN, PLAT_READ, PLAT_WRITE, PLAT_SEEK, PLAT_ALLOC, PLAT_NOPS };

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
// Length of the open file in bytes; -1 failed.
int64_t plat_filesize(int fd);
int plat_remove(const char *path);
void *plat_alloc(size_t n);
void plat_free(void *p);
// Appends text and "\r\n" to the named text file; 0 ok, -1 failed.
int plat_appendline(const char *file, const char *text);
// Local broken-down time of the calendar clock; 0 ok.
int plat_localtime(struct tm *out);

// Fault injection.
void plat_failat(platop op, long n, int persist);
void plat_faultreset();
// Calls of a kind since the last reset (for tests that loop over N).
long plat_calls(platop op);
// Observes every block write (tests that pin down the flush order); null
// removes the hook. Cleared by plat_faultreset.
typedef void (*platwritehook)(int fd, uint64_t offset, size_t n);
void plat_setwritehook(platwritehook hook);

}  // namespace pmdb

#endif
