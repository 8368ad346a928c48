// The deep scan types every free sector against the signature table, so the table walk sets
// how fast carving can follow a fast disk. These loops report bytes per second of the walk
// over zero sectors, random sectors and the sectors of real files (the carving corpus).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/sector_reader.h"

namespace {

constexpr size_t kSector = 512;
constexpr size_t kSectors = 8192;  // 4 MiB per pass

std::vector<unsigned char> RandomSectors() {
    std::vector<unsigned char> bytes(kSectors * kSector);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t v = rng();
        std::memcpy(&bytes[i], &v, 8);
    }
    return bytes;
}

std::vector<unsigned char> CorpusSectors() {
    // The corpus sits beside this source in the tree the benchmark was built from.
    std::string source = __FILE__;
    source.erase(source.find_last_of('/') + 1);
    const std::string cmd = "gzip -dc '" + source + "../tests/fixtures/carving/carving.img.gz'";
    std::vector<unsigned char> image;
    if (FILE* pipe = popen(cmd.c_str(), "r")) {
        unsigned char chunk[65536];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
            image.insert(image.end(), chunk, chunk + got);
        }
        pclose(pipe);
    }
    image.resize(image.size() / kSector * kSector);
    return image;
}

void WalkSectors(benchmark::State& state, const std::vector<unsigned char>& data) {
    // A reader over the same bytes, as in a scan, for the few recognisers that read onwards.
    CMemorySectorReader reader(data.data(), data.size());
    const size_t sectors = data.size() / kSector;
    carving::CarveScan scan;
    for (auto _ : state) {
        uint32_t found = 0;
        for (size_t s = 0; s < sectors; ++s) {
            scan.SetReadContext(&reader, kSector, s);
            found += CFileTypeJudge::GetDataBufType(scan, data.data() + s * kSector, kSector) !=
                     EXT_TYPE_NONE;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sectors * kSector));
}

void BM_CarvingWalkZeroSectors(benchmark::State& state) {
    WalkSectors(state, std::vector<unsigned char>(kSectors * kSector, 0));
}
BENCHMARK(BM_CarvingWalkZeroSectors);

void BM_CarvingWalkRandomSectors(benchmark::State& state) {
    static const std::vector<unsigned char> data = RandomSectors();
    WalkSectors(state, data);
}
BENCHMARK(BM_CarvingWalkRandomSectors);

void BM_CarvingWalkRealFileSectors(benchmark::State& state) {
    static const std::vector<unsigned char> data = CorpusSectors();
    if (data.empty()) {
        state.SkipWithError("carving corpus not found");
        return;
    }
    WalkSectors(state, data);
}
BENCHMARK(BM_CarvingWalkRealFileSectors);

// The plain row-by-row walk, for comparison with the dispatched one.
void BM_CarvingFullWalkRandomSectors(benchmark::State& state) {
    static const std::vector<unsigned char> data = RandomSectors();
    const size_t sectors = data.size() / kSector;
    carving::CarveScan scan;
    for (auto _ : state) {
        uint32_t found = 0;
        for (size_t s = 0; s < sectors; ++s) {
            found += CFileTypeJudge::GetDataBufTypeByFullWalk(scan, data.data() + s * kSector,
                                                              kSector) != EXT_TYPE_NONE;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sectors * kSector));
}
BENCHMARK(BM_CarvingFullWalkRandomSectors);

// A file-system test of every sector, as the end detectors run while measuring a file.
void BM_FileSystemSectorRandom(benchmark::State& state) {
    static const std::vector<unsigned char> data = RandomSectors();
    const size_t sectors = data.size() / kSector;
    for (auto _ : state) {
        uint32_t found = 0;
        for (size_t s = 0; s < sectors; ++s) {
            found += CFileTypeJudge::IsFileSystemSector(data.data() + s * kSector, kSector);
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sectors * kSector));
}
BENCHMARK(BM_FileSystemSectorRandom);

}  // namespace
