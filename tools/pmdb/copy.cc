// copy.cc - the `copy` command: a database copied while its lock is held,
// into a NewDb beside the target.
//
// A plain copy takes the file's bytes as they are. A compact copy rebuilds
// the database through the exported calls instead: every record is placed
// under its own rid (fsaddat) in rid order, so data blocks fill one after
// another; the keys go in in key order into a fresh index; the schema and
// control values are set as they were. What compaction cannot drop: the
// translation blocks up to the highest rid (the rids need them), and the
// free slots of deleted records below it (they stay on the free-slot
// chain, in rising order).
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "dumpformat.h"
#include "keywalk.h"
#include "pmdbtool.h"

namespace pmdbtool {

namespace {

int plaincopy(Ctx &c, const Db &src, NewDb &nd) {
    int in = ::open(src.path().c_str(), O_RDONLY);
    if (in < 0) return toolerror(c, src.path(), sysreason(errno)), EXIT_FAIL;
    int out = nd.createfile();
    if (out < 0) {
        ::close(in);
        return EXIT_FAIL;
    }
    std::vector<char> buf(1 << 20);
    uint64_t done = 0;
    Progress progress(c, "copy", 0);
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR && !interrupted()) continue;
        if (n < 0) {
            toolerror(c, src.path(), sysreason(errno));
            break;
        }
        if (n == 0) {
            ::close(in);
            if (!nd.finish(out)) return EXIT_FAIL;
            fprintf(c.out, "%s: %llu bytes copied from %s\n", nd.target().c_str(), (unsigned long long)done,
                    src.path().c_str());
            return EXIT_OK;
        }
        for (ssize_t w = 0; w < n;) {
            ssize_t k = write(out, buf.data() + w, (size_t)(n - w));
            if (k < 0 && errno == EINTR && !interrupted()) continue;
            if (k < 0) {
                toolerror(c, nd.target(), sysreason(errno));
                ::close(in);
                ::close(out);
                return EXIT_FAIL;
            }
            w += k;
        }
        done += (uint64_t)n;
        progress.step(done);
        if (interrupted()) {
            toolerror(c, nd.target(), "interrupted; nothing was written");
            break;
        }
    }
    ::close(in);
    ::close(out);
    return EXIT_FAIL;
}

class Compact {
public:
    Compact(Ctx &c, const Db &src, NewDb &nd) : c_(c), src_(src), nd_(nd) {}
    int run();

private:
    bool failed(const std::string &what) {
        liberror(c_, nd_.target(), what);
        return false;
    }
    // A commit every few thousand changes keeps each flush short.
    bool commit() {
        if (++changes_ % 4000 != 0) return !interrupted();
        Db &d = nd_.db();
        clearliberrors();
        if (!fsunlock(d.inst(), d.fs())) return failed("cannot write the new database");
        fslock(d.inst(), d.fs(), nullptr);
        return !interrupted();
    }
    bool records();
    bool keys();

    Ctx &c_;
    const Db &src_;
    NewDb &nd_;
    Schema schema_;
    uint64_t changes_ = 0, recs_ = 0, keys_ = 0;
};

bool Compact::records() {
    Db &d = nd_.db();
    std::vector<uint8_t> rec(65536);
    Progress progress(c_, "copy records", 0);
    for (int n = 1; n <= 15; n++) {
        clearliberrors();
        for (uint32_t rid = fsfirst(src_.inst(), src_.fs(), (uint8_t)(n << 4)); rid != 0;
             rid = fsnext(src_.inst(), src_.fs(), rid)) {
            short len = fsread(src_.inst(), src_.fs(), rid, rec.data());
            if (len == 0 && liberrorsince()) {
                liberror(c_, src_.path(), "cannot read record " + ridtext(rid));
                return false;
            }
            if (!fsaddat(d.inst(), d.fs(), rec.data(), len, rid)) return failed("cannot place record " + ridtext(rid));
            progress.step(++recs_);
            if (!commit()) return false;
        }
        if (liberrorsince()) {
            liberror(c_, src_.path(), "the walk of file " + std::to_string(n) + " failed");
            return false;
        }
    }
    return true;
}

