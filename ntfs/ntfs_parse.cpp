// FILE records, attributes, data runs and attribute lists, parsed inside the bounds given.
#include "ntfs/ntfs_parse.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/bytes.h"
#include "foundation/debug_log.h"

namespace {

constexpr size_t kRecordHeaderBytes = 0x30;
constexpr uint32_t kResidentHeaderBytes = 24;
constexpr uint32_t kNonResidentHeaderBytes = 0x40;
constexpr size_t kFileNameValueOffset = 24;
constexpr size_t kFileNameFixedBytes = 66;  // the value up to the first name unit
constexpr size_t kListEntryFixedBytes = 26;
// NTFS never lets an attribute list grow past 256 KiB; a longer one is corrupt, and reading it
// would let a hostile size decide how much memory a lookup takes.
constexpr uint64_t kMaxAttributeListBytes = 256 * 1024;
constexpr size_t kDefaultSequenceArrayOffset = 48;

// Running sums of run offsets come from the disk and may be anything: they wrap instead of
// overflowing, and whatever they give is range-checked before it addresses a sector.
int64_t AddWrapping(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// The start sector of a run's first cluster, when that is a real place on the volume.
bool ClusterToSector(int64_t lcn, uint32_t uSectorsPerCluster, uint64_t& u64Sector) {
    if (lcn < 0) return false;
    return !__builtin_mul_overflow(static_cast<uint64_t>(lcn), uint64_t{uSectorsPerCluster},
                                   &u64Sector);
}

bool NamesEqual(const unsigned char* a, const unsigned char* b, size_t nUnits) {
    return nUnits == 0 || std::memcmp(a, b, nUnits * 2) == 0;
}

// The name of an attribute, when it lies inside the attribute.
bool AttributeName(const NTFS_ATTRIBUTE& attr, const unsigned char*& pName) {
    const uint16_t offset = LoadU16(attr.p + 10);
    pName = attr.p + offset;
    return size_t{offset} + size_t{attr.uNameLength} * 2 <= attr.uLength;
}

// Rebases the first located run of `more` onto the running start cluster of `out` and appends.
void AppendRebased(const RUN_LIST& more, RUN_LIST& out) {
    const int64_t base = RunListEndCluster(out);
    bool rebased = out.empty();
    for (__RUNLIST__ run : more) {
        if (!rebased && !run.bSparse) {
            run.offset = AddWrapping(run.offset, -base);
            rebased = true;
        }
        out.push_back(run);
    }
}

// The bytes of an $ATTRIBUTE_LIST: the value of a resident one, or the clusters of a
// non-resident one up to its real size.
bool LoadAttributeList(const CNtfsParse& parse, INtfsRecordSource& source,
                       const NTFS_ATTRIBUTE& list, std::vector<unsigned char>& out) {
    if (!list.bNonResident) {
        const unsigned char* value = nullptr;
        uint32_t length = 0;
        if (!GetResidentValue(list, value, length)) return false;
        out.assign(value, value + length);
        return true;
    }
    NTFS_NONRESIDENT_INFO info{};
    if (!GetNonResidentInfo(list, info) || info.u64RealSize > kMaxAttributeListBytes) return false;
    const uint32_t clusterBytes = source.GetClusterBytes();
    if (clusterBytes == 0) return false;
    RUN_LIST runs;
    parse.GetRunList(list.p, list.uLength, runs);
    const uint64_t want = info.u64RealSize;
    std::vector<unsigned char> bytes;
    int64_t lcn = 0;
    for (const __RUNLIST__& run : runs) {
        if (bytes.size() >= want) break;
        lcn = AddWrapping(lcn, run.offset);
        if (run.bSparse || lcn < 0) return false;
        const uint64_t needClusters = (want - bytes.size() + clusterBytes - 1) / clusterBytes;
        const uint64_t count = std::min<uint64_t>(run.length, needClusters);
        const size_t at = bytes.size();
        bytes.resize(at + count * clusterBytes);
        if (source.ReadClusters(static_cast<uint64_t>(lcn), count, bytes.data() + at) != 0) {
            return false;
        }
    }
    if (bytes.size() < want) return false;
    bytes.resize(want);
    out.swap(bytes);
    return true;
}

// One piece of an attribute as the attribute list places it.
struct AttributePiece {
    uint64_t u64StartVcn;
    uint64_t u64Record;
};

// The list's entries for the wanted attribute: for $DATA the unnamed stream, for any other
// type the stream named like the first entry of that type. Ordered by the clusters they map.
std::vector<AttributePiece> PiecesOf(const std::vector<unsigned char>& list, uint32_t uType,
                                     std::vector<unsigned char>& wantedName) {
    std::vector<AttributePiece> pieces;
    bool nameChosen = uType == NTFS_ATTR_DATA;
    wantedName.clear();
    size_t offset = 0;
    NTFS_ATTRIBUTE_LIST_ENTRY entry{};
    while (NextAttributeListEntry(list.data(), list.size(), offset, entry)) {
        const unsigned char* e = list.data() + offset - entry.uLength;
        if (entry.uType != uType) continue;
        const size_t nameOffset = e[7];
        if (nameOffset + size_t{entry.uNameLength} * 2 > entry.uLength) continue;
        const unsigned char* name = e + nameOffset;
        if (!nameChosen) {
            wantedName.assign(name, name + size_t{entry.uNameLength} * 2);
            nameChosen = true;
        }
        if (size_t{entry.uNameLength} * 2 != wantedName.size() ||
            !NamesEqual(name, wantedName.data(), entry.uNameLength)) {
            continue;
        }
        pieces.push_back({entry.u64StartVcn, entry.u64Record});
    }
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const AttributePiece& a, const AttributePiece& b) {
                         return a.u64StartVcn < b.u64StartVcn;
                     });
    return pieces;
}

