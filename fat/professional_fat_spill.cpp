// The spill files of the deep FAT parser: what has to wait during a pass (copies of sectors
// that cannot be placed yet, folder entries, files without a geometry, folder relations)
// is appended to an unlinked file in the scan folder and read back by offset, so that it
// costs disk rather than memory and disappears with the parser, even after a crash.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fat/professional_fat_recovery.h"
#include "foundation/debug_log.h"
#include "store/log_file_manager.h"

namespace {
constexpr size_t kSpillBufferBytes = 64 * 1024;
}

CProfessionalFatRecovery::CSpillFile::~CSpillFile() {
    Close();
}

void CProfessionalFatRecovery::CSpillFile::Open(const std::string& folder) {
    Close();
    if (!folder.empty()) {
        MakeFolderPath(folder);
        m_fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            std::string pattern = folder + "spill.XXXXXX";
            m_fd = mkostemp(pattern.data(), O_CLOEXEC);
            if (m_fd >= 0) unlink(pattern.c_str());
        }
    }
    if (m_fd < 0) {
        DebugLog("CProfessionalFatRecovery: no spill file in %s, waiting records stay in memory\n",
                 folder.c_str());
    }
    m_buffer.reserve(kSpillBufferBytes);
}

void CProfessionalFatRecovery::CSpillFile::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_u64Size = 0;
    m_u64Flushed = 0;
    std::vector<unsigned char>().swap(m_buffer);
    std::vector<unsigned char>().swap(m_memory);
}

bool CProfessionalFatRecovery::CSpillFile::FlushBuffer() {
    size_t done = 0;
    while (done < m_buffer.size()) {
        const ssize_t n = pwrite(m_fd, m_buffer.data() + done, m_buffer.size() - done,
                                 static_cast<off_t>(m_u64Flushed + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            DebugLog("CProfessionalFatRecovery: spill write failed %d\n", errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    m_u64Flushed += m_buffer.size();
    m_buffer.clear();
    return true;
}

uint64_t CProfessionalFatRecovery::CSpillFile::Append(const void* p, size_t n) {
    const uint64_t at = m_u64Size;
    const auto* bytes = static_cast<const unsigned char*>(p);
    if (m_fd < 0) {
        m_memory.insert(m_memory.end(), bytes, bytes + n);
    } else {
        if (m_buffer.size() + n > kSpillBufferBytes && !FlushBuffer()) return UINT64_MAX;
        m_buffer.insert(m_buffer.end(), bytes, bytes + n);
    }
    m_u64Size += n;
    return at;
}

bool CProfessionalFatRecovery::CSpillFile::Read(uint64_t offset, void* p, size_t n) {
    if (offset > m_u64Size || n > m_u64Size - offset) return false;
    auto* out = static_cast<unsigned char*>(p);
    if (m_fd < 0) {
        std::memcpy(out, m_memory.data() + offset, n);
        return true;
    }
    if (offset >= m_u64Flushed) {
        std::memcpy(out, m_buffer.data() + (offset - m_u64Flushed), n);
        return true;
    }
    if (offset + n > m_u64Flushed && !FlushBuffer()) return false;
    size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(m_fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}
