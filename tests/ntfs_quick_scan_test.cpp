// The quick NTFS engine on volumes made by mkntfs and filled through ntfs-3g: what it lists,
// what it recovers, the free space it reports, and that the image is never changed. Where
// ntfs-3g's own tools saw the same volume (ntfsundelete --scan, ntfscluster, $Bitmap read by
// ntfscat; tools/make_fixtures.sh --ntfs-listings), the engine must agree with them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "carving/file_type_judge.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::FixtureDir;
using ferrowen::test::LoadManifest;
using ferrowen::test::LoadPartitions;
using ferrowen::test::ManifestEntry;
using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;
using ferrowen::test::UnpackFixture;

// The name a record can carry for a manifest path component: the same text after the trip
// through GB2312 that every record name takes.
std::string AsRecordName(const std::string& utf8) {
    return WideToUtf8(Ansi2Unicode(Unicode2Ansi(Utf8ToWide(utf8.c_str()).c_str()).c_str()));
}

std::string AsRecordPath(const std::string& manifestPath) {
    std::string out;
    std::stringstream parts(manifestPath);
    for (std::string part; std::getline(parts, part, '/');) {
        out += (out.empty() ? "" : "/") + AsRecordName(part);
    }
    return out;
}

std::string Utf8Name(const _FILE_NODE_& node) {
    return WideToUtf8(Ansi2Unicode(node.szFileName));
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), {});
}

struct Found {
    _FILE_NODE_ node;
    unsigned int level;  // the level its children are listed with
};

void CollectTree(CFastNtfsRecovery& engine, _FILE_NODE_* parent, unsigned int level,
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

// One line of an ntfsundelete --scan listing that names something.
struct UndeleteEntry {
    uint32_t inode;
    bool isDir;
    uint64_t size;
    std::string name;
};

std::vector<UndeleteEntry> LoadUndeleteListing(const std::string& name) {
    std::ifstream in(FixtureDir() + "/" + name + ".undelete.txt");
    std::vector<UndeleteEntry> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string inode, flags, percent, date, time, size;
        if (!(fields >> inode >> flags >> percent >> date >> time >> size)) continue;
        if (inode.empty() || !std::isdigit(static_cast<unsigned char>(inode[0]))) continue;
        std::string filename;
        std::getline(fields >> std::ws, filename);
        if (filename == "<none>") continue;
        out.push_back({static_cast<uint32_t>(std::stoul(inode)), flags[0] == 'D', std::stoull(size),
                       filename});
    }
    return out;
}

struct Volume {
    const char* name;   // manifest and listing name
    const char* image;  // fixture image
    int partition;      // 0: the image is the volume, opened by path
};

std::ostream& operator<<(std::ostream& os, const Volume& v) {
    return os << v.name;
}

