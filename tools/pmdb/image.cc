// image.cc - reading a database file into memory and surveying it block by
// block.
#include "image.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "keyvalue.h"
#include "schema.h"

namespace pmdbtool {

namespace {

using pmdb::BLKSIZE;
using pmdb::get16;
using pmdb::get32;

std::string at(uint32_t blk) { return "block " + std::to_string(blk) + ": "; }

std::string hex8(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// The translation slots, the free-slot chain and the blocks live slots name.
void surveyslots(const Image &im, Survey *s, bool checking) {
    for (uint64_t m = 0;; m++) {
        uint64_t xb = m * im.freq + 1;
        if (xb > s->lastblk) break;
        s->role[xb] |= ROLE_XLATE;
        s->xlateblocks++;
        const uint8_t *p = im.block((uint32_t)xb);
        for (int j = 0; j < 256; j++) {
            uint32_t v = get32(p + 4 * j);
            if ((v >> 28) == 0) continue;
            s->slotsused++;
            s->records[(v >> 28) - 1]++;
            uint32_t b = v & 0x0fffffff;
            if (b <= s->lastblk) s->role[b] |= ROLE_SLOT;
        }
    }
    s->slots = (uint64_t)s->xlateblocks * 256;
    if (s->slots == 0) return;

    // The free chain runs through the free slots and leaves the slots
    // present only at the first slot of the next translation block to be
    // made: that is where the never-used tail of the chain goes on.
    std::vector<bool> seen(s->slots, false);
    uint64_t sl = im.cb.ftc;
    while (sl < s->slots) {
        uint32_t xb = (uint32_t)((sl >> 8) * im.freq + 1);
        uint32_t v = get32(im.block(xb) + 4 * (sl & 255));
        if (seen[sl]) {
            if (checking)
                s->problems.push_back(at(xb) + "the free-slot chain loops back to slot " +
                                      std::to_string(sl));
            break;
        }
        if ((v >> 28) != 0) {
            if (checking)
                s->problems.push_back(at(xb) + "the free-slot chain reaches slot " +
                                      std::to_string(sl) + ", which is in use");
            break;
        }
        seen[sl] = true;
        s->slotsonchain++;
        sl = v;
    }
    if (!checking) return;
    if (sl >= s->slots && sl != s->slots)
        s->problems.push_back(at(0) + "the free-slot chain leaves the translation blocks at slot " +
                              std::to_string(sl) + " instead of slot " + std::to_string(s->slots));
    // Every slot is bound to a record or on the chain exactly once: a free
    // slot the chain does not reach is lost for good (a changed link cuts
    // the chain short of it).
    uint64_t lost = s->slots - s->slotsused - s->slotsonchain;
    if (lost > 0 && sl >= s->slots) {
        uint64_t first = 0;
        for (; first < s->slots; first++) {
            uint32_t v;
            if (!seen[first] && slotvalue(im, s->lastblk, first, &v) && (v >> 28) == 0) break;
        }
        s->problems.push_back(at((uint32_t)((first >> 8) * im.freq + 1)) + std::to_string(lost) +
                              " free translation slots are on no chain (leaked: never reused), the first slot " +
                              std::to_string(first));
    }
}

void surveychains(const Image &im, Survey *s) {
    for (int k = 0; k < 6; k++) {
        ChainStat &c = s->chain[k];
        uint32_t b = im.cb.fc[k];
        uint32_t steps = 0;
        while (b != 0) {
            if (b < 2 || b > s->lastblk || im.isxlate(b) || ++steps > s->lastblk ||
                (s->role[b] & (ROLE_CHAIN * 63)) != 0) {
                c.broken = true;
                break;
            }
            s->role[b] |= chainrole(k);
            const uint8_t *p = im.block(b);
            if (p[8] != 0) {
                c.broken = true;  // a chain leads to data blocks only
                break;
            }
            int len = (int16_t)get16(p + 4);
            c.blocks++;
            if (len >= pmdb::DBHEADER && len <= (int)BLKSIZE) c.freeroom += BLKSIZE - len;
            b = get32(p);
        }
    }
}

void surveytree(const Image &im, Survey *s, bool checking) {
    uint32_t root = im.cb.rootkb;
    if (root == 0) return;
    TreeStat &t = s->tree;
    std::vector<uint32_t> stack{root};
    bool first = true;
    while (!stack.empty()) {
        uint32_t b = stack.back();
        stack.pop_back();
        bool isroot = first;
        first = false;
        if (b < 2 || b > s->lastblk || im.isxlate(b) || (s->role[b] & ROLE_KEY)) {
            t.broken = true;
            continue;
        }
        const uint8_t *p = im.block(b);
        int len = (int16_t)get16(p + 4);
        int level = (signed char)p[9];
        if (p[8] != 1 || len < pmdb::KBHEADER || len > (int)BLKSIZE || level < 0) {
            t.broken = true;
            continue;
        }
        s->role[b] |= ROLE_KEY;
        if (isroot) t.height = level + 1;
        if (checking && level == 0 && get32(p + 10) != 0)
            s->problems.push_back(at(b) + "a leaf with xtrablk " + std::to_string(get32(p + 10)) +
                                  " (only inner blocks have a rightmost child)");
        t.blocks++;
        t.used += (uint64_t)len;
        if (level == 0) t.leaves++;
        int over = level > 0 ? 10 : 6, keyoff = level > 0 ? 6 : 2;
        int pos = pmdb::KBHEADER;
        while (pos < len) {
            int keylen = (int16_t)get16(p + pos);
            if (keylen < 1 || pos + over + keylen > len) {
                t.broken = true;
                break;
            }
            const uint8_t *img = p + pos + keyoff;
            if (level > 0) {
                stack.push_back(get32(p + pos + 2));
            } else {
                uint8_t fid = img[0];
                uint32_t rid = get32(img + keylen);
                t.keys++;
                int n = fid >> 4, sk = fid & 15;
                if (n > 0) s->keys[n - 1][sk]++;
                if (checking && !ridlive(im, s->lastblk, rid)) {
                    s->danglingkeys++;
                    int kt = n > 0 ? im.cb.f[n - 1].keytype[sk] : 0;
                    s->warnings.push_back(at(b) + "key " + std::to_string(n) + "." +
                                          std::to_string(sk) + " " +
                                          formatkeyvalue(kt, img + 1, keylen - 1) + " rid " +
                                          hex8(rid) + " names no live record");
                }
            }
            pos += keylen + over;
        }
        if (level > 0) stack.push_back(get32(p + 10));
    }
}

const char *rolename(uint16_t r) {
    if (r & ROLE_KEY) return "key block";
    if (r & ROLE_XLATE) return "translation block";
    for (int k = 0; k < 6; k++)
        if (r & chainrole(k)) {
            static const char *names[] = {"on chain 0", "on chain 1", "on chain 2",
                                          "on chain 3", "on chain 4", "on chain 5"};
            return names[k];
        }
    if (r & ROLE_SLOT) return "named by a record's slot";
    if (r & ROLE_RECS) return "holding records";
    return "nothing";
}

// Every block is one thing: translation, data (named by slots or on a
// chain 1..5 or holding records), key, free (chain 0), and nothing else.
void account(const Image &im, Survey *s) {
    uint32_t offchain[6] = {}, offtree = 0;
    for (uint32_t b = 1; b <= s->lastblk; b++) {
        uint16_t r = s->role[b];
        const uint8_t *p = im.block(b);
        if (r & ROLE_XLATE) {
            if (r & ~ROLE_XLATE)
                s->problems.push_back(at(b) + "a translation block, but also " +
                                      rolename((uint16_t)(r & ~ROLE_XLATE)));
            continue;
        }
        if (b < 2) continue;
        if ((r & ROLE_KEY) && (r & ~ROLE_KEY)) {
            s->problems.push_back(at(b) + "claimed twice: key block and " +
                                  rolename((uint16_t)(r & ~ROLE_KEY)));
            continue;
        }
        if ((r & chainrole(0)) && (r & (ROLE_SLOT | ROLE_RECS))) {
            s->problems.push_back(at(b) +
                                  "claimed twice: on chain 0 (empty blocks) but holds records");
            continue;
        }
        int len = (int16_t)get16(p + 4);
        int fc = (int16_t)get16(p + 6);
        if (r != 0) {
            // A data block is on the chain its fc names, or on none with -1.
            // Behind a break in a chain every block would say so: the break
            // is the problem, told once.
            if (!(r & ROLE_KEY) && !(r & (ROLE_CHAIN * 63)) && p[8] == 0 && fc >= 0 && fc <= 5) {
                if (s->chain[fc].broken)
                    offchain[fc]++;
                else
                    s->problems.push_back(at(b) + "carries chain " + std::to_string(fc) +
                                          " but is on no chain (its room is never reused)");
            }
            continue;
        }
        if (p[8] == 1 && s->tree.broken)
            offtree++;
        else if (p[8] == 1)
            s->problems.push_back(at(b) + "a key block that the key tree does not reach (orphan)");
        else if (p[8] == 0 && len == pmdb::DBHEADER)
            s->problems.push_back(at(b) + "an empty block on no chain (orphan: never reused)");
        else
            s->problems.push_back(at(b) + "block of type " + std::to_string(p[8]) +
                                  " that nothing claims (orphan)");
    }
    if (offtree > 0)
        s->problems.push_back(at(0) + "the key tree is broken: " + std::to_string(offtree) +
                              " key blocks are not reached");
    for (int k = 0; k < 6; k++)
        if (offchain[k] > 0)
            s->problems.push_back(at(0) + "chain " + std::to_string(k) + " is broken: " +
                                  std::to_string(offchain[k]) +
                                  " blocks that carry its number are not reached");
}

void checkcontrol(const Image &im, Survey *s) {
    const pmdb::FSCB &cb = im.cb;
    if (cb.lb > pmdb::MAXBLOCK)
        s->problems.push_back(at(0) + "lb " + std::to_string(cb.lb) + " exceeds the largest block " +
                              std::to_string(pmdb::MAXBLOCK));
    // One problem for a length that disagrees with lb, however many blocks
    // lb claims; bytes past the last whole block are only a warning, as
    // the library ignores them.
    uint64_t want = ((uint64_t)cb.lb + 1) * BLKSIZE;
    if (im.filesize / BLKSIZE != (uint64_t)cb.lb + 1)
        s->problems.push_back(at(0) + "the file is " + std::to_string(im.filesize) + " bytes (" +
                              std::to_string(im.filesize / BLKSIZE) + " blocks) but lb " + std::to_string(cb.lb) +
                              " claims " + std::to_string((uint64_t)cb.lb + 1) + " blocks (" +
                              std::to_string(want) + " bytes)");
    else if (im.filesize != want)
        s->warnings.push_back("the file ends in " + std::to_string(im.filesize - want) +
                              " bytes past its last block (a trailing part-block, which the library ignores)");
    if (cb.cf != 0) s->problems.push_back(at(0) + "cf is not 0 in the file");
    if (cb.dblocked != 0) s->problems.push_back(at(0) + "dblocked is not 0 in the file");
    if (cb.wrts != 0) s->problems.push_back(at(0) + "wrts is not 0 in the file");
    if (cb.numusers < 0) s->problems.push_back(at(0) + "numusers is negative");
    if (cb.numusers > 0)
        s->warnings.push_back("numusers is " + std::to_string(cb.numusers) +
                              ": the file is open, or was not closed");
    if (cb.ftc > pmdb::MAXSLOT)
        s->problems.push_back(at(0) + "ftc " + std::to_string(cb.ftc) + " lies outside the slot space");
    else if ((uint64_t)(cb.ftc / 256) * im.freq > cb.lb)
        s->problems.push_back(at(0) + "ftc " + std::to_string(cb.ftc) +
                              " lies beyond the file (integrity test 1)");
    for (int k = 0; k < 6; k++)
        if (cb.fc[k] > cb.lb)
            s->problems.push_back(at(0) + "chain " + std::to_string(k) + " head " +
                                  std::to_string(cb.fc[k]) + " lies beyond the file (integrity test 3)");
    if (cb.appstat != 0 && cb.appstat != 1)
        s->warnings.push_back("appstat is " + std::to_string(cb.appstat) + ", not 0 or 1");
}

}  // namespace

int loadimage(const std::string &path, Image *im, std::string *why) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *why = strerror(errno);
        return IMAGE_CANNOTREAD;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        fclose(f);
        *why = S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file";
        return IMAGE_CANNOTREAD;
    }
    im->filesize = (uint64_t)st.st_size;
    im->bytes.assign(BLKSIZE, 0);
    size_t got = fread(im->bytes.data(), 1, BLKSIZE, f);
    if (got < BLKSIZE || memcmp(im->bytes.data() + pmdb::SIGOFFSET, pmdb::SIGNATURE, 8) != 0) {
        bool err = ferror(f) != 0;
        fclose(f);
        if (err) {
            *why = strerror(errno);
            return IMAGE_CANNOTREAD;
        }
        *why = got < BLKSIZE ? "not a database: shorter than one block" : "not a database: the signature is missing";
        return IMAGE_NOTDB;
    }
    memcpy(&im->cb, im->bytes.data(), BLKSIZE);
    // Only the blocks that lb names are read: bytes past them are told by
    // the file's length alone.
    uint64_t want = std::min<uint64_t>({(uint64_t)std::min<uint32_t>(im->cb.lb, pmdb::MAXBLOCK) + 1,
                                        im->filesize / BLKSIZE, (uint64_t)pmdb::MAXBLOCK + 1});
    im->bytes.resize((size_t)want * BLKSIZE);
    size_t rest = im->bytes.size() - BLKSIZE;
    got = rest ? fread(im->bytes.data() + BLKSIZE, 1, rest, f) : 0;
    bool err = ferror(f) != 0;
    fclose(f);
    if (err || got != rest) {
        *why = err ? strerror(errno) : "cannot be read whole";
        return IMAGE_CANNOTREAD;
    }
    im->nblocks = (uint32_t)want;
    int16_t f16 = im->cb.xblkfreq == 0 ? pmdb::DEFAULTXBLKFREQ : im->cb.xblkfreq;
    im->freq = (uint16_t)f16;
    return IMAGE_OK;
}

