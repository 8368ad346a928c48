// Video containers: MPEG program streams, MP4/3GP/QuickTime, RealMedia, ASF, SWF, AVI, FLV,
// Matroska, MPEG transport streams (plain and with time codes) and MXF.
#include <algorithm>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/formats/ebml.h"
#include "carving/formats/flv.h"
#include "carving/formats/isobmff.h"
#include "carving/formats/mpeg_ps.h"
#include "carving/formats/riff.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"

using namespace carving;

namespace {

constexpr unsigned char kMpgSequence[] = {0x00, 0x00, 0x01, 0xB3};
constexpr unsigned char kMpgGroup[] = {0x00, 0x00, 0x01, 0xB8};
constexpr unsigned char kMpgPack[] = {0x00, 0x00, 0x01, 0xBA};
constexpr unsigned char kMpgSystem[] = {0x00, 0x00, 0x01, 0xBB};
constexpr unsigned char kMpgSequenceEnd[] = {0x00, 0x00, 0x01, 0xB7};
constexpr unsigned char kMpgProgramEnd[] = {0x00, 0x00, 0x01, 0xB9};
constexpr unsigned char kAsfHeaderGuid[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                            0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr unsigned char sm_Asf_file_properties_guid[] = {
    0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr unsigned char kMkvMagic[] = {0x1A, 0x45, 0xDF, 0xA3};
constexpr unsigned char kMtsPat[] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
constexpr unsigned char kMxfKey[] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                     0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
constexpr char szMp4Tail[] = "freeIsoMedia File Produced";
constexpr size_t kMp4TailLen = sizeof szMp4Tail - 1;
constexpr unsigned char szRmvbTail[] = {0x49, 0x4E, 0x44, 0x58, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};

constexpr size_t kTsPacket = 188;
constexpr uint8_t kTsSync = 0x47;
constexpr size_t kTsProbeBytes = 4096;

// Pattern b within the first min(len, 32) bytes, at an offset of at most 28.
bool InMpgHeaderWindow(const unsigned char* p, size_t len, const unsigned char* b) {
    const size_t window = std::min<size_t>(len, 32);
    for (size_t at = 0; at <= 28 && at + 4 <= window; ++at) {
        if (std::memcmp(p + at, b, 4) == 0) return true;
    }
    return false;
}

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

uint64_t StreamVideo(CarveScan& scan, uint64_t cap) {
    return StreamToNextFile(scan, cap, EndKind::kVideo);
}

// The old rule for MPEG files: the first end code followed by zeros to the sector's end.
uint64_t MpgEndCodeBytes(CarveScan& scan, const unsigned char* p, size_t len) {
    const unsigned char* endCode =
        Has(p, len, 0, kMpgSequence, 4) ? kMpgSequenceEnd : kMpgProgramEnd;
    const size_t b = static_cast<size_t>(ContextBytesPerSector(scan));
    return StreamWith(scan, 4 * kGiB, EndKind::kMpg, [&](const StreamChunk& c, uint64_t& length) {
        for (size_t at = FindForward(c.p, c.nFileBytes, 0, endCode, 4); at != kNotFound;
             at = FindForward(c.p, c.nFileBytes, at + 1, endCode, 4)) {
            if (PassesZeroFill(c.p, c.nBytes, at + 4, b)) {
                length = c.u64Offset + at + 4;
                return 1;
            }
        }
        return 0;
    });
}

// The old rule for MP4 files: the tail text some writers leave after the last box.
uint64_t Mp4TailBytes(CarveScan& scan) {
    return StreamWith(scan, 4 * kGiB, EndKind::kVideo, [](const StreamChunk& c, uint64_t& length) {
        const size_t at = FindForward(c.p, c.nBytes, 0, szMp4Tail, kMp4TailLen);
        if (at == kNotFound) return 0;
        size_t after = at + kMp4TailLen;
        while (after < c.nBytes && c.p[after] != 0) ++after;
        length = c.u64Offset + after;
        return 1;
    });
}

uint32_t CodeOfIsoBmffFamily(formats::IsoBmffFamily family) {
    using formats::IsoBmffFamily;
    switch (family) {
        case IsoBmffFamily::kMp4:
            return EXT_TYPE_MP4;
        case IsoBmffFamily::kMov:
            return EXT_TYPE_MOV;
        case IsoBmffFamily::k3gp:
            return EXT_TYPE_3GP;
        case IsoBmffFamily::kM4a:
            return EXT_TYPE_M4A;
        case IsoBmffFamily::kM4v:
            return EXT_TYPE_M4V;
        case IsoBmffFamily::kHeic:
            return EXT_TYPE_HEIC;
        case IsoBmffFamily::kAvif:
            return EXT_TYPE_AVIF;
        case IsoBmffFamily::kCr3:
            return EXT_TYPE_CR3;
        case IsoBmffFamily::kNone:
            break;
    }
    return EXT_TYPE_NONE;
}

// The box walk is asked only about files whose first box it can vouch for; the others keep
// the rule they had.
bool IsWalkableIsoBmff(const unsigned char* p, size_t len) {
    return formats::IsoBmffFamilyOf(p, len) != formats::IsoBmffFamily::kNone ||
           formats::LooksLikeBareQuickTime(p, len);
}

template <class Fallback>
uint64_t IsoBmffOr(CarveScan& scan, const unsigned char* p, size_t len, Fallback&& fallback) {
    if (!IsWalkableIsoBmff(p, len)) return fallback();
    return ExactOr(scan, formats::IsoBmffLength, std::forward<Fallback>(fallback));
}

}  // namespace

// ---- Recognisers ------------------------------------------------------------------------

uint32_t CFileTypeJudge::IsMpgType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 16) return EXT_TYPE_NONE;
    if (Has(p, len, 0, kMpgSequence, 4) && InMpgHeaderWindow(p, len, kMpgGroup)) {
        return EXT_TYPE_MPEG;
    }
    if (Has(p, len, 0, kMpgPack, 4) && InMpgHeaderWindow(p, len, kMpgSystem)) {
        return EXT_TYPE_MPEG;
    }
    return EXT_TYPE_NONE;
}

