// compare_bench.cc - pmdblib beside SQLite on the same work: a store of
// 100-byte records each with a 16-byte unique key, committed once, then
// point lookups by key and a walk of every record in key order.
//
// Both run on a local file with no fsync: pmdblib never syncs, and SQLite
// is set to synchronous=OFF with its journal in memory, so the figures
// compare the engines, not the disk.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pmdblib.h"

namespace {

constexpr int N = 100000;

struct Data {
    std::vector<std::string> keys;
    std::vector<std::string> recs;
    std::vector<int> order;   // random lookup order
    Data() {
        std::mt19937 rng(7);
        char buf[32];
        for (int i = 0; i < N; i++) {
            snprintf(buf, sizeof buf, "k%015u", (unsigned)rng());
            keys.emplace_back(buf, 16);
            std::string r(100, ' ');
            snprintf(&r[0], 40, "record %d customer %u", i, (unsigned)rng() % 1000);
            r[strlen(r.c_str())] = ' ';
            recs.push_back(r);
            order.push_back(i);
        }
        std::shuffle(order.begin(), order.end(), rng);
    }
};

const Data &data() {
    static Data d;
    return d;
}

const char *PMDBFILE = "compare_bench.db";
const char *SQLFILE = "compare_bench.sqlite";

FS *pmdbload() {
    const Data &d = data();
    unlink(PMDBFILE);
    fscreatedatabase(PMDBFILE, 20);
    FS *fs = fsopen(0, PMDBFILE, 0, 0);
    fslock(0, fs, nullptr);
    for (int i = 0; i < N; i++) {
        uint32_t rid = fsadd(0, fs, d.recs[i].data(), 100, 0x10);
        fsaddkey(0, fs, 0x10, rid, 16, d.keys[i].data());
    }
    fsunlock(0, fs);
    return fs;
}

sqlite3 *sqlload() {
    const Data &d = data();
    unlink(SQLFILE);
    sqlite3 *db = nullptr;
    sqlite3_open(SQLFILE, &db);
    sqlite3_exec(db, "PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;"
                     "CREATE TABLE t(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID;",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &st, nullptr);
    for (int i = 0; i < N; i++) {
        sqlite3_bind_blob(st, 1, d.keys[i].data(), 16, SQLITE_STATIC);
        sqlite3_bind_blob(st, 2, d.recs[i].data(), 100, SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return db;
}

void BM_Load_pmdblib(benchmark::State &state) {
    for (auto _ : state) fsclose(0, pmdbload());
    state.SetItemsProcessed(state.iterations() * N);
}

void BM_Load_SQLite(benchmark::State &state) {
    for (auto _ : state) sqlite3_close(sqlload());
    state.SetItemsProcessed(state.iterations() * N);
}

void BM_Lookup_pmdblib(benchmark::State &state) {
    const Data &d = data();
    FS *fs = pmdbload();
    char key[200], rec[1100];
    size_t i = 0;
    for (auto _ : state) {
        const std::string &k = d.keys[d.order[i++ % N]];
        memcpy(key, k.data(), 16);
        uint32_t rid = fsfindkey(0, fs, 0x10, 16, key);
        benchmark::DoNotOptimize(fsread(0, fs, rid, rec));
    }
    state.SetItemsProcessed(state.iterations());
    fsclose(0, fs);
}

void BM_Lookup_SQLite(benchmark::State &state) {
    const Data &d = data();
    sqlite3 *db = sqlload();
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT v FROM t WHERE k = ?", -1, &st, nullptr);
    size_t i = 0;
    for (auto _ : state) {
        const std::string &k = d.keys[d.order[i++ % N]];
        sqlite3_bind_blob(st, 1, k.data(), 16, SQLITE_STATIC);
        if (sqlite3_step(st) == SQLITE_ROW) benchmark::DoNotOptimize(sqlite3_column_blob(st, 0));
        sqlite3_reset(st);
    }
    state.SetItemsProcessed(state.iterations());
    sqlite3_finalize(st);
    sqlite3_close(db);
}

void BM_Scan_pmdblib(benchmark::State &state) {
    FS *fs = pmdbload();
    char key[200], rec[1100];
    for (auto _ : state) {
        int n = 0;
        uint32_t rid = fsfirstkey(0, fs, 0x10, key);
        while (rid != 0) {
            benchmark::DoNotOptimize(fsread(0, fs, rid, rec));
            n++;
            rid = fsnextkey(0, fs, 0x10, rid, fs->len - 1, key);
        }
        if (n != N) state.SkipWithError("scan lost records");
    }
    state.SetItemsProcessed(state.iterations() * N);
    fsclose(0, fs);
}

void BM_Scan_SQLite(benchmark::State &state) {
    sqlite3 *db = sqlload();
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT k, v FROM t ORDER BY k", -1, &st, nullptr);
    for (auto _ : state) {
        int n = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_blob(st, 1));
            n++;
        }
        sqlite3_reset(st);
        if (n != N) state.SkipWithError("scan lost rows");
    }
    state.SetItemsProcessed(state.iterations() * N);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// Every record in each store's own order: pmdblib walks a logical file in
// rid order (its data blocks nearly in sequence), SQLite its table.
void BM_Walk_pmdblib(benchmark::State &state) {
    FS *fs = pmdbload();
    char rec[1100];
    for (auto _ : state) {
        int n = 0;
        for (uint32_t rid = fsfirst(0, fs, 0x10); rid != 0; rid = fsnext(0, fs, rid)) {
            benchmark::DoNotOptimize(fsread(0, fs, rid, rec));
            n++;
        }
        if (n != N) state.SkipWithError("walk lost records");
    }
    state.SetItemsProcessed(state.iterations() * N);
    fsclose(0, fs);
}

void BM_Walk_SQLite(benchmark::State &state) {
    sqlite3 *db = sqlload();
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT v FROM t", -1, &st, nullptr);
    for (auto _ : state) {
        int n = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_blob(st, 0));
            n++;
        }
        sqlite3_reset(st);
        if (n != N) state.SkipWithError("walk lost rows");
    }
    state.SetItemsProcessed(state.iterations() * N);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

}  // namespace

BENCHMARK(BM_Load_pmdblib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load_SQLite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lookup_pmdblib);
BENCHMARK(BM_Lookup_SQLite);
BENCHMARK(BM_Scan_pmdblib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan_SQLite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Walk_pmdblib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Walk_SQLite)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
