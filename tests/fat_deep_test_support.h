// Helpers for the FAT tests: feeding an image the way the deep-scan coordinator does, building
// directory entries and small volumes by hand, reading back an engine's tree and checking it
// against a fixture's manifest.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fat/fat_entry.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/recognisers.h"
#include "foundation/scan_options.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace ferrowen::test::deep {

constexpr uint32_t kSector = 512;

// Hands every sector of [first, end) that opens a folder or holds a run of directory entries
// to the parser, in ascending order, as the coordinator's pass does.
inline void FeedImage(CProfessionalFatRecovery& engine, const std::string& image,
                      uint64_t first = 0, uint64_t end = UINT64_MAX) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(first * kSector));
    unsigned char p[kSector];
    for (uint64_t s = first; s < end && in.read(reinterpret_cast<char*>(p), kSector); ++s) {
        if (IsFatFileRecord(p, kSector)) {
            engine.ParseFatFileRecord(p, s);
        } else if (IsFatFDTRecord(p, kSector)) {
            engine.ParseFDTFileRecord(p, s);
        }
    }
}

inline uint64_t SectorsOf(const std::string& image) {
    std::ifstream in(image, std::ios::binary | std::ios::ate);
    return static_cast<uint64_t>(in.tellg()) / kSector;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// ---- directory entries --------------------------------------------------------------------

using Entry = std::array<unsigned char, 32>;

// An 8.3 entry dated 2021-06-15 12:00. name11 is the space-padded upper-case name and extension.
inline Entry ShortEntry(const char* name11, uint8_t attr, uint32_t cluster, uint32_t size,
                        bool deleted = false) {
    constexpr uint16_t kDate = ((2021 - 1980) << 9) | (6 << 5) | 15, kNoon = 12 << 11;
    const uint16_t high = static_cast<uint16_t>(cluster >> 16), low = cluster & 0xFFFF;
    const uint16_t fields[] = {kNoon, kDate, kDate, high, kNoon, kDate, low};
    Entry e{};
    std::memcpy(e.data(), name11, 11);
    e[0x0B] = attr;
    std::memcpy(e.data() + 0x0E, fields, sizeof fields);
    std::memcpy(e.data() + 0x1C, &size, 4);
    if (deleted) e[0] = FAT_ENTRY_DELETED;
    return e;
}

// A file or folder with a long name: its pieces, last piece first, then its 8.3 entry.
inline std::vector<Entry> NamedEntries(const std::u16string& longName, const char* name11,
                                       uint8_t attr, uint32_t cluster, uint32_t size,
                                       bool deleted = false) {
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const size_t pieces = (longName.size() + 12) / 13;
    std::u16string units = longName;  // ended by a zero unit and padded with 0xFFFF
    if (units.size() % 13 != 0) units.push_back(u'\0');
    units.resize(pieces * 13, u'\xFFFF');
    std::vector<Entry> out;
    for (size_t k = pieces; k >= 1; --k) {
        Entry e{};
        e[0] = static_cast<unsigned char>(deleted ? 0xE5 : k | (k == pieces ? 0x40 : 0));
        e[0x0B] = FAT_ATTR_LONG_NAME;
        e[0x0D] = GetShortNameCheckSum(reinterpret_cast<const unsigned char*>(name11));
        for (size_t i = 0; i < 13; ++i) std::memcpy(&e[kOffsets[i]], &units[(k - 1) * 13 + i], 2);
        out.push_back(e);
    }
    out.push_back(ShortEntry(name11, attr, cluster, size, deleted));
    return out;
}

inline std::vector<Entry> DotPair(uint32_t self, uint32_t parent) {
    return {ShortEntry(".          ", FAT_ATTR_DIRECTORY, self, 0),
            ShortEntry("..         ", FAT_ATTR_DIRECTORY, parent, 0)};
}

inline void Add(std::vector<Entry>& to, const std::vector<Entry>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// ---- hand-built volumes -------------------------------------------------------------------

// A sparse image file of `sectors` sectors with a FAT32-like layout: clusters of `spc`
// sectors, cluster 2 at absolute sector `base`. Nothing but what the test writes is in it.
class HandImage {
public:
    HandImage(const TempDir& dir, uint64_t sectors, uint32_t spc, uint64_t base)
        : path_(dir.path() + "/hand.img"), spc_(spc), base_(base) {
        std::ofstream{path_};
        EXPECT_EQ(truncate(path_.c_str(), static_cast<off_t>(sectors * kSector)), 0);
    }
    const std::string& path() const { return path_; }
    uint64_t ClusterSector(uint32_t cluster) const { return base_ + uint64_t{cluster - 2} * spc_; }

    void WriteBytes(uint64_t sector, const void* p, size_t n) {
        std::fstream io(path_, std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(static_cast<std::streamoff>(sector * kSector));
        ASSERT_TRUE(io.write(static_cast<const char*>(p), static_cast<std::streamsize>(n)));
    }
    void WriteEntries(uint64_t sector, const std::vector<Entry>& entries) {
        WriteBytes(sector, entries.data(), entries.size() * sizeof(Entry));
    }
    void WriteFolder(uint32_t cluster, const std::vector<Entry>& entries) {
        WriteEntries(ClusterSector(cluster), entries);
    }
    // Content whose every sector differs with the cluster and sector it was written to.
    std::string WriteData(uint32_t cluster, size_t bytes) {
        std::string data(bytes, '\0');
        for (size_t i = 0; i < bytes; ++i) {
            data[i] = static_cast<char>('a' + (cluster * 7 + i / kSector * 3 + i) % 26);
        }
        WriteBytes(ClusterSector(cluster), data.data(), data.size());
        return data;
    }

private:
    std::string path_;
    uint32_t spc_;
    uint64_t base_;
};

// ---- the tree -----------------------------------------------------------------------------

struct Found {
    _FILE_NODE_ node;
    unsigned int level;  // the level its children are listed with
};
using Tree = std::map<std::string, Found>;

// Every record by its path, as a user browsing the tree would see it.
inline void CollectTree(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned int level,
                        const std::string& prefix, Tree& out) {
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(engine.GetChildrenFileNode(parent, level, children), 0);
    for (_FILE_NODE_& child : children) {
        std::string path = prefix + WideToUtf8(Ansi2Unicode(child.szFileName));
        while (out.count(path) != 0) path += "#";  // two records of one name stay apart
        out[path] = {child, level + 1};
        if (child.bIsDir && level < 64) CollectTree(engine, &child, level + 1, path + "/", out);
    }
}

// Does a record path stand for this manifest path? Names are exact, but an 8.3 name without a
// long one may differ in case, and a deleted one has lost its first character to the deletion
// mark, shown as '!'.
inline bool PathMatches(const std::string& recordPath, const std::string& manifestPath) {
    const std::u16string got = Utf8ToWide(recordPath.c_str());
    const std::u16string want = Utf8ToWide(manifestPath.c_str());
    auto lower = [](char16_t c) {
        const bool upper = (c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
        return upper ? char16_t(c + 0x20) : c;
    };
    if (got.size() != want.size()) return false;
    for (size_t i = 0; i < got.size(); ++i) {
        const char16_t g = got[i], w = want[i];
        const bool first = (i == 0 || want[i - 1] == u'/') && w != u'/';
        if (lower(g) != lower(w) && !(first && g == u'!')) {
            return false;
        }
    }
    return true;
}

// The record standing for a manifest path (and its path in the tree), or nullptr.
inline const Found* FindRecord(const Tree& tree, const std::string& manifestPath,
                               std::string* treePath = nullptr) {
    for (const auto& [path, found] : tree) {
        if (!PathMatches(path, manifestPath)) continue;
        if (treePath != nullptr) *treePath = path;
        return &found;
    }
    return nullptr;
}

// Saves a record to target; a folder whole, its children listed at the level the target's
// separators give less the base passed.
inline int Save(IFileRecoveryParse& engine, const Found& found, const std::string& target) {
    const std::u16string wide = Utf8ToWide(target.c_str());
    unsigned int separators = 0;
    GetPathDirIndex(wide.c_str(), separators);
    _FILE_NODE_ node = found.node;
    return engine.SaveFileData(&node, wide.c_str(),
                               static_cast<int>(separators) - static_cast<int>(found.level));
}

// Points the scan log at a temporary folder and the disk table at one image.
class ScanEnvironment {
public:
    ScanEnvironment(const TempDir& dir, const std::string& image) {
        ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
        ::setenv("FERROWEN_DISKS", image.c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    ~ScanEnvironment() {
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
};

// ---- fixture volumes, scanned once and checked against their manifests ----------------------

// A fixture for the quick engine, or for the deep parser after its first `zeroSectors` sectors
// (boot sector, reserved sectors, FATs) are zeroed. Its geometry is in 512-byte sectors.
struct Volume {
    const char* label;
    const char* fixture;
    bool deep;
    uint32_t zeroSectors;
    const char* skip;  // a file the deep parser cannot read: fragmented, not contiguous
    uint32_t spc, firstData;
};

inline int RecordFinished(void* ctx, int percent, int weight, int error, const char16_t* path) {
    EXPECT_EQ(weight, 100);
    EXPECT_EQ(error, 0) << WideToUtf8(path);
    if (percent == 100) static_cast<std::set<std::string>*>(ctx)->insert(WideToUtf8(path));
    return 0;
}

class FatVolume : public ::testing::TestWithParam<Volume> {
protected:
    struct Scan {
        TempDir dir;
        std::string image, hash;
        std::optional<ScanEnvironment> env;
        CFastFatRecovery quick;
        CProfessionalFatRecovery deep;
        size_t ownBootSectors = 0;  // boot sectors the deep parser listed before its pass
        Tree tree;
    };
    static std::map<std::string, Scan>& Scans() {
        static std::map<std::string, Scan> scans;
        return scans;
    }
    static void TearDownTestSuite() { Scans().clear(); }
    void SetUp() override {
        const Volume& v = GetParam();
        scan_ = &Scans()[v.label];
        if (!scan_->image.empty()) return;
        scan_->image = UnpackFixture(v.fixture, scan_->dir);
        std::fstream(scan_->image, std::ios::in | std::ios::out | std::ios::binary)
            .write(std::string(v.zeroSectors * kSector, '\0').data(), v.zeroSectors * kSector);
        scan_->hash = Sha256OfFile(scan_->image);
        scan_->env.emplace(scan_->dir, scan_->image);
        const long long sectors = static_cast<long long>(SectorsOf(scan_->image));
        if (v.deep) {
            ASSERT_EQ(scan_->deep.Init(0, 0, sectors, u'C'), 0);
            ASSERT_EQ(scan_->deep.ClearProfessionalVec(nullptr), 0);
            ASSERT_EQ(scan_->deep.InitVirtualDbrInfo(), 0);
            scan_->ownBootSectors = scan_->deep.GetVirtualDbrList().size();
            FeedImage(scan_->deep, scan_->image);
            ASSERT_EQ(scan_->deep.DealProfessionalRecordVec(), 0);
        } else {
            ASSERT_EQ(scan_->quick.Init(0, 0, sectors, u'C'), 0);
            ASSERT_EQ(scan_->quick.ScanDevice(nullptr), 0);
        }
        CollectTree(Engine(), nullptr, 0, "", scan_->tree);
    }
    void TearDown() override {
        EXPECT_EQ(Sha256OfFile(scan_->image), scan_->hash) << "the image was written to";
    }
    IFileRecoveryParse& Engine() const {
        if (GetParam().deep) return scan_->deep;
        return scan_->quick;
    }
    // The files a scan must list: the deep parser lists live files too.
    bool Listed(const ManifestEntry& e) const { return !e.isDir && (e.deleted || GetParam().deep); }

    // Recovers every record of the root, folders whole. Every file Listed() picks is listed
    // under its folder with its size and the volume's geometry and, when it has a hash, written
    // byte-exact with a final report; no other file is listed; every record stands for a
    // manifest entry and comes from the engine; the root counts the files.
    void ExpectListedAndRecoveredAsInManifest() const {
        const Volume& v = GetParam();
        const std::vector<ManifestEntry> manifest = LoadManifest(v.fixture);
        static std::set<std::string> finished;  // static: the engine outlives a failed check
        finished.clear();
        Engine().InitCallBack(nullptr, RecordFinished, &finished, 100);
        TempDir out;
        for (const auto& item : scan_->tree) {
            const std::string& path = item.first;  // a name a lambda can capture
            const auto& found = item.second;
            EXPECT_TRUE(std::any_of(manifest.begin(), manifest.end(),
                                    [&](const ManifestEntry& e) {
                                        return (Listed(e) || e.isDir) && PathMatches(path, e.path);
                                    }))
                << "unexpected record " << path;
            EXPECT_EQ(found.node.nFileSource, v.deep ? FILE_SOURCE_PRO_FAT : FILE_SOURCE_FAST_FAT);
            if (path.find('/') == std::string::npos) {
                ASSERT_EQ(Save(Engine(), found, out.path() + "/" + path), 0) << path;
            }
        }
        unsigned int files = 0, counted = 0, checked = 0;
        for (const ManifestEntry& entry : manifest) {
            if (entry.isDir) continue;
            std::string path;
            const Found* found = FindRecord(scan_->tree, entry.path, &path);
            if (!Listed(entry)) {
                EXPECT_EQ(found, nullptr) << "live file listed: " << entry.path;
                continue;
            }
            ++files;
            ASSERT_NE(found, nullptr) << "file not listed: " << entry.path;
            EXPECT_EQ(found->node.bIsDir, 0u);
            EXPECT_EQ(found->node.u64FileSize, static_cast<uint64_t>(entry.size)) << path;
            EXPECT_EQ(found->node.uClusterBytes, kSector * v.spc) << path;
            EXPECT_EQ(found->node.u64DataStartSector, v.firstData) << path;
            if (entry.sha256.empty() || entry.path == v.skip) continue;
            const std::string written = out.path() + "/" + path;
            ASSERT_EQ(access(written.c_str(), F_OK), 0) << written;
            EXPECT_EQ(Sha256OfFile(written), entry.sha256) << written;
            EXPECT_EQ(finished.count(written), 1u) << written;
            ++checked;
        }
        ASSERT_EQ(Engine().GetChildrenFileCount(nullptr, 0, counted), 0);
        EXPECT_EQ(counted, files);
        EXPECT_GT(checked, 1u);
    }

    Scan* scan_ = nullptr;
};

// Present files are listed while one lives; the choice is process-wide, so it is put back
// however the test ends.
class ListingPresentFiles {
public:
    ListingPresentFiles() { SetListPresentFiles(true); }
    ~ListingPresentFiles() { SetListPresentFiles(false); }
    ListingPresentFiles(const ListingPresentFiles&) = delete;
    ListingPresentFiles& operator=(const ListingPresentFiles&) = delete;
};

}  // namespace ferrowen::test::deep
