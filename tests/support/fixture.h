// Access to the disk-image fixtures in tests/fixtures (built by
// tools/make_fixtures.sh) and a few helpers the tests share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ferrowen::test {

// Absolute path of tests/fixtures, without a trailing slash.
std::string FixtureDir();

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes away. Tests may chdir into it; the path stays absolute.
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

// Decompresses <FixtureDir()>/<name>.img.gz into dir as <name>.img and
// returns that path. Throws std::runtime_error when it cannot.
std::string UnpackFixture(const std::string& name, const TempDir& dir);

// One line of <name>.manifest.tsv: the ground truth of what a volume holds.
struct ManifestEntry {
    std::string path;    // relative to the volume root, '/'-separated, UTF-8
    long long size;      // bytes; -1 for folders
    std::string sha256;  // lower-case hex; empty for folders and for deleted
                         // files whose clusters were reused by later writes
    bool deleted;
    bool isDir;
};

// Reads <FixtureDir()>/<name>.manifest.tsv, e.g. "fat12" or "mbr.p1".
// Throws std::runtime_error on a missing or malformed file.
std::vector<ManifestEntry> LoadManifest(const std::string& name);

// One line of <name>.partitions.tsv.
struct PartitionEntry {
    int index;                  // 1-4 primary/extended, 5+ logical (MBR); 1+ (GPT)
    std::uint64_t startSector;  // absolute, 512-byte sectors
    std::uint64_t sectorCount;
    std::string type;  // "0x0e" style for MBR, type GUID for GPT
    std::string name;  // GPT name, "-" when there is none
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

// Lower-case hex SHA-256 of a file's content. Throws std::runtime_error.
std::string Sha256OfFile(const std::string& path);

}  // namespace ferrowen::test
