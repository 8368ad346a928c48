// The scan result store at scale: a million records written, flushed, browsed and searched by
// the photo key. Reports records per second, the process's peak resident memory (getrusage)
// and how much the resident memory grew per record while the records were written, which is
// what the relation map and folder list cost once the write buffer is in place.
//
// Runs in a private data home under /tmp, removed at the end.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

namespace {

constexpr uint32_t kRecords = 1000000;
constexpr uint32_t kFilesPerFolder = 1000;
constexpr uint32_t kRootCluster = 2;
// A mix of kinds; two of the eight are pictures.
const char* const kNames[] = {"IMG_%u.jpg",   "scan_%u.png", "report_%u.doc", "track_%u.mp3",
                              "notes_%u.txt", "README_%u",   "data_%u.xyz",   "clip_%u.mov"};

double PeakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

double CurrentRssBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

struct DataHome {
    DataHome() {
        char base[] = "/tmp/ferrowen_bench_XXXXXX";
        if (mkdtemp(base) == nullptr) std::abort();
        path = base;
        setenv("XDG_DATA_HOME", base, 1);
        CLogFileManager::GetInstance()->Init();
        CLogFileManager::GetInstance()->AddDirIndex();
    }
    ~DataHome() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

DataHome& Home() {
    static DataHome home;
    return home;
}

// Writes kRecords records: folders of kFilesPerFolder files under the root, or, with
// oneFolder, every file directly under the root.
void FillStore(CScanResultFileManager& store, bool oneFolder) {
    uint32_t folder = kRootCluster;
    uint32_t level = 0;
    for (uint32_t i = 0; i < kRecords; ++i) {
        _FILE_NODE_* node = store.CreateFileNode(sizeof(_FILE_NODE_));
        node->uFileIndex = store.GetFileIndex();
        node->bDataHealth = 1;
        node->u64FileSize = 4096 + i;
        if (!oneFolder && i % (kFilesPerFolder + 1) == 0) {
            folder = 100 + i;
            level = 1;
            node->bIsDir = 1;
            node->uClusterNO = folder;
            std::snprintf(node->szFileName, sizeof node->szFileName, "Folder_%u", i);
            store.AddChildren(kRootCluster, 0, node->uFileIndex, folder, node->szFileName);
            continue;
        }
        std::snprintf(node->szFileName, sizeof node->szFileName, kNames[i % 8], i);
        store.AddChildren(oneFolder ? kRootCluster : folder, oneFolder ? 0 : level,
                          node->uFileIndex, 0, nullptr);
    }
    store.FlushBufToFile();
}

void CreateAndFlush(benchmark::State& state, bool oneFolder, const char16_t* name) {
    Home();
    double grownBytes = 0;
    size_t folders = 0;
    for (auto _ : state) {
        const double before = CurrentRssBytes();
        CScanResultFileManager store;
        store.Init(name);
        FillStore(store, oneFolder);
        grownBytes = CurrentRssBytes() - before;
        folders = store.GetDirFileInfos().size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["rss_growth_B_per_record"] = grownBytes / kRecords;
    state.counters["folders"] = static_cast<double>(folders);
    state.counters["peak_rss_MiB"] = PeakRssMiB();
}

void BM_StoreCreateInFolders(benchmark::State& state) {
    CreateAndFlush(state, false, u"Bench_Folders");
}
BENCHMARK(BM_StoreCreateInFolders)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_StoreCreateOneFolder(benchmark::State& state) {
    CreateAndFlush(state, true, u"Bench_OneFolder");
}
BENCHMARK(BM_StoreCreateOneFolder)->Iterations(1)->Unit(benchmark::kMillisecond);

// Search of the store written above by the photo key; the matches are the caller's list
// (344 bytes each), the reading itself uses one 68,800-byte chunk.
void BM_StoreSearchPhotos(benchmark::State& state) {
    Home();
    CScanResultFileManager store;
    store.Init(u"Bench_Folders");
    size_t matches = 0;
    double grownBytes = 0;
    for (auto _ : state) {
        const double before = CurrentRssBytes();
        std::vector<__SEARCH_FILE_INFO__> found;
        store.SearchFileNodeInfo(szPhotoTypeList, found);
        grownBytes = CurrentRssBytes() - before;
        matches = found.size();
    }
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["matches"] = static_cast<double>(matches);
    state.counters["rss_growth_B_per_match"] = matches ? grownBytes / matches : 0;
    state.counters["peak_rss_MiB"] = PeakRssMiB();
}
BENCHMARK(BM_StoreSearchPhotos)->Iterations(3)->Unit(benchmark::kMillisecond);

// Browsing a folder of a thousand files and counting the whole tree.
void BM_StoreBrowse(benchmark::State& state) {
    Home();
    CScanResultFileManager store;
    store.Init(u"Bench_Folders");
    unsigned int count = 0;
    for (auto _ : state) {
        std::vector<_FILE_NODE_> children;
        store.GetChildrenFileNode(MakeRelationKey(1, 100 + (kFilesPerFolder + 1) * 500), children);
        store.GetChildrenFileCount(0, count);
        benchmark::DoNotOptimize(children.data());
    }
    state.counters["files_below_root"] = count;
}
BENCHMARK(BM_StoreBrowse)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
