// The deep exFAT pass: recognising directory and boot sectors, joining sets cut by a sector
// boundary, and keeping what was found (runs and sub-folder sets in memory, sets spilled).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "exfat/exfat_boot.h"
#include "exfat/professional_exfat_recovery.h"
#include "foundation/bytes.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"

namespace {

constexpr uint32_t kSector = 512;

bool IsFileType(uint8_t uType) {
    return (uType | EXFAT_ENTRY_IN_USE) == EXFAT_ENTRY_FILE;
}

bool IsSecondaryOfSet(uint8_t uType) {
    const uint8_t live = uType | EXFAT_ENTRY_IN_USE;
    return live == EXFAT_ENTRY_STREAM || live == EXFAT_ENTRY_NAME;
}

// A File entry at e whose set lies whole within the bytes and checks.
bool IsWholeSet(const unsigned char* e, size_t uLeft) {
    const size_t entries = size_t{e[1]} + 1;
    return e[1] >= 2 && entries * kExfatEntryBytes <= uLeft &&
           (e[kExfatEntryBytes] | EXFAT_ENTRY_IN_USE) == EXFAT_ENTRY_STREAM &&
           ExfatSetChecksum(e, entries) == LoadU16(e + 2);
}

}  // namespace

bool MayBeExfatDirectorySector(uint8_t uFirstByte) {
    const uint8_t live = uFirstByte | EXFAT_ENTRY_IN_USE;
    return live == EXFAT_ENTRY_FILE || live == EXFAT_ENTRY_STREAM || live == EXFAT_ENTRY_NAME ||
           uFirstByte == EXFAT_ENTRY_BITMAP || uFirstByte == 0x82 || live == 0x83;
}

bool IsExfatDirectorySector(const unsigned char* p, size_t uBytes) {
    if (uBytes < kSector || !MayBeExfatDirectorySector(p[0])) return false;
    uBytes = kSector;
    bool ended = false;
    bool wholeSet = false;
    for (size_t at = 0; at < uBytes; at += kExfatEntryBytes) {
        const uint8_t type = p[at];
        if (ended && type != EXFAT_ENTRY_END) return false;
        if (!IsExfatDirectoryEntryType(type)) return false;
        ended = ended || type == EXFAT_ENTRY_END;
        if (!wholeSet && IsFileType(type)) wholeSet = IsWholeSet(p + at, uBytes - at);
    }
    return wholeSet || IsSecondaryOfSet(p[0]) || ExfatOpenSetOffset(p, uBytes) != uBytes;
}

bool IsExfatBootSector(const unsigned char* p, size_t uBytes) {
    return uBytes >= kSector && p[0] == 0xEB && p[1] == 0x76 && p[2] == 0x90 &&
           std::memcmp(p + 3, "EXFAT   ", 8) == 0 && p[510] == 0x55 && p[511] == 0xAA;
}

CProfessionalExfatRecovery::~CProfessionalExfatRecovery() {
    if (m_spill != nullptr) std::fclose(m_spill);
}

int CProfessionalExfatRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                                     char16_t wcDriveLetter) {
    if (llStartSector < 0 || llSectorCount <= 0) return RESULT_INVALID_ARGUMENT;
    m_wcDriveLetter = wcDriveLetter;
    m_u64VolumeStartSector = static_cast<uint64_t>(llStartSector);
    m_u64VolumeSectorCount = static_cast<uint64_t>(llSectorCount);
    return m_diskReader.Init(nDisk, m_u64VolumeStartSector + m_u64VolumeSectorCount);
}

int CProfessionalExfatRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    if (pszDevicePath == nullptr) return RESULT_INVALID_ARGUMENT;
    uint64_t bytes = 0;
    if (const int opened = GetDeviceSizeByPath(WideToUtf8(pszDevicePath).c_str(), bytes))
        return opened;
    const uint64_t sectors = bytes / kSector;
    m_wcDriveLetter = wcDriveLetter;
    m_u64VolumeStartSector = 0;
    m_u64VolumeSectorCount = sectors;
    return m_diskReader.Init(pszDevicePath, sectors);
}

