// Extraction of deep FAT records. The deep parser has no FAT, so a file's clusters
// are read one after another from its first cluster: right for the contiguous files that most
// writers leave, wrong (and said so nowhere but here) for fragmented ones.

#include "fat/fat_cluster_reader.h"
#include "fat/professional_fat_internal.h"
#include "fat/professional_fat_recovery.h"

using namespace profat;

int CProfessionalFatRecovery::ReadRecordData(const _FILE_NODE_& node, uint64_t u64Want,
                                             const DATA_SINK& sink) {
    if (u64Want != 0 && node.uClusterNO < 2) return RESULT_OUTSIDE_VOLUME;
    return ReadFatClusters(
        m_diskReader, kSectorBytes, node, u64Want, [](uint32_t uCluster) { return uCluster + 1; },
        sink);
}