// The piece of the attribute that starts at u64StartVcn in one record.
bool FindPiece(const unsigned char* pRecord, size_t nBound, uint32_t uType,
               const std::vector<unsigned char>& name, uint64_t u64StartVcn, NTFS_ATTRIBUTE& out) {
    CNtfsAttributeWalk walk(pRecord, nBound);
    NTFS_ATTRIBUTE attr{};
    while (walk.Next(attr)) {
        if (attr.uType != uType || !attr.bNonResident) continue;
        const unsigned char* attrName = nullptr;
        if (size_t{attr.uNameLength} * 2 != name.size() || !AttributeName(attr, attrName) ||
            !NamesEqual(attrName, name.data(), attr.uNameLength)) {
            continue;
        }
        NTFS_NONRESIDENT_INFO info{};
        if (GetNonResidentInfo(attr, info) && info.u64StartVcn == u64StartVcn) {
            out = attr;
            return true;
        }
    }
    return false;
}

// An extension record belongs to the base record that names it; one that was handed to
// another file since no longer does.
bool ExtendsRecord(const unsigned char* pRecord, size_t nLen, uint64_t uBaseRecord) {
    NTFS_RECORD_HEADER header{};
    return ReadRecordHeader(pRecord, nLen, header) &&
           (header.u64BaseRecord & 0xFFFFFFFFFFFFull) == uBaseRecord;
}

