// ferrowen-cli as a user runs it: listing, scanning and recovering disk images through the
// disk table and by path, and refusing bad input with a clear message and nothing written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/fixture.h"

namespace {

using ferrowen::test::CliRun;
using ferrowen::test::FixtureDir;
using ferrowen::test::RunCli;
using ferrowen::test::Sha256OfFile;
using ferrowen::test::TempDir;
using ferrowen::test::UnpackFixture;

std::string TypeFolder(const std::string& name) {
    const std::string ext = name.substr(name.rfind('.') + 1);
    if (ext == "jpg" || ext == "png" || ext == "gif") return "photo";
    if (ext == "txt" || ext == "pdf") return "document";
    return "others";
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = UnpackFixture("demo", dir_);
        hash_ = Sha256OfFile(image_);
        env_ = "XDG_DATA_HOME='" + dir_.path() + "/data' FERROWEN_DISKS='" + image_ + "'";
    }
    void TearDown() override { EXPECT_EQ(Sha256OfFile(image_), hash_); }
    TempDir dir_;
    std::string image_, hash_, env_;
};

TEST_F(CliTest, ListsTheImageAndItsPartitions) {
    const CliRun run = RunCli(env_, "list --json");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\"name\":\"Physical Driver 0\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"name\":\"Partition 1\""), std::string::npos);
    EXPECT_NE(run.out.find("\"start_sector\":38912"), std::string::npos);
}

TEST_F(CliTest, RecoversEachPartitionIntoTypeFoldersByteExact) {
    for (int partition : {1, 2}) {
        const std::string out = dir_.path() + "/out" + std::to_string(partition);
        const CliRun run = RunCli(env_, "recover 0 --partition " + std::to_string(partition) +
                                            " --types photo,document --out '" + out + "'");
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("0 failed"), std::string::npos) << run.out;
        for (const ferrowen::test::DemoFile& f : ferrowen::test::LoadDemoManifest()) {
            if (f.partition != partition) continue;
            const std::string name = f.path.substr(f.path.rfind('/') + 1);
            std::set<std::string> hashes;  // by content: deleted 8.3 names come back as "!..."
            for (const auto& entry :
                 std::filesystem::directory_iterator(out + "/" + TypeFolder(name))) {
                hashes.insert(Sha256OfFile(entry.path().string()));
            }
            EXPECT_EQ(hashes.count(f.sha256), 1u) << f.path;
        }
    }
}

TEST_F(CliTest, ScansAnImageByPathAndPrintsJson) {
    const CliRun run = RunCli("XDG_DATA_HOME='" + dir_.path() + "/data'",
                              "scan '" + image_ + "' --partition 1 --types photo --json");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\"name\":\"!mg_0001.jpg\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"category\":\"Photo\""), std::string::npos);
    EXPECT_EQ(run.out.find("\"category\":\"Music\""), std::string::npos);
}

TEST_F(CliTest, RefusesBadInputWithoutWritingAnything) {
    const std::string out = dir_.path() + "/never";
    struct Case {
        std::string args, message;
    };
    for (const Case& c : std::vector<Case>{
             {"recover /no/such/image.img --out '" + out + "'", "cannot open /no/such/image.img"},
             {"recover 7 --out '" + out + "'", "there is no disk 7"},
             {"recover 0 --partition 9 --out '" + out + "'", "has no partition 9"},
             {"recover 0 --types photos --out '" + out + "'", "unknown file type"},
             {"recover 0", "recover needs --out"},
             {"scan", "a TARGET is needed"},
             {"frobnicate 0", "unknown command"}}) {
        const CliRun run = RunCli(env_, c.args);
        EXPECT_EQ(run.status, 2) << c.args << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.args << "\n" << run.out;
    }
    struct stat st;
    EXPECT_NE(stat(out.c_str(), &st), 0);
}

TEST_F(CliTest, ADestinationThatCannotBeCreatedFailsClearly) {
    const std::string blocker = dir_.path() + "/file";
    std::ofstream(blocker) << "x";
    const CliRun run =
        RunCli(env_, "recover 0 --partition 1 --types photo --out '" + blocker + "/sub'");
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.out.find("cannot use"), std::string::npos) << run.out;
}

}  // namespace

namespace {

// Every file of a fixture volume that the case expects back, by content, anywhere under the
// destination (deleted 8.3 names come back as "!" + the rest, so names are not compared).
struct VolumeCase {
    const char* fixture;    // image to unpack
    const char* manifest;   // ground truth
    const char* partition;  // "--partition K" or ""
    bool liveToo;           // a reformatted volume gives back its live files as well
    size_t misses;          // files known to be out of reach (see the case)
};

std::set<std::string> HashesBelow(const std::string& folder) {
    std::set<std::string> hashes;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) hashes.insert(Sha256OfFile(entry.path().string()));
    }
    return hashes;
}

class CliVolumes : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(CliVolumes, RecoversTheDeletedFilesByteExact) {
    const VolumeCase& c = GetParam();
    TempDir dir;
    const std::string image = UnpackFixture(c.fixture, dir);
    const std::string hash = Sha256OfFile(image);
    const std::string out = dir.path() + "/out";
    const CliRun run = RunCli("XDG_DATA_HOME='" + dir.path() + "/data'",
                              "recover '" + image + "' " + c.partition + " --out '" + out + "'");
    EXPECT_EQ(run.status, 0) << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);
    const std::set<std::string> hashes = HashesBelow(out);
    size_t expected = 0, found = 0;
    for (const auto& entry : ferrowen::test::LoadManifest(c.manifest)) {
        if (entry.isDir || entry.sha256.empty() || entry.size == 0) continue;
        if (!entry.deleted && !c.liveToo) continue;
        ++expected;
        if (hashes.count(entry.sha256)) ++found;
    }
    EXPECT_GT(expected, 0u);
    EXPECT_GE(found + c.misses, expected) << c.fixture;
    EXPECT_EQ(Sha256OfFile(image), hash) << "the scanned image changed";
}

INSTANTIATE_TEST_SUITE_P(
    MadeByRealTools, CliVolumes,
    // The reformatted volume is found by the deep scan alone, behind the new format's quick
    // engine, and gives back every file it held before the format, live ones too.
    ::testing::Values(VolumeCase{"fat12", "fat12", "", false, 0},
                      VolumeCase{"fat16", "fat16", "", false, 0},
                      VolumeCase{"fat32", "fat32", "", false, 0},
                      VolumeCase{"ntfs", "ntfs", "", false, 0},
                      VolumeCase{"mbr", "mbr.p1", "--partition 1", false, 0},
                      VolumeCase{"gpt", "gpt.p1", "--partition 1", false, 0},
                      VolumeCase{"gpt", "gpt.p2", "--partition 2", false, 0},
                      VolumeCase{"fat32_reformat", "fat32_reformat", "", true, 0}),
    [](const ::testing::TestParamInfo<VolumeCase>& info) {
        std::string name = info.param.manifest;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

}  // namespace
