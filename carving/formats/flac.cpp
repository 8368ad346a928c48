#include "carving/formats/flac.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/formats/mpeg_audio.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

constexpr size_t kStreamInfoBytes = 34;
constexpr unsigned char kLastBlock = 0x80;
constexpr unsigned kInvalidBlockType = 127;
constexpr int kMaxMetadataBlocks = 4096;
constexpr size_t kMaxFrameHeaderBytes = 16;
// Frames of the shortest blocks over more than a day of audio at the highest rates.
constexpr uint64_t kMaxFrames = uint64_t{1} << 32;

constexpr std::array<uint8_t, 256> MakeCrc8Table() {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80) ? ((r << 1) ^ 0x07) : (r << 1);
        table[i] = static_cast<uint8_t>(r);
    }
    return table;
}
// Eight tables: entry k of table j is the checksum of byte k followed by j zero bytes, so that
// eight bytes are folded in at once (a FLAC file's every byte goes through this checksum).
using Crc16Tables = std::array<std::array<uint16_t, 256>, 8>;
constexpr Crc16Tables MakeCrc16Tables() {
    Crc16Tables t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i << 8;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000) ? ((r << 1) ^ 0x8005) : (r << 1);
        t[0][i] = static_cast<uint16_t>(r);
    }
    for (size_t j = 1; j < 8; ++j) {
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t prev = t[j - 1][i];
            t[j][i] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}
constexpr std::array<uint8_t, 256> kCrc8Table = MakeCrc8Table();
constexpr Crc16Tables kCrc16 = MakeCrc16Tables();

inline uint16_t Crc16Step(uint16_t crc, unsigned char b) {
    return static_cast<uint16_t>((crc << 8) ^ kCrc16[0][((crc >> 8) ^ b) & 0xFF]);
}

struct StreamInfo {
    uint32_t minBlock = 0;
    uint32_t maxBlock = 0;
    uint32_t sampleRate = 0;
    unsigned channels = 0;
    unsigned bits = 0;
    uint64_t totalSamples = 0;
};

bool ParseStreamInfo(const unsigned char* p, StreamInfo* out) {
    StreamInfo si;
    si.minBlock = Be16(p);
    si.maxBlock = Be16(p + 2);
    const uint32_t minFrame = Be24(p + 4);
    const uint32_t maxFrame = Be24(p + 7);
    si.sampleRate = (uint32_t{p[10]} << 12) | (uint32_t{p[11]} << 4) | (p[12] >> 4);
    si.channels = ((p[12] >> 1) & 7) + 1;
    si.bits = ((unsigned{p[12]} & 1) << 4 | (p[13] >> 4)) + 1;
    si.totalSamples = (uint64_t{p[13] & 0x0Fu} << 32) | Be32(p + 14);
    const bool framesOrdered = minFrame == 0 || maxFrame == 0 || minFrame <= maxFrame;
    if (si.minBlock < 16 || si.maxBlock < si.minBlock || si.sampleRate == 0 || si.bits < 4 ||
        !framesOrdered) {
        return false;
    }
    *out = si;
    return true;
}

bool IsStreamInfoHeader(const unsigned char* p) {
    return (p[0] & ~kLastBlock) == 0 && Be24(p + 1) == kStreamInfoBytes;
}

struct FrameHeader {
    uint32_t blockSize = 0;
    uint64_t number = 0;  // frame number, or first sample number for variable blocks
    bool variable = false;
    unsigned bytes = 0;
    unsigned channelAssignment = 0;
};

