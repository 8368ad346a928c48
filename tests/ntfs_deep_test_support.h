// Shared by the NTFS tests: a scan-log root in a temporary folder, images of the committed
// fixtures, the deep-scan coordinator's record pass, the tree a user browses, recoveries, and
// small volumes built byte by byte and scanned by either engine.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/recognisers.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "ntfs_test_image.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace ferrowen::test::ntfs {

constexpr uint64_t kSector = 512;
// Where the committed NTFS image keeps things (512-byte sectors, 4 KiB clusters).
constexpr uint64_t kFixtureSectors = 32768;
constexpr uint64_t kMftSector = 32;        // record 0
constexpr uint64_t kMirrorSector = 16376;  // $MFTMirr's copy of record 0

using Image = std::vector<unsigned char>;

inline Image ReadImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Image(std::istreambuf_iterator<char>(in), {});
}

inline void WriteImage(const std::string& path, const Image& image) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
}

inline void ZeroSectors(Image& image, uint64_t first, uint64_t count) {
    std::memset(image.data() + first * kSector, 0, count * kSector);
}

// The store and every temporary file go below a temporary folder, never the real home.
class NtfsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", (dir_.path() + "/data").c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    void TearDown() override {
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
    std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }
    std::u16string WidePath(const std::string& name) const {
        return Utf8ToWide(Path(name).c_str());
    }
    Image Fixture(const std::string& name) { return ReadImage(UnpackFixture(name, dir_)); }

    TempDir dir_;
};

// The coordinator's pass: every sector that passes the FILE-record test is handed over with
// its sector, one record's bytes at a time.
inline void FeedRecords(CProfessionalNtfsRecovery& engine, const Image& image) {
    const uint64_t record = CProfessionalNtfsRecovery::kBytesPerRecord;
    for (uint64_t offset = 0; offset + record <= image.size(); offset += kSector) {
        if (!IsNtfsFileRecord(image.data() + offset, static_cast<int>(record))) continue;
        engine.ParseNtfsFileRecord(image.data() + offset, static_cast<int>(record),
                                   offset / kSector);
    }
}

// A whole deep scan of an image file as the coordinator drives it.
inline void DeepScan(CProfessionalNtfsRecovery& engine, const std::string& path, const Image& image,
                     char16_t wcDrive = u'C') {
    ASSERT_EQ(engine.Init(Utf8ToWide(path.c_str()).c_str(), wcDrive), 0);
    ASSERT_EQ(engine.InitProfessionalScan(nullptr), 0);
    FeedRecords(engine, image);
    ASSERT_EQ(engine.ParseProfessionalRecordVec(), 0);
}

inline std::string Utf8Name(const _FILE_NODE_& node) {
    return WideToUtf8(Ansi2Unicode(node.szFileName));
}

// A manifest path as record names carry it: through GB2312 and back.
inline std::string AsRecordPath(const std::string& utf8) {
    return WideToUtf8(Ansi2Unicode(Unicode2Ansi(Utf8ToWide(utf8.c_str()).c_str()).c_str()));
}

struct Browsed {
    _FILE_NODE_ node;
    unsigned int uChildLevel;  // the level its children are listed with
};
using Tree = std::map<std::string, Browsed>;

// Every node of the tree by its path, as a user browsing from the root sees it.
inline void BrowseTree(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned int level,
                       const std::string& prefix, Tree& out) {
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(engine.GetChildrenFileNode(parent, level, children), 0);
    ASSERT_LT(level, 64u) << "the tree does not end below " << prefix;
    for (const _FILE_NODE_& child : children) {
        const std::string path = prefix + Utf8Name(child);
        out[path] = {child, level + 1};
        if (child.bIsDir) {
            _FILE_NODE_ copy = child;
            BrowseTree(engine, &copy, level + 1, path + "/", out);
        }
    }
}

inline Tree BrowseTree(IFileRecoveryParse& engine) {
    Tree tree;
    BrowseTree(engine, nullptr, 0, "", tree);
    return tree;
}

// The base that makes a folder recovered to target list its children at the level it browses.
inline int FolderBase(const std::string& target, unsigned int uChildLevel) {
    unsigned int separators = 0;
    GetPathDirIndex(Utf8ToWide(target.c_str()).c_str(), separators);
    return static_cast<int>(separators) - static_cast<int>(uChildLevel);
}

