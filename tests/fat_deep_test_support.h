// Helpers for the deep FAT parser's tests: feeding an image the way the deep-scan coordinator
// does, building directory entries and small volumes by hand, and reading back the tree.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fat/fat_entry.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/recognisers.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "support/fixture.h"

namespace ferrowen::test::deep {

constexpr uint32_t kSector = 512;

// Hands every sector of [first, end) that looks like a folder's first sector or a run of
// directory entries to the parser, in ascending order, as the coordinator's pass does.
inline size_t FeedImage(CProfessionalFatRecovery& engine, const std::string& image,
                        uint64_t first = 0, uint64_t end = UINT64_MAX) {
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::vector<unsigned char> chunk(128 * kSector);
    size_t fed = 0;
    for (uint64_t sector = first; sector < end;) {
        const ssize_t got =
            pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(sector * kSector));
        if (got < static_cast<ssize_t>(kSector)) break;
        for (size_t at = 0; at + kSector <= static_cast<size_t>(got) && sector < end;
             at += kSector, ++sector) {
            const unsigned char* p = chunk.data() + at;
            if (IsFatFileRecord(p, kSector)) {
                engine.ParseFatFileRecord(p, sector);
                ++fed;
            } else if (IsFatFDTRecord(p, kSector)) {
                engine.ParseFDTFileRecord(p, sector);
                ++fed;
            }
        }
    }
    close(fd);
    return fed;
}

// ---- directory entries --------------------------------------------------------------------

using Entry = std::array<unsigned char, 32>;

constexpr uint16_t kDate2021 = ((2021 - 1980) << 9) | (6 << 5) | 15;
constexpr uint16_t kNoon = 12 << 11;

inline void PutU16(unsigned char* p, uint16_t v) {
    std::memcpy(p, &v, 2);
}
inline void PutU32(unsigned char* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

// An 8.3 entry. name11 is the space-padded upper-case name and extension.
inline Entry ShortEntry(const char* name11, uint8_t attr, uint32_t cluster, uint32_t size,
                        bool deleted = false) {
    Entry e{};
    std::memcpy(e.data(), name11, 11);
    e[0x0B] = attr;
    PutU16(e.data() + 0x0E, kNoon);
    PutU16(e.data() + 0x10, kDate2021);
    PutU16(e.data() + 0x12, kDate2021);
    PutU16(e.data() + 0x14, static_cast<uint16_t>(cluster >> 16));
    PutU16(e.data() + 0x16, kNoon);
    PutU16(e.data() + 0x18, kDate2021);
    PutU16(e.data() + 0x1A, static_cast<uint16_t>(cluster));
    PutU32(e.data() + 0x1C, size);
    if (deleted) e[0] = FAT_ENTRY_DELETED;
    return e;
}

// A file or folder with a long name: its pieces, last piece first, then its 8.3 entry.
inline std::vector<Entry> NamedEntries(const std::u16string& longName, const char* name11,
                                       uint8_t attr, uint32_t cluster, uint32_t size,
                                       bool deleted = false) {
    const uint8_t checksum = GetShortNameCheckSum(reinterpret_cast<const unsigned char*>(name11));
    const size_t pieces = (longName.size() + 12) / 13;
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::vector<Entry> out;
    for (size_t k = pieces; k >= 1; --k) {
        Entry e{};
        e[0] = static_cast<unsigned char>(k | (k == pieces ? 0x40 : 0));
        if (deleted) e[0] = FAT_ENTRY_DELETED;
        e[0x0B] = FAT_ATTR_LONG_NAME;
        e[0x0D] = checksum;
        for (size_t i = 0; i < 13; ++i) {
            const size_t at = (k - 1) * 13 + i;
            const uint16_t unit = at < longName.size()    ? longName[at]
                                  : at == longName.size() ? 0x0000
                                                          : 0xFFFF;
            PutU16(e.data() + kOffsets[i], unit);
        }
        out.push_back(e);
    }
    out.push_back(ShortEntry(name11, attr, cluster, size, deleted));
    return out;
}

inline std::vector<Entry> DotPair(uint32_t self, uint32_t parent) {
    return {ShortEntry(".          ", FAT_ATTR_DIRECTORY, self, 0),
            ShortEntry("..         ", FAT_ATTR_DIRECTORY, parent, 0)};
}

inline void Add(std::vector<Entry>& to, const std::vector<Entry>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// ---- hand-built volumes -------------------------------------------------------------------

// A sparse image file of `sectors` sectors with a FAT32-like layout: clusters of `spc`
// sectors, cluster 2 at absolute sector `base`. Nothing but what the test writes is in it.
class HandImage {
public:
    HandImage(const TempDir& dir, uint64_t sectors, uint32_t spc, uint64_t base)
        : path_(dir.path() + "/hand.img"), spc_(spc), base_(base) {
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(ftruncate(fd_, static_cast<off_t>(sectors * kSector)), 0);
    }
    ~HandImage() {
        if (fd_ >= 0) close(fd_);
    }
    HandImage(const HandImage&) = delete;
    HandImage& operator=(const HandImage&) = delete;

    const std::string& path() const { return path_; }
    uint64_t ClusterSector(uint32_t cluster) const { return base_ + uint64_t{cluster - 2} * spc_; }

    void WriteBytes(uint64_t sector, const void* p, size_t n) {
        ASSERT_EQ(pwrite(fd_, p, n, static_cast<off_t>(sector * kSector)), static_cast<ssize_t>(n));
    }
    // Entries from the first sector of `cluster` on (at most one cluster's worth).
    void WriteEntries(uint64_t sector, const std::vector<Entry>& entries) {
        std::vector<unsigned char> bytes(entries.size() * 32);
        for (size_t i = 0; i < entries.size(); ++i)
            std::memcpy(&bytes[32 * i], entries[i].data(), 32);
        WriteBytes(sector, bytes.data(), bytes.size());
    }
    void WriteFolder(uint32_t cluster, const std::vector<Entry>& entries) {
        WriteEntries(ClusterSector(cluster), entries);
    }
    // Content whose every sector names the cluster and sector it was written to.
    std::string WriteData(uint32_t cluster, size_t bytes) {
        std::string data(bytes, '\0');
        for (size_t i = 0; i < bytes; ++i) {
            data[i] = static_cast<char>('a' + (cluster * 7 + i / kSector * 3 + i) % 26);
        }
        WriteBytes(ClusterSector(cluster), data.data(), data.size());
        return data;
    }

private:
    std::string path_;
    uint32_t spc_;
    uint64_t base_;
    int fd_ = -1;
};

// ---- the tree -----------------------------------------------------------------------------

inline std::string Utf8Name(const _FILE_NODE_& node) {
    return WideToUtf8(Ansi2Unicode(node.szFileName));
}

struct Found {
    _FILE_NODE_ node;
    unsigned int level;  // the level its children are listed with
};

inline void CollectTree(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned int level,
                        const std::string& prefix, std::map<std::string, Found>& out,
                        int depth = 0) {
    if (depth > 64) return;
    std::vector<_FILE_NODE_> children;
    ASSERT_EQ(engine.GetChildrenFileNode(parent, level, children), 0);
    for (const _FILE_NODE_& child : children) {
        std::string path = prefix + Utf8Name(child);
        while (out.count(path) != 0) path += "#";  // two records of one name stay apart
        out[path] = {child, level + 1};
        if (child.bIsDir) {
            _FILE_NODE_ copy = child;
            CollectTree(engine, &copy, level + 1, path + "/", out, depth + 1);
        }
    }
}

inline std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t slash; (slash = path.find('/', from)) != std::string::npos; from = slash + 1) {
        parts.push_back(path.substr(from, slash - from));
    }
    parts.push_back(path.substr(from));
    return parts;
}

