// info.cc - the `info` command: the figures a user asks first, from the
// survey of the file's bytes (nothing is opened through the library, so a
// damaged file still shows what can be read).
#include <string.h>

#include <string>

#include "image.h"
#include "keyvalue.h"
#include "pmdbtool.h"
#include "schema.h"

namespace pmdbtool {

namespace {

const char *chainrange[6] = {"empty blocks", "768-1013 free", "512-767 free",
                             "256-511 free", "128-255 free", "64-127 free"};

std::string hex8(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

bool fileinuse(const Image &im, const Survey &s, int n) {
    const pmdb::FDATA &f = im.cb.f[n];
    if (f.name[0] != 0 || f.rlen != 0 || s.records[n] != 0 || f.frid != 0xffffffff || f.lrid != 0)
        return true;
    for (int k = 0; k < pmdb::NUMSUBKEYS; k++)
        if (s.keys[n][k] != 0 || f.keytype[k] != 0 || ((f.dupkeys >> k) & 1) != defaultdup(k))
            return true;
    return false;
}

bool subkeyshown(const Image &im, const Survey &s, int n, int k) {
    const pmdb::FDATA &f = im.cb.f[n];
    return s.keys[n][k] != 0 || f.keytype[k] != 0 || ((f.dupkeys >> k) & 1) != defaultdup(k);
}

std::string typeof(const pmdb::FDATA &f, int k) {
    const char *t = keytypename(f.keytype[k]);
    return t ? t : "type" + std::to_string(f.keytype[k]);
}

double fill(const Survey &s) {
    return s.tree.blocks ? 100.0 * (double)s.tree.used / ((double)s.tree.blocks * pmdb::BLKSIZE) : 0;
}

uint32_t cannumber(const pmdb::FSCB &cb) { return (uint32_t)cb.cannumber[1] << 16 | cb.cannumber[0]; }

std::string name(const pmdb::FDATA &f) { return std::string(f.name, strnlen(f.name, sizeof f.name)); }

void text(Ctx &c, const std::string &path, const Image &im, const Survey &s) {
    const pmdb::FSCB &cb = im.cb;
    FILE *o = c.out;
    fprintf(o, "file            %s\n", path.c_str());
    fprintf(o, "size            %llu bytes, %u blocks; last block (lb) %u\n",
            (unsigned long long)im.filesize, im.nblocks, cb.lb);
    fprintf(o, "xblkfreq        %u\n", im.freq);
    fprintf(o, "open count      %d\n", cb.numusers);
    fprintf(o, "change counter  %u\n", cb.fschanged);
    fprintf(o, "business date   %u\n", cb.businessdate);
    fprintf(o, "counter         %u\n", cannumber(cb));
    fprintf(o, "app status      %d\n", cb.appstat);
    fprintf(o, "add walk        %u blocks met without room, %u re-filed\n", cb.ce, cb.cefixes);
    fprintf(o, "\nlogical files\n");
    bool any = false;
    for (int n = 0; n < pmdb::NUMFILES; n++) {
        if (!fileinuse(im, s, n)) continue;
        any = true;
        const pmdb::FDATA &f = cb.f[n];
        std::string nm = name(f);
        fprintf(o, "  %2d %-15s rlen %-5d records %u", n + 1, nm.empty() ? "-" : escapeword(nm).c_str(),
                f.rlen, s.records[n]);
        if (s.records[n] || f.frid != 0xffffffff)
            fprintf(o, ", frid %s lrid %s", hex8(f.frid).c_str(), hex8(f.lrid).c_str());
        fprintf(o, "\n");
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            if (!subkeyshown(im, s, n, k)) continue;
            fprintf(o, "       %d.%-2d %-8s %-6s %u keys\n", n + 1, k, typeof(f, k).c_str(),
                    (f.dupkeys >> k) & 1 ? "dup" : "unique", s.keys[n][k]);
        }
    }
    if (!any) fprintf(o, "  none in use\n");
    fprintf(o, "\nkey tree        ");
    if (cb.rootkb == 0)
        fprintf(o, "empty\n");
    else
        fprintf(o, "root %u, height %d, %u blocks (%u leaves), fill %.1f%%, %llu keys%s\n", cb.rootkb,
                s.tree.height, s.tree.blocks, s.tree.leaves, fill(s), (unsigned long long)s.tree.keys,
                s.tree.broken ? " (damaged: run check)" : "");
    fprintf(o, "\nfree-space chains\n");
    for (int k = 0; k < 6; k++)
        fprintf(o, "  chain %d  %-14s %8u blocks %10llu bytes unused%s\n", k, chainrange[k],
                s.chain[k].blocks, (unsigned long long)s.chain[k].freeroom,
                s.chain[k].broken ? " (damaged: run check)" : "");
    fprintf(o, "  no chain %-14s %8u blocks %10llu bytes unused\n", "(full)", s.fullblocks,
            (unsigned long long)s.fullroom);
    fprintf(o, "\ntranslation     %u blocks, %llu slots: %llu used, %llu free\n", s.xlateblocks,
            (unsigned long long)s.slots, (unsigned long long)s.slotsused,
            (unsigned long long)(s.slots - s.slotsused));
}

void json(Ctx &c, const std::string &path, const Image &im, const Survey &s) {
    const pmdb::FSCB &cb = im.cb;
    FILE *o = c.out;
    fprintf(o, "{\"file\":%s,\"size\":%llu,\"blocks\":%u,\"lb\":%u,\"xblkfreq\":%u,", jsonbytes(path).c_str(),
            (unsigned long long)im.filesize, im.nblocks, cb.lb, im.freq);
    fprintf(o, "\"numusers\":%d,\"fschanged\":%u,\"businessdate\":%u,\"counter\":%u,\"appstat\":%d,",
            cb.numusers, cb.fschanged, cb.businessdate, cannumber(cb), cb.appstat);
    fprintf(o, "\"ce\":%u,\"cefixes\":%u,\"files\":[", cb.ce, cb.cefixes);
    bool first = true;
    for (int n = 0; n < pmdb::NUMFILES; n++) {
        if (!fileinuse(im, s, n)) continue;
        const pmdb::FDATA &f = cb.f[n];
        fprintf(o, "%s{\"file\":%d,\"name\":%s,\"rlen\":%d,\"records\":%u,\"frid\":%u,\"lrid\":%u,\"subkeys\":[",
                first ? "" : ",", n + 1, jsonbytes(name(f)).c_str(), f.rlen, s.records[n], f.frid, f.lrid);
        first = false;
        bool firstk = true;
        for (int k = 0; k < pmdb::NUMSUBKEYS; k++) {
            if (!subkeyshown(im, s, n, k)) continue;
            fprintf(o, "%s{\"subkey\":%d,\"keytype\":\"%s\",\"dup\":%s,\"keys\":%u}", firstk ? "" : ",", k,
                    typeof(f, k).c_str(), (f.dupkeys >> k) & 1 ? "true" : "false", s.keys[n][k]);
            firstk = false;
        }
        fprintf(o, "]}");
    }
    fprintf(o, "],\"keytree\":{\"root\":%u,\"height\":%d,\"blocks\":%u,\"leaves\":%u,\"fill\":%.1f,"
               "\"keys\":%llu,\"damaged\":%s},",
            cb.rootkb, s.tree.height, s.tree.blocks, s.tree.leaves, fill(s), (unsigned long long)s.tree.keys,
            s.tree.broken ? "true" : "false");
    fprintf(o, "\"chains\":[");
    for (int k = 0; k < 6; k++)
        fprintf(o, "%s{\"chain\":%d,\"blocks\":%u,\"unused\":%llu,\"damaged\":%s}", k ? "," : "", k,
                s.chain[k].blocks, (unsigned long long)s.chain[k].freeroom, s.chain[k].broken ? "true" : "false");
    fprintf(o, "],\"nochain\":{\"blocks\":%u,\"unused\":%llu},", s.fullblocks, (unsigned long long)s.fullroom);
    fprintf(o, "\"translation\":{\"blocks\":%u,\"slots\":%llu,\"used\":%llu,\"free\":%llu}}\n", s.xlateblocks,
            (unsigned long long)s.slots, (unsigned long long)s.slotsused,
            (unsigned long long)(s.slots - s.slotsused));
}

}  // namespace

int infofile(Ctx &c, const std::string &path, bool asjson) {
    Image im;
    std::string why;
    if (loadimage(path, &im, &why) != IMAGE_OK) {
        toolerror(c, path, why);
        return EXIT_USAGE;
    }
    Survey s;
    survey(im, &s, false);
    if (asjson)
        json(c, path, im, s);
    else
        text(c, path, im, s);
    return EXIT_OK;
}

int cmdinfo(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "info", argc, argv, {"json"}, {}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 1) return usage(c, "info", "expected one FILE");
    return infofile(c, a.pos[0], a.has("json"));
}

}  // namespace pmdbtool
