// writerlock.h - one writer at a time across processes, and the hot-journal
// check that every open makes before anything reads the file.
//
// A writable open takes an exclusive advisory lock on a descriptor of its
// own, kept until the last writable close of the file in this process: the
// database's descriptor is closed and reopened at every unlock, and the lock
// must outlive that. Opens of the same file in one process (told apart from
// other files by device and inode) share the lock through a registry with a
// count, so a program that opens its database twice works as before. A
// second writing process is refused; read-only opens never take the lock.
//
// A journal is hot (a writer died in the middle of a transaction) only when
// its checksum holds AND no writer holds the lock: a reader must never roll
// back a live writer's journal. Whoever rolls back holds the lock meanwhile.
//
// What a reader in another process sees: no lock keeps a reader out, so it
// reads the file as the writer last left it. Between commits that is the
// last committed state; while a commit writes, or after a big transaction
// sent blocks out early, a read may meet a mixture of old and new blocks. A
// reader keeps what it has read in memory and does not see later commits:
// opening again gives the newest committed state.
#ifndef PMDB_FSS_WRITERLOCK_H
#define PMDB_FSS_WRITERLOCK_H

#include "fss/fsdata.h"

namespace pmdb {

// At open, with fsdata->fsp and path set and nothing read yet: a writable
// open joins or takes the writer lock and rolls back a hot journal; a
// read-only open rolls back a hot journal when no writer is alive (it needs
// write access for that). 1, or 0 with pmerrno and the error number set:
// 12 with 1700 (another process writes) or 1705 (the lock cannot be taken);
// 13 with 1710 (hot journal, no write access) or 1715 (rollback failed).
short writeropen(FSDATA *fsdata);
// At close: this open's share of the lock is given back.
void writerclose(FSDATA *fsdata);
// Is this the only writable open of its file in the process (or a file
// with no lock, a temporary database)?
bool writerlast(FSDATA *fsdata);

// The journal file is shared by the opens of one file in a process; only one
// of them may have a live transaction in it. False when another one has.
bool writerownjournal(FSDATA *fsdata);
void writerreleasejournal(FSDATA *fsdata);
// The open closes with its journal still live (hot): no other open of the
// file in this process may write the journal until the last one closes.
void writerorphanjournal(FSDATA *fsdata);

}  // namespace pmdb

#endif
