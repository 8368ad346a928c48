// The scan log index loader over arbitrary "config" contents: whatever it loads must have
// terminated texts, survive a rewrite unchanged, and a resume check over it may delete only
// inside the log root.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/log_file_manager.h"

namespace {

// The log root under the run's private data home, beside which lies a file that no entry may
// ever delete.
const std::string& Root() {
    static const std::string root = [] {
        const std::string& home = ferrowen::fuzz::ScanLogRoot();
        if (home.empty()) std::abort();
        FILE* guard = std::fopen((home + "/guard").c_str(), "w");
        if (guard != nullptr) std::fclose(guard);
        return CLogFileManager::GetInstance()->GetLogRootPath();
    }();
    return root;
}

bool SameEntries(const std::vector<_LOG_FILE_INFO_>& a, const std::vector<_LOG_FILE_INFO_>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    const std::string& root = Root();
    FILE* index = std::fopen((root + "config").c_str(), "wb");
    if (index == nullptr) return 0;
    std::fwrite(data, 1, size, index);
    std::fclose(index);

    CLogFileManager* manager = CLogFileManager::GetInstance();
    manager->Init();
    const std::vector<_LOG_FILE_INFO_> loaded = manager->GetLogFileInfos();
    const long long counter = manager->GetDirIndex();
    if (size >= 8 && loaded.size() != (size - 8) / sizeof(_LOG_FILE_INFO_)) std::abort();
    for (const _LOG_FILE_INFO_& e : loaded) {
        if (strnlen(e.szDevicePath, sizeof e.szDevicePath) == sizeof e.szDevicePath) std::abort();
        if (strnlen(e.szLogDirPath, sizeof e.szLogDirPath) == sizeof e.szLogDirPath) std::abort();
    }

    if (manager->SaveLogConfigFile() == 0) {
        manager->Init();
        if (!SameEntries(loaded, manager->GetLogFileInfos()) || counter != manager->GetDirIndex()) {
            std::abort();
        }
    }
    if (!loaded.empty()) {
        const _LOG_FILE_INFO_& e = loaded.front();
        manager->LoadRecoveryLogInfo("fuzz", static_cast<int>(e.nDiskNumber), e.u64StartSector,
                                     e.u64SectorCount, nullptr);
        manager->DeleteLogFileDir(e.szLogDirPath);
    }
    struct stat st;
    if (stat((root + "../../guard").c_str(), &st) != 0) std::abort();
    return 0;
}
