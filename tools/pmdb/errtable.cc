// errtable.cc - the meanings of the library's error numbers and pmerrno
// values, and the error lines the tool prints. The tables are those of
// docs/errors.md, each number with the call that records it; a test keeps
// the two in step.
#include <errno.h>
#include <string.h>

#include "fss/errors.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

struct Meaning {
    int num;
    const char *text;
};

const Meaning pmerrnos[] = {
    {1, "all 20 database entries in use"},
    {2, "out of memory"},
    {4, "integrity test 1: the free translation slot lies beyond the file"},
    {5, "integrity test 2: file length does not match the last block"},
    {6, "integrity test 3: a chain head lies beyond the file"},
    {7, "the file cannot be opened (or its name is null: 485), created or reopened"},
    {8, "the new temporary database cannot be read back"},
    {9, "block 0 of a new database cannot be written"},
    {10, "block 1 of a new database cannot be written"},
    {11, "block 2 of a new database cannot be written"},
    {12, "another process has the database open for writing, or the writer lock cannot be taken"},
    {13, "a dead writer's journal must be rolled back and cannot be (no write access, or the rollback failed)"},
    {406, "the file cannot be created, its name is null (485), or the spacing is below 2"},
};

const Meaning errors[] = {
    {480, "every call that takes a handle: the handle is null, out of range, names no open database, or is left from an earlier open of its slot"},
    {485, "every call that takes a pointer: a record, key, name, buffer or mask argument it would read or write through is null"},
    {1009, "fsopen, fsopentemp: all 20 database entries in use"},
    {1010, "fsopen, fsopentemp: no memory for the open database"},
    {1012, "fsopen, fsopentemp: no memory for the handle"},
    {1015, "fsopen: the file cannot be opened, or its control block cannot be read; fsopentemp: the temporary file cannot be created; unlock calls: the file cannot be reopened after the flush"},
    {1020, "fsopen: the lock is refused, or the signature is wrong; fsopentemp: the new control block cannot be read back"},
    {1021, "fsopen: integrity test 1 or 2 failed; fsopentemp: block 0 cannot be written"},
    {1022, "fsopentemp: block 1 cannot be written; fsopen: integrity test 3 failed"},
    {1023, "fsopentemp: block 2 cannot be written"},
    {1025, "every changing call: the database is open read-only; nothing was changed"},
    {1029, "fslock, fsexclusivelock: the cached state may not be used (never in this build)"},
    {1030, "fsadd: no file number in fid, len < 0, a stored form over 1008 bytes, or no block can be made"},
    {1035, "fsadd: the first block tried cannot be read or is damaged"},
    {1038, "fsadd: a block re-filed by the search for room cannot be marked changed"},
    {1040, "fsadd: no block can be made after a chain ran out"},
    {1042, "fsadd: the next block of the search cannot be read or is damaged, or the search does not end"},
    {1045, "fsadd: no translation slot can be bound"},
    {1050, "fsadd: the block found cannot be read again after the slot was bound"},
    {1055, "fsadd: the block cannot be marked changed after the append (the add is undone)"},
    {1065, "fswrite: the record's block cannot be read or is damaged"},
    {1070, "fswrite: the record is not in its block (after 1340)"},
    {1075, "fswrite: the old block cannot be marked changed before a move"},
    {1080, "fswrite: len < 0, a stored form over 1008 bytes, or no block can be made for a move"},
    {1085, "fswrite: the first block tried for the move cannot be read or is damaged"},
    {1087, "fswrite: the slot cannot be moved to the new block"},
    {1089, "fswrite: a re-filed block cannot be marked changed"},
    {1090, "fswrite: no block can be made after a chain ran out"},
    {1092, "fswrite: the next block of the search cannot be read or is damaged, or the search does not end"},
    {1095, "fswrite: the new block cannot be read again"},
    {1100, "fswrite: the block cannot be marked changed after the append"},
    {1101, "fsfirst: the cached state may not be used (never in this build)"},
    {1102, "fslast: the cached state may not be used (never in this build)"},
    {1105, "fsdelete: the rid names no live record"},
    {1110, "fsdelete: the record's block cannot be read or is damaged"},
    {1115, "fsdelete: the record is not in its block (after 1340)"},
    {1120, "fsdelete: the slot cannot be freed, the block cannot be marked changed, or the file's new first or last rid cannot be found (the delete is undone)"},
    {1124, "fsread, fsreadn, fsreclen: the cached state may not be used (never in this build)"},
    {1125, "fsread, fsreadn, fsreclen: the rid names no live record"},
    {1130, "fsread, fsreadn, fsreclen: the record's block cannot be read or is damaged"},
    {1132, "fsread, fsreadn, fsreclen: the stored form is damaged; the destination is untouched"},
    {1133, "fsreadn: the record is longer than the buffer's size; the buffer is untouched"},
    {1135, "fsread, fsreadn, fsreclen: the record is not in its block (after 1340)"},
    {1136, "fsnext: the cached state may not be used (never in this build)"},
    {1137, "fsprev: the cached state may not be used (never in this build)"},
    {1140, "fsaddkey: the index was empty and no block could be had for its root"},
    {1145, "fsaddkey: the key was not added: a refused argument (file number 0, keytype outside 0–8, value over 195 bytes or of the wrong width, a NaN, rid 0), an equal key already present, or any failure below"},
    {1147, "fsdeletekey: a leaf or parent changed by the deletion cannot be marked changed"},
    {1155, "descent, fsdeletekey: the root (or a parent during separator repair) cannot be read or is damaged"},
    {1160, "fswrite: the rid names no live record; descent: an inner block leads to child 0 (refused earlier as damage)"},
    {1165, "descent: a child block cannot be read or is damaged"},
    {1170, "leaf split: no block for the new half"},
    {1175, "leaf split: the new half cannot be read"},
    {1180, "leaf split: the split block cannot be marked changed"},
    {1185, "leaf split: the new half cannot be marked changed"},
    {1190, "leaf split: no block for a new root, or the tree already has 32 levels"},
    {1195, "leaf split: the new root cannot be read"},
    {1200, "leaf split: the parent cannot be read or is damaged"},
    {1205, "leaf split: the parent or new root cannot be marked changed"},
    {1210, "inner split: no block for the new half"},
    {1215, "inner split: the new half cannot be read"},
    {1220, "inner split: the split block cannot be marked changed"},
    {1225, "inner split: the new half cannot be marked changed"},
    {1230, "inner split: no block for a new root, or the tree already has 32 levels"},
    {1235, "inner split: the new root cannot be read"},
    {1240, "inner split: the parent cannot be read or is damaged"},
    {1245, "inner split: the parent or new root cannot be marked changed"},
    {1250, "fsnextkey: the root unreadable"},
    {1255, "fsnextkey: child 0"},
    {1260, "fsnextkey: a child unreadable or damaged"},
    {1265, "fsprevkey: the walk's first block"},
    {1275, "fslastkey: a later block unreadable or damaged"},
    {1280, "new key block: chain 0 is empty and the file cannot grow"},
    {1285, "new key block: the head of chain 0 cannot be read, is not an empty block, or cannot be marked changed"},
    {1290, "flush: seek or write of a changed block fails"},
    {1295, "flush: seek or write of a changed block fails"},
    {1300, "flush: seek or write of a new block fails"},
    {1305, "flush: seek or write of a new block fails"},
    {1310, "flush: seek or write of the control block fails"},
    {1315, "flush: seek or write of the control block fails"},
    {1320, "nextrid (fsnext, fsdelete): a translation block cannot be read"},
    {1325, "nextrid: the file's lrid promises a record beyond the last one found"},
    {1330, "prevrid (fsprev, fsdelete): a translation block cannot be read"},
    {1335, "prevrid: the file's frid promises a record before the first one found"},
    {1340, "findrec: no entry with the rid in the block its slot names; msg \"Rid %lx not in block\""},
    {1345, "ridtoblk: the rid names no live record: file number 0, translation block beyond the file or unreadable, slot free or another file's, or the slot names no data block"},
    {1350, "freexlate: the translation block cannot be read"},
    {1355, "freexlate: the translation block cannot be marked changed"},
    {1357, "getxlate: the file cannot grow to the free slot's translation block, or the free-slot chain starts beyond where it can"},
    {1358, "getxlate: a block added while growing cannot be read"},
    {1360, "getxlate: the translation block cannot be read, or the free-slot chain names a slot in use"},
    {1365, "getxlate: the translation block cannot be marked changed (the slot goes back to the free chain)"},
    {1366, "changexlate: the rid's translation block lies beyond the file"},
    {1367, "changexlate: the translation block cannot be read"},
    {1368, "changexlate: the translation block cannot be marked changed"},
    {1370, "writeblk: the block cannot be brought into the cache"},
    {1375, "writeblk: the flush forced by the 2001st change fails"},
    {1380, "readfscb: the seek to the control block fails"},
    {1385, "readblk: the changed buffer to be reused cannot be handed down; it keeps its block and its change"},
    {1390, "readblk: the block lies beyond the next block to be appended; msg \"Block %lu > last block %lu\""},
    {1395, "readblk: seek or read of a block fails"},
    {1400, "readblk: seek or read of a block fails"},
    {1405, "allocextendedblk: the file already has its last possible block (0x3fffff)"},
    {1410, "allocextendedblk, readblk: the file holds fewer blocks than its control block claims (damage): it is not grown, and a block it lacks cannot be read"},
    {1415, "allocextendedblk: the translation-slot space is exhausted"},
    {1420, "allocextendedblk: the new translation block cannot be read"},
    {1500, "fsdefinefile: the file number is outside 1..15"},
    {1505, "fsdefinefile: the name is null or longer than 15 bytes"},
    {1510, "fsdefinesubkey: the file number in fid is 0"},
    {1515, "fsdefinesubkey: the key type is outside 0..9"},
    {1520, "fsdefinesubkey: the duplicate rule is neither 0 nor 1"},
    {1525, "fsdefinesubkey: the subkey holds keys: its type and rule cannot change"},
    {1530, "fsdefinesubkey: the key index cannot be read to learn whether the subkey holds keys"},
    {1535, "fsgetfile: the file number is outside 1..15"},
    {1540, "fsgetsubkey: the file number in fid is 0"},
    {1550, "fsaddat: refused: file number 0, bad length or record, stored form over 1008 bytes, or a slot past the largest file"},
    {1555, "fsaddat: the rid's slot is in use"},
    {1560, "fsaddat: the free-slot chain cannot be followed to the slot (damage)"},
    {1565, "fsaddat: no block can be made for the record"},
    {1570, "fsaddat: the first block tried cannot be read or is damaged"},
    {1575, "fsaddat: a block re-filed by the search for room cannot be marked changed"},
    {1580, "fsaddat: no block can be made after a chain ran out"},
    {1585, "fsaddat: the next block of the search cannot be read or is damaged, or the search does not end"},
    {1590, "fsaddat: the file cannot grow to the slot's translation block"},
    {1595, "fsaddat: a translation block cannot be marked changed while the slot is taken"},
    {1600, "fsaddat: the block found cannot be read again after the slot was bound"},
    {1605, "fsaddat: the block cannot be marked changed after the append (the add is undone)"},
    {1700, "fsopen: another process has the database open for writing"},
    {1705, "fsopen: the writer lock cannot be taken"},
    {1710, "fsopen: a dead writer's journal must be rolled back, and the file cannot be opened for writing"},
    {1715, "fsopen: that journal cannot be read, or the rollback cannot write or sync the file"},
    {1720, "commit: the journal cannot be created or opened"},
    {1725, "commit: a write to the journal fails"},
    {1730, "commit: a sync of the journal or of its directory fails"},
    {1735, "commit: the original of a block (or the file's length) cannot be read for the journal"},
    {1740, "commit: the sync of the database fails"},
    {1745, "commit: every block is written but the journal cannot be ended"},
    {1750, "fsrollback: the journal's images cannot be put back into the file"},
    {1755, "commit: another open of the same file in this process has a transaction in the journal"},
    {1760, "fssetsync: a mode other than 0 or 1"},
    {1765, "changes and commits refused after a fsrollback that failed"},
    {9900, "readfscb: a read of the control block fails (retried, at most 3 reads)"},

};