// Gathers the pieces the list names, in VCN order, while they join up. 0 with at least one
// piece; NTFS_NOT_FOUND; or the error of the first record that could not be read.
int GatherPieces(const CNtfsParse& parse, INtfsRecordSource& source, const unsigned char* pRecord,
                 size_t nBound, uint64_t uBaseRecord, uint32_t uType,
                 const std::vector<unsigned char>& list, RUN_LIST& out) {
    std::vector<unsigned char> name;
    const std::vector<AttributePiece> pieces = PiecesOf(list, uType, name);
    std::vector<unsigned char> extension(static_cast<size_t>(parse.GetBytesPerRecord()));
    RUN_LIST gathered;
    int result = NTFS_NOT_FOUND;
    for (const AttributePiece& piece : pieces) {
        // A piece that does not continue where the last one ended would leave a gap of
        // unknown data: the file is taken to end there.
        if (piece.u64StartVcn != RunListClusters(gathered)) break;
        const unsigned char* holder = pRecord;
        size_t holderBound = nBound;
        if (piece.u64Record != uBaseRecord) {
            const int rc = source.ReadRecordByNumber(piece.u64Record, extension.data());
            if (rc != 0 || !ExtendsRecord(extension.data(), extension.size(), uBaseRecord)) {
                if (gathered.empty()) result = rc != 0 ? rc : NTFS_NOT_FOUND;
                DebugLog("NTFS attribute list: record %llu unusable for record %llu\n",
                         static_cast<unsigned long long>(piece.u64Record),
                         static_cast<unsigned long long>(uBaseRecord));
                break;
            }
            holder = extension.data();
            holderBound = extension.size();
        }
        NTFS_ATTRIBUTE attr{};
        if (!FindPiece(holder, holderBound, uType, name, piece.u64StartVcn, attr)) break;
        const size_t before = gathered.size();
        parse.GetRunList(attr.p, attr.uLength, gathered);
        if (gathered.size() == before) break;
        result = 0;
    }
    if (result == 0) AppendRebased(gathered, out);
    return result;
}

}  // namespace

bool IsFileRecordSignature(const unsigned char* pRecord, size_t nLen) {
    return pRecord != nullptr && nLen >= 4 && LoadU32(pRecord) == NTFS_FILE_SIGNATURE;
}

bool ReadRecordHeader(const unsigned char* pRecord, size_t nLen, NTFS_RECORD_HEADER& out) {
    if (!IsFileRecordSignature(pRecord, nLen) || nLen < kRecordHeaderBytes) return false;
    out.uUpdateSequenceOffset = LoadU16(pRecord + 0x04);
    out.uSequence = LoadU16(pRecord + 0x10);
    out.uFirstAttribute = LoadU16(pRecord + 0x14);
    out.uFlags = LoadU16(pRecord + 0x16);
    out.uBytesInUse = LoadU32(pRecord + 0x18);
    out.u64BaseRecord = LoadU64(pRecord + 0x20);
    out.uOwnNumber = LoadU32(pRecord + 0x2C);
    return true;
}

CNtfsAttributeWalk::CNtfsAttributeWalk(const unsigned char* pRecord, size_t nBound)
    : m_pRecord(pRecord), m_nBound(pRecord != nullptr ? nBound : 0), m_nOffset(0) {
    if (m_nBound >= kRecordHeaderBytes) {
        m_nOffset = LoadU16(pRecord + 0x14);
    } else {
        m_nBound = 0;
    }
}

bool CNtfsAttributeWalk::Next(NTFS_ATTRIBUTE& out) {
    if (m_nOffset + 8 > m_nBound) return false;
    const unsigned char* p = m_pRecord + m_nOffset;
    const uint32_t type = LoadU32(p);
    const uint32_t length = LoadU32(p + 4);
    if (type == 0 || type >= NTFS_ATTR_GARBAGE || length < kResidentHeaderBytes ||
        length > m_nBound - m_nOffset) {
        m_nBound = 0;  // nothing after a broken attribute can be trusted
        return false;
    }
    out.p = p;
    out.uOffset = static_cast<uint32_t>(m_nOffset);
    out.uType = type;
    out.uLength = length;
    out.bNonResident = p[8] != 0;
    out.uNameLength = p[9];
    m_nOffset += length;
    return true;
}

bool FindAttribute(const unsigned char* pRecord, size_t nBound, uint32_t uType,
                   NTFS_ATTRIBUTE& out) {
    CNtfsAttributeWalk walk(pRecord, nBound);
    NTFS_ATTRIBUTE attr{};
    bool found = false;
    while (walk.Next(attr)) {
        if (attr.uType != uType) continue;
        if (uType != NTFS_ATTR_DATA || attr.uNameLength == 0) {
            out = attr;
            return true;
        }
        if (!found) {
            out = attr;  // a named stream, kept in case there is no unnamed one
            found = true;
        }
    }
    return found;
}

