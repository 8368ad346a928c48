// Throughput of the quick NTFS scan over master file tables of growing size, and of the
// free-space walk over the bitmap the scan leaves. Every other record of the table is a
// deleted file with a little resident data, spread over 64 deleted folders, so the scan pays
// for parsing, filing and the health test as it would on a well-used volume.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs_test_image.h"
#include "store/log_file_manager.h"

namespace {

using ferrowen::test::Bytes;
using ferrowen::test::NtfsVolumeBuilder;

constexpr uint32_t kFolders = 64;

std::string g_workFolder;

void RemoveWorkFolder() {
    std::error_code ignored;
    if (!g_workFolder.empty()) std::filesystem::remove_all(g_workFolder, ignored);
}

// Images and scan logs go to a folder of their own, removed when the process ends.
std::string WorkFolder() {
    if (g_workFolder.empty()) {
        char pattern[] = "/tmp/ferrowen-ntfs-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return "/tmp";
        g_workFolder = pattern;
        std::atexit(RemoveWorkFolder);
        ::setenv("XDG_DATA_HOME", (g_workFolder + "/data").c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    return g_workFolder;
}

// A volume whose table holds `records` records, written once per size.
std::string VolumeWithRecords(uint32_t records) {
    static std::map<uint32_t, std::string> made;
    const auto known = made.find(records);
    if (known != made.end()) return known->second;
    const uint32_t mftClusters = records / 4;  // 4 KiB clusters, 1 KiB records
    const uint32_t clusters = mftClusters + 64;
    NtfsVolumeBuilder v(clusters * 8, 8);
    v.SetMftRuns({{16, mftClusters}});
    for (uint32_t f = 0; f < kFolders; ++f) {
        v.PutRecord(16 + f, NTFS_RECORD_IS_FOLDER,
                    {v.FileName(5, u"folder " + std::u16string(1, u'A' + f % 26))});
    }
    for (uint32_t n = 16 + kFolders; n < records; n += 2) {
        v.PutRecord(n, 0,
                    {v.FileName(16 + n % kFolders, u"deleted file.txt"),
                     v.Resident(NTFS_ATTR_DATA, Bytes(200, 'x'))});
    }
    v.Finish(8);
    const std::string path = WorkFolder() + "/volume" + std::to_string(records) + ".img";
    v.Save(path);
    made[records] = path;
    return path;
}

void BM_QuickScan(benchmark::State& state) {
    const uint32_t records = static_cast<uint32_t>(state.range(0));
    const std::string path = VolumeWithRecords(records);
    const std::u16string wide(path.begin(), path.end());
    for (auto _ : state) {
        CFastNtfsRecovery engine;
        if (engine.Init(wide.c_str(), u'C') != 0 || engine.ScanDevice(nullptr) != 0) {
            state.SkipWithError("scan failed");
            break;
        }
        benchmark::DoNotOptimize(engine.GetLostFileCount());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * records);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * records * 1024);
}
BENCHMARK(BM_QuickScan)->Arg(4096)->Arg(32768)->Arg(131072)->Unit(benchmark::kMillisecond);

// 64 MiB of 512-byte clusters, in use three clusters out of every seven: 18,700 free extents.
std::string FragmentedVolume() {
    static const std::string path = [] {
        NtfsVolumeBuilder v(131072, 1);
        v.SetMftRuns({{16, 128}});
        for (uint64_t c = 200; c < 131072; c += 7) v.MarkUsed(c, 3);
        v.Finish(150);
        const std::string file = WorkFolder() + "/fragmented.img";
        v.Save(file);
        return file;
    }();
    return path;
}

void BM_FreeSpaceWalk(benchmark::State& state) {
    const std::string path = FragmentedVolume();
    const std::u16string wide(path.begin(), path.end());
    CFastNtfsRecovery engine;
    if (engine.Init(wide.c_str(), u'C') != 0 || engine.BuildBitMapInfo() != 0) {
        state.SkipWithError("no bitmap");
        return;
    }
    int64_t extents = 0;
    for (auto _ : state) {
        unsigned long long start = 0, count = 0, free = 0;
        extents = 0;
        for (;;) {
            engine.GetUnUsedSectorCount(start, count);
            if (count == 0) break;
            free += count;
            start += count;
            ++extents;
        }
        benchmark::DoNotOptimize(free);
    }
    state.counters["extents"] = static_cast<double>(extents);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(engine.GetBitMap().size() * 8));
}
BENCHMARK(BM_FreeSpaceWalk)->Unit(benchmark::kMicrosecond);

}  // namespace
