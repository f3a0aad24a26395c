// schema.h - the schema of a database as the tool reads and prints it: per
// logical file its name and record length, per subkey its key type and
// whether it admits duplicate values, and the translation-block spacing.
//
// Text format, one item per line; '#' starts a comment, blank lines are
// ignored, words are separated by blanks:
//   xblkfreq N                   spacing of translation blocks (optional)
//   N NAME RLEN                  logical file N (1..15), its name (at most
//                                15 bytes, "-" for none) and record length
//   N.S TYPE unique|dup          subkey S (0..15) of file N: key type by
//                                name (char short long uchar ushort ulong
//                                float double ldouble, or none for a
//                                subkey every key call refuses) and
//                                duplicates
// Files and subkeys not named keep what a new database has: no name,
// record length 0, key type char, unique for subkeys 0..7 and dup for
// 8..15. Printing leaves those defaults out.
#ifndef PMDB_TOOL_SCHEMA_H
#define PMDB_TOOL_SCHEMA_H

#include <string>

#include "fss/format.h"
#include "pmdbtool.h"

namespace pmdbtool {

constexpr int NUMKEYTYPES = 9;
// Key type 9: a subkey that the schema calls accept and every key call
// refuses.
constexpr int NONETYPE = 9;
constexpr const char NONETYPENAME[] = "none";

struct SubkeyDef {
    bool declared = false;
    int keytype = 0;
    bool dup = false;
};

struct FileDef {
    bool declared = false;
    std::string name;
    int rlen = 0;
    SubkeyDef sub[pmdb::NUMSUBKEYS];
};

struct Schema {
    int xblkfreq = 0;  // 0: not given
    FileDef f[pmdb::NUMFILES];
};

// Key type names, by comparator number; null outside 0..8.
const char *keytypename(int t);
// The comparator number of a name, or -1.
int keytypebyname(const std::string &name);
// Value width of a typed key type (2, 4, 8 or 10); 0 for the char types.
int keytypewidth(int t);
// The subkey defaults of a new database.
inline bool defaultdup(int s) { return s >= 8; }

// Parses schema text; on failure *error names the line and the fault.
bool parseschema(const std::string &text, Schema *s, std::string *error);
// Parses one line into s (lineno for the error text); false on a fault.
bool parseschemaline(const std::string &line, int lineno, Schema *s, std::string *error);
// The text of a schema, in file then subkey order, defaults left out.
std::string formatschema(const Schema &s);

// From a control block image (for files the library cannot open).
void schemafromfscb(const pmdb::FSCB &cb, Schema *s);
// Through the schema calls; the spacing, which no call reports, is read
// from the file's control block (readspacing). False when a call fails.
bool readschema(const Db &db, Schema *s);
bool readspacing(const std::string &path, int *freq);
// Sets the declared files and subkeys through the schema calls; false with
// *what naming the item when a call fails (the error ring says why).
bool applyschema(const Db &db, const Schema &s, std::string *what);

// Makes path a new database set up by the schema (refusing an existing
// file unless force); reports its own failures. An exit status.
int createdatabase(Ctx &c, const std::string &path, const Schema &schema, bool force);

// "N.S" into file number and subkey; false when malformed or out of range.
bool parsefilesubkey(const std::string &w, int *file, int *subkey);

// Escapes bytes for a word of text: printable ASCII stays, except the
// backslash, the quote, blanks and '#'; everything else becomes \xHH.
std::string escapeword(const std::string &bytes);
// Reverses escapeword (also accepts \\, \" and \xHH anywhere); false on a
// malformed escape.
bool unescape(const std::string &text, std::string *bytes);

}  // namespace pmdbtool

#endif