template <size_t N>
const char *lookup(const Meaning (&table)[N], int num) {
    for (const Meaning &m : table)
        if (m.num == num) return m.text;
    return nullptr;
}

template <size_t N>
std::vector<int> numbers(const Meaning (&table)[N]) {
    std::vector<int> v;
    for (const Meaning &m : table) v.push_back(m.num);
    return v;
}

}  // namespace

const char *errmeaning(int num) { return lookup(errors, num); }
const char *pmerrnomeaning(int num) { return lookup(pmerrnos, num); }
std::vector<int> errnumbers() { return numbers(errors); }
std::vector<int> pmerrnonumbers() { return numbers(pmerrnos); }

void clearliberrors() { pmdb::clearerrors(); }

namespace {

std::string head(Ctx &c, const std::string &file) {
    std::string h = c.cmd.empty() ? "pmdb: " : "pmdb " + c.cmd + ": ";
    return file.empty() ? h : h + file + ": ";
}

}  // namespace

void toolerror(Ctx &c, const std::string &file, const std::string &what) {
    fprintf(c.err, "%s%s\n", head(c, file).c_str(), what.c_str());
}

void toolwarning(Ctx &c, const std::string &file, const std::string &what) {
    fprintf(c.err, "%swarning: %s\n", head(c, file).c_str(), what.c_str());
}

