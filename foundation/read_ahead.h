// CReadAhead: reads a sequence of sector runs of one device in large blocks, a few blocks ahead
// of its caller on a thread of its own, so that reading the device and parsing what was read
// overlap instead of adding up.
//
// The caller takes the blocks in order and sees exactly the sectors, in exactly the order, it
// would have read itself: each run front to back in blocks of at most the block size, the runs
// in the order the run source gives them. A block that did not read whole says so (its result
// and the whole sectors that arrived); what to do about it is the caller's affair.
//
// Without a thread (threaded = false) each block is read when it is asked for: the same blocks,
// one at a time, for comparison and for machines where a second thread does not pay.
//
// The run source is called on the reading thread; it must not share unguarded state with the
// caller. The reader given is read through its stateless ReadSectors only, so the caller may
// keep reading through it meanwhile; it must outlive this object.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/disk_reader.h"

// A stretch of sectors: absolute start and count.
struct SectorRun {
    uint64_t u64Start = 0;
    uint64_t u64Count = 0;
};

// One block handed to the caller.
struct ReadBlock {
    SectorRun run;              // the run the block lies in
    uint64_t u64RunOffset = 0;  // where the block starts within its run
    uint32_t uSectors = 0;      // sectors the block covers
    uint32_t uSectorsRead = 0;  // whole sectors that arrived (== uSectors when nResult is 0)
    int nResult = 0;            // CDiskReader::ReadSectors's answer for the block
    int nReadError = 0;         // the system's error when the block came back short
    const unsigned char* pData = nullptr;
};

class CReadAhead {
public:
    // Gives the run after `after` (false when there is none). Called on the reading thread.
    using RunSource = std::function<bool(const SectorRun& after, SectorRun& next)>;

    // uBlockSectors sectors of nBytesPerSector bytes per block, uDepth blocks in flight.
    CReadAhead(const CDiskReader& reader, int nBytesPerSector, uint32_t uBlockSectors,
               unsigned uDepth, bool bThreaded);
    ~CReadAhead();  // stops the thread and waits for it
    CReadAhead(const CReadAhead&) = delete;
    CReadAhead& operator=(const CReadAhead&) = delete;

    // Starts at uOffset sectors into first. 0, or EBADF when the reader is not bound.
    int Start(const SectorRun& first, uint64_t uOffset, RunSource nextRun);
    // The next block in order; false after the last. The block stays valid until Release or the
    // next call of Next.
    bool Next(ReadBlock& block);
    // Gives the block handed out last back to the ring.
    void Release();

private:
    struct Slot {
        ReadBlock block;
        std::vector<unsigned char> data;
    };
    // Where reading stands: the next block to read.
    struct Cursor {
        SectorRun run;
        uint64_t u64Offset = 0;
        bool bEnd = false;
    };

    bool Advance(Cursor& cursor);  // moves past finished runs; false at the end
    void ReadInto(Slot& slot, Cursor& cursor);
    void ReadLoop();
    void Stop();

    const CDiskReader& m_reader;
    const int m_nBytesPerSector;
    const uint32_t m_uBlockSectors;
    const bool m_bThreaded;
    RunSource m_nextRun;
    Cursor m_cursor;

    std::vector<Slot>
        m_slots;              // a ring: the reader fills at m_uFilled, the caller takes at m_uTaken
    uint64_t m_uFilled = 0;   // blocks read so far
    uint64_t m_uTaken = 0;    // blocks handed out and released
    bool m_bHolding = false;  // a block is handed out and not yet released
    bool m_bReaderDone = false;
    bool m_bReaderWaiting = false;  // the reader waits for room: wake it at half a ring free
    bool m_bCallerWaiting = false;  // the caller waits for a block: wake it at the next one
    bool m_bStop = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
};
