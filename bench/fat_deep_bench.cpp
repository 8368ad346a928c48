// Time and peak memory of the deep FAT parser over a volume with 100,000 directory sectors
// (12,500 folders of eight sectors, two long-named files per sector: 200,000 files), fed the
// way the deep-scan coordinator feeds it and then rebuilt.
//
// Peak memory is the process's peak resident set, so run one benchmark per process:
//   fat_deep_bench --benchmark_filter=GeometryFromFolders
//   fat_deep_bench --benchmark_filter=NoGeometryUntilTheEnd
// GeometryFromFolders: the first two folders fix the geometry and everything after is
// recorded as it comes. NoGeometryUntilTheEnd: no folder opens with its "." entry until the
// last two, so every sector has to wait for the end of the pass.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fat/fat_entry.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/recognisers.h"
#include "store/log_file_manager.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kSpc = 8;
constexpr uint64_t kBase = 2048;  // sector of cluster 2
constexpr uint32_t kFolders = 12500;
constexpr uint64_t kDirectorySectors = uint64_t{kFolders} * kSpc;

using Entry = std::array<unsigned char, 32>;

Entry ShortEntry(const char* name11, uint8_t attr, uint32_t cluster, uint32_t size) {
    Entry e{};
    std::memcpy(e.data(), name11, 11);
    e[0x0B] = attr;
    const uint16_t date = ((2021 - 1980) << 9) | (6 << 5) | 15;
    const uint16_t time = 12 << 11;
    for (size_t at : {0x0E, 0x16}) std::memcpy(&e[at], &time, 2);
    for (size_t at : {0x10, 0x12, 0x18}) std::memcpy(&e[at], &date, 2);
    const uint16_t high = static_cast<uint16_t>(cluster >> 16),
                   low = static_cast<uint16_t>(cluster);
    std::memcpy(&e[0x14], &high, 2);
    std::memcpy(&e[0x1A], &low, 2);
    std::memcpy(&e[0x1C], &size, 4);
    return e;
}

// "Report <folder>-<n>.dat": two pieces of long name, then the 8.3 entry.
void PutNamedFile(unsigned char* p, uint32_t folder, uint32_t n, uint32_t cluster) {
    char name11[12], text[40];
    std::snprintf(name11, sizeof name11, "R%06u%cDAT", folder % 1000000, 'A' + n % 26);
    std::snprintf(text, sizeof text, "Report %u-%u.dat", folder, n);
    const uint8_t checksum = GetShortNameCheckSum(reinterpret_cast<unsigned char*>(name11));
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const size_t length = std::strlen(text);
    for (int piece = 2; piece >= 1; --piece) {
        Entry e{};
        e[0] = static_cast<unsigned char>(piece | (piece == 2 ? 0x40 : 0));
        e[0x0B] = FAT_ATTR_LONG_NAME;
        e[0x0D] = checksum;
        for (int i = 0; i < 13; ++i) {
            const size_t at = static_cast<size_t>((piece - 1) * 13 + i);
            const uint16_t unit = at < length    ? static_cast<uint16_t>(text[at])
                                  : at == length ? 0
                                                 : 0xFFFF;
            std::memcpy(&e[kOffsets[i]], &unit, 2);
        }
        std::memcpy(p, e.data(), 32);
        p += 32;
    }
    const Entry s = ShortEntry(name11, FAT_ATTR_ARCHIVE, cluster, 100);
    std::memcpy(p, s.data(), 32);
}

std::string WriteVolume(const std::string& folder, bool dotPairs) {
    const std::string path = folder + "/deep.img";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<unsigned char> cluster(kSpc * kSector);
    for (uint32_t f = 0; f < kFolders; ++f) {
        std::fill(cluster.begin(), cluster.end(), 0);
        const uint32_t self = 3 + f;
        const bool opens = dotPairs || f + 2 >= kFolders;
        for (uint32_t s = 0; s < kSpc; ++s) {
            unsigned char* p = cluster.data() + s * kSector;
            if (s == 0 && opens) {
                const Entry dot = ShortEntry(".          ", FAT_ATTR_DIRECTORY, self, 0);
                const Entry dotdot = ShortEntry("..         ", FAT_ATTR_DIRECTORY, 0, 0);
                std::memcpy(p, dot.data(), 32);
                std::memcpy(p + 32, dotdot.data(), 32);
                p += 64;
            }
            PutNamedFile(p, f, 2 * s, self);
            PutNamedFile(p + 96, f, 2 * s + 1, self);
        }
        const off_t at = static_cast<off_t>((kBase + uint64_t{self - 2} * kSpc) * kSector);
        if (pwrite(fd, cluster.data(), cluster.size(), at) !=
            static_cast<ssize_t>(cluster.size())) {
            std::perror("pwrite");
        }
    }
    close(fd);
    return path;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void RunDeepScan(benchmark::State& state, bool dotPairs) {
    char pattern[] = "/tmp/ferrowen-deep-bench-XXXXXX";
    const std::string folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    CLogFileManager::GetInstance()->Init();
    const std::string image = WriteVolume(folder, dotPairs);
    ::setenv("FERROWEN_DISKS", image.c_str(), 1);
    const long before = PeakRssKiB();
    unsigned int records = 0;
    uint64_t fed = 0;
    for (auto _ : state) {
        CProfessionalFatRecovery engine;
        const uint64_t sectors = kBase + uint64_t{kFolders + 1} * kSpc;
        engine.Init(0, 0, static_cast<long long>(sectors), u'C');
        engine.ClearProfessionalVec(nullptr);
        engine.InitVirtualDbrInfo();
        const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
        std::vector<unsigned char> chunk(65536);
        for (uint64_t at = 0; at < sectors; at += chunk.size() / kSector) {
            const ssize_t got =
                pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(at * kSector));
            for (ssize_t i = 0; i + static_cast<ssize_t>(kSector) <= got; i += kSector) {
                const unsigned char* p = chunk.data() + i;
                const uint64_t sector = at + static_cast<uint64_t>(i) / kSector;
                if (IsFatFileRecord(p, kSector)) {
                    engine.ParseFatFileRecord(p, sector);
                    ++fed;
                } else if (IsFatFDTRecord(p, kSector)) {
                    engine.ParseFDTFileRecord(p, sector);
                    ++fed;
                }
            }
        }
        close(fd);
        state.counters["waiting_sectors"] = static_cast<double>(engine.GetUnDealSectorCount());
        engine.DealProfessionalRecordVec();
        records = engine.GetLostFileCount();
    }
    state.counters["directory_sectors_fed"] = static_cast<double>(fed);
    state.counters["records"] = records;
    state.counters["peak_rss_MiB"] = static_cast<double>(PeakRssKiB()) / 1024.0;
    state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024.0;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void GeometryFromFolders(benchmark::State& state) {
    RunDeepScan(state, true);
}
void NoGeometryUntilTheEnd(benchmark::State& state) {
    RunDeepScan(state, false);
}

}  // namespace

static_assert(kDirectorySectors == 100000);
BENCHMARK(GeometryFromFolders)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(NoGeometryUntilTheEnd)->Iterations(1)->Unit(benchmark::kMillisecond);
