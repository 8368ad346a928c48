#include "ntfs/ntfs_data.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/bytes.h"
#include "ntfs/lznt1.h"

namespace {

constexpr uint16_t kAttributeCompressed = 0x0001;
constexpr size_t kCompressionUnitField = 0x22;
// Drivers write units of 16 clusters of at most 4 KiB; a larger unit is a damaged record's.
constexpr uint64_t kMaxCompressionUnitBytes = 1024 * 1024;
constexpr uint64_t kHole = ~uint64_t{0};

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

bool UsableClusterSize(uint32_t uBytesPerSector, uint64_t u64ClusterBytes) {
    return uBytesPerSector != 0 && u64ClusterBytes != 0 && u64ClusterBytes % uBytesPerSector == 0 &&
           u64ClusterBytes <= kNtfsMaxClusterBytes;
}

// Hands out the volume clusters of a run list in file order, kHole for a cluster of a hole.
class CClusterCursor {
public:
    explicit CClusterCursor(const RUN_LIST& runs) : m_runs(runs) {}

    // Up to u64Count next clusters into out (cleared first). RESULT_OUTSIDE_VOLUME for a run
    // that places clusters before the volume start or beyond any number.
    int Take(uint64_t u64Count, std::vector<uint64_t>& out) {
        out.clear();
        while (out.size() < u64Count && m_index < m_runs.size()) {
            const __RUNLIST__& run = m_runs[m_index];
            if (m_used == 0) {
                m_lcn = static_cast<int64_t>(static_cast<uint64_t>(m_lcn) +
                                             static_cast<uint64_t>(run.offset));
            }
            if (m_used == run.length) {
                ++m_index;
                m_used = 0;
                continue;
            }
            uint64_t cluster = kHole;
            if (!run.bSparse && (m_lcn < 0 || __builtin_add_overflow(static_cast<uint64_t>(m_lcn),
                                                                     m_used, &cluster))) {
                return RESULT_OUTSIDE_VOLUME;
            }
            out.push_back(cluster);
            ++m_used;
        }
        return RESULT_OK;
    }

private:
    const RUN_LIST& m_runs;
    size_t m_index = 0;
    uint64_t m_used = 0;  // clusters of run m_index handed out
    int64_t m_lcn = 0;
};

// The allocated clusters among places, in order, read into pBuf; their byte count in uBytes.
int ReadAllocatedClusters(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                          const std::vector<uint64_t>& places, unsigned char* pBuf,
                          size_t& uBytes) {
    const uint64_t clusterBytes = node.uClusterBytes;
    const uint64_t sectorsPerCluster = clusterBytes / uBytesPerSector;
    uBytes = 0;
    for (size_t i = 0; i < places.size();) {
        if (places[i] == kHole) {
            ++i;
            continue;
        }
        size_t stretch = 1;  // clusters that follow each other on the volume, read at once
        while (i + stretch < places.size() && places[i + stretch] == places[i] + stretch) {
            ++stretch;
        }
        uint64_t sector = 0;
        if (__builtin_mul_overflow(places[i], sectorsPerCluster, &sector) ||
            __builtin_add_overflow(sector, node.u64VolumeStartSector, &sector)) {
            return RESULT_OUTSIDE_VOLUME;
        }
        unsigned int read = 0;
        int result = reader.ReadData(pBuf + uBytes, static_cast<int>(stretch * sectorsPerCluster),
                                     sector, static_cast<int>(uBytesPerSector), &read);
        if (result == RESULT_OK && read == 0) result = RESULT_SHORT_READ;
        if (result != RESULT_OK) return result;
        uBytes += stretch * clusterBytes;
        i += stretch;
    }
    return RESULT_OK;
}

// One unit's bytes into pOut (u64UnitBytes long): a unit with no hole is stored as it is
// (only the last may hold fewer clusters), one without allocated clusters is zeros, and one
// whose allocated clusters are followed by a hole holds LZNT1 data. uValid: how many bytes
// the unit really holds.
int ReadUnit(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
             const std::vector<uint64_t>& places, uint64_t u64UnitBytes,
             std::vector<unsigned char>& stored, unsigned char* pOut, uint64_t& uValid) {
    const bool hasHole = std::find(places.begin(), places.end(), kHole) != places.end();
    size_t storedBytes = 0;
    const int result = ReadAllocatedClusters(reader, uBytesPerSector, node, places,
                                             hasHole ? stored.data() : pOut, storedBytes);
    if (result != RESULT_OK) return result;
    uValid = places.size() * node.uClusterBytes;
    if (!hasHole) return RESULT_OK;
    int64_t produced = 0;
    if (storedBytes > 0) {
        produced = DecompressLznt1Unit(stored.data(), storedBytes, pOut, u64UnitBytes);
        if (produced < 0) return static_cast<int>(produced);
    }
    // What the unit's chunks do not produce, up to the unit's end, is zeros.
    std::memset(pOut + produced, 0, u64UnitBytes - static_cast<uint64_t>(produced));
    uValid = u64UnitBytes;
    return RESULT_OK;
}

// Compressed data, unit by unit, the last unit cut at u64Want.
int DeliverCompressedRuns(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                          const RUN_LIST& runs, uint32_t uUnitExponent, uint64_t u64Want,
                          const DATA_SINK& sink) {
    if (!UsableClusterSize(uBytesPerSector, node.uClusterBytes)) return RESULT_BAD_CLUSTER_SIZE;
    if (uUnitExponent >= 32 ||
        (uint64_t{1} << uUnitExponent) > kMaxCompressionUnitBytes / node.uClusterBytes) {
        return RESULT_BAD_COMPRESSED_DATA;
    }
    const uint64_t unitClusters = uint64_t{1} << uUnitExponent;
    const uint64_t unitBytes = unitClusters * node.uClusterBytes;
    std::vector<unsigned char> stored(unitBytes), unit(unitBytes);
    std::vector<uint64_t> places;
    CClusterCursor cursor(runs);
    uint64_t owed = u64Want;
    while (owed > 0) {
        int result = cursor.Take(unitClusters, places);
        if (result != RESULT_OK) return result;
        uint64_t valid = 0;
        result =
            ReadUnit(reader, uBytesPerSector, node, places, unitBytes, stored, unit.data(), valid);
        if (result != RESULT_OK) return result;
        // Runs that end before the size leave the rest of the file unknown: not a success.
        const uint64_t use = std::min(owed, unitBytes);
        if (valid < use) return RESULT_SHORT_READ;
        const int answer = sink(unit.data(), static_cast<uint32_t>(use));
        if (answer != 0) return answer;
        owed -= use;
    }
    return RESULT_OK;
}

// Runs are read in the order listed, and reading stops as soon as the size is delivered.
int DeliverRuns(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                const RUN_LIST& runs, uint64_t u64Want, unsigned char* pWork,
                const DATA_SINK& sink) {
    const uint64_t clusterBytes = node.uClusterBytes;
    if (!UsableClusterSize(uBytesPerSector, clusterBytes)) return RESULT_BAD_CLUSTER_SIZE;
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

uint32_t DataCompressionExponent(const unsigned char* pRecord, size_t nBound) {
    NTFS_ATTRIBUTE attr{};
    if (!FindAttribute(pRecord, nBound, NTFS_ATTR_DATA, attr) || !attr.bNonResident ||
        attr.uNameLength != 0 || attr.uLength < kCompressionUnitField + 2 ||
        (LoadU16(attr.p + 0x0C) & kAttributeCompressed) == 0) {
        return 0;
    }
    return LoadU16(attr.p + kCompressionUnitField);
}

uint32_t ListedDataCompressionExponent(const CNtfsParse& parse, INtfsRecordSource& source,
                                       const unsigned char* pRecord, size_t nBound,
                                       uint64_t uBaseRecord) {
    NTFS_ATTRIBUTE listAttr{};
    if (!FindAttribute(pRecord, nBound, NTFS_ATTR_ATTRIBUTE_LIST, listAttr) ||
        listAttr.bNonResident) {
        return 0;  // a list long enough to leave the record is read by the run gatherer only
    }
    const unsigned char* list = nullptr;
    uint32_t length = 0;
    if (!GetResidentValue(listAttr, list, length)) return 0;
    size_t offset = 0;
    NTFS_ATTRIBUTE_LIST_ENTRY entry{};
    while (NextAttributeListEntry(list, length, offset, entry)) {
        if (entry.uType != NTFS_ATTR_DATA || entry.uNameLength != 0 || entry.u64StartVcn != 0 ||
            entry.u64Record == uBaseRecord) {
            continue;
        }
        std::vector<unsigned char> extension(static_cast<size_t>(parse.GetBytesPerRecord()));
        NTFS_RECORD_HEADER header{};
        if (source.ReadRecordByNumber(entry.u64Record, extension.data()) != 0 ||
            !ReadRecordHeader(extension.data(), extension.size(), header) ||
            (header.u64BaseRecord & 0xFFFFFFFFFFFFull) != uBaseRecord) {
            return 0;
        }
        return DataCompressionExponent(extension.data(), extension.size());
    }
    return 0;
}

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
    int result = lookup.runs(runs);
    if (result != RESULT_OK) return result;
    uint32_t unitExponent = 0;
    if (lookup.compression) {
        result = lookup.compression(unitExponent);
        if (result != RESULT_OK) return result;
    }
    if (unitExponent != 0) {
        return DeliverCompressedRuns(reader, uBytesPerSector, node, runs, unitExponent, u64Want,
                                     sink);
    }
    return DeliverRuns(reader, uBytesPerSector, node, runs, u64Want, work.data(), sink);
}