// Every ISO box-structured family is typed here, by its brands, ahead of the 3GP and MOV rows.
uint32_t CFileTypeJudge::IsMp4Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 32 || !HasText(p, len, 4, "ftyp")) return EXT_TYPE_NONE;
    const uint32_t code = CodeOfIsoBmffFamily(formats::IsoBmffFamilyOf(p, len));
    if (code != EXT_TYPE_NONE) return code;
    return HasText(p, len, 8, "iso") || HasText(p, len, 8, "mp42") ? EXT_TYPE_MP4 : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::Is3pgType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 32 && HasText(p, len, 4, "ftyp") && HasText(p, len, 8, "3gp") ? EXT_TYPE_3GP
                                                                                : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsMovType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16) return EXT_TYPE_NONE;
    if (HasText(p, len, 0, "moov") || formats::LooksLikeBareQuickTime(p, len)) return EXT_TYPE_MOV;
    return HasText(p, len, 4, "ftyp") && HasText(p, len, 8, "qt  ") ? EXT_TYPE_MOV : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsRmvbType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && HasText(p, len, 0, ".RMF") ? EXT_TYPE_RMVB : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsAsfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 24 && Has(p, len, 0, kAsfHeaderGuid, 16) ? EXT_TYPE_WMV : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsSwfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 8) return EXT_TYPE_NONE;
    const unsigned version = p[3];
    if (HasText(p, len, 0, "CWS") && version >= 6 && version <= 15) return EXT_TYPE_SWF;
    if (HasText(p, len, 0, "FWS") && version < 6) return EXT_TYPE_SWF;
    return EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsAviType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16) return EXT_TYPE_NONE;
    return HasText(p, len, 0, "RIFF") && HasText(p, len, 8, "AVI ") && HasText(p, len, 12, "LIST")
               ? EXT_TYPE_AVI
               : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsFlvType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kHeaderSize[] = {0, 0, 0, 9};
    if (p == nullptr || len < 16) return EXT_TYPE_NONE;
    return HasText(p, len, 0, "FLV") && p[3] == 1 && Has(p, len, 5, kHeaderSize, 4) ? EXT_TYPE_FLV
                                                                                    : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsMkvType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kMkvMagic, 4) ? EXT_TYPE_MKV : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsTsType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
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

