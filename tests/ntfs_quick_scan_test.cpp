// Both NTFS engines on volumes made by mkntfs and filled through ntfs-3g: the tree they list,
// byte-exact recovery, health and previews, folder trees recovered twice, and that the image is
// never changed. The quick engine must also agree with what ntfs-3g's own tools saw on the
// same volume (ntfsundelete --scan, ntfscluster, $Bitmap read by ntfscat;
// tools/make_fixtures.sh --ntfs-listings). The deep engine, which lists live files too, also
// runs on the committed volume without boot sector, and without table at a disk's sector 100.
// Asked to, the quick engine lists the files still in use too, marked as such.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "carving/file_type_judge.h"
#include "engine/recovery_job.h"
#include "foundation/scan_options.h"
#include "ntfs_deep_test_support.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::ntfs;

struct Volume {
    const char* what;
    bool bDeep;
    const char* name;   // manifest and listing name
    const char* image;  // fixture image
    int partition;      // 0: the image is the volume
    bool bBootGone = false;
    bool bTableGone = false;  // record 0 and its mirror: nothing tells where the table lies
    uint64_t u64Start = 0;    // the sector of a larger disk the volume is put at
    bool bPresent = false;    // the quick engine is asked for the files still in use too
};

// The process-wide choice to list files still in use, for the life of one test only.
class PresentFilesListed {
public:
    explicit PresentFilesListed(bool bList) { SetListPresentFiles(bList); }
    ~PresentFilesListed() { SetListPresentFiles(false); }
    PresentFilesListed(const PresentFilesListed&) = delete;
    PresentFilesListed& operator=(const PresentFilesListed&) = delete;
};

void PrintTo(const Volume& v, std::ostream* os) {
    *os << v.what;
}

class NtfsFixtureVolume : public NtfsTest, public ::testing::WithParamInterface<Volume> {
protected:
    void SetUp() override {
        NtfsTest::SetUp();
        const Volume& v = GetParam();
        const Image fixture = Fixture(v.image);
        Image image(v.u64Start * kSector, 0);
        image.insert(image.end(), fixture.begin(), fixture.end());
        start_ = v.u64Start;
        uint64_t sectors = fixture.size() / kSector;
        if (v.partition != 0) {
            const PartitionEntry p = LoadPartitions(v.image).at(v.partition - 1);
            start_ = p.startSector;
            sectors = p.sectorCount;
        }
        if (v.bBootGone) ZeroSectors(image, start_, 1);
        if (v.bTableGone) {
            ZeroSectors(image, start_ + kMftSector, 2);
            ZeroSectors(image, start_ + kMirrorSector, 2);
        }
        WriteImage(Path("disk.img"), image);
        hash_ = Sha256OfFile(Path("disk.img"));
        ::setenv("FERROWEN_DISKS", Path("disk.img").c_str(), 1);
        const long long start = static_cast<long long>(start_);
        if (v.bDeep) {
            engine_.reset(deep_ = new CProfessionalNtfsRecovery);
            ASSERT_EQ(deep_->Init(0, start, static_cast<long long>(sectors), u'D'), 0);
            EXPECT_EQ(deep_->GetTableMap().empty(), v.bBootGone) << "the boot sector's table";
            ASSERT_EQ(deep_->InitProfessionalScan(nullptr), 0);
            FeedRecords(*deep_, image);
            ASSERT_EQ(deep_->ParseProfessionalRecordVec(), 0);
        } else {
            engine_.reset(quick_ = new CFastNtfsRecovery);
            ASSERT_EQ(quick_->Init(0, start, static_cast<long long>(sectors), u'D'), 0);
            EXPECT_EQ(quick_->GetVolumeStartSector(), start_);
            ASSERT_EQ(quick_->ScanDevice(nullptr), 0);
        }
        tree_ = BrowseTree(*engine_);
        manifest_ = LoadManifest(v.name);
    }
    void TearDown() override {
        EXPECT_EQ(Sha256OfFile(Path("disk.img")), hash_) << "the scanned image changed";
        NtfsTest::TearDown();
    }
    // Whether the file system still lists the file or folder at a path of the tree.
    bool LiveInManifest(const std::string& treePath) const {
        for (const ManifestEntry& entry : manifest_)
            if (AsRecordPath(entry.path) == treePath) return !entry.deleted;
        ADD_FAILURE() << treePath << " is not in the manifest";
        return false;
    }
    const Browsed* Find(const std::string& manifestPath) const {
        const auto it = tree_.find(AsRecordPath(manifestPath));
        return it != tree_.end() ? &it->second : nullptr;
    }

