#include "fat/fat_cluster_reader.h"

#include <algorithm>
#include <vector>

int ReadFatClusters(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                    uint64_t u64Want, const std::function<uint32_t(uint32_t)>& nextCluster,
                    const DATA_SINK& sink) {
    if (node.uClusterBytes >= kMaxFatClusterBytes) return RESULT_BAD_CLUSTER_SIZE;
    const uint32_t sectorsPerCluster =
        uBytesPerSector != 0 ? node.uClusterBytes / uBytesPerSector : 0;
    if (sectorsPerCluster == 0) return RESULT_BAD_CLUSTER_SIZE;
    if (u64Want == 0) return RESULT_OK;
    std::vector<unsigned char> chunk(size_t{sectorsPerCluster} * uBytesPerSector);
    uint32_t cluster = node.uClusterNO;
    while (u64Want > 0) {
        if (cluster < 2) return RESULT_OUTSIDE_VOLUME;  // the volume ended before the file did
        const uint64_t sector = node.u64VolumeStartSector + node.u64DataStartSector +
                                uint64_t{cluster - 2} * sectorsPerCluster;
        unsigned int read = 0;
        int result = reader.ReadData(chunk.data(), static_cast<int>(sectorsPerCluster), sector,
                                     static_cast<int>(uBytesPerSector), &read);
        if (result == RESULT_OK && read == 0) result = RESULT_SHORT_READ;
        if (result != RESULT_OK) return result;
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>(uint64_t{read} * uBytesPerSector, u64Want));
        u64Want -= n;
        const int answer = sink(chunk.data(), n);
        if (answer != 0) return answer;
        if (u64Want > 0) cluster = nextCluster(cluster);
    }
    return RESULT_OK;
}
