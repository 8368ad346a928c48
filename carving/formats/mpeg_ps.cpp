#include "carving/formats/mpeg_ps.h"

#include <algorithm>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr unsigned char kPackStart = 0xBA;
constexpr unsigned char kSystemHeader = 0xBB;
constexpr unsigned char kProgramEnd = 0xB9;
constexpr unsigned char kVideoSequence = 0xB3;
constexpr unsigned char kFirstStreamId = 0xBC;
constexpr uint64_t kMpeg1PackBytes = 12;
constexpr uint64_t kMpeg2PackBytes = 14;
constexpr uint32_t kMaxPackets = 1u << 26;
// Fewer whole packs than this are too little evidence to end a file where the walk stops.
constexpr uint32_t kMinPacksForCleanEnd = 2;
constexpr size_t kMaxZeroPadding = 4096;
constexpr uint64_t kPaddedSector = 2048;

bool IsStartCodePrefix(const unsigned char* p) {
    return p[0] == 0 && p[1] == 0 && p[2] == 1;
}

// Length of the pack header at p (14 bytes viewed), or 0 when its marker bits are wrong.
uint64_t PackHeaderBytes(const unsigned char* p) {
    const bool mpeg2 = (p[4] & 0xC4) == 0x44 && (p[6] & 0x04) && (p[8] & 0x04) && (p[9] & 0x01) &&
                       (p[12] & 0x03) == 0x03;
    if (mpeg2) return kMpeg2PackBytes + (p[13] & 0x07);
    const bool mpeg1 =
        (p[4] & 0xF1) == 0x21 && (p[6] & 0x01) && (p[8] & 0x01) && (p[9] & 0x80) && (p[11] & 0x01);
    return mpeg1 ? kMpeg1PackBytes : 0;
}

// Some writers (video CD) pad between packs with zeros. Where the zeros at `at` lead to the
// next pack header, how many there are; else 0.
uint64_t ZerosBeforeNextPack(CarveContext& ctx, uint64_t at) {
    size_t n = 0;
    const unsigned char* p = ctx.ViewSome(at, &n);
    if (p == nullptr) return 0;
    n = std::min(n, kMaxZeroPadding + 4);
    size_t k = 0;
    while (k < n && p[k] == 0) ++k;
    if (k < 2 || k + 2 > n || p[k] != 1 || p[k + 1] != kPackStart) return 0;
    return k - 2;
}

// The pack's system clock reference (its 33-bit base), MPEG-1 or MPEG-2 layout.
uint64_t PackClock(const unsigned char* p) {
    const uint64_t b4 = p[4], b5 = p[5], b6 = p[6], b7 = p[7], b8 = p[8];
    if ((b4 & 0xC0) == 0x40) {
        return ((b4 >> 3) & 7) << 30 | (b4 & 3) << 28 | b5 << 20 | (b6 >> 3) << 15 |
               (b6 & 3) << 13 | b7 << 5 | b8 >> 3;
    }
    return ((b4 >> 1) & 7) << 30 | b5 << 22 | (b6 >> 1) << 15 | b7 << 7 | b8 >> 1;
}

enum class PsStep { kNext, kEndCode, kFileEnds, kUnfollowable };

struct PsWalk {
    uint64_t at = 0;
    uint32_t packs = 0;
    bool zeroPadded = false;  // the writer fills packs out to whole sectors with zeros
    uint64_t clock = 0;       // the last pack's clock reference
};

// Where a zero-padding writer's last pack ends: its zeros run to the next sector boundary.
uint64_t PaddedEnd(CarveContext& ctx, uint64_t at) {
    const uint64_t boundary = (at + kPaddedSector - 1) / kPaddedSector * kPaddedSector;
    const unsigned char* p = boundary > at ? ctx.View(at, boundary - at) : nullptr;
    if (p == nullptr) return at;
    for (uint64_t i = 0; i < boundary - at; ++i) {
        if (p[i] != 0) return at;
    }
    return boundary;
}