// Keys added in rising order leave every leaf half full: a leaf splits in
// the middle when it overflows, and its lower half never sees another key.
// So each subkey goes in twice over: first two keys of every three, then
// the third ones, which fall into the half-full leaves between their
// neighbours and bring them to three quarters.
bool Compact::keys() {
    Db &d = nd_.db();
    Progress progress(c_, "copy keys", 0);
    for (int n = 1; n <= 15; n++) {
        for (int k = 0; k < 16; k++) {
            uint8_t fid = (uint8_t)(n << 4 | k);
            if (subkeytype(src_, fid) < 0) continue;
            for (int pass = 0; pass < 2; pass++) {
                clearliberrors();
                Found cur;
                int r = keyfirst(src_, fid, &cur);
                for (uint64_t i = 0; r == 1; i++) {
                    if ((i % 3 == 2) == (pass == 1)) {
                        if (!fsaddkey(d.inst(), d.fs(), fid, cur.rid, (short)cur.value.size(), cur.value.data()))
                            return failed("cannot add a key of subkey " + std::to_string(n) + "." + std::to_string(k));
                        progress.step(++keys_);
                        if (!commit()) return false;
                    }
                    Found next;
                    r = keynext(src_, fid, cur, &next);
                    cur = next;
                }
                if (r < 0) {
                    liberror(c_, src_.path(),
                             "the walk of subkey " + std::to_string(n) + "." + std::to_string(k) + " failed");
                    return false;
                }
            }
        }
    }
    return true;
}

int Compact::run() {
    clearliberrors();
    if (!readschema(src_, &schema_) || !readspacing(src_.path(), &schema_.xblkfreq))
        return liberror(c_, src_.path(), "cannot read the schema"), EXIT_FAIL;
    warnunwalkable(c_, src_.path(), schema_, "copy");
    if (!nd_.create(schema_.xblkfreq)) return EXIT_FAIL;
    Db &d = nd_.db();
    fslock(d.inst(), d.fs(), nullptr);
    std::string what;
    clearliberrors();
    if (!applyschema(d, schema_, &what) ||
        !fsstorecannumber(d.inst(), d.fs(), fsgetcannumber(src_.inst(), src_.fs(), 0)) ||
        !fsstorebusinessdate(d.inst(), d.fs(), fsgetbusinessdate(src_.inst(), src_.fs())) ||
        !fssetappstat(d.inst(), d.fs(), fsgetappstat(src_.inst(), src_.fs())))
        return failed(what.empty() ? "cannot set the control values" : what), EXIT_FAIL;
    if (!records() || !keys()) {
        if (interrupted()) toolerror(c_, nd_.target(), "interrupted; nothing was written");
        return EXIT_FAIL;
    }
    if (!nd_.finish()) return EXIT_FAIL;
    fprintf(c_.out, "%s: %llu records, %llu keys copied from %s, compacted\n", nd_.target().c_str(),
            (unsigned long long)recs_, (unsigned long long)keys_, src_.path().c_str());
    return EXIT_OK;
}

}  // namespace

int cmdcopy(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "copy", argc, argv, {"compact", "force"}, {}, &a)) return EXIT_USAGE;
    if (a.pos.size() != 2) return usage(c, "copy", "expected SRC and DST");
    NewDb nd(c);
    if (!nd.prepare(a.pos[1], a.has("force"), a.pos[0])) return EXIT_FAIL;
    Db src;
    if (!src.open(c, a.pos[0], true)) return EXIT_USAGE;
    // Held for the whole copy: what is copied is one committed state.
    fslock(src.inst(), src.fs(), nullptr);
    int rc = a.has("compact") ? Compact(c, src, nd).run() : plaincopy(c, src, nd);
    fsunlock(src.inst(), src.fs());
    return rc;
}

}  // namespace pmdbtool
