// Standard MIDI files: a header chunk and its tracks.
#include "carving/formats/midi.h"

#include <algorithm>
#include <cstring>

#include "carving/file_type_judge.h"
#include "carving/judge_internal.h"

using namespace carving;

namespace {

constexpr unsigned char kMidiHeader[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6};

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

}  // namespace

namespace carving::formats {

uint32_t IsMidType(carving::CarveScan&, const unsigned char* p, size_t len) {
    return len >= 16 && Has(p, len, 0, kMidiHeader, sizeof kMidiHeader) &&
                   HasText(p, len, 14, "MTrk")
               ? EXT_TYPE_MID
               : EXT_TYPE_NONE;
}

uint64_t GetMIDFileBytesSize(carving::CarveScan& scan, const unsigned char* p, size_t len) {
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

}  // namespace carving::formats
