/*
 * pmdblib.h - the public C interface of pmdblib.
 *
 * pmdblib keeps a database in one ordinary file of 1024-byte blocks:
 * variable-length compressed records in up to 15 logical files, addressed
 * by 32-bit record ids (rids), and one B-tree key index shared by all files.
 *
 * Rules of the interface
 *  - Instances. Call fsinit() once to take an instance number (0..9) and
 *    closefs() to give it back. Database calls take the instance first but
 *    neither check nor use it: any value works, and closefs() of a number
 *    outside 0..9 does nothing.
 *  - Handles. fsopen()/fsopentemp() return an FS handle owned by the library.
 *    Pass it (or a copy of it) to every later call for that database, and
 *    change none of its fields but len. Every call that takes a handle
 *    checks it: a null handle, one whose fsdatanum is outside 0..19 or names
 *    no open database, and one left from an earlier open (kept past its
 *    fsclose()/fsclosetemp(), or a copy of such a handle after its slot was
 *    opened again) is refused with result 0 (the closes: nothing done),
 *    error 480 and msg "<call> - invalid handle." (the control-value calls
 *    keep their own messages). A call never reaches a database other than
 *    the one its handle was opened for. The closes retire a handle rather
 *    than free it, so passing a closed one is safe; its memory is reused
 *    only after 236 later opens (at most 256 handles exist, open and
 *    closed), and a handle kept that long may then name another database.
 *  - Pointers. A null pointer that a call would read or write through (a
 *    record, key, name, buffer or mask argument) is refused: result 0 (null
 *    from fsopen, with pmerrno 7) and error 485, msg "<call> - null
 *    argument."; the record or key of a call given length 0 may be null.
 *    blankfill() and zerofill(), which have no result, do nothing.
 *  - Results. short calls return 1 for done and 0 for failed; calls that
 *    return a rid or value return 0 for none or failure; handles are null on
 *    failure. Nothing throws.
 *  - Errors. fsgeterrno() returns the last-error code (pmerrno) of the
 *    opening, creating and unlocking calls; fsgeterrors() copies the ring of
 *    the ten most recent internal error numbers (see docs/errors.md);
 *    fsgetmsg() returns the text of the last message.
 *  - Commit. Changes live in memory (a 16-block cache and a store of block
 *    images below it, see fssetcache) until a commit: every unlock
 *    (fsunlock, also run by fsopen and fsclose) and fsflush writes every
 *    changed block, then the control block, atomically: the originals go to
 *    a journal beside the file ("FILE-journal") first, so a crash at any
 *    moment leaves the last commit, whole, once the file is opened again.
 *    fsrollback drops the changes since the last commit. fssetsync says
 *    whether a commit also survives a power loss. A failed call is not
 *    rolled back by itself (its changes stay for the next commit), except
 *    that the blocks it added to the file are taken back while they are
 *    still only in the cache: the file grows only by calls that succeed.
 *  - Writers. One process at a time may have a database open for writing
 *    (a second one is refused with pmerrno 12); one process may open it
 *    writable more than once. Readers are never blocked: they read the file
 *    as the writer left it, and may meet a mixture of old and new blocks
 *    while a commit is being written (or while a large transaction sends
 *    blocks out early: opened then with checkintegrity, a reader may be
 *    refused with pmerrno 5). A reader does not see commits made after it
 *    read a block; open again for the newest state.
 *  - Damage. A file whose control block claims more blocks than the file
 *    holds (measured at open; fsopen's integrity tests refuse it, pmerrno
 *    5) is damaged: it is never grown, and a call that would append to it
 *    or read a block it lacks records 1410 and fails at once.
 *  - Buffers. The caller owns every record, key and text buffer passed in;
 *    the library keeps no pointer to them after the call. A record is up to
 *    32767 bytes (one of up to 1007 always fits; a longer one is stored when
 *    it packs into 1008 bytes). fsread() is given no size: its destination
 *    must hold the whole record. fsreclen() tells the length first, and
 *    fsreadn() reads into a buffer of a given size, refusing a longer
 *    record.
 *  - Threads. All state is process-wide and unguarded: one thread at a time.
 *  - Read-only databases refuse every change with result 0 and error 1025.
 */
