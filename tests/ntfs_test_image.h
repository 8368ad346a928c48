// A small NTFS volume built byte by byte, for the shapes real volumes take rarely or only when
// damaged: $MFT runs smaller than a record, attribute lists, holes, DOS names first, reused
// parent records. 512-byte sectors and 1,024-byte records, as mkntfs makes them; only what the
// scans read is filled in. Shared by the NTFS tests, a benchmark and the quick-record fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ntfs/ntfs_parse.h"

namespace ferrowen::test {

using Bytes = std::vector<unsigned char>;

// One run of an attribute: an absolute first cluster (-1: a hole) and its length.
struct TestRun {
    int64_t lcn;
    uint64_t clusters;
};

inline void PutLe(Bytes& v, size_t at, uint64_t x, size_t width) {
    for (size_t i = 0; i < width; ++i) v[at + i] = static_cast<unsigned char>(x >> (8 * i));
}

class NtfsVolumeBuilder {
public:
    static constexpr uint32_t kSectorBytes = 512;
    static constexpr uint32_t kRecordBytes = 1024;

    NtfsVolumeBuilder(uint32_t sectors, uint32_t sectorsPerCluster)
        : image_(size_t{sectors} * kSectorBytes, 0), spc_(sectorsPerCluster) {
        used_.assign(Clusters(), false);
        MarkUsed(0, 1);
    }

    uint32_t ClusterBytes() const { return spc_ * kSectorBytes; }
    uint64_t Clusters() const { return image_.size() / ClusterBytes(); }
    Bytes& image() { return image_; }

    // Where the table lies, in table order. Records are written through these runs.
    void SetMftRuns(const std::vector<TestRun>& runs) {
        mftRuns_ = runs;
        for (const TestRun& r : runs) MarkUsed(static_cast<uint64_t>(r.lcn), r.clusters);
    }
    void MarkUsed(uint64_t lcn, uint64_t clusters) {
        for (uint64_t c = lcn; c < lcn + clusters && c < used_.size(); ++c) used_[c] = true;
    }
    void WriteBytes(uint64_t lcn, const Bytes& data) {
        std::copy(data.begin(), data.end(),
                  image_.begin() + static_cast<long>(lcn * ClusterBytes()));
    }

    // Four-byte lengths and offsets: the engines decode any width.
    static Bytes MappingPairs(const std::vector<TestRun>& runs) {
        Bytes out;
        int64_t previous = 0;
        for (const TestRun& r : runs) {
            const size_t at = out.size();
            out.resize(at + (r.lcn >= 0 ? 9 : 5));
            out[at] = r.lcn >= 0 ? 0x44 : 0x04;
            PutLe(out, at + 1, r.clusters, 4);
            if (r.lcn >= 0) PutLe(out, at + 5, static_cast<uint64_t>(r.lcn - previous), 4);
            if (r.lcn >= 0) previous = r.lcn;
        }
        out.push_back(0);
        return out;
    }

    static Bytes FileName(uint32_t parent, const std::u16string& name,
                          uint8_t ns = NTFS_NAMESPACE_WIN32, uint64_t size = 0) {
        Bytes a(Align8(24 + 66 + name.size() * 2), 0);
        Header(a, NTFS_ATTR_FILE_NAME, false);
        PutLe(a, 0x10, 66 + name.size() * 2, 4);
        PutLe(a, 0x14, 24, 2);
        PutLe(a, 24, parent | (uint64_t{1} << 48), 8);
        PutLe(a, 32, 132000000000000000ull, 8);
        PutLe(a, 40, 132000000000000001ull, 8);
        PutLe(a, 56, 132000000000000002ull, 8);
        PutLe(a, 72, size, 8);
        a[88] = static_cast<unsigned char>(name.size());
        a[89] = ns;
        for (size_t i = 0; i < name.size(); ++i) PutLe(a, 90 + 2 * i, name[i], 2);
        return a;
    }

    static Bytes Resident(uint32_t type, const Bytes& value) {
        Bytes a(Align8(24 + value.size()), 0);
        Header(a, type, false);
        PutLe(a, 0x10, value.size(), 4);
        PutLe(a, 0x14, 24, 2);
        std::copy(value.begin(), value.end(), a.begin() + 24);
        return a;
    }

