// Recovery into a destination that fills up, through every engine that writes files: each file
// that could not be written whole is reported failed with the disk's error, what was written
// stays on disk, and no failed file is ever counted as recovered.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

#include "damage_support.h"
#include "faulty_io.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using namespace ferrowen::test;
using namespace ferrowen::test::damage;

struct Written {
    uintmax_t size;
    std::string sha256;
};

// Every file below folder by its path relative to it.
std::map<std::string, Written> FilesBelow(const std::string& folder) {
    std::map<std::string, Written> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        const std::string relative = std::filesystem::relative(entry.path(), folder).string();
        files[relative] = {entry.file_size(), Sha256OfFile(entry.path().string())};
    }
    return files;
}

// Up to `each` files of every engine that produced some, none of them empty.
std::vector<_FILE_NODE_> SomeFilesOfEverySource(IFileRecoveryParse& engine, size_t each) {
    std::map<uint32_t, size_t> taken;
    std::vector<_FILE_NODE_> picked;
    for (const _FILE_NODE_& f : BrowseFiles(engine, 4000)) {
        if (f.u64FileSize == 0 || f.u64FileSize > (1u << 20) || taken[f.nFileSource] >= each) {
            continue;
        }
        ++taken[f.nFileSource];
        picked.push_back(f);
    }
    return picked;
}

class FullDestination : public DamageTest, public ::testing::WithParamInterface<const char*> {
protected:
    RECOVERY_SUMMARY Recover(IFileRecoveryParse& engine, const std::vector<_FILE_NODE_>& files,
                             const std::string& destination) {
        CRecoveryJob job(&engine, nullptr, nullptr);
        job.Attach();
        EXPECT_EQ(job.Run(files, Utf8ToWide(destination.c_str())), 0);
        return job.Summary();
    }
};

TEST_P(FullDestination, ReportsEveryFileThatDidNotFitAndKeepsWhatWasWritten) {
    const std::string image = Image(GetParam());
    std::unique_ptr<IFileRecoveryParse> engine = DeepEngine(image);
    ASSERT_NE(engine, nullptr);
    engine->InitCallBack(nullptr, nullptr, nullptr, 100);
    ASSERT_EQ(engine->ScanDevice(nullptr), 0);
    const std::vector<_FILE_NODE_> files = SomeFilesOfEverySource(*engine, 5);
    std::set<uint32_t> sources;
    for (const _FILE_NODE_& f : files) sources.insert(f.nFileSource);
    EXPECT_GE(sources.size(), 2u);

    // The same records into a roomy folder first: what each file must hold when it fits.
    const std::string roomy = Out("roomy");
    const RECOVERY_SUMMARY all = Recover(*engine, files, roomy);
    ASSERT_EQ(all.uFailed, 0u);
    const std::map<std::string, Written> whole = FilesBelow(roomy);
    uintmax_t total = 0;
    for (const auto& [path, w] : whole) total += w.size;

    const std::string full = Out("full");
    std::filesystem::create_directories(full);
    const uint64_t budget = total / 2;
    faulty_io::LimitWrites(full, budget);
    const RECOVERY_SUMMARY limited = Recover(*engine, files, full);
    faulty_io::Reset();

    EXPECT_EQ(limited.uRecovered + limited.uFailed, files.size());
    EXPECT_GE(limited.uFailed, 1u);
    EXPECT_EQ(limited.failures.size(), limited.uFailed);
    std::set<std::string> failed;
    for (const auto& [path, error] : limited.failures) {
        EXPECT_EQ(error, ENOSPC) << WideToUtf8(path.c_str());
        failed.insert(std::filesystem::relative(WideToUtf8(path.c_str()), full).string());
    }
    uintmax_t kept = 0;
    for (const auto& [path, w] : FilesBelow(full)) {
        kept += w.size;
        ASSERT_TRUE(whole.count(path)) << path;
        if (failed.count(path)) {
            EXPECT_LT(w.size, whole.at(path).size) << path;
        } else {
            EXPECT_EQ(w.sha256, whole.at(path).sha256) << path << " reported recovered";
        }
    }
    // Every byte the destination took is still there: nothing written was thrown away.
    EXPECT_EQ(kept, budget);
}

INSTANTIATE_TEST_SUITE_P(EveryEngine, FullDestination, ::testing::Values("fat16", "ntfs", "demo"));

}  // namespace