bool slotvalue(const Image &im, uint32_t lastblk, uint64_t sl, uint32_t *v) {
    uint64_t xb = (sl >> 8) * im.freq + 1;
    if (im.freq < 2 || xb > lastblk) return false;
    *v = get32(im.block((uint32_t)xb) + 4 * (sl & 255));
    return true;
}

bool ridlive(const Image &im, uint32_t lastblk, uint32_t rid) {
    uint32_t v;
    if ((rid >> 28) == 0 || !slotvalue(im, lastblk, rid & 0x0fffffff, &v)) return false;
    return (v >> 28) == (rid >> 28);
}

void survey(const Image &im, Survey *s, bool checking) {
    *s = Survey();
    s->lastblk = std::min<uint64_t>(im.cb.lb, im.nblocks - 1);
    s->role.assign((size_t)s->lastblk + 1, 0);
    if (checking) checkcontrol(im, s);
    if (im.freq < 2) {
        if (checking)
            s->problems.push_back(at(0) + "xblkfreq " + std::to_string((int16_t)im.cb.xblkfreq) +
                                  " is below 2: no block is left for data");
        s->stopped = true;
        return;
    }
    surveyslots(im, s, checking);
    surveychains(im, s);
    for (uint32_t b = 2; b <= s->lastblk; b++) {
        if (im.isxlate(b)) continue;
        const uint8_t *p = im.block(b);
        int len = (int16_t)get16(p + 4);
        if (p[8] == 0 && len > pmdb::DBHEADER) {
            s->role[b] |= ROLE_RECS;
            bool onchain = (s->role[b] & (ROLE_CHAIN * 63)) != 0;
            if (!onchain && len <= (int)BLKSIZE) {
                s->fullblocks++;
                s->fullroom += BLKSIZE - len;
            }
        }
    }
    surveytree(im, s, checking);
    if (!checking) return;
    for (int n = 0; n < pmdb::NUMFILES; n++)
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            int t = im.cb.f[n].keytype[k];
            if (s->keys[n][k] > 0 && (t < 0 || t >= NUMKEYTYPES))
                s->problems.push_back(at(0) + "subkey " + std::to_string(n + 1) + "." +
                                      std::to_string(k) + " holds keys but has key type " +
                                      std::to_string(t) + ", which no key call accepts");
        }
    account(im, s);
}

}  // namespace pmdbtool
