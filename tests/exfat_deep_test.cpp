// The deep exFAT parser: a reformatted volume and volumes whose boot regions, FAT or root
// folder were overwritten give back their files byte-exact under their names and folders
// through the deep scan; hand-built sectors cover sets cut by a sector boundary, bad
// checksums and folders that name each other.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/file_recovery_factory.h"
#include "exfat/professional_exfat_recovery.h"
#include "fat_deep_test_support.h"
#include "foundation/bytes.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::deep;

std::set<std::string> FragmentedFiles() {
    std::set<std::string> out;
    std::ifstream in(FixtureDir() + "/exfat.fragmented.txt");
    for (std::string line; std::getline(in, line);) out.insert(line);
    return out;
}

void Scribble(const std::string& image, uint64_t offset, uint64_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good());
}

std::string LastParts(const std::string& path, int parts) {
    size_t at = path.size();
    for (int k = 0; k < parts && at != std::string::npos && at != 0; ++k) {
        at = path.rfind('/', at - 1);
    }
    return at == std::string::npos ? path : path.substr(at + 1);
}

void StoreLe(unsigned char* p, uint64_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) p[k] = static_cast<unsigned char>(value >> (8 * k));
}

enum class Damage { kNone, kBootRegionsAndFat, kMainBootAndRoot };

struct DeepCase {
    const char* label;
    const char* fixture;
    Damage damage;
    bool deletedOnly;    // only the deleted, contiguous files are expected back
    bool rootLost;       // the root folder's own entries are gone
    double minFraction;  // of the expected files
};

class ExfatDeepVolume : public ::testing::TestWithParam<DeepCase> {
protected:
    void SetUp() override {
        image_ = UnpackFixture(GetParam().fixture, dir_);
        Damage();
        env_.emplace(dir_, image_);
        engine_.reset(CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
            0, 0, static_cast<long long>(SectorsOf(image_)), u'C', RECOVERY_TYPE_PROFESSIONAL));
        ASSERT_NE(engine_, nullptr);
        engine_->SetNotLoadLogFile();
        engine_->InitCallBack(nullptr, nullptr, nullptr, 100);
        ASSERT_EQ(engine_->ScanDevice(nullptr), 0);
        CollectTree(*engine_, nullptr, 0, "", tree_);
    }
    void Damage() {
        const std::string head = ReadFile(image_).substr(0, 512);
        const auto* b = reinterpret_cast<const unsigned char*>(head.data());
        const uint64_t fatOffset = uint64_t{LoadU32(b + 0x50)} * 512;
        const uint64_t fatBytes = uint64_t{LoadU32(b + 0x54)} * 512;
        const uint64_t heap = uint64_t{LoadU32(b + 0x58)} * 512;
        const uint64_t cluster = uint64_t{512} << b[0x6D];
        const uint64_t root = heap + (LoadU32(b + 0x60) - 2) * cluster;
        switch (GetParam().damage) {
            case Damage::kNone:
                break;
            case Damage::kBootRegionsAndFat:
                Scribble(image_, 0, 24 * 512, 1);
                Scribble(image_, fatOffset, fatBytes, 2);
                break;
            case Damage::kMainBootAndRoot:
                Scribble(image_, 0, 12 * 512, 3);
                Scribble(image_, root, cluster, 4);
                break;
        }
    }
    std::vector<ManifestEntry> Expected() const {
        const std::string manifest = GetParam().fixture;
        const std::set<std::string> fragmented = FragmentedFiles();
        std::vector<ManifestEntry> out;
        for (const ManifestEntry& e : LoadManifest(manifest)) {
            if (e.isDir || e.sha256.empty() || e.size == 0) continue;
            if (GetParam().deletedOnly && (!e.deleted || fragmented.count(e.path) != 0)) continue;
            if (GetParam().rootLost && e.path.find('/') == std::string::npos) continue;
            out.push_back(e);
        }
        return out;
    }

    TempDir dir_;
    std::string image_;
    std::optional<ScanEnvironment> env_;
    std::unique_ptr<IFileRecoveryParse> engine_;
    Tree tree_;
};