// The SHA-256 of one file recovered to target ("" on failure).
inline std::string RecoverSha(IFileRecoveryParse& engine, const _FILE_NODE_& node,
                              const std::string& target) {
    _FILE_NODE_ copy = node;
    if (engine.SaveFileData(&copy, Utf8ToWide(target.c_str()).c_str(), 0) != 0) return "";
    return Sha256OfFile(target);
}

struct Report {
    int percent, weight, error;
    std::string path;
};

// Every recovery report, in order.
struct Recorder {
    std::vector<Report> reports;

    static int On(void* ctx, int percent, int weight, int error, const char16_t* path) {
        static_cast<Recorder*>(ctx)->reports.push_back({percent, weight, error, WideToUtf8(path)});
        return 0;
    }
};

enum class Engine { Quick, Deep };
inline void PrintTo(Engine e, std::ostream* os) {
    *os << (e == Engine::Quick ? "Quick" : "Deep");
}

// The image at path scanned by the engine: the quick scan, or the deep parser as the coordinator
// drives it.
inline std::unique_ptr<CStoreEngine> ScanWith(Engine engine, const std::string& path,
                                              const Image& image, char16_t wcDrive = u'E') {
    if (engine == Engine::Deep) {
        auto deep = std::make_unique<CProfessionalNtfsRecovery>();
        DeepScan(*deep, path, image, wcDrive);
        return deep;
    }
    auto quick = std::make_unique<CFastNtfsRecovery>();
    EXPECT_EQ(quick->Init(Utf8ToWide(path.c_str()).c_str(), wcDrive), 0);
    EXPECT_EQ(quick->ScanDevice(nullptr), 0);
    return quick;
}

inline Bytes Name(uint32_t parent, const std::u16string& name, uint8_t ns = NTFS_NAMESPACE_WIN32) {
    return NtfsVolumeBuilder::FileName(parent, name, ns);
}

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes Pattern(size_t n, unsigned char seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed + i * 7 + i / 251);
    return b;
}

// A volume of 2 MiB, 4 KiB clusters, the $MFT at clusters 4-19 (64 records) and $Bitmap at
// cluster 20, built by the test and scanned by the case's engine (the quick one by default).
class NtfsBuiltVolume : public NtfsTest {
protected:
    NtfsBuiltVolume() { v_.SetMftRuns({{4, 16}}); }
    bool Deep() const { return kind_ == Engine::Deep; }
    // A deleted file (unless flags say otherwise) holding text, and a deleted folder.
    void File(uint64_t n, uint32_t parent, const std::u16string& name, const std::string& text,
              uint16_t flags = 0) {
        v_.PutRecord(n, flags, {Name(parent, name), v_.Resident(NTFS_ATTR_DATA, Text(text))});
    }
    void Folder(uint64_t n, uint32_t parent, const std::u16string& name) {
        v_.PutRecord(n, NTFS_RECORD_IS_FOLDER, {Name(parent, name)});
    }
    void Scan(bool finish = true) {
        if (finish) v_.Finish(20);
        v_.Save(Path("volume.img"));
        engine_ = ScanWith(kind_, Path("volume.img"), v_.image());
        quick_ = dynamic_cast<CFastNtfsRecovery*>(engine_.get());
        deep_ = dynamic_cast<CProfessionalNtfsRecovery*>(engine_.get());
        engine_->InitCallBack(nullptr, &Recorder::On, &recorder_, 100);
        tree_ = BrowseTree(*engine_);
    }
    // Recovers one listed file to a fresh path and returns its bytes.
    Bytes Recover(const std::string& treePath, int expected = 0) {
        EXPECT_EQ(tree_.count(treePath), 1u) << treePath;
        const std::string target = Path("out" + std::to_string(++recovered_));
        EXPECT_EQ(
            engine_->SaveFileData(&tree_[treePath].node, Utf8ToWide(target.c_str()).c_str(), 0),
            expected)
            << treePath;
        return ReadImage(target);
    }

    NtfsVolumeBuilder v_{4096, 8};
    Engine kind_ = Engine::Quick;
    std::unique_ptr<CStoreEngine> engine_;
    CFastNtfsRecovery* quick_ = nullptr;
    CProfessionalNtfsRecovery* deep_ = nullptr;
    Tree tree_;
    Recorder recorder_;
    int recovered_ = 0;
};

class EitherEngine : public NtfsBuiltVolume, public ::testing::WithParamInterface<Engine> {
protected:
    EitherEngine() { kind_ = GetParam(); }
};

}  // namespace ferrowen::test::ntfs