bool GetResidentValue(const NTFS_ATTRIBUTE& attr, const unsigned char*& pValue,
                      uint32_t& uValueLength) {
    if (attr.bNonResident || attr.uLength < kResidentHeaderBytes) return false;
    const uint32_t length = LoadU32(attr.p + 0x10);
    const uint16_t offset = LoadU16(attr.p + 0x14);
    if (offset > attr.uLength || length > attr.uLength - offset) return false;
    pValue = attr.p + offset;
    uValueLength = length;
    return true;
}

bool GetNonResidentInfo(const NTFS_ATTRIBUTE& attr, NTFS_NONRESIDENT_INFO& out) {
    if (!attr.bNonResident || attr.uLength < kNonResidentHeaderBytes) return false;
    out.u64StartVcn = LoadU64(attr.p + 0x10);
    out.u64AllocatedSize = LoadU64(attr.p + 0x28);
    out.u64RealSize = LoadU64(attr.p + 0x30);
    out.u64InitializedSize = LoadU64(attr.p + 0x38);
    return true;
}

bool ParseFileNameAttribute(const NTFS_ATTRIBUTE& attr, NTFS_FILE_NAME& out) {
    if (attr.bNonResident || attr.uLength < kFileNameValueOffset + kFileNameFixedBytes) {
        return false;
    }
    const unsigned char* v = attr.p + kFileNameValueOffset;
    const uint8_t units = v[64];
    if (kFileNameValueOffset + kFileNameFixedBytes + size_t{units} * 2 > attr.uLength) {
        return false;
    }
    out.uParentRecord = LoadU32(v);
    out.u64CreateTime = LoadU64(v + 8);
    out.u64ModifyTime = LoadU64(v + 16);
    out.u64AccessTime = LoadU64(v + 32);
    out.u64RealSize = LoadU64(v + 48);
    out.uNameLength = units;
    out.uNamespace = v[65];
    for (size_t i = 0; i < units; ++i) out.szName[i] = LoadU16(v + 66 + 2 * i);
    out.szName[units] = u'\0';
    return true;
}

bool IsFurtherLink(const NTFS_FILE_NAME& name, const NTFS_FILE_NAME& shown) {
    constexpr uint8_t kDosOnly = 2;
    if (name.uNamespace == kDosOnly) return false;
    return name.uParentRecord != shown.uParentRecord || name.uNameLength != shown.uNameLength ||
           std::char_traits<char16_t>::compare(name.szName, shown.szName, name.uNameLength) != 0;
}

int FileNameRank(uint8_t uNamespace) {
    switch (uNamespace) {
        case NTFS_NAMESPACE_WIN32:
        case NTFS_NAMESPACE_WIN32_AND_DOS:
            return 0;
        case NTFS_NAMESPACE_POSIX:
            return 1;
        default:
            return 2;
    }
}

bool NextAttributeListEntry(const unsigned char* p, size_t nLen, size_t& nOffset,
                            NTFS_ATTRIBUTE_LIST_ENTRY& out) {
    if (p == nullptr || nOffset >= nLen || nLen - nOffset < kListEntryFixedBytes) return false;
    const unsigned char* e = p + nOffset;
    const uint32_t type = LoadU32(e);
    const uint16_t length = LoadU16(e + 4);
    if (type == 0 || type == NTFS_ATTR_END || length < kListEntryFixedBytes ||
        length > nLen - nOffset) {
        return false;
    }
    out.uType = type;
    out.uLength = length;
    out.uNameLength = e[6];
    out.u64StartVcn = LoadU64(e + 8);
    out.u64Record = LoadU64(e + 16) & 0xFFFFFFFFFFFFull;
    nOffset += length;
    return true;
}

int CNtfsParse::Init(int nBytesPerSector) {
    m_nBytesPerSector = nBytesPerSector;
    m_nSectorsPerRecord = nBytesPerSector == 512 ? 2 : 1;
    return 0;
}