#ifndef PMDBLIB_H
#define PMDBLIB_H

#include <stdint.h>

#if defined(_WIN32)
#define PMDB_API __declspec(dllexport)
#else
#define PMDB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct tm;

/* The caller's handle of an open database. fsdatanum names the database
 * and error holds the stamp of its open (both checked by every call); len
 * is an out-field of fsfirstkey/fsnextkey (key length) and of fsopen (low
 * 16 bits of the file handle). The rest is reserved. */
#pragma pack(push, 1)
typedef struct FS {
    int16_t fsdatanum;
    uint8_t isnetwork;
    uint16_t socket;
    char errororigin;
    int32_t error;
    int16_t len;
    uint8_t fid;
    uint32_t rid;
    uint8_t sequence;
    uint8_t totalpackets;
} FS;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(FS) == 19, "FS is 19 packed bytes");
#else
_Static_assert(sizeof(FS) == 19, "FS is 19 packed bytes");
#endif

/* Date and time records of the mask calls. */
struct date {
    int32_t da_year;
    signed char da_day;
    signed char da_mon;
};

struct time {
    uint8_t ti_min;
    uint8_t ti_hour;
    uint8_t ti_hund;
    uint8_t ti_sec;
};

/* ---- Instances ------------------------------------------------------- */

/* Takes the lowest free instance number 0..9; -1 when all are taken.
 * servername is ignored (may be null). */
PMDB_API char fsinit(const char *servername);
/* Frees the instance slot; always 1. */
PMDB_API short closefs(char instance);
/* No network login in this build: always null. */
PMDB_API char *getnwloginname(char instance);
/* Single local user: always 1. */
PMDB_API short checkforshare(const char *fname);

/* ---- Database files -------------------------------------------------- */

/* Creates (or empties) filename as a new database of three blocks with
 * translation blocks every freq blocks. 1 made; 0 failed with pmerrno
 * 406 (cannot create, freq < 2, or a null filename: also 485), 9, 10, 11
 * (block 0, 1, 2 not written; the half-written file is removed). */
PMDB_API short fscreatedatabase(const char *filename, short freq);
/* Opens a database. A journal left by a writer that died is rolled back
 * first (also for a read-only open, which then needs write access). A
 * writable open takes the writer lock. Null on failure, pmerrno: 0 (control
 * block unreadable: 1015; signature wrong: 1020), 1 (20 open: 1009), 2 (no
 * memory: 1010, 1012), 4/5/6 (integrity tests when checkintegrity: 1021,
 * 1021, 1022), 7 (cannot open: 1015, msg = path, one line in pmdblog.txt;
 * a null name: 485, 1015, no log line), 12 (another process writes: 1700;
 * the lock cannot be taken: 1705), 13 (the journal cannot be rolled back:
 * 1710 no write access, 1715 the rollback failed; both files are left for
 * a later open). Without checkintegrity a file shorter than its control
 * block claims opens, damaged (see Damage above). */
PMDB_API FS *fsopen(char instance, const char *name, short checkintegrity, short readonly);
/* Creates and opens a private temporary database in the platform's
 * temporary directory. Null on failure, pmerrno 1, 2, 7, 8, 9, 10, 11. */
PMDB_API FS *fsopentemp(char instance);
/* Commits and closes (numusers - 1). If that commit fails its blocks are
 * put back from the journal: the file keeps the last commit. The last
 * writable close in a process gives back the writer lock and removes the
 * journal. A bad handle: 480, nothing done. */
PMDB_API void fsclose(char instance, FS *fsinfo);
/* Closes without writing and deletes the database's file and its journal
 * (meant for fsopentemp's). A bad handle: 480, nothing done. */
PMDB_API void fsclosetemp(char instance, FS *fsinfo);
/* Does nothing; 1. */
PMDB_API short fsforceclose(char instance, const char *name);
/* Commits: every changed block, then the control block (docs/format.md,
 * "Commit order"). 1, or 0 when a write fails (1290..1315) or a step of
 * the journal does (1720..1755); what was not written stays for the next
 * commit. */
PMDB_API short fsflush(char instance, FS *fsinfo);

/* ---- Locks and control values ---------------------------------------- */