    const PresentFilesListed listing_{GetParam().bPresent};
    uint64_t start_ = 0;
    std::string hash_;
    std::unique_ptr<CStoreEngine> engine_;
    CFastNtfsRecovery* quick_ = nullptr;
    CProfessionalNtfsRecovery* deep_ = nullptr;
    Tree tree_;
    std::vector<ManifestEntry> manifest_;
};

// Every file listed is at its path with its size, on its volume, and so is every folder above
// one; nothing else is reachable (no file of the volume's own either). Every file whose content
// is still on disk comes back byte for byte; its health says whether its first data sector
// holds what its extension promises; a picture previews to a temporary file, anything else
// into the buffer up to 100 %. The quick engine lists live files only when asked, marks what
// is live, files and folders alike, and finds the same files by search as by browsing.
TEST_P(NtfsFixtureVolume, ListsItsFilesInTheirTreeAndRecoversThemByteExact) {
    const bool quick = !GetParam().bDeep;
    const bool listsLive = !quick || GetParam().bPresent;
    std::set<std::string> expected, folders, browsed;
    int n = 0;
    for (const ManifestEntry& entry : manifest_) {
        const Browsed* found = Find(entry.path);
        if (entry.isDir || (!entry.deleted && !listsLive)) {
            EXPECT_TRUE(entry.isDir || found == nullptr) << "live file listed: " << entry.path;
            continue;
        }
        ASSERT_NE(found, nullptr) << entry.path;
        const std::string path = AsRecordPath(entry.path);
        expected.insert(path);
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            folders.insert(path.substr(0, slash));
        }
        _FILE_NODE_ node = found->node;
        EXPECT_EQ(node.bIsDir, 0u) << path;
        if (quick) {
            EXPECT_EQ(IsPresentEntry(node), !entry.deleted) << path;
            char16_t folder[512] = {};
            ASSERT_EQ(engine_->GetFileNodeParentDirPath(&node, folder, 512), 0) << path;
            EXPECT_EQ(WideToUtf8(folder), path.substr(0, path.rfind('/') + 1)) << path;
        }
        EXPECT_EQ(node.nFileSource,
                  uint32_t{GetParam().bDeep ? FILE_SOURCE_PRO_NTFS : FILE_SOURCE_FAST_NTFS});
        EXPECT_EQ(node.wcDriveLetter, uint32_t{u'D'});
        EXPECT_EQ(node.u64FileSize, static_cast<uint64_t>(entry.size)) << path;
        EXPECT_EQ(node.uClusterBytes, 4096u) << path;
        EXPECT_EQ(node.u64VolumeStartSector, start_) << path;
        EXPECT_NE(node.ftLastChangeTime.dwHighDateTime, 0u) << path;

        char ext[256] = {};
        int health = 1;
        Image data;
        if (!entry.sha256.empty()) {
            const std::string target = Path("f" + std::to_string(n++));
            EXPECT_EQ(RecoverSha(*engine_, node, target), entry.sha256) << path;
            data = ReadImage(target);
            if (GetExtendName(node.szFileName, ext, sizeof ext) == 0) {
                health = data.empty() ? 0
                                      : CFileTypeJudge::IsFileTypeMatching(
                                            data.data(), std::min<size_t>(data.size(), 512), ext,
                                            static_cast<ISectorReader*>(nullptr), 512, 0);
            }
        }
        EXPECT_EQ(node.bDataHealth, static_cast<uint32_t>(health)) << path;
        if (data.empty()) continue;
        char16_t tmp[512] = {};
        Image buf(4096);
        int len = static_cast<int>(buf.size());
        std::vector<int> percents;
        ASSERT_EQ(engine_->PreView(
                      &node, tmp, 512, buf.data(), len,
                      [](void* ctx, int percent, int) {
                          static_cast<std::vector<int>*>(ctx)->push_back(percent);
                          return 0;
                      },
                      &percents),
                  0);
        if (path.ends_with(".jpg") || path.ends_with(".png")) {
            EXPECT_EQ(len, 0);
            EXPECT_EQ(WideToUtf8(tmp), GetScanLogRootPath() + "tmp." + ext);
            EXPECT_EQ(Sha256OfFile(WideToUtf8(tmp)), entry.sha256);
        } else {
            ASSERT_EQ(len, static_cast<int>(std::min<size_t>(data.size(), 4096))) << path;
            EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + len, data.begin())) << path;
            EXPECT_EQ(percents.empty() ? -1 : percents.back(), 100);
        }
    }
    EXPECT_GT(n, 0);
    for (const std::string& folder : folders) {
        EXPECT_TRUE(tree_.count(folder) != 0 && tree_.at(folder).node.bIsDir == 1u) << folder;
        if (quick && tree_.count(folder) != 0) {
            EXPECT_EQ(IsPresentEntry(tree_.at(folder).node), LiveInManifest(folder)) << folder;
        }
    }
    std::multiset<std::tuple<uint32_t, std::string, bool>> listedFiles, searched;
    for (const auto& [path, found] : tree_) {
        browsed.insert(path);
        if (!found.node.bIsDir) {
            listedFiles.insert({found.node.uClusterNO, path.substr(path.rfind('/') + 1),
                                IsPresentEntry(found.node)});
        }
    }
    expected.insert(folders.begin(), folders.end());
    EXPECT_EQ(browsed, expected);
    if (!quick) return;
    std::vector<__SEARCH_FILE_INFO__> hits;
    ASSERT_EQ(engine_->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), hits), 0);
    for (const __SEARCH_FILE_INFO__& hit : hits)
        searched.insert({hit.uClusterNO, Utf8Name(hit), IsPresentEntry(hit)});
    EXPECT_EQ(searched, listedFiles);
}