int CNtfsParse::FileRecordFixUp(unsigned char* pRecord, size_t nLen) const {
    const size_t sectors = static_cast<size_t>(m_nSectorsPerRecord);
    const size_t sectorBytes = static_cast<size_t>(m_nBytesPerSector);
    if (pRecord == nullptr || pRecord[0] == 0 || sectorBytes < 8 || nLen < sectors * sectorBytes) {
        return -1;
    }
    // The array holds the sequence number and one saved value per sector. NTFS 3.0 records
    // keep it at 0x2A, 3.1 records at 0x30; an offset that cannot be right is ignored.
    size_t array = LoadU16(pRecord + 0x04);
    if (array < 0x28 || array % 2 != 0 || array + 2 + 2 * sectors > sectorBytes - 2) {
        array = kDefaultSequenceArrayOffset;
    }
    for (size_t k = 1; k <= sectors; ++k) {
        std::memcpy(pRecord + k * sectorBytes - 2, pRecord + array + 2 * k, 2);
    }
    return 0;
}

void DecodeMappingPairs(const unsigned char* p, size_t nLen, RUN_LIST& out) {
    size_t pos = 0;
    while (pos < nLen) {
        const uint8_t header = p[pos];
        if (header == 0) break;
        const size_t lengthBytes = header & 0x0F;
        const size_t offsetBytes = header >> 4;
        if (lengthBytes > 7 || offsetBytes > 7) break;
        if (1 + lengthBytes + offsetBytes > nLen - pos) break;
        uint64_t length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) {
            length |= uint64_t{p[pos + 1 + i]} << (8 * i);
        }
        uint64_t offset = 0;
        for (size_t i = 0; i < offsetBytes; ++i) {
            offset |= uint64_t{p[pos + 1 + lengthBytes + i]} << (8 * i);
        }
        if (offsetBytes > 0 && (p[pos + lengthBytes + offsetBytes] & 0x80) != 0) {
            offset |= ~uint64_t{0} << (8 * offsetBytes);  // sign extension
        }
        __RUNLIST__ run{length & 0xFFFFFFFFull, static_cast<int64_t>(offset), offsetBytes == 0};
        out.push_back(run);
        pos += 1 + lengthBytes + offsetBytes;
    }
}

void CNtfsParse::GetRunList(const unsigned char* pAttr, size_t nAvailable, RUN_LIST& out) const {
    if (pAttr == nullptr || nAvailable < kNonResidentHeaderBytes) return;
    const uint32_t length = LoadU32(pAttr + 4);
    const uint16_t pairs = LoadU16(pAttr + 0x20);
    const size_t end = std::min<size_t>(length, nAvailable);
    if (pairs >= end) return;
    RUN_LIST runs;
    DecodeMappingPairs(pAttr + pairs, end - pairs, runs);
    AppendRebased(runs, out);
}

int64_t RunListEndCluster(const RUN_LIST& runs) {
    int64_t lcn = 0;
    for (const __RUNLIST__& run : runs) lcn = AddWrapping(lcn, run.offset);
    return lcn;
}

uint64_t RunListClusters(const RUN_LIST& runs) {
    uint64_t clusters = 0;
    for (const __RUNLIST__& run : runs) clusters += run.length;
    return clusters;
}

bool MapTableSector(const RUN_LIST& runs, uint64_t u64TableSector, uint32_t uSectorsPerCluster,
                    uint64_t& u64VolumeSector) {
    uint64_t tableStart = 0;
    int64_t lcn = 0;
    for (const __RUNLIST__& run : runs) {
        lcn = AddWrapping(lcn, run.offset);
        const uint64_t sectors = run.length * uSectorsPerCluster;
        if (u64TableSector - tableStart < sectors && u64TableSector >= tableStart) {
            uint64_t first = 0;
            if (run.bSparse || !ClusterToSector(lcn, uSectorsPerCluster, first)) return false;
            return !__builtin_add_overflow(first, u64TableSector - tableStart, &u64VolumeSector);
        }
        tableStart += sectors;
    }
    return false;
}

