// The quick NTFS scan: the pass over the master file table, the folder pass, the data health
// test, $Bitmap and the free-space walk, and the store queries.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>

#include "carving/file_type_judge.h"
#include "foundation/debug_log.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

namespace {

constexpr unsigned int kReportIntervalMs = 5000;
// No real path is this deep; a longer parent chain is corrupt, and following it for every
// file under it would cost reads without end.
constexpr uint32_t kMaxFolderDepth = 4096;
constexpr uint32_t kBitmapReadSectors = 2048;
// A record of 1 KiB holds at most a handful of $FILE_NAMEs; more are read as damage.
constexpr size_t kMaxNamesPerRecord = 16;
constexpr size_t kMaxStreamsPerRecord = 16;
// Records below this number belong to the volume (those from 12 on are kept for it), and so
// does every folder below one of them: $Extend keeps its own files in folders of its own.
constexpr uint32_t kFirstPresentUserRecord = 24;
std::atomic<bool> g_listNamedStreams{true};

bool BitSet(const std::vector<uint8_t>& bitmap, uint64_t bit) {
    return ((bitmap[bit / 8] >> (bit % 8)) & 1) != 0;
}

// The first bit at or after `bit` whose value differs from `value`, or `bits`.
uint64_t SkipBits(const std::vector<uint8_t>& bitmap, uint64_t bit, uint64_t bits, bool value) {
    const uint8_t whole = value ? 0xFF : 0x00;
    while (bit < bits) {
        if (bit % 8 == 0 && bit + 8 <= bits && bitmap[bit / 8] == whole) {
            bit += 8;
        } else if (BitSet(bitmap, bit) == value) {
            ++bit;
        } else {
            break;
        }
    }
    return bit;
}

// The mark a published record takes: whether the file system still lists it.
uint32_t PresentMark(const NTFS_RECORD_HEADER& header) {
    return (header.uFlags & NTFS_RECORD_IN_USE) != 0 ? kPresentEntryMark : 0;
}

}  // namespace

struct CFastNtfsRecovery::ScanProgress {
    uint64_t u64Total = 0;  // sectors of the table
    uint64_t u64Done = 0;
    int nSecondsLeft = -1;
    unsigned int uStartTick = 0;
    unsigned int uLastReportTick = 0;
};

// What one record says about the file it describes.
struct CFastNtfsRecovery::RecordSummary {
    NTFS_RECORD_HEADER header;
    bool bHasName = false;
    NTFS_FILE_NAME name;
    std::vector<NTFS_FILE_NAME> names;  // every name the record carries, to find hard links
    bool bHasDataSize = false;
    uint64_t u64DataSize = 0;
    bool bHasAttributeList = false;
    std::vector<NTFS_NAMED_STREAM> streams;
    size_t nBound = 0;
};

void SetListNamedStreams(bool bList) {
    g_listNamedStreams = bList;
}

bool ListsNamedStreams() {
    return g_listNamedStreams;
}

int CFastNtfsRecovery::ScanDevice(const char16_t* pszLogName) {
    m_folderList.clear();
    m_folderSet.clear();
    m_folderDepth.clear();
    m_metadataFolder.clear();
    m_bListPresent = ListPresentFiles();
    // Without a store nothing found could be kept: report that rather than an empty success.
    const int storeResult = OpenStore(kFastLogPrefix, m_u64StoreNameSector, pszLogName);
    if (pszLogName != nullptr || storeResult != RESULT_OK) return storeResult;
    return FastScanDevice();
}

int CFastNtfsRecovery::FastScanDevice() {
    ScanProgress progress;
    progress.u64Total = RunListClusters(m_mftRunList) * m_uSectorsPerCluster;
    progress.uStartTick = progress.uLastReportTick = rsb_getTickCount();
    const int result = ScanMftRuns(progress);
    // The folder pass runs after a cancel or a read error too, so that the files found so far
    // browse under the folders they were deleted from.
    RunFolderPass();
    m_pStore->FlushBufToFile();
    if (result != 0) return result;
    return ReportScan(100, progress.nSecondsLeft);
}

