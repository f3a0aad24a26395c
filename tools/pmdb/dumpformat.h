// dumpformat.h - the dump: a database as lines of text, written by dump
// (and dump --salvage) and read by load.
//
// Text format, version 2, one item per line in this order (docs/tool.md):
//   pmdb-dump 2
//   schema LINE                 each line of the schema (schema.h), the
//                               spacing first: "schema xblkfreq 20"
//   control counter N           the application counter (32 bits)
//   control businessdate N      the business date (32 bits)
//   control appstat N           the application status, 0 or 1
//   rec N RID HEX               a record of file N: rid as 8 hex digits, its
//                               bytes in hex ("-" when empty)
//   key N.S RID VALUE           a key: subkey, rid, value (keyvalue.h)
//   end RECORDS KEYS            the counts, so that a cut dump is told
// Records come file by file in rid order, keys subkey by subkey in key
// order, so two dumps of equal databases are equal and diff line by line.
// Version 1 is the same without control lines; load reads both. The jsonl
// format carries the same items as one JSON object per line.
#ifndef PMDB_TOOL_DUMPFORMAT_H
#define PMDB_TOOL_DUMPFORMAT_H

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "schema.h"

namespace pmdbtool {

constexpr int DUMPVERSION = 2;

// The three control values of a database.
struct Controls {
    uint32_t counter = 0;
    uint32_t businessdate = 0;
    int appstat = 0;
};

// Writes the items of a dump in either format; counts what it wrote.
class DumpOut {
public:
    DumpOut(FILE *out, bool jsonl) : o_(out), jsonl_(jsonl) {}
    void header();
    void schema(const Schema &s);
    void controls(const Controls &cv);
    void record(int file, uint32_t rid, const uint8_t *bytes, size_t n);
    // keytype picks the value's text form.
    void key(int file, int subkey, int keytype, uint32_t rid, const std::string &value);
    void end();
    // Has the output failed (a full disk)? Checked as the dump goes, so
    // that it stops early.
    bool failed() const { return ferror(o_) != 0; }
    uint64_t records() const { return records_; }
    uint64_t keys() const { return keys_; }

private:
    FILE *o_;
    bool jsonl_;
    uint64_t records_ = 0, keys_ = 0;
};

// The rid as dumps write it: 8 hex digits.
std::string ridtext(uint32_t rid);

// Warns about each subkey that holds keys no key call can walk (a key type
// outside 0..8), which a dump or copy (what) leaves out.
void warnunwalkable(Ctx &c, const std::string &path, const Schema &s, const char *what);

// dump --salvage: the dump of whatever can still be read of a damaged file
// (salvage.cc). An exit status: 1 when anything was skipped.
int salvagedump(Ctx &c, const std::string &path, bool jsonl);

}  // namespace pmdbtool

#endif
