// Boot sectors, superblocks and the geometry read from them: the recognisers on the raw
// bytes, then every engine's Init over a volume that starts with them, which is where a boot
// sector's numbers become offsets, sizes and allocations (the factory's 16 KiB probe and the
// quick engine it picks, the FAT and NTFS quick engines, the deep FAT parser's own boot
// sector, the deep NTFS parser), and the free-space maps built from that geometry.
//
// Input: one control byte, then the first bytes of the volume (at most 64 KiB: the boot
// sector, FAT32's FSInfo and backup boot sector, the Ext superblock at 1 KiB). The volume is
// a sparse file in memory, zero beyond the input. Control bits 0-1 pick its size: the input
// rounded up to whole sectors, a 1.44 MB floppy, 2 MiB or 16 MiB; bit 2 also copies the
// input's first sector to the volume's last one, where NTFS keeps its backup boot sector;
// bit 3 then zeroes the first sector, leaving only that backup.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/file_recovery_factory.h"
#include "ext/fast_ext_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "fat/fat_entry.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/bytes.h"
#include "foundation/recognisers.h"
#include "fuzz/fuzz_support.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace {

constexpr size_t kSector = 512;
constexpr uint64_t kVolumeBytes[] = {0, 2880 * kSector, 2u << 20, 16u << 20};
constexpr uint8_t kBackupAtEnd = 1u << 2, kOnlyBackup = 1u << 3;

void Recognise(const uint8_t* p, size_t size) {
    IsFat(p, size);
    IsFullValidFAT16DBR(p, size);
    IsFullValidFAT32DBR(p, size);
    IsBitlockerDBR(p, size);
    IsNtfs(p, size);
    IsExt(p, size);
    if (size < 0x30) return;
    // The default-cluster tables, with the numbers a boot sector gives them.
    const uint32_t bytesPerSector = LoadU16(p + 0x0B);
    GetFat32DefaultSectorPerCluster(LoadU64(p + 0x28), bytesPerSector);
    GetDefaultNtfsSectorPerCluster(LoadU64(p + 0x28), bytesPerSector);
    GetFat32DefaultSectorPerCluster(LoadU32(p + 0x20), bytesPerSector);
}

// Inits the engine on disk 0 and walks the start of the free-space map it built.
void InitAndWalk(IFileRecoveryParse&& engine, long long sectors) {
    if (engine.Init(0, 0, sectors, u'C') != 0 || engine.BuildBitMapInfo() != 0) return;
    unsigned long long start = 0, count = 0;
    for (int runs = 0; runs < 64; ++runs) {
        if (engine.GetUnUsedSectorCount(start, count) != 0 || count == 0) break;
        start += count;
    }
}

void InitEngines(long long sectors) {
    delete CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(0, 0, sectors, u'C',
                                                                           RECOVERY_TYPE_FAST);
    InitAndWalk(CFastFatRecovery(), sectors);
    InitAndWalk(CFastNtfsRecovery(), sectors);
    CProfessionalFatRecovery deepFat;
    if (deepFat.Init(0, 0, sectors, u'C') == 0 && deepFat.ClearProfessionalVec(nullptr) == 0)
        deepFat.InitVirtualDbrInfo();
    CProfessionalNtfsRecovery().Init(0, 0, sectors, u'C');
    CFastExtRecovery().Init(0, 0, sectors, u'C');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1 + 65536) return 0;
    const uint8_t control = data[0];
    const uint8_t* head = data + 1;
    const size_t headBytes = size - 1;
    Recognise(head, headBytes);

    ferrowen::fuzz::ScanLogRoot();
    const uint64_t rounded = (headBytes + kSector - 1) / kSector * kSector;
    const uint64_t volumeBytes = std::max<uint64_t>(rounded, kVolumeBytes[control & 3]);
    const ferrowen::fuzz::MemoryImage memory(head, headBytes);
    if (!memory.ok() || ftruncate(memory.fd(), static_cast<off_t>(volumeBytes)) != 0) return 0;
    if (control & kBackupAtEnd) {
        uint8_t sector[kSector] = {};
        std::memcpy(sector, head, std::min(headBytes, kSector));
        const off_t last = static_cast<off_t>(volumeBytes - kSector);
        if (pwrite(memory.fd(), sector, kSector, last) != static_cast<ssize_t>(kSector)) return 0;
        const uint8_t zeros[kSector] = {};
        if ((control & kOnlyBackup) && volumeBytes > kSector &&
            pwrite(memory.fd(), zeros, kSector, 0) != static_cast<ssize_t>(kSector))
            return 0;
    }
    memory.BecomeDiskZero();
    InitEngines(static_cast<long long>(volumeBytes / kSector));
    ferrowen::fuzz::RemoveCurrentScanFolder();
    return 0;
}