int CFastNtfsRecovery::ReportProgress(ScanProgress& progress) {
    const uint64_t done = std::min(progress.u64Done, progress.u64Total);
    const int percent =
        progress.u64Total == 0 ? 100 : static_cast<int>(done * 100 / progress.u64Total);
    const unsigned int now = rsb_getTickCount();
    if (now - progress.uLastReportTick >= kReportIntervalMs && m_nWeight == 100) {
        progress.uLastReportTick = now;
        const uint64_t elapsed = std::max<uint64_t>((now - progress.uStartTick) / 1000, 1);
        uint64_t speed = uint64_t{m_uBytesPerSector} * progress.u64Done / elapsed;
        if (speed == 0) speed = 1;
        const uint64_t left = progress.u64Total - std::min(progress.u64Done, progress.u64Total);
        progress.nSecondsLeft =
            static_cast<int>(std::min<uint64_t>(left * m_uBytesPerSector / speed, INT32_MAX));
    }
    return ReportScan(percent, progress.nSecondsLeft);
}

// Where the table stands while it is read as one stream of bytes: the table offset of the
// read buffer's first byte and how many bytes of a record begun in the last piece it holds.
struct CFastNtfsRecovery::TableStream {
    uint64_t u64TableByte = 0;
    size_t nCarry = 0;

    // Bytes of the table that cannot be read: a record begun before them is lost with them.
    void Skip(uint64_t u64Bytes) {
        u64TableByte += nCarry + u64Bytes;
        nCarry = 0;
    }
};

// Where a run of the table lies on the volume, cut to the volume's end. false for a hole or
// a run that starts outside the volume.
bool CFastNtfsRecovery::PlaceTableRun(const __RUNLIST__& run, int64_t lcn, uint64_t& u64Sector,
                                      uint64_t& u64Sectors, uint64_t& u64CutSectors) const {
    u64Sectors = run.length * m_uSectorsPerCluster;
    u64CutSectors = 0;
    if (run.bSparse || lcn < 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(lcn), uint64_t{m_uSectorsPerCluster},
                               &u64Sector) ||
        u64Sector >= m_u64VolumeSectorCount) {
        DebugLog("CFastNtfsRecovery MFT run at cluster %lld skipped\n",
                 static_cast<long long>(lcn));
        return false;
    }
    if (u64Sectors > m_u64VolumeSectorCount - u64Sector) {
        DebugLog("CFastNtfsRecovery MFT run at cluster %lld cut at the volume end\n",
                 static_cast<long long>(lcn));
        u64CutSectors = u64Sectors - (m_u64VolumeSectorCount - u64Sector);
        u64Sectors -= u64CutSectors;
    }
    u64Sector += m_u64VolumeStartSector;
    return true;
}

// Parses the whole records in the read buffer, whose piece of nPieceBytes starts at absolute
// sector u64PieceSector after the carried bytes, and keeps the rest for the next piece.
void CFastNtfsRecovery::ParsePiece(TableStream& stream, size_t nPieceBytes,
                                   uint64_t u64PieceSector) {
    const uint64_t recordBytes = m_uBytesPerRecord;
    unsigned char* buffer = m_readBuffer.data();
    const size_t available = stream.nCarry + nPieceBytes;
    size_t offset =
        static_cast<size_t>((recordBytes - stream.u64TableByte % recordBytes) % recordBytes);
    for (; offset + recordBytes <= available; offset += recordBytes) {
        const uint64_t number = (stream.u64TableByte + offset) / recordBytes;
        uint64_t recordSector = 0;
        if (offset >= stream.nCarry) {
            recordSector = u64PieceSector + (offset - stream.nCarry) / m_uBytesPerSector;
        } else if (!RecordSectorOf(number, recordSector)) {
            recordSector = m_u64VolumeStartSector;
        }
        ParseRecordInfo(buffer + offset, false, number, recordSector);
    }
    const size_t consumed = std::min(offset, available);
    stream.nCarry = available - consumed;
    std::memmove(buffer, buffer + consumed, stream.nCarry);
    stream.u64TableByte += consumed;
}

