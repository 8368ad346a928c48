#include "carving/formats/xz.h"

#include <lzma.h>

#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr unsigned char kStreamMagic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr size_t kStreamHeaderBytes = 12;
// Enough for every preset xz offers (-9e needs about 65 MiB); a header asking for more is
// more likely hostile than real.
constexpr uint64_t kMemoryLimit = 160ull * 1024 * 1024;
// Stream padding is a few zero words; a long run of zeros is free space, not padding.
constexpr uint64_t kMaxPaddingBytes = 64 * 1024;

enum class StreamEnd { kComplete, kBroken, kDeviceEnd, kTooBig };

StreamEnd DecodeStream(CarveContext& ctx, uint64_t u64Start, std::vector<uint8_t>& out,
                       uint64_t* pEnd) {
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, kMemoryLimit, 0) != LZMA_OK) return StreamEnd::kBroken;
    StreamEnd result = StreamEnd::kDeviceEnd;
    uint64_t offset = u64Start;
    for (bool more = true; more;) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(offset, &n);
        if (p == nullptr || n == 0) break;
        stream.next_in = p;
        stream.avail_in = n;
        while (stream.avail_in != 0) {
            stream.next_out = out.data();
            stream.avail_out = out.size();
            const lzma_ret rc = lzma_code(&stream, LZMA_RUN);
            if (rc == LZMA_OK) continue;
            more = false;
            if (rc == LZMA_STREAM_END) {
                *pEnd = offset + (n - stream.avail_in);
                result = StreamEnd::kComplete;
            } else {
                result = rc == LZMA_MEMLIMIT_ERROR || rc == LZMA_MEM_ERROR ? StreamEnd::kTooBig
                                                                           : StreamEnd::kBroken;
            }
            break;
        }
        offset += n;
    }
    lzma_end(&stream);
    return result;
}

// Offset of the stream that follows the padding after u64End, or 0 when none does.
uint64_t NextStreamAfterPadding(CarveContext& ctx, uint64_t u64End) {
    uint64_t at = u64End;
    while (at - u64End <= kMaxPaddingBytes) {
        const unsigned char* p = ctx.View(at, kStreamHeaderBytes);
        if (p == nullptr) return 0;
        if (LooksLikeXz(p, kStreamHeaderBytes)) return at;
        // Padding comes in whole zero words.
        if (Le32(p) != 0) return 0;
        at += 4;
    }
    return 0;
}

}  // namespace

bool LooksLikeXz(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kStreamHeaderBytes) return false;
    if (std::memcmp(p, kStreamMagic, sizeof kStreamMagic) != 0) return false;
    // The first flag byte is reserved; the second names the check, of which 0, 1, 4 and 10
    // are defined.
    if (p[6] != 0 || (p[7] & 0xF0) != 0) return false;
    const unsigned check = p[7];
    if (check != 0 && check != 1 && check != 4 && check != 10) return false;
    return lzma_crc32(p + 6, 2, 0) == Le32(p + 8);
}

FormatLength XzLength(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, kStreamHeaderBytes);
    if (head == nullptr || !LooksLikeXz(head, kStreamHeaderBytes)) return FormatLength::Rejected();
    std::vector<uint8_t> out(64 * 1024);
    uint64_t end = 0;
    switch (DecodeStream(ctx, 0, out, &end)) {
        case StreamEnd::kBroken:
            return FormatLength::Rejected();
        case StreamEnd::kDeviceEnd:
        case StreamEnd::kTooBig:
            return FormatLength::AtLeast(ctx.BytesRead());
        case StreamEnd::kComplete:
            break;
    }
    for (uint64_t next = NextStreamAfterPadding(ctx, end); next != 0;
         next = NextStreamAfterPadding(ctx, end)) {
        uint64_t streamEnd = 0;
        if (DecodeStream(ctx, next, out, &streamEnd) != StreamEnd::kComplete) break;
        end = streamEnd;
    }
    return FormatLength::Exact(end);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsXzType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return formats::LooksLikeXz(p, len) ? EXT_TYPE_XZ : EXT_TYPE_NONE;
}

uint64_t GetXZFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOrToNextFile(scan, formats::XzLength, 4 * kGiB);
}

}  // namespace carving::formats
