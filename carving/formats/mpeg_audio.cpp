#include "carving/formats/mpeg_audio.h"

#include <algorithm>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/formats/flac.h"
#include "carving/judge_internal.h"

namespace carving::formats {

namespace {

// Kilobits per second by bitrate index; the last row serves MPEG-2/2.5 layers II and III.
constexpr uint16_t kBitrateKbps[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
constexpr uint32_t kSampleRates[3][3] = {
    {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

// Four frames in a row of one stream are far beyond what noise after a file produces.
constexpr uint64_t kFramesForExact = 4;
// Over 400 hours of the shortest frames: a walk never loops longer than that.
constexpr uint64_t kMaxFrames = uint64_t{1} << 26;
constexpr int kMaxLeadingTags = 8;
constexpr int kMaxTrailingTags = 6;
// Some taggers leave zeros between their tag and the first frame.
constexpr size_t kMaxZeroGap = 4096;
constexpr size_t kId3v1Bytes = 128;
constexpr size_t kId3v1ExtendedBytes = 227;
constexpr size_t kApeFooterBytes = 32;
constexpr uint32_t kApeIsHeader = 1u << 29;
constexpr uint32_t kMaxApeTagBytes = 64u * 1024 * 1024;
constexpr uint32_t kMaxApeValueBytes = 16u * 1024 * 1024;
constexpr size_t kMaxApeItems = 512;
constexpr size_t kMaxApeKey = 255;
constexpr int kMaxLyricsFields = 32;
constexpr size_t kLyrics1MaxBytes = 11 + 5100 + 9;

bool SameStream(const MpegFrameHeader& a, const MpegFrameHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate &&
           a.mono == b.mono;
}

// Frame counts an encoder's info header (Xing/Info or VBRI) announces for the stream.
struct EncoderInfo {
    bool present = false;
    bool xing = false;  // a Xing/Info header, whose byte count is that of the frames
    uint32_t frames = 0;
    uint32_t bytes = 0;
};

size_t SideInfoBytes(const MpegFrameHeader& h) {
    if (h.version == 10) return h.mono ? 17 : 32;
    return h.mono ? 9 : 17;
}

// The info header sits after the side information of the first frame (Xing/Info) or at a
// fixed place (VBRI); frame holds n bytes of that frame.
EncoderInfo ReadEncoderInfo(const unsigned char* frame, size_t n, const MpegFrameHeader& h) {
    EncoderInfo info;
    for (size_t crc : {size_t{0}, size_t{2}}) {
        if (crc != 0 && !h.crcProtected) break;
        const size_t at = 4 + SideInfoBytes(h) + crc;
        if (at + 16 > n) break;
        if (std::memcmp(frame + at, "Xing", 4) != 0 && std::memcmp(frame + at, "Info", 4) != 0) {
            continue;
        }
        const uint32_t flags = Be32(frame + at + 4);
        size_t field = at + 8;
        if ((flags & 1) != 0) {
            info.frames = Be32(frame + field);
            field += 4;
        }
        if ((flags & 2) != 0 && field + 4 <= n) info.bytes = Be32(frame + field);
        info.present = info.xing = true;
        return info;
    }
    constexpr size_t kVbriAt = 36;
    if (kVbriAt + 18 <= n && std::memcmp(frame + kVbriAt, "VBRI", 4) == 0) {
        info.present = true;
        info.bytes = Be32(frame + kVbriAt + 10);
        info.frames = Be32(frame + kVbriAt + 14);
    }
    return info;
}

bool HasEncoderMarker(const unsigned char* p, size_t len, const MpegFrameHeader& h) {
    const size_t n = std::min<size_t>(len, h.frameBytes);
    if (ReadEncoderInfo(p, n, h).present) return true;
    for (size_t i = 4; i + 4 <= n; ++i) {
        if (p[i] == 'L' && std::memcmp(p + i, "LAME", 4) == 0) return true;
    }
    return false;
}

uint64_t SkipZeroGap(CarveContext& ctx, uint64_t pos) {
    size_t n = 0;
    const unsigned char* p = ctx.ViewSome(pos, &n);
    n = std::min(n, kMaxZeroGap);
    size_t zeros = 0;
    while (zeros < n && p[zeros] == 0) ++zeros;
    return zeros < n ? pos + zeros : pos;
}

uint64_t Id3v1End(CarveContext& ctx, uint64_t pos) {
    const unsigned char* p = ctx.View(pos, 4);
    if (p == nullptr || std::memcmp(p, "TAG", 3) != 0) return 0;
    if (p[3] == '+') {
        const unsigned char* plain = ctx.View(pos + kId3v1ExtendedBytes, 3);
        if (plain == nullptr || std::memcmp(plain, "TAG", 3) != 0) return 0;
        pos += kId3v1ExtendedBytes;
    }
    return ctx.View(pos, kId3v1Bytes) != nullptr ? pos + kId3v1Bytes : 0;
}

// An APE item: value size, flags, a printable key ended by a zero byte, the value. Returns
// the item's bytes or 0.
uint64_t ApeItemBytes(CarveContext& ctx, uint64_t pos) {
    const uint64_t left = ctx.BytesToDeviceEnd() > pos ? ctx.BytesToDeviceEnd() - pos : 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, 8 + kMaxApeKey + 1));
    const unsigned char* p = ctx.View(pos, n);
    if (p == nullptr || n < 11) return 0;
    const uint32_t valueBytes = Le32(p);
    if (valueBytes > kMaxApeValueBytes) return 0;
    size_t key = 0;
    while (8 + key < n && p[8 + key] >= 0x20 && p[8 + key] < 0x7F) ++key;
    if (key < 2 || 8 + key >= n || p[8 + key] != 0) return 0;
    return 8 + key + 1 + uint64_t{valueBytes};
}

bool IsApeFooter(const unsigned char* p, uint64_t tagBytes, uint32_t items) {
    return std::memcmp(p, "APETAGEX", 8) == 0 && (Le32(p + 20) & kApeIsHeader) == 0 &&
           Le32(p + 12) == tagBytes && Le32(p + 16) == items;
}

// An APE tag: with its header, the header's size leads to the footer; without one (the first
// version of the tag), the items are walked up to a footer whose size matches the walk.
uint64_t ApeTagEnd(CarveContext& ctx, uint64_t pos) {
    const unsigned char* p = ctx.View(pos, kApeFooterBytes);
    if (p == nullptr) return 0;
    if (std::memcmp(p, "APETAGEX", 8) == 0) {
        const uint32_t size = Le32(p + 12);
        const uint32_t items = Le32(p + 16);
        if ((Le32(p + 20) & kApeIsHeader) == 0 || size < kApeFooterBytes || size > kMaxApeTagBytes)
            return 0;
        const unsigned char* footer = ctx.View(pos + size, kApeFooterBytes);
        if (footer == nullptr || !IsApeFooter(footer, size, items)) return 0;
        return pos + kApeFooterBytes + size;
    }
    uint64_t cursor = pos;
    for (uint32_t items = 0; items <= kMaxApeItems; ++items) {
        const unsigned char* f = ctx.View(cursor, kApeFooterBytes);
        if (f == nullptr) return 0;
        if (std::memcmp(f, "APETAGEX", 8) == 0) {
            return IsApeFooter(f, cursor + kApeFooterBytes - pos, items) ? cursor + kApeFooterBytes
                                                                         : 0;
        }
        const uint64_t item = ApeItemBytes(ctx, cursor);
        if (item == 0 || cursor - pos + item > kMaxApeTagBytes) return 0;
        cursor += item;
    }
    return 0;
}

bool AllDigits(const unsigned char* p, size_t n) {
    return std::all_of(p, p + n, [](unsigned char c) { return c >= '0' && c <= '9'; });
}

uint64_t DecimalValue(const unsigned char* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + static_cast<uint64_t>(p[i] - '0');
    return v;
}

// Lyrics3: the second version walks its fields to a size that counts them; the first ends
// with a fixed word within a bounded stretch.
uint64_t Lyrics3End(CarveContext& ctx, uint64_t pos) {
    const unsigned char* p = ctx.View(pos, 11);
    if (p == nullptr || std::memcmp(p, "LYRICSBEGIN", 11) != 0) return 0;
    uint64_t cursor = pos + 11;
    for (int i = 0; i < kMaxLyricsFields; ++i) {
        const unsigned char* f = ctx.View(cursor, 15);
        if (f == nullptr) break;
        if (AllDigits(f, 6) && std::memcmp(f + 6, "LYRICS200", 9) == 0) {
            if (DecimalValue(f, 6) == cursor - pos) return cursor + 15;
            break;
        }
        const bool field =
            std::all_of(f, f + 3, [](unsigned char c) { return c >= 'A' && c <= 'Z'; });
        if (!field || !AllDigits(f + 3, 5)) break;
        cursor += 8 + DecimalValue(f + 3, 5);
    }
    size_t n = 0;
    const unsigned char* v = ctx.ViewSome(pos, &n);
    n = std::min(n, kLyrics1MaxBytes);
    for (size_t at = 11; at + 9 <= n; ++at) {
        if (v[at] == 'L' && std::memcmp(v + at, "LYRICSEND", 9) == 0) return pos + at + 9;
    }
    return 0;
}

// A tag appended after the audio carries a footer; without one, "ID3" here starts the next
// file's leading tag.
uint64_t AppendedId3v2End(CarveContext& ctx, uint64_t pos) {
    const unsigned char* p = ctx.View(pos, 10);
    const uint64_t tag = p == nullptr ? 0 : Id3v2TagBytes(p, 10);
    if (tag == 0 || (p[5] & 0x10) == 0) return 0;
    const unsigned char* footer = ctx.View(pos + tag - 10, 3);
    return footer != nullptr && std::memcmp(footer, "3DI", 3) == 0 ? pos + tag : 0;
}

// The tags after the last frame, in whatever order the taggers left them; ID3v1 is last.
uint64_t SkipTrailingTags(CarveContext& ctx, uint64_t pos, bool* pFound) {
    for (int i = 0; i < kMaxTrailingTags; ++i) {
        const uint64_t v1 = Id3v1End(ctx, pos);
        if (v1 != 0) {
            *pFound = true;
            return v1;
        }
        uint64_t next = ApeTagEnd(ctx, pos);
        if (next == 0) next = Lyrics3End(ctx, pos);
        if (next == 0) next = AppendedId3v2End(ctx, pos);
        if (next == 0) break;
        *pFound = true;
        pos = next;
    }
    return pos;
}

bool FrameAt(CarveContext& ctx, uint64_t pos, MpegFrameHeader* h) {
    const unsigned char* p = ctx.View(pos, 4);
    return p != nullptr && ParseMpegFrameHeader(p, h);
}

EncoderInfo FirstFrameInfo(CarveContext& ctx, uint64_t start, const MpegFrameHeader& first) {
    size_t n = 0;
    const unsigned char* frame = ctx.ViewSome(start, &n);
    if (frame == nullptr) return EncoderInfo{};
    return ReadEncoderInfo(frame, std::min<size_t>(n, first.frameBytes), first);
}

struct FrameWalk {
    uint64_t end = 0;
    uint64_t frames = 0;
    bool confirmed = false;   // ended where the info header said the frames end
    bool offDevice = false;   // the last frame runs past the device's end
    bool unreadable = false;  // a read failed (or the scan was cancelled) before the end
};

bool EndsWhereInfoSays(const EncoderInfo& info, uint64_t start, uint64_t pos, uint64_t frames) {
    if (!info.xing || info.bytes == 0) return false;
    const bool bytes = pos - start == info.bytes || pos == info.bytes;
    const bool count = info.frames == 0 || frames == info.frames || frames == info.frames + 1;
    return bytes && count;
}

FrameWalk WalkFrames(CarveContext& ctx, uint64_t start, const MpegFrameHeader& first,
                     const EncoderInfo& info) {
    FrameWalk walk;
    uint64_t pos = start;
    while (walk.frames < kMaxFrames) {
        if (walk.frames != 0 && EndsWhereInfoSays(info, start, pos, walk.frames)) {
            walk.confirmed = true;
            break;
        }
        const unsigned char* p = ctx.View(pos, 4);
        MpegFrameHeader h;
        if (p == nullptr) {
            walk.unreadable = ctx.Cancelled() || ctx.BytesToDeviceEnd() - pos >= 4;
            break;
        }
        if (!ParseMpegFrameHeader(p, &h) || !SameStream(first, h)) break;
        if (h.frameBytes > ctx.BytesToDeviceEnd() - pos) {
            walk.offDevice = true;
            break;
        }
        pos += h.frameBytes;
        ++walk.frames;
    }
    walk.end = pos;
    return walk;
}

}  // namespace

bool ParseMpegFrameHeader(const unsigned char* p, MpegFrameHeader* out) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int versionBits = (p[1] >> 3) & 3;
    const int layerBits = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const bool reservedEmphasis = (p[3] & 3) == 2;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
        rateIndex == 3 || reservedEmphasis) {
        return false;
    }
    MpegFrameHeader h;
    h.version = versionBits == 3 ? 10 : versionBits == 2 ? 20 : 25;
    h.layer = 4 - layerBits;
    h.crcProtected = (p[1] & 1) == 0;
    h.mono = (p[3] >> 6) == 3;
    const bool mpeg1 = h.version == 10;
    const int table = mpeg1 ? h.layer - 1 : (h.layer == 1 ? 3 : 4);
    const uint32_t bitrate = kBitrateKbps[table][bitrateIndex] * 1000u;
    h.sampleRate = kSampleRates[mpeg1 ? 0 : (h.version == 20 ? 1 : 2)][rateIndex];
    const uint32_t padding = (p[2] >> 1) & 1;
    if (h.layer == 1) {
        h.frameBytes = (12 * bitrate / h.sampleRate + padding) * 4;
    } else {
        const uint32_t perBitrate = (h.layer == 3 && !mpeg1) ? 72 : 144;
        h.frameBytes = perBitrate * bitrate / h.sampleRate + padding;
    }
    *out = h;
    return true;
}