void CProfessionalExfatRecovery::Reset() {
    m_runs.clear();
    m_folderSets.clear();
    m_layouts.clear();
    m_carry.clear();
    m_u64CarrySector = UINT64_MAX;
    m_layout = {};
    m_namedFolders.clear();
    m_tree.clear();
    m_uSpilledSets = 0;
    if (m_spill != nullptr) std::fclose(m_spill);
    // Unlinked at once: what waits for the end of the pass costs disk, not memory.
    m_spill = std::tmpfile();
    if (m_spill == nullptr) DebugLog("exFAT deep scan: no spill file (%d)\n", errno);
}

int CProfessionalExfatRecovery::BeginPass(const char16_t* pszLogName) {
    Reset();
    const int result = OpenStore(kProExfatLogPrefix, m_u64VolumeStartSector, pszLogName);
    TryBootRegionAt(m_u64VolumeStartSector, m_u64VolumeStartSector);
    TryBootRegionAt(m_u64VolumeStartSector + kExfatBootRegionSectors, m_u64VolumeStartSector);
    return result;
}

bool CProfessionalExfatRecovery::ReadSectors(uint64_t u64Sector, uint32_t uCount,
                                             std::vector<unsigned char>& out) {
    out.assign(size_t{uCount} * kSector, 0);
    unsigned int got = 0;
    const int result =
        m_diskReader.ReadData(out.data(), static_cast<int>(uCount), u64Sector, kSector, &got);
    return result == 0 && got == uCount;
}

// A region at u64Sector read as the volume starting at u64VolumeStart: the main region when the
// two are equal, the backup twelve sectors of its size on otherwise.
void CProfessionalExfatRecovery::TryBootRegionAt(uint64_t u64Sector, uint64_t u64VolumeStart) {
    std::vector<unsigned char> first;
    if (!ReadSectors(u64Sector, 1, first) || !IsExfatBootSector(first.data(), first.size())) return;
    const uint32_t bps = ExfatClaimedSectorSize(first.data(), first.size());
    if (bps == 0) return;
    std::vector<unsigned char> region;
    if (!ReadSectors(u64Sector, bps / kSector * kExfatBootRegionSectors, region)) return;
    AddLayoutFromRegion(region.data(), region.size(), u64VolumeStart);
}

void CProfessionalExfatRecovery::AddLayoutFromRegion(const unsigned char* pRegion, size_t uBytes,
                                                     uint64_t u64Start) {
    const uint64_t end = m_u64VolumeStartSector + m_u64VolumeSectorCount;
    if (u64Start < m_u64VolumeStartSector || u64Start >= end) return;
    ExfatGeometry g;
    if (!ParseExfatBootRegion(pRegion, uBytes, (end - u64Start) * kSector, g)) return;
    ExfatDeepLayout layout;
    layout.u64VolumeStart = u64Start;
    layout.u64HeapSector = u64Start + g.u64HeapOffset / kSector;
    layout.uSectorsPerCluster = g.uBytesPerCluster / kSector;
    layout.uRootCluster = g.uRootCluster;
    layout.bFromBoot = true;
    for (const ExfatDeepLayout& known : m_layouts) {
        if (known.u64HeapSector == layout.u64HeapSector &&
            known.uSectorsPerCluster == layout.uSectorsPerCluster) {
            return;
        }
    }
    if (m_layouts.size() >= kMaxLayouts || layout.uSectorsPerCluster == 0) return;
    m_layouts.push_back(layout);
}

