// errtable.cc - the meanings of the library's error numbers and pmerrno
// values (the tables of docs/errors.md; a test keeps the two in step), and
// the error lines the tool prints.
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
    {7, "the file cannot be opened, created or reopened"},
    {8, "the new temporary database cannot be read back"},
    {9, "block 0 of a new database cannot be written"},
    {10, "block 1 of a new database cannot be written"},
    {11, "block 2 of a new database cannot be written"},
    {406, "the file cannot be created, or the spacing is below 2"},
};

const Meaning errors[] = {
    {480, "the handle is out of range or names a closed database"},
    {1009, "all 20 database entries in use"},
    {1010, "no memory for the open database"},
    {1012, "no memory for the handle"},
    {1015, "the file cannot be opened or reopened, or its control block cannot be read"},
    {1020, "the lock is refused, the signature is wrong, or a new control block cannot be read back"},
    {1021, "open: integrity test 1 or 2 failed (temporary database: block 0 cannot be written)"},
    {1022, "open: integrity test 3 failed (temporary database: block 1 cannot be written)"},
    {1023, "temporary database: block 2 cannot be written"},
    {1025, "the database is open read-only; nothing was changed"},
    {1029, "the cached state may not be used"},
    {1290, "flush: seek to a changed block fails"},
    {1295, "flush: write of a changed block fails"},
    {1300, "flush: seek to a new block fails"},
    {1305, "flush: write of a new block fails"},
    {1310, "flush: seek to the control block fails"},
    {1315, "flush: write of the control block fails"},
    {1370, "writeblk: the block cannot be brought into the cache"},
    {1375, "writeblk: the flush forced by the 2001st change fails"},
    {1380, "the seek to the control block fails"},
    {1390, "the block lies beyond the next block to be appended"},
    {1395, "seek to a block fails"},
    {1400, "read of a block fails"},
    {1405, "the file already has its last possible block (0x3fffff)"},
    {1415, "the translation-slot space is exhausted"},
    {1420, "the new translation block cannot be read"},
    {9900, "a read of the control block fails"},
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

void toolerror(Ctx &c, const std::string &what) { fprintf(c.err, "pmdb: %s\n", what.c_str()); }

void liberror(Ctx &c, const std::string &what) {
    std::string line = "pmdb: " + what;
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
