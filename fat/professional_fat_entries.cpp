// The deep FAT parser's reading of directory entries: long names, the folder a run of entries
// belongs to, and the records made of its files and folders.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "carving/file_type_judge.h"
#include "fat/professional_fat_internal.h"
#include "fat/professional_fat_recovery.h"
#include "fat/short_name_guess.h"
#include "foundation/debug_log.h"
#include "foundation/text.h"
#include "store/scan_result_file_manager.h"

using namespace profat;

namespace {

constexpr int kPieceUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr uint16_t kMaxHighWordTrials = 256;

bool IsDotEntry(const unsigned char* e) {
    return e[0] == '.' && e[1] == ' ';
}

bool IsDotDotEntry(const unsigned char* e) {
    return e[0] == '.' && e[1] == '.' && e[2] == ' ';
}

// The character that starts a long name, past the leading spaces and dots a short name drops.
char16_t FirstNameUnit(const char16_t* units) {
    while (*units == u' ' || *units == u'.') ++units;
    return *units;
}

}  // namespace

namespace profat {

char16_t FirstUsableUnit(const unsigned char* pFirstPiece) {
    for (const int at : kPieceUnitOffsets) {
        const char16_t unit = LoadU16(pFirstPiece + at);
        if (unit != u' ' && unit != u'.') return unit;
    }
    return 0;
}

bool HoldsNameEnd(const unsigned char* e) {
    for (const int at : kPieceUnitOffsets) {
        const uint16_t unit = LoadU16(e + at);
        if (unit == 0x0000 || unit == 0xFFFF) return true;
    }
    return false;
}

bool StartsInsideLongName(const unsigned char* p) {
    if (!IsLongNameEntry(p)) return false;
    return IsDeleted(p) ? !HoldsNameEnd(p) : (p[0] & 0x40) == 0;
}

EntryKey KeyOfEntry(const unsigned char* e) {
    EntryKey key;
    key.uFirstByte = e[0];
    if (e[0] == 0x00) return key;
    if (IsLongNameEntry(e)) {
        key.uKind = kEntryLongName;
        key.uCheckSum = e[0x0D];
    } else if ((e[0x0B] & FAT_ATTR_VOLUME_LABEL) == 0 && e[0] != '.') {
        key.uKind = IsDeleted(e) ? kEntryDeletedShort : kEntryLiveShort;
        key.uCheckSum = IsDeleted(e) ? 0 : GetShortNameCheckSum(e);
    }
    return key;
}

// Short names are made from long names by taking the first usable character, upper-cased;
// where that character is a plain letter or digit, the erased byte must be that character.
bool DeletedShortNameFits(const unsigned char* e, uint8_t uCheckSum, char16_t wcFirstUnit) {
    unsigned char name[11];
    std::memcpy(name, e, sizeof name);
    int first = -1;
    for (int b = 0; b < 256 && first < 0; ++b) {
        name[0] = static_cast<unsigned char>(b);
        if (GetShortNameCheckSum(name) == uCheckSum) first = b;
    }
    if (first < 0) return false;
    if (wcFirstUnit < 0x80 && std::isalnum(static_cast<int>(wcFirstUnit))) {
        return first == std::toupper(static_cast<int>(wcFirstUnit));
    }
    if (first == 0x05) return true;  // a name that starts with 0xE5 is stored as 0x05
    return first > 0x20 && first != 0x7F && !(first >= 'a' && first <= 'z') &&
           std::strchr("\"*+,./:;<=>?[\\]|", first) == nullptr;
}

}  // namespace profat

// The long name being assembled from the pieces in front of a short entry. Pieces are laid
// right to left in the order they are stored, so the name reads in order and ends at its first
// zero unit. A live chain must be whole and in order to name its entry; a deleted chain has
// lost its ordinals, so only its checksum can be tested.
struct CProfessionalFatRecovery::LongNameChain {
    static constexpr int kUnits = __DIR_ENTRY_RUN__::kMaxChainEntries * 13;
    char16_t units[kUnits + 1] = {};
    int position = kUnits;
    uint32_t pieces = 0;
    uint32_t firstIndex = 0;
    uint8_t checksum = 0;
    uint8_t lastOrdinal = 0;
    bool lastLive = false;
    bool headSeen = false;
    bool ordinalsHold = true;
    bool active = false;
    bool overflowed = false;  // more pieces than any name has: ignored up to the next head

