#include "carving/formats/riff.h"

#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

namespace carving::formats {

namespace {

constexpr uint32_t kMaxChunks = 1u << 16;
constexpr uint32_t kMaxAvixChunks = 1u << 12;

bool IsFourCC(const unsigned char* p) {
    for (int i = 0; i < 4; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
    }
    return true;
}

uint64_t PaddedChunkEnd(uint64_t at, uint32_t size) {
    return at + 8 + size + (size & 1u);
}

// The chunks in [from, to) follow one another and end exactly at `to` (a last odd chunk may
// leave out its pad byte).
bool ChunksFill(CarveContext& ctx, uint64_t from, uint64_t to) {
    if (to > ctx.BytesToDeviceEnd()) return false;
    uint64_t at = from;
    for (uint32_t n = 0; at < to && n < kMaxChunks; ++n) {
        const unsigned char* p = to - at >= 8 ? ctx.View(at, 8) : nullptr;
        if (p == nullptr || !IsFourCC(p)) return false;
        const uint32_t size = Le32(p + 4);
        if (std::memcmp(p, "LIST", 4) == 0) {
            const unsigned char* list = size >= 4 ? ctx.View(at, 12) : nullptr;
            if (list == nullptr || !IsFourCC(list + 8)) return false;
        }
        const uint64_t next = PaddedChunkEnd(at, size);
        if (next > to) return at + 8 + size == to;
        at = next;
    }
    return at == to;
}

// One RIFF chunk at `at` with the given form: its end when its chunks fill it, else 0.
uint64_t RiffChunkEnd(CarveContext& ctx, uint64_t at, const char* form) {
    const unsigned char* p = ctx.View(at, 12);
    if (p == nullptr || std::memcmp(p, "RIFF", 4) != 0) return 0;
    if (form != nullptr ? std::memcmp(p + 8, form, 4) != 0 : !IsFourCC(p + 8)) return 0;
    const uint64_t end = PaddedChunkEnd(at, Le32(p + 4));
    return ChunksFill(ctx, at + 12, end) ? end : 0;
}

}  // namespace

uint32_t IsWebpType(CarveScan&, const unsigned char* p, size_t len) {
    if (p == nullptr || len < 20 || std::memcmp(p, "RIFF", 4) != 0 ||
        std::memcmp(p + 8, "WEBP", 4) != 0) {
        return EXT_TYPE_NONE;
    }
    const bool knownChunk = std::memcmp(p + 12, "VP8 ", 4) == 0 ||
                            std::memcmp(p + 12, "VP8L", 4) == 0 ||
                            std::memcmp(p + 12, "VP8X", 4) == 0;
    const uint32_t riffSize = Le32(p + 4);
    const uint32_t chunkSize = Le32(p + 16);
    return knownChunk && riffSize >= 12 && chunkSize <= riffSize - 12 ? EXT_TYPE_WEBP
                                                                      : EXT_TYPE_NONE;
}

FormatLength RiffLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, 12);
    if (head == nullptr || std::memcmp(head, "RIFF", 4) != 0 || !IsFourCC(head + 8)) {
        return FormatLength::Rejected();
    }
    const bool avi = std::memcmp(head + 8, "AVI ", 4) == 0;
    uint64_t end = RiffChunkEnd(ctx, 0, nullptr);
    if (end == 0) return FormatLength::AtLeast(12);
    for (uint32_t n = 0; avi && n < kMaxAvixChunks; ++n) {
        const uint64_t next = RiffChunkEnd(ctx, end, "AVIX");
        if (next == 0) break;
        end = next;
    }
    return FormatLength::Exact(end);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsAviType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16) return EXT_TYPE_NONE;
    return HasText(p, len, 0, "RIFF") && HasText(p, len, 8, "AVI ") && HasText(p, len, 12, "LIST")
               ? EXT_TYPE_AVI
               : EXT_TYPE_NONE;
}

uint64_t GetWEBPFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::RiffLength,
                   [&] { return CFileTypeJudge::GetDefaultPictureFileBytesSize(scan, p, len); });
}

uint64_t GetAVIFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::RiffLength, [&] {
        if (p == nullptr || len < 16) return static_cast<uint64_t>(ContextBytesPerSector(scan));
        return static_cast<uint64_t>(LoadU32(p + 4)) + 8;
    });
}

uint32_t IsWavType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16) return EXT_TYPE_NONE;
    return HasText(p, len, 0, "RIFF") && HasText(p, len, 8, "WAVE") && HasText(p, len, 12, "fmt ")
               ? EXT_TYPE_WAV
               : EXT_TYPE_NONE;
}

uint64_t GetWAVFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::RiffLength, [&] {
        if (p == nullptr || len < 8) return static_cast<uint64_t>(ContextBytesPerSector(scan));
        return static_cast<uint64_t>(LoadU32(p + 4)) + 8;
    });
}

}  // namespace carving::formats