uint64_t Id3v2TagBytes(const unsigned char* p, size_t len) {
    if (p == nullptr || len < 10 || std::memcmp(p, "ID3", 3) != 0) return 0;
    const unsigned major = p[3];
    if (major < 2 || major > 4 || p[4] == 0xFF) return 0;
    const unsigned flags = p[5];
    const bool footer = major == 4 && (flags & 0x10) != 0;
    if ((flags & (major == 4 ? 0x0F : 0x1F)) != 0) return 0;
    uint64_t size = 0;
    for (size_t i = 6; i < 10; ++i) {
        if (p[i] >= 0x80) return 0;
        size = (size << 7) | p[i];
    }
    return 10 + size + (footer ? 10 : 0);
}

uint64_t SkipLeadingId3v2(CarveContext& ctx) {
    uint64_t pos = 0;
    for (int i = 0; i < kMaxLeadingTags; ++i) {
        const unsigned char* p = ctx.View(pos, 10);
        const uint64_t tag = p == nullptr ? 0 : Id3v2TagBytes(p, 10);
        if (tag == 0) break;
        pos += tag;
    }
    return pos;
}

bool StartsWithLayer3Stream(const unsigned char* p, size_t len) {
    MpegFrameHeader first;
    if (p == nullptr || len < 4 || !ParseMpegFrameHeader(p, &first) || first.layer != 3) {
        return false;
    }
    if (first.frameBytes + 4 <= len) {
        MpegFrameHeader next;
        return ParseMpegFrameHeader(p + first.frameBytes, &next) && SameStream(first, next);
    }
    return HasEncoderMarker(p, len, first);
}