/* Locks (no file lock in this build); 1. ridary is ignored. */
PMDB_API short fslock(char instance, FS *fsinfo, uint32_t *ridary);
PMDB_API short fsexclusivelock(char instance, FS *fsinfo, short allowreads);
/* Commits every change (as fsflush) and reopens the file. 1 when the
 * commit is whole; 0 when it failed (the numbers of fsflush; the changes
 * stay for the next commit, fsrollback drops them), and 0 with pmerrno 7
 * and 1015 when the file cannot be reopened. A read-only database: 1,
 * nothing done (fsunlock; the other three reopen it). */
PMDB_API short fsunlock(char instance, FS *fsinfo);
PMDB_API short fsunlockrid(char instance, FS *fsinfo, uint32_t rid);
PMDB_API short fsforceunlockrid(char instance, FS *fsinfo, uint32_t rid);
PMDB_API short fsexclusiveunlock(char instance, FS *fsinfo);
/* The 32-bit application counter, advanced first when increment != 0
 * (1..30000, then 65536.., never 0 when advancing). 0 and 480 for a bad
 * handle; 0 and 1025 for an advance on a read-only database. */
PMDB_API uint32_t fsgetcannumber(char instance, FS *fsinfo, short increment);
PMDB_API short fsstorecannumber(char instance, FS *fsinfo, uint32_t rid);
PMDB_API short fsgetappstat(char instance, FS *fsinfo);
PMDB_API short fssetappstat(char instance, FS *fsinfo, short appstat);
PMDB_API uint32_t fsgetbusinessdate(char instance, FS *fsinfo);
PMDB_API short fsstorebusinessdate(char instance, FS *fsinfo, uint32_t bdate);
/* Local broken-down time of the calendar clock; 1, or 0 with 485 for a
 * null data. */
PMDB_API short fsgetlocaltime(char instance, struct tm *data);

/* ---- Commit, durability and memory ----------------------------------- */

/* Drops every change made since the last commit (unlock, fsflush, or the
 * open): blocks, control block and the 16 buffers, as if they had never
 * been made, also when a large transaction already sent blocks to the file
 * (their originals come back from the journal). Releases the lock. 1; on a
 * read-only database 1 with nothing to drop. 0 with 480 for a bad handle
 * ("fsrollback - invalid handle." in msg), 1750 when the journal's images
 * cannot be put back (no further change or commit is accepted, 1765; call
 * fsrollback again, or close: the next open rolls the file back), 1745
 * when the previous commit's journal cannot be ended, or 1380/9900 when the
 * control block cannot be read again. */
PMDB_API short fsrollback(char instance, FS *fsinfo);
/* Durability of commits. mode 0 (the default): no fsync; a crash of the
 * process never loses or damages a committed change, but a power loss or
 * an operating-system crash may lose recent commits or damage the file.
 * mode 1: the journal is synced (fdatasync, and its directory once)
 * before the database is written, and the database before the journal is
 * ended; a commit that returned survives a power loss too. 1; 0 with 480
 * for a bad handle, 1760 for another mode. */
PMDB_API short fssetsync(char instance, FS *fsinfo, int16_t mode);
/* Bounds the memory of the block store below the 16 buffers to about kib
 * KiB of block images (256 MiB by default, enough to serve a file of that
 * size from memory), plus up to a quarter of that for journal images of a
 * transaction. A transaction that changes more blocks than the bound sends
 * changed blocks to the file before its commit (their originals go to the
 * journal first, so a crash or fsrollback still undoes the whole of it).
 * 0 reads every block from the file and sends every change out at once. A
 * lower bound frees the store at once when it holds no change. 1; 0 with
 * 480 for a bad handle. */
PMDB_API short fssetcache(char instance, FS *fsinfo, uint32_t kib);

/* ---- Records --------------------------------------------------------- */
/* A record is 0..32767 bytes, stored packed; one whose packed form would
 * exceed 1008 bytes is refused (every record up to 1007 bytes fits). Its
 * rid carries the logical file (1..15) in the top four bits and never
 * changes. A rid that names no live record of its file (deleted, another
 * file's, beyond the file, file number 0) is refused with error 1345
 * followed by the call's own number. The changing calls refuse a
 * read-only database with 1025 before anything else; every refusal comes
 * before anything changes, and a rewrite or delete that fails midway
 * leaves the record as it was. Damaged blocks give the call's own number
 * (the ring shows it newest); none of these calls allocates. */

