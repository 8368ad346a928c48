// ferrowen-cli as a user runs it: listing, scanning and recovering disk images through the disk
// table and by path, refusing bad input with a clear message and nothing written; and on
// damaged and failing media: a disk with unreadable sectors, an image cut short, a boot sector
// overwritten, a destination that fills up or turns read-only, the faults coming from faulty_io
// preloaded into the command line. Every run must end with a clear report, give back what the
// undamaged parts hold, and leave the disk unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "damage_support.h"
#include "store/log_file_manager.h"
#include "support/cli_run.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::damage;

// The preloaded faults; a sanitizer build must be told the library comes before its runtime.
// The command line inherits the test's scan-log root (XDG_DATA_HOME) and working folder.
std::string Faults(const std::string& settings) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return "LD_PRELOAD='" FERROWEN_FAULTY_IO_PATH "' ASAN_OPTIONS='" +
           std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0' " + settings;
}

std::vector<std::string> FailedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find("failed: ") != std::string::npos) lines.push_back(line);
    return lines;
}

// The demo disk: partition 1 is FAT32 (five deleted files), partition 2 NTFS (three), partition
// 3 exFAT (three).
std::set<std::string> DemoHashes(int partition) {
    std::set<std::string> hashes;
    for (const DemoFile& f : LoadDemoManifest())
        if (f.partition == partition) hashes.insert(f.sha256);
    return hashes;
}

constexpr uint64_t kFatStart = 2048 * 512ull, kNtfsStart = 38912 * 512ull;

class CliDamage : public DamageTest {
protected:
    void SetUp() override {
        DamageTest::SetUp();
        image_ = Image("demo");
        hash_ = Sha256OfFile(image_);
        disks_ = "FERROWEN_DISKS='" + image_ + "'";
    }
    void TearDown() override {
        EXPECT_EQ(Sha256OfFile(image_), hash_);
        DamageTest::TearDown();
    }
    CliRun Recover(int partition, const std::string& out, const std::string& faults = "",
                   const std::string& more = "") {
        return RunCli(faults.empty() ? "" : Faults(faults),
                      "recover '" + image_ + "' --partition " + std::to_string(partition) +
                          " --out '" + out + "' " + more);
    }
    // The rows of a CSV recovery report whose fields hold no commas, header first.
    static std::vector<std::vector<std::string>> ReportRows(const std::string& path) {
        std::vector<std::vector<std::string>> rows;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            std::stringstream fields(line);
            rows.emplace_back();
            for (std::string part; std::getline(fields, part, ',');) rows.back().push_back(part);
        }
        return rows;
    }
    // Recovers a partition once without faults, to learn where its files lie.
    std::map<std::string, Extent> WhereFilesLie(int partition) {
        const std::string out = Out("whole" + std::to_string(partition));
        const CliRun run = Recover(partition, out);
        EXPECT_EQ(run.status, 0) << run.out;
        return LocateFiles(image_, out, partition == 1 ? kFatStart : kNtfsStart);
    }
    // Recovers partition 1 into a destination whose writes fail with error once `bytes` are
    // written; every failure line names the error, and the summary counts them.
    std::vector<std::string> RecoverIntoFailingDestination(uint64_t bytes, int error) {
        const std::string out = Out("out");
        std::filesystem::create_directories(out);
        const CliRun run =
            Recover(1, out,
                    "FERROWEN_FAULT_WRITE_LIMIT='" + out + "|" + std::to_string(bytes) +
                        "' FERROWEN_FAULT_WRITE_ERROR=" + std::to_string(error));
        EXPECT_EQ(run.status, 1) << run.out;
        const auto failed = FailedLines(run.out);
        EXPECT_FALSE(failed.empty()) << run.out;
        for (const std::string& line : failed)
            EXPECT_NE(line.find(std::strerror(error)), std::string::npos) << line;
        EXPECT_NE(run.out.find(", " + std::to_string(failed.size()) + " failed"), std::string::npos)
            << run.out;
        // Only whole files stay: none of the failed ones ("failed: PATH: reason"), no working file.
        for (const std::string& line : failed) {
            const size_t from = line.find("failed: ") + 8;
            EXPECT_FALSE(std::filesystem::exists(line.substr(from, line.rfind(": ") - from)))
                << line;
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(out))
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
        return failed;
    }
    std::string image_, hash_, disks_;  // disks_: the demo disk as disk 0
};