// The UTF-8 style coded frame or sample number at p (n bytes available); 0 bytes when broken.
unsigned CodedNumber(const unsigned char* p, size_t n, uint64_t* value) {
    unsigned extra = 0;
    unsigned char mask = 0x7F;
    if (n == 0) return 0;
    if (p[0] >= 0x80) {
        if (p[0] < 0xC0 || p[0] == 0xFF) return 0;
        while (((p[0] << (extra + 1)) & 0x80) != 0) ++extra;
        mask = static_cast<unsigned char>(0x3F >> extra);
    }
    if (extra + 1 > n) return 0;
    uint64_t v = p[0] & mask;
    for (unsigned i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    *value = v;
    return extra + 1;
}

uint32_t CodedBlockSize(unsigned code, const unsigned char* extra) {
    if (code == 1) return 192;
    if (code >= 2 && code <= 5) return 576u << (code - 2);
    if (code == 6) return uint32_t{extra[0]} + 1;
    if (code == 7) return uint32_t{Be16(extra)} + 1;
    if (code >= 8) return 256u << (code - 8);
    return 0;
}

uint32_t CodedSampleRate(unsigned code, const unsigned char* extra, uint32_t fromInfo) {
    static constexpr uint32_t kRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                            22050, 24000, 32000,  44100,  48000, 96000};
    if (code == 0) return fromInfo;
    if (code < 12) return kRates[code];
    if (code == 12) return uint32_t{extra[0]} * 1000;
    if (code == 13) return Be16(extra);
    return uint32_t{Be16(extra)} * 10;
}

unsigned CodedBits(unsigned code, unsigned fromInfo) {
    static constexpr unsigned kBits[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    return code == 0 ? fromInfo : kBits[code];
}

// The frame header at p (n bytes available), checked against the stream's STREAMINFO and by
// its own CRC-8.
bool ParseFrameHeader(const unsigned char* p, size_t n, const StreamInfo& si, FrameHeader* out) {
    if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return false;
    const unsigned blockCode = p[2] >> 4;
    const unsigned rateCode = p[2] & 0x0F;
    const unsigned channelCode = p[3] >> 4;
    const unsigned bitsCode = (p[3] >> 1) & 7;
    if (blockCode == 0 || rateCode == 15 || channelCode > 10 || bitsCode == 3 || (p[3] & 1) != 0)
        return false;
    FrameHeader h;
    h.variable = (p[1] & 1) != 0;
    h.channelAssignment = channelCode;
    size_t at = 4 + CodedNumber(p + 4, n - 4, &h.number);
    if (at == 4) return false;
    const size_t blockExtra = blockCode == 6 ? 1 : blockCode == 7 ? 2 : 0;
    const size_t rateExtra = rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
    if (at + blockExtra + rateExtra + 1 > n) return false;
    h.blockSize = CodedBlockSize(blockCode, p + at);
    const uint32_t rate = CodedSampleRate(rateCode, p + at + blockExtra, si.sampleRate);
    at += blockExtra + rateExtra;
    const unsigned channels = channelCode <= 7 ? channelCode + 1 : 2;
    if (FlacCrc8(p, at) != p[at] || channels != si.channels || rate != si.sampleRate ||
        CodedBits(bitsCode, si.bits) != si.bits || h.blockSize > si.maxBlock) {
        return false;
    }
    h.bytes = static_cast<unsigned>(at + 1);
    *out = h;
    return true;
}

// The most a frame of this block size can take: every sample stored raw at the widest
// sample size, with subframe headers, padding and both checksums.
uint64_t FrameBytesBound(const StreamInfo& si, uint32_t blockSize) {
    return kMaxFrameHeaderBytes + uint64_t{si.channels} * (8 + (uint64_t{blockSize} * 33 + 7) / 8) +
           2;
}

// Reads the bits of one frame through the context, window by window, never past its limit.
class BitReader {
public:
    BitReader(CarveContext& ctx, uint64_t start, uint64_t limitBytes)
        : m_ctx(ctx), m_start(start), m_limitBits(limitBytes * 8) {}

    bool Bit(unsigned* bit) {
        unsigned char byte = 0;
        if (!Byte(m_bit / 8, &byte)) return false;
        *bit = (byte >> (7 - m_bit % 8)) & 1;
        ++m_bit;
        return true;
    }
    bool Read(unsigned n, uint32_t* value) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            unsigned bit = 0;
            if (!Bit(&bit)) return false;
            v = (v << 1) | bit;
        }
        *value = v;
        return true;
    }
    bool Skip(uint64_t n) {
        if (n > m_limitBits - m_bit) return false;
        m_bit += n;
        return true;
    }
    // Zero bits up to the next one bit, which is consumed.
    bool Unary(uint32_t* zeros) {
        uint64_t count = 0;
        for (;;) {
            unsigned char byte = 0;
            if (m_bit % 8 == 0 && Byte(m_bit / 8, &byte) && byte == 0) {
                m_bit += 8;
                count += 8;
                continue;
            }
            unsigned bit = 0;
            if (!Bit(&bit)) return false;
            if (bit == 1) break;
            ++count;
        }
        *zeros = static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
        return true;
    }
    uint64_t AlignedEnd() const { return m_start + (m_bit + 7) / 8; }

