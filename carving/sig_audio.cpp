// Audio: MP3 (with or without an ID3v2 tag), MIDI, Monkey's Audio, WAV, MPEG layer II, SMAF,
// FLAC, Ogg, and the compound-document row that the table names fla.
#include <algorithm>

#include "carving/file_type_judge.h"
#include "carving/formats/flac.h"
#include "carving/formats/mpeg_audio.h"
#include "carving/formats/ogg.h"
#include "carving/formats/riff.h"
#include "carving/judge_internal.h"
#include "foundation/bytes.h"

using namespace carving;

namespace {

constexpr unsigned char sz_ApeTail[] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07};
constexpr char sm_ucMp3Tail[] = "TAG";
constexpr unsigned char kMp2Magic[] = {0xFF, 0xFD, 0xE4, 0x00};
constexpr unsigned char kMidiHeader[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
constexpr unsigned char kCompoundMagic4[] = {0xD0, 0xCF, 0x11, 0xE0};
constexpr uint64_t kAudioCap = 256 * kMiB;
constexpr size_t kId3v1TagBytes = 128;
constexpr size_t kMidiHeaderBytes = 14;
constexpr size_t kMidiChunkHeaderBytes = 8;

bool IsChunkTagByte(unsigned char c) {
    return c >= 0x20 && c < 0x7F;
}

// Walks the chain of chunks after a Standard MIDI File header: each chunk is a 4-byte tag
// and a big-endian 32-bit length, and the file ends after its last announced track. Chunks
// of other types are stepped over without being counted, as readers of the format do.
class MidiTrackWalk {
public:
    explicit MidiTrackWalk(unsigned tracks) : m_tracks(tracks) {}

    // Steps over every chunk header that lies before dataEnd (a file offset). A header
    // inside [dataOffset, dataEnd) is taken from data; one straddling the boundary is read
    // from the device.
    void Advance(CarveScan& scan, const unsigned char* data, uint64_t dataOffset,
                 uint64_t dataEnd) {
        while (!m_broken && m_seen < m_tracks && m_next < dataEnd) {
            unsigned char header[kMidiChunkHeaderBytes];
            if (m_next >= dataOffset && m_next + sizeof header <= dataEnd) {
                std::memcpy(header, data + (m_next - dataOffset), sizeof header);
            } else if (!ReadFileBytes(scan, m_next, sizeof header, header)) {
                m_broken = true;
                return;
            }
            if (!std::all_of(header, header + 4, IsChunkTagByte)) {
                m_broken = true;  // not a chunk: the track chain is lost, stream instead
                return;
            }
            if (std::memcmp(header, "MTrk", 4) == 0) ++m_seen;
            m_next += sizeof header + LoadBE32(header + 4);
        }
    }

    bool Complete() const { return !m_broken && m_seen == m_tracks; }
    uint64_t Extent() const { return m_next; }

private:
    unsigned m_tracks;
    unsigned m_seen = 0;
    uint64_t m_next = kMidiHeaderBytes;
    bool m_broken = false;
};

// Some taggers put an ID3v2 tag before a FLAC stream; when the buffer shows the stream after
// the tag, the file is left to the FLAC row.
bool IsTaggedFlac(const unsigned char* p, size_t len) {
    const uint64_t tag = formats::Id3v2TagBytes(p, len);
    return tag != 0 && tag < len && formats::StartsWithFlacStream(p + tag, len - tag);
}

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

// ---- Recognisers ------------------------------------------------------------------------

uint32_t CFileTypeJudge::IsMp3Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (p != nullptr && len >= 4 && p[0] == 0xFF) {
        return formats::StartsWithLayer3Stream(p, len) ? EXT_TYPE_MP3 : EXT_TYPE_NONE;
    }
    // The ID3v2 header is 10 bytes; a shorter buffer cannot show its flags and size.
    if (p == nullptr || len < 10 || !HasText(p, len, 0, "ID3")) return EXT_TYPE_NONE;
    if (p[3] == 0xFF || p[4] == 0xFF || (p[5] & 0x1F) != 0) return EXT_TYPE_NONE;
    for (size_t i = 6; i < 10; ++i) {
        if (p[i] >= 0x80) return EXT_TYPE_NONE;
    }
    return IsTaggedFlac(p, len) ? EXT_TYPE_NONE : EXT_TYPE_MP3;
}

