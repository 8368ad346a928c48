// ferrowen-cli on damaged and failing media, as a user meets them: a disk with unreadable
// sectors, an image cut short, a boot sector overwritten, a destination that fills up. The
// faults come from faulty_io preloaded into the command line. Every run must end with a clear
// report, give back what the undamaged parts hold, and leave the disk unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "damage_support.h"
#include "support/cli_run.h"
#include "support/fixture.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::damage;

// The preloaded faults; a sanitizer build must be told the library before its runtime is fine.
std::string Faults(const std::string& settings) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return "LD_PRELOAD='" FERROWEN_FAULTY_IO_PATH "' ASAN_OPTIONS='" +
           std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0' " + settings;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

// The demo disk: partition 1 is FAT32 (five deleted files), partition 2 NTFS (three).
std::set<std::string> DemoHashes(int partition) {
    std::set<std::string> hashes;
    for (const DemoFile& f : LoadDemoManifest()) {
        if (f.partition == partition) hashes.insert(f.sha256);
    }
    return hashes;
}

constexpr uint64_t kFatStart = 2048 * 512ull, kNtfsStart = 38912 * 512ull;

class CliDamage : public DamageTest {
protected:
    void SetUp() override {
        DamageTest::SetUp();
        image_ = Image("demo");
        env_ = "XDG_DATA_HOME='" + dir_.path() + "/data' ";
    }
    // Recovers a partition of the image once without faults, to learn where its files lie.
    std::map<std::string, Extent> WhereFilesLie(int partition) {
        const std::string out = Out("whole" + std::to_string(partition));
        const CliRun run = RunCli(env_, "recover '" + image_ + "' --partition " +
                                            std::to_string(partition) + " --out '" + out + "'");
        EXPECT_EQ(run.status, 0) << run.out;
        return LocateFiles(image_, out, partition == 1 ? kFatStart : kNtfsStart);
    }
    std::string image_, env_;
};

TEST_F(CliDamage, OnAFailingDiskReportsTheFileItCannotReadAndRecoversTheRest) {
    const auto where = WhereFilesLie(1);
    const std::set<std::string> wanted = DemoHashes(1);
    std::string victim;
    for (const std::string& h : wanted) {
        if (where.count(h) && where.at(h).size > 8192 && where.at(h).contiguous) victim = h;
    }
    ASSERT_FALSE(victim.empty());
    const uint64_t bad = (where.at(victim).offset + 4096) / 512 * 512;
    const std::string hash = Sha256OfFile(image_);
    // The victim's middle, and the first FAT of the volume, cannot be read.
    const std::string ranges = std::to_string(bad) + "-" + std::to_string(bad + 2048) + "," +
                               std::to_string(kFatStart + 32 * 512) + "-" +
                               std::to_string(kFatStart + 64 * 512);
    const std::string out = Out("out");
    const CliRun run = RunCli(env_ + Faults("FERROWEN_FAULT_READS='" + image_ + "|" + ranges + "'"),
                              "recover '" + image_ + "' --partition 1 --out '" + out + "'");
    EXPECT_EQ(run.status, 1) << run.out;
    const auto failed = LinesWith(run.out, "failed: ");
    ASSERT_EQ(failed.size(), 1u) << run.out;
    EXPECT_NE(failed[0].find("could not be read"), std::string::npos) << failed[0];
    EXPECT_NE(run.out.find(", 1 failed"), std::string::npos) << run.out;
    const std::set<std::string> back = HashesBelow(out);
    EXPECT_EQ(CountIn(wanted, back), wanted.size() - 1);
    EXPECT_EQ(back.count(victim), 0u);
    EXPECT_EQ(Sha256OfFile(image_), hash);
}

TEST_F(CliDamage, OnAnImageCutShortEndsAndGivesBackWhatLiesBeforeTheCut) {
    const auto where = WhereFilesLie(2);
    // Cut through the NTFS volume after its last deleted file's data.
    uint64_t cut = kNtfsStart;
    for (const auto& [hash, e] : where) cut = std::max(cut, e.offset + e.size);
    cut = (cut + 4095) / 4096 * 4096;
    ASSERT_LT(cut, std::filesystem::file_size(image_));
    Truncate(image_, cut);
    const std::string out = Out("out");
    const CliRun run = RunCli(env_, "recover '" + image_ + "' --partition 2 --out '" + out + "'");
    EXPECT_GE(run.status, 0) << run.out;
    EXPECT_LE(run.status, 1) << run.out;
    const std::set<std::string> back = HashesBelow(out);
    for (const auto& [hash, e] : where) {
        if (DemoHashes(2).count(hash) && e.contiguous) {
            EXPECT_EQ(back.count(hash), 1u) << hash;
        }
    }
}