FormatLength Mp3Length(CarveContext& ctx) {
    const unsigned char* head = ctx.View(0, 4);
    if (head == nullptr) return FormatLength::Rejected();
    // A tag the recogniser accepted is evidence enough to fall back rather than refuse.
    const bool tagged = std::memcmp(head, "ID3", 3) == 0;
    uint64_t start = SkipLeadingId3v2(ctx);
    MpegFrameHeader first;
    if (!FrameAt(ctx, start, &first) && tagged) start = SkipZeroGap(ctx, start);
    if (!FrameAt(ctx, start, &first)) {
        return tagged ? FormatLength::AtLeast(start) : FormatLength::Rejected();
    }
    const EncoderInfo info = FirstFrameInfo(ctx, start, first);
    const FrameWalk walk = WalkFrames(ctx, start, first, info);
    if (walk.offDevice || walk.unreadable) return FormatLength::AtLeast(walk.end);
    bool tags = false;
    const uint64_t end = SkipTrailingTags(ctx, walk.end, &tags);
    // A Xing/Info stream that stops short of its own byte count was cut or overwritten.
    const bool shortOfInfo = info.xing && info.bytes != 0 && !walk.confirmed && !tags &&
                             walk.end - start < info.bytes && walk.end < info.bytes;
    if (shortOfInfo) return FormatLength::AtLeast(end);
    if (walk.confirmed || walk.frames >= kFramesForExact || (walk.frames != 0 && tags)) {
        return FormatLength::Exact(end);
    }
    return FormatLength::AtLeast(end);
}

}  // namespace carving::formats