// What only one of the engines does, on its volumes.
using NtfsQuickFixtureVolume = NtfsFixtureVolume;
using NtfsDeepFixtureVolume = NtfsFixtureVolume;

// Each deleted folder tree is recovered whole, breadth-first (no file is written after a
// deeper one), its folders made 0755; and again into the same place, where each child of the
// top folder takes a free name beside the first copy and nothing is overwritten.
TEST_P(NtfsFixtureVolume, RecoversDeletedFolderTreesTwiceWithoutOverwriting) {
    Recorder recorder;
    engine_->InitCallBack(nullptr, &Recorder::On, &recorder, 100);
    size_t trees = 0;
    for (const ManifestEntry& folder : manifest_) {
        if (!folder.isDir || !folder.deleted) continue;
        const Browsed* found = Find(folder.path);
        ASSERT_NE(found, nullptr) << folder.path;
        bool insideAnother = false;
        for (const ManifestEntry& e : manifest_) {
            insideAnother =
                insideAnother || (e.isDir && e.deleted && folder.path.starts_with(e.path + "/"));
        }
        if (insideAnother) continue;  // recovered with the tree above it
        const std::string target = Path("tree" + std::to_string(++trees));
        for (int copy = 0; copy < 2; ++copy) {
            recorder.reports.clear();
            _FILE_NODE_ node = found->node;
            ASSERT_EQ(engine_->SaveFileData(&node, Utf8ToWide(target.c_str()).c_str(),
                                            FolderBase(target, found->uChildLevel)),
                      0);
            size_t depth = 0;
            for (const Report& r : recorder.reports) {
                EXPECT_EQ(r.weight, 100);
                EXPECT_EQ(r.error, 0) << r.path;
                EXPECT_GE(std::count(r.path.begin(), r.path.end(), '/'), depth) << r.path;
                depth = std::count(r.path.begin(), r.path.end(), '/');
            }
        }
        const std::string top = AsRecordPath(folder.path);
        for (const ManifestEntry& entry : manifest_) {
            if (!entry.path.starts_with(folder.path + "/")) continue;
            const std::string rel = AsRecordPath(entry.path).substr(top.size());
            struct stat st {};
            if (entry.isDir) {
                EXPECT_EQ(stat((target + rel).c_str(), &st), 0) << rel;
                EXPECT_EQ(st.st_mode & 0777, 0755u) << rel;
                continue;
            }
            EXPECT_EQ(Sha256OfFile(target + rel), entry.sha256) << rel;
            // The second copy: "name(1).ext" for a file of the top folder, "folder(1)/..."
            // for one below.
            const size_t slash = rel.find('/', 1), dot = rel.rfind('.');
            const std::string second =
                slash != std::string::npos ? rel.substr(0, slash) + "(1)" + rel.substr(slash)
                : dot == std::string::npos ? rel + "(1)"
                                           : rel.substr(0, dot) + "(1)" + rel.substr(dot);
            EXPECT_EQ(Sha256OfFile(target + second), entry.sha256) << second;
        }
    }
    if (trees == 0) GTEST_SKIP() << "no deleted folder on this volume";
}

