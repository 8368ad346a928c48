// The quick FAT engine on volumes made by mkfs.fat and filled with mtools: what it lists,
// what it recovers, the free space it reports, and that the image is never changed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fat/fast_fat_recovery.h"
#include "foundation/disk_table.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::LoadManifest;
using ferrowen::test::ManifestEntry;
using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;
using ferrowen::test::UnpackFixture;

// The name a record can carry for a manifest path component: the same text after the trip
// through GB2312 that every record name takes.
std::string AsRecordName(const std::string& utf8) {
    return WideToUtf8(Ansi2Unicode(Unicode2Ansi(Utf8ToWide(utf8.c_str()).c_str()).c_str()));
}

std::string Utf8Name(const _FILE_NODE_& node) {
    return WideToUtf8(Ansi2Unicode(node.szFileName));
}

struct Found {
    _FILE_NODE_ node;
    unsigned int level;  // the level its children are listed with
};

// Every record of the engine's tree by its path, as a user browsing it would see it.
void CollectTree(CFastFatRecovery& engine, _FILE_NODE_* parent, unsigned int level,
                 const std::string& prefix, std::map<std::string, Found>& out) {
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(engine.GetChildrenFileNode(parent, level, children), 0);
    for (const _FILE_NODE_& child : children) {
        const std::string path = prefix + Utf8Name(child);
        out[path] = {child, level + 1};
        if (child.bIsDir) {
            _FILE_NODE_ copy = child;
            CollectTree(engine, &copy, level + 1, path + "/", out);
        }
    }
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t slash; (slash = path.find('/', from)) != std::string::npos; from = slash + 1) {
        parts.push_back(path.substr(from, slash - from));
    }
    parts.push_back(path.substr(from));
    return parts;
}

// Does a record path stand for this manifest path? A deleted 8.3 entry without a long name
// (file or folder) loses its first character to the deletion mark and reads as '!' plus the
// lower-cased rest.
bool PathMatches(const std::string& recordPath, const std::string& manifestPath) {
    const std::vector<std::string> got = Components(recordPath);
    const std::vector<std::string> want = Components(manifestPath);
    if (got.size() != want.size()) return false;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] == AsRecordName(want[i])) continue;
        std::string marked = want[i];
        for (char& c : marked) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (marked.empty()) return false;
        marked[0] = '!';
        if (got[i] != AsRecordName(marked)) return false;
    }
    return true;
}

class FatQuickScan : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        image_ = UnpackFixture(GetParam(), dir_);
        imageHash_ = Sha256OfFile(image_);
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        ::setenv("FERROWEN_DISKS", image_.c_str(), 1);
        CLogFileManager::GetInstance()->Init();
        std::ifstream in(image_, std::ios::binary | std::ios::ate);
        sectors_ = static_cast<long long>(in.tellg()) / 512;
        ASSERT_EQ(engine_.Init(0, 0, sectors_, u'C'), 0);
        ASSERT_EQ(engine_.ScanDevice(nullptr), 0);
        CollectTree(engine_, nullptr, 0, "", tree_);
    }
    void TearDown() override {
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
    std::string PathOfRecord(const std::string& manifestPath) const {
        for (const auto& [path, found] : tree_) {
            if (PathMatches(path, manifestPath)) return path;
        }
        return {};
    }
    const Found* FindRecord(const std::string& manifestPath) const {
        for (const auto& [path, found] : tree_) {
            if (PathMatches(path, manifestPath)) return &found;
        }
        return nullptr;
    }

    TempDir dir_;
    std::string image_, imageHash_;
    long long sectors_ = 0;
    CFastFatRecovery engine_;
    std::map<std::string, Found> tree_;
};

TEST_P(FatQuickScan, ListsEveryDeletedFileUnderItsFolderAndNoLiveFile) {
    size_t deletedFiles = 0;
    for (const ManifestEntry& entry : LoadManifest(GetParam())) {
        if (entry.isDir) continue;
        const Found* found = FindRecord(entry.path);
        if (entry.deleted) {
            ++deletedFiles;
            ASSERT_NE(found, nullptr) << "deleted file not listed: " << entry.path;
            EXPECT_EQ(found->node.bIsDir, 0u);
            EXPECT_EQ(found->node.nFileSource, uint32_t{FILE_SOURCE_FAST_FAT});
            EXPECT_EQ(found->node.u64FileSize, static_cast<uint64_t>(entry.size)) << entry.path;
        } else {
            EXPECT_EQ(found, nullptr) << "live file listed: " << entry.path;
        }
    }
    EXPECT_GT(deletedFiles, 0u);
    // Nothing is listed that the manifest does not know as deleted or as a folder leading to
    // one.
    for (const auto& [path, found] : tree_) {
        bool known = false;
        for (const ManifestEntry& entry : LoadManifest(GetParam())) {
            known = known || (PathMatches(path, entry.path) && (entry.deleted || entry.isDir));
        }
        EXPECT_TRUE(known) << "unexpected record " << path;
    }
}

TEST_P(FatQuickScan, RecoversEveryIntactDeletedFileByteExact) {
    TempDir out;
    int n = 0;
    for (const ManifestEntry& entry : LoadManifest(GetParam())) {
        if (entry.isDir || !entry.deleted || entry.sha256.empty()) continue;
        const Found* found = FindRecord(entry.path);
        ASSERT_NE(found, nullptr) << entry.path;
        _FILE_NODE_ node = found->node;
        const std::string target = out.path() + "/f" + std::to_string(n++);
        ASSERT_EQ(engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), 0);
        EXPECT_EQ(Sha256OfFile(target), entry.sha256) << entry.path;
    }
    EXPECT_GT(n, 0);
    EXPECT_EQ(Sha256OfFile(image_), imageHash_);
}