/* Adds a record to logical file fid >> 4 (the low four bits are ignored).
 * Its new rid (the most recently freed slot first), or 0: 1025, 1030 (no
 * file number, len < 0, a null rec with len > 0 after 485, too long, or no
 * block can be made: after 1405, 1410, 1415 when the file cannot grow),
 * 1035, 1038, 1040, 1042 (the search for room failed), 1045 (no slot), 1050,
 * 1055. */
PMDB_API uint32_t fsadd(char instance, FS *fsinfo, const void *rec, short len, uint8_t fid);
/* Adds a record under a rid chosen by the caller, for restoring records
 * that others address by rid: the file is rid >> 28 (1..15) and the slot
 * (the low 28 bits) must be free. The slot is taken out of the free-slot
 * chain wherever it stands, and the file grows up to the slot's
 * translation block when it lies beyond the file; the remaining free
 * slots stay chained, so later fsadd calls work as before. Placing records
 * in rising rid order is fastest (each placement starts where the last
 * one left the chain). 1 added; 0: 480 (bad handle), 1025, 1550 (file
 * number 0, len < 0, rec null with len > 0 after 485, too long, or a slot whose
 * translation block would lie past the largest file), 1555 (the slot is
 * in use: a live record has this slot, in any file), 1560 (the free-slot
 * chain cannot be followed to the slot: damage), 1565, 1570, 1575, 1580,
 * 1585 (the search for room failed, as 1030..1042 for fsadd), 1590 (the
 * file cannot grow to the slot's translation block), 1595 (a translation
 * block cannot be marked changed; the chain is as it was), 1600, 1605 (as
 * 1050 and 1055 for fsadd). The refusals 1550, 1555 and 1560 come before
 * anything changes. */
PMDB_API short fsaddat(char instance, FS *fsinfo, const void *rec, short len, uint32_t rid);
/* Replaces the record's contents; the rid stays, the record may move to
 * another block. 1, or 0: 1025, 1080 (len < 0, a null rec with len > 0
 * after 485, too long, or no block for a move), 1160 (rid refused), 1065,
 * 1070 (not in its block, with 1340),
 * 1075, 1085, 1087, 1089, 1090, 1092, 1095, 1100. */
PMDB_API short fswrite(char instance, FS *fsinfo, const void *rec, short len, uint32_t rid);
/* Deletes the record and frees its rid for reuse; the file's first and last
 * rids follow. 1, or 0: 1025, 1105 (rid refused), 1110, 1115 (with 1340),
 * 1120 (slot or block cannot be changed, or the new bound not found). */
PMDB_API short fsdelete(char instance, FS *fsinfo, uint32_t rid);
/* Places the record in rec, which must hold it, and returns its length (0
 * also for an empty record: a failure records a number, fsgeterrors' index
 * moves). 0 on failure: 485 (rec null), 1125 (rid refused), 1130, 1135
 * (not in its block: 1340 and msg "Rid <hex> not in block"), 1132 (the
 * stored form is damaged; rec is untouched). */
PMDB_API short fsread(char instance, FS *fsinfo, uint32_t rid, void *rec);
/* As fsread into buf of size bytes: the record's length, or 0 with 1133
 * when the record is longer than size (buf is then untouched; a size below
 * 0 counts as 0), 485 for a null buf with size > 0, or fsread's numbers.
 * buf may be null with size 0: only an empty record then reads. */
PMDB_API short fsreadn(char instance, FS *fsinfo, uint32_t rid, void *buf, int16_t size);
/* The length of the record (0..32767) without reading it; 0 with fsread's
 * numbers (1125, 1130, 1135, 1132) for a rid that names no live record or
 * a damaged one. An empty record also gives 0, with nothing recorded. */
PMDB_API short fsreclen(char instance, FS *fsinfo, uint32_t rid);
/* The first and last rid of logical file fid >> 4; 0 for an empty file or
 * file number 0. */
