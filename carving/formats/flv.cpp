#include "carving/formats/flv.h"

#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr uint64_t kHeaderBytes = 9;
constexpr uint64_t kTagHeaderBytes = 11;
constexpr uint64_t kBackPointerBytes = 4;
// Tags of a few bytes each over 4 GiB stay under this.
constexpr uint32_t kMaxTags = 1u << 28;

bool IsTagType(unsigned char type) {
    const unsigned kind = type & 0x1Fu;  // bit 5 marks a filtered (encrypted) tag
    return (type & 0xC0u) == 0 && (kind == 8 || kind == 9 || kind == 18);
}

// The tag at `at`: its end (back-pointer included) when its header and back-pointer agree,
// else 0.
uint64_t TagEnd(CarveContext& ctx, uint64_t at) {
    const unsigned char* tag = ctx.View(at, kTagHeaderBytes);
    if (tag == nullptr || !IsTagType(tag[0]) || Be24(tag + 8) != 0) return 0;
    const uint32_t dataBytes = Be24(tag + 1);
    const uint64_t pointerAt = at + kTagHeaderBytes + dataBytes;
    const unsigned char* pointer = ctx.View(pointerAt, kBackPointerBytes);
    if (pointer == nullptr || Be32(pointer) != kTagHeaderBytes + dataBytes) return 0;
    return pointerAt + kBackPointerBytes;
}

}  // namespace

FormatLength FlvLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, kHeaderBytes + kBackPointerBytes);
    if (head == nullptr || std::memcmp(head, "FLV\x01", 4) != 0 || (head[4] & 0xFAu) != 0 ||
        Be32(head + 5) != kHeaderBytes || Be32(head + kHeaderBytes) != 0) {
        return FormatLength::Rejected();
    }
    uint64_t end = kHeaderBytes + kBackPointerBytes;
    uint32_t tags = 0;
    for (; tags < kMaxTags; ++tags) {
        const uint64_t next = TagEnd(ctx, end);
        if (next == 0) break;
        end = next;
    }
    if (tags == 0 || tags == kMaxTags) return FormatLength::AtLeast(end);
    return FormatLength::Exact(end);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsFlvType(carving::CarveScan&, const unsigned char* p, size_t len) {
    static const unsigned char kHeaderSize[] = {0, 0, 0, 9};
    if (p == nullptr || len < 16) return EXT_TYPE_NONE;
    return HasText(p, len, 0, "FLV") && p[3] == 1 && Has(p, len, 5, kHeaderSize, 4) ? EXT_TYPE_FLV
                                                                                    : EXT_TYPE_NONE;
}

}  // namespace carving::formats