// ---- Typing and measuring for the signature table ------------------------------------

using namespace carving;

namespace {

constexpr char sm_ucMp3Tail[] = "TAG";

constexpr unsigned char kMp2Magic[] = {0xFF, 0xFD, 0xE4, 0x00};

constexpr size_t kId3v1TagBytes = 128;

// A file typed MP3 from its ID3v2 tag may hold FLAC after a tag too long for the buffer.
FormatLength TaggedAudioLength(CarveContext& ctx) {
    const FormatLength flac = formats::FlacLength(ctx);
    return flac.IsRejected() ? formats::Mp3Length(ctx) : flac;
}

// When the frames cannot tell: an ID3v1 tag closes the stream, and the last chunk that holds
// one gives the candidate. Tags past the start of another file belong to that file.
uint64_t BytesToLastId3v1Tag(CarveScan& scan) {
    uint64_t candidate = 0;
    uint64_t length =
        StreamWith(scan, 2 * kGiB, EndKind::kFile, [&](const StreamChunk& c, uint64_t&) {
            const size_t at = FindForward(c.p, c.nFileBytes, 0, sm_ucMp3Tail, 3);
            if (at != kNotFound) candidate = c.u64Offset + at + kId3v1TagBytes;
            return 0;
        });
    if (candidate != 0 && candidate < length) length = candidate;
    return length;
}

}  // namespace

