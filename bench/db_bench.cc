// db_bench.cc - pmdblib beside SQLite and LMDB on six workloads in the
// manner of the classic key-value benchmarks: 16-byte keys, 100-byte values
// (random letters), changes in batches of 1000 per transaction (a lock and
// unlock for pmdblib).
//
//   fillseq       add N entries in ascending key order
//   fillrandom    add N entries in random key order
//   overwrite     replace the value of N existing entries, random order
//   readrandom    look up N existing keys in random order, value fetched
//   readseq       every entry in key order, value fetched
//   deleterandom  delete every entry, random order
//
// The three engines run interleaved (each repetition runs every workload
// on every engine before the next repetition starts), so that the machine's
// drift in speed touches all of them alike; the summary at the end gives
// the median of the repetitions and the ratios, all from this one run.
// Reads and changes start from a copy of a database filled in random order
// (so no engine starts with a store warmed by the fill), with the files in
// the operating system's page cache.
//
// Settings: each engine's defaults but for syncing. No sync: pmdblib
// fssetsync 0; SQLite synchronous=OFF (its rollback journal, its default
// page cache); LMDB MDB_NOSYNC | MDB_NOMETASYNC. Durable: pmdblib fssetsync
// 1; SQLite synchronous=FULL; LMDB's default flags.
//
// Flags (before Google Benchmark's own): --sizes=100000,1000000
// --reps=3 --durable=0|1|2 (2 = both; durable runs the changing workloads
// at the largest size only). The summary gives elapsed time and CPU time
// (steadier on a busy machine, but blind to time spent waiting for syncs). DB_BENCH_DIR=dir keeps the filled databases
// there between runs.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pmdblib.h"

