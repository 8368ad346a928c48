#include "exfat/exfat_boot.h"

#include <cstring>

#include "foundation/bytes.h"

namespace {

constexpr uint32_t kMaxClusterShift = 25;  // 32 MiB clusters
constexpr uint64_t kMaxClusterCount = 0xFFFFFFF5;

bool FitsIn(uint64_t u64Start, uint64_t u64Length, uint64_t u64Limit) {
    return u64Start <= u64Limit && u64Length <= u64Limit - u64Start;
}

}  // namespace

uint32_t ExfatClaimedSectorSize(const unsigned char* p, size_t uBytes) {
    if (p == nullptr || uBytes < 512 || std::memcmp(p + 3, "EXFAT   ", 8) != 0) return 0;
    const unsigned shift = p[0x6C];
    return shift >= 9 && shift <= 12 ? 1u << shift : 0;
}

uint32_t ExfatBootChecksum(const unsigned char* pRegion, uint32_t uBytesPerSector) {
    uint32_t sum = 0;
    const size_t bytes = size_t{uBytesPerSector} * (kExfatBootRegionSectors - 1);
    for (size_t i = 0; i < bytes; ++i) {
        if (i == 0x6A || i == 0x6B || i == 0x70) continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + pRegion[i];
    }
    return sum;
}

bool ParseExfatBootRegion(const unsigned char* p, size_t uRegionBytes, uint64_t u64VolumeBytes,
                          ExfatGeometry& out) {
    const uint32_t bps = ExfatClaimedSectorSize(p, uRegionBytes);
    if (bps == 0 || uRegionBytes < size_t{bps} * kExfatBootRegionSectors) return false;
    if (p[0x1FE] != 0x55 || p[0x1FF] != 0xAA) return false;
    const uint32_t sum = ExfatBootChecksum(p, bps);
    const unsigned char* checksums = p + size_t{bps} * (kExfatBootRegionSectors - 1);
    for (uint32_t i = 0; i < bps; i += 4) {
        if (LoadU32(checksums + i) != sum) return false;
    }
    const unsigned clusterShift = p[0x6D];
    if (p[0x6C] + clusterShift > kMaxClusterShift || p[0x6E] == 0 || p[0x6E] > 2) return false;

    ExfatGeometry g;
    g.uBytesPerSector = bps;
    g.uBytesPerCluster = bps << clusterShift;
    const uint64_t volumeBytes = LoadU64(p + 0x48) * bps;
    g.u64FatOffset = uint64_t{LoadU32(p + 0x50)} * bps;
    g.u64FatBytes = uint64_t{LoadU32(p + 0x54)} * bps;
    g.u64HeapOffset = uint64_t{LoadU32(p + 0x58)} * bps;
    const uint64_t clusters = LoadU32(p + 0x5C);
    g.uRootCluster = LoadU32(p + 0x60);
    // The volume may claim less than the device holds (a partition), never more.
    if (volumeBytes == 0 || volumeBytes > u64VolumeBytes) return false;
    if (g.u64FatOffset < uint64_t{bps} * 24 || g.u64FatBytes == 0 ||
        !FitsIn(g.u64FatOffset, g.u64FatBytes, volumeBytes)) {
        return false;
    }
    if (g.u64HeapOffset < g.u64FatOffset + g.u64FatBytes || clusters == 0 ||
        clusters > kMaxClusterCount ||
        !FitsIn(g.u64HeapOffset, clusters * g.uBytesPerCluster, volumeBytes)) {
        return false;
    }
    // Every cluster needs its FAT entry; cluster numbers 0 and 1 have entries too.
    if ((clusters + 2) * 4 > g.u64FatBytes) return false;
    g.uClusterCount = static_cast<uint32_t>(clusters);
    if (!g.IsDataCluster(g.uRootCluster)) return false;
    out = g;
    return true;
}