TEST_P(NtfsDeepFixtureVolume, LearnsWhereItsTableLiesOrPlacesRecordsThroughTheSyntheticRun) {
    if (!GetParam().bTableGone) {
        EXPECT_EQ(deep_->GetTableMap().count(start_ + kMftSector), 1u);
        return;
    }
    EXPECT_TRUE(deep_->GetTableMap().empty());
    ASSERT_FALSE(deep_->GetSpecialFolders().empty());
    for (const __SPECIAL_RECOVERY_DIR__& folder : deep_->GetSpecialFolders()) {
        ASSERT_EQ(folder.placement.runs->size(), 1u) << folder.uRecordNumber;
        EXPECT_EQ(folder.placement.runs->front().length, 0u);
        EXPECT_EQ(folder.placement.u64VolumeStartSector, start_);
    }
}

TEST_P(NtfsDeepFixtureVolume, LooksUpRunsOfRecordsBySector) {
    RUN_LIST runs, byNode;
    const _FILE_NODE_ archive = Find("Backup/fragmented archive.zip")->node;
    ASSERT_EQ(deep_->GetRunListInfo(archive.u64RecordSector, NTFS_ATTR_DATA, runs), 0);
    EXPECT_EQ(runs.size(), 5u);
    ASSERT_EQ(deep_->GetFileNodeRunListInfo(&archive, NTFS_ATTR_DATA, byNode), 0);
    EXPECT_EQ(RunListClusters(byNode), RunListClusters(runs));
    EXPECT_EQ(RunListClusters(runs), (1300000 + 4095) / 4096);

    runs.clear();
    EXPECT_EQ(deep_->GetRunListInfo(0, NTFS_ATTR_DATA, runs), NTFS_NOT_A_RECORD);
    EXPECT_EQ(deep_->GetRunListInfo(Find("tiny.txt")->node.u64RecordSector, NTFS_ATTR_DATA, runs),
              NTFS_NOT_FOUND)
        << "resident data has no runs";
    EXPECT_EQ(deep_->GetRunListInfo(kFixtureSectors + 100, NTFS_ATTR_DATA, runs), NTFS_NOT_FOUND)
        << "beyond the image";
}

TEST_P(NtfsDeepFixtureVolume, ReopensItsStoreByNameAndStartsAFreshOneWithout) {
    char folder[4096];
    ASSERT_EQ(CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder), 0);
    char name[256] = {};
    CLogFileManager::GetInstance()->GetLogFileNameByFileType(folder, kProNtfsLogPrefix, name,
                                                             sizeof name);
    ASSERT_TRUE(std::string(name).starts_with(kProNtfsLogPrefix));

    CProfessionalNtfsRecovery reopened;
    ASSERT_EQ(reopened.Init(WidePath("disk.img").c_str(), u'C'), 0);
    ASSERT_EQ(reopened.InitProfessionalScan(Utf8ToWide(name).c_str()), 0);
    EXPECT_EQ(reopened.GetLostFileCount(), deep_->GetLostFileCount());
    EXPECT_EQ(BrowseTree(reopened).size(), tree_.size());

    ASSERT_EQ(deep_->InitProfessionalScan(nullptr), 0);
    EXPECT_EQ(deep_->GetLostFileCount(), 0u) << "a fresh scan does not number on";
}

