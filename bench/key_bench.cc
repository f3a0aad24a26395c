// key_bench.cc - the key index over 100,000 16-byte char keys: insertion
// in random and in ascending order, exact lookups, a full forward walk,
// and deletion of every key in random order. Each run uses a fresh
// temporary database (subkey 0 of file 1: char keys, no duplicates).
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pmdblib.h"

namespace {

constexpr int N = 100000;
constexpr uint8_t FID = 0x10;

struct Keys {
    std::vector<std::string> sorted;   // ascending
    std::vector<int> shuffled;         // a random order of their indexes
    Keys() {
        char buf[32];
        for (int i = 0; i < N; i++) {
            snprintf(buf, sizeof buf, "key%013d", i * 7);
            sorted.emplace_back(buf, 16);
            shuffled.push_back(i);
        }
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
    }
};

const Keys &keys() {
    static Keys k;
    return k;
}

uint32_t ridof(int i) { return 0x10000000u + (uint32_t)i + 1; }

FS *build(bool random) {
    FS *fs = fsopentemp(0);
    const Keys &k = keys();
    for (int j = 0; j < N; j++) {
        int i = random ? k.shuffled[j] : j;
        fsaddkey(0, fs, FID, ridof(i), 16, k.sorted[i].data());
    }
    return fs;
}

void add(benchmark::State &state, bool random) {
    for (auto _ : state) {
        FS *fs = build(random);
        state.PauseTiming();
        fsclosetemp(0, fs);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * N);
}

void BM_AddRandom(benchmark::State &state) { add(state, true); }
void BM_AddAscending(benchmark::State &state) { add(state, false); }

void BM_FindKey(benchmark::State &state) {
    FS *fs = build(true);
    const Keys &k = keys();
    char buf[200];
    int j = 0;
    for (auto _ : state) {
        int i = k.shuffled[j];
        memcpy(buf, k.sorted[i].data(), 16);
        benchmark::DoNotOptimize(fsfindkey(0, fs, FID, 16, buf));
        if (++j == N) j = 0;
    }
    state.SetItemsProcessed(state.iterations());
    fsclosetemp(0, fs);
}

void BM_NextKeyWalk(benchmark::State &state) {
    FS *fs = build(true);
    char buf[200];
    for (auto _ : state) {
        int n = 0;
        uint32_t rid = fsfirstkey(0, fs, FID, buf);
        while (rid != 0) {
            n++;
            rid = fsnextkey(0, fs, FID, rid, 16, buf);
        }
        if (n != N) state.SkipWithError("walk lost keys");
    }
    state.SetItemsProcessed(state.iterations() * N);
    fsclosetemp(0, fs);
}

void BM_DeleteRandom(benchmark::State &state) {
    const Keys &k = keys();
    for (auto _ : state) {
        state.PauseTiming();
        FS *fs = build(true);
        state.ResumeTiming();
        for (int j = 0; j < N; j++) {
            int i = k.shuffled[(j * 7919) % N];
            fsdeletekey(0, fs, FID, ridof(i), 16, k.sorted[i].data());
        }
        state.PauseTiming();
        fsclosetemp(0, fs);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * N);
}

}  // namespace

BENCHMARK(BM_AddRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddAscending)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindKey);
BENCHMARK(BM_NextKeyWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteRandom)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
