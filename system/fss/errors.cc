// errors.cc - the error ring, msg, the error log and the accessors that
// give callers the error state without exporting the globals themselves.
#include "fss/errors.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "pmdblib.h"
#include "platform/platform.h"

namespace pmdb {

int16_t pmerrno;
int16_t harderrno;
char msg[MSGSIZE];
int16_t err[10];
uint32_t damagecount;
uint32_t damageblk;
const char *damagewhat = "";

namespace {
int16_t i;  // next entry of err to be written, 0 to 9
}

void dodberror(int16_t e) {
    err[i] = e;
    if (++i > 9) i = 0;
}

void dodberrorstring(const char *s) { (void)plat_appendline(LOGFILE, s); }

void setmsg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
}

void fsdisplayerr() {}

int16_t errindex() { return i; }

int16_t lasterror() { return err[(i + 9) % 10]; }

void clearerrors() {
    pmerrno = 0;
    harderrno = 0;
    memset(msg, 0, sizeof msg);
    memset(err, 0, sizeof err);
    i = 0;
    damagecount = 0;
    damageblk = 0;
    damagewhat = "";
}

int nullarg(const char *call) {
    setmsg("%s - null argument.", call);
    dodberror(ERR_NULLARG);
    return 0;
}

int dbdamage(uint32_t blk, const char *what) {
    damagecount++;
    damageblk = blk;
    damagewhat = what;
    return 0;
}

}  // namespace pmdb

using namespace pmdb;

extern "C" {

PMDB_API short fsgeterrno(void) { return pmerrno; }

PMDB_API const char *fsgetmsg(void) { return msg; }

PMDB_API short fsgeterrors(short ring[10]) {
    if (ring == nullptr) return (short)nullarg("fsgeterrors");
    for (int k = 0; k < 10; k++) ring[k] = err[k];
    return errindex();
}

}