using CliTest = CliDamage;  // the same demo disk, undamaged

// Each disk numbers its partitions as --partition takes them, with their file systems and
// labels; a disk that cannot be opened says why.
TEST_F(CliTest, ListsEachDiskWithItsOwnPartitionNumbersAndWhyOneCannotBeOpened) {
    const CliRun run =
        RunCli("FERROWEN_DISKS='" + image_ + ":/no/such.img:" + image_ + "'", "list");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string volumes =
        "  1  FAT32  \"DEMOFAT\"  18.00 MB  at sector 2048\n"
        "  2  NTFS  \"DEMONTFS\"  16.00 MB  at sector 38912\n"
        "  3  exFAT  \"DEMOEXFAT\"  16.00 MB  at sector 73728\n";
    for (const int disk : {0, 2}) {
        EXPECT_NE(run.out.find("Disk " + std::to_string(disk) + "  " + image_ +
                               "  disk image  56.00 MB\n" + volumes),
                  std::string::npos)
            << run.out;
    }
    EXPECT_NE(run.out.find("Disk 1  /no/such.img  cannot be opened: No such file or directory\n"),
              std::string::npos)
        << run.out;
    const CliRun json = RunCli(disks_, "list --json");
    for (const char* field :
         {"\"name\":\"demo.img\"", "\"image\":true", "\"removable\":false",
          "\"partition\":2,\"name\":\"Partition 2\",\"start_sector\":38912,\"sectors\":32768,"
          "\"bytes\":16777216,\"file_system\":\"NTFS\",\"label\":\"DEMONTFS\""})
        EXPECT_NE(json.out.find(field), std::string::npos) << field << "\n" << json.out;
}

// Deleted 8.3 names come back as "!" + the rest, so each file is looked for by its content
// within its original folder.
TEST_F(CliTest, RecoversEachPartitionIntoItsOriginalFoldersByteExact) {
    for (int partition : {1, 2, 3}) {
        const std::string out = Out("out" + std::to_string(partition));
        const CliRun run = RunCli(disks_, "recover 0 --partition " + std::to_string(partition) +
                                              " --types photo,document --out '" + out + "'");
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("0 failed"), std::string::npos) << run.out;
        for (const DemoFile& f : LoadDemoManifest()) {
            if (f.partition != partition) continue;
            const std::string folder = out + "/" + f.path.substr(0, f.path.rfind('/') + 1);
            EXPECT_EQ(HashesIn(folder).count(f.sha256), 1u) << f.path;
        }
    }
}

// A scan-log folder that cannot be made is no reason to find nothing: a private temporary one
// stands in, the user is told, and it is gone afterwards.
TEST_F(CliTest, AnUnwritableScanLogFolderIsReplacedForTheRunAndSaidSo) {
    const CliRun run = RunCli("XDG_DATA_HOME=/proc/no-such-folder TMPDIR='" + Out("") + "'",
                              "scan '" + image_ + "' --partition 1");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("cannot be written"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("5 files found"), std::string::npos) << run.out;
    for (const auto& entry : std::filesystem::directory_iterator(Out("")))
        EXPECT_EQ(entry.path().filename().string().rfind("ferrowen-", 0), std::string::npos);
}

// A volume no engine knows is said to be one: only lost folders and carving apply there.
TEST_F(CliTest, NamesTheFileSystemOrSaysNoneIsKnown) {
    const CliRun fat = RunCli("", "scan '" + image_ + "' --partition 1 --types photo");
    EXPECT_NE(fat.out.find("): FAT"), std::string::npos) << fat.out;
    std::ofstream(Out("raw.img"), std::ios::binary) << std::string(1 << 20, '\x5a');
    const CliRun raw = RunCli("", "scan '" + Out("raw.img") + "'");
    EXPECT_EQ(raw.status, 0) << raw.out;
    EXPECT_NE(raw.out.find("no file system the engines know"), std::string::npos) << raw.out;
}