PMDB_API uint32_t fsfirst(char instance, FS *fsinfo, uint8_t fid);
PMDB_API uint32_t fslast(char instance, FS *fsinfo, uint8_t fid);
/* The next and previous rid of the same file in rid (slot) order, from any
 * rid, live or not; 0 at the end, for file number 0, or on failure: 1320,
 * 1325 (fsnext), 1330, 1335 (fsprev). fsprev of a rid beyond the file gives
 * the file's last record. */
PMDB_API uint32_t fsnext(char instance, FS *fsinfo, uint32_t rid);
PMDB_API uint32_t fsprev(char instance, FS *fsinfo, uint32_t rid);

/* ---- Schema ---------------------------------------------------------- */
/* Each logical file (1..15) has a name and a record length, which the
 * library stores for the application and never reads, and each of its 16
 * subkeys a key type (0..8 as listed under Keys; 9 = a subkey that every
 * key call refuses) and a duplicate rule (0 unique, 1 equal values allowed,
 * ordered by rid). A new database has empty names, record length 0, key
 * type 0 everywhere, subkeys 0..7 unique and 8..15 with duplicates. The
 * setters change the control block like every other change (make them
 * between fslock and fsunlock; the next unlock writes them). All four
 * check the handle (480) and clear pmerrno. */

/* Sets the name (at most 15 bytes; stored NUL-padded, without a NUL when
 * all 15 are used) and the record length of logical file `file`. 1, or 0:
 * 480, 1025 (read-only), 1500 (file outside 1..15), 1505 (name null, after
 * 485, or longer than 15 bytes). */
PMDB_API short fsdefinefile(char instance, FS *fsinfo, uint8_t file, const char *name, int16_t rlen);
/* Sets the key type and duplicate rule of subkey fid & 15 of logical file
 * fid >> 4. A subkey that holds keys keeps its settings: changing them
 * would put its stored keys out of order. Setting what it has is always
 * allowed. 1, or 0: 480, 1025, 1510 (file number 0), 1515 (keytype outside
 * 0..9), 1520 (dupkeys neither 0 nor 1), 1525 (the subkey holds keys),
 * 1530 (the index cannot be read to find out; 1155 or 1165 first). */
PMDB_API short fsdefinesubkey(char instance, FS *fsinfo, uint8_t fid, int16_t keytype, int16_t dupkeys);
/* The name (with a NUL after it, so name holds up to 16 bytes) and record
 * length of logical file `file`; either pointer may be null when not
 * wanted. 1, or 0: 480, 1535 (file outside 1..15). */
PMDB_API short fsgetfile(char instance, FS *fsinfo, uint8_t file, char name[16], int16_t *rlen);
/* The key type (as stored, so a damaged file may give a value outside
 * 0..9) and duplicate rule (0 or 1) of subkey fid & 15 of file fid >> 4;
 * either pointer may be null. 1, or 0: 480, 1540 (file number 0). */
PMDB_API short fsgetsubkey(char instance, FS *fsinfo, uint8_t fid, int16_t *keytype, int16_t *dupkeys);

/* ---- Keys ------------------------------------------------------------ */
/* One B-tree holds the keys of every logical file. fid: logical file in the
 * high four bits (1..15), subkey 0..15 in the low four; the subkey's
 * keytype (0..8) picks its order and bit s of dupkeys lets subkey s hold
 * equal values, ordered by rid. key/len: the value, at most 195 bytes; a
 * typed subkey takes 0 bytes or exactly its width (2, 4, 2, 4, 4, 8, 10
 * for keytypes 1, 2, 4, 5, 6, 7, 8); NaN values are refused. A refused
 * argument (file 0, keytype outside 0..8, a bad length or NaN) makes any
 * key call return 0; a null key with len > 0 records 485.
 *
 * Searches return the rid of the key found and copy its value into key
 * (which must hold 195 bytes, and is never null: 485); 0 = none, nothing
 * copied. They stay inside
 * the file and subkey of fid. Failures reading the tree record 1155..1165
 * (descent), 1250..1260 (fsnextkey), 1265..1275 (backward walk). */

/* The first key of the subkey; fsinfo->len = value length + 1. */
PMDB_API uint32_t fsfirstkey(char instance, FS *fsinfo, uint8_t fid, void *key);
/* The greatest key whose value is below the given one (the subkey's last
 * key for a value above them all). */