    void Reset() {
        position = kUnits;
        pieces = 0;
        active = false;
        overflowed = false;
    }

    void Add(const unsigned char* e, uint32_t index) {
        const bool live = !IsDeleted(e);
        const bool head = live ? (e[0] & 0x40) != 0 : HoldsNameEnd(e);
        if (overflowed && !head) return;
        // A new checksum or a flagged last piece starts another name: what came before it
        // was the rest of a broken chain.
        if (active && (e[0x0D] != checksum || (live && head))) Reset();
        if (!active) {
            firstIndex = index;
            checksum = e[0x0D];
            headSeen = head;
            ordinalsHold = true;
        } else if (live && lastLive && (e[0] & 0x1F) + 1 != lastOrdinal) {
            ordinalsHold = false;
        }
        if (pieces == __DIR_ENTRY_RUN__::kMaxChainEntries) {
            Reset();  // longer than any name: garbage
            overflowed = true;
            return;
        }
        position -= 13;
        for (int i = 0; i < 13; ++i) units[position + i] = LoadU16(e + kPieceUnitOffsets[i]);
        ++pieces;
        lastOrdinal = e[0] & 0x1F;
        lastLive = live;
        active = true;
    }

    // The long name of short entry e, or "" when the chain is not its name.
    std::string NameFor(const unsigned char* e) {
        if (!active) return {};
        units[kUnits] = u'\0';
        const bool fits = IsDeleted(e)
                              ? DeletedShortNameFits(e, checksum, FirstNameUnit(units + position))
                              : GetShortNameCheckSum(e) == checksum &&
                                    (!lastLive || (headSeen && ordinalsHold && lastOrdinal == 1));
        if (!fits || units[position] == u'\0') return {};
        char name[256];
        if (inner_uni2str(name, units + position, sizeof name, -1) <= 0) return {};
        return name;
    }
};

bool CProfessionalFatRecovery::DealProfessionalFatFileEntry(const __DIR_ENTRY_RUN__& run,
                                                            RunPlace& place, FolderKnown known,
                                                            __LONG_FILE_INFO__& pending) {
    if (known == FolderKnown::kNo) {
        GetParentClusterNO(run, place);
    } else if (known == FolderKnown::kGuessed) {
        LearnFolderOfGuessedCluster(run, place);
    }
    // The run's live numbered names give a deleted one beside them its first letter back.
    ShortNameSiblings siblings;
    for (uint32_t i = 0; i < run.uCount && run.Entry(i)[0] != 0x00; ++i) {
        if (IsFatEntryValidInFolder(run.Entry(i), run.Bytes() - 32 * i)) {
            siblings.Note(run.Entry(i));
        }
    }
    LongNameChain lfn;
    for (uint32_t i = 0; i < run.uCount; ++i) {
        const unsigned char* e = run.Entry(i);
        if (e[0] == 0x00) return false;  // the folder ends here
        // The run is known to be folder entries (a dot pair or a sector of them opened it):
        // a file is a file here without the archive bit.
        if (!IsFatEntryValidInFolder(e, run.Bytes() - 32 * i)) {
            lfn.Reset();  // a broken entry breaks the name it may belong to
            continue;
        }
        if (IsLongNameEntry(e)) {
            lfn.Add(e, i);
            continue;
        }
        const bool folder = (e[0x0B] & FAT_ATTR_DIRECTORY) != 0;
        std::string name = lfn.NameFor(e);
        if (name.empty()) name = folder ? ShortEntryName(e) : siblings.NameOf(e);
        lfn.Reset();
        if (folder) {
            DealFolderEntry(e, name, run.u64EntrySector[i], place);
        } else if (!(e[0x0B] & FAT_ATTR_VOLUME_LABEL) && !name.empty()) {
            RecordFile(e, name, run.u64EntrySector[i], place);
        }
    }
    if (!lfn.active) return false;
    pending = {};
    pending.uCheckSum = lfn.checksum;
    pending.nDbrIndex = place.nDbrIndex;
    pending.uCluster = place.uCluster;
    pending.uFolderCluster = place.uFolder;
    pending.bFolderGuessed = place.bFolderGuessed;
    pending.u64Sector = place.u64Anchor;
    pending.u64LastSector = run.u64EntrySector[run.uCount - 1];
    pending.uLastOrdinal = lfn.lastOrdinal;
    pending.bLastLive = lfn.lastLive;
    for (uint32_t i = lfn.firstIndex; i < run.uCount; ++i) {
        pending.run.Append(run.Entry(i), 1, run.u64EntrySector[i]);
    }
    return true;
}