// --only keeps the files whose original path matches any of its patterns, in any case.
TEST_F(CliTest, OnlyKeepsTheFilesWhosePathMatches) {
    const auto names = [](const std::string& text) {
        std::set<std::string> found;
        for (size_t at = text.find("\"name\":\""); at != std::string::npos;
             at = text.find("\"name\":\"", at + 1))
            found.insert(text.substr(at + 8, text.find('"', at + 8) - at - 8));
        return found;
    };
    const std::string scan = "scan '" + image_ + "' --partition 1 --json";
    const std::set<std::string> all = names(RunCli("", scan).out);
    const std::set<std::string> photos = names(RunCli("", scan + " --only '*.JPG'").out);
    const std::set<std::string> two =
        names(RunCli("", scan + " --only '*.jpg' --only '/Documents/*'").out);
    ASSERT_FALSE(photos.empty());
    EXPECT_LT(photos.size(), all.size());
    for (const std::string& name : photos)
        EXPECT_TRUE(name.ends_with(".jpg") || name.ends_with(".JPG")) << name;
    EXPECT_GT(two.size(), photos.size());  // the letter lies in /Documents/
    EXPECT_TRUE(two.count("Letter to Anna.txt"));
}

TEST_F(CliTest, ScansAnImageByPathAndPrintsJson) {
    const CliRun run = RunCli("", "scan '" + image_ + "' --partition 1 --types photo --json");
    ASSERT_EQ(run.status, 0) << run.out;
    // Its first letter comes back from the live IMG_0002.jpg beside it.
    EXPECT_NE(run.out.find("\"name\":\"IMG_0001.jpg\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"category\":\"Photo\""), std::string::npos);
    EXPECT_EQ(run.out.find("\"category\":\"Music\""), std::string::npos);
    // No debug log unless asked for: nothing lands in the current folder. Scans are not kept:
    // no scan folder stays behind.
    EXPECT_FALSE(std::filesystem::exists(Out("Log.txt")));
    for (const auto& entry : std::filesystem::directory_iterator(GetScanLogRootPath()))
        EXPECT_FALSE(entry.is_directory()) << entry.path();
}

TEST_F(CliTest, RefusesBadInputWithoutWritingAnything) {
    const std::string out = " --out '" + Out("never") + "'";
    std::ofstream(Out("file")) << "x";
    ASSERT_EQ(mkfifo(Out("fifo").c_str(), 0600), 0);  // an open of it would wait for a writer
    for (const auto& [args, message] : std::vector<std::pair<std::string, std::string>>{
             {"recover /no/such/image.img" + out, "cannot open /no/such/image.img"},
             {"scan '" + Out("fifo") + "'", "neither a disk image file nor a block device"},
             {"scan /dev/zero", "neither a disk image file nor a block device"},
             {"scan '" + Out("") + "'", "Is a directory"},
             {"recover 7" + out, "there is no disk 7"},
             {"recover 0 --partition 9" + out, "has no partition 9"},
             {"recover 0 --types photos" + out, "unknown file type"},
             {"recover 0 --partition 1 --out '" + Out("file/sub") + "'", "cannot use"},
             {"recover 0", "recover needs --out"},
             {"scan", "a TARGET is needed"},
             {"frobnicate 0", "unknown command"}}) {
        const CliRun run = RunCli(disks_, args);
        EXPECT_EQ(run.status, 2) << args << "\n" << run.out;
        EXPECT_NE(run.out.find(message), std::string::npos) << args << "\n" << run.out;
    }
    EXPECT_FALSE(std::filesystem::exists(Out("never")));
}