uint32_t CFileTypeJudge::IsMidType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kMidiHeader, sizeof kMidiHeader) &&
                   HasText(p, len, 14, "MTrk")
               ? EXT_TYPE_MID
               : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsApeType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && HasText(p, len, 0, "MAC ") ? EXT_TYPE_APE : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsWavType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (len < 16) return EXT_TYPE_NONE;
    return HasText(p, len, 0, "RIFF") && HasText(p, len, 8, "WAVE") && HasText(p, len, 12, "fmt ")
               ? EXT_TYPE_WAV
               : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsMp2Type(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && Has(p, len, 0, kMp2Magic, 4) ? EXT_TYPE_MP2 : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsMmfType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 4 && HasText(p, len, 0, "MMMD") ? EXT_TYPE_MMF : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsFlacType(carving::CarveScan&, const unsigned char* p, size_t len) {
    if (formats::StartsWithFlacStream(p, len) || IsTaggedFlac(p, len)) return EXT_TYPE_FLAC;
    // A tag longer than the buffer hides what follows it. The table walk never gets here with
    // one (the MP3 row takes it first and its length walk finds FLAC behind the tag); a file
    // that a file system names .flac keeps its extension.
    const uint64_t tag = formats::Id3v2TagBytes(p, len);
    return tag > len ? EXT_TYPE_FLAC : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsOggType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return formats::StartsWithOggStream(p, len) ? EXT_TYPE_OGG : EXT_TYPE_NONE;
}

uint32_t CFileTypeJudge::IsFlaType(carving::CarveScan& scan, const unsigned char* p, size_t len) {
    // Every compound document reaches this row first, so it is typed here by what its
    // directory holds: Word, Excel, PowerPoint, a Flash authoring file or another OLE file.
    static constexpr unsigned char kMagicRest[] = {0xA1, 0xB1, 0x1A, 0xE1};
    if (len < 16 || !Has(p, len, 0, kCompoundMagic4, 4) || !Has(p, len, 4, kMagicRest, 4)) {
        return EXT_TYPE_NONE;
    }
    return GetOffice2003Type(scan, p, len);
}

// ---- Estimators -------------------------------------------------------------------------

uint64_t CFileTypeJudge::GetMP3FileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                             size_t) {
    return ExactOr(scan, TaggedAudioLength, [&] { return BytesToLastId3v1Tag(scan); });
}

uint64_t CFileTypeJudge::GetMIDFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    const uint64_t b = static_cast<uint64_t>(ContextBytesPerSector(scan));
    if (p == nullptr || len < kMidiHeaderBytes) return b;
    MidiTrackWalk walk(LoadBE16(p + 10));
    walk.Advance(scan, p, 0, std::min<uint64_t>(len, b));
    if (walk.Complete() && walk.Extent() <= b) return walk.Extent();
    return StreamWith(scan, 8 * kMiB, EndKind::kFile, [&](const StreamChunk& c, uint64_t& length) {
        const uint64_t available = c.u64Offset + c.nFileBytes;
        walk.Advance(scan, c.p, c.u64Offset, c.u64Offset + c.nBytes);
        if (!walk.Complete()) return 0;
        if (walk.Extent() > c.u64Offset + c.nBytes && !c.bEnded) return 0;
        length = std::min(available, walk.Extent());
        return 1;
    });
}

uint64_t CFileTypeJudge::GetAPEFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                             size_t) {
    return StreamWith(scan, 2 * kGiB, EndKind::kFile, [](const StreamChunk& c, uint64_t& length) {
        const size_t header = FindForward(c.p, c.nFileBytes, 0, sz_ApeTail, sizeof sz_ApeTail);
        if (header == kNotFound) return 0;
        const size_t footer = FindForward(c.p, c.nFileBytes, header + sizeof sz_ApeTail, sz_ApeTail,
                                          sizeof sz_ApeTail);
        length = footer == kNotFound ? c.u64Offset + c.nFileBytes : c.u64Offset + footer + 32;
        return 1;
    });
}

uint64_t CFileTypeJudge::GetWAVFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    return ExactOr(scan, formats::RiffLength, [&] {
        if (p == nullptr || len < 8) return static_cast<uint64_t>(ContextBytesPerSector(scan));
        return static_cast<uint64_t>(LoadU32(p + 4)) + 8;
    });
}

uint64_t CFileTypeJudge::GetDefaultAudioFileBytesSize(carving::CarveScan& scan,
                                                      const unsigned char*, size_t) {
    return StreamToNextFile(scan, kAudioCap, EndKind::kFile);
}

uint64_t CFileTypeJudge::GetFLAFileBytesSize(carving::CarveScan& scan, const unsigned char* p,
                                             size_t len) {
    // A Flash authoring file is a compound document, measured as every other one is.
    return GetOFFICE2003FileBytesSize(scan, p, len);
}

uint64_t CFileTypeJudge::GetFLACFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                              size_t) {
    return ExactOr(scan, formats::FlacLength,
                   [&] { return StreamToNextFile(scan, 2 * kGiB, EndKind::kFile); });
}

uint64_t CFileTypeJudge::GetOGGFileBytesSize(carving::CarveScan& scan, const unsigned char*,
                                             size_t) {
    return ExactOr(scan, formats::OggLength,
                   [&] { return StreamToNextFile(scan, 2 * kGiB, EndKind::kFile); });
}