// The table is read run by run in pieces of 1,024 records and parsed as one stream of bytes,
// so that a record split between two runs is parsed whole and every record keeps the number
// its position in the table gives it.
int CFastNtfsRecovery::ScanMftRuns(ScanProgress& progress) {
    TableStream stream;
    int64_t lcn = 0;
    for (const __RUNLIST__& run : m_mftRunList) {
        lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + static_cast<uint64_t>(run.offset));
        uint64_t sector = 0, sectors = 0, cut = 0;
        if (!PlaceTableRun(run, lcn, sector, sectors, cut)) {
            stream.Skip(sectors * m_uBytesPerSector);
            progress.u64Done += sectors;
            continue;
        }
        for (uint64_t left = sectors; left > 0;) {
            const uint32_t pieceSectors =
                static_cast<uint32_t>(std::min<uint64_t>(m_uChunkBytes / m_uBytesPerSector, left));
            unsigned int read = 0;
            const int result = m_diskReader.ReadData(m_readBuffer.data() + stream.nCarry,
                                                     static_cast<int>(pieceSectors), sector,
                                                     static_cast<int>(m_uBytesPerSector), &read);
            if (result != 0) return result;
            ParsePiece(stream, size_t{pieceSectors} * m_uBytesPerSector, sector);
            sector += pieceSectors;
            left -= pieceSectors;
            progress.u64Done += pieceSectors;
            const int answer = ReportProgress(progress);
            if (answer != 0) return answer;
        }
        if (cut > 0) {
            stream.Skip(cut * m_uBytesPerSector);
            progress.u64Done += cut;
        }
    }
    return 0;
}

void CFastNtfsRecovery::RunFolderPass() {
    std::vector<unsigned char> record(m_uBytesPerRecord);
    // The list grows while this runs: every folder met above a folder is appended and visited.
    for (size_t i = 0; i < m_folderList.size(); ++i) {
        const uint32_t number = m_folderList[i];
        uint64_t sector = 0;
        if (!RecordSectorOf(number, sector)) sector = m_u64VolumeStartSector;
        if (GetFileRecordBuf(number, record.data()) != 0) {
            DebugLog("CFastNtfsRecovery folder record %u unreadable\n", number);
            AddLostFolder(number, true);
            continue;
        }
        ParseRecordInfo(record.data(), true, number, sector);
    }
}