private:
    bool Byte(uint64_t index, unsigned char* out) {
        if (index * 8 >= m_limitBits) return false;
        const uint64_t at = m_start + index;
        if (m_window == nullptr || at < m_windowAt || at - m_windowAt >= m_windowBytes) {
            m_window = m_ctx.ViewSome(at, &m_windowBytes);
            m_windowAt = at;
            if (m_window == nullptr) return false;
        }
        *out = m_window[at - m_windowAt];
        return true;
    }

    CarveContext& m_ctx;
    uint64_t m_start;
    uint64_t m_limitBits;
    uint64_t m_bit = 0;
    const unsigned char* m_window = nullptr;
    uint64_t m_windowAt = 0;
    size_t m_windowBytes = 0;
};

bool SkipResidual(BitReader& bits, uint32_t blockSize, unsigned order) {
    uint32_t method = 0;
    uint32_t partitionOrder = 0;
    if (!bits.Read(2, &method) || method > 1 || !bits.Read(4, &partitionOrder)) return false;
    const unsigned paramBits = method == 0 ? 4 : 5;
    const uint32_t escape = method == 0 ? 15 : 31;
    const uint32_t perPartition = blockSize >> partitionOrder;
    if ((perPartition << partitionOrder) != blockSize || perPartition < order) return false;
    for (uint32_t part = 0; part < (1u << partitionOrder); ++part) {
        const uint32_t samples = perPartition - (part == 0 ? order : 0);
        uint32_t param = 0;
        if (!bits.Read(paramBits, &param)) return false;
        if (param == escape) {
            uint32_t raw = 0;
            if (!bits.Read(5, &raw) || !bits.Skip(uint64_t{samples} * raw)) return false;
            continue;
        }
        for (uint32_t i = 0; i < samples; ++i) {
            uint32_t quotient = 0;
            if (!bits.Unary(&quotient) || !bits.Skip(param)) return false;
        }
    }
    return true;
}

bool SkipSubframe(BitReader& bits, uint32_t blockSize, unsigned sampleBits) {
    uint32_t zero = 0;
    uint32_t type = 0;
    uint32_t wasted = 0;
    if (!bits.Read(1, &zero) || zero != 0 || !bits.Read(6, &type) || !bits.Read(1, &wasted)) {
        return false;
    }
    if (wasted != 0) {
        uint32_t extra = 0;
        if (!bits.Unary(&extra) || extra + 1 >= sampleBits) return false;
        sampleBits -= extra + 1;
    }
    if (type == 0) return bits.Skip(sampleBits);
    if (type == 1) return bits.Skip(uint64_t{blockSize} * sampleBits);
    if (type >= 8 && type <= 12) {
        const unsigned order = type - 8;
        return bits.Skip(uint64_t{order} * sampleBits) && SkipResidual(bits, blockSize, order);
    }
    if (type < 32) return false;
    const unsigned order = type - 31;
    uint32_t precision = 0;
    if (!bits.Skip(uint64_t{order} * sampleBits) || !bits.Read(4, &precision) || precision == 15)
        return false;
    return bits.Skip(5 + uint64_t{order} * (precision + 1)) && SkipResidual(bits, blockSize, order);
}

// The side channel of a stereo decorrelation carries one bit more than the samples.
unsigned SubframeBits(const FrameHeader& h, unsigned bits, unsigned channel) {
    const bool side = (h.channelAssignment == 8 && channel == 1) ||
                      (h.channelAssignment == 9 && channel == 0) ||
                      (h.channelAssignment == 10 && channel == 1);
    return bits + (side ? 1 : 0);
}

