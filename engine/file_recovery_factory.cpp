#include "engine/file_recovery_factory.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "engine/professional_recovery.h"
#include "exfat/fast_exfat_recovery.h"
#include "ext/fast_ext_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/recognisers.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"

namespace {

constexpr size_t kProbeBytes = 16384;  // enough for the Ext superblock at 1 KiB

enum class Recognised { None, Ntfs, Fat, Exfat, Ext };

// A FAT32 volume's boot sector has its copy in sector 6.
constexpr size_t kFatBackupBootOffset = 6 * 512;

Recognised Recognise(const std::vector<unsigned char>& probe) {
    if (IsNtfs(probe.data(), probe.size())) return Recognised::Ntfs;
    if (IsFat(probe.data(), probe.size())) return Recognised::Fat;
    if (IsFat(probe.data() + kFatBackupBootOffset, probe.size() - kFatBackupBootOffset))
        return Recognised::Fat;
    if (IsExfat(probe.data(), probe.size())) return Recognised::Exfat;
    if (IsExt(probe.data(), probe.size())) return Recognised::Ext;
    return Recognised::None;
}

// The quick engine of a recognised file system, not yet bound to its volume.
std::unique_ptr<IFileRecoveryParse> MakeQuickEngine(Recognised fs) {
    switch (fs) {
        case Recognised::Ntfs:
            return std::make_unique<CFastNtfsRecovery>();
        case Recognised::Fat:
            return std::make_unique<CFastFatRecovery>();
        case Recognised::Exfat:
            return std::make_unique<CFastExfatRecovery>();
        case Recognised::Ext:
            return std::make_unique<CFastExtRecovery>();
        case Recognised::None:
            break;
    }
    return nullptr;
}

// Reads the probe at byte offset; false when fewer than kProbeBytes arrived.
bool ReadProbe(int fd, off_t offset, std::vector<unsigned char>& probe) {
    probe.assign(kProbeBytes, 0);
    size_t done = 0;
    while (done < kProbeBytes) {
        const ssize_t got =
            pread(fd, probe.data() + done, kProbeBytes - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done == kProbeBytes;
}

}  // namespace

const char* CFileRecoveryFactory::NameFileSystem(const char* pszDevicePath, uint64_t u64Offset) {
    const int fd = OpenDeviceReadOnly(pszDevicePath);
    if (fd < 0) return "";
    std::vector<unsigned char> probe;
    const bool read = ReadProbe(fd, static_cast<off_t>(u64Offset), probe);
    close(fd);
    switch (read ? Recognise(probe) : Recognised::None) {
        case Recognised::Ntfs:
            return "NTFS";
        case Recognised::Fat:
            return "FAT";
        case Recognised::Exfat:
            return "exFAT";
        case Recognised::Ext:
            return "Ext";
        case Recognised::None:
            break;
    }
    return "";
}

CFileRecoveryFactory* CFileRecoveryFactory::GetInstance() {
    static CFileRecoveryFactory factory;
    return &factory;
}

// A volume whose first sectors cannot be read still gets a deep scan: that is the volume a
// user most needs one for. Only a quick engine needs the file system recognised.
IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(int nDisk,
                                                                     long long llStartSector,
                                                                     long long llSectorCount,
                                                                     char16_t wcDriveLetter,
                                                                     RECOVERY_TYPE type) {
    const int fd = OpenDiskReadOnly(nDisk);
    if (fd < 0) {
        DebugLog("Open Failed\n");
        return nullptr;
    }
    std::vector<unsigned char> probe;
    Recognised fs = Recognised::None;
    if (llStartSector < 0) {
        DebugLog("lseek Failed\n");
    } else if (!ReadProbe(fd, static_cast<off_t>(llStartSector) * 512, probe)) {
        DebugLog("read Failed\n");
    } else {
        fs = Recognise(probe);
    }
    close(fd);
    if (llStartSector < 0) return nullptr;
    std::unique_ptr<IFileRecoveryParse> quick = MakeQuickEngine(fs);
    if (quick) quick->Init(nDisk, llStartSector, llSectorCount, wcDriveLetter);
    if (type == RECOVERY_TYPE_FAST) return quick.release();
    auto deep = std::make_unique<CProfessionalRecovery>(std::move(quick));
    deep->Init(nDisk, llStartSector, llSectorCount, wcDriveLetter);
    return deep.release();
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(const char16_t* pszDevicePath,
                                                                     char16_t wcDriveLetter,
                                                                     RECOVERY_TYPE type) {
    if (pszDevicePath == nullptr) return nullptr;
    const int fd = OpenDeviceReadOnly(WideToUtf8(pszDevicePath).c_str());
    if (fd < 0) return nullptr;
    std::vector<unsigned char> probe;
    const Recognised fs = ReadProbe(fd, 0, probe) ? Recognise(probe) : Recognised::None;
    close(fd);
    std::unique_ptr<IFileRecoveryParse> quick = MakeQuickEngine(fs);
    if (quick) quick->Init(pszDevicePath, wcDriveLetter);
    if (type == RECOVERY_TYPE_FAST) return quick.release();
    auto deep = std::make_unique<CProfessionalRecovery>(std::move(quick));
    deep->Init(pszDevicePath, wcDriveLetter);
    return deep.release();
}
