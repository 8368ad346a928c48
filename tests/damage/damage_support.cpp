#include "damage_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "engine/file_recovery_factory.h"
#include "engine/professional_recovery.h"
#include "faulty_io.h"
#include "foundation/bytes.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"

namespace ferrowen::test::damage {

void Scribble(const std::string& image, uint64_t offset, uint64_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<char> bytes(length);
    for (char& b : bytes) b = static_cast<char>(random());
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(file.good()) << image;
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good());
}

void Truncate(const std::string& image, uint64_t bytes) {
    std::filesystem::resize_file(image, bytes);
}

namespace {
std::vector<unsigned char> Head(const std::string& image, size_t n) {
    std::ifstream in(image, std::ios::binary);
    std::vector<unsigned char> head(n);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(n));
    return head;
}
}  // namespace

FatLayout ReadFatLayout(const std::string& image) {
    const std::vector<unsigned char> boot = Head(image, 512);
    const uint64_t bytesPerSector = LoadU16(&boot[11]);
    const uint64_t sectorsPerCluster = boot[13];
    const uint64_t reserved = LoadU16(&boot[14]);
    const uint64_t fats = boot[16];
    const uint64_t rootEntries = LoadU16(&boot[17]);
    const uint64_t fatSectors = LoadU16(&boot[22]) != 0 ? LoadU16(&boot[22]) : LoadU32(&boot[36]);
    FatLayout layout{};
    layout.fatStart = reserved * bytesPerSector;
    layout.fatBytes = fatSectors * bytesPerSector;
    layout.fatCount = fats;
    layout.rootStart = layout.fatStart + fats * layout.fatBytes;
    layout.rootBytes = rootEntries * 32;
    layout.dataStart = layout.rootStart + layout.rootBytes;
    layout.clusterBytes = sectorsPerCluster * bytesPerSector;
    return layout;
}

uint64_t NtfsMftOffset(const std::string& image) {
    const std::vector<unsigned char> boot = Head(image, 512);
    return LoadU64(&boot[0x30]) * LoadU16(&boot[11]) * boot[13];
}

uint64_t NtfsMirrorOffset(const std::string& image) {
    const std::vector<unsigned char> boot = Head(image, 512);
    return LoadU64(&boot[0x38]) * LoadU16(&boot[11]) * boot[13];
}

std::set<std::string> DeletedHashesBelow(const std::string& manifest, const std::string& folder) {
    std::set<std::string> hashes;
    for (const auto& entry : LoadManifest(manifest)) {
        if (entry.isDir || !entry.deleted || entry.sha256.empty() || entry.size == 0) continue;
        const size_t slash = entry.path.rfind('/');
        const std::string parent = slash == std::string::npos ? "" : entry.path.substr(0, slash);
        const bool below = folder.empty() ? parent.empty() : entry.path.rfind(folder + "/", 0) == 0;
        if (below) hashes.insert(entry.sha256);
    }
    return hashes;
}

std::set<std::string> DeletedHashes(const std::string& manifest) {
    std::set<std::string> hashes;
    for (const auto& entry : LoadManifest(manifest)) {
        if (entry.isDir || !entry.deleted || entry.sha256.empty() || entry.size == 0) continue;
        hashes.insert(entry.sha256);
    }
    return hashes;
}

std::set<std::string> HashesBelow(const std::string& folder) {
    std::set<std::string> hashes;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored)) {
        if (entry.is_regular_file()) hashes.insert(Sha256OfFile(entry.path().string()));
    }
    return hashes;
}

size_t CountIn(const std::set<std::string>& wanted, const std::set<std::string>& got) {
    size_t n = 0;
    for (const std::string& h : wanted) n += got.count(h);
    return n;
}

std::unique_ptr<IFileRecoveryParse> DeepEngine(const std::string& image) {
    ::setenv("FERROWEN_DISKS", image.c_str(), 1);
    const long long sectors = static_cast<long long>(std::filesystem::file_size(image) / 512);
    std::unique_ptr<IFileRecoveryParse> engine(
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            0, 0, sectors, u'C', RECOVERY_TYPE_PROFESSIONAL));
    if (engine) static_cast<CProfessionalRecovery&>(*engine).SetNotLoadLogFile();
    return engine;
}

Outcome ScanAndRecover(const std::string& image, const std::string& destination) {
    Outcome outcome;
    std::unique_ptr<IFileRecoveryParse> engine = DeepEngine(image);
    outcome.engineMade = engine != nullptr;
    if (!engine) return outcome;
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    outcome.scanResult = engine->ScanDevice(nullptr);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
    outcome.listed = found.size();
    CRecoveryJob job(engine.get(), nullptr, nullptr);
    job.Attach();
    outcome.recoveryResult = job.Run(std::vector<_FILE_NODE_>(found.begin(), found.end()),
                                     Utf8ToWide(destination.c_str()));
    outcome.summary = job.Summary();
    outcome.recovered = HashesBelow(destination);
    return outcome;
}

std::map<std::string, Extent> LocateFiles(const std::string& image, const std::string& folder,
                                          uint64_t from) {
    std::ifstream in(image, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::map<std::string, Extent> extents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.file_size() == 0) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(file)), {});
        const size_t at = bytes.find(content.substr(0, 4096), from);
        if (at == std::string::npos) continue;
        const bool contiguous = bytes.compare(at, content.size(), content) == 0;
        extents[Sha256OfFile(entry.path().string())] = {at, content.size(), contiguous};
    }
    return extents;
}

void DamageTest::SetUp() {
    faulty_io::Reset();
    ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
    CLogFileManager::GetInstance()->Init();
}

void DamageTest::TearDown() {
    faulty_io::Reset();
    ::unsetenv("FERROWEN_DISKS");
    ::unsetenv("XDG_DATA_HOME");
}

std::string DamageTest::Image(const std::string& fixture) const {
    return UnpackFixture(fixture, dir_);
}

namespace {
void Walk(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned int level, size_t most,
          std::vector<_FILE_NODE_>& files) {
    std::vector<_FILE_NODE_> children;
    if (level > 64 || engine.GetChildrenFileNode(parent, level, children) != 0) return;
    for (_FILE_NODE_& child : children) {
        if (files.size() >= most) return;
        if (child.bIsDir) {
            Walk(engine, &child, level + 1, most, files);
        } else {
            files.push_back(child);
        }
    }
}
}  // namespace

std::vector<_FILE_NODE_> BrowseFiles(IFileRecoveryParse& engine, size_t most) {
    std::vector<_FILE_NODE_> files;
    Walk(engine, nullptr, 0, most, files);
    return files;
}

}  // namespace ferrowen::test::damage