// Every deleted file of a volume made by real tools comes back by content, anywhere under the
// destination. The parameter names the manifest: "<image>" or "<image>.p<partition>".
class CliVolumes : public DamageTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(CliVolumes, RecoversTheDeletedFilesByteExactUnderTheirOriginalPaths) {
    const std::string manifest = GetParam(), fixture = manifest.substr(0, manifest.find('.'));
    const std::string partition =
        fixture == manifest ? "" : "--partition " + manifest.substr(manifest.find(".p") + 2);
    // The reformatted volume is found by the deep scan alone, behind the new format's quick
    // engine, and gives back every file it held before the format, live ones too.
    const bool liveToo = manifest == "fat32_reformat";
    const std::string image = Image(fixture), hash = Sha256OfFile(image), out = Out("out");
    const CliRun run = RunCli("", "recover '" + image + "' " + partition + " --out '" + out + "'");
    EXPECT_EQ(run.status, 0) << run.out.substr(run.out.size() > 2000 ? run.out.size() - 2000 : 0);
    std::multimap<std::string, std::string> pathsByHash;  // what came back, where
    for (const auto& file : std::filesystem::recursive_directory_iterator(out))
        if (file.is_regular_file())
            pathsByHash.emplace(Sha256OfFile(file.path().string()),
                                std::filesystem::relative(file.path(), out).string());
    // Exactly the original path, but for the first character of a deleted name that only
    // an 8.3 entry held: the deletion mark took it, and it reads '!'.
    const auto samePath = [](const std::string& gotUtf8, const std::string& wantUtf8) {
        const std::u16string got = Utf8ToWide(gotUtf8.c_str()), want = Utf8ToWide(wantUtf8.c_str());
        if (got.size() != want.size()) return false;
        for (size_t i = 0; i < got.size(); ++i) {
            const bool first = i == 0 || want[i - 1] == u'/';
            if (got[i] != want[i] && !(first && got[i] == u'!')) return false;
        }
        return true;
    };
    size_t expected = 0;
    for (const auto& entry : LoadManifest(manifest)) {
        if (entry.isDir || entry.sha256.empty() || entry.size == 0) continue;
        if (!entry.deleted && !liveToo) continue;
        ++expected;
        const auto [from, to] = pathsByHash.equal_range(entry.sha256);
        EXPECT_EQ(std::distance(from, to), 1) << entry.path;
        // A reformatted volume's folders come back as found, not under their old names.
        if (liveToo || from == to) continue;
        EXPECT_TRUE(samePath(from->second, entry.path)) << from->second << " for " << entry.path;
    }
    EXPECT_GT(expected, 0u);
    EXPECT_EQ(Sha256OfFile(image), hash) << "the scanned image changed";
}

INSTANTIATE_TEST_SUITE_P(MadeByRealTools, CliVolumes,
                         ::testing::Values("fat12", "fat16", "fat32", "ntfs", "mbr.p1", "gpt.p1",
                                           "gpt.p2", "fat32_reformat"));

// A partitioned disk without --partition: every partition it lists into its own folder p<K>,
// each deleted file under its original folder there.
struct WholeDisk {
    const char* fixture;
    std::vector<std::pair<int, const char*>> manifests;  // partition K as listed -> manifest
};
class CliWholeDisk : public DamageTest, public ::testing::WithParamInterface<WholeDisk> {};

TEST_P(CliWholeDisk, RecoversEveryPartitionIntoItsOwnFolder) {
    const std::string image = Image(GetParam().fixture), out = Out("out");
    const CliRun run = RunCli("", "recover '" + image + "' --out '" + out + "'");
    EXPECT_EQ(run.status, 0) << run.out;
    for (const auto& [partition, manifest] : GetParam().manifests) {
        for (const auto& entry : LoadManifest(manifest)) {
            if (entry.isDir || !entry.deleted || entry.sha256.empty() || entry.size == 0) continue;
            const std::string folder = out + "/p" + std::to_string(partition) + "/" +
                                       entry.path.substr(0, entry.path.rfind('/') + 1);
            EXPECT_EQ(HashesIn(folder).count(entry.sha256), 1u) << manifest << ": " << entry.path;
        }
    }
    EXPECT_TRUE(std::filesystem::is_directory(out + "/unpartitioned"));
}

INSTANTIATE_TEST_SUITE_P(MadeByRealTools, CliWholeDisk,
                         ::testing::Values(WholeDisk{"mbr", {{1, "mbr.p1"}, {2, "mbr.p5"}}},
                                           WholeDisk{"gpt", {{1, "gpt.p1"}, {2, "gpt.p2"}}}),
                         [](const auto& info) { return std::string(info.param.fixture); });