namespace carving::formats {

uint32_t IsMp3Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p != nullptr && len >= 4 && p[0] == 0xFF) {
        return formats::StartsWithLayer3Stream(p, len) ? EXT_TYPE_MP3 : EXT_TYPE_NONE;
    }
    // The ID3v2 header is 10 bytes; a shorter buffer cannot show its flags and size.
    if (p == nullptr || len < 10 || !HasText(p, len, 0, "ID3")) return EXT_TYPE_NONE;
    if (p[3] == 0xFF || p[4] == 0xFF || (p[5] & 0x1F) != 0) return EXT_TYPE_NONE;
    for (size_t i = 6; i < 10; ++i) {
        if (p[i] >= 0x80) return EXT_TYPE_NONE;
    }
    return formats::IsTaggedFlac(p, len) ? EXT_TYPE_NONE : EXT_TYPE_MP3;
}

uint32_t IsMp2Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && Has(p, len, 0, kMp2Magic, 4) ? EXT_TYPE_MP2 : EXT_TYPE_NONE;
}

uint64_t GetMP3FileBytesSize(carving::CarveScan& scan, const unsigned char*, size_t) {
    return ExactOr(scan, TaggedAudioLength, [&] { return BytesToLastId3v1Tag(scan); });
}

}  // namespace carving::formats
