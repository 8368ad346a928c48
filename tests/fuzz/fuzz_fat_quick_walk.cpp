// The quick FAT engine over an arbitrary volume image held in memory: the directory walk,
// the allocation map and free-space walk, and previews of what was found.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/log_file_manager.h"
#include "fat/fast_fat_recovery.h"

namespace {

// The image is handed to the engine as a file in memory, through the disk table, exactly as
// a disk image named in FERROWEN_DISKS would be.
int MemoryImage(const uint8_t* data, size_t size) {
    const int fd = memfd_create("fat-image", MFD_CLOEXEC);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return fd;
}

void PrepareLogRoot() {
    static bool ready = false;
    if (ready) return;
    char pattern[] = "/tmp/ferrowen-fuzz-XXXXXX";
    if (mkdtemp(pattern) != nullptr) ::setenv("XDG_DATA_HOME", pattern, 1);
    CLogFileManager::GetInstance()->Init();
    ready = true;
}

void ExerciseEngine(CFastFatRecovery& engine) {
    engine.ScanDevice(nullptr);
    engine.BuildBitMapInfo();
    unsigned long long start = 0, count = 1;
    for (int runs = 0; runs < 4096; ++runs) {
        engine.GetUnUsedSectorCount(start, count);
        if (count == 0) break;
        start += count;
    }
    std::vector<_FILE_NODE_> roots;
    engine.GetChildrenFileNode(nullptr, 0, roots);
    std::vector<unsigned char> preview(4096);
    for (size_t i = 0; i < roots.size() && i < 8; ++i) {
        int len = static_cast<int>(preview.size());
        char16_t tmp[512];
        engine.PreView(&roots[i], tmp, 512, preview.data(), len, nullptr, nullptr);
        unsigned int files = 0;
        engine.GetChildrenFileCount(&roots[i], 1, files);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4096 || size > (1 << 20)) return 0;
    PrepareLogRoot();
    const int fd = MemoryImage(data, size);
    if (fd < 0) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    ::setenv("FERROWEN_DISKS", path.c_str(), 1);
    {
        CFastFatRecovery engine;
        if (engine.Init(0, 0, static_cast<long long>(size / 512), u'C') == 0) {
            ExerciseEngine(engine);
        }
    }
    char folder[4096];
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    close(fd);
    return 0;
}
