// MPEG transport streams, plain (188-byte packets) and with four-byte time codes (MTS).
#include "carving/formats/mpeg_ts.h"

#include <algorithm>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

using namespace carving;

namespace {

constexpr unsigned char kMtsPat[] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};

constexpr size_t kTsPacket = 188;

constexpr uint8_t kTsSync = 0x47;

constexpr size_t kTsProbeBytes = 4096;

// The scan's current sector and the ones after it hold sync bytes every 188 bytes.
bool TsPacketsContinue(CarveScan& scan) {
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    const size_t sectors = (kTsProbeBytes + b - 1) / b;
    std::vector<unsigned char> probe(sectors * b);
    ISectorReader* reader = scan.m_pDiskReader;
    unsigned int got = 0;
    if (reader == nullptr ||
        reader->ReadSectors(probe.data(), static_cast<int>(sectors), scan.m_u64CurrentSector,
                            static_cast<int>(b), &got) != 0) {
        return false;
    }
    for (size_t at = 0; at < 22 * kTsPacket; at += kTsPacket) {
        if (probe[at] != kTsSync) return false;
    }
    return true;
}

// The sector before the current one ends with packets in step with it: the candidate is
// the middle of a stream. The device's first sector has nothing before it.
bool TsContinuesFromPreviousSector(CarveScan& scan) {
    const uint64_t current = scan.m_u64CurrentSector;
    if (current == 0) return false;
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    std::vector<unsigned char> previous(b);
    ISectorReader* reader = scan.m_pDiskReader;
    unsigned int got = 0;
    if (reader == nullptr ||
        reader->ReadSectors(previous.data(), 1, current - 1, static_cast<int>(b), &got) != 0) {
        return true;  // unreadable: not taken as a start
    }
    for (size_t k = 1; k <= b / kTsPacket; ++k) {
        if (previous[b - kTsPacket * k] == kTsSync) return true;
    }
    return false;
}

bool InCarvedTsRange(CarveScan& scan, uint64_t u64Sector) {
    for (const _TS_FILE_RANGE_& range : scan.m_tsFileRangeVec) {
        if (range.u64FirstSector <= u64Sector && u64Sector <= range.u64LastSector) return true;
    }
    return false;
}

}  // namespace

namespace carving::formats {

uint32_t IsTsType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    if (p == nullptr || len < kTsPacket || p[0] != kTsSync) return EXT_TYPE_NONE;
    if (p[1] == 0 && p[2] == 0 && p[3] == 0) return EXT_TYPE_NONE;
    for (size_t at = 0; at < len; at += kTsPacket) {
        if (p[at] != kTsSync) return EXT_TYPE_NONE;
    }
    if (!TsPacketsContinue(scan)) return EXT_TYPE_NONE;
    if (scan.m_bIsNeedCheckTsFileRange == 1) {
        if (TsContinuesFromPreviousSector(scan)) return EXT_TYPE_NONE;
        if (InCarvedTsRange(scan, scan.m_u64StartSector)) return EXT_TYPE_NONE;
    }
    return EXT_TYPE_TS;
}

uint32_t IsMtsType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    if (len < 16 || !Has(p, len, 8, kMtsPat, sizeof kMtsPat)) return EXT_TYPE_NONE;
    // While an MTS file is measured, only a packet whose time code is zero starts another.
    if (LoadU32(p) != 0 && scan.m_bIsMtsFileHead == 1) return EXT_TYPE_NONE;
    return EXT_TYPE_MTS;
}

uint64_t GetTSFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    // q: the first packet not yet known to be good. Packets inside the first sector were
    // tested by the recogniser; packets straddling a chunk boundary are not tested.
    uint64_t q = (b / kTsPacket) * kTsPacket;
    bool badPacket = false;
    uint64_t length =
        StreamWith(scan, 64 * kGiB, EndKind::kFile, [&](const StreamChunk& c, uint64_t&) {
            if (badPacket) return 0;
            const uint64_t chunkEnd = c.u64Offset + c.nBytes;
            uint64_t packet = (c.u64Offset + kTsPacket - 1) / kTsPacket * kTsPacket;
            for (; packet + kTsPacket <= chunkEnd; packet += kTsPacket) {
                if (c.p[packet - c.u64Offset] != kTsSync) {
                    q = packet;
                    badPacket = true;
                    return 0;
                }
            }
            q = (chunkEnd / kTsPacket) * kTsPacket;
            return 0;
        });
    if (q < length) length = q;
    const uint64_t sectors = std::max<uint64_t>(1, (length + b - 1) / b);
    scan.m_tsFileRangeVec.push_back({scan.m_u64StartSector, scan.m_u64StartSector + sectors - 1});
    return length;
}

}  // namespace carving::formats
