#include "ntfs/ntfs_volume_label.h"

#include <algorithm>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/ntfs_parse.h"

namespace {

// Windows lets a label be 32 characters; a longer value is no label.
constexpr uint32_t kLongestLabelUnits = 128;

}  // namespace

std::string NtfsVolumeNameOfRecord(const unsigned char* pRecord, size_t nBytes) {
    NTFS_RECORD_HEADER header{};
    if (pRecord == nullptr || !ReadRecordHeader(pRecord, nBytes, header)) return {};
    const size_t bound = std::min<size_t>(nBytes, header.uBytesInUse);
    NTFS_ATTRIBUTE attr{};
    const unsigned char* value = nullptr;
    uint32_t length = 0;
    if (!FindAttribute(pRecord, bound, NTFS_ATTR_VOLUME_NAME, attr) ||
        !GetResidentValue(attr, value, length)) {
        return {};
    }
    if (length / 2 > kLongestLabelUnits) {
        DebugLog("NtfsVolumeNameOfRecord: a volume name of %u bytes\n", length);
        return {};
    }
    std::u16string label;
    for (uint32_t i = 0; i + 1 < length; i += 2) label += static_cast<char16_t>(LoadU16(value + i));
    return WideToUtf8(label);
}

std::string NtfsVolumeLabel(CFastNtfsRecovery& volume) {
    const uint32_t recordBytes = volume.GetBytesPerRecord();
    if (recordBytes == 0) return {};
    std::vector<unsigned char> record(recordBytes);
    if (const int result = volume.GetFileRecordBuf(kNtfsVolumeRecord, record.data()); result != 0) {
        DebugLog("NtfsVolumeLabel: $Volume cannot be read (%d)\n", result);
        return {};
    }
    CNtfsParse parse;
    parse.Init(static_cast<int>(volume.GetBytesPerSector()));
    if (!IsFileRecordSignature(record.data(), record.size()) ||
        parse.FileRecordFixUp(record.data(), record.size()) != 0) {
        DebugLog("NtfsVolumeLabel: $Volume is no FILE record\n");
        return {};
    }
    return NtfsVolumeNameOfRecord(record.data(), record.size());
}
