// keyvalue.h - key values as text, by key type, for the tool's input and
// output, and the other text forms of bytes it prints (quoted strings,
// hexadecimal, JSON strings).
//
//   char, uchar            a quoted string: "Smith" with \\, \" and \xHH
//                          for the quote, the backslash and every byte
//                          outside printable ASCII
//   short, long            a signed decimal number
//   ushort, ulong          an unsigned decimal number
//   float, double, ldouble a decimal number that reads back to the same
//                          value (inf and -inf included; NaN has no place
//                          in a key order and is refused)
//   the empty value        "" for every type
// On the command line a char value may also be given bare (Smith), with
// the same escapes.
#ifndef PMDB_TOOL_KEYVALUE_H
#define PMDB_TOOL_KEYVALUE_H

#include <stdint.h>

#include <string>

namespace pmdbtool {

std::string formatkeyvalue(int keytype, const uint8_t *v, int len);
// Into the stored bytes of the value; false with *error on a bad value.
bool parsekeyvalue(int keytype, const std::string &text, std::string *bytes, std::string *error);

// Bytes in quotes with escapes, as char key values are written.
std::string quotebytes(const std::string &bytes);
std::string quotebytes(const uint8_t *p, size_t n);
// Reads a quoted string at text[*pos] (which must be the opening quote);
// *pos moves past the closing quote. False when malformed.
bool readquoted(const std::string &text, size_t *pos, std::string *bytes);

std::string hexbytes(const uint8_t *p, size_t n);
bool unhex(const std::string &hex, std::string *bytes);

// A JSON string of bytes: ASCII as is (with JSON escapes), every byte from
// 0x80 up as \u00XX, so that a byte string reads back exactly.
std::string jsonbytes(const std::string &bytes);
std::string jsonbytes(const uint8_t *p, size_t n);

// 80-bit extended values in their 10 stored bytes.
long double ldoublefrombytes(const uint8_t *v);
void ldoubletobytes(long double x, uint8_t *v);

}  // namespace pmdbtool

#endif
