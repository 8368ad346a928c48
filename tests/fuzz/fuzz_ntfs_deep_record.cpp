// The deep NTFS engine over an arbitrary image held in memory, driven as the deep-scan
// coordinator drives it: every sector that could start a FILE record is handed to the record
// parse, then the folder pass runs, and what was found is browsed, looked up, previewed and
// recovered. Nothing may fault and no read may leave the buffers it was given.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/log_file_manager.h"
#include "foundation/recognisers.h"
#include "foundation/text.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace {

constexpr size_t kRecord = CProfessionalNtfsRecovery::kBytesPerRecord;

// The image is handed to the engine as a file in memory, through the disk table, exactly as
// a disk image named in FERROWEN_DISKS would be.
int MemoryImage(const uint8_t* data, size_t size) {
    const int fd = memfd_create("ntfs-image", MFD_CLOEXEC);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return fd;
}

std::string PrepareLogRoot() {
    static std::string root;
    if (root.empty()) {
        char pattern[] = "/tmp/ferrowen-fuzz-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            root = pattern;
            ::setenv("XDG_DATA_HOME", pattern, 1);
        }
        CLogFileManager::GetInstance()->Init();
    }
    return root;
}

void Feed(CProfessionalNtfsRecovery& engine, const uint8_t* data, size_t size) {
    for (size_t offset = 0; offset + kRecord <= size; offset += 512) {
        const unsigned char* p = data + offset;
        // What the coordinator hands over, and also what merely starts like a record, so that
        // records the recogniser refuses still reach the parse's own checks.
        if (IsNtfsFileRecord(p, static_cast<int>(kRecord)) || std::memcmp(p, "FILE", 4) == 0) {
            engine.ParseNtfsFileRecord(p, static_cast<int>(kRecord), offset / 512);
        }
    }
}

void Exercise(CProfessionalNtfsRecovery& engine, const std::string& outDir) {
    std::vector<_FILE_NODE_> level;
    engine.GetChildrenFileNode(nullptr, 0, level);
    std::vector<unsigned char> preview(4096);
    char16_t tmp[512];
    for (unsigned int depth = 1; depth < 4 && !level.empty(); ++depth) {
        std::vector<_FILE_NODE_> next;
        for (size_t i = 0; i < level.size() && i < 16; ++i) {
            _FILE_NODE_& node = level[i];
            int length = static_cast<int>(preview.size());
            engine.PreView(&node, tmp, 512, preview.data(), length, nullptr, nullptr);
            std::vector<__RUNLIST__> runs;
            engine.GetRunListInfo(node.u64RecordSector, 0x80, runs);
            unsigned int files = 0;
            engine.GetChildrenFileCount(&node, depth, files);
            const std::string target =
                outDir + "/" + std::to_string(depth) + "_" + std::to_string(i);
            engine.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0);
            if (node.bIsDir) engine.GetChildrenFileNode(&node, depth, next);
        }
        level.swap(next);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kRecord || size > (1 << 20)) return 0;
    const std::string root = PrepareLogRoot();
    const int fd = MemoryImage(data, size);
    if (fd < 0 || root.empty()) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    ::setenv("FERROWEN_DISKS", path.c_str(), 1);
    const std::string outDir = root + "/out";
    std::filesystem::create_directories(outDir);
    {
        CProfessionalNtfsRecovery engine;
        if (engine.Init(0, 0, static_cast<long long>(size / 512), u'C') == 0 &&
            engine.InitProfessionalScan(nullptr) == 0) {
            Feed(engine, data, size);
            engine.ParseProfessionalRecordVec();
            Exercise(engine, outDir);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(outDir, ignored);
    char folder[4096];
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) == 0) {
        std::filesystem::remove_all(folder, ignored);
    }
    close(fd);
    return 0;
}
