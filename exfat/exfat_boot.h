// The exFAT boot region: its checksum and the volume layout its boot sector gives.
#pragma once

#include <cstddef>
#include <cstdint>

// The layout of an exFAT volume, every field checked against the volume it was read from.
struct ExfatGeometry {
    uint32_t uBytesPerSector = 0;   // 512..4096
    uint32_t uBytesPerCluster = 0;  // up to 32 MiB
    uint64_t u64FatOffset = 0;      // bytes from the volume start
    uint64_t u64FatBytes = 0;       // of the first FAT
    uint64_t u64HeapOffset = 0;     // bytes from the volume start to cluster 2
    uint32_t uClusterCount = 0;     // valid clusters are 2..count+1
    uint32_t uRootCluster = 0;

    bool IsDataCluster(uint32_t uCluster) const {
        return uCluster >= 2 && uint64_t{uCluster} < uint64_t{uClusterCount} + 2;
    }
    uint64_t ClusterOffset(uint32_t uCluster) const {
        return u64HeapOffset + uint64_t{uCluster - 2} * uBytesPerCluster;
    }
};

// A boot region is twelve sectors: the boot sector, extended boot sectors, parameters and,
// last, the checksum sector.
constexpr uint32_t kExfatBootRegionSectors = 12;

// The checksum of the region's first eleven sectors, skipping the volume flags and the
// percent-in-use byte, which change without the checksum being rewritten.
uint32_t ExfatBootChecksum(const unsigned char* pRegion, uint32_t uBytesPerSector);

// The layout from a boot region of region bytes (twelve sectors of the size its boot sector
// claims) on a volume of u64VolumeBytes; false when the region's checksum or any field is bad.
bool ParseExfatBootRegion(const unsigned char* pRegion, size_t uRegionBytes,
                          uint64_t u64VolumeBytes, ExfatGeometry& out);

// The sector size a boot sector claims (its shift checked), or 0.
uint32_t ExfatClaimedSectorSize(const unsigned char* pBootSector, size_t uBytes);