std::string sysreason(int e) { return strerror(e); }

bool fileusable(Ctx &c, const std::string &path, struct stat *out) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        toolerror(c, path, sysreason(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        toolerror(c, path, sysreason(EISDIR));
        return false;
    }
    if (out != nullptr) *out = st;
    return true;
}

bool liberrorsince() {
    short ring[10];
    fsgeterrors(ring);
    for (short e : ring)
        if (e != 0) return true;
    return false;
}

void liberror(Ctx &c, const std::string &file, const std::string &what) {
    std::string line = head(c, file) + what;
    int pe = fsgeterrno();
    if (pe != 0) {
        const char *m = pmerrnomeaning(pe);
        line += "\n  pmerrno " + std::to_string(pe) + ": " + (m ? m : "(not in the table)");
    }
    short ring[10];
    short next = fsgeterrors(ring);
    for (int k = 0; k < 10; k++) {
        int e = ring[(next + k) % 10];
        if (e == 0) continue;
        const char *m = errmeaning(e);
        line += "\n  error " + std::to_string(e) + ": " + (m ? m : "(not in the table)");
    }
    const char *text = fsgetmsg();
    if (text != nullptr && text[0] != '\0') line += std::string("\n  message: ") + text;
    fprintf(c.err, "%s\n", line.c_str());
}

}  // namespace pmdbtool