// ntfsundelete reads the same records its own way: the two lists must name the same deleted
// files (record number, name and size) and the same deleted folders, whether or not the live
// files are listed beside them. It also lists records that carry no name at all ("<none>"):
// those describe no file and are left out here.
TEST_P(NtfsQuickFixtureVolume, AgreesWithNtfsundeleteOnTheDeletedFilesAndFolders) {
    std::set<std::tuple<uint32_t, std::string, uint64_t>> theirs, ours;
    std::set<uint32_t> theirFolders, ourFolders;
    std::ifstream listing(FixtureDir() + "/" + GetParam().name + ".undelete.txt");
    for (std::string line; std::getline(listing, line);) {
        std::istringstream fields(line);
        std::string inode, flags, percent, date, time, size, name;
        if (!(fields >> inode >> flags >> percent >> date >> time >> size) ||
            !std::isdigit(static_cast<unsigned char>(inode[0])) ||
            !std::getline(fields >> std::ws, name) || name == "<none>") {
            continue;
        }
        if (flags[0] == 'D') {
            theirFolders.insert(static_cast<uint32_t>(std::stoul(inode)));
        } else {
            theirs.insert({std::stoul(inode), AsRecordPath(name), std::stoull(size)});
        }
    }
    ASSERT_FALSE(theirs.empty());
    for (const auto& [path, found] : tree_) {
        if (found.node.bIsDir) {
            ourFolders.insert(found.node.uClusterNO);
        } else if (!IsPresentEntry(found.node)) {
            ours.insert({found.node.uClusterNO, Utf8Name(found.node), found.node.u64FileSize});
        }
    }
    EXPECT_EQ(ours, theirs);
    for (uint32_t folder : theirFolders) EXPECT_TRUE(ourFolders.count(folder)) << folder;
}