class NtfsQuickScan : public ::testing::TestWithParam<Volume> {
protected:
    void SetUp() override {
        image_ = UnpackFixture(GetParam().image, dir_);
        imageHash_ = Sha256OfFile(image_);
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        CLogFileManager::GetInstance()->Init();
        if (GetParam().partition == 0) {
            ASSERT_EQ(engine_.Init(Utf8ToWide(image_.c_str()).c_str(), u'D'), 0);
        } else {
            ::setenv("FERROWEN_DISKS", image_.c_str(), 1);
            for (const auto& p : LoadPartitions(GetParam().image)) {
                if (p.index != GetParam().partition) continue;
                ASSERT_EQ(engine_.Init(0, static_cast<long long>(p.startSector),
                                       static_cast<long long>(p.sectorCount), u'D'),
                          0);
                EXPECT_EQ(engine_.GetVolumeStartSector(), p.startSector);
            }
        }
        ASSERT_EQ(engine_.ScanDevice(nullptr), 0);
        CollectTree(engine_, nullptr, 0, "", tree_);
        manifest_ = LoadManifest(GetParam().name);
    }
    void TearDown() override {
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
    const Found* Find(const std::string& manifestPath) const {
        const auto it = tree_.find(AsRecordPath(manifestPath));
        return it != tree_.end() ? &it->second : nullptr;
    }

    TempDir dir_;
    std::string image_, imageHash_;
    CFastNtfsRecovery engine_;
    std::map<std::string, Found> tree_;
    std::vector<ManifestEntry> manifest_;
};

TEST_P(NtfsQuickScan, ListsEveryDeletedFileInItsFolderTreeAndNoLiveFile) {
    size_t deleted = 0;
    for (const ManifestEntry& entry : manifest_) {
        const Found* found = Find(entry.path);
        if (entry.isDir) {
            if (entry.deleted) {
                EXPECT_NE(found, nullptr) << "deleted folder missing " << entry.path;
            }
            if (found != nullptr) {
                EXPECT_EQ(found->node.bIsDir, 1u) << entry.path;
            }
            continue;
        }
        if (!entry.deleted) {
            EXPECT_EQ(found, nullptr) << "live file listed: " << entry.path;
            continue;
        }
        ++deleted;
        ASSERT_NE(found, nullptr) << "deleted file not listed: " << entry.path;
        EXPECT_EQ(found->node.bIsDir, 0u);
        EXPECT_EQ(found->node.nFileSource, uint32_t{FILE_SOURCE_FAST_NTFS});
        EXPECT_EQ(found->node.wcDriveLetter, uint32_t{u'D'});
        EXPECT_EQ(found->node.u64FileSize, static_cast<uint64_t>(entry.size)) << entry.path;
        EXPECT_EQ(found->node.uClusterBytes,
                  engine_.GetBytesPerSector() * engine_.GetSectorsPerCluster());
        EXPECT_EQ(found->node.u64VolumeStartSector, engine_.GetVolumeStartSector());
        EXPECT_NE(found->node.ftLastChangeTime.dwHighDateTime, 0u);
    }
    EXPECT_GT(deleted, 0u);
    // Nothing is listed that is neither a deleted file nor a folder on the way to one.
    for (const auto& [path, found] : tree_) {
        bool known = false;
        for (const ManifestEntry& entry : manifest_) {
            known = known || (AsRecordPath(entry.path) == path && (entry.deleted || entry.isDir));
        }
        EXPECT_TRUE(known) << "unexpected record " << path;
    }
    EXPECT_EQ(Sha256OfFile(image_), imageHash_);
}

// ntfsundelete reads the same records its own way: the two lists must name the same deleted
// files (record number, name and size) and the same deleted folders. It also lists records
// that carry no name at all ("<none>"): those describe no file and are left out here.
TEST_P(NtfsQuickScan, AgreesWithNtfsundeleteOnTheDeletedFilesAndFolders) {
    std::set<std::tuple<uint32_t, std::string, uint64_t>> theirs, ours;
    std::set<uint32_t> theirFolders;
    for (const UndeleteEntry& e : LoadUndeleteListing(GetParam().name)) {
        if (e.isDir) {
            theirFolders.insert(e.inode);
        } else {
            theirs.insert({e.inode, AsRecordName(e.name), e.size});
        }
    }
    ASSERT_FALSE(theirs.empty());
    std::set<uint32_t> ourFolders;
    for (const auto& [path, found] : tree_) {
        if (found.node.bIsDir) {
            ourFolders.insert(found.node.uClusterNO);
        } else {
            ours.insert({found.node.uClusterNO, Utf8Name(found.node), found.node.u64FileSize});
        }
    }
    EXPECT_EQ(ours, theirs);
    for (uint32_t folder : theirFolders) EXPECT_TRUE(ourFolders.count(folder)) << folder;
}

TEST_P(NtfsQuickScan, HealthFollowsWhatTheFirstDataSectorHolds) {
    TempDir out;
    int n = 0;
    for (const ManifestEntry& entry : manifest_) {
        if (entry.isDir || !entry.deleted) continue;
        const Found* found = Find(entry.path);
        ASSERT_NE(found, nullptr) << entry.path;
        char ext[256];
        const bool hasExt = GetExtendName(found->node.szFileName, ext, sizeof ext) == 0;
        int expected = 1;
        if (!entry.sha256.empty() && hasExt) {
            _FILE_NODE_ node = found->node;
            const std::string target = out.path() + "/h" + std::to_string(n++);
            ASSERT_EQ(engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), 0);
            std::vector<unsigned char> head = ReadFile(target);
            if (head.size() > 512) head.resize(512);
            expected = head.empty() ? 0
                                    : CFileTypeJudge::IsFileTypeMatching(
                                          head.data(), head.size(), ext,
                                          static_cast<ISectorReader*>(nullptr), 512, 0);
        }
        EXPECT_EQ(found->node.bDataHealth, static_cast<uint32_t>(expected)) << entry.path;
    }
}

TEST_P(NtfsQuickScan, RecoversEveryIntactDeletedFileByteExact) {
    TempDir out;
    int n = 0;
    for (const ManifestEntry& entry : manifest_) {
        if (entry.isDir || !entry.deleted || entry.sha256.empty()) continue;
        const Found* found = Find(entry.path);
        ASSERT_NE(found, nullptr) << entry.path;
        _FILE_NODE_ node = found->node;
        const std::string target = out.path() + "/f" + std::to_string(n++);
        ASSERT_EQ(engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), 0), 0)
            << entry.path;
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