namespace {

constexpr int BATCH = 1000;
constexpr int VALUELEN = 100;

std::string dir;

std::string key(uint32_t i) {
    char buf[17];
    snprintf(buf, sizeof buf, "%016u", i);
    return std::string(buf, 16);
}

struct Keys {
    uint32_t n;
    std::vector<uint32_t> order;    // a random permutation of 0..n-1
    std::vector<uint32_t> order2;   // another
    std::vector<std::string> values;   // a pool of values, used round robin
    explicit Keys(uint32_t n_) : n(n_) {
        std::mt19937 rng(n_);
        for (uint32_t i = 0; i < n; i++) order.push_back(i);
        order2 = order;
        std::shuffle(order.begin(), order.end(), rng);
        std::shuffle(order2.begin(), order2.end(), rng);
        for (int v = 0; v < 1024; v++) {
            std::string s(VALUELEN, ' ');
            for (char &c : s) c = (char)('a' + rng() % 26);
            values.push_back(s);
        }
    }
    const std::string &value(uint32_t i) const { return values[i % values.size()]; }
};

// One engine behind the six workloads.
class Engine {
public:
    virtual ~Engine() {}
    virtual const char *name() const = 0;
    virtual std::string file(const std::string &tag) const = 0;
    virtual void create(const std::string &path) = 0;
    virtual void open(const std::string &path, bool durable) = 0;
    virtual void close() = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void put(const std::string &k, const std::string &v) = 0;
    virtual void update(const std::string &k, const std::string &v) = 0;
    virtual bool get(const std::string &k, std::string *v) = 0;
    virtual void del(const std::string &k) = 0;
    virtual uint64_t scan() = 0;   // entries seen, values fetched
};

class Pmdb : public Engine {
public:
    const char *name() const override { return "pmdblib"; }
    std::string file(const std::string &tag) const override { return dir + "/" + tag + ".pmdb"; }
    void create(const std::string &path) override {
        unlink(path.c_str());
        fscreatedatabase(path.c_str(), 20);
    }
    void open(const std::string &path, bool durable) override {
        fs_ = fsopen(0, path.c_str(), 0, 0);
        if (fs_ == nullptr) abort();
        fssetsync(0, fs_, durable ? 1 : 0);
    }
    void close() override { fsclose(0, fs_); }
    void begin() override { fslock(0, fs_, nullptr); }
    void commit() override { fsunlock(0, fs_); }
    void put(const std::string &k, const std::string &v) override {
        uint32_t rid = fsadd(0, fs_, v.data(), (short)v.size(), 0x10);
        if (rid == 0 || !fsaddkey(0, fs_, 0x10, rid, 16, k.data())) abort();
    }
    uint32_t find(const std::string &k) {
        memcpy(kbuf_, k.data(), 16);
        return fsfindkey(0, fs_, 0x10, 16, kbuf_);
    }
    void update(const std::string &k, const std::string &v) override {
        uint32_t rid = find(k);
        if (rid == 0 || !fswrite(0, fs_, v.data(), (short)v.size(), rid)) abort();
    }
    bool get(const std::string &k, std::string *v) override {
        uint32_t rid = find(k);
        if (rid == 0) return false;
        short n = fsread(0, fs_, rid, rec_);
        v->assign(rec_, (size_t)n);
        return true;
    }
    void del(const std::string &k) override {
        uint32_t rid = find(k);
        if (rid == 0 || !fsdeletekey(0, fs_, 0x10, rid, 16, k.data()) || !fsdelete(0, fs_, rid)) abort();
    }
    uint64_t scan() override {
        uint64_t n = 0;
        for (uint32_t rid = fsfirstkey(0, fs_, 0x10, kbuf_); rid != 0;
             rid = fsnextkey(0, fs_, 0x10, rid, fs_->len - 1, kbuf_)) {
            benchmark::DoNotOptimize(fsread(0, fs_, rid, rec_));
            n++;
        }
        return n;
    }

private:
    FS *fs_ = nullptr;
    char kbuf_[200];
    char rec_[32768];
};

class Sqlite : public Engine {
public:
    const char *name() const override { return "SQLite"; }
    std::string file(const std::string &tag) const override { return dir + "/" + tag + ".sqlite"; }
    void create(const std::string &path) override {
        unlink(path.c_str());
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) abort();
        exec("CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
        sqlite3_close(db_);
    }
    void open(const std::string &path, bool durable) override {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) abort();
        exec(durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
        prep(&ins_, "INSERT INTO kv VALUES(?, ?)");
        prep(&upd_, "UPDATE kv SET v = ? WHERE k = ?");
        prep(&sel_, "SELECT v FROM kv WHERE k = ?");
        prep(&del_, "DELETE FROM kv WHERE k = ?");
        prep(&scan_, "SELECT k, v FROM kv ORDER BY k");
    }
    void close() override {
        for (sqlite3_stmt *s : {ins_, upd_, sel_, del_, scan_}) sqlite3_finalize(s);
        ins_ = upd_ = sel_ = del_ = scan_ = nullptr;
        sqlite3_close(db_);
    }
    void begin() override { exec("BEGIN"); }
    void commit() override { exec("COMMIT"); }
    void put(const std::string &k, const std::string &v) override { run2(ins_, k, v); }
    void update(const std::string &k, const std::string &v) override { run2(upd_, v, k); }
    bool get(const std::string &k, std::string *v) override {
        sqlite3_bind_blob(sel_, 1, k.data(), (int)k.size(), SQLITE_STATIC);
        bool found = sqlite3_step(sel_) == SQLITE_ROW;
        if (found) v->assign((const char *)sqlite3_column_blob(sel_, 0), (size_t)sqlite3_column_bytes(sel_, 0));
        sqlite3_reset(sel_);
        return found;
    }
    void del(const std::string &k) override {
        sqlite3_bind_blob(del_, 1, k.data(), (int)k.size(), SQLITE_STATIC);
        if (sqlite3_step(del_) != SQLITE_DONE) abort();
        sqlite3_reset(del_);
    }
    uint64_t scan() override {
        uint64_t n = 0;
        while (sqlite3_step(scan_) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_blob(scan_, 1));
            n++;
        }
        sqlite3_reset(scan_);
        return n;
    }

private:
    void exec(const char *sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) abort();
    }
    void prep(sqlite3_stmt **st, const char *sql) {
        if (sqlite3_prepare_v2(db_, sql, -1, st, nullptr) != SQLITE_OK) abort();
    }
    void run2(sqlite3_stmt *st, const std::string &a, const std::string &b) {
        sqlite3_bind_blob(st, 1, a.data(), (int)a.size(), SQLITE_STATIC);
        sqlite3_bind_blob(st, 2, b.data(), (int)b.size(), SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_DONE) abort();
        sqlite3_reset(st);
    }
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *ins_ = nullptr, *upd_ = nullptr, *sel_ = nullptr, *del_ = nullptr, *scan_ = nullptr;
};

