// keywalk.h - key searches through the library's exported calls, with the
// found value's length made known for every search.
//
// fsfirstkey and fsnextkey report the found key's length in FS.len; the
// other searches copy the value into the caller's buffer without saying
// how long it is. The found entry was copied out of a leaf that the search
// read last, so it is in the open database's cache: the helpers find the
// entry there (same fid byte, same rid, a value that the buffer begins
// with) and take its length. Where several entries of that rid fit, the
// greatest that sorts below the search value is the one a backward search
// finds.
#ifndef PMDB_TOOL_KEYWALK_H
#define PMDB_TOOL_KEYWALK_H

#include <stdint.h>

#include <string>

#include "pmdbtool.h"

namespace pmdbtool {

struct Found {
    uint32_t rid = 0;
    std::string value;
};

// Each returns 1 found, 0 none, -1 the library failed (the error ring says
// why; call clearliberrors() first to report it with liberror()).
int keyfirst(const Db &db, uint8_t fid, Found *f);
int keynext(const Db &db, uint8_t fid, const Found &cur, Found *f);
int keyprev(const Db &db, uint8_t fid, const Found &cur, Found *f);
// The greatest key whose value sorts below v.
int keylast(const Db &db, uint8_t fid, const std::string &v, Found *f);
// The first key whose value equals v (an empty v matches nothing here).
int keyfind(const Db &db, uint8_t fid, const std::string &v, Found *f);

// Do two values of a key type compare equal (as the index orders them:
// +0 and -0 are one value)?
bool samevalue(int keytype, const std::string &a, const std::string &b);
// The order of two values of a key type as the index orders them (-1, 0,
// 1); an empty value sorts first.
int comparevalues(int keytype, const std::string &a, const std::string &b);
// The greatest value of a key type (for char types 195 bytes of 0xff).
std::string maxvalue(int keytype);

// The key type of a subkey in the open database, -1 when it is none of
// the nine.
int subkeytype(const Db &db, uint8_t fid);

}  // namespace pmdbtool

#endif
