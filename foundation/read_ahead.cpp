#include "foundation/read_ahead.h"

#include <algorithm>
#include <cerrno>

CReadAhead::CReadAhead(const CDiskReader& reader, int nBytesPerSector, uint32_t uBlockSectors,
                       unsigned uDepth, bool bThreaded)
    : m_reader(reader),
      m_nBytesPerSector(nBytesPerSector > 0 ? nBytesPerSector : 512),
      m_uBlockSectors(uBlockSectors > 0 ? uBlockSectors : 1),
      m_bThreaded(bThreaded) {
    m_slots.resize(bThreaded ? std::max(uDepth, 2u) : 1u);
}

CReadAhead::~CReadAhead() {
    Stop();
}

int CReadAhead::Start(const SectorRun& first, uint64_t uOffset, RunSource nextRun) {
    if (m_reader.GetDescriptor() < 0) return EBADF;
    m_reader.AdviseSequential();
    m_nextRun = std::move(nextRun);
    m_cursor.run = first;
    m_cursor.u64Offset = uOffset;
    const size_t bytes = size_t{m_uBlockSectors} * static_cast<size_t>(m_nBytesPerSector);
    for (Slot& slot : m_slots) slot.data.resize(bytes);
    if (m_bThreaded) m_thread = std::thread([this] { ReadLoop(); });
    return 0;
}

bool CReadAhead::Advance(Cursor& cursor) {
    while (!cursor.bEnd && cursor.u64Offset >= cursor.run.u64Count) {
        SectorRun next;
        if (!m_nextRun || !m_nextRun(cursor.run, next)) {
            cursor.bEnd = true;
            break;
        }
        cursor.run = next;
        cursor.u64Offset = 0;
    }
    return !cursor.bEnd;
}

void CReadAhead::ReadInto(Slot& slot, Cursor& cursor) {
    const uint64_t left = cursor.run.u64Count - cursor.u64Offset;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(m_uBlockSectors, left));
    ReadBlock& block = slot.block;
    block.run = cursor.run;
    block.u64RunOffset = cursor.u64Offset;
    block.uSectors = n;
    unsigned int got = 0;
    block.nResult = m_reader.ReadSectors(slot.data.data(), static_cast<int>(n),
                                         cursor.run.u64Start + cursor.u64Offset, m_nBytesPerSector,
                                         &got, &block.nReadError);
    block.uSectorsRead = block.nResult == 0 ? n : std::min<uint32_t>(got, n);
    block.pData = slot.data.data();
    cursor.u64Offset += n;
}

void CReadAhead::ReadLoop() {
    const uint64_t slots = m_slots.size();
    for (;;) {
        {
            // A full ring waits until half of it is free again, so that the two threads wake
            // each other once per half ring instead of once per block.
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_uFilled - m_uTaken >= slots) {
                m_bReaderWaiting = true;
                m_changed.wait(lock, [&] { return m_bStop || m_uFilled - m_uTaken <= slots / 2; });
                m_bReaderWaiting = false;
            }
            if (m_bStop) return;
        }
        // The slot at m_uFilled is free: the caller holds only slots in [m_uTaken, m_uFilled).
        const bool more = Advance(m_cursor);
        if (more) ReadInto(m_slots[m_uFilled % slots], m_cursor);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (more) {
            ++m_uFilled;
        } else {
            m_bReaderDone = true;
        }
        if (m_bCallerWaiting) m_changed.notify_all();
        if (!more) return;
    }
}

bool CReadAhead::Next(ReadBlock& block) {
    Release();
    if (!m_bThreaded) {
        if (!Advance(m_cursor)) return false;
        ReadInto(m_slots[0], m_cursor);
        block = m_slots[0].block;
        m_bHolding = true;
        return true;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bCallerWaiting = true;
    m_changed.wait(lock, [this] { return m_uFilled > m_uTaken || m_bReaderDone; });
    m_bCallerWaiting = false;
    if (m_uFilled == m_uTaken) return false;
    block = m_slots[m_uTaken % m_slots.size()].block;
    m_bHolding = true;
    return true;
}

void CReadAhead::Release() {
    if (!m_bHolding) return;
    m_bHolding = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_uTaken;
    if (m_bReaderWaiting && m_uFilled - m_uTaken <= m_slots.size() / 2) m_changed.notify_all();
}

void CReadAhead::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}