    // A non-resident attribute with the mapping pairs (end marker included) and sizes given.
    static Bytes NonResidentPairs(uint32_t type, const Bytes& pairs, uint64_t allocated,
                                  uint64_t realSize, uint64_t startVcn = 0, uint64_t clusters = 1) {
        Bytes a(Align8(0x40 + pairs.size()), 0);
        Header(a, type, true);
        PutLe(a, 0x10, startVcn, 8);
        PutLe(a, 0x18, startVcn + clusters - 1, 8);
        PutLe(a, 0x20, 0x40, 2);
        PutLe(a, 0x28, allocated, 8);
        PutLe(a, 0x30, realSize, 8);
        PutLe(a, 0x38, realSize, 8);
        std::memcpy(a.data() + 0x40, pairs.data(), pairs.size());
        return a;
    }

    Bytes NonResident(uint32_t type, const std::vector<TestRun>& runs, uint64_t realSize,
                      uint64_t startVcn = 0) const {
        uint64_t clusters = 0;
        for (const TestRun& r : runs) clusters += r.clusters;
        return NonResidentPairs(type, MappingPairs(runs), clusters * ClusterBytes(), realSize,
                                startVcn, clusters);
    }

    // The attribute `plain` (built by Resident or NonResident) named `name`: the name goes
    // where the value or the mapping pairs began, and they move up behind it.
    static Bytes Named(const Bytes& plain, const std::u16string& name) {
        const bool nonResident = plain[8] != 0;
        const size_t start = nonResident ? 0x40 : 0x18;
        const size_t shift = Align8(2 * name.size());
        Bytes a(plain.begin(), plain.begin() + start);
        a.resize(start + shift, 0);
        for (size_t i = 0; i < name.size(); ++i) PutLe(a, start + 2 * i, name[i], 2);
        a.insert(a.end(), plain.begin() + start, plain.end());
        a[9] = static_cast<uint8_t>(name.size());
        PutLe(a, 0x0A, start, 2);
        PutLe(a, nonResident ? 0x20 : 0x14, start + shift, 2);
        PutLe(a, 4, a.size(), 4);
        return a;
    }

    // Entries (type, first VCN, record) of a resident attribute list.
    static Bytes AttributeList(const std::vector<std::tuple<uint32_t, uint64_t, uint64_t>>& e) {
        Bytes value(32 * e.size(), 0);
        for (size_t i = 0; i < e.size(); ++i) {
            PutLe(value, 32 * i, std::get<0>(e[i]), 4);
            PutLe(value, 32 * i + 4, 32, 2);
            value[32 * i + 7] = 26;
            PutLe(value, 32 * i + 8, std::get<1>(e[i]), 8);
            PutLe(value, 32 * i + 16, std::get<2>(e[i]) | (uint64_t{1} << 48), 8);
        }
        return Resident(NTFS_ATTR_ATTRIBUTE_LIST, value);
    }

    // A FILE record as it reads after its fix-up: header, attributes, end marker.
    static Bytes RecordBytes(uint64_t number, uint16_t flags, const std::vector<Bytes>& attrs,
                             uint64_t baseRecord = 0) {
        Bytes r(kRecordBytes, 0);
        std::memcpy(r.data(), "FILE", 4);
        PutLe(r, 4, 0x30, 2);
        PutLe(r, 6, 3, 2);
        PutLe(r, 0x10, 1, 2);
        PutLe(r, 0x14, 0x38, 2);
        PutLe(r, 0x16, flags, 2);
        PutLe(r, 0x1C, kRecordBytes, 4);
        PutLe(r, 0x20, baseRecord, 8);
        PutLe(r, 0x2C, number, 4);
        size_t at = 0x38;
        for (const Bytes& a : attrs) {
            std::memcpy(r.data() + at, a.data(), a.size());
            at += a.size();
        }
        PutLe(r, at, NTFS_ATTR_END, 4);
        PutLe(r, 0x18, at + 8, 4);
        return r;
    }

    // The record as it lies on disk: the update sequence applied.
    static Bytes OnDisk(Bytes r) {
        PutLe(r, 0x30, 0x0042, 2);
        for (size_t k = 1; k <= 2; ++k) {
            std::memcpy(r.data() + 0x30 + 2 * k, r.data() + k * kSectorBytes - 2, 2);
            PutLe(r, k * kSectorBytes - 2, 0x0042, 2);
        }
        return r;
    }