uint32_t CFileTypeJudge::IsMtsType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    if (len < 16 || !Has(p, len, 8, kMtsPat, sizeof kMtsPat)) return EXT_TYPE_NONE;
    // While an MTS file is measured, only a packet whose time code is zero starts another.
    if (LoadU32(p) != 0 && scan.m_bIsMtsFileHead == 1) return EXT_TYPE_NONE;
    return EXT_TYPE_MTS;
}

uint32_t CFileTypeJudge::IsMxfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kMxfKey, sizeof kMxfKey) ? EXT_TYPE_MXF : EXT_TYPE_NONE;
}

// ---- Estimators -------------------------------------------------------------------------

uint64_t CFileTypeJudge::GetMPGFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return ExactOr(scan, formats::MpegPsLength, [&] { return MpgEndCodeBytes(scan, p, len); });
}

uint64_t CFileTypeJudge::GetMP4FileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return IsoBmffOr(scan, p, len, [&] { return Mp4TailBytes(scan); });
}

uint64_t CFileTypeJudge::GetHEIFFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                              size_t len) {
    return IsoBmffOr(scan, p, len, [&] { return GetDefaultPictureFileBytesSize(scan, p, len); });
}

uint64_t CFileTypeJudge::GetWEBPFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                              size_t len) {
    return ExactOr(scan, formats::RiffLength,
                   [&] { return GetDefaultPictureFileBytesSize(scan, p, len); });
}

uint64_t CFileTypeJudge::GetRMVBFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                              size_t) {
    return StreamWith(scan, 4 * kGiB, EndKind::kVideo, [](const StreamChunk& c, uint64_t& length) {
        const size_t at = FindForward(c.p, c.nFileBytes, 0, szRmvbTail, sizeof szRmvbTail);
        if (at == kNotFound) return 0;
        length = c.u64Offset + at + sizeof szRmvbTail;
        return 1;
    });
}

uint64_t CFileTypeJudge::GetASFFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 46) return b;
    const size_t guid =
        FindForward(p, len - 46 + sizeof sm_Asf_file_properties_guid, 30,
                    sm_Asf_file_properties_guid, sizeof sm_Asf_file_properties_guid);
    // The flags lie 88 bytes into the object; an object cut off before them cannot say
    // whether the stream is a broadcast whose size field means nothing.
    if (guid == kNotFound || guid + 89 > len) return b;
    if (p[guid + 88] & 1) return b;
    return std::min<uint64_t>(LoadU64(p + guid + 40), 256 * kMiB);
}

uint64_t CFileTypeJudge::GetSWFFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < 8 || p[0] != 'F') return b;
    return std::min<uint64_t>(LoadU32(p + 4), 256 * kMiB);
}

uint64_t CFileTypeJudge::GetAVIFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return ExactOr(scan, formats::RiffLength, [&] {
        if (p == nullptr || len < 16) return static_cast<uint64_t>(ContextBytesPerSector(scan));
        return static_cast<uint64_t>(LoadU32(p + 4)) + 8;
    });
}

// The 3GP, MOV and FLV rows share this estimator with others, so the file's own first
// bytes choose the walk.
uint64_t CFileTypeJudge::GetDefaultVedioFileBytesSize(carving::CarveScan& scan,
                                                      const unsigned char* p, size_t len) {
    const auto stream = [&] { return StreamVideo(scan, 4 * kGiB); };
    if (IsWalkableIsoBmff(p, len)) return ExactOr(scan, formats::IsoBmffLength, stream);
    if (IsFlvType(scan, p, len) != EXT_TYPE_NONE) return ExactOr(scan, formats::FlvLength, stream);
    return stream();
}

uint64_t CFileTypeJudge::GetMKVFileBytes(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOr(scan, formats::EbmlLength, [&] { return StreamVideo(scan, 64 * kGiB); });
}

uint64_t CFileTypeJudge::GetTSFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                            size_t) {
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
