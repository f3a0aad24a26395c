// journal.cc - writing, ending and rolling back the journal beside a
// database. The layout and the checksum are in journal.h; when the journal
// is written relative to the database is the pager's (pager.h, invariants
// 1 and 2).
#include "fss/journal.h"

#include <string.h>

#include "fss/errors.h"
#include "fss/fsdata.h"
#include "fss/writerlock.h"
#include "platform/platform.h"

namespace pmdb {

namespace {

constexpr uint32_t JFIRSTBUF = 64;          // records of the first buffer taken
constexpr uint32_t JCHUNK = 16;             // records read at a time when rolling back
constexpr uint32_t JTRUNCATEAT = 16384;     // a journal this long is cut when ended

struct jhead {
    uint32_t count;
    uint64_t origlen;
};

uint64_t word(const uint8_t *p) {
    uint64_t w;
    memcpy(&w, p, 8);   // the format is little-endian, as is the host (format.h)
    return w;
}

void addsum(uint64_t *s1, uint64_t *s2, const uint8_t *p, size_t n) {
    uint64_t a = *s1, b = *s2;
    for (size_t k = 0; k + 8 <= n; k += 8) {
        a += word(p + k);
        b += a;
    }
    *s1 = a;
    *s2 = b;
}

// The header for count records whose running sums are s1, s2.
void makeheader(uint8_t out[JHEADSIZE], uint32_t count, uint64_t origlen, uint64_t s1, uint64_t s2) {
    memset(out, 0, JHEADSIZE);
    memcpy(out, JMAGIC, 8);
    put32(out + 8, JVERSION);
    put32(out + 12, count);
    memcpy(out + 16, &origlen, 8);
    addsum(&s1, &s2, out, 24);
    uint64_t sum = s1 ^ s2;
    memcpy(out + 24, &sum, 8);
}

bool syncon(FSDATA *fsdata) { return fsdata->pager.syncmode != 0; }

// Reads and checks the journal open on fd: 1 hot (h filled), 0 not a live
// journal, -1 a read failed.
int verify(int fd, jhead *h) {
    uint8_t head[JHEADSIZE];
    long n = plat_jpread(fd, head, JHEADSIZE, 0);
    if (n < 0) return -1;
    if (n < (long)JHEADSIZE || memcmp(head, JMAGIC, 8) != 0 || get32(head + 8) != JVERSION) return 0;
    h->count = get32(head + 12);
    memcpy(&h->origlen, head + 16, 8);
    int64_t size = plat_filesize(fd);
    if (size < 0 || (uint64_t)size < JHEADSIZE + (uint64_t)h->count * JRECSIZE) return 0;
    uint64_t s1 = 0, s2 = 0;
    static uint8_t chunk[JCHUNK * JRECSIZE];
    for (uint32_t k = 0; k < h->count; k += JCHUNK) {
        uint32_t m = h->count - k < JCHUNK ? h->count - k : JCHUNK;
        size_t len = (size_t)m * JRECSIZE;
        if (plat_jpread(fd, chunk, len, JHEADSIZE + (uint64_t)k * JRECSIZE) != (long)len) return -1;
        addsum(&s1, &s2, chunk, len);
    }
    uint8_t want[JHEADSIZE];
    makeheader(want, h->count, h->origlen, s1, s2);
    return memcmp(want, head, JHEADSIZE) == 0 ? 1 : 0;
}

// Writes the records of a checked journal back into dbfd, last first, so
// that the first image of each block stays; then cuts the file to origlen
// and syncs it. 0 done, -1 failed.
int undo(int jfd, int dbfd, const jhead &h) {
    static uint8_t chunk[JCHUNK * JRECSIZE];
    for (uint32_t end = h.count; end > 0;) {
        uint32_t start = end > JCHUNK ? end - JCHUNK : 0;
        size_t len = (size_t)(end - start) * JRECSIZE;
        if (plat_jpread(jfd, chunk, len, JHEADSIZE + (uint64_t)start * JRECSIZE) != (long)len) return -1;
        for (uint32_t k = end - start; k-- > 0;) {
            const uint8_t *rec = chunk + (size_t)k * JRECSIZE;
            uint64_t off = (uint64_t)get32(rec) * BLKSIZE;
            if (off >= h.origlen) continue;   // cut away below
            if (plat_pwrite(dbfd, rec + 8, BLKSIZE, off) != (long)BLKSIZE) return -1;
        }
        end = start;
    }
    if (plat_truncate(dbfd, h.origlen) != 0) return -1;
    if (plat_sync(dbfd) != 0) return -1;
    return 0;
}

// Zeroes the header: the journal is no longer live.
int zerohead(int fd) {
    static const uint8_t zero[JHEADSIZE] = {0};
    platiov v = {zero, JHEADSIZE};
    return plat_jpwritev(fd, &v, 1, 0) == (long)JHEADSIZE ? 0 : -1;
}

short opened(FSDATA *fsdata) {
    JOURNAL *j = &fsdata->pager.journal;
    if (j->fd >= 0) return 1;
    char jp[PATHSIZE + sizeof JSUFFIX];
    harderrno = 0;
    if (jpath(fsdata->path, jp, sizeof jp)) j->fd = plat_jopen(jp, 2);
    if (j->fd < 0 || harderrno) {
        j->fd = -1;
        dodberror(ERR_JOPEN);
        return 0;
    }
    j->dirsynced = 0;
    return 1;
}

}  // namespace

bool jpath(const char *dbpath, char *out, size_t outlen) {
    size_t n = strlen(dbpath);
    if (n + sizeof JSUFFIX > outlen) return false;
    memcpy(out, dbpath, n);
    memcpy(out + n, JSUFFIX, sizeof JSUFFIX);
    return true;
}

void jinit(JOURNAL *j) {
    memset(j, 0, offsetof(JOURNAL, one));
    j->fd = -1;
    j->buf = j->one;
    j->bufcap = 1;
    j->bufmax = 1;
}

short jappend(FSDATA *fsdata, uint32_t blk, const uint8_t *img) {
    JOURNAL *j = &fsdata->pager.journal;
    if (j->bufn == j->bufcap) {
        // Grow while under the bound; without memory, or at the bound, the
        // waiting records go to the file (which is harmless before the
        // database is written: a rollback would put back what is there).
        uint32_t cap = j->bufcap < JFIRSTBUF ? JFIRSTBUF : j->bufcap * 2;
        if (cap > j->bufmax) cap = j->bufmax;
        uint8_t *nb = nullptr;
        if (cap > j->bufcap && !fsdata->pager.nomem) {
            nb = (uint8_t *)plat_alloc((size_t)cap * JRECSIZE);
            if (nb == nullptr) fsdata->pager.nomem = 1;
        }
        if (nb != nullptr) {
            memcpy(nb, j->buf, (size_t)j->bufn * JRECSIZE);
            if (j->buf != j->one) plat_free(j->buf);
            j->buf = nb;
            j->bufcap = cap;
        } else if (!jflush(fsdata)) {
            return 0;
        }
    }
    uint8_t *rec = j->buf + (size_t)j->bufn * JRECSIZE;
    put32(rec, blk);
    put32(rec + 4, 0);
    memcpy(rec + 8, img, BLKSIZE);
    addsum(&j->s1, &j->s2, rec, JRECSIZE);
    j->bufn++;
    return 1;
}

short jflush(FSDATA *fsdata) {
    JOURNAL *j = &fsdata->pager.journal;
    if (j->bufn == 0 && j->live) return 1;
    if (!writerownjournal(fsdata)) {
        dodberror(ERR_JBUSY);
        return 0;
    }
    if (!opened(fsdata)) return 0;
    uint8_t head[JHEADSIZE];
    makeheader(head, j->count + j->bufn, j->origlen, j->s1, j->s2);
    size_t reclen = (size_t)j->bufn * JRECSIZE;
    bool sync = syncon(fsdata);
    if (!j->live) {
        // Nothing in the database depends on this journal yet: header and
        // records go in one call, and a torn write fails the checksum.
        platiov v[2] = {{head, JHEADSIZE}, {j->buf, reclen}};
        harderrno = 0;
        if (plat_jpwritev(j->fd, v, 2, 0) != (long)(JHEADSIZE + reclen) || harderrno) {
            dodberror(ERR_JWRITE);
            return 0;
        }
        if (sync && plat_sync(j->fd) != 0) {
            dodberror(ERR_JSYNC);
            return 0;
        }
    } else {
        // Blocks of the database already rest on the header on disk: the new
        // records must be down before a header that counts them.
        platiov v = {j->buf, reclen};
        harderrno = 0;
        if (plat_jpwritev(j->fd, &v, 1, JHEADSIZE + (uint64_t)j->count * JRECSIZE) != (long)reclen ||
            harderrno) {
            dodberror(ERR_JWRITE);
            return 0;
        }
        if (sync && plat_sync(j->fd) != 0) {
            dodberror(ERR_JSYNC);
            return 0;
        }
        platiov hv = {head, JHEADSIZE};
        if (plat_jpwritev(j->fd, &hv, 1, 0) != (long)JHEADSIZE || harderrno) {
            dodberror(ERR_JWRITE);
            return 0;
        }
        if (sync && plat_sync(j->fd) != 0) {
            dodberror(ERR_JSYNC);
            return 0;
        }
    }
    if (sync && !j->dirsynced) {
        // The journal's name must survive a power loss too.
        char jp[PATHSIZE + sizeof JSUFFIX];
        if (!jpath(fsdata->path, jp, sizeof jp) || plat_syncdir(jp) != 0) {
            dodberror(ERR_JSYNC);
            return 0;
        }
        j->dirsynced = 1;
    }
    j->count += j->bufn;
    j->bufn = 0;
    j->live = 1;
    return 1;
}

short jend(FSDATA *fsdata) {
    JOURNAL *j = &fsdata->pager.journal;
    if (j->live) {
        harderrno = 0;
        if (zerohead(j->fd) != 0 || harderrno) {
            dodberror(ERR_JEND);
            return 0;
        }
        if (syncon(fsdata) && plat_sync(j->fd) != 0) {
            dodberror(ERR_JEND);
            return 0;
        }
        // A journal grown large by a big transaction is not kept at that
        // size for the rest of the open.
        if (j->count >= JTRUNCATEAT && plat_jtruncate(j->fd, 0) != 0) {
            dodberror(ERR_JEND);
            return 0;
        }
    }
    j->live = 0;
    j->count = 0;
    j->bufn = 0;
    j->s1 = j->s2 = 0;
    writerreleasejournal(fsdata);
    return 1;
}

short jrestore(FSDATA *fsdata) {
    JOURNAL *j = &fsdata->pager.journal;
    if (j->live) {
        jhead h;
        if (verify(j->fd, &h) != 1 || undo(j->fd, fsdata->fsp, h) != 0) {
            dodberror(ERR_ROLLBACK);
            return 0;
        }
    }
    // The records still waiting are originals of blocks never written.
    j->bufn = 0;
    return jend(fsdata);
}

void jclose(FSDATA *fsdata, bool remove, bool discard) {
    JOURNAL *j = &fsdata->pager.journal;
    if (j->fd >= 0) {
        plat_close(j->fd);
        char jp[PATHSIZE + sizeof JSUFFIX];
        if ((discard || (remove && !j->live)) && jpath(fsdata->path, jp, sizeof jp)) plat_remove(jp);
    }
    // A live journal left behind is hot: no other open of the file in this
    // process may write over it (writerlock.cc keeps it marked).
    if (j->live && !discard) writerorphanjournal(fsdata);
    else writerreleasejournal(fsdata);
    if (j->buf != j->one) plat_free(j->buf);
    jinit(j);
}

int jishot(const char *dbpath) {
    char jp[PATHSIZE + sizeof JSUFFIX];
    if (!jpath(dbpath, jp, sizeof jp)) return 0;
    int fd = plat_jopen(jp, 0);
    if (fd < 0) return plat_jmissing() ? 0 : -1;
    jhead h;
    int hot = verify(fd, &h);
    plat_close(fd);
    return hot;
}

int jrecover(const char *dbpath, int dbfd) {
    char jp[PATHSIZE + sizeof JSUFFIX];
    if (!jpath(dbpath, jp, sizeof jp)) return 0;
    int fd = plat_jopen(jp, 1);
    if (fd < 0) return plat_jmissing() ? 0 : -1;
    jhead h;
    int hot = verify(fd, &h);
    int r = hot;
    if (hot == 1) {
        // The database is whole again once synced; only then may the
        // journal stop being hot.
        if (undo(fd, dbfd, h) != 0 || zerohead(fd) != 0 || plat_sync(fd) != 0) r = -1;
    }
    plat_close(fd);
    if (r == 1) plat_remove(jp);
    return r;
}

}  // namespace pmdb