bool CFastNtfsRecovery::SummariseRecord(const unsigned char* pRecord, uint64_t uRecord,
                                        RecordSummary& out) {
    out.nBound = std::min<size_t>(out.header.uBytesInUse, m_uBytesPerRecord);
    CNtfsAttributeWalk walk(pRecord, out.nBound);
    NTFS_ATTRIBUTE attr{};
    NTFS_FILE_NAME candidate;
    while (walk.Next(attr)) {
        if (attr.uType == NTFS_ATTR_FILE_NAME) {
            // A record may carry its name several times (a DOS 8.3 name beside the long one);
            // the long name is the one the user knows, whichever comes first.
            if (!ParseFileNameAttribute(attr, candidate)) {
                DebugLog("CFastNtfsRecovery record %llu: broken $FILE_NAME\n",
                         static_cast<unsigned long long>(uRecord));
                continue;
            }
            if (out.names.size() < kMaxNamesPerRecord) out.names.push_back(candidate);
            if (!out.bHasName ||
                FileNameRank(candidate.uNamespace) < FileNameRank(out.name.uNamespace)) {
                out.name = candidate;
                out.bHasName = true;
            }
        } else if (attr.uType == NTFS_ATTR_DATA && attr.uNameLength == 0 && !out.bHasDataSize) {
            NTFS_NONRESIDENT_INFO info{};
            const unsigned char* value = nullptr;
            uint32_t length = 0;
            if (GetNonResidentInfo(attr, info)) {
                out.u64DataSize = info.u64RealSize;
                out.bHasDataSize = info.u64StartVcn == 0;
            } else if (GetResidentValue(attr, value, length)) {
                out.u64DataSize = length;
                out.bHasDataSize = true;
            }
        } else if (attr.uType == NTFS_ATTR_ATTRIBUTE_LIST) {
            out.bHasAttributeList = true;
        }
    }
    if (g_listNamedStreams)
        out.streams = ListNamedStreams(pRecord, out.nBound, kMaxStreamsPerRecord);
    // A record filled by its runs or links keeps its names in extension records.
    if (out.bHasAttributeList) {
        const size_t before = out.names.size();
        CollectListedFileNames(m_ntfsParse, *this, pRecord, out.nBound, uRecord, kMaxNamesPerRecord,
                               out.names);
        for (size_t i = before; i < out.names.size(); ++i) {
            if (!out.bHasName ||
                FileNameRank(out.names[i].uNamespace) < FileNameRank(out.name.uNamespace)) {
                out.name = out.names[i];
                out.bHasName = true;
            }
        }
    }
    return out.bHasName;
}

_FILE_NODE_* CFastNtfsRecovery::FillFileNode(const NTFS_FILE_NAME& name, bool bFolder) {
    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (node == nullptr) return nullptr;
    std::memset(node, 0, sizeof *node);
    node->uFileIndex = m_pStore->GetFileIndex();
    node->bIsDir = bFolder ? 1 : 0;
    node->wcDriveLetter = m_wcDriveLetter;
    node->nFileSource = FILE_SOURCE_FAST_NTFS;
    node->uClusterBytes = 0xFFFFFFFF;
    auto setTime = [](_FILETIME& t, uint64_t v) {
        t.dwLowDateTime = static_cast<uint32_t>(v);
        t.dwHighDateTime = static_cast<uint32_t>(v >> 32);
    };
    setTime(node->ftCreateTime, name.u64CreateTime);
    setTime(node->ftLastChangeTime, name.u64ModifyTime);
    setTime(node->ftLastAccessTime, name.u64AccessTime);
    node->u64FileSize = name.u64RealSize;
    inner_uni2str(node->szFileName, name.szName, sizeof node->szFileName, name.uNameLength);
    return node;
}

void CFastNtfsRecovery::AddLostFolder(uint32_t uRecord, bool bUnreadable) {
    _FILE_NODE_* node = m_pStore->CreateFileNode(sizeof(_FILE_NODE_));
    if (node == nullptr) return;
    std::memset(node, 0, sizeof *node);
    node->wcDriveLetter = m_wcDriveLetter;
    node->nFileSource = FILE_SOURCE_FAST_NTFS;
    node->bIsDir = 1;
    node->bDataHealth = bUnreadable ? 1 : 0;
    node->uFileIndex = m_pStore->GetFileIndex();
    node->uClusterNO = uRecord;
    node->uClusterBytes = 0xFFFFFFFF;
    std::snprintf(node->szFileName, sizeof node->szFileName, "LostFolder%u", uRecord);
    m_pStore->AddChildren(kNtfsRootRecord, 0, node->uFileIndex, uRecord, node->szFileName);
}

// A file record of the first pass to list: a deleted file, or, when asked, a user file still
// in use. Extension records continue another record's attributes and describe no file.
bool CFastNtfsRecovery::IsFileToList(const NTFS_RECORD_HEADER& header, uint64_t uRecord) const {
    if (header.u64BaseRecord != 0) return false;
    if (header.uFlags == 0) return true;
    return m_bListPresent && header.uFlags == NTFS_RECORD_IN_USE &&
           uRecord >= kFirstPresentUserRecord;
}