TEST_P(NtfsQuickFixtureVolume, FreeSpaceWalkAgreesWithTheBitmapAsNtfsToolsReadIt) {
    std::ifstream listing(FixtureDir() + "/" + GetParam().name + ".free.tsv");
    std::string header;
    std::getline(listing, header);
    std::vector<std::pair<uint64_t, uint64_t>> theirs, ours;
    for (uint64_t first, count; listing >> first >> count;) theirs.push_back({first, count});
    ASSERT_FALSE(theirs.empty());

    std::ifstream info(FixtureDir() + "/" + GetParam().name + ".ntfscluster.txt");
    uint64_t freeClusters = 0;
    for (std::string line; std::getline(info, line);) {
        if (line.starts_with("clusters of free space")) {
            freeClusters = std::stoull(line.substr(line.find(':') + 1));
        }
    }
    ASSERT_GT(freeClusters, 0u);

    ASSERT_EQ(quick_->BuildBitMapInfo(), 0);
    const uint64_t spc = quick_->GetSectorsPerCluster();
    uint64_t total = 0;
    unsigned long long start = 0, count = 0;
    for (;;) {
        quick_->GetUnUsedSectorCount(start, count);
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

const Volume kVolumes[] = {{"Quick", false, "ntfs", "ntfs", 0},
                           {"QuickGptPartition", false, "gpt.p2", "gpt", 2},
                           {"Deep", true, "ntfs", "ntfs", 0},
                           {"DeepWithoutBootSector", true, "ntfs", "ntfs", 0, true},
                           {"DeepWithoutTableAt100", true, "ntfs", "ntfs", 0, true, true, 100}};
INSTANTIATE_TEST_SUITE_P(MadeByMkntfs, NtfsFixtureVolume, ::testing::ValuesIn(kVolumes),
                         ::testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(MadeByMkntfs, NtfsQuickFixtureVolume,
                         ::testing::ValuesIn(kVolumes, kVolumes + 2),
                         ::testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(MadeByMkntfs, NtfsDeepFixtureVolume,
                         ::testing::ValuesIn(kVolumes + 2, std::end(kVolumes)),
                         ::testing::PrintToStringParamName());

const Volume kPresentVolumes[] = {
    {"QuickListingLiveFiles", false, "ntfs", "ntfs", 0, false, false, 0, true},
    {"QuickGptPartitionListingLiveFiles", false, "gpt.p2", "gpt", 2, false, false, 0, true},
    {"QuickCompressedListingLiveFiles", false, "ntfs_compressed", "ntfs_compressed", 0, false,
     false, 0, true}};
INSTANTIATE_TEST_SUITE_P(LiveFilesListed, NtfsFixtureVolume, ::testing::ValuesIn(kPresentVolumes),
                         ::testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(LiveFilesListed, NtfsQuickFixtureVolume,
                         ::testing::ValuesIn(kPresentVolumes, kPresentVolumes + 2),
                         ::testing::PrintToStringParamName());

class NtfsBuiltVolumeLiveFiles : public NtfsBuiltVolume {
protected:
    void ScanListing(bool bListLive, bool finish) {
        const PresentFilesListed listing(bListLive);
        Scan(finish);
    }
    bool Marked(const std::string& treePath) { return IsPresentEntry(tree_[treePath].node); }
};

// Live files on a volume built byte by byte: a named stream keeps its own mark beside the live
// one and is read as the stream; a file with two names is listed once, by the name a deleted
// file would be listed by; a live folder is never a file. Files of the records the volume
// keeps for itself, and of the $Extend tree however deep, are never listed. Unasked, no live
// file is, but the live folder above a deleted one is still marked.
TEST_F(NtfsBuiltVolumeLiveFiles, AreListedOnceWithTheirStreamsButNeverTheVolumesOwnFiles) {
    constexpr uint16_t kLive = NTFS_RECORD_IN_USE;
    constexpr uint16_t kLiveFolder = NTFS_RECORD_IN_USE | NTFS_RECORD_IS_FOLDER;
    v_.PutRecord(11, kLiveFolder, {Name(5, u"$Extend")});
    v_.PutRecord(24, kLive, {Name(11, u"$Quota"), v_.Resident(NTFS_ATTR_DATA, Text("q"))});
    v_.PutRecord(25, kLiveFolder, {Name(11, u"$RmMetadata")});
    v_.PutRecord(26, kLiveFolder, {Name(25, u"$Txf")});
    v_.PutRecord(27, kLive, {Name(26, u"log.blf"), v_.Resident(NTFS_ATTR_DATA, Text("t"))});
    v_.PutRecord(20, kLive, {Name(5, u"kept.txt"), v_.Resident(NTFS_ATTR_DATA, Text("k"))});
    v_.PutRecord(30, kLiveFolder, {Name(5, u"Docs")});
    v_.PutRecord(31, kLive,
                 {Name(30, u"notes.txt"), v_.Resident(NTFS_ATTR_DATA, Text("main")),
                  NtfsVolumeBuilder::Named(v_.Resident(NTFS_ATTR_DATA, Text("[ZoneTransfer]")),
                                           u"Zone.Identifier")});
    v_.PutRecord(32, kLive,
                 {Name(30, u"LINKED~1.TXT", NTFS_NAMESPACE_DOS), Name(30, u"linked.txt"),
                  Name(5, u"second name.txt"), v_.Resident(NTFS_ATTR_DATA, Text("one file"))});
    v_.PutRecord(33, 0, {Name(30, u"gone.txt"), v_.Resident(NTFS_ATTR_DATA, Text("gone"))});
    v_.PutRecord(34, kLiveFolder, {Name(30, u"Inner")});

    ScanListing(true, true);
    std::set<std::string> paths;
    for (const auto& [path, found] : tree_) paths.insert(path);
    EXPECT_EQ(paths, (std::set<std::string>{"Docs", "Docs/gone.txt", "Docs/linked.txt",
                                            "Docs/notes.txt", "Docs/notes.txt:Zone.Identifier"}));
    // The volume's own files would not browse (their folders are never listed) but be found.
    std::vector<__SEARCH_FILE_INFO__> hits;
    ASSERT_EQ(engine_->SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), hits), 0);
    std::set<std::string> found;
    for (const __SEARCH_FILE_INFO__& hit : hits) found.insert(Utf8Name(hit));
    EXPECT_EQ(found, (std::set<std::string>{"gone.txt", "linked.txt", "notes.txt",
                                            "notes.txt:Zone.Identifier"}));
    EXPECT_TRUE(Marked("Docs") && Marked("Docs/linked.txt") && Marked("Docs/notes.txt"));
    EXPECT_FALSE(Marked("Docs/gone.txt"));
    const _FILE_NODE_ stream = tree_["Docs/notes.txt:Zone.Identifier"].node;
    EXPECT_TRUE(IsPresentEntry(stream) && IsNtfsNamedStream(stream));
    EXPECT_EQ(Recover("Docs/notes.txt:Zone.Identifier"), Text("[ZoneTransfer]"));
    EXPECT_EQ(Recover("Docs/notes.txt"), Text("main"));
    EXPECT_EQ(Recover("Docs/linked.txt"), Text("one file"));

    ScanListing(false, false);
    paths.clear();
    for (const auto& [path, found] : tree_) paths.insert(path);
    EXPECT_EQ(paths, (std::set<std::string>{"Docs", "Docs/gone.txt"}));
    EXPECT_TRUE(Marked("Docs"));
    EXPECT_FALSE(ListPresentFiles());
}

}  // namespace
