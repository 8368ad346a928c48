// Shared pieces of the damaged-media tests: damaging an image the way failing media are
// damaged, running the deep scan and a recovery of everything it finds, and comparing what
// came back with a fixture's manifest by content.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "foundation/recovery_parse.h"
#include "support/fixture.h"

namespace ferrowen::test::damage {

// Overwrites length bytes at offset with bytes drawn from seed (the same seed, the same damage).
void Scribble(const std::string& image, uint64_t offset, uint64_t length, unsigned seed);
// Cuts the image to its first bytes.
void Truncate(const std::string& image, uint64_t bytes);

// Where a FAT volume keeps its structures, read from its boot sector (byte offsets).
struct FatLayout {
    uint64_t fatStart, fatBytes, fatCount, rootStart, rootBytes, dataStart, clusterBytes;
};
FatLayout ReadFatLayout(const std::string& image);
// The byte offsets of a NTFS volume's $MFT and of its mirror.
uint64_t NtfsMftOffset(const std::string& image);
uint64_t NtfsMirrorOffset(const std::string& image);

// Content hashes of a manifest's deleted files that still have content; with a folder given,
// only those below it (folder "" is the root, whose files lie directly in it).
std::set<std::string> DeletedHashes(const std::string& manifest);
std::set<std::string> DeletedHashesBelow(const std::string& manifest, const std::string& folder);
std::set<std::string> HashesBelow(const std::string& folder);
size_t CountIn(const std::set<std::string>& wanted, const std::set<std::string>& got);

// One deep scan of disk 0 (FERROWEN_DISKS) taken whole as the volume, then a recovery of
// every record its search lists into a destination folder.
struct Outcome {
    int scanResult = -1;
    bool engineMade = false;
    size_t listed = 0;
    int recoveryResult = -1;
    RECOVERY_SUMMARY summary;
    std::set<std::string> recovered;  // content hashes of the files written
};

std::unique_ptr<IFileRecoveryParse> DeepEngine(const std::string& image);
Outcome ScanAndRecover(const std::string& image, const std::string& destination);

// Where each file under folder lies in the image, by content hash: the byte offset of its first
// bytes, its size, and whether all of it follows there. Files whose first bytes are not found as
// they are (NTFS files kept inside their record) are left out. The search starts at byte `from`
// (the volume's start: a disk may hold the same file in two volumes).
struct Extent {
    uint64_t offset, size;
    bool contiguous;
};
std::map<std::string, Extent> LocateFiles(const std::string& image, const std::string& folder,
                                          uint64_t from = 0);

// A test with a scan-log root of its own, disk 0 unset and no fault left over from another test.
class DamageTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Image(const std::string& fixture) const;
    std::string Out(const std::string& name) const { return dir_.path() + "/" + name; }

    TempDir dir_;
};

// Every file record of the browse tree, grouped by the engine that produced it.
std::vector<_FILE_NODE_> BrowseFiles(IFileRecoveryParse& engine, size_t most);

}  // namespace ferrowen::test::damage
