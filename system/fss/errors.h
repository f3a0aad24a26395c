// errors.h - the process-wide error state: pmerrno, msg, the ring of the
// last ten error numbers, the hard-error flag, and the damage report that
// every check of file content goes through.
//
// Each failure site records its own four-digit number with dodberror; a
// failure deep down records the inner number first and every caller its
// own after it, so the ring reads as a short stack trace, newest last.
#ifndef PMDB_FSS_ERRORS_H
#define PMDB_FSS_ERRORS_H

#include <stdint.h>

namespace pmdb {

constexpr int MSGSIZE = 80;                 // msg holds at most 79 characters
constexpr int16_t ERR_READONLY = 1025;      // a change asked of a read-only database
constexpr int16_t ERR_BADHANDLE = 480;      // a call given a handle that is not open
constexpr int16_t ERR_NULLARG = 485;        // a required pointer argument is null
constexpr int16_t ERR_TOOLONG = 1133;       // fsreadn: the record is longer than the buffer
constexpr int16_t ERR_SHORTFILE = 1410;     // the file holds fewer blocks than lb claims
constexpr const char LOGFILE[] = "pmdblog.txt";

// The storage layer's numbers (pager.cc, journal.cc, writerlock.cc).
constexpr int16_t ERR_WRITERBUSY = 1700;    // fsopen: another process has it open for writing
constexpr int16_t ERR_WRITERLOCK = 1705;    // fsopen: the writer lock cannot be taken
constexpr int16_t ERR_HOTREADONLY = 1710;   // fsopen: a hot journal, and no write access to roll it back
constexpr int16_t ERR_RECOVER = 1715;       // fsopen: the hot journal cannot be rolled back
constexpr int16_t ERR_JOPEN = 1720;         // the journal cannot be created or opened
constexpr int16_t ERR_JWRITE = 1725;        // a write to the journal fails
constexpr int16_t ERR_JSYNC = 1730;         // a sync of the journal (or its directory) fails
constexpr int16_t ERR_JORIG = 1735;         // a block's original (or the file length) cannot be read
constexpr int16_t ERR_DBSYNC = 1740;        // the sync of the database at commit fails
constexpr int16_t ERR_JEND = 1745;          // the journal cannot be ended after a commit
constexpr int16_t ERR_ROLLBACK = 1750;      // fsrollback cannot put the journal's images back
constexpr int16_t ERR_JBUSY = 1755;         // another open of the file in this process holds the journal
constexpr int16_t ERR_SYNCMODE = 1760;      // fssetsync: mode other than 0 or 1
constexpr int16_t ERR_BROKEN = 1765;        // a change or commit after a rollback that failed

extern int16_t pmerrno;
extern int16_t harderrno;
extern char msg[MSGSIZE];
extern int16_t err[10];

// Records e in the ring.
void dodberror(int16_t e);
// Appends s and "\r\n" to the error log; gives up silently.
void dodberrorstring(const char *s);
// printf into msg, cut at 79 characters.
void setmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The reserved display hook of the error state; does nothing.
void fsdisplayerr();
// Index of the next ring entry to be written.
int16_t errindex();
// The newest entry of the ring (0 when nothing was ever recorded).
int16_t lasterror();
// Clears the whole error state (tests).
void clearerrors();

// A required pointer argument of call is null: records 485 and puts
// "<call> - null argument." into msg. Returns 0 for "return nullarg(...)".
int nullarg(const char *call);

// Damage found in the file. Every check of file content that fails reports
// here before its caller records its own error number, so that tests and
// the checker can count and name each one. blk is the block, what a short
// static text. Returns 0 so that checks can end with "return dbdamage(...)".
int dbdamage(uint32_t blk, const char *what);
extern uint32_t damagecount;
extern uint32_t damageblk;
extern const char *damagewhat;

}  // namespace pmdb

#endif