// The name a record can carry for a manifest path component: the same text after the trip
// through GB2312 that every record name takes.
inline std::string AsRecordName(const std::string& utf8) {
    return WideToUtf8(Ansi2Unicode(Unicode2Ansi(Utf8ToWide(utf8.c_str()).c_str()).c_str()));
}

// Does a record name stand for this manifest name? Names go through GB2312, where a character
// it lacks becomes '?'; 8.3 names are shown lower-cased; and a deleted 8.3 entry without a
// long name has lost its first character to the deletion mark, shown as '!'.
inline bool ComponentMatches(const std::string& got, const std::string& want) {
    const std::u16string g = Utf8ToWide(got.c_str());
    const std::u16string w = Utf8ToWide(AsRecordName(want).c_str());
    if (g.size() != w.size()) return false;
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    for (size_t i = 0; i < g.size(); ++i) {
        if (g[i] == u'?' || (i == 0 && g[i] == u'!') || lower(g[i]) == lower(w[i])) continue;
        return false;
    }
    return true;
}

inline bool PathMatches(const std::string& recordPath, const std::string& manifestPath) {
    const std::vector<std::string> got = Components(recordPath);
    const std::vector<std::string> want = Components(manifestPath);
    if (got.size() != want.size()) return false;
    for (size_t i = 0; i < got.size(); ++i) {
        if (!ComponentMatches(got[i], want[i])) return false;
    }
    return true;
}

inline std::string ReadFile(const std::string& path) {
    std::string data;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return data;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) data.append(buf, static_cast<size_t>(n));
    close(fd);
    return data;
}

// Points the scan log at a temporary folder and the disk table at one image.
class ScanEnvironment {
public:
    explicit ScanEnvironment(const TempDir& dir, const std::string& image) {
        ::setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
        ::setenv("FERROWEN_DISKS", image.c_str(), 1);
        CLogFileManager::GetInstance()->Init();
    }
    ~ScanEnvironment() {
        ::unsetenv("FERROWEN_DISKS");
        ::unsetenv("XDG_DATA_HOME");
    }
};

}  // namespace ferrowen::test::deep
