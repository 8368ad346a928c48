#include "carving/formats/carve_context.h"

#include <algorithm>
#include <cstring>

namespace carving {

namespace {
// One device read brings this much of the file into the window; views are at most half of
// it, so a view never needs more than the one read that starts at its own sector.
constexpr size_t kWindowBytes = 64 * 1024;
}  // namespace

CarveContext::CarveContext(ISectorReader* pReader, int nBytesPerSector, uint64_t u64StartSector)
    : m_pReader(pReader),
      m_nBytesPerSector(nBytesPerSector > 0 && static_cast<size_t>(nBytesPerSector) <= kMaxView
                            ? nBytesPerSector
                            : 512),
      m_u64StartSector(u64StartSector) {
    if (m_pReader == nullptr) return;
    const uint64_t limit = m_pReader->SectorLimit(m_nBytesPerSector);
    if (limit > u64StartSector) {
        m_u64DeviceBytes = (limit - u64StartSector) * static_cast<uint64_t>(m_nBytesPerSector);
    }
}

bool CarveContext::Fill(uint64_t u64Offset) {
    if (m_pReader == nullptr || m_bCancelled || u64Offset >= m_u64DeviceBytes) return false;
    if (m_keepGoing != nullptr && !m_keepGoing(m_pKeepGoingParam, m_u64BytesRead)) {
        m_bCancelled = true;
        return false;
    }
    const uint64_t b = static_cast<uint64_t>(m_nBytesPerSector);
    const uint64_t firstSector = u64Offset / b;
    const uint64_t wanted = kWindowBytes / b + 1;
    const uint64_t left = (m_u64DeviceBytes - firstSector * b) / b;
    const uint64_t sectors = std::min(wanted, left);
    if (sectors == 0) return false;
    m_window.resize(static_cast<size_t>(wanted * b));
    unsigned int got = 0;
    const int rc = m_pReader->ReadSectors(m_window.data(), static_cast<int>(sectors),
                                          m_u64StartSector + firstSector, m_nBytesPerSector, &got);
    if (rc == 0)
        got = static_cast<unsigned int>(sectors);
    else if (rc != 30)
        got = 0;  // only a short read leaves usable sectors behind
    got = static_cast<unsigned int>(std::min<uint64_t>(got, sectors));
    m_u64WindowOffset = firstSector * b;
    m_nWindowBytes = static_cast<size_t>(got * b);
    m_u64BytesRead += m_nWindowBytes;
    return m_nWindowBytes != 0;
}

const unsigned char* CarveContext::View(uint64_t u64Offset, size_t n) {
    if (n > kMaxView || u64Offset > m_u64DeviceBytes || n > m_u64DeviceBytes - u64Offset) {
        return nullptr;
    }
    const bool cached = u64Offset >= m_u64WindowOffset &&
                        u64Offset - m_u64WindowOffset <= m_nWindowBytes &&
                        n <= m_nWindowBytes - (u64Offset - m_u64WindowOffset);
    if (!cached && !Fill(u64Offset)) return nullptr;
    const uint64_t at = u64Offset - m_u64WindowOffset;
    if (at > m_nWindowBytes || n > m_nWindowBytes - at) return nullptr;  // a short read
    return m_window.data() + at;
}

const unsigned char* CarveContext::ViewSome(uint64_t u64Offset, size_t* pn) {
    *pn = 0;
    if (u64Offset >= m_u64DeviceBytes) return nullptr;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(kMaxView, m_u64DeviceBytes - u64Offset));
    const unsigned char* p = View(u64Offset, n);
    if (p != nullptr) {
        *pn = n;
        return p;
    }
    // A short read near a bad stretch: whatever part of the window arrived.
    if (m_bCancelled || u64Offset < m_u64WindowOffset ||
        u64Offset - m_u64WindowOffset >= m_nWindowBytes) {
        return nullptr;
    }
    const uint64_t at = u64Offset - m_u64WindowOffset;
    *pn = std::min(n, static_cast<size_t>(m_nWindowBytes - at));
    return m_window.data() + at;
}

bool CarveContext::ReadAt(uint64_t u64Offset, size_t n, unsigned char* out) {
    while (n != 0) {
        const size_t part = std::min(n, kMaxView);
        const unsigned char* p = View(u64Offset, part);
        if (p == nullptr) return false;
        std::memcpy(out, p, part);
        out += part;
        u64Offset += part;
        n -= part;
    }
    return true;
}

}  // namespace carving