void CProfessionalFatRecovery::DealFolderEntry(const unsigned char* e, const std::string& name,
                                               uint64_t u64Sector, RunPlace& place) {
    if (IsDotEntry(e)) {
        const uint32_t self = EntryCluster(e);
        if (self >= 2) {
            place.uFolder = self;
            place.bFolderGuessed = false;
            m_uLastDotCluster = self;
            m_u64LastDotSector = u64Sector;
        }
        return;
    }
    if (IsDotDotEntry(e)) return;
    RecordFolderEntry(e, name, u64Sector, place);
}

// Finds the folder a run of entries belongs to. A run that opens a folder or a root names it;
// otherwise the run's cluster is a folder's first cluster when it opens with its own "." entry,
// and a continuation of the folder that a sub-folder listed in it names as its parent. Failing
// all of that, the run's own cluster stands in for its folder and may be learnt later.
void CProfessionalFatRecovery::GetParentClusterNO(const __DIR_ENTRY_RUN__& run, RunPlace& place) {
    place.bFolderGuessed = false;
    const unsigned char* first = run.Entry(0);
    if (run.uCount > 0 && first[0x0B] == FAT_ATTR_VOLUME_LABEL) {
        place.uFolder = kRootFolder;
        return;
    }
    if (run.uCount > 1 && OpensWithDotPair(first) && EntryCluster(first) >= 2) {
        place.uFolder = EntryCluster(first);
        return;
    }
    if (place.uCluster == 0) {
        place.uFolder = kRootFolder;  // the fixed root of FAT12/16
        return;
    }
    if (const __VIRTUAL_DBR_INFO__* d = Dbr(place.nDbrIndex)) {
        if (IsFolderStart(*d, place.uCluster)) {
            place.uFolder = place.uCluster;
            return;
        }
        if (place.uCluster == m_uRootCluster) {
            place.uFolder = kRootFolder;  // a FAT32 root has no "." entry
            return;
        }
        uint32_t folder = 0;
        if (FindFolderThroughSubFolders(run, place, folder)) {
            LearnContinuation(place.uCluster, folder);
            place.uFolder = folder;
            return;
        }
    }
    place.uFolder = place.uCluster;
    place.bFolderGuessed = true;
}

void CProfessionalFatRecovery::LearnFolderOfGuessedCluster(const __DIR_ENTRY_RUN__& run,
                                                           RunPlace& place) {
    uint32_t folder = 0;
    if (Dbr(place.nDbrIndex) == nullptr || !FindFolderThroughSubFolders(run, place, folder)) {
        return;
    }
    LearnContinuation(place.uCluster, folder);
    place.uFolder = folder;
    place.bFolderGuessed = false;
}

bool CProfessionalFatRecovery::FindFolderThroughSubFolders(const __DIR_ENTRY_RUN__& run,
                                                           const RunPlace& place,
                                                           uint32_t& uFolder) {
    const __VIRTUAL_DBR_INFO__* d = Dbr(place.nDbrIndex);
    if (d == nullptr) return false;
    for (uint32_t i = 0; i < run.uCount; ++i) {
        const unsigned char* e = run.Entry(i);
        if (e[0] == 0x00) return false;
        if (!IsFatEntyValid(e, run.Bytes() - 32 * i) || IsLongNameEntry(e) ||
            !(e[0x0B] & FAT_ATTR_DIRECTORY) || e[0] == '.') {
            continue;
        }
        uint32_t cluster = EntryCluster(e);
        if (IsDeleted(e) && (cluster >> 16) == 0) {
            uint16_t high = 0;
            if (GetDirRealHighClusterNO(static_cast<uint16_t>(cluster), high, *d) == 0) {
                cluster |= uint32_t{high} << 16;
            }
        }
        unsigned char sector[kSectorBytes];
        if (cluster < 2 || cluster == place.uCluster || !IsFolderStart(*d, cluster, sector)) {
            continue;
        }
        uFolder = NormaliseParent(EntryCluster(sector + 32));
        return true;
    }
    return false;
}

bool CProfessionalFatRecovery::IsFolderStart(const __VIRTUAL_DBR_INFO__& d, uint32_t uCluster,
                                             unsigned char* pSector) {
    if (uCluster < 2 || !ClusterInVolume(d, uCluster)) return false;
    unsigned char local[kSectorBytes];
    unsigned char* p = pSector != nullptr ? pSector : local;
    if (ReadSectors(p, 1, ClusterSector(d, uCluster)) != 0) return false;
    return OpensWithDotPair(p) && EntryCluster(p) == uCluster;
}

