// nummask.cc - numeric text fields: domask (a number laid into a picture
// mask), makenumascii (a number as a fixed-width field of digits), mkascnum
// (an edited field back to plain number text), blankfill and zerofill
// (leading zeros to blanks and back).
//
// Number text as domask reads it: an optional leading '-', the integer part,
// an optional '.', the fraction. Any other character in the integer part or
// the fraction is placed as written, like a digit.
//
// Everything is done in place on the caller's buffers, without a work field,
// so masks and texts of any length are handled whole, and nothing is written
// beyond the result and its NUL.
#include <string.h>

#include "fss/errors.h"
#include "pmdblib.h"

namespace pmdb {

namespace {

bool nonzerodigit(char c) { return c >= '1' && c <= '9'; }

bool hasnonzero(const char *p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (nonzerodigit(p[i])) return true;
    }
    return false;
}

// Mask characters that take an integer digit while digits remain.
bool placeholder(char c) { return c == '#' || c == '0' || c == '*' || c == '$'; }

// The shape of a mask, found before anything is written.
struct maskshape {
    size_t len;     // strlen of the mask
    size_t point;   // index of its first '.', len when it has none
    size_t run;     // the '#' and '0' right after that '.': the decimal places
    size_t places;  // placeholders left of the point: integer digits it shows
    char negmark;   // ')' when the mask ends with ')', else '-'
};

maskshape shapeof(const char *m) {
    maskshape k{};
    k.len = strlen(m);
    const char *dot = strchr(m, '.');
    k.point = dot ? static_cast<size_t>(dot - m) : k.len;
    for (size_t i = 0; i < k.point; i++) {
        if (placeholder(m[i])) k.places++;
    }
    if (k.point < k.len) {
        while (m[k.point + 1 + k.run] == '#' || m[k.point + 1 + k.run] == '0') k.run++;
    }
    k.negmark = (k.len > 0 && m[k.len - 1] == ')') ? ')' : '-';
    return k;
}

// A value with no digit 1 to 9. Up to the mask's first '0' the digit
// positions, separators and point show the fill character, which starts as
// a blank; every other character of the mask but '-' and ')' stays and
// becomes the fill from there on, so "$##,##0.00" shows $$$$$$0.00 and
// "+##0" shows +++0. From that '0' on the mask is shown as it stands, so
// "##0.00" shows 0.00 and "##0.##" shows 0.##. A zero has no sign: the
// negative marker at either end becomes a blank.
void showzero(char *s, const char *m, const maskshape &k) {
    char fill = ' ';
    size_t i = 0;
    for (; i < k.len && m[i] != '0'; i++) {
        char c = m[i];
        if (c == '#' || c == ',' || c == '.') {
            s[i] = fill;
        } else {
            s[i] = c;
            if (c != '-' && c != ')') fill = c;
        }
    }
    memcpy(s + i, m + i, k.len - i);
    s[k.len] = '\0';
    if (k.len > 0) {
        if (s[0] == k.negmark) {
            s[0] = ' ';
        } else if (s[k.len - 1] == k.negmark) {
            s[k.len - 1] = ' ';
        }
    }
}

}  // namespace

}  // namespace pmdb

using namespace pmdb;

