// Shared pieces of the damaged-media tests: damaging an image the way failing media are
// damaged, running the deep scan and a recovery of everything it finds, and comparing what
// came back with a fixture's manifest by content.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/file_recovery_factory.h"
#include "engine/recovery_job.h"
#include "faulty_io.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace ferrowen::test::damage {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Overwrites length bytes at offset with bytes drawn from seed (the same seed, the same damage).
inline void Scribble(const std::string& image, uint64_t offset, uint64_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << image;
}

// Where a FAT volume keeps its structures, read from its boot sector (byte offsets).
struct FatLayout {
    uint64_t fatStart, rootStart, rootBytes;
};
inline FatLayout ReadFatLayout(const std::string& image) {
    const std::string head = ReadAll(image).substr(0, 512);
    const auto* b = reinterpret_cast<const unsigned char*>(head.data());
    const uint64_t bytesPerSector = LoadU16(b + 11);
    const uint64_t fatSectors = LoadU16(b + 22) != 0 ? LoadU16(b + 22) : LoadU32(b + 36);
    const uint64_t fatStart = LoadU16(b + 14) * bytesPerSector;
    const uint64_t rootStart = fatStart + b[16] * fatSectors * bytesPerSector;
    return {fatStart, rootStart, LoadU16(b + 17) * 32ull};
}

// The byte offset of a NTFS volume's $MFT, or of its mirror.
inline uint64_t NtfsTableOffset(const std::string& image, bool mirror = false) {
    const std::string head = ReadAll(image).substr(0, 512);
    const auto* b = reinterpret_cast<const unsigned char*>(head.data());
    return LoadU64(b + (mirror ? 0x38 : 0x30)) * LoadU16(b + 11) * b[13];
}

// Content hashes of a manifest's deleted files that still have content; without those lying
// directly in the root folder when rootToo is false.
inline std::set<std::string> DeletedHashes(const std::string& manifest, bool rootToo = true) {
    std::set<std::string> hashes;
    for (const auto& e : LoadManifest(manifest))
        if (!e.isDir && e.deleted && !e.sha256.empty() && e.size != 0 &&
            (rootToo || e.path.find('/') != std::string::npos))
            hashes.insert(e.sha256);
    return hashes;
}

inline std::set<std::string> HashesBelow(const std::string& folder) {
    std::set<std::string> hashes;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored))
        if (entry.is_regular_file()) hashes.insert(Sha256OfFile(entry.path().string()));
    return hashes;
}

// The same for the files directly in folder.
inline std::set<std::string> HashesIn(const std::string& folder) {
    std::set<std::string> hashes;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
        if (entry.is_regular_file()) hashes.insert(Sha256OfFile(entry.path().string()));
    return hashes;
}

inline size_t CountIn(const std::set<std::string>& wanted, const std::set<std::string>& got) {
    size_t n = 0;
    for (const std::string& h : wanted) n += got.count(h);
    return n;
}

// Recovers the records into destination as the front ends do.
inline RECOVERY_SUMMARY Recover(IFileRecoveryParse& engine, const std::vector<_FILE_NODE_>& files,
                                const std::string& destination) {
    CRecoveryJob job(&engine, nullptr, nullptr);
    job.Attach();
    EXPECT_EQ(job.Run(files, Utf8ToWide(destination.c_str())), 0);
    return job.Summary();
}

// The deep scan of disk 0 (FERROWEN_DISKS: the image) taken whole as the volume.
inline std::unique_ptr<IFileRecoveryParse> DeepEngine(const std::string& image) {
    ::setenv("FERROWEN_DISKS", image.c_str(), 1);
    std::unique_ptr<IFileRecoveryParse> engine(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            0, 0, std::filesystem::file_size(image) / 512, u'C', RECOVERY_TYPE_PROFESSIONAL));
    if (engine) engine->SetNotLoadLogFile();
    return engine;
}

// One deep scan, then a recovery of every record its search lists into destination.
struct Outcome {
    int scanResult = RESULT_NO_ENGINE;
    size_t listed = 0;
    RECOVERY_SUMMARY summary;
    std::set<std::string> recovered;  // content hashes of the files written
};
inline Outcome ScanAndRecover(const std::string& image, const std::string& destination) {
    Outcome outcome;
    std::unique_ptr<IFileRecoveryParse> engine = DeepEngine(image);
    if (!engine) return outcome;
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    outcome.scanResult = engine->ScanDevice(nullptr);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
    outcome.listed = found.size();
    outcome.summary = Recover(*engine, {found.begin(), found.end()}, destination);
    outcome.recovered = HashesBelow(destination);
    return outcome;
}

// Where each file under folder lies in the image, by content hash: the byte offset of its first
// bytes, its size, and whether all of it follows there. Files whose first bytes are not found as
// they are (NTFS files kept inside their record) are left out. The search starts at byte `from`
// (the volume's start: a disk may hold the same file in two volumes).
struct Extent {
    uint64_t offset, size;
    bool contiguous;
};
inline std::map<std::string, Extent> LocateFiles(const std::string& image,
                                                 const std::string& folder, uint64_t from = 0) {
    const std::string bytes = ReadAll(image);
    std::map<std::string, Extent> extents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.file_size() == 0) continue;
        const std::string content = ReadAll(entry.path().string());
        const size_t at = bytes.find(content.substr(0, 4096), from);
        if (at == std::string::npos) continue;
        const bool contiguous = bytes.compare(at, content.size(), content) == 0;
        extents[Sha256OfFile(entry.path().string())] = {at, content.size(), contiguous};
    }
    return extents;
}

// Up to `most` file records of the browse tree, depth first.
inline void BrowseFiles(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned int level,
                        size_t most, std::vector<_FILE_NODE_>& files) {
    std::vector<_FILE_NODE_> children;
    if (level > 64 || engine.GetChildrenFileNode(parent, level, children) != 0) return;
    for (_FILE_NODE_& child : children) {
        if (files.size() >= most) return;
        if (child.bIsDir) {
            BrowseFiles(engine, &child, level + 1, most, files);
        } else {
            files.push_back(child);
        }
    }
}

// A test working in a folder of its own (its debug log goes to "Log.txt" there), with a
// scan-log root of its own, disk 0 unset and no fault left over from another test.
class DamageTest : public ::testing::Test {
protected:
    void SetUp() override {
        faulty_io::Reset();
        std::filesystem::current_path(dir_.path());
        SetDebugLogPath(dir_.path() + "/Log.txt");
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    void TearDown() override {
        faulty_io::Reset();
        SetDebugLogPath("");
        std::filesystem::current_path(previous_);
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
    std::string Image(const std::string& fixture) const { return UnpackFixture(fixture, dir_); }
    std::string Out(const std::string& name) const { return dir_.path() + "/" + name; }

    TempDir dir_;
    std::filesystem::path previous_ = std::filesystem::current_path();
};

}  // namespace ferrowen::test::damage