TEST_F(CliDamage, OnAFailingDiskReportsTheFileItCannotReadAndRecoversTheRest) {
    const auto where = WhereFilesLie(1);
    const std::set<std::string> wanted = DemoHashes(1);
    std::string victim;
    for (const std::string& h : wanted)
        if (where.count(h) && where.at(h).size > 8192 && where.at(h).contiguous) victim = h;
    ASSERT_FALSE(victim.empty());
    const uint64_t bad = (where.at(victim).offset + 4096) / 512 * 512;
    // The victim's middle, and the first FAT of the volume, cannot be read.
    const std::string ranges = std::to_string(bad) + "-" + std::to_string(bad + 2048) + "," +
                               std::to_string(kFatStart + 32 * 512) + "-" +
                               std::to_string(kFatStart + 64 * 512);
    const std::string report = Out("report.csv");
    const CliRun run =
        Recover(1, Out("out"), "FERROWEN_FAULT_READS='" + image_ + "|" + ranges + "'",
                "--report '" + report + "'");
    EXPECT_EQ(run.status, 1) << run.out;
    const auto failed = FailedLines(run.out);
    ASSERT_EQ(failed.size(), 1u) << run.out;
    EXPECT_NE(failed[0].find("could not be read"), std::string::npos) << failed[0];
    EXPECT_NE(run.out.find(", 1 failed"), std::string::npos) << run.out;
    const std::set<std::string> back = HashesBelow(Out("out"));
    EXPECT_EQ(CountIn(wanted, back), wanted.size() - 1);
    EXPECT_EQ(back.count(victim), 0u);
    // The report: every file with the digest of what was written, the failed one with why.
    const auto rows = ReportRows(report);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].front(), "original_path");
    size_t recovered = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 7u);
        if (rows[i][6] == "recovered") {
            ++recovered;
            EXPECT_EQ(rows[i][3], Sha256OfFile(rows[i][1])) << rows[i][0];
        } else {
            EXPECT_NE(rows[i][6].find("could not be read"), std::string::npos) << rows[i][6];
            EXPECT_FALSE(std::filesystem::exists(rows[i][1])) << rows[i][1];
        }
    }
    EXPECT_EQ(recovered + 1, rows.size() - 1);
    // A report already there is never overwritten, and nothing is recovered.
    EXPECT_EQ(Recover(1, Out("again"), "", "--report '" + report + "'").status, 2);
    EXPECT_FALSE(std::filesystem::exists(Out("again")));
}

TEST_F(CliDamage, OnAnImageCutShortEndsAndGivesBackWhatLiesBeforeTheCut) {
    const auto where = WhereFilesLie(2);
    // Cut through the NTFS volume after its last deleted file's data.
    uint64_t cut = kNtfsStart;
    for (const auto& [hash, e] : where) cut = std::max(cut, e.offset + e.size);
    cut = (cut + 4095) / 4096 * 4096;
    ASSERT_LT(cut, std::filesystem::file_size(image_));
    std::filesystem::resize_file(image_, cut);
    hash_ = Sha256OfFile(image_);
    const CliRun run = Recover(2, Out("out"));
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.out;
    const std::set<std::string> back = HashesBelow(Out("out"));
    for (const auto& [hash, e] : where) {
        if (DemoHashes(2).count(hash) && e.contiguous) {
            EXPECT_EQ(back.count(hash), 1u) << hash;
        }
    }
}

TEST_F(CliDamage, WithAnOverwrittenBootSectorFindsTheFilesThroughTheFolders) {
    Scribble(image_, kFatStart, 512, 11);
    Scribble(image_, kNtfsStart, 512, 12);
    hash_ = Sha256OfFile(image_);
    for (int partition : {1, 2}) {
        const std::string out = Out("out" + std::to_string(partition));
        const CliRun run = Recover(partition, out);
        EXPECT_EQ(run.status, 0) << run.out;
        const std::set<std::string> wanted = DemoHashes(partition);
        EXPECT_EQ(CountIn(wanted, HashesBelow(out)), wanted.size()) << "partition " << partition;
    }
}