// The output is written over the number it is made from. To do that without
// a work field, the characters still needed (the integer digits the mask has
// room for, then the decimal places it shows) are first moved to the front of
// s; each later step then writes only positions it has already read or that
// hold nothing still needed:
//  - the decimal places land right of the mask's point, which lies at or
//    beyond the end of the front integer digits, copied from the last so a
//    place never overwrites one still to be copied;
//  - the integer part is walked from the point leftwards while the digits
//    are taken from the end of the front run: each written position is at
//    or right of the next digit to take, because the mask has, left of the
//    point, at least as many places as there are digits to take.
// A null argument is refused (0, error 485) rather than followed; the two
// fills have no result and simply do nothing with a null buffer.
extern "C" PMDB_API short domask(char *s, const char *m) {
    if (s == nullptr || m == nullptr) return (short)pmdb::nullarg("domask");
    const maskshape k = shapeof(m);
    const bool neg = s[0] == '-';
    const char *num = s + (neg ? 1 : 0);
    const size_t numlen = strlen(num);
    if (!hasnonzero(num, numlen)) {
        showzero(s, m, k);
        return 1;
    }
    const char *dot = strchr(num, '.');
    const size_t intlen = dot ? static_cast<size_t>(dot - num) : numlen;
    const size_t fraclen = dot ? numlen - intlen - 1 : 0;
    const size_t ints = intlen < k.places ? intlen : k.places;   // integer digits shown
    const size_t fracs = fraclen < k.run ? fraclen : k.run;      // decimal digits shown
    bool lost = intlen > k.places;

    memmove(s, num + intlen - ints, ints);
    if (fracs > 0) memmove(s + ints, dot + 1, fracs);

    // Right of the point: the decimal places (short fractions padded with 0,
    // long ones truncated), the sign that may follow them, the rest as is.
    if (k.point < k.len) {
        for (size_t j = k.run; j-- > 0;) s[k.point + 1 + j] = j < fracs ? s[ints + j] : '0';
        s[k.point] = '.';
        size_t after = k.point + 1 + k.run;
        memcpy(s + after, m + after, k.len - after);
        if (after < k.len) {
            if (m[after] == k.negmark && !neg) s[after] = ' ';
            else if (m[after] == '+' && neg) s[after] = k.negmark;
        }
    }
    s[k.len] = '\0';

    // Left of the point, from the right.
    char fill = (m[0] == '*' || m[0] == '$') ? m[0] : ' ';
    bool dollarshown = false;   // the first '$' met after the digits ran out
    bool digitat0 = false;
    size_t remain = intlen;     // integer digits not placed yet
    size_t next = ints;         // the next one to place is s[next - 1]
    for (size_t i = k.point; i-- > 0;) {
        const char c = m[i];
        const bool have = remain > 0;
        // When a placeholder is met with digits remaining, next > 0: there
        // are at most k.places placeholders and ints = min(intlen, places).
        char out = c;
        switch (c) {
        case '#':
        case '0':
        case '*':
            if (c == '*') fill = '*';
            if (have) {
                out = s[--next];
                remain--;
            } else {
                out = c == '#' ? fill : c;
            }
            break;
        case '$':
            if (have) {
                fill = '$';
                out = s[--next];
                remain--;
            } else if (!dollarshown) {
                dollarshown = true;
                fill = ' ';
            } else {
                out = fill;
            }
            break;
        case ',':
            out = have ? ',' : fill;
            break;
        case '-':
        case ')':
            if ((i == 0 || i == k.len - 1) && !neg) out = ' ';
            break;
        case '+':
            out = neg ? '-' : '+';
            break;
        default:
            break;
        }
        if (i == 0) digitat0 = placeholder(c) && have;
        s[i] = out;
    }

    if (neg && !hasnonzero(s, k.len)) {
        // Everything significant was cut away: show no sign for what reads
        // as zero.
        char *mark = static_cast<char *>(memchr(s, k.negmark, k.len));
        if (mark) *mark = ' ';
    }
    if (neg && memchr(s, ')', k.len) != nullptr) {
        // The '(' takes the first position; when that held a digit the
        // digit is gone, which the result must tell like any other lost digit.
        if (digitat0) lost = true;
        s[0] = '(';
    }
    return lost ? 0 : 1;
}

extern "C" PMDB_API short makenumascii(char *nafld, const char *num, short len) {
    if (nafld == nullptr || num == nullptr) return (short)pmdb::nullarg("makenumascii");
    if (len <= 0) return 1;
    memset(nafld, '0', static_cast<size_t>(len));
    size_t i = strlen(num);
    short at = len;
    while (i > 0 && at > 0) {
        char c = num[--i];
        if (c >= '0' && c <= '9') nafld[--at] = c;
    }
    return 1;
}

// The kept characters are packed to the front first; a trailing '-' is
// never kept, so there is room to shift them right for the leading sign
// without passing the text's NUL.
extern "C" PMDB_API short mkascnum(char *buff) {
    if (buff == nullptr) return (short)pmdb::nullarg("mkascnum");
    size_t n = strlen(buff);
    const bool neg = n > 0 && buff[n - 1] == '-';
    size_t w = 0;
    for (size_t i = 0; i < n; i++) {
        char c = buff[i];
        if ((c >= '0' && c <= '9') || c == '.') buff[w++] = c;
    }
    if (neg) {
        memmove(buff + 1, buff, w);
        buff[0] = '-';
        w++;
    } else {
        size_t z = 0;
        while (z < w && buff[z] == '0') z++;
        memmove(buff, buff + z, w - z);
        w -= z;
    }
    buff[w] = '\0';
    return 1;
}

// The last position is never blanked: a zero field keeps one 0.
extern "C" PMDB_API void blankfill(char *buff, short len) {
    if (buff == nullptr) return;
    for (int i = 0; i < len - 1 && buff[i] == '0'; i++) buff[i] = ' ';
}

extern "C" PMDB_API void zerofill(char *buff, short len) {
    if (buff == nullptr) return;
    for (int i = 0; i < len && buff[i] == ' '; i++) buff[i] = '0';
}