// Every expected file comes back byte-exact under its own name, and under its own folder
// wherever the folder's own entry survived (the root's entries do not, in these cases).
TEST_P(ExfatDeepVolume, GivesBackNamedFilesByteExact) {
    std::map<std::string, std::string> pathOfHash;
    int n = 0;
    for (const auto& [path, found] : tree_) {
        if (found.node.bIsDir || found.node.nFileSource == FILE_SOURCE_FILE_TYPE) continue;
        const std::string target = dir_.path() + "/out" + std::to_string(n++);
        if (Save(*engine_, found, target) != 0) continue;
        pathOfHash.emplace(Sha256OfFile(target), path);
    }
    const std::vector<ManifestEntry> expected = Expected();
    ASSERT_FALSE(expected.empty());
    size_t named = 0;
    for (const ManifestEntry& e : expected) {
        const auto it = pathOfHash.find(e.sha256);
        if (it == pathOfHash.end()) continue;
        const bool inFolder = std::count(e.path.begin(), e.path.end(), '/') >= 2;
        EXPECT_EQ(LastParts(it->second, inFolder ? 2 : 1), LastParts(e.path, inFolder ? 2 : 1));
        ++named;
    }
    EXPECT_GE(named, static_cast<size_t>(GetParam().minFraction * expected.size()))
        << named << " of " << expected.size();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExfatDeepVolume,
                         ::testing::Values(DeepCase{"Reformatted", "exfat_reformat", Damage::kNone,
                                                    false, false, 0.9},
                                           DeepCase{"BootRegionsAndFatScribbled", "exfat",
                                                    Damage::kBootRegionsAndFat, true, false, 1.0},
                                           DeepCase{"MainBootAndRootScribbled", "exfat",
                                                    Damage::kMainBootAndRoot, true, true, 1.0}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- hand-built sectors --------------------------------------------------------------------

// One entry set as a folder holds it: File, Stream Extension and name entries, checksummed.
std::vector<unsigned char> MakeSet(const std::u16string& name, bool folder, uint32_t cluster,
                                   uint64_t valid, uint64_t size) {
    const size_t nameEntries = (name.size() + 14) / 15;
    std::vector<unsigned char> set((2 + nameEntries) * 32, 0);
    set[0] = EXFAT_ENTRY_FILE;
    set[1] = static_cast<unsigned char>(1 + nameEntries);
    set[4] = folder ? kExfatAttrDirectory : 0x20;
    set[0x0C + 3] = 0x52;  // a modification date in 2021
    unsigned char* stream = set.data() + 32;
    stream[0] = EXFAT_ENTRY_STREAM;
    stream[1] = 0x01 | kExfatNoFatChain;
    stream[3] = static_cast<unsigned char>(name.size());
    StoreLe(stream + 8, valid, 8);
    StoreLe(stream + 0x14, cluster, 4);
    StoreLe(stream + 0x18, size, 8);
    for (size_t k = 0; k < name.size(); ++k) {
        unsigned char* e = set.data() + 64 + (k / 15) * 32;
        e[0] = EXFAT_ENTRY_NAME;
        StoreLe(e + 2 + 2 * (k % 15), name[k], 2);
    }
    StoreLe(set.data() + 2, ExfatSetChecksum(set.data(), set.size() / 32), 2);
    return set;
}

// A volume of 512-byte clusters whose cluster 2 lies at sector kHeap; no boot region, so the
// layout must be inferred from the folders.
class ExfatDeepHandVolume : public ::testing::Test {
protected:
    static constexpr uint64_t kHeap = 16;
    static constexpr uint64_t SectorOf(uint32_t cluster) { return kHeap + cluster - 2; }

    void Put(uint64_t sector, size_t entry, const std::vector<unsigned char>& bytes) {
        std::copy(bytes.begin(), bytes.end(), image_.begin() + sector * 512 + entry * 32);
    }
    void Scan() {
        path_ = dir_.path() + "/hand.img";
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(image_.data()), image_.size());
        env_.emplace(dir_, path_);
        ASSERT_EQ(engine_.Init(0, 0, static_cast<long long>(image_.size() / 512), u'C'), 0);
        ASSERT_EQ(engine_.BeginPass(nullptr), 0);
        for (uint64_t s = 0; s < image_.size() / 512; ++s) {
            if (IsExfatDirectorySector(image_.data() + s * 512, 512))
                engine_.ParseDirectorySector(image_.data() + s * 512, s);
        }
        ASSERT_EQ(engine_.EndPass(), 0);
        CollectTree(engine_, nullptr, 0, "", tree_);
    }
    std::vector<std::string> FilePaths() const {
        std::vector<std::string> out;
        for (const auto& [path, found] : tree_)
            if (!found.node.bIsDir) out.push_back(path);
        return out;
    }

    std::vector<unsigned char> image_ = std::vector<unsigned char>(128 * 512, 0);
    TempDir dir_;
    std::string path_;
    std::optional<ScanEnvironment> env_;
    CProfessionalExfatRecovery engine_;
    Tree tree_;
};

// Folder A (cluster 10) names folder B (cluster 20) and two files, one with a bad checksum;
// B names A back. A set cut by the sector boundary of a two-cluster folder C is joined.
TEST_F(ExfatDeepHandVolume, JoinsCutSetsSkipsBadChecksumsAndBreaksFolderLoops) {
    Put(SectorOf(10), 0, MakeSet(u"B", true, 20, 512, 512));
    Put(SectorOf(10), 3, MakeSet(u"C", true, 40, 1024, 1024));
    Put(SectorOf(10), 6, MakeSet(u"a.txt", false, 30, 100, 600));
    std::vector<unsigned char> bad = MakeSet(u"bad.txt", false, 31, 10, 10);
    bad[2] ^= 1;
    Put(SectorOf(10), 9, bad);
    Put(SectorOf(20), 0, MakeSet(u"A", true, 10, 512, 512));
    Put(SectorOf(20), 3, MakeSet(u"b.txt", false, 32, 5, 5));
    // A set cut in two: two entries at the end of C's first cluster, three in its second.
    Put(SectorOf(40), 0, MakeSet(u"c.txt", false, 34, 1, 1));
    Put(SectorOf(40), 3, MakeSet(std::u16string(130, u'n'), false, 35, 1, 1));
    Put(SectorOf(40), 14, MakeSet(u"a name cut in two by the boundary.txt", false, 33, 7, 7));
    for (int k = 0; k < 100; ++k) image_[SectorOf(30) * 512 + k] = static_cast<uint8_t>(k + 1);
    std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(SectorOf(30) * 512 + 100), 412, 0xEE);
    EXPECT_TRUE(IsExfatDirectorySector(image_.data() + SectorOf(40) * 512, 512));
    EXPECT_TRUE(IsExfatDirectorySector(image_.data() + SectorOf(41) * 512, 512));
    Scan();

    EXPECT_EQ(engine_.Layout().u64HeapSector, kHeap);
    EXPECT_EQ(engine_.Layout().uSectorsPerCluster, 1u);
    std::map<std::string, std::string> byName;
    for (const std::string& path : FilePaths()) byName[LastParts(path, 1)] = path;
    ASSERT_EQ(byName.size(), 5u) << ::testing::PrintToString(FilePaths());
    EXPECT_EQ(LastParts(byName["a.txt"], 2), "A/a.txt");
    EXPECT_EQ(LastParts(byName["b.txt"], 2), "B/b.txt");
    EXPECT_EQ(LastParts(byName["a name cut in two by the boundary.txt"], 2),
              "C/a name cut in two by the boundary.txt");

    // Past the valid length the data reads as zeros, not as what the cluster holds.
    const std::string target = dir_.path() + "/a.txt";
    ASSERT_EQ(Save(engine_, tree_.at(byName["a.txt"]), target), 0);
    std::string want(600, '\0');
    for (int k = 0; k < 100; ++k) want[k] = static_cast<char>(k + 1);
    EXPECT_EQ(ReadFile(target), want);
    EXPECT_EQ(ReadFile(path_), std::string(image_.begin(), image_.end())) << "image written";
}

// Sectors that merely open with an entry type byte are not taken for folders.
TEST(ExfatDirectorySector, RefusesNoise) {
    std::mt19937 random(7);
    std::vector<unsigned char> sector(512);
    int accepted = 0;
    for (int round = 0; round < 2000; ++round) {
        for (unsigned char& b : sector) b = static_cast<unsigned char>(random());
        sector[0] = (round % 2) ? EXFAT_ENTRY_FILE : EXFAT_ENTRY_NAME;
        accepted += IsExfatDirectorySector(sector.data(), sector.size()) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 0);
    std::vector<unsigned char> set = MakeSet(u"x", false, 5, 1, 1);
    std::fill(sector.begin(), sector.end(), 0);
    std::copy(set.begin(), set.end(), sector.begin());
    EXPECT_TRUE(IsExfatDirectorySector(sector.data(), sector.size()));
    sector[2] ^= 1;  // a lone set with a bad checksum, nothing else
    EXPECT_FALSE(IsExfatDirectorySector(sector.data(), sector.size()));
}

}  // namespace
