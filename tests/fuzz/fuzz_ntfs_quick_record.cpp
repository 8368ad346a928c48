// The quick NTFS scan's record parse, end to end: a small volume whose records 16 onwards
// are the input's 1,024-byte pieces, taken as they are (no fix-up applied), scanned by the
// engine, its tree browsed, its files previewed and its free space walked. The records
// parsed this way reach every path of the scan: deleted and live records, names, data sizes,
// attribute lists, parent chains, lost folders and the data health test.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs_test_image.h"

namespace {

using ferrowen::test::Bytes;
using ferrowen::test::NtfsVolumeBuilder;

constexpr uint64_t kFirstFuzzedRecord = 16;
constexpr size_t kMaxFuzzedRecords = 14;

// 256 KiB, 512-byte clusters, the $MFT at clusters 8-135 (64 records), $Bitmap at 140, and
// a deleted folder (30) with a deleted file (31) whose data lies at cluster 200.
NtfsVolumeBuilder& Template() {
    static NtfsVolumeBuilder v = [] {
        NtfsVolumeBuilder built(512, 1);
        built.SetMftRuns({{8, 128}});
        built.WriteBytes(200, Bytes(1500, 'd'));
        built.MarkUsed(200, 3);
        built.PutRecord(30, NTFS_RECORD_IS_FOLDER, {built.FileName(5, u"Folder")});
        built.PutRecord(
            31, 0, {built.FileName(30, u"file.jpg"), built.NonResident(0x80, {{200, 3}}, 1500)});
        built.Finish(140);
        return built;
    }();
    return v;
}

void Browse(CFastNtfsRecovery& engine, _FILE_NODE_* parent, unsigned int level, int& budget) {
    std::vector<_FILE_NODE_> children;
    engine.GetChildrenFileNode(parent, level, children);
    for (_FILE_NODE_& child : children) {
        if (--budget < 0) return;
        if (child.bIsDir) {
            if (level < 4) Browse(engine, &child, level + 1, budget);
            continue;
        }
        std::vector<unsigned char> preview(2048);
        int len = static_cast<int>(preview.size());
        char16_t tmp[512];
        engine.PreView(&child, tmp, 512, preview.data(), len, nullptr, nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxFuzzedRecords * NtfsVolumeBuilder::kRecordBytes) return 0;
    ferrowen::fuzz::ScanLogRoot();
    Bytes image = Template().image();
    for (size_t at = 0, n = 0; at < size; at += NtfsVolumeBuilder::kRecordBytes, ++n) {
        const size_t piece = std::min<size_t>(NtfsVolumeBuilder::kRecordBytes, size - at);
        const uint64_t sector = Template().RecordSector(kFirstFuzzedRecord + n);
        std::memcpy(image.data() + sector * NtfsVolumeBuilder::kSectorBytes, data + at, piece);
    }
    const ferrowen::fuzz::MemoryImage memory(image.data(), image.size());
    if (!memory.ok()) return 0;
    const std::string path = memory.path();
    {
        CFastNtfsRecovery engine;
        const std::u16string wide(path.begin(), path.end());
        if (engine.Init(wide.c_str(), u'C') == 0 && engine.ScanDevice(nullptr) == 0) {
            int budget = 64;
            Browse(engine, nullptr, 0, budget);
            std::vector<__SEARCH_FILE_INFO__> found;
            engine.SearchFileNode(u"*.jpg|*.txt|*.other", found);
            engine.BuildBitMapInfo();
            unsigned long long start = 0, count = 0;
            for (int runs = 0; runs < 1024; ++runs) {
                engine.GetUnUsedSectorCount(start, count);
                if (count == 0) break;
                start += count;
            }
        }
    }
    ferrowen::fuzz::RemoveCurrentScanFolder();
    return 0;
}
