#include "carving/formats/ebml.h"

#include <algorithm>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr uint32_t kEbmlHeaderId = 0x1A45DFA3;
constexpr uint32_t kDocTypeId = 0x4282;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kClusterId = 0x1F43B675;
constexpr uint32_t kVoidId = 0xEC;
constexpr uint32_t kCrc32Id = 0xBF;
constexpr uint32_t kSimpleBlockId = 0xA3;
constexpr uint32_t kBlockGroupId = 0xA0;
constexpr uint64_t kMaxHeaderBytes = 1024;
// A live recording of 4 GiB in blocks of a few hundred bytes stays well under this.
constexpr uint32_t kMaxElements = 1u << 26;

constexpr uint32_t kSegmentChildren[] = {
    0x114D9B74,              // SeekHead
    0x1549A966,              // Info
    0x1654AE6B,              // Tracks
    kClusterId, 0x1C53BB6B,  // Cues
    0x1043A770,              // Chapters
    0x1254C367,              // Tags
    0x1941A469,              // Attachments
    kVoidId,    kCrc32Id,
};

// Elements whose value is one small unsigned number.
constexpr uint32_t kClusterNumbers[] = {
    0xE7,  // Timecode
    0xA7,  // Position
    0xAB,  // PrevSize
};

struct Element {
    uint32_t id = 0;
    uint64_t size = 0;
    bool unknownSize = false;
    uint64_t dataAt = 0;  // offset of the element's data
};

int VintLength(unsigned char first) {
    return first == 0 ? 0 : __builtin_clz(static_cast<unsigned>(first)) - 23;
}

bool ReadElement(CarveContext& ctx, uint64_t at, Element* e) {
    const uint64_t left = at < ctx.BytesToDeviceEnd() ? ctx.BytesToDeviceEnd() - at : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(12, left));
    const unsigned char* p = want >= 2 ? ctx.View(at, want) : nullptr;
    if (p == nullptr) return false;
    const int idBytes = VintLength(p[0]);
    if (idBytes < 1 || idBytes > 4 || static_cast<size_t>(idBytes) >= want) return false;
    e->id = 0;
    for (int i = 0; i < idBytes; ++i) e->id = (e->id << 8) | p[i];
    const unsigned char* s = p + idBytes;
    const int sizeBytes = VintLength(s[0]);
    if (sizeBytes < 1 || static_cast<size_t>(idBytes + sizeBytes) > want) return false;
    const uint64_t marker = uint64_t{1} << (7 * sizeBytes);
    uint64_t size = s[0] & (0xFFu >> sizeBytes);
    for (int i = 1; i < sizeBytes; ++i) size = (size << 8) | s[i];
    e->unknownSize = size == marker - 1;
    e->size = size;
    e->dataAt = at + static_cast<uint64_t>(idBytes + sizeBytes);
    return true;
}

bool ElementFits(const CarveContext& ctx, const Element& e) {
    return !e.unknownSize && e.dataAt <= ctx.BytesToDeviceEnd() &&
           e.size <= ctx.BytesToDeviceEnd() - e.dataAt;
}

bool IsSegmentChild(uint32_t id) {
    return std::find(std::begin(kSegmentChildren), std::end(kSegmentChildren), id) !=
           std::end(kSegmentChildren);
}

// A Void's bytes are ignored by readers, and muxers fill them with zeros: random bytes after
// a recording pass for a Void one time in a few hundred, a zero-filled one almost never.
bool IsZeroFilledVoid(CarveContext& ctx, const Element& e) {
    constexpr uint64_t kMaxCheckedVoid = 4096;
    if (e.id != kVoidId || e.unknownSize || e.size > kMaxCheckedVoid) return false;
    if (e.size == 0) return true;
    const unsigned char* p = ctx.View(e.dataAt, static_cast<size_t>(e.size));
    if (p == nullptr) return false;
    return std::all_of(p, p + e.size, [](unsigned char b) { return b == 0; });
}

// A block's track number is a small number (recorders write one to a handful of tracks), and
// its flags byte keeps three bits reserved as zero.
bool IsPlausibleBlock(CarveContext& ctx, uint64_t at, uint64_t size) {
    constexpr unsigned char kMaxTrack = 0x80 | 16;
    const unsigned char* p = size >= 4 ? ctx.View(at, 4) : nullptr;
    if (p == nullptr || p[0] < 0x81 || p[0] > kMaxTrack) return false;
    return (p[3] & 0x70) == 0;
}

// A group opens with its Block (A1), itself a block.
bool IsPlausibleBlockGroup(CarveContext& ctx, const Element& group) {
    Element block;
    if (group.unknownSize || !ReadElement(ctx, group.dataAt, &block) || block.id != 0xA1) {
        return false;
    }
    return !block.unknownSize && block.dataAt + block.size <= group.dataAt + group.size &&
           IsPlausibleBlock(ctx, block.dataAt, block.size);
}