// CRC-16 continued from crc over [from, to) of the file; false when a byte cannot be read.
bool Crc16Over(CarveContext& ctx, uint64_t from, uint64_t to, uint16_t* crc) {
    while (from < to) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(from, &n);
        if (p == nullptr) return false;
        n = static_cast<size_t>(std::min<uint64_t>(n, to - from));
        *crc = FlacCrc16(p, n, *crc);
        from += n;
    }
    return true;
}

// End of the frame at pos from its subframes, when its CRC-16 confirms it; 0 otherwise.
uint64_t FrameEndFromSubframes(CarveContext& ctx, uint64_t pos, const FrameHeader& h,
                               const StreamInfo& si) {
    BitReader bits(ctx, pos, FrameBytesBound(si, h.blockSize));
    if (!bits.Skip(uint64_t{h.bytes} * 8)) return 0;
    for (unsigned channel = 0; channel < si.channels; ++channel) {
        if (!SkipSubframe(bits, h.blockSize, SubframeBits(h, si.bits, channel))) return 0;
    }
    const uint64_t end = bits.AlignedEnd() + 2;
    uint16_t crc = 0;
    return Crc16Over(ctx, pos, end, &crc) && crc == 0 ? end : 0;
}

bool FrameHeaderAt(CarveContext& ctx, uint64_t pos, const StreamInfo& si, FrameHeader* h) {
    const uint64_t left = ctx.BytesToDeviceEnd() > pos ? ctx.BytesToDeviceEnd() - pos : 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kMaxFrameHeaderBytes));
    const unsigned char* p = n == 0 ? nullptr : ctx.View(pos, n);
    return p != nullptr && ParseFrameHeader(p, n, si, h);
}

// The frame after the one at pos: the first sync code that starts a header continuing the
// stream's numbering, where the CRC-16 run from this frame's start closes. The checksum is
// run only up to such headers, so the bytes between are scanned with memchr. 0 when no frame
// follows within what this one can hold.
uint64_t NextFrame(CarveContext& ctx, uint64_t pos, const FrameHeader& current,
                   const StreamInfo& si, uint64_t expectNumber, FrameHeader* next) {
    const uint64_t limit = pos + FrameBytesBound(si, current.blockSize) + 1;
    uint16_t crc = 0;
    uint64_t crcAt = pos;  // crc covers [pos, crcAt)
    uint64_t at = pos + current.bytes + 2;
    while (at < limit) {
        size_t n = 0;
        const unsigned char* p = ctx.ViewSome(at, &n);
        if (p == nullptr) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, limit - at));
        const unsigned char* hit = p;
        const unsigned char* const stop = p + n;
        while ((hit = static_cast<const unsigned char*>(std::memchr(hit, 0xFF, stop - hit))) &&
               hit + 1 < stop && (hit[1] & 0xFE) != 0xF8) {
            ++hit;
        }
        if (hit == nullptr) {
            at += n;
            continue;
        }
        const uint64_t candidate = at + static_cast<uint64_t>(hit - p);
        at = candidate + 1;
        FrameHeader h;
        if (!FrameHeaderAt(ctx, candidate, si, &h) || h.variable != current.variable ||
            h.number != expectNumber) {
            continue;
        }
        if (!Crc16Over(ctx, crcAt, candidate, &crc)) return 0;
        crcAt = candidate;
        if (crc == 0) {
            *next = h;
            return candidate;
        }
    }
    return 0;
}

// Offset of the first frame: "fLaC" at base, STREAMINFO, then the chain of metadata blocks up
// to the one flagged last. 0 when the chain breaks off, with *pRejected set when "fLaC" or a
// sound STREAMINFO is missing.
uint64_t AudioStart(CarveContext& ctx, uint64_t base, StreamInfo* si, bool* pRejected) {
    const unsigned char* p = ctx.View(base, 8 + kStreamInfoBytes);
    *pRejected = p == nullptr || std::memcmp(p, "fLaC", 4) != 0 || !IsStreamInfoHeader(p + 4) ||
                 !ParseStreamInfo(p + 8, si);
    if (*pRejected) return 0;
    bool last = (p[4] & kLastBlock) != 0;
    uint64_t pos = base + 8 + kStreamInfoBytes;
    for (int i = 0; !last && i < kMaxMetadataBlocks; ++i) {
        const unsigned char* b = ctx.View(pos, 4);
        if (b == nullptr || (b[0] & ~kLastBlock) == kInvalidBlockType) return 0;
        last = (b[0] & kLastBlock) != 0;
        pos += 4 + uint64_t{Be24(b + 1)};
    }
    return last ? pos : 0;
}

}  // namespace