// A card pulled out during the scan: the scan ends at once with a clear message, lists and
// recovers what it had found, and exits 1.
TEST_F(CliDamage, WhenTheDeviceGoesAwayEndsAtOnceAndSaysSo) {
    const std::string faults =
        "FERROWEN_FAULT_READS='" + image_ + "|" + std::to_string(kNtfsStart + 8 * 1024 * 1024) +
        "-" + std::to_string(kNtfsStart + 15 * 1024 * 1024) + "' FERROWEN_FAULT_READ_ERROR=19";
    const CliRun run = RunCli(Faults(faults), "scan '" + image_ + "' --partition 2 --keep");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("the scan ended early: No such device"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("files found"), std::string::npos) << run.out;
    // Kept, the scan is taken up where it stopped once the device is back, and gives back
    // every file; then it is kept as complete.
    const CliRun kept = RunCli("", "scans");
    ASSERT_NE(kept.out.find("interrupted"), std::string::npos) << kept.out;
    const std::string id = kept.out.substr(5, kept.out.find(' ', 5) - 5);  // "scan ID  ..."
    const CliRun resumed = RunCli("", "recover --scan " + id + " --out '" + Out("back") + "'");
    EXPECT_EQ(resumed.status, 0) << resumed.out;
    EXPECT_NE(resumed.out.find("taking up kept scan " + id), std::string::npos) << resumed.out;
    const std::set<std::string> wanted = DemoHashes(2);
    EXPECT_EQ(CountIn(wanted, HashesBelow(Out("back"))), wanted.size());
    EXPECT_NE(RunCli("", "scans").out.find("complete"), std::string::npos);
}

// Ctrl-C during a scan of a slow device: the scan stops, lists what it found so far, and the
// exit status says the run is incomplete.
TEST_F(CliDamage, AnInterruptedScanListsWhatItFoundAndExits1) {
    const std::string progress = Out("progress.txt"), out = Out("out.txt");
    std::ofstream(Out("run.sh")) << Faults("FERROWEN_FAULT_READS='" + image_ +
                                           "|' FERROWEN_FAULT_READ_DELAY_MS=20")
                                 << " " FERROWEN_CLI_PATH " scan '" << image_
                                 << "' --partition 1 >'" << out << "' 2>'" << progress
                                 << "' &\npid=$!\n"
                                 // The first progress line says the scan has begun;
                                 // every read after it is slow.
                                 << "until grep -q '%' '" << progress
                                 << "' || ! kill -0 $pid; do sleep 0.05; done\n"
                                 << "kill -INT $pid\nwait $pid\n";
    const int status = std::system(("bash '" + Out("run.sh") + "'").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << ReadAll(progress) << ReadAll(out);
    EXPECT_NE(ReadAll(progress).find("scan cancelled"), std::string::npos) << ReadAll(progress);
    EXPECT_NE(ReadAll(out).find("files found"), std::string::npos) << ReadAll(out);
}

TEST_F(CliDamage, IntoAFullDestinationReportsEachFileThatDidNotFit) {
    EXPECT_GE(RecoverIntoFailingDestination(30000, ENOSPC).size(), 2u);
}

// A destination that turned read-only is named as such: its EROFS is the system's error, not
// the engines' code for a disk that could not be read.
TEST_F(CliDamage, IntoAReadOnlyDestinationSaysSo) {
    RecoverIntoFailingDestination(0, EROFS);
}

// The same proof as the engines', for the command line's own opens: listing, scanning and
// recovering open the disk image read-only, every time.
TEST_F(CliDamage, OpensTheDiskReadOnlyInEveryCommand) {
    const std::string log = Out("opens.log");
    const std::string env = disks_ + " " + Faults("FERROWEN_FAULT_OPEN_LOG='" + log + "'");
    EXPECT_EQ(RunCli(env, "list").status, 0);
    EXPECT_EQ(RunCli(env, "scan 0 --partition 1").status, 0);
    EXPECT_EQ(RunCli(env, "recover 0 --partition 2 --out '" + Out("out") + "'").status, 0);
    EXPECT_EQ(RunCli(env, "recover '" + image_ + "' --out '" + Out("whole") + "'").status, 0);
    std::ifstream in(log);
    const std::string resolved = std::filesystem::canonical(image_).string();
    size_t opens = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || line.substr(tab + 1) != resolved) continue;
        ++opens;
        EXPECT_EQ(std::stoi(line.substr(0, tab)) & O_ACCMODE, O_RDONLY) << line;
    }
    EXPECT_GE(opens, 8u);
}

}  // namespace