bool FindTableSector(const RUN_LIST& runs, uint64_t u64VolumeSector, uint32_t uSectorsPerCluster,
                     uint64_t& u64TableSector) {
    uint64_t tableStart = 0;
    int64_t lcn = 0;
    for (const __RUNLIST__& run : runs) {
        lcn = AddWrapping(lcn, run.offset);
        const uint64_t sectors = run.length * uSectorsPerCluster;
        uint64_t first = 0;
        if (!run.bSparse && ClusterToSector(lcn, uSectorsPerCluster, first) &&
            u64VolumeSector >= first && u64VolumeSector - first < sectors) {
            u64TableSector = tableStart + (u64VolumeSector - first);
            return true;
        }
        tableStart += sectors;
    }
    return false;
}

int CollectAttributeRuns(const CNtfsParse& parse, INtfsRecordSource& source,
                         const unsigned char* pRecord, size_t nBound, uint64_t uBaseRecord,
                         uint32_t uType, RUN_LIST& out) {
    NTFS_ATTRIBUTE attr{};
    const bool inRecord = FindAttribute(pRecord, nBound, uType, attr) && attr.bNonResident;
    NTFS_ATTRIBUTE listAttr{};
    if (FindAttribute(pRecord, nBound, NTFS_ATTR_ATTRIBUTE_LIST, listAttr)) {
        std::vector<unsigned char> list;
        if (LoadAttributeList(parse, source, listAttr, list)) {
            const int result =
                GatherPieces(parse, source, pRecord, nBound, uBaseRecord, uType, list, out);
            if (result == 0 || !inRecord) return result;
        } else {
            DebugLog("NTFS attribute list of record %llu unreadable\n",
                     static_cast<unsigned long long>(uBaseRecord));
        }
    }
    if (!inRecord) return NTFS_NOT_FOUND;
    parse.GetRunList(attr.p, attr.uLength, out);
    return 0;
}

namespace {
// The name of a named attribute, when it lies inside the attribute.
bool AttributeName(const NTFS_ATTRIBUTE& attr, std::u16string& name) {
    if (attr.uNameLength == 0 || attr.uLength < 0x10) return false;
    const size_t offset = LoadU16(attr.p + 0x0A);
    const size_t bytes = size_t{attr.uNameLength} * 2;
    if (offset > attr.uLength || bytes > attr.uLength - offset) return false;
    name.resize(attr.uNameLength);
    std::memcpy(name.data(), attr.p + offset, bytes);
    return true;
}
}  // namespace

std::vector<NTFS_NAMED_STREAM> ListNamedStreams(const unsigned char* pRecord, size_t nBound,
                                                size_t nMax) {
    std::vector<NTFS_NAMED_STREAM> streams;
    CNtfsAttributeWalk walk(pRecord, nBound);
    NTFS_ATTRIBUTE attr{};
    while (streams.size() < nMax && walk.Next(attr)) {
        NTFS_NAMED_STREAM stream;
        if (attr.uType != NTFS_ATTR_DATA || !AttributeName(attr, stream.name)) continue;
        NTFS_NONRESIDENT_INFO info{};
        const unsigned char* value = nullptr;
        uint32_t length = 0;
        if (GetNonResidentInfo(attr, info)) {
            if (info.u64StartVcn != 0) continue;
            stream.u64Size = info.u64RealSize;
        } else if (GetResidentValue(attr, value, length)) {
            stream.u64Size = length;
        } else {
            continue;
        }
        streams.push_back(std::move(stream));
    }
    return streams;
}

bool FindNamedStream(const unsigned char* pRecord, size_t nBound, const std::u16string& name,
                     NTFS_ATTRIBUTE& out) {
    CNtfsAttributeWalk walk(pRecord, nBound);
    NTFS_ATTRIBUTE attr{};
    std::u16string candidate;
    while (walk.Next(attr)) {
        if (attr.uType == NTFS_ATTR_DATA && AttributeName(attr, candidate) && candidate == name) {
            out = attr;
            return true;
        }
    }
    return false;
}