int CProfessionalFatRecovery::GetParentClusterNO(const __VIRTUAL_DBR_INFO__& d, uint32_t uCluster,
                                                 uint32_t& uParent) {
    if (d.uSectorsPerCluster == 0 || uCluster == 0 || !ClusterInVolume(d, uCluster))
        return RESULT_OUTSIDE_VOLUME;
    unsigned char sector[kSectorBytes];
    const int result = ReadSectors(sector, 1, ClusterSector(d, uCluster));
    if (result != 0) return result;
    const bool opens = sector[0x0B] != FAT_ATTR_VOLUME_LABEL && OpensWithDotPair(sector) &&
                       EntryCluster(sector) == uCluster;
    uParent = opens ? NormaliseParent(EntryCluster(sector + 32)) : kRootFolder;
    return 0;
}

void CProfessionalFatRecovery::FillTimes(const unsigned char* pEntry, _FILE_NODE_& node) const {
    FAT32_Entry entry;
    std::memcpy(&entry, pEntry, sizeof entry);
    Fat32GetFileCreateTime(&entry, &node.ftCreateTime);
    Fat32GetFileLastAccessTime(&entry, &node.ftLastAccessTime);
    Fat32GetFileLastChangeTime(&entry, &node.ftLastChangeTime);
}

void CProfessionalFatRecovery::RecordFile(const unsigned char* e, const std::string& name,
                                          uint64_t u64Sector, const RunPlace& place) {
    _FILE_NODE_ node{};
    node.wcDriveLetter = m_wcDriveLetter;
    node.nFileSource = m_uFileSource;
    node.uClusterNO = EntryCluster(e);
    FillTimes(e, node);
    node.u64FileSize = LoadU32(e + 0x1C);
    node.u64RecordSector = u64Sector;
    std::snprintf(node.szFileName, sizeof node.szFileName, "%s", name.c_str());
    if (place.nDbrIndex >= 0) {
        PlaceFile(node, IsDeleted(e), place.uFolder, place.nDbrIndex);
        return;
    }
    const uint64_t offset = m_spill.Append(&node, sizeof node);
    if (offset == UINT64_MAX) {
        DebugLog("CProfessionalFatRecovery: file of sector %llu could not be kept, skipped\n",
                 static_cast<unsigned long long>(u64Sector));
        return;
    }
    m_vecNoDbrFile.push_back({place.u64Anchor, offset, place.uFolder, 0, IsDeleted(e) ? 1u : 0u});
}

// Writes the record of a file whose geometry is known, and remembers the folder it belongs to;
// the folder relations are made once the pass is over and the tree is known.
void CProfessionalFatRecovery::PlaceFile(_FILE_NODE_ node, bool bDeleted, uint32_t uFolder,
                                         int32_t nDbr) {
    const __VIRTUAL_DBR_INFO__* d = Dbr(nDbr);
    if (d == nullptr || !m_pStore) return;
    if (bDeleted && (node.uClusterNO >> 16) == 0) {
        uint16_t high = 0;
        GetFileRealHighClusterNO(static_cast<uint16_t>(node.uClusterNO), high, node.szFileName, *d);
        node.uClusterNO |= uint32_t{high} << 16;
    }
    _FILE_NODE_* out = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (out == nullptr) {
        DebugLog("CProfessionalFatRecovery: no record for %s\n", node.szFileName);
        return;
    }
    *out = node;
    out->uFileIndex = m_pStore->GetFileIndex();
    out->uClusterBytes = kSectorBytes * d->uSectorsPerCluster;
    out->u64DataStartSector = d->uFirstDataSector;
    out->u64VolumeStartSector = d->u64VolumeStartSector;
    out->bDataHealth = static_cast<uint32_t>(IsFileDataHealth(out, d->uSectorsPerCluster));
    const PendingRelation relation{out->uFileIndex, uFolder, out->uClusterNO, nDbr};
    if (m_relationSpill.Append(&relation, sizeof relation) == UINT64_MAX) {
        DebugLog("CProfessionalFatRecovery: %s stays outside the tree\n", out->szFileName);
        return;
    }
    ++m_u64RelationCount;
}

