// Access to the disk-image fixtures in tests/fixtures (built by tools/make_fixtures.sh) and a
// few helpers the tests share. Every loader throws std::runtime_error when it cannot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ferrowen::test {

// Absolute path of tests/fixtures, without a trailing slash.
std::string FixtureDir();

// A fresh folder under $TMPDIR (or /tmp), absolute, removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Decompresses <FixtureDir()>/<name>.img.gz into dir as <name>.img and returns that path.
std::string UnpackFixture(const std::string& name, const TempDir& dir);

// One line of <name>.manifest.tsv: the ground truth of what a volume holds.
struct ManifestEntry {
    std::string path;    // relative to the volume root, '/'-separated, UTF-8
    long long size;      // bytes; -1 for folders
    std::string sha256;  // lower-case hex; empty for folders and reused deleted files
    bool deleted, isDir;
};

// Reads <FixtureDir()>/<name>.manifest.tsv, e.g. "fat12" or "mbr.p1".
std::vector<ManifestEntry> LoadManifest(const std::string& name);

// One line of <name>.partitions.tsv.
struct PartitionEntry {
    int index;                               // 1-4 primary/extended, 5+ logical (MBR); 1+ (GPT)
    std::uint64_t startSector, sectorCount;  // absolute, 512-byte sectors
    std::string type;                        // "0x0e" style for MBR, type GUID for GPT
    std::string name;                        // GPT name, "-" when there is none
};
std::vector<PartitionEntry> LoadPartitions(const std::string& name);

// One line of demo.manifest.tsv: a deleted file of the bundled demo disk.
struct DemoFile {
    int partition;  // 1: the FAT32 partition, 2: the NTFS partition
    std::string path;
    long long size;
    std::string sha256;
};
std::vector<DemoFile> LoadDemoManifest();

// Lower-case hex SHA-256 of a file's content.
std::string Sha256OfFile(const std::string& path);

}  // namespace ferrowen::test