struct Report {
    int percent, weight, error;
    std::string path;
};
int RecordReport(void* ctx, int percent, int weight, int error, const char16_t* path) {
    static_cast<std::vector<Report>*>(ctx)->push_back({percent, weight, error, WideToUtf8(path)});
    return 0;
}

TEST_P(FatQuickScan, RecoversDeletedFolderTreesWithFreeNamesAndFinalReports) {
    std::vector<Report> reports;
    engine_.InitCallBack(nullptr, RecordReport, &reports, 100);
    TempDir out;
    size_t folders = 0;
    for (const ManifestEntry& folder : LoadManifest(GetParam())) {
        if (!folder.isDir || !folder.deleted) continue;
        const Found* found = FindRecord(folder.path);
        if (found == nullptr) continue;  // a deleted folder inside another is recovered with it
        ++folders;
        _FILE_NODE_ node = found->node;
        const std::string target = out.path() + "/" + std::to_string(folders);
        unsigned int base = 0;
        GetPathDirIndex(Utf8ToWide(target.c_str()).c_str(), base);
        // The folder's children are listed with found->level; the engine derives each level
        // from the separators of the destination path minus the base.
        const int baseIndex = static_cast<int>(base) - static_cast<int>(found->level);
        ASSERT_EQ(engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), baseIndex), 0);
        for (const ManifestEntry& entry : LoadManifest(GetParam())) {
            if (entry.isDir || entry.sha256.empty() ||
                entry.path.rfind(folder.path + "/", 0) != 0) {
                continue;
            }
            const std::string recordPath = PathOfRecord(entry.path);
            ASSERT_FALSE(recordPath.empty()) << entry.path;
            const std::string written =
                target + recordPath.substr(PathOfRecord(folder.path).size());
            ASSERT_EQ(access(written.c_str(), F_OK), 0) << written;
            EXPECT_EQ(Sha256OfFile(written), entry.sha256) << written;
        }
    }
    if (folders == 0) GTEST_SKIP() << "no deleted folder in this image";
    std::set<std::string> finished;
    for (const Report& r : reports) {
        EXPECT_EQ(r.weight, 100);
        EXPECT_EQ(r.error, 0) << r.path;
        if (r.percent == 100) finished.insert(r.path);
    }
    EXPECT_FALSE(finished.empty());
    EXPECT_EQ(Sha256OfFile(image_), imageHash_);
}

TEST_P(FatQuickScan, FreeSpaceWalkAgreesWithFsck) {
    std::ifstream in(ferrowen::test::FixtureDir() + "/" + GetParam() + ".fsck.tsv");
    std::string header;
    std::getline(in, header);
    unsigned long long used = 0, total = 0;
    in >> used >> total;
    ASSERT_GT(total, 0u);
    ASSERT_EQ(engine_.BuildBitMapInfo(), 0);
    EXPECT_EQ(engine_.GetClusterCount(), total);
    unsigned long long start = 0, count = 1, freeSectors = 0, runs = 0;
    while (true) {
        engine_.GetUnUsedSectorCount(start, count);
        if (count == 0) break;
        EXPECT_GE(start, engine_.GetFirstDataSector());
        freeSectors += count;
        start += count;
        ASSERT_LT(++runs, 100000u);
    }
    EXPECT_EQ(freeSectors / engine_.GetSectorsPerCluster(), total - used);
}

TEST_P(FatQuickScan, PreviewsAPhotoToATemporaryFileAndOtherFilesToTheBuffer) {
    bool photoSeen = false, otherSeen = false;
    for (const auto& [path, found] : tree_) {
        if (found.node.bIsDir || found.node.u64FileSize == 0) continue;
        _FILE_NODE_ node = found.node;
        const bool photo = path.size() > 4 && (path.ends_with(".jpg") || path.ends_with(".png"));
        if ((photo && photoSeen) || (!photo && otherSeen)) continue;
        char16_t tmp[512] = {};
        std::vector<unsigned char> buf(4096);
        int len = static_cast<int>(buf.size());
        ASSERT_EQ(engine_.PreView(&node, tmp, 512, buf.data(), len, nullptr, nullptr), 0) << path;
        if (photo) {
            photoSeen = true;
            EXPECT_EQ(len, 0);
            const std::string written = WideToUtf8(tmp);
            EXPECT_NE(written.find("/Ferrowen/ScanLog/tmp."), std::string::npos) << written;
            std::ifstream f(written, std::ios::binary | std::ios::ate);
            EXPECT_EQ(static_cast<uint64_t>(f.tellg()), node.u64FileSize);
        } else {
            otherSeen = true;
            EXPECT_EQ(static_cast<uint64_t>(len), std::min<uint64_t>(node.u64FileSize, 4096));
        }
    }
    EXPECT_TRUE(photoSeen || otherSeen);
    EXPECT_EQ(Sha256OfFile(image_), imageHash_);
}

INSTANTIATE_TEST_SUITE_P(MadeByMkfsFat, FatQuickScan, ::testing::Values("fat12", "fat16", "fat32"));

}  // namespace