// In the first pass only records IsFileToList accepts are files to list; in the folder pass
// the record was reached as a folder above such a file.
void CFastNtfsRecovery::ParseRecordInfo(unsigned char* pRecord, bool bFolderPass, uint64_t uRecord,
                                        uint64_t u64RecordSector) {
    RecordSummary summary;
    const bool isRecord = ReadRecordHeader(pRecord, m_uBytesPerRecord, summary.header);
    if (uRecord < kNtfsFirstUserRecord) return;  // the volume's own files are never listed
    const uint32_t number = static_cast<uint32_t>(uRecord);
    if (!bFolderPass) {
        if (!isRecord || !IsFileToList(summary.header, uRecord)) return;
    } else if (!isRecord) {
        AddLostFolder(number, true);
        return;
    }
    if (m_ntfsParse.FileRecordFixUp(pRecord, m_uBytesPerRecord) != 0) return;
    const bool folder = (summary.header.uFlags & NTFS_RECORD_IS_FOLDER) != 0;
    // A folder record that now holds something else, or no name, still gets a place in the
    // tree: the files found below it would otherwise be out of reach.
    if (!SummariseRecord(pRecord, uRecord, summary) || (bFolderPass && !folder)) {
        if (bFolderPass) AddLostFolder(number, false);
        return;
    }
    const bool present = PresentMark(summary.header) != 0;
    if (!bFolderPass && present && InMetadataTree(summary.name.uParentRecord)) return;
    PublishRecord(summary, summary.name, number, u64RecordSector, pRecord, uRecord, bFolderPass);
    if (bFolderPass) return;  // a folder has one name; only files are linked more than once
    PublishStreams(summary, summary.name, number, u64RecordSector);
    // Each further hard link of a deleted file is listed in its own folder under its own name.
    // A file still in use is listed once: its other names lead to the same data, which a copy
    // of the volume's files wants only once.
    if (present) return;
    for (const NTFS_FILE_NAME& link : summary.names)
        if (IsFurtherLink(link, summary.name))
            PublishRecord(summary, link, number, u64RecordSector, pRecord, uRecord, false);
}

void CFastNtfsRecovery::PublishRecord(const RecordSummary& summary, const NTFS_FILE_NAME& name,
                                      uint32_t number, uint64_t u64RecordSector,
                                      unsigned char* pRecord, uint64_t uRecord, bool bFolderPass) {
    const uint32_t parent = name.uParentRecord;
    _FILE_NODE_* node = FillFileNode(name, bFolderPass);
    if (node == nullptr) return;
    node->uReserved = PresentMark(summary.header);
    node->uClusterBytes = m_uBytesPerSector * m_uSectorsPerCluster;
    node->uClusterNO = number;
    node->u64RecordSector = u64RecordSector;
    node->u64VolumeStartSector = m_u64VolumeStartSector;
    if (!bFolderPass) {
        uint64_t size = summary.u64DataSize;
        if (summary.bHasDataSize ||
            (summary.bHasAttributeList &&
             GetDataRealSize(m_ntfsParse, *this, pRecord, summary.nBound, uRecord, size) == 0)) {
            node->u64FileSize = size;
        }
    }
    const uint32_t depth = FolderDepth(parent);
    if (bFolderPass) {
        m_pStore->AddChildren(parent, depth, node->uFileIndex, number, node->szFileName);
    } else {
        m_pStore->AddChildren(parent, depth, node->uFileIndex, number, nullptr);
        node->bDataHealth = static_cast<uint32_t>(IsFileDataHealth(node, m_uSectorsPerCluster));
    }
}

