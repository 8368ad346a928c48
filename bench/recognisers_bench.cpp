// The deep scan classifies every sector of a device, so the sector recognisers set its
// speed. These loops report bytes per second over typical and hostile sectors.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "foundation/recognisers.h"

namespace {

// A directory sector as a formatter writes it: dot pair, a long-name file, short files.
std::vector<unsigned char> DirectorySector() {
    std::vector<unsigned char> s(512, 0);
    auto put = [&](size_t at, const char* name11, uint8_t attr, uint32_t size, uint16_t cluster) {
        std::memcpy(&s[at], name11, 11);
        s[at + 11] = attr;
        const uint16_t date = ((2021 - 1980) << 9) | (6 << 5) | 15;
        const uint16_t time = (12 << 11) | (30 << 5);
        for (size_t field : {0x0E, 0x16}) std::memcpy(&s[at + field], &time, 2);
        for (size_t field : {0x10, 0x12, 0x18}) std::memcpy(&s[at + field], &date, 2);
        std::memcpy(&s[at + 0x1A], &cluster, 2);
        std::memcpy(&s[at + 0x1C], &size, 4);
    };
    put(0, ".          ", 0x10, 0, 5);
    put(32, "..         ", 0x10, 0, 0);
    for (size_t i = 2; i < 12; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "FILE%04zuTXT", i % 10000);
        put(i * 32, name, 0x20, 1000 + i, static_cast<uint16_t>(10 + i));
    }
    return s;
}

std::vector<unsigned char> RandomSectors(size_t count) {
    std::vector<unsigned char> bytes(count * 512);
    std::mt19937 rng(42);
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    return bytes;
}

void BM_FdtOnDirectorySector(benchmark::State& state) {
    const std::vector<unsigned char> sector = DirectorySector();
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsFatFDTRecord(sector.data() + 64, 448));
        benchmark::DoNotOptimize(IsFatFileRecord(sector.data(), sector.size()));
    }
    state.SetBytesProcessed(state.iterations() * 512);
}
BENCHMARK(BM_FdtOnDirectorySector);

void BM_AllRecognisersOnRandomSectors(benchmark::State& state) {
    const std::vector<unsigned char> data = RandomSectors(4096);
    for (auto _ : state) {
        for (size_t at = 0; at + 1024 <= data.size(); at += 512) {
            const unsigned char* s = data.data() + at;
            benchmark::DoNotOptimize(IsFatFileRecord(s, 512));
            benchmark::DoNotOptimize(IsFatFDTRecord(s, 512));
            benchmark::DoNotOptimize(IsNtfsFileRecord(s, 1024));
        }
    }
    state.SetBytesProcessed(state.iterations() * (data.size() - 512));
}
BENCHMARK(BM_AllRecognisersOnRandomSectors);

}  // namespace
