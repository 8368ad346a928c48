// A file's data as both NTFS engines deliver it: the resident value of its $DATA, or its data
// runs read from the volume, holes of a sparse file as zeros. The engines differ only in how
// they find the record and its runs; they hand those lookups in. A compressed $DATA is read
// one compression unit at a time and decompressed.
#pragma once

#include <cstdint>
#include <functional>

#include "foundation/disk_reader.h"
#include "foundation/file_node.h"
#include "ntfs/ntfs_parse.h"
#include "store/file_writer.h"

constexpr uint32_t kNtfsWorkBufferBytes = 65536;
// Clusters of up to 2 MiB; a cluster size beyond that, or not a whole number of sectors, is a
// corrupt record's and is not believed.
constexpr uint64_t kNtfsMaxClusterBytes = 2 * 1024 * 1024;

struct NTFS_DATA_LOOKUP {
    // The resident value of the record's $DATA (alignment bytes included) into pBuf, which
    // holds kNtfsWorkBufferBytes: 0; NTFS_NOT_FOUND when the data is not resident; an error.
    std::function<int(unsigned char* pBuf, uint32_t& uLength)> resident;
    // The runs of the record's $DATA: 0 or an error.
    std::function<int(RUN_LIST& runs)> runs;
    // The compression-unit exponent of the record's $DATA (a unit is 2^exponent clusters): 0
    // when the data is stored as it is. 0 or an error. Unset: the data is never compressed.
    std::function<int(uint32_t& uUnitExponent)> compression;
};

// The compression-unit exponent of the unnamed non-resident $DATA of a fixed-up record whose
// flags say compressed; 0 when it is not compressed, resident, or not in this record.
uint32_t DataCompressionExponent(const unsigned char* pRecord, size_t nBound);
// The same for a base record (number uBaseRecord) whose $DATA begins in an extension record
// its attribute list names: a fragmented compressed file. 0 when not compressed or not found.
uint32_t ListedDataCompressionExponent(const CNtfsParse& parse, INtfsRecordSource& source,
                                       const unsigned char* pRecord, size_t nBound,
                                       uint64_t uBaseRecord);

// Feeds node's first u64Want bytes to sink, reading sectors of uBytesPerSector bytes from the
// node's volume (u64VolumeStartSector, uClusterBytes). 0; the lookup's or the reader's error;
// RESULT_SHORT_READ when the data ends before u64Want bytes; RESULT_OUTSIDE_VOLUME for a run
// that lies nowhere on the volume; RESULT_BAD_CLUSTER_SIZE for a node without a usable
// cluster size; RESULT_BAD_COMPRESSED_DATA for a compression unit that does not decompress
// (or a unit no volume has); or the sink's non-zero answer.
int DeliverNtfsData(CDiskReader& reader, uint32_t uBytesPerSector, const _FILE_NODE_& node,
                    uint64_t u64Want, const NTFS_DATA_LOOKUP& lookup, const DATA_SINK& sink);