// Each named stream beside its file, as "name:stream", in the file's folder.
void CFastNtfsRecovery::PublishStreams(const RecordSummary& summary, const NTFS_FILE_NAME& name,
                                       uint32_t number, uint64_t u64RecordSector) {
    for (const NTFS_NAMED_STREAM& stream : summary.streams) {
        _FILE_NODE_* node = FillFileNode(name, false);
        if (node == nullptr) return;
        const size_t colon = std::strlen(node->szFileName);
        const std::string full = std::string(node->szFileName) + ":" + WideToUtf8(stream.name);
        if (full.size() >= sizeof node->szFileName) continue;  // the store would cut it
        std::memcpy(node->szFileName, full.c_str(), full.size() + 1);
        node->uReserved = kNtfsNamedStreamMark | PresentMark(summary.header);
        node->u64DataStartSector = colon;
        node->u64FileSize = stream.u64Size;
        node->uClusterBytes = m_uBytesPerSector * m_uSectorsPerCluster;
        node->uClusterNO = number;
        node->u64RecordSector = u64RecordSector;
        node->u64VolumeStartSector = m_u64VolumeStartSector;
        node->bDataHealth = 1;  // a stream has no extension its bytes could be checked against
        m_pStore->AddChildren(name.uParentRecord, FolderDepth(name.uParentRecord), node->uFileIndex,
                              number, nullptr);
    }
}

// The number of folders between a file in folder uParent and the root. Remembered per folder:
// the walk from a folder always gives the same answer, and files share folders.
uint32_t CFastNtfsRecovery::FolderDepth(uint32_t uParent) {
    if (uParent == kNtfsRootRecord) return 0;
    const auto known = m_folderDepth.find(uParent);
    if (known != m_folderDepth.end()) return known->second;
    uint32_t depth = 0;
    std::set<uint32_t> visited;
    GetRootParentDirIndex(uParent, depth, visited);
    m_folderDepth[uParent] = depth;
    return depth;
}

// Climbs from folder uRecord to the root, counting the folders and adding each to the folder
// list. Stops at the root, at a record that is not a folder (it becomes a lost folder), at a
// record that cannot be read, and at a folder already met on this climb (a loop on disk).
int CFastNtfsRecovery::GetRootParentDirIndex(uint32_t uRecord, uint32_t& uDepth,
                                             std::set<uint32_t>& visited) {
    std::vector<unsigned char> record(m_uBytesPerRecord);
    for (;;) {
        if (uRecord == kNtfsRootRecord) return 0;
        visited.insert(uRecord);
        if (m_folderSet.insert(uRecord).second) m_folderList.push_back(uRecord);
        ++uDepth;
        if (uDepth >= kMaxFolderDepth) return 0;
        std::optional<uint32_t> parent;
        const int result = ReadFolderParent(uRecord, record, parent);
        if (result != 0 || !parent) return result;
        if (visited.count(*parent) != 0) return 0;
        uRecord = *parent;
    }
}

// The folder that folder record uRecord is filed in, read into record (one record long).
// 0, with no parent when the record is no folder or carries no name; the read's error;
// NTFS_NOT_A_RECORD.
int CFastNtfsRecovery::ReadFolderParent(uint32_t uRecord, std::vector<unsigned char>& record,
                                        std::optional<uint32_t>& parent) {
    parent.reset();
    const int result = GetFileRecordBuf(uRecord, record.data());
    if (result != 0) return result;
    NTFS_RECORD_HEADER header{};
    if (!ReadRecordHeader(record.data(), record.size(), header) ||
        m_ntfsParse.FileRecordFixUp(record.data(), record.size()) != 0) {
        return NTFS_NOT_A_RECORD;
    }
    if ((header.uFlags & NTFS_RECORD_IS_FOLDER) == 0) return 0;
    NTFS_FILE_NAME name;
    const size_t bound = std::min<size_t>(header.uBytesInUse, record.size());
    if (FolderNameOf(record.data(), bound, uRecord, name)) parent = name.uParentRecord;
    return 0;
}