class Lmdb : public Engine {
public:
    const char *name() const override { return "LMDB"; }
    std::string file(const std::string &tag) const override { return dir + "/" + tag + ".lmdb"; }
    void create(const std::string &path) override {
        unlink(path.c_str());
        unlink((path + "-lock").c_str());
    }
    void open(const std::string &path, bool durable) override {
        ok(mdb_env_create(&env_));
        ok(mdb_env_set_mapsize(env_, (size_t)8 << 30));
        ok(mdb_env_open(env_, path.c_str(), MDB_NOSUBDIR | (durable ? 0 : MDB_NOSYNC | MDB_NOMETASYNC), 0644));
        MDB_txn *t;
        ok(mdb_txn_begin(env_, nullptr, 0, &t));
        ok(mdb_dbi_open(t, nullptr, 0, &dbi_));
        ok(mdb_txn_commit(t));
    }
    void close() override { mdb_env_close(env_); }
    void begin() override { ok(mdb_txn_begin(env_, nullptr, 0, &txn_)); }
    void commit() override {
        ok(mdb_txn_commit(txn_));
        txn_ = nullptr;
    }
    void put(const std::string &k, const std::string &v) override {
        MDB_val kv = val(k), vv = val(v);
        ok(mdb_put(txn_, dbi_, &kv, &vv, 0));
    }
    void update(const std::string &k, const std::string &v) override { put(k, v); }
    bool get(const std::string &k, std::string *v) override {
        MDB_val kv = val(k), vv;
        bool found = mdb_get(txn_, dbi_, &kv, &vv) == 0;
        if (found) v->assign((const char *)vv.mv_data, vv.mv_size);
        return found;
    }
    void del(const std::string &k) override {
        MDB_val kv = val(k);
        ok(mdb_del(txn_, dbi_, &kv, nullptr));
    }
    uint64_t scan() override {
        MDB_cursor *c;
        ok(mdb_cursor_open(txn_, dbi_, &c));
        MDB_val k, v;
        uint64_t n = 0;
        for (int r = mdb_cursor_get(c, &k, &v, MDB_FIRST); r == 0; r = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
            benchmark::DoNotOptimize(v.mv_data);
            n++;
        }
        mdb_cursor_close(c);
        return n;
    }

private:
    static MDB_val val(const std::string &s) { return MDB_val{s.size(), const_cast<char *>(s.data())}; }
    static void ok(int r) {
        if (r != 0) {
            fprintf(stderr, "lmdb: %s\n", mdb_strerror(r));
            abort();
        }
    }
    MDB_env *env_ = nullptr;
    MDB_dbi dbi_ = 0;
    MDB_txn *txn_ = nullptr;
};

enum Work { FILLSEQ, FILLRANDOM, OVERWRITE, READRANDOM, READSEQ, DELETERANDOM, NWORK };
const char *worknames[NWORK] = {"fillseq", "fillrandom", "overwrite", "readrandom", "readseq", "deleterandom"};

std::map<uint32_t, std::unique_ptr<Keys>> keysets;
const Keys &keysof(uint32_t n) {
    auto &k = keysets[n];
    if (!k) k.reset(new Keys(n));
    return *k;
}

// Adds every key of order in batches.
void fill(Engine &e, const Keys &ks, const std::vector<uint32_t> *order) {
    for (uint32_t i = 0; i < ks.n; i += BATCH) {
        e.begin();
        for (uint32_t j = i; j < ks.n && j < i + BATCH; j++) {
            uint32_t k = order ? (*order)[j] : j;
            e.put(key(k), ks.value(k));
        }
        e.commit();
    }
}

// The filled database that the other workloads copy, made once.
std::string base(Engine &e, const Keys &ks) {
    std::string path = e.file("base" + std::to_string(ks.n));
    if (access(path.c_str(), F_OK) == 0) return path;
    e.create(path);
    e.open(path, false);
    fill(e, ks, &ks.order);
    e.close();
    return path;
}

std::string copyof(Engine &e, const Keys &ks) {
    std::string from = base(e, ks), to = e.file("work");
    e.create(to);
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    return to;
}

// Median micros per operation, by (durable, size, work, engine).
std::map<std::string, std::vector<double>> results;
std::string resultkey(bool durable, uint32_t n, int w, const char *engine) {
    return std::string(durable ? "1 " : "0 ") + std::to_string(n) + " " + worknames[w] + " " + engine;
}

void runwork(benchmark::State &state, Engine *e, int w, uint32_t n, bool durable) {
    const Keys &ks = keysof(n);
    std::string path;
    if (w == FILLSEQ || w == FILLRANDOM) {
        path = e->file("work");
        e->create(path);
    } else {
        path = copyof(*e, ks);
    }
    e->open(path, durable);
    std::string v;
    uint64_t seen = 0;
    for (auto _ : state) {
        switch (w) {
        case FILLSEQ: fill(*e, ks, nullptr); break;
        case FILLRANDOM: fill(*e, ks, &ks.order); break;
        case OVERWRITE:
            for (uint32_t i = 0; i < n; i += BATCH) {
                e->begin();
                for (uint32_t j = i; j < n && j < i + BATCH; j++) e->update(key(ks.order2[j]), ks.value(j + 7));
                e->commit();
            }
            break;
        case READRANDOM:
            for (uint32_t i = 0; i < n; i += BATCH) {
                e->begin();
                for (uint32_t j = i; j < n && j < i + BATCH; j++) seen += e->get(key(ks.order2[j]), &v);
                e->commit();
            }
            break;
        case READSEQ:
            e->begin();
            seen = e->scan();
            e->commit();
            break;
        case DELETERANDOM:
            for (uint32_t i = 0; i < n; i += BATCH) {
                e->begin();
                for (uint32_t j = i; j < n && j < i + BATCH; j++) e->del(key(ks.order2[j]));
                e->commit();
            }
            break;
        }
    }
    e->close();
    if ((w == READRANDOM || w == READSEQ) && seen != n) state.SkipWithError("entries missing");
}

