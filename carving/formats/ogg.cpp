#include "carving/formats/ogg.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr size_t kPageHeaderBytes = 27;
constexpr unsigned char kContinued = 0x01;
constexpr unsigned char kBeginsStream = 0x02;
constexpr unsigned char kEndsStream = 0x04;
// A multiplexed file holds a handful of logical streams; more is not a real file.
constexpr size_t kMaxStreams = 64;
// Over 4 TiB of the smallest pages: the walk never loops longer than that.
constexpr uint64_t kMaxPages = uint64_t{1} << 37;

// Eight tables: entry k of table j is the checksum of byte k followed by j zero bytes, so that
// eight bytes are folded in at once (every byte of an Ogg file goes through this checksum).
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        t[0][i] = r;
    }
    for (size_t j = 1; j < 8; ++j) {
        for (uint32_t i = 0; i < 256; ++i) t[j][i] = (t[j - 1][i] << 8) ^ t[0][t[j - 1][i] >> 24];
    }
    return t;
}
constexpr CrcTables kCrc = MakeCrcTables();

struct Page {
    unsigned char flags = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    uint64_t bytes = 0;
};

// The page header at p (kPageHeaderBytes bytes) with plausible fixed fields.
bool IsPageHeader(const unsigned char* p) {
    return std::memcmp(p, "OggS", 4) == 0 && p[4] == 0 && (p[5] & ~0x07) == 0;
}

// The page at pos, its checksum verified over header, segment table and body.
bool ReadPage(CarveContext& ctx, uint64_t pos, Page* page) {
    unsigned char header[kPageHeaderBytes];
    if (!ctx.ReadAt(pos, sizeof header, header) || !IsPageHeader(header)) return false;
    const uint32_t stored = Le32(header + 22);
    std::memset(header + 22, 0, 4);
    uint32_t crc = OggCrc(header, sizeof header);
    const size_t segments = header[26];
    unsigned char table[255];
    if (segments != 0 && !ctx.ReadAt(pos + kPageHeaderBytes, segments, table)) return false;
    crc = OggCrc(table, segments, crc);
    uint64_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += table[i];
    const uint64_t bodyAt = pos + kPageHeaderBytes + segments;
    for (uint64_t done = 0; done < body;) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(body - done, CarveContext::kMaxView));
        const unsigned char* p = ctx.View(bodyAt + done, n);
        if (p == nullptr) return false;
        crc = OggCrc(p, n, crc);
        done += n;
    }
    if (crc != stored) return false;
    page->flags = header[5];
    page->serial = Le32(header + 14);
    page->sequence = Le32(header + 18);
    page->bytes = kPageHeaderBytes + segments + body;
    return true;
}

struct LogicalStream {
    uint32_t serial;
    uint32_t nextSequence;
    bool open;
};

// Tracks every logical stream's page sequence; false when a page does not belong where it is.
class StreamBook {
public:
    bool Accept(const Page& page) {
        auto it = std::find_if(m_streams.begin(), m_streams.end(),
                               [&](const LogicalStream& s) { return s.serial == page.serial; });
        if ((page.flags & kBeginsStream) != 0) {
            if (it != m_streams.end() || m_streams.size() == kMaxStreams) return false;
            m_streams.push_back({page.serial, page.sequence + 1, true});
            it = m_streams.end() - 1;
        } else {
            if (it == m_streams.end() || !it->open || page.sequence != it->nextSequence) {
                return false;
            }
            ++it->nextSequence;
        }
        if ((page.flags & kEndsStream) != 0) it->open = false;
        return true;
    }
    bool AllEnded() const {
        return std::none_of(m_streams.begin(), m_streams.end(),
                            [](const LogicalStream& s) { return s.open; });
    }

private:
    std::vector<LogicalStream> m_streams;
};

bool NamesKnownCodec(const unsigned char* p, size_t n) {
    static constexpr struct {
        const char* id;
        size_t bytes;
    } kCodecs[] = {{"\x01vorbis", 7},
                   {"OpusHead", 8},
                   {"\x7F"
                    "FLAC",
                    5},
                   {"Speex   ", 8},
                   {"\x80theora", 7},
                   {"fishead\0", 8}};
    return std::any_of(std::begin(kCodecs), std::end(kCodecs), [&](const auto& codec) {
        return codec.bytes <= n && std::memcmp(p, codec.id, codec.bytes) == 0;
    });
}

}  // namespace

uint32_t OggCrc(const unsigned char* p, size_t n, uint32_t crc) {
    for (; n >= 8; p += 8, n -= 8) {
        crc = kCrc[7][p[0] ^ (crc >> 24)] ^ kCrc[6][p[1] ^ ((crc >> 16) & 0xFF)] ^
              kCrc[5][p[2] ^ ((crc >> 8) & 0xFF)] ^ kCrc[4][p[3] ^ (crc & 0xFF)] ^ kCrc[3][p[4]] ^
              kCrc[2][p[5]] ^ kCrc[1][p[6]] ^ kCrc[0][p[7]];
    }
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ kCrc[0][((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

bool StartsWithOggStream(const unsigned char* p, size_t len) {
    if (p == nullptr || len < kPageHeaderBytes || !IsPageHeader(p)) return false;
    if (p[5] != kBeginsStream && p[5] != (kBeginsStream | kEndsStream)) return false;
    if (Le64(p + 6) != 0 || p[26] == 0) return false;
    const size_t segments = p[26];
    const size_t bodyAt = kPageHeaderBytes + segments;
    if (bodyAt + 8 > len || !NamesKnownCodec(p + bodyAt, len - bodyAt)) return false;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += p[kPageHeaderBytes + i];
    if (bodyAt + body > len) return true;  // the checksum is left to the length walk
    unsigned char header[kPageHeaderBytes];
    std::memcpy(header, p, sizeof header);
    std::memset(header + 22, 0, 4);
    const uint32_t crc =
        OggCrc(p + kPageHeaderBytes, segments + body, OggCrc(header, sizeof header));
    return crc == Le32(p + 22);
}

FormatLength OggLength(CarveContext& ctx) {
    Page page;
    if (!ReadPage(ctx, 0, &page) || (page.flags & kBeginsStream) == 0 ||
        (page.flags & kContinued) != 0) {
        return FormatLength::Rejected();
    }
    StreamBook book;
    uint64_t pos = 0;
    for (uint64_t pages = 0; pages < kMaxPages; ++pages) {
        if (pages != 0 && !ReadPage(ctx, pos, &page)) break;
        if (!book.Accept(page)) break;
        pos += page.bytes;
        if (book.AllEnded()) return FormatLength::Exact(pos);
    }
    return FormatLength::AtLeast(pos);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsOggType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return formats::StartsWithOggStream(p, len) ? EXT_TYPE_OGG : EXT_TYPE_NONE;
}

uint64_t GetOGGFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOrToNextFile(scan, formats::OggLength, 2 * kGiB);
}

}  // namespace carving::formats