// Whether folder uFolder lies below one of the volume's own records ($Extend and the folders
// it keeps): files there are the volume's, never listed as present files. A climb that cannot
// go on (unreadable, no folder, a loop, too deep) ends outside: such files still reach the
// user, through a lost folder. Each folder's answer is remembered, so that every folder
// record is climbed through once.
bool CFastNtfsRecovery::InMetadataTree(uint32_t uFolder) {
    std::vector<unsigned char> record(m_uBytesPerRecord);
    std::set<uint32_t> climbed;
    bool metadata = false;
    for (std::optional<uint32_t> folder = uFolder; folder && *folder != kNtfsRootRecord;) {
        if (*folder < kFirstPresentUserRecord) {
            metadata = true;
            break;
        }
        const auto known = m_metadataFolder.find(*folder);
        if (known != m_metadataFolder.end()) {
            metadata = known->second;
            break;
        }
        if (climbed.size() >= kMaxFolderDepth || !climbed.insert(*folder).second) break;
        const uint32_t number = *folder;
        if (ReadFolderParent(number, record, folder) != 0) break;
    }
    for (const uint32_t folder : climbed) m_metadataFolder[folder] = metadata;
    return metadata;
}

// A folder's name, from the record itself or, when the record moved it out, from the
// extension records its attribute list names.
bool CFastNtfsRecovery::FolderNameOf(const unsigned char* pRecord, size_t nBound, uint64_t uRecord,
                                     NTFS_FILE_NAME& name) {
    NTFS_ATTRIBUTE attr{};
    if (FindAttribute(pRecord, nBound, NTFS_ATTR_FILE_NAME, attr)) {
        return ParseFileNameAttribute(attr, name);
    }
    std::vector<NTFS_FILE_NAME> listed;
    CollectListedFileNames(m_ntfsParse, *this, pRecord, nBound, uRecord, 1, listed);
    if (listed.empty()) return false;
    name = listed.front();
    return true;
}

int CFastNtfsRecovery::IsFileDataHealth(const _FILE_NODE_* pNode, uint32_t uSectorsPerCluster) {
    (void)uSectorsPerCluster;  // the node's own cluster size places its data
    if (pNode == nullptr) return 1;
    char ext[256];
    const bool hasExtension = GetExtendName(pNode->szFileName, ext, sizeof ext) == 0;
    std::vector<unsigned char> data(m_uBytesPerRecord);
    uint32_t length = 0;
    const int resident = GetAttr0x80Data(pNode->u64RecordSector, data.data(), length);
    if (resident == 0) {
        if (length == 0) return 0;
        if (!hasExtension) return 1;
        return CFileTypeJudge::IsFileTypeMatching(data.data(), length, ext, &m_diskReader,
                                                  static_cast<int>(m_uBytesPerSector), 0)
                   ? 1
                   : 0;
    }
    if (resident != NTFS_NOT_FOUND || !hasExtension) return 1;
    RUN_LIST runs;
    if (GetRunListInfo(pNode->u64RecordSector, NTFS_ATTR_DATA, runs) != 0 || runs.empty()) return 1;
    const __RUNLIST__& first = runs.front();
    uint64_t byteOffset = 0;
    if (first.bSparse || first.offset <= 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(first.offset), uint64_t{pNode->uClusterBytes},
                               &byteOffset)) {
        return 1;
    }
    const uint64_t sector = byteOffset / m_uBytesPerSector + pNode->u64VolumeStartSector;
    std::vector<unsigned char> buf(m_uBytesPerSector);
    unsigned int read = 0;
    if (m_diskReader.ReadData(buf.data(), 1, sector, static_cast<int>(m_uBytesPerSector), &read) !=
            0 ||
        read == 0) {
        return 1;
    }
    return CFileTypeJudge::IsFileTypeMatching(buf.data(), buf.size(), ext, &m_diskReader,
                                              static_cast<int>(m_uBytesPerSector), sector)
               ? 1
               : 0;
}

uint64_t CFastNtfsRecovery::ClusterCountOfVolume() const {
    return m_uSectorsPerCluster == 0 ? 0 : m_u64VolumeSectorCount / m_uSectorsPerCluster;
}