// Google Benchmark measures; this reporter also keeps each run's time per
// operation for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    struct Entry {
        std::string key;   // resultkey()
        double ops;
    };
    std::map<std::string, Entry> names;   // by benchmark name

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            std::string name = r.benchmark_name();
            name = name.substr(0, name.find("/iterations:"));
            auto it = names.find(name);
            if (it != names.end() && !r.error_occurred && r.iterations > 0) {
                double n = (double)r.iterations * it->second.ops;
                results[it->second.key + " real"].push_back(r.real_accumulated_time * 1e6 / n);
                results[it->second.key + " cpu"].push_back(r.cpu_accumulated_time * 1e6 / n);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<uint32_t> sizes = {100000, 1000000};
    int reps = 3, durablemode = 2;
    std::vector<char *> rest;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a.rfind("--sizes=", 0) == 0) {
            sizes.clear();
            for (size_t p = 8; p < a.size();) {
                size_t q = a.find(',', p);
                if (q == std::string::npos) q = a.size();
                sizes.push_back((uint32_t)strtoul(a.substr(p, q - p).c_str(), nullptr, 10));
                p = q + 1;
            }
        } else if (a.rfind("--reps=", 0) == 0) {
            reps = atoi(a.c_str() + 7);
        } else if (a.rfind("--durable=", 0) == 0) {
            durablemode = atoi(a.c_str() + 10);
        } else {
            rest.push_back(argv[i]);
        }
    }
    // DB_BENCH_DIR keeps the filled databases between runs (for profiling
    // one workload); by default they live in a directory removed at the end.
    const char *keep = getenv("DB_BENCH_DIR");
    const char *tmp = getenv("TMPDIR");
    dir = keep && *keep ? std::string(keep)
                        : std::string(tmp && *tmp ? tmp : "/tmp") + "/db_bench." + std::to_string(getpid());
    std::filesystem::create_directories(dir);

    static Pmdb pm;
    static Sqlite sq;
    static Lmdb lm;
    Engine *engines[] = {&pm, &sq, &lm};
    Summary reporter;
    uint32_t largest = *std::max_element(sizes.begin(), sizes.end());
    for (int rep = 0; rep < reps; rep++) {
        for (int d = 0; d < 2; d++) {
            bool durable = d == 1;
            if ((durable && durablemode == 0) || (!durable && durablemode == 1)) continue;
            for (uint32_t n : sizes) {
                if (durable && n != largest) continue;
                for (int w = 0; w < NWORK; w++) {
                    if (durable && (w == READRANDOM || w == READSEQ)) continue;
                    for (Engine *e : engines) {
                        std::string name = std::string(durable ? "durable/" : "") + worknames[w] + "/" +
                                           std::to_string(n) + "/" + e->name() + "/rep" + std::to_string(rep);
                        reporter.names[name] = Summary::Entry{resultkey(durable, n, w, e->name()), (double)n};
                        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &st) {
                            runwork(st, e, w, n, durable);
                        })->Iterations(1)->Unit(benchmark::kMillisecond);
                    }
                }
            }
        }
    }
    int rargc = (int)rest.size();
    benchmark::Initialize(&rargc, rest.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // The summary: medians in micros per operation, and pmdblib's time as a
    // multiple of each peer's (below 1: pmdblib is faster).
    for (const char *clock : {"real", "cpu"}) {
        for (int d = 0; d < 2; d++) {
            for (uint32_t n : sizes) {
                auto get = [&](int w, const char *engine) {
                    return median(results[resultkey(d, n, w, engine) + " " + clock]);
                };
                bool any = false;
                for (int w = 0; w < NWORK; w++) any |= get(w, "pmdblib") > 0;
                if (!any) continue;
                printf("\n%s, %u entries, %s micros/op (median of %d)\n\n", d ? "durable" : "no sync", n,
                       strcmp(clock, "cpu") == 0 ? "CPU" : "elapsed", reps);
                printf("| workload | pmdblib | SQLite | LMDB | pmdblib/SQLite | pmdblib/LMDB |\n");
                printf("|---|---|---|---|---|---|\n");
                for (int w = 0; w < NWORK; w++) {
                    double p = get(w, "pmdblib"), s = get(w, "SQLite"), l = get(w, "LMDB");
                    if (p == 0) continue;
                    printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", worknames[w], p, s, l, s > 0 ? p / s : 0,
                           l > 0 ? p / l : 0);
                }
            }
        }
    }
    if (!(keep && *keep)) std::filesystem::remove_all(dir);
    return 0;
}