TEST_F(CliDamage, WithAnOverwrittenBootSectorFindsTheFilesThroughTheFolders) {
    Scribble(image_, kFatStart, 512, 11);
    Scribble(image_, kNtfsStart, 512, 12);
    for (int partition : {1, 2}) {
        const std::string out = Out("out" + std::to_string(partition));
        const CliRun run = RunCli(env_, "recover '" + image_ + "' --partition " +
                                            std::to_string(partition) + " --out '" + out + "'");
        EXPECT_EQ(run.status, 0) << run.out;
        const std::set<std::string> wanted = DemoHashes(partition);
        EXPECT_EQ(CountIn(wanted, HashesBelow(out)), wanted.size()) << "partition " << partition;
    }
}

// A card pulled out during the scan: the scan ends at once with a clear message, lists and
// recovers what it had found, and exits 1.
TEST_F(CliDamage, WhenTheDeviceGoesAwayEndsAtOnceAndSaysSo) {
    const uint64_t gone = kNtfsStart + 8 * 1024 * 1024;
    const std::string faults = "FERROWEN_FAULT_READS='" + image_ + "|" + std::to_string(gone) +
                               "-" + std::to_string(std::filesystem::file_size(image_)) +
                               "' FERROWEN_FAULT_READ_ERROR=19";
    const CliRun run = RunCli(env_ + Faults(faults), "scan '" + image_ + "' --partition 2");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("the scan ended early: No such device"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("files found"), std::string::npos) << run.out;
}

TEST_F(CliDamage, IntoAFullDestinationReportsEachFileThatDidNotFit) {
    const std::string out = Out("out");
    std::filesystem::create_directories(out);
    const CliRun run = RunCli(env_ + Faults("FERROWEN_FAULT_WRITE_LIMIT='" + out + "|30000'"),
                              "recover '" + image_ + "' --partition 1 --out '" + out + "'");
    EXPECT_EQ(run.status, 1) << run.out;
    const auto failed = LinesWith(run.out, "failed: ");
    ASSERT_GE(failed.size(), 2u) << run.out;
    for (const std::string& line : failed) {
        EXPECT_NE(line.find("No space left on device"), std::string::npos) << line;
    }
    EXPECT_NE(run.out.find(", " + std::to_string(failed.size()) + " failed"), std::string::npos)
        << run.out;
    uintmax_t kept = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
        if (entry.is_regular_file()) kept += entry.file_size();
    }
    EXPECT_EQ(kept, 30000u);
}

// The same proof as the engines', for the command line's own opens: listing, scanning and
// recovering open the disk image read-only, every time.
// A destination that turned read-only is named as such: its EROFS is the system's error, not
// the engines' code for a disk that could not be read.
TEST_F(CliDamage, IntoAReadOnlyDestinationSaysSo) {
    const std::string out = Out("out");
    std::filesystem::create_directories(out);
    const CliRun run = RunCli(env_ + Faults("FERROWEN_FAULT_WRITE_LIMIT='" + out + "|0' " +
                                            "FERROWEN_FAULT_WRITE_ERROR=" + std::to_string(EROFS)),
                              "recover '" + image_ + "' --partition 1 --out '" + out + "'");
    EXPECT_EQ(run.status, 1) << run.out;
    const auto failed = LinesWith(run.out, "failed: ");
    ASSERT_FALSE(failed.empty()) << run.out;
    for (const std::string& line : failed) {
        EXPECT_NE(line.find("Read-only file system"), std::string::npos) << line;
    }
}

TEST_F(CliDamage, OpensTheDiskReadOnlyInEveryCommand) {
    const std::string hash = Sha256OfFile(image_);
    const std::string log = Out("opens.log");
    const std::string env =
        env_ + "FERROWEN_DISKS='" + image_ + "' " + Faults("FERROWEN_FAULT_OPEN_LOG='" + log + "'");
    EXPECT_EQ(RunCli(env, "list").status, 0);
    EXPECT_EQ(RunCli(env, "scan 0 --partition 1").status, 0);
    EXPECT_EQ(RunCli(env, "recover 0 --partition 2 --out '" + Out("out") + "'").status, 0);
    EXPECT_EQ(RunCli(env, "recover '" + image_ + "' --out '" + Out("whole") + "'").status, 0);
    std::ifstream in(log);
    const std::string resolved = std::filesystem::canonical(image_).string();
    std::string line;
    size_t opens = 0;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || line.substr(tab + 1) != resolved) continue;
        ++opens;
        EXPECT_EQ(std::stoi(line.substr(0, tab)) & O_ACCMODE, O_RDONLY) << line;
    }
    EXPECT_GE(opens, 8u);
    EXPECT_EQ(Sha256OfFile(image_), hash);
}

}  // namespace