int CollectListedFileNames(const CNtfsParse& parse, INtfsRecordSource& source,
                           const unsigned char* pRecord, size_t nBound, uint64_t uBaseRecord,
                           size_t nMax, std::vector<NTFS_FILE_NAME>& out) {
    NTFS_ATTRIBUTE listAttr{};
    std::vector<unsigned char> list;
    if (!FindAttribute(pRecord, nBound, NTFS_ATTR_ATTRIBUTE_LIST, listAttr) ||
        !LoadAttributeList(parse, source, listAttr, list)) {
        return NTFS_NOT_FOUND;
    }
    std::vector<uint64_t> holders;  // each extension record is read once
    size_t offset = 0;
    NTFS_ATTRIBUTE_LIST_ENTRY entry{};
    while (NextAttributeListEntry(list.data(), list.size(), offset, entry)) {
        if (entry.uType != NTFS_ATTR_FILE_NAME || entry.u64Record == uBaseRecord) continue;
        if (std::find(holders.begin(), holders.end(), entry.u64Record) != holders.end()) continue;
        holders.push_back(entry.u64Record);
    }
    std::vector<unsigned char> extension(static_cast<size_t>(parse.GetBytesPerRecord()));
    for (const uint64_t record : holders) {
        if (source.ReadRecordByNumber(record, extension.data()) != 0 ||
            !ExtendsRecord(extension.data(), extension.size(), uBaseRecord)) {
            DebugLog("NTFS attribute list: names of record %llu not in record %llu\n",
                     static_cast<unsigned long long>(uBaseRecord),
                     static_cast<unsigned long long>(record));
            continue;
        }
        CNtfsAttributeWalk walk(extension.data(), extension.size());
        NTFS_ATTRIBUTE attr{};
        NTFS_FILE_NAME name;
        while (out.size() < nMax && walk.Next(attr)) {
            if (attr.uType == NTFS_ATTR_FILE_NAME && ParseFileNameAttribute(attr, name)) {
                out.push_back(name);
            }
        }
    }
    return 0;
}

int GetDataRealSize(const CNtfsParse& parse, INtfsRecordSource& source,
                    const unsigned char* pRecord, size_t nBound, uint64_t uBaseRecord,
                    uint64_t& u64Size) {
    NTFS_ATTRIBUTE attr{};
    if (FindAttribute(pRecord, nBound, NTFS_ATTR_DATA, attr) && attr.uNameLength == 0) {
        const unsigned char* value = nullptr;
        uint32_t length = 0;
        if (GetResidentValue(attr, value, length)) {
            u64Size = length;
            return 0;
        }
        NTFS_NONRESIDENT_INFO info{};
        if (GetNonResidentInfo(attr, info) && info.u64StartVcn == 0) {
            u64Size = info.u64RealSize;
            return 0;
        }
    }
    NTFS_ATTRIBUTE listAttr{};
    std::vector<unsigned char> list;
    if (!FindAttribute(pRecord, nBound, NTFS_ATTR_ATTRIBUTE_LIST, listAttr) ||
        !LoadAttributeList(parse, source, listAttr, list)) {
        return NTFS_NOT_FOUND;
    }
    std::vector<unsigned char> name;
    const std::vector<AttributePiece> pieces = PiecesOf(list, NTFS_ATTR_DATA, name);
    if (pieces.empty() || pieces.front().u64StartVcn != 0) return NTFS_NOT_FOUND;
    std::vector<unsigned char> holder(static_cast<size_t>(parse.GetBytesPerRecord()));
    const unsigned char* record = pRecord;
    size_t bound = nBound;
    if (pieces.front().u64Record != uBaseRecord) {
        const int rc = source.ReadRecordByNumber(pieces.front().u64Record, holder.data());
        if (rc != 0) return rc;
        if (!ExtendsRecord(holder.data(), holder.size(), uBaseRecord)) return NTFS_NOT_FOUND;
        record = holder.data();
        bound = holder.size();
    }
    if (!FindPiece(record, bound, NTFS_ATTR_DATA, name, 0, attr)) return NTFS_NOT_FOUND;
    NTFS_NONRESIDENT_INFO info{};
    GetNonResidentInfo(attr, info);
    u64Size = info.u64RealSize;
    return 0;
}
