#include "ntfs/ntfs_data.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A hole of a sparse file: zeros, without reading the device.
int DeliverHole(uint64_t u64RunBytes, uint64_t& u64Owed, unsigned char* pWork,
                const DATA_SINK& sink) {
    std::memset(pWork, 0, kNtfsWorkBufferBytes);
    while (u64RunBytes > 0 && u64Owed > 0) {
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>({kNtfsWorkBufferBytes, u64RunBytes, u64Owed}));
        const int answer = sink(pWork, n);
        if (answer != 0) return answer;
        u64RunBytes -= n;
        u64Owed -= n;
    }
    return RESULT_OK;
}

// One run on disk, from absolute sector u64First, 64 KiB at a time.
int DeliverExtent(CDiskReader& reader, uint32_t uBytesPerSector, uint64_t u64First,
                  uint64_t u64RunBytes, uint64_t& u64Owed, unsigned char* pWork,
                  const DATA_SINK& sink) {
    uint64_t sectorsRead = 0;
    while (u64RunBytes > 0 && u64Owed > 0) {
        const uint64_t piece = std::min<uint64_t>(kNtfsWorkBufferBytes, u64RunBytes);
        const int sectors = static_cast<int>(piece / uBytesPerSector);
        unsigned int read = 0;
        int result = reader.ReadData(pWork, sectors, u64First + sectorsRead,
                                     static_cast<int>(uBytesPerSector), &read);
        if (result == RESULT_OK && read == 0) result = RESULT_SHORT_READ;
        if (result != RESULT_OK) return result;
        const uint32_t use = static_cast<uint32_t>(std::min(piece, u64Owed));
        const int answer = sink(pWork, use);
        if (answer != 0) return answer;
        u64Owed -= use;
        u64RunBytes -= piece;
        sectorsRead += static_cast<uint64_t>(sectors);
    }
    return RESULT_OK;
}

// Runs are read in the order listed, and reading stops as soon as the size is delivered.
int DeliverRuns(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                const RUN_LIST& runs, uint64_t u64Want, unsigned char* pWork,
                const DATA_SINK& sink) {
    const uint64_t clusterBytes = node.uClusterBytes;
    if (uBytesPerSector == 0 || clusterBytes == 0 || clusterBytes % uBytesPerSector != 0 ||
        clusterBytes > kNtfsMaxClusterBytes) {
        return RESULT_BAD_CLUSTER_SIZE;
    }
    uint64_t owed = u64Want;
    int64_t lcn = 0;
    for (const __RUNLIST__& run : runs) {
        if (owed == 0) break;
        lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + static_cast<uint64_t>(run.offset));
        uint64_t runBytes = 0;
        if (__builtin_mul_overflow(run.length, clusterBytes, &runBytes)) {
            return RESULT_OUTSIDE_VOLUME;
        }
        int result = RESULT_OK;
        if (run.bSparse) {
            result = DeliverHole(runBytes, owed, pWork, sink);
        } else {
            uint64_t byteOffset = 0, first = 0;
            if (lcn < 0 ||
                __builtin_mul_overflow(static_cast<uint64_t>(lcn), clusterBytes, &byteOffset) ||
                __builtin_add_overflow(node.u64VolumeStartSector, byteOffset / uBytesPerSector,
                                       &first)) {
                return RESULT_OUTSIDE_VOLUME;
            }
            result = DeliverExtent(reader, uBytesPerSector, first, runBytes, owed, pWork, sink);
        }
        if (result != RESULT_OK) return result;
    }
    // Runs that end before the size leave the rest of the file unknown: not a success.
    return owed > 0 ? RESULT_SHORT_READ : RESULT_OK;
}

}  // namespace

int DeliverNtfsData(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                    uint64_t u64Want, const NTFS_DATA_LOOKUP& lookup, const DATA_SINK& sink) {
    std::vector<unsigned char> work(kNtfsWorkBufferBytes);
    uint32_t length = 0;
    const int resident = lookup.resident(work.data(), length);
    if (resident == RESULT_OK) {
        // The value read may carry up to seven alignment bytes after the data: the file's
        // size decides, and a size the value cannot cover is data that is not there.
        const uint32_t use = static_cast<uint32_t>(std::min<uint64_t>(u64Want, length));
        if (use > 0) {
            const int answer = sink(work.data(), use);
            if (answer != 0) return answer;
        }
        return use < u64Want ? RESULT_SHORT_READ : RESULT_OK;
    }
    if (resident != NTFS_NOT_FOUND) return resident;
    if (u64Want == 0) return RESULT_OK;
    RUN_LIST runs;
    const int result = lookup.runs(runs);
    if (result != RESULT_OK) return result;
    return DeliverRuns(reader, uBytesPerSector, node, runs, u64Want, work.data(), sink);
}
