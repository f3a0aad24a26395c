// image_fuzz.cc - a whole database image as input. The image is opened
// read-only (with and without the integrity tests), every logical file is
// walked both ways with every record read, and every subkey's keys are
// walked both ways; then it is opened writable and a few changes derived
// from the input are made under a lock and committed, and the walk runs
// again. Whatever the bytes, nothing may crash or take over a second, a
// read-only open must leave the file as it was, and a file that holds
// fewer blocks than its control block claims must not grow.
#include <math.h>

#include "fss/fsdata.h"
#include "fuzzutil.h"

using namespace pmdbfuzz;

namespace {

const char IMAGE[] = "image.db";
constexpr int MAXSTEPS = 300;   // per walk: enough to cover the seeds

uint8_t recbuf[32767];

// A value above every other of the keytype (the start of a backward walk),
// and its length; 0 for a keytype no key call takes.
short maxvalue(int keytype, uint8_t *v) {
    static const short width[] = {195, 2, 4, 195, 2, 4, 4, 8, 10};
    if (keytype < 0 || keytype > 8) return 0;
    memset(v, 0xff, 195);
    switch (keytype) {
    case 1: v[1] = 0x7f; break;
    case 2: v[3] = 0x7f; break;
    case 6: { float f = INFINITY; memcpy(v, &f, 4); break; }
    case 7: { double d = INFINITY; memcpy(v, &d, 8); break; }
    case 8: memset(v, 0, 7); v[7] = 0x80; v[8] = 0xff; v[9] = 0x7f; break;   // +inf
    default: break;
    }
    return width[keytype];
}

void walkrecords(FS *fs, uint8_t fid) {
    int steps = 0;
    for (uint32_t r = fsfirst(0, fs, fid); r != 0 && steps < MAXSTEPS; r = fsnext(0, fs, r), steps++) {
        short len = fsreclen(0, fs, r);
        short got = fsreadn(0, fs, r, recbuf, (int16_t)sizeof recbuf - 1);
        FUZZCHECK(got == len, "fsreadn %d, fsreclen %d for rid %x", got, len, r);
    }
    steps = 0;
    for (uint32_t r = fslast(0, fs, fid); r != 0 && steps < MAXSTEPS; r = fsprev(0, fs, r), steps++)
        (void)fsreclen(0, fs, r);
}

void walkkeys(FS *fs, uint8_t fid, int keytype) {
    uint8_t key[200];
    int steps = 0;
    for (uint32_t r = fsfirstkey(0, fs, fid, key); r != 0 && steps < MAXSTEPS; steps++)
        r = fsnextkey(0, fs, fid, r, (short)(fs->len - 1), key);
    short len = maxvalue(keytype, key);
    steps = 0;
    uint32_t r = fslastkey(0, fs, fid, len, key);
    while (r != 0 && steps++ < MAXSTEPS) {
        // The value found is back in key; its length is the subkey's width,
        // or for character keys up to the first of the trailing bytes.
        short n = len;
        if (keytype == 0 || keytype == 3) {
            n = 0;
            while (n < 195 && key[n] != 0) n++;
        }
        r = fsprevkey(0, fs, fid, r, n, key);
    }
}

void walkall(FS *fs) {
    const pmdb::FSDATA *d = pmdb::checkfsdata(fs);
    FUZZCHECK(d != nullptr, "a handle fsopen gave is refused");
    for (int n = 1; n <= 15; n++) {
        walkrecords(fs, (uint8_t)(n << 4));
        for (int s = 0; s < 16; s++) walkkeys(fs, (uint8_t)(n << 4 | s), d->fscb.f[n - 1].keytype[s]);
    }
}

// A few changes, picked by the input's own bytes.
void change(FS *fs, Input &in) {
    const pmdb::FSDATA *d = pmdb::checkfsdata(fs);
    uint8_t rec[300];
    for (int k = 0; k < 6 && in.more(); k++) {
        uint8_t op = in.byte();
        uint8_t fid = (uint8_t)((1 + op % 15) << 4 | (op >> 4));
        short len = (short)(in.byte() % sizeof rec);
        memset(rec, in.byte(), (size_t)len);
        if (len > 2) rec[1] ^= 0x55;
        switch (op % 6) {
        case 0: (void)fsadd(0, fs, rec, len, fid); break;
        case 1: (void)fswrite(0, fs, rec, len, fsfirst(0, fs, fid)); break;
        case 2: (void)fsdelete(0, fs, fslast(0, fs, fid)); break;
        case 3: {
            uint8_t key[200];
            int t = d->fscb.f[(fid >> 4) - 1].keytype[fid & 15];
            short klen = maxvalue(t, key);
            if (klen > 0) memset(key, op, (size_t)klen);
            if (klen == 195) klen = (short)(1 + op % 30);
            (void)fsaddkey(0, fs, fid, fsfirst(0, fs, fid) | 1, klen, key);
            break;
        }
        case 4: (void)fsdeletekey(0, fs, fid, 0, 0, nullptr); break;
        default:
            (void)fsstorecannumber(0, fs, in.u32());
            (void)fssetappstat(0, fs, op & 1);
            (void)fsflush(0, fs);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    scratchdir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    writefile(IMAGE, data, size);
    for (short check : {0, 1}) {
        FS *fs = fsopen(0, IMAGE, check, 1);
        if (fs == nullptr) continue;
        walkall(fs);
        fsclose(0, fs);
        FUZZCHECK(fileis(IMAGE, data, size), "a read-only open changed the file");
    }

    FS *fs = fsopen(0, IMAGE, 0, 0);
    if (fs == nullptr) return 0;
    const pmdb::FSDATA *d = pmdb::checkfsdata(fs);
    bool shortfile = d->shortfile != 0;
    Input in(data, size);
    in.at = size > 1024 ? 1024 : 0;   // the changes are picked past the control block
    if (fslock(0, fs, nullptr)) {
        change(fs, in);
        (void)fsunlock(0, fs);
    }
    walkall(fs);
    fsclose(0, fs);
    if (shortfile) {
        // A trailing part-block reads as a block (the rest as zeros), so a
        // change to it may complete it; nothing goes beyond it.
        long whole = (long)((size + 1023) / 1024 * 1024);
        long now = filesize(IMAGE);
        FUZZCHECK(now <= (whole > 1024 ? whole : 1024),
                  "a file shorter than its lb grew from %zu to %ld bytes", size, now);
    }
    return 0;
}