// The children of a Cluster, with what can be checked of each without reading its payload:
// random bytes after a live recording must not pass for one more block. A cluster's numbers
// (its timecode, position, previous size) and its CRC come before its first block.
bool IsClusterChild(CarveContext& ctx, const Element& e, bool bBeforeBlocks) {
    if (std::find(std::begin(kClusterNumbers), std::end(kClusterNumbers), e.id) !=
        std::end(kClusterNumbers)) {
        return bBeforeBlocks && e.size >= 1 && e.size <= 8;
    }
    if (e.id == kCrc32Id) return bBeforeBlocks && e.size == 4;
    if (e.id == kVoidId) return IsZeroFilledVoid(ctx, e);
    if (e.id == 0x5854) return !e.unknownSize;  // SilentTracks
    if (e.id == kSimpleBlockId) return IsPlausibleBlock(ctx, e.dataAt, e.size);
    return e.id == kBlockGroupId && IsPlausibleBlockGroup(ctx, e);
}

// A Segment's children; a Void or CRC among them is held to the same checks as in a cluster.
bool IsSegmentChild(CarveContext& ctx, const Element& e) {
    if (e.id == kVoidId) return IsZeroFilledVoid(ctx, e);
    if (e.id == kCrc32Id) return false;  // only ever a segment's first child, never read here
    return IsSegmentChild(e.id);
}

bool HasMatroskaDocType(CarveContext& ctx, const Element& header) {
    if (header.unknownSize || header.size > kMaxHeaderBytes) return false;
    const uint64_t end = header.dataAt + header.size;
    Element e;
    for (uint64_t at = header.dataAt; at < end && ReadElement(ctx, at, &e);) {
        if (e.unknownSize || e.dataAt > end || e.size > end - e.dataAt) return false;
        if (e.id == kDocTypeId && e.size <= 16) {
            const unsigned char* text = ctx.View(e.dataAt, static_cast<size_t>(e.size));
            if (text == nullptr) return false;
            const size_t n = strnlen(reinterpret_cast<const char*>(text), e.size);
            return (n == 8 && std::memcmp(text, "matroska", 8) == 0) ||
                   (n == 4 && std::memcmp(text, "webm", 4) == 0);
        }
        at = e.dataAt + e.size;
    }
    return false;
}

// A Segment of unknown size: its children, and a Cluster of unknown size's children, follow
// one another until something that is neither.
FormatLength WalkOpenSegment(CarveContext& ctx, uint64_t from) {
    uint64_t at = from;
    uint64_t clusters = 0;
    bool inOpenCluster = false;
    bool beforeBlocks = false;
    Element e;
    for (uint32_t n = 0; n < kMaxElements; ++n) {
        if (!ReadElement(ctx, at, &e)) break;
        // A child that runs past the device's end is not taken for one: random bytes after
        // the recording often read as a block of many megabytes.
        if (inOpenCluster && IsClusterChild(ctx, e, beforeBlocks) && ElementFits(ctx, e)) {
            beforeBlocks = beforeBlocks && e.id != kSimpleBlockId && e.id != kBlockGroupId;
            at = e.dataAt + e.size;
            continue;
        }
        inOpenCluster = false;
        if (!IsSegmentChild(ctx, e)) break;
        if (e.id == kClusterId) ++clusters;
        if (e.id == kClusterId && e.unknownSize) {
            inOpenCluster = beforeBlocks = true;
            at = e.dataAt;
            continue;
        }
        if (!ElementFits(ctx, e)) return FormatLength::AtLeast(at);
        at = e.dataAt + e.size;
    }
    return clusters != 0 ? FormatLength::Exact(at) : FormatLength::AtLeast(at);
}

}  // namespace

FormatLength EbmlLength(CarveContext& ctx) {
    Element header;
    if (!ReadElement(ctx, 0, &header) || header.id != kEbmlHeaderId ||
        !HasMatroskaDocType(ctx, header)) {
        return FormatLength::Rejected();
    }
    Element segment;
    if (!ReadElement(ctx, header.dataAt + header.size, &segment) || segment.id != kSegmentId) {
        return FormatLength::Rejected();
    }
    if (segment.unknownSize) return WalkOpenSegment(ctx, segment.dataAt);
    Element first;
    if (!ElementFits(ctx, segment) || !ReadElement(ctx, segment.dataAt, &first) ||
        !IsSegmentChild(first.id)) {
        return FormatLength::AtLeast(segment.dataAt);
    }
    return FormatLength::Exact(segment.dataAt + segment.size);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char kMkvMagic[] = {0x1A, 0x45, 0xDF, 0xA3};

}  // namespace

namespace carving::formats {

uint32_t IsMkvType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kMkvMagic, 4) ? EXT_TYPE_MKV : EXT_TYPE_NONE;
}

uint64_t GetMKVFileBytes(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOr(scan, formats::EbmlLength, [&] { return StreamVideo(scan, 64 * kGiB); });
}

}  // namespace carving::formats