// Each deleted folder tree is recovered whole, and recovered again into the same place: the
// second copy's files get free names beside the first and nothing is overwritten.
TEST_P(NtfsQuickScan, RecoversDeletedFolderTreesTwiceWithoutOverwriting) {
    std::vector<Report> reports;
    engine_.InitCallBack(nullptr, RecordReport, &reports, 100);
    TempDir out;
    size_t trees = 0;
    for (const ManifestEntry& folder : manifest_) {
        if (!folder.isDir || !folder.deleted) continue;
        const Found* found = Find(folder.path);
        ASSERT_NE(found, nullptr) << folder.path;
        bool insideAnother = false;
        for (const ManifestEntry& e : manifest_) {
            insideAnother =
                insideAnother || (e.isDir && e.deleted && folder.path.rfind(e.path + "/", 0) == 0);
        }
        if (insideAnother) continue;  // recovered with the tree above it
        ++trees;
        const std::string target = out.path() + "/" + std::to_string(trees);
        unsigned int separators = 0;
        GetPathDirIndex(Utf8ToWide(target.c_str()).c_str(), separators);
        const int base = static_cast<int>(separators) - static_cast<int>(found->level);
        for (int copy = 0; copy < 2; ++copy) {
            _FILE_NODE_ node = found->node;
            ASSERT_EQ(engine_.SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(), base), 0);
        }
        for (const ManifestEntry& entry : manifest_) {
            if (entry.isDir || entry.path.rfind(folder.path + "/", 0) != 0) continue;
            const std::string rel =
                AsRecordPath(entry.path).substr(AsRecordPath(folder.path).size());
            const std::string written = target + rel;
            ASSERT_EQ(access(written.c_str(), F_OK), 0) << written;
            EXPECT_EQ(Sha256OfFile(written), entry.sha256) << written;
            // The second copy of a file directly in the tree's top folder sits beside it.
            if (rel.find('/', 1) == std::string::npos) {
                const size_t dot = written.rfind('.');
                const std::string second =
                    dot == std::string::npos || dot < written.rfind('/')
                        ? written + "(1)"
                        : written.substr(0, dot) + "(1)" + written.substr(dot);
                ASSERT_EQ(access(second.c_str(), F_OK), 0) << second;
                EXPECT_EQ(Sha256OfFile(second), entry.sha256) << second;
            }
        }
    }
    if (trees == 0) GTEST_SKIP() << "no deleted folder on this volume";
    for (const Report& r : reports) {
        EXPECT_EQ(r.weight, 100);
        EXPECT_EQ(r.error, 0) << r.path;
    }
    EXPECT_EQ(Sha256OfFile(image_), imageHash_);
}

TEST_P(NtfsQuickScan, FreeSpaceWalkAgreesWithTheBitmapAsNtfsToolsReadIt) {
    std::ifstream listing(FixtureDir() + "/" + GetParam().name + ".free.tsv");
    std::string header;
    std::getline(listing, header);
    std::vector<std::pair<uint64_t, uint64_t>> theirs;
    for (uint64_t first, count; listing >> first >> count;) theirs.push_back({first, count});
    ASSERT_FALSE(theirs.empty());

    std::ifstream info(FixtureDir() + "/" + GetParam().name + ".ntfscluster.txt");
    uint64_t freeClusters = 0;
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("clusters of free space", 0) == 0) {
            freeClusters = std::stoull(line.substr(line.find(':') + 1));
        }
    }
    ASSERT_GT(freeClusters, 0u);

    ASSERT_EQ(engine_.BuildBitMapInfo(), 0);
    const uint64_t spc = engine_.GetSectorsPerCluster();
    std::vector<std::pair<uint64_t, uint64_t>> ours;
    uint64_t total = 0;
    unsigned long long start = 0, count = 0;
    for (;;) {
        engine_.GetUnUsedSectorCount(start, count);
        if (count == 0) break;
        EXPECT_EQ(start % spc, 0u);
        ours.push_back({start / spc, (count + spc - 1) / spc});
        total += count;
        start += count;
        ASSERT_LT(ours.size(), 100000u);
    }
    // The last free cluster may be cut where the volume's sectors end.
    EXPECT_EQ(ours, theirs);
    EXPECT_LE(total, freeClusters * spc);
    EXPECT_GT(total + spc, freeClusters * spc);
}

TEST_P(NtfsQuickScan, PreviewsAPhotoToATemporaryFileAndOtherFilesToTheBuffer) {
    bool photoSeen = false, otherSeen = false;
    for (const ManifestEntry& entry : manifest_) {
        if (entry.isDir || !entry.deleted || entry.sha256.empty() || entry.size == 0) continue;
        const Found* found = Find(entry.path);
        ASSERT_NE(found, nullptr);
        _FILE_NODE_ node = found->node;
        const bool photo = entry.path.ends_with(".jpg");
        char16_t tmp[512] = {};
        std::vector<unsigned char> buf(4096);
        int len = static_cast<int>(buf.size());
        ASSERT_EQ(engine_.PreView(&node, tmp, 512, buf.data(), len, nullptr, nullptr), 0);
        if (photo) {
            photoSeen = true;
            EXPECT_EQ(len, 0);
            EXPECT_EQ(Sha256OfFile(WideToUtf8(tmp)), entry.sha256);
        } else {
            otherSeen = true;
            EXPECT_EQ(len, static_cast<int>(std::min<long long>(entry.size, 4096)));
        }
    }
    EXPECT_TRUE(photoSeen || otherSeen);
    EXPECT_EQ(Sha256OfFile(image_), imageHash_);
}

INSTANTIATE_TEST_SUITE_P(MadeByMkntfs, NtfsQuickScan,
                         ::testing::Values(Volume{"ntfs", "ntfs", 0}, Volume{"gpt.p2", "gpt", 2}),
                         [](const ::testing::TestParamInfo<Volume>& info) {
                             return std::string(info.param.partition == 0 ? "Image"
                                                                          : "GptPartition");
                         });

}  // namespace