PMDB_API uint32_t fslastkey(char instance, FS *fsinfo, uint8_t fid, short len, void *key);
/* The first key (smallest rid) of exactly this value; len 0 finds the first
 * key of the subkey. */
PMDB_API uint32_t fsfindkey(char instance, FS *fsinfo, uint8_t fid, short len, void *key);
/* The key after (value, rid), also when that key is no longer stored;
 * fsinfo->len = value length + 1. */
PMDB_API uint32_t fsnextkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len, void *key);
/* The key before (value, rid). */
PMDB_API uint32_t fsprevkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len, void *key);
/* Adds (value, rid): 1 added; 0 with 1025 (read-only), or 1145 after any
 * other failure: a refused argument, rid 0, an equal key present (same
 * value, and same rid where duplicates are allowed), or a failure to grow
 * the tree (1140, 1170..1245, 1280, 1285 first). */
PMDB_API short fsaddkey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len, const void *key);
/* Removes the key of this value (and rid, where duplicates are allowed);
 * len 0 removes the first key of the subkey. 1 removed; 0 when absent or
 * refused (no number), read-only (1025), or a failure (1147, 1155, the
 * split numbers when a longer separator splits a parent). */
PMDB_API short fsdeletekey(char instance, FS *fsinfo, uint8_t fid, uint32_t rid, short len, const void *key);

/* ---- Field masks ----------------------------------------------------- */
/* Text fields through picture masks (docs/masks.md). Independent of any
 * database and without state; the one error is a null argument, refused
 * with 0 and 485 (blankfill and zerofill then do nothing). Masks and texts
 * may be of any length; a mask and the text it edits must not overlap. */

/* Shows dt through mask m (placeholders M, D, Y in either case, one digit
 * each, filled from the right; every other character in upper case).
 * s receives strlen(m) characters and a NUL. 1. */
PMDB_API short dodatemask(char *s, const struct date *dt, const char *m);
/* Reads the characters of s under each kind of placeholder of m as a
 * decimal number (leading blanks, a sign, digits; 0 when none) into dt.
 * Past the end of a short s the text reads as blanks. 1. */
PMDB_API short undodatemask(const char *s, struct date *dt, const char *m);
/* As dodatemask with H (hour), M (minute), S (second). 1. */
PMDB_API short dotimemask(char *s, const struct time *tm, const char *m);
/* As undodatemask with H, M, S; ti_hund is left as it was. 1. */
PMDB_API short undotimemask(const char *s, struct time *ti, const char *m);
/* Lays the number text in s (optional '-', digits, optional '.', digits)
 * into numeric mask m and puts the field, strlen(m) characters and a NUL,
 * back in s, which needs room for both. 1 when every integer digit is
 * shown; 0 when leading digits were dropped (s still holds the field). */
PMDB_API short domask(char *s, const char *m);
/* Fills the len characters of nafld (no NUL) with the digits of num,
 * right-aligned, zeros in front, other characters skipped; the leftmost
 * digits are dropped when they do not fit. 1. */
PMDB_API short makenumascii(char *nafld, const char *num, short len);
/* Turns an edited field into plain number text in place: digits and '.'
 * kept, leading zeros removed, '-' in front when the field ends with '-'
 * (leading zeros then kept). 1. */
PMDB_API short mkascnum(char *buff);
/* Leading zeros of the len characters of buff become blanks; the last
 * character never does. */
PMDB_API void blankfill(char *buff, short len);
/* Leading blanks of the len characters of buff become zeros. */
PMDB_API void zerofill(char *buff, short len);

/* ---- Error state ----------------------------------------------------- */

/* The last-error code of the opening, creating and unlocking calls. */
PMDB_API short fsgeterrno(void);
/* The text of the last message (at most 79 characters). */
PMDB_API const char *fsgetmsg(void);
/* Copies the ring of the last ten error numbers as stored and returns the
 * index of the next entry to be written; the newest is ring[(i + 9) % 10].
 * A null ring: 0, and 485 is recorded. */
PMDB_API short fsgeterrors(short ring[10]);

#ifdef __cplusplus
}
#endif

#endif /* PMDBLIB_H */
