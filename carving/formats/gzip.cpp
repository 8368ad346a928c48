#include "carving/formats/gzip.h"

#include <zlib.h>

#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

enum class MemberEnd { kComplete, kBroken, kDeviceEnd };

// Inflates the gzip member starting at u64Start and reports where it ends. zlib checks the
// header, the CRC-32 and the size in the trailer itself when given 16 + MAX_WBITS.
class MemberInflater {
public:
    MemberInflater() {
        m_bReady = inflateInit2(&m_stream, 16 + MAX_WBITS) == Z_OK;
        m_out.resize(kOutBytes);
    }
    ~MemberInflater() {
        if (m_bReady) inflateEnd(&m_stream);
    }
    MemberInflater(const MemberInflater&) = delete;
    MemberInflater& operator=(const MemberInflater&) = delete;

    bool Ready() const { return m_bReady; }

    MemberEnd Run(CarveContext& ctx, uint64_t u64Start, uint64_t* pEnd) {
        if (inflateReset(&m_stream) != Z_OK) return MemberEnd::kBroken;
        uint64_t offset = u64Start;
        for (;;) {
            size_t n = 0;
            const unsigned char* p = ctx.ViewSome(offset, &n);
            if (p == nullptr || n == 0) return MemberEnd::kDeviceEnd;
            m_stream.next_in = const_cast<Bytef*>(p);
            m_stream.avail_in = static_cast<uInt>(n);
            while (m_stream.avail_in != 0) {
                m_stream.next_out = m_out.data();
                m_stream.avail_out = static_cast<uInt>(m_out.size());
                const int rc = inflate(&m_stream, Z_NO_FLUSH);
                if (rc == Z_STREAM_END) {
                    *pEnd = offset + (n - m_stream.avail_in);
                    return MemberEnd::kComplete;
                }
                // Z_BUF_ERROR with input left cannot happen while the output has room.
                if (rc != Z_OK) return MemberEnd::kBroken;
            }
            offset += n;
        }
    }

private:
    static constexpr size_t kOutBytes = 64 * 1024;
    z_stream m_stream{};
    bool m_bReady = false;
    std::vector<Bytef> m_out;
};

bool StartsMember(CarveContext& ctx, uint64_t u64Offset) {
    const unsigned char* p = ctx.View(u64Offset, 3);
    return p != nullptr && p[0] == 0x1F && p[1] == 0x8B && p[2] == 0x08;
}

}  // namespace

FormatLength GzipLength(CarveContext& ctx) {
    if (!StartsMember(ctx, 0)) return FormatLength::Rejected();
    MemberInflater inflater;
    if (!inflater.Ready()) return FormatLength::AtLeast(0);
    uint64_t end = 0;
    switch (inflater.Run(ctx, 0, &end)) {
        case MemberEnd::kBroken:
            return FormatLength::Rejected();
        case MemberEnd::kDeviceEnd:
            return FormatLength::AtLeast(ctx.BytesRead());
        case MemberEnd::kComplete:
            break;
    }
    // Concatenated members make one file; a member that breaks off belongs to something else.
    while (StartsMember(ctx, end)) {
        uint64_t next = 0;
        if (inflater.Run(ctx, end, &next) != MemberEnd::kComplete) break;
        end = next;
    }
    return FormatLength::Exact(end);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr unsigned char kGzipMagic[] = {0x1F, 0x8B, 0x08};

}  // namespace

namespace carving::formats {

uint32_t IsGzipType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16 || !Has(p, len, 0, kGzipMagic, sizeof kGzipMagic)) return EXT_TYPE_NONE;
    // The three high flag bits are reserved; the extra flags are 0 (gzip's default level),
    // 2 (best) or 4 (fastest); the system byte is one of those named, or 255.
    const bool flags = (p[3] & 0xE0) == 0;
    const bool extra = p[8] == 0 || p[8] == 2 || p[8] == 4;
    const bool os = p[9] < 14 || p[9] == 255;
    return flags && extra && os ? EXT_TYPE_GZ : EXT_TYPE_NONE;
}

uint64_t GetGZFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    return ExactOr(scan, formats::GzipLength,
                   [&] { return CFileTypeJudge::GetDefaultVedioFileBytesSize(scan, p, len); });
}

}  // namespace carving::formats
