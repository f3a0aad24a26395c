// compress.h - the run-length packing every record goes through before it
// is stored in a data block. The stored form is part of the file format.
//
// Stored form of a record of n bytes, told apart by its first byte:
//
//   raw     0x00, then the n record bytes unchanged        (n + 1 bytes)
//   packed  a sequence of items, each opened by a signed count byte c:
//             c = 1..127     literal: c record bytes follow unchanged
//             c = -1..-128   repeat: one byte v follows; 1 - c copies of v
//             c = 0          only as the very first byte (raw form)
//
// The packed form is stored only when strictly shorter than the record, so
// a stored form is at most n + 1 bytes, and exactly 1 byte (0x00) for an
// empty record. The stored length travels beside the form (record entry).
#ifndef PMDB_COMPRESS_H
#define PMDB_COMPRESS_H

#include <stddef.h>
#include <stdint.h>

namespace pmdb {

// Packs the len bytes of b2 into b1 and returns the stored length (1 to
// len + 1). b1 must have room for len + 1 bytes: packing stops as soon as
// it cannot beat the raw form, so it never writes more. len < 0 gives 0.
int16_t compress(uint8_t *b1, const uint8_t *b2, int16_t len);

// The same into a destination of cap bytes: returns 0 (and has written
// nothing past cap) when the stored form would be longer than cap.
int16_t compress(uint8_t *b1, size_t cap, const uint8_t *b2, int16_t len);

// Unpacks the stored form of len bytes in b2 into b1, which holds cap
// bytes, and returns the record length. A damaged form (len < 1, a zero
// count after the first byte, an item running past len, a record longer
// than cap) gives -1; the whole form is checked before b1 is written, so
// b1 is then untouched and nothing outside either buffer is read or written.
int16_t uncompress(uint8_t *b1, size_t cap, const uint8_t *b2, int16_t len);

// The record length a stored form unpacks to, or -1 when it is damaged
// (as above, with no limit but the largest record length, 32767).
int16_t uncompressedlen(const uint8_t *b2, int16_t len);

}  // namespace pmdb

#endif
