// record_bench.cc - the record calls on 100,000 records of 100 bytes that
// pack to about half, and the packing itself beside a plain copy of the
// same bytes.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "compress/compress.h"
#include "pmdblib.h"

namespace {

constexpr int NRECORDS = 100000;
constexpr int RECLEN = 100;

// 48 varying bytes, then 52 blanks: a name field and a blank-filled rest,
// packed to 53 bytes.
void makerecord(uint8_t *r, uint32_t k) {
    for (int j = 0; j < 48; j++) r[j] = (uint8_t)('A' + (k * 7 + (uint32_t)j * 5 + (uint32_t)(j & 1) * 13) % 26);
    for (int j = 1; j < 48; j++)
        if (r[j] == r[j - 1]) r[j] = (uint8_t)(r[j] == 'z' ? 'y' : 'z');
    memset(r + 48, ' ', RECLEN - 48);
}

std::string dir() {
    static std::string d;
    if (d.empty()) {
        const char *t = getenv("TMPDIR");
        std::string templ = std::string(t && *t ? t : "/tmp") + "/pmdbbenchXXXXXX";
        std::vector<char> b(templ.begin(), templ.end());
        b.push_back(0);
        if (mkdtemp(b.data()) == nullptr) abort();
        d = b.data();
    }
    return d;
}

std::string file(const char *name) { return dir() + "/" + name; }

void copyfile(const std::string &from, const std::string &to) {
    std::string cmd = "cp '" + from + "' '" + to + "'";
    if (system(cmd.c_str()) != 0) abort();
}

// The database of 100,000 records in file 1, made once; its rids.
std::vector<uint32_t> &built() {
    static std::vector<uint32_t> rids;
    if (rids.empty()) {
        std::string p = file("built.db");
        if (!fscreatedatabase(p.c_str(), 20)) abort();
        FS *fs = fsopen(0, p.c_str(), 0, 0);
        uint8_t r[RECLEN];
        for (uint32_t k = 0; k < NRECORDS; k++) {
            makerecord(r, k);
            uint32_t rid = fsadd(0, fs, r, RECLEN, 0x10);
            if (rid == 0) abort();
            rids.push_back(rid);
        }
        fsclose(0, fs);
    }
    return rids;
}

// The built database, copied afresh and opened.
FS *openbuilt() {
    built();
    copyfile(file("built.db"), file("work.db"));
    return fsopen(0, file("work.db").c_str(), 0, 0);
}

// Visits the rids in a scattered order that covers them all.
uint32_t scatter(uint32_t k) { return (uint32_t)(((uint64_t)k * 7919) % NRECORDS); }

void BM_fsadd(benchmark::State &state) {
    uint8_t r[RECLEN];
    for (auto _ : state) {
        state.PauseTiming();
        std::string p = file("add.db");
        if (!fscreatedatabase(p.c_str(), 20)) abort();
        FS *fs = fsopen(0, p.c_str(), 0, 0);
        state.ResumeTiming();
        for (uint32_t k = 0; k < NRECORDS; k++) {
            makerecord(r, k);
            benchmark::DoNotOptimize(fsadd(0, fs, r, RECLEN, 0x10));
        }
        fsclose(0, fs);   // the commit is part of the cost
    }
    state.SetItemsProcessed(state.iterations() * NRECORDS);
}
BENCHMARK(BM_fsadd)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_fsread(benchmark::State &state) {
    std::vector<uint32_t> &rids = built();
    FS *fs = openbuilt();
    uint8_t r[RECLEN];
    uint32_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fsread(0, fs, rids[scatter(k)], r));
        if (++k == NRECORDS) k = 0;
    }
    fsclose(0, fs);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_fsread);

void BM_fswrite(benchmark::State &state) {
    std::vector<uint32_t> &rids = built();
    FS *fs = openbuilt();
    uint8_t r[RECLEN];
    uint32_t k = 0;
    for (auto _ : state) {
        makerecord(r, k + 1);   // other contents, same packed size
        benchmark::DoNotOptimize(fswrite(0, fs, r, RECLEN, rids[scatter(k)]));
        if (++k == NRECORDS) k = 0;
    }
    fsclose(0, fs);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_fswrite);

void BM_fsdelete(benchmark::State &state) {
    std::vector<uint32_t> &rids = built();
    for (auto _ : state) {
        state.PauseTiming();
        FS *fs = openbuilt();
        state.ResumeTiming();
        for (uint32_t k = 0; k < NRECORDS; k++) benchmark::DoNotOptimize(fsdelete(0, fs, rids[scatter(k)]));
        fsclose(0, fs);
    }
    state.SetItemsProcessed(state.iterations() * NRECORDS);
}
BENCHMARK(BM_fsdelete)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_fsnext(benchmark::State &state) {
    FS *fs = openbuilt();
    uint32_t rid = 0;
    for (auto _ : state) {
        rid = rid == 0 ? fsfirst(0, fs, 0x10) : fsnext(0, fs, rid);
        benchmark::DoNotOptimize(rid);
    }
    fsclose(0, fs);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_fsnext);

// The packing of 1000 such records, against copying the same bytes.
struct RECS {
    std::vector<uint8_t> raw, packed;
    std::vector<int16_t> len;
    RECS() : raw(1000 * RECLEN), packed(1000 * (RECLEN + 1)), len(1000) {
        for (uint32_t k = 0; k < 1000; k++) {
            makerecord(&raw[k * RECLEN], k);
            len[k] = pmdb::compress(&packed[k * (RECLEN + 1)], &raw[k * RECLEN], RECLEN);
        }
    }
};

void BM_compress(benchmark::State &state) {
    RECS recs;
    std::vector<uint8_t> out(RECLEN + 1);
    for (auto _ : state) {
        for (int k = 0; k < 1000; k++) benchmark::DoNotOptimize(pmdb::compress(out.data(), &recs.raw[k * RECLEN], RECLEN));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 1000 * RECLEN);
    long stored = 0;
    for (int16_t l : recs.len) stored += l;
    state.counters["stored_per_100"] = (double)stored / 1000;
}
BENCHMARK(BM_compress);

void BM_uncompress(benchmark::State &state) {
    RECS recs;
    std::vector<uint8_t> out(RECLEN);
    for (auto _ : state) {
        for (int k = 0; k < 1000; k++)
            benchmark::DoNotOptimize(pmdb::uncompress(out.data(), RECLEN, &recs.packed[k * (RECLEN + 1)], recs.len[k]));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 1000 * RECLEN);
}
BENCHMARK(BM_uncompress);

void BM_memcpy(benchmark::State &state) {
    RECS recs;
    std::vector<uint8_t> out(RECLEN);
    for (auto _ : state) {
        for (int k = 0; k < 1000; k++) {
            memcpy(out.data(), &recs.raw[k * RECLEN], RECLEN);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(state.iterations() * 1000 * RECLEN);
}
BENCHMARK(BM_memcpy);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string cmd = "rm -rf '" + dir() + "'";
    if (system(cmd.c_str()) != 0) return 1;
    return 0;
}