// A live entry is the truth about its cluster: a deleted entry whose cluster was reused by a
// live folder must not rename or move that folder.
void CProfessionalFatRecovery::RecordFolderEntry(const unsigned char* e, const std::string& name,
                                                 uint64_t u64Sector, const RunPlace& place) {
    const bool deleted = IsDeleted(e);
    uint32_t cluster = EntryCluster(e);
    const __VIRTUAL_DBR_INFO__* d = Dbr(place.nDbrIndex);
    if (deleted && (cluster >> 16) == 0 && d != nullptr) {
        uint16_t high = 0;
        if (GetDirRealHighClusterNO(static_cast<uint16_t>(cluster), high, *d) == 0) {
            cluster |= uint32_t{high} << 16;
        }
    }
    if (cluster < 2 || cluster == place.uFolder) return;
    if (d != nullptr && !ClusterInVolume(*d, cluster)) return;
    const auto existing = m_mapDirInfo.find(cluster);
    if (deleted && existing != m_mapDirInfo.end() && existing->second.bLive) return;
    __PRO_DIR_INFO__ info{};
    info.node.wcDriveLetter = m_wcDriveLetter;
    info.node.nFileSource = m_uFileSource;
    info.node.bIsDir = 1;
    info.node.uFileIndex = place.uFolder;
    info.node.uClusterNO = cluster;
    FillTimes(e, info.node);
    info.node.u64RecordSector = u64Sector;
    std::snprintf(info.node.szFileName, sizeof info.node.szFileName, "%s", name.c_str());
    info.nDbrIndex = place.nDbrIndex;
    const uint64_t offset = m_spill.Append(&info, sizeof info);
    if (offset == UINT64_MAX) return;
    m_mapDirInfo[cluster] = {offset, place.uFolder, deleted ? 0u : 1u};
}

int CProfessionalFatRecovery::GetDirRealHighClusterNO(uint16_t uLow, uint16_t& uHigh,
                                                      const __VIRTUAL_DBR_INFO__& d) {
    unsigned char sector[kSectorBytes];
    int result = 0;
    for (uint32_t h = 0; h <= kMaxHighWordTrials; ++h) {
        const uint32_t cluster = (h << 16) | uLow;
        if (cluster < 2) continue;
        if (!ClusterInVolume(d, cluster)) return result;
        result = ReadSectors(sector, 1, ClusterSector(d, cluster));
        if (result != 0) return result;
        if (OpensWithDotPair(sector) && EntryCluster(sector) == cluster) {
            uHigh = static_cast<uint16_t>(h);
            return 0;
        }
    }
    return result;
}

int CProfessionalFatRecovery::GetFileRealHighClusterNO(uint16_t uLow, uint16_t& uHigh,
                                                       const char* pszName,
                                                       const __VIRTUAL_DBR_INFO__& d) {
    char ext[256];
    if (GetExtendName(pszName, ext, sizeof ext) != 0) return 0;
    unsigned char sector[kSectorBytes];
    int result = 0;
    for (uint32_t h = 0; h <= kMaxHighWordTrials; ++h) {
        const uint32_t cluster = (h << 16) | uLow;
        if (cluster < 2) continue;
        if (!ClusterInVolume(d, cluster)) return result;
        const uint64_t at = ClusterSector(d, cluster);
        result = ReadSectors(sector, 1, at);
        if (result != 0) return result;
        if (CFileTypeJudge::IsFileTypeMatching(sector, sizeof sector, ext, &m_diskReader,
                                               kSectorBytes, at)) {
            uHigh = static_cast<uint16_t>(h);
            return 0;
        }
    }
    return result;
}

int CProfessionalFatRecovery::IsFileDataHealth(const _FILE_NODE_* pNode,
                                               uint32_t uSectorsPerCluster) {
    char ext[256];
    if (pNode == nullptr || GetExtendName(pNode->szFileName, ext, sizeof ext) != 0) return 1;
    if (pNode->uClusterNO < 2) return 1;
    const uint64_t at = pNode->u64DataStartSector + pNode->u64VolumeStartSector +
                        uint64_t{pNode->uClusterNO - 2} * uSectorsPerCluster;
    unsigned char sector[kSectorBytes];
    if (ReadSectors(sector, 1, at) != 0) return 1;
    return CFileTypeJudge::IsFileTypeMatching(sector, sizeof sector, ext, &m_diskReader,
                                              kSectorBytes, at)
               ? 1
               : 0;
}