PsStep StepPs(CarveContext& ctx, PsWalk& walk) {
    const unsigned char* p = ctx.View(walk.at, 4);
    if (p == nullptr && walk.at == ctx.BytesToDeviceEnd()) return PsStep::kFileEnds;
    if (p == nullptr) return PsStep::kUnfollowable;
    if (!IsStartCodePrefix(p)) {
        const uint64_t zeros = p[0] == 0 ? ZerosBeforeNextPack(ctx, walk.at) : 0;
        if (zeros == 0) return PsStep::kFileEnds;
        walk.at += zeros;
        walk.zeroPadded = true;
        return PsStep::kNext;
    }
    const unsigned char code = p[3];
    if (code == kProgramEnd) {
        walk.at += 4;
        return PsStep::kEndCode;
    }
    p = ctx.View(walk.at, 6);
    if (p == nullptr) return PsStep::kUnfollowable;
    uint64_t bytes = 0;
    if (code == kPackStart) {
        const unsigned char* pack = ctx.View(walk.at, kMpeg2PackBytes);
        bytes = pack != nullptr ? PackHeaderBytes(pack) : 0;
        // A clock that runs backwards is the first pack of the next file.
        if (bytes != 0 && walk.packs != 0 && PackClock(pack) < walk.clock) {
            return PsStep::kFileEnds;
        }
        if (bytes != 0) {
            ++walk.packs;
            walk.clock = PackClock(pack);
        }
    } else if (code == kSystemHeader || code >= kFirstStreamId) {
        const uint16_t length = Be16(p + 4);
        bytes = length != 0 ? 6u + length : 0;
    }
    if (bytes == 0 || bytes > ctx.BytesToDeviceEnd() - walk.at) return PsStep::kUnfollowable;
    walk.at += bytes;
    return PsStep::kNext;
}

}  // namespace

FormatLength MpegPsLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, kMpeg2PackBytes);
    if (head == nullptr || !IsStartCodePrefix(head)) return FormatLength::Rejected();
    // A bare video stream ends at its sequence end code, which the caller searches for.
    if (head[3] == kVideoSequence) return FormatLength::AtLeast(0);
    if (head[3] != kPackStart) return FormatLength::Rejected();
    // Marker bits out of place: a writer we do not know, left to the end-code search.
    if (PackHeaderBytes(head) == 0) return FormatLength::AtLeast(0);
    PsWalk walk;
    for (uint32_t n = 0; n < kMaxPackets; ++n) {
        const uint64_t before = walk.at;
        switch (StepPs(ctx, walk)) {
            case PsStep::kNext:
                continue;
            case PsStep::kEndCode:
                return FormatLength::Exact(walk.at);
            case PsStep::kFileEnds:
                if (walk.packs < kMinPacksForCleanEnd) return FormatLength::AtLeast(before);
                return FormatLength::Exact(walk.zeroPadded ? PaddedEnd(ctx, before) : before);
            case PsStep::kUnfollowable:
                return FormatLength::AtLeast(before);
        }
    }
    return FormatLength::AtLeast(walk.at);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char kMpgSequence[] = {0x00, 0x00, 0x01, 0xB3};

constexpr unsigned char kMpgGroup[] = {0x00, 0x00, 0x01, 0xB8};

constexpr unsigned char kMpgPack[] = {0x00, 0x00, 0x01, 0xBA};

constexpr unsigned char kMpgSystem[] = {0x00, 0x00, 0x01, 0xBB};

constexpr unsigned char kMpgSequenceEnd[] = {0x00, 0x00, 0x01, 0xB7};

constexpr unsigned char kMpgProgramEnd[] = {0x00, 0x00, 0x01, 0xB9};

// Pattern b within the first min(len, 32) bytes, at an offset of at most 28.
bool InMpgHeaderWindow(const unsigned char* p, size_t len, const unsigned char* b) {
    const size_t window = std::min<size_t>(len, 32);
    for (size_t at = 0; at <= 28 && at + 4 <= window; ++at) {
        if (std::memcmp(p + at, b, 4) == 0) return true;
    }
    return false;
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

}  // namespace

namespace carving::formats {

uint32_t IsMpgType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 16) return EXT_TYPE_NONE;
    if (Has(p, len, 0, kMpgSequence, 4) && InMpgHeaderWindow(p, len, kMpgGroup)) {
        return EXT_TYPE_MPEG;
    }
    if (Has(p, len, 0, kMpgPack, 4) && InMpgHeaderWindow(p, len, kMpgSystem)) {
        return EXT_TYPE_MPEG;
    }
    return EXT_TYPE_NONE;
}

uint64_t GetMPGFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::MpegPsLength, [&] { return MpgEndCodeBytes(scan, p, len); });
}

}  // namespace carving::formats
