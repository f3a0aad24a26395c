// datemask.cc - dates and times through picture masks: dodatemask,
// undodatemask, dotimemask, undotimemask.
//
// In a mask each placeholder letter, in either case and wherever it stands
// (also inside a word), is one digit of a field: M, D, Y of a date; H, M, S
// of a time. Every other character is literal and comes out in upper case.
// Output fills the placeholders of a field from the right with the field's
// digits, month, day, hour and minute shown in at least 2 digits and year and
// second in at least 4, so a short run of placeholders shows the low digits
// and a run longer than the digits shows leading zeros. Input collects the
// characters under each field's placeholders and reads them as a decimal
// number.
//
// Masks and texts of any length are handled whole: nothing is copied into a
// work field, and the only buffer is the few characters of one value.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "fss/errors.h"
#include "pmdblib.h"

namespace pmdb {

namespace {

// ASCII only: the shown mask must not depend on the process locale.
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The digits of one field as they are shown: the decimal value right-aligned
// in `width` characters with the blanks made zeros (3 -> "03", 96 -> "0096").
// Handed out from the last character towards the first.
class fielddigits {
public:
    fielddigits(int value, int width) {
        int n = snprintf(text_, sizeof text_, "%*d", width, value);
        left_ = n > 0 ? n : 0;
        for (int i = 0; i < left_; i++) {
            if (text_[i] == ' ') text_[i] = '0';
        }
    }
    // A placeholder with no digit left (more placeholders than digits)
    // shows 0, as the leading zeros of a wider field would.
    char next() { return left_ > 0 ? text_[--left_] : '0'; }

private:
    char text_[16];   // an int takes at most 11 characters
    int left_;
};

// Lays fields[k] into the placeholders kinds[k] of mask m; s receives the
// mask's length and a NUL. The walk goes from the right so that the last
// placeholder of a field takes its last digit; it reads m[i] before writing
// s[i], so s may even be the mask itself.
void showfields(char *s, const char *m, const char *kinds, fielddigits *fields) {
    size_t len = strlen(m);
    s[len] = '\0';
    for (size_t i = len; i-- > 0;) {
        char c = upper(m[i]);
        for (int k = 0; k < 3; k++) {
            if (c == kinds[k]) {
                c = fields[k].next();
                break;
            }
        }
        s[i] = c;
    }
}

// Reads characters fed one at a time as the standard string-to-long
// conversion reads a text: leading white space, an optional sign, the digits
// up to the first other character, 0 when there are none, LONG_MAX or
// LONG_MIN when the value does not fit. Fed one by one, a collection of any
// length needs no buffer.
class numreader {
public:
    void feed(char c) {
        switch (state_) {
        case start:
            if (c == ' ' || (c >= '\t' && c <= '\r')) return;
            state_ = sign;
            if (c == '-' || c == '+') {
                neg_ = c == '-';
                return;
            }
            feed(c);
            return;
        case sign:
        case digits:
            if (c < '0' || c > '9') {
                state_ = done;
                return;
            }
            state_ = digits;
            if (mag_ > (ULONG_MAX - static_cast<unsigned long>(c - '0')) / 10) {
                over_ = true;
            } else {
                mag_ = mag_ * 10 + static_cast<unsigned long>(c - '0');
            }
            return;
        case done:
            return;
        }
    }

    long value() const {
        unsigned long limit = neg_ ? static_cast<unsigned long>(LONG_MAX) + 1 : LONG_MAX;
        if (over_ || mag_ >= limit) return neg_ ? LONG_MIN : LONG_MAX;
        return neg_ ? -static_cast<long>(mag_) : static_cast<long>(mag_);
    }

private:
    enum { start, sign, digits, done } state_ = start;
    bool neg_ = false;
    bool over_ = false;
    unsigned long mag_ = 0;
};

// Feeds character i of s to the reader of the field whose placeholder is at
// mask position i. A text shorter than its mask reads as blanks past its end:
// its NUL is the last character of it ever looked at.
void readfields(const char *s, const char *m, const char *kinds, numreader *fields) {
    bool ended = false;
    for (size_t i = 0; m[i] != '\0'; i++) {
        if (!ended && s[i] == '\0') ended = true;
        char c = upper(m[i]);
        for (int k = 0; k < 3; k++) {
            if (c == kinds[k]) {
                fields[k].feed(ended ? ' ' : s[i]);
                break;
            }
        }
    }
}

// The low 8 bits of a value read, as the narrow fields keep it.
unsigned char low8(long v) { return static_cast<unsigned char>(static_cast<unsigned long>(v) & 0xff); }

}  // namespace

}  // namespace pmdb

using namespace pmdb;

// A null argument is refused (0, error 485) rather than followed.
extern "C" PMDB_API short dodatemask(char *s, const struct date *dt, const char *m) {
    if (s == nullptr || dt == nullptr || m == nullptr) return (short)pmdb::nullarg("dodatemask");
    fielddigits f[3] = {fielddigits(dt->da_mon, 2), fielddigits(dt->da_day, 2),
                        fielddigits(dt->da_year, 4)};
    showfields(s, m, "MDY", f);
    return 1;
}

extern "C" PMDB_API short undodatemask(const char *s, struct date *dt, const char *m) {
    if (s == nullptr || dt == nullptr || m == nullptr) return (short)pmdb::nullarg("undodatemask");
    numreader f[3];
    readfields(s, m, "MDY", f);
    dt->da_mon = static_cast<signed char>(low8(f[0].value()));
    dt->da_day = static_cast<signed char>(low8(f[1].value()));
    dt->da_year = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(f[2].value())));
    return 1;
}

extern "C" PMDB_API short dotimemask(char *s, const struct time *tm, const char *m) {
    if (s == nullptr || tm == nullptr || m == nullptr) return (short)pmdb::nullarg("dotimemask");
    fielddigits f[3] = {fielddigits(tm->ti_hour, 2), fielddigits(tm->ti_min, 2),
                        fielddigits(tm->ti_sec, 4)};
    showfields(s, m, "HMS", f);
    return 1;
}

extern "C" PMDB_API short undotimemask(const char *s, struct time *ti, const char *m) {
    if (s == nullptr || ti == nullptr || m == nullptr) return (short)pmdb::nullarg("undotimemask");
    numreader f[3];
    readfields(s, m, "HMS", f);
    ti->ti_hour = low8(f[0].value());
    ti->ti_min = low8(f[1].value());
    ti->ti_sec = low8(f[2].value());
    return 1;
}