// A boot sector met in the pass may be a main region or a backup: both readings are kept and
// the folders decide between them.
void CProfessionalExfatRecovery::ParseBootSector(uint64_t u64Sector) {
    std::vector<unsigned char> first;
    if (!ReadSectors(u64Sector, 1, first)) return;
    const uint32_t bps = ExfatClaimedSectorSize(first.data(), first.size());
    if (bps == 0) return;
    TryBootRegionAt(u64Sector, u64Sector);
    const uint64_t backupDistance = uint64_t{bps / kSector} * kExfatBootRegionSectors;
    if (u64Sector >= backupDistance) TryBootRegionAt(u64Sector, u64Sector - backupDistance);
}

void CProfessionalExfatRecovery::AddRun(uint64_t u64Sector) {
    if (!m_runs.empty()) {
        DirRun& last = m_runs.back();
        if (last.u64First + last.uSectors == u64Sector && last.uSectors < UINT32_MAX) {
            ++last.uSectors;
            return;
        }
    }
    if (m_runs.size() >= kMaxRuns) {
        DebugLog("exFAT deep scan: run table full at sector %llu\n",
                 static_cast<unsigned long long>(u64Sector));
        return;
    }
    m_runs.push_back({u64Sector, 1});
}

void CProfessionalExfatRecovery::ParseDirectorySector(const unsigned char* pSector,
                                                      uint64_t u64Sector) {
    AddRun(u64Sector);
    std::vector<unsigned char> bytes;
    uint64_t base = u64Sector * kSector;
    // A set left open by the sector before goes on here only when this sector follows it.
    if (!m_carry.empty() && m_u64CarrySector + 1 == u64Sector) {
        bytes = m_carry;
        base = m_u64CarryByte;
    }
    bytes.insert(bytes.end(), pSector, pSector + kSector);
    m_carry.clear();
    m_u64CarrySector = UINT64_MAX;

    ExfatFolderContent content;
    ParseExfatFolder(bytes.data(), bytes.size(), content);
    for (const ExfatEntrySet& set : content.sets) SpillSet(set, base + set.uOffset);
    const size_t open = ExfatOpenSetOffset(bytes.data(), bytes.size());
    // A set left open is counted broken here but is read with the next sector.
    const uint32_t broken = content.uBrokenSets - (open < bytes.size() ? 1 : 0);
    if (content.uBrokenSets != 0 && broken != 0) {
        DebugLog("exFAT deep scan: sector %llu: %u broken sets passed over\n",
                 static_cast<unsigned long long>(u64Sector), broken);
    }
    if (open < bytes.size() && !content.bEnded) {
        m_carry.assign(bytes.begin() + static_cast<std::ptrdiff_t>(open), bytes.end());
        m_u64CarryByte = base + open;
        m_u64CarrySector = u64Sector;
    }
}

void CProfessionalExfatRecovery::SpillSet(const ExfatEntrySet& set, uint64_t u64EntryByte) {
    if (m_spill == nullptr) return;
    SpilledSet out{};
    out.u64EntryByte = u64EntryByte;
    out.u64ValidLength = set.u64ValidLength;
    out.u64DataLength = set.u64DataLength;
    out.uFirstCluster = set.uFirstCluster;
    out.uAttributes = set.uAttributes;
    out.bDeleted = set.bDeleted ? 1 : 0;
    out.uNameUnits = static_cast<uint8_t>(std::min<size_t>(set.name.size(), 255));
    out.created = set.created;
    out.modified = set.modified;
    out.accessed = set.accessed;
    std::copy_n(set.name.begin(), out.uNameUnits, out.name);
    const long offset = std::ftell(m_spill);
    if (offset < 0 || std::fwrite(&out, sizeof out, 1, m_spill) != 1) {
        DebugLog("exFAT deep scan: spill write failed (%d)\n", errno);
        return;
    }
    ++m_uSpilledSets;
    if (!set.IsFolder()) return;
    if (m_folderSets.size() >= kMaxFolderSets) {
        DebugLog("exFAT deep scan: folder table full, folder %u left unnamed\n", set.uFirstCluster);
        return;
    }
    m_folderSets.push_back({set.uFirstCluster, set.u64DataLength, u64EntryByte,
                            static_cast<uint64_t>(offset), set.bDeleted});
}
