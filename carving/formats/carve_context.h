// CarveContext: what one measurement of a carved file may know and read.
//
// A length function is handed the first sector of a file (already read by the scan) and a
// context through which it reads onwards: byte offsets count from the file's first byte, reads
// are bounded by the end of the device, and every read goes through one window of cached
// sectors so that a walk over many small headers costs few device reads. The context also
// carries the scan's cancel question: once it says stop, every further read fails and the
// walk ends as if the device had ended.
//
// Nothing here is shared between scans: each measurement builds its own context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "carving/sector_reader.h"

namespace carving {

// What a length function knows about where the file ends.
enum class LengthVerdict : uint8_t {
    kExact,          // the format's own structure ends the file at `bytes`
    kLowerBound,     // the file is at least `bytes` long; its end is not known
    kNotThisFormat,  // the structure is broken from the start: nothing to carve here
};

struct FormatLength {
    LengthVerdict verdict = LengthVerdict::kLowerBound;
    uint64_t bytes = 0;

    static FormatLength Exact(uint64_t n) { return {LengthVerdict::kExact, n}; }
    static FormatLength AtLeast(uint64_t n) { return {LengthVerdict::kLowerBound, n}; }
    static FormatLength Rejected() { return {LengthVerdict::kNotThisFormat, 0}; }
    bool IsExact() const { return verdict == LengthVerdict::kExact; }
    bool IsRejected() const { return verdict == LengthVerdict::kNotThisFormat; }
};

class CarveContext {
public:
    // Asked with the bytes read so far; false cancels the measurement.
    using KeepGoingFunc = bool (*)(void* pParam, uint64_t u64BytesRead);

    // pReader may be null: then only the first sector handed to the length function exists.
    CarveContext(ISectorReader* pReader, int nBytesPerSector, uint64_t u64StartSector);

    void SetKeepGoing(KeepGoingFunc fn, void* pParam) {
        m_keepGoing = fn;
        m_pKeepGoingParam = pParam;
    }

    int BytesPerSector() const { return m_nBytesPerSector; }
    uint64_t StartSector() const { return m_u64StartSector; }
    // Bytes from the file's first byte to the end of the device (0 without a reader).
    uint64_t BytesToDeviceEnd() const { return m_u64DeviceBytes; }
    // True once the scan asked to stop during this measurement.
    bool Cancelled() const { return m_bCancelled; }
    uint64_t BytesRead() const { return m_u64BytesRead; }

    // Copies n bytes at offset (from the file's first byte) into out. False when any of
    // them lies past the device's end, cannot be read, or the scan was cancelled.
    bool ReadAt(uint64_t u64Offset, size_t n, unsigned char* out);

    // A view of n bytes at offset, valid until the next call on this context; n may be at
    // most kMaxView. Null when ReadAt would fail.
    static constexpr size_t kMaxView = 32 * 1024;
    const unsigned char* View(uint64_t u64Offset, size_t n);

    // As many bytes as can be viewed at offset, up to kMaxView and the device's end: the
    // walk through bulk data (a JPEG's scan, a frame's payload) goes window by window.
    // Null (and *pn = 0) at or past the end, on a read error or after a cancel.
    const unsigned char* ViewSome(uint64_t u64Offset, size_t* pn);

private:
    bool Fill(uint64_t u64Offset);

    ISectorReader* m_pReader;
    int m_nBytesPerSector;
    uint64_t m_u64StartSector;
    uint64_t m_u64DeviceBytes = 0;
    KeepGoingFunc m_keepGoing = nullptr;
    void* m_pKeepGoingParam = nullptr;
    bool m_bCancelled = false;
    uint64_t m_u64BytesRead = 0;

    std::vector<unsigned char> m_window;  // cached bytes of the file
    uint64_t m_u64WindowOffset = 0;       // file offset of m_window[0]
    size_t m_nWindowBytes = 0;            // valid bytes in m_window
};

// Little- and big-endian loads for walkers (the bytes must be inside what was viewed).
inline uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const unsigned char* p) {
    return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
inline uint16_t Be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t Be24(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}
inline uint32_t Be32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline uint64_t Be64(const unsigned char* p) {
    return (static_cast<uint64_t>(Be32(p)) << 32) | Be32(p + 4);
}

}  // namespace carving
