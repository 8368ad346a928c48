// A FAT record's data, read cluster by cluster from its first cluster on. Both FAT engines
// read this way and differ only in which cluster follows another: the quick engine follows the
// FAT while it holds, the deep parser, which has no FAT, takes the next one.
#pragma once

#include <cstdint>
#include <functional>

#include "foundation/disk_reader.h"
#include "foundation/file_node.h"
#include "store/file_writer.h"

// Clusters of this size or larger are no volume's; a record claiming one is refused.
constexpr uint32_t kMaxFatClusterBytes = 0x6400001;

// Feeds node's first u64Want bytes to sink. The data starts at the record's first cluster
// (u64VolumeStartSector + u64DataStartSector + (cluster - 2) * cluster size);
// nextCluster(c) gives the cluster read after c, 0 when the volume ends first. 0;
// RESULT_BAD_CLUSTER_SIZE; RESULT_OUTSIDE_VOLUME when the clusters run out; the reader's
// error (RESULT_SHORT_READ when nothing arrived); or the sink's answer.
int ReadFatClusters(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                    uint64_t u64Want, const std::function<uint32_t(uint32_t)>& nextCluster,
                    const DATA_SINK& sink);
