// The scanned disk is never opened for writing: every descriptor the engines open on it, through
// partition listing, quick and deep scans, previews and recoveries, is read-only, and the image
// is byte-identical afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "damage_support.h"
#include "disk/partition_manager.h"
#include "engine/file_recovery_factory.h"
#include "engine/professional_recovery.h"
#include "faulty_io.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace {

using namespace ferrowen::test;

// Everything a user can do with one engine: scan, browse, preview each file and recover all.
void UseFully(IFileRecoveryParse& engine, const std::string& destination) {
    engine.InitCallBack(nullptr, nullptr, nullptr, 100);
    EXPECT_EQ(engine.ScanDevice(nullptr), 0);
    std::vector<__SEARCH_FILE_INFO__> found;
    engine.SearchFileNode(BuildSearchKey(FILE_TYPE_ALL).c_str(), found);
    EXPECT_FALSE(found.empty());
    std::vector<unsigned char> preview(1 << 16);
    char16_t tmp[512];
    for (__SEARCH_FILE_INFO__& f : found) {
        int length = static_cast<int>(preview.size());
        engine.PreView(&f, tmp, 512, preview.data(), length, nullptr, nullptr);
    }
    damage::BrowseFiles(engine, 200);
    CRecoveryJob job(&engine, nullptr, nullptr);
    job.Attach();
    EXPECT_EQ(job.Run(std::vector<_FILE_NODE_>(found.begin(), found.end()),
                      Utf8ToWide(destination.c_str())),
              0);
    EXPECT_EQ(job.Summary().uFailed, 0u);
}

TEST(ReadOnly, EveryDescriptorOnTheDiskIsReadOnlyAndTheDiskIsUnchanged) {
    TempDir dir;
    const std::string image = UnpackFixture("demo", dir);
    const std::string hash = Sha256OfFile(image);
    ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    ::setenv("FERROWEN_DISKS", image.c_str(), 1);
    CLogFileManager::GetInstance()->Init();
    faulty_io::Reset();

    PARTITION_MAP partitions;
    CPartitionManager().GetPartitionItems(partitions);
    ASSERT_EQ(partitions[0].size(), 2u);
    CFileRecoveryFactory* factory = CFileRecoveryFactory::GetInstance();
    int n = 0;
    for (const _PARTITION_ITEM_& p : partitions[0]) {
        const long long start = static_cast<long long>(p.u64StartSector);
        const long long count = static_cast<long long>(p.u64EndSector - p.u64StartSector + 1);
        for (RECOVERY_TYPE type : {RECOVERY_TYPE_FAST, RECOVERY_TYPE_PROFESSIONAL}) {
            std::unique_ptr<IFileRecoveryParse> engine(
                factory->CreateFileRecoveryInstance(0, start, count, u'C', type));
            ASSERT_NE(engine, nullptr);
            if (type == RECOVERY_TYPE_PROFESSIONAL) {
                static_cast<CProfessionalRecovery&>(*engine).SetNotLoadLogFile();
            }
            UseFully(*engine, dir.path() + "/out" + std::to_string(n++));
        }
    }
    // The whole image by its path, as a disk without a partition table is scanned.
    std::unique_ptr<IFileRecoveryParse> whole(factory->CreateFileRecoveryInstance(
        Utf8ToWide(image.c_str()).c_str(), u'C', RECOVERY_TYPE_PROFESSIONAL));
    ASSERT_NE(whole, nullptr);
    UseFully(*whole, dir.path() + "/whole");

    const std::vector<int> opens = faulty_io::OpenFlagsOf(image);
    EXPECT_GE(opens.size(), 10u);
    for (int flags : opens) {
        EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
        EXPECT_EQ(flags & (O_CREAT | O_TRUNC | O_APPEND), 0);
    }
    EXPECT_EQ(Sha256OfFile(image), hash);
    ::unsetenv("FERROWEN_DISKS");
    ::unsetenv("XDG_DATA_HOME");
}

}  // namespace

namespace {

// The proof above is only as good as the wrapper under it: it must see a writable open, and
// it must refuse reads of the bad ranges the way a disk does.
TEST(FaultyIo, SeesEveryOpenAndFailsReadsInBadRanges) {
    TempDir dir;
    const std::string path = dir.path() + "/disk.img";
    {
        std::vector<char> zeros(8192, 'x');
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(zeros.data(), 1, zeros.size(), f);
        std::fclose(f);
    }
    ferrowen::test::faulty_io::Reset();
    const int writable = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writable, 0);
    close(writable);
    ASSERT_EQ(ferrowen::test::faulty_io::OpenFlagsOf(path).size(), 1u);
    EXPECT_EQ(ferrowen::test::faulty_io::OpenFlagsOf(path)[0] & O_ACCMODE, O_RDWR);

    ferrowen::test::faulty_io::FailReads(path, {{4096, 4608}});
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char buf[8192];
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), 4096);  // stops short of the bad sector
    errno = 0;
    EXPECT_EQ(pread(fd, buf, 512, 4096), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(pread(fd, buf, 512, 4608), 512);  // the sector after it reads again
    lseek(fd, 4096, SEEK_SET);
    EXPECT_EQ(read(fd, buf, 512), -1);
    close(fd);
    EXPECT_EQ(ferrowen::test::faulty_io::RefusedReads(), 2u);
    ferrowen::test::faulty_io::Reset();
}

}  // namespace