// The bitmap is never longer than the volume has clusters to describe, whatever $Bitmap's
// size fields claim, so a corrupt size cannot decide how much memory is taken.
int CFastNtfsRecovery::BuildBitMapInfo() {
    uint64_t sector = 0;
    if (!RecordSectorOf(kNtfsBitmapRecord, sector)) sector = m_u64VolumeStartSector;
    RUN_LIST runs;
    int result = GetRunListInfo(sector, NTFS_ATTR_DATA, runs);
    if (result != 0) return result;
    uint64_t realSize = 0;
    result = GetBitMapRealBytesSize(sector, realSize);
    if (result != 0) return result;
    const uint64_t runBytes = RunListClusters(runs) * m_uSectorsPerCluster * m_uBytesPerSector;
    const uint64_t needed = (ClusterCountOfVolume() + 7) / 8;
    const uint64_t length = std::min({realSize, runBytes, needed});
    std::vector<uint8_t> bitmap;
    std::vector<unsigned char> chunk;
    try {
        bitmap.assign(length, 0);
        chunk.assign(size_t{kBitmapReadSectors} * m_uBytesPerSector, 0);
    } catch (const std::bad_alloc&) {
        return RESULT_OUT_OF_MEMORY;
    }
    uint64_t filled = 0;
    int64_t lcn = 0;
    for (const __RUNLIST__& run : runs) {
        lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + static_cast<uint64_t>(run.offset));
        const uint64_t runBytesHere = run.length * m_uSectorsPerCluster * m_uBytesPerSector;
        if (run.bSparse || lcn < 0) {
            filled += runBytesHere;  // a hole reads as zeros: free
            continue;
        }
        uint64_t at = m_u64VolumeStartSector + static_cast<uint64_t>(lcn) * m_uSectorsPerCluster;
        for (uint64_t left = runBytesHere; left > 0 && filled < length;) {
            const uint32_t sectors = static_cast<uint32_t>(
                std::min<uint64_t>(left / m_uBytesPerSector, kBitmapReadSectors));
            unsigned int read = 0;
            m_diskReader.ReadData(chunk.data(), static_cast<int>(sectors), at,
                                  static_cast<int>(m_uBytesPerSector), &read);
            const uint64_t got = uint64_t{read} * m_uBytesPerSector;
            const uint64_t take = std::min(got, length - filled);
            std::memcpy(bitmap.data() + filled, chunk.data(), take);
            // What could not be read stays zero (free): the deep scan then reads more than it
            // must rather than skipping clusters that may hold files.
            filled += uint64_t{sectors} * m_uBytesPerSector;
            at += sectors;
            left -= uint64_t{sectors} * m_uBytesPerSector;
        }
        if (filled >= length) break;
    }
    m_bitMap.swap(bitmap);
    return 0;
}

// Starts of free extents are always cluster boundaries: a start inside a used cluster moves to
// the first free cluster, and a start inside a free cluster counts only the sectors after it.
int CFastNtfsRecovery::GetUnUsedSectorCount(unsigned long long& llStart,
                                            unsigned long long& llCount) {
    llCount = 0;
    const uint64_t total = m_u64VolumeSectorCount;
    if (llStart > total) {
        llStart = total;
        return 1;
    }
    const uint64_t spc = m_uSectorsPerCluster;
    const uint64_t bits = uint64_t{m_bitMap.size()} * 8;
    if (spc == 0 || llStart / spc >= bits) return 1;
    uint64_t start = llStart;
    const uint64_t firstFree = SkipBits(m_bitMap, start / spc, bits, true);
    if (firstFree >= bits) return 1;
    if (firstFree != start / spc) start = firstFree * spc;
    const uint64_t end = SkipBits(m_bitMap, firstFree, bits, false);
    uint64_t count = end * spc - start;
    if (start + count > total) count = total > start ? total - start : 0;
    llStart = start;
    llCount = count;
    return 1;
}