uint8_t FlacCrc8(const unsigned char* p, size_t n, uint8_t crc) {
    for (size_t i = 0; i < n; ++i) crc = kCrc8Table[crc ^ p[i]];
    return crc;
}

uint16_t FlacCrc16(const unsigned char* p, size_t n, uint16_t crc) {
    for (; n >= 8; p += 8, n -= 8) {
        crc = kCrc16[7][p[0] ^ (crc >> 8)] ^ kCrc16[6][p[1] ^ (crc & 0xFF)] ^ kCrc16[5][p[2]] ^
              kCrc16[4][p[3]] ^ kCrc16[3][p[4]] ^ kCrc16[2][p[5]] ^ kCrc16[1][p[6]] ^
              kCrc16[0][p[7]];
    }
    for (size_t i = 0; i < n; ++i) crc = Crc16Step(crc, p[i]);
    return crc;
}

bool StartsWithFlacStream(const unsigned char* p, size_t len) {
    StreamInfo si;
    return p != nullptr && len >= 8 + kStreamInfoBytes && std::memcmp(p, "fLaC", 4) == 0 &&
           IsStreamInfoHeader(p + 4) && ParseStreamInfo(p + 8, &si);
}

FormatLength FlacLength(CarveContext& ctx) {
    StreamInfo si;
    bool rejected = false;
    const uint64_t base = SkipLeadingId3v2(ctx);
    uint64_t pos = AudioStart(ctx, base, &si, &rejected);
    if (rejected) return FormatLength::Rejected();
    FrameHeader h;
    if (pos == 0 || !FrameHeaderAt(ctx, pos, si, &h) || h.number != 0) {
        return FormatLength::AtLeast(std::max(pos, base));
    }
    uint64_t samples = 0;
    for (uint64_t frames = 1; frames < kMaxFrames; ++frames) {
        samples += h.blockSize;
        const bool last = si.totalSamples != 0 && samples >= si.totalSamples;
        FrameHeader next;
        const uint64_t expect = h.variable ? samples : frames;
        const uint64_t at = last ? 0 : NextFrame(ctx, pos, h, si, expect, &next);
        if (at == 0) {
            if (!last && si.totalSamples != 0) break;  // the frames break off early
            // Once the scan is cancelled every read fails: that is no end of the stream.
            const uint64_t end = ctx.Cancelled() ? 0 : FrameEndFromSubframes(ctx, pos, h, si);
            return end != 0 ? FormatLength::Exact(end) : FormatLength::AtLeast(pos);
        }
        pos = at;
        h = next;
    }
    return FormatLength::AtLeast(pos);
}

bool IsTaggedFlac(const unsigned char* p, size_t len) {
    const uint64_t tag = Id3v2TagBytes(p, len);
    return tag != 0 && tag < len && StartsWithFlacStream(p + tag, len - tag);
}

// ---- Typing and measuring for the signature table ------------------------------------

uint32_t IsFlacType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (formats::StartsWithFlacStream(p, len) || formats::IsTaggedFlac(p, len))
        return EXT_TYPE_FLAC;
    // A tag longer than the buffer hides what follows it. The table walk never gets here with
    // one (the MP3 row takes it first and its length walk finds FLAC behind the tag); a file
    // that a file system names .flac keeps its extension.
    const uint64_t tag = formats::Id3v2TagBytes(p, len);
    return tag > len ? EXT_TYPE_FLAC : EXT_TYPE_NONE;
}

uint64_t GetFLACFileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOrToNextFile(scan, formats::FlacLength, 2 * kGiB);
}

}  // namespace carving::formats