    void PutRecord(uint64_t number, uint16_t flags, const std::vector<Bytes>& attrs,
                   uint64_t baseRecord = 0) {
        PutRaw(number, OnDisk(RecordBytes(number, flags, attrs, baseRecord)));
    }

    // Bytes of one record slot, written through the table's runs as they are.
    void PutRaw(uint64_t number, const Bytes& record) {
        for (size_t s = 0; s < kRecordBytes / kSectorBytes; ++s) {
            std::memcpy(image_.data() + TableSectorToVolume(number * 2 + s) * kSectorBytes,
                        record.data() + s * kSectorBytes, kSectorBytes);
        }
    }

    uint64_t RecordSector(uint64_t number) const { return TableSectorToVolume(number * 2); }

    // The boot sector, $MFT (record 0), the root (5) and $Bitmap (6) with its clusters at
    // bitmapLcn, marking what MarkUsed marked.
    void Finish(uint64_t bitmapLcn) {
        Bytes& b = image_;
        std::memcpy(b.data() + 3, "NTFS    ", 8);
        PutLe(b, 0x0B, kSectorBytes, 2);
        b[0x0D] = static_cast<unsigned char>(spc_);
        PutLe(b, 0x28, image_.size() / kSectorBytes - 1, 8);
        PutLe(b, 0x30, static_cast<uint64_t>(mftRuns_.front().lcn), 8);
        PutLe(b, 0x38, 1, 8);
        b[0x40] = 0xF6;
        b[0x1FE] = 0x55;
        b[0x1FF] = 0xAA;
        uint64_t mftClusters = 0;
        for (const TestRun& r : mftRuns_) mftClusters += r.clusters;
        PutRecord(0, NTFS_RECORD_IN_USE,
                  {FileName(5, u"$MFT", NTFS_NAMESPACE_WIN32_AND_DOS),
                   NonResident(NTFS_ATTR_DATA, mftRuns_, mftClusters * ClusterBytes())});
        PutRecord(5, NTFS_RECORD_IN_USE | NTFS_RECORD_IS_FOLDER,
                  {FileName(5, u".", NTFS_NAMESPACE_WIN32_AND_DOS)});
        const uint64_t bitmapBytes = (Clusters() + 7) / 8;
        const uint64_t bitmapClusters = (bitmapBytes + ClusterBytes() - 1) / ClusterBytes();
        MarkUsed(bitmapLcn, bitmapClusters);
        Bytes bits(bitmapClusters * ClusterBytes(), 0);
        for (uint64_t c = 0; c < used_.size(); ++c) {
            if (used_[c]) bits[c / 8] = static_cast<unsigned char>(bits[c / 8] | (1u << (c % 8)));
        }
        WriteBytes(bitmapLcn, bits);
        PutRecord(6, NTFS_RECORD_IN_USE,
                  {FileName(5, u"$Bitmap", NTFS_NAMESPACE_WIN32_AND_DOS),
                   NonResident(NTFS_ATTR_DATA, {{static_cast<int64_t>(bitmapLcn), bitmapClusters}},
                               bitmapBytes)});
    }

    void Save(const std::string& path) const {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(image_.data()),
                   static_cast<std::streamsize>(image_.size()));
    }

private:
    static size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }
    static void Header(Bytes& a, uint32_t type, bool nonResident) {
        PutLe(a, 0, type, 4);
        PutLe(a, 4, a.size(), 4);
        a[8] = nonResident ? 1 : 0;
    }
    uint64_t TableSectorToVolume(uint64_t tableSector) const {
        uint64_t start = 0;
        for (const TestRun& r : mftRuns_) {
            const uint64_t sectors = r.clusters * spc_;
            if (tableSector < start + sectors) {
                return static_cast<uint64_t>(r.lcn) * spc_ + (tableSector - start);
            }
            start += sectors;
        }
        return 0;
    }

    Bytes image_;
    uint32_t spc_;
    std::vector<TestRun> mftRuns_;
    std::vector<bool> used_;
};

}  // namespace ferrowen::test
