// The NTFS structures both NTFS engines read: FILE records of the master file table, the
// attributes inside them, the data runs that place non-resident attributes on the volume, and
// the attribute lists that spread one attribute over several records.
//
// Everything here parses bytes that came from a disk and may be corrupt or hostile. Every
// function is given the number of bytes it may look at and never reads outside them; a
// malformed structure ends a walk or a decoding early and reads as "not found", never as a
// fault. Nothing here reads or writes a device except through the INtfsRecordSource the
// caller hands in.
//
// Units: a "sector" is one sector of the volume (its boot sector's bytes per sector), a
// cluster is sectors-per-cluster sectors, and a "table sector" is a sector offset within the
// master file table as if it were contiguous (record number x sectors per record).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/result.h"

// One data run. The absolute start cluster of run i is the sum of the offsets of runs 0 .. i,
// so a user of a run list keeps that running sum while walking it.
struct __RUNLIST__ {
    uint64_t length;  // clusters; only the low 32 bits of the encoded value are kept
    int64_t offset;   // from the previous run's start; for the first run, from cluster 0
    // A run with no offset field holds no clusters on disk (a hole of a sparse file): it reads
    // as zeros and does not move the running start cluster (its offset is 0).
    bool bSparse = false;
};
using RUN_LIST = std::vector<__RUNLIST__>;

enum : uint32_t {
    NTFS_FILE_SIGNATURE = 0x454C4946,  // "FILE"
    NTFS_ATTR_STANDARD_INFORMATION = 0x10,
    NTFS_ATTR_ATTRIBUTE_LIST = 0x20,
    NTFS_ATTR_FILE_NAME = 0x30,
    NTFS_ATTR_VOLUME_NAME = 0x60,
    NTFS_ATTR_DATA = 0x80,
    NTFS_ATTR_INDEX_ALLOCATION = 0xA0,
    NTFS_ATTR_END = 0xFFFFFFFF,
    NTFS_ATTR_GARBAGE = 0xFDFDFDFD,  // this value and above never start an attribute
};

enum : uint16_t {
    NTFS_RECORD_IN_USE = 0x01,
    NTFS_RECORD_IS_FOLDER = 0x02,
};

enum : uint8_t {
    NTFS_NAMESPACE_POSIX = 0,
    NTFS_NAMESPACE_WIN32 = 1,
    NTFS_NAMESPACE_DOS = 2,
    NTFS_NAMESPACE_WIN32_AND_DOS = 3,
};

constexpr uint32_t kNtfsMftRecord = 0;
constexpr uint32_t kNtfsVolumeRecord = 3;  // $Volume
constexpr uint32_t kNtfsRootRecord = 5;
constexpr uint32_t kNtfsBitmapRecord = 6;
constexpr uint32_t kNtfsFirstUserRecord = 12;  // records below are the volume's own files

// Results of the record lookups.
enum : int {
    NTFS_NOT_FOUND = RESULT_NOT_FOUND,        // no such attribute, or a read that failed without a
                                              // system error
    NTFS_NOT_A_RECORD = RESULT_NOT_A_RECORD,  // the bytes do not start with "FILE"
};

// The FILE record header fields the engines use. Read only when the buffer holds them.
struct NTFS_RECORD_HEADER {
    uint16_t uUpdateSequenceOffset;
    uint16_t uSequence;
    uint16_t uFirstAttribute;
    uint16_t uFlags;
    uint32_t uBytesInUse;
    uint64_t u64BaseRecord;  // 0 for a base record; else the record this one extends
    uint32_t uOwnNumber;     // NTFS 3.1 records only
};

bool IsFileRecordSignature(const unsigned char* pRecord, size_t nLen);
// false when the buffer is too short for the header or does not start with "FILE".
bool ReadRecordHeader(const unsigned char* pRecord, size_t nLen, NTFS_RECORD_HEADER& out);

// One attribute found by a walk. The whole attribute [p, p + uLength) lies inside the walk's
// bound, and uLength is at least the 24 bytes of a resident header.
struct NTFS_ATTRIBUTE {
    const unsigned char* p;
    uint32_t uOffset;  // from the record start
    uint32_t uType;
    uint32_t uLength;
    bool bNonResident;
    uint8_t uNameLength;
};

// The attributes of a fixed-up record in on-disk order. The walk ends on the end marker, on a
// type of 0 or of 0xFDFDFDFD and above, on a length too short for an attribute header, and on
// an attribute that would reach past the bound; it always advances, so it always ends.
class CNtfsAttributeWalk {
public:
    // nBound: how many bytes of pRecord the walk may use (at most the buffer's length).
    CNtfsAttributeWalk(const unsigned char* pRecord, size_t nBound);
    bool Next(NTFS_ATTRIBUTE& out);

private:
    const unsigned char* m_pRecord;
    size_t m_nBound;
    size_t m_nOffset;
};

// The first attribute of uType; for $DATA the unnamed stream (the file's content) is
// preferred over a named one.
bool FindAttribute(const unsigned char* pRecord, size_t nBound, uint32_t uType,
                   NTFS_ATTRIBUTE& out);

// A resident attribute's value. false when the attribute is non-resident or its value does not
// lie inside it.
bool GetResidentValue(const NTFS_ATTRIBUTE& attr, const unsigned char*& pValue,
                      uint32_t& uValueLength);
// Sizes of a non-resident attribute (allocated, real, initialized) and the first cluster
// (VCN) it maps. false when the attribute is resident or too short to hold them.
struct NTFS_NONRESIDENT_INFO {
    uint64_t u64StartVcn;
    uint64_t u64AllocatedSize;
    uint64_t u64RealSize;
    uint64_t u64InitializedSize;
};
bool GetNonResidentInfo(const NTFS_ATTRIBUTE& attr, NTFS_NONRESIDENT_INFO& out);

// The $FILE_NAME value, taken to start 24 bytes into the attribute (where a resident unnamed
// attribute puts it).
struct NTFS_FILE_NAME {
    uint32_t uParentRecord;  // low 32 bits of the parent's record number
    uint64_t u64CreateTime;  // NTFS file times, as stored
    uint64_t u64ModifyTime;
    uint64_t u64AccessTime;
    uint64_t u64RealSize;
    uint8_t uNamespace;
    uint8_t uNameLength;   // units in szName
    char16_t szName[256];  // zero-terminated
};
// false when the attribute is non-resident or the name does not lie inside the attribute.
bool ParseFileNameAttribute(const NTFS_ATTRIBUTE& attr, NTFS_FILE_NAME& out);
// How well a name serves as the one shown: Win32 names first, then POSIX, then DOS 8.3 names.
int FileNameRank(uint8_t uNamespace);
// Whether a $FILE_NAME is a further hard link of a file shown as `shown`: a long (not DOS-only)
// name that differs from the shown one in its folder or its text. A DOS 8.3 alias is no link.
bool IsFurtherLink(const NTFS_FILE_NAME& name, const NTFS_FILE_NAME& shown);

// A named $DATA stream (an alternate data stream) held in a record itself.
struct NTFS_NAMED_STREAM {
    std::u16string name;
    uint64_t u64Size;  // real size, from the stream's first piece
};
// The named $DATA streams of a fixed-up record, at most nMax, in on-disk order. A stream whose
// name does not fit its attribute, or whose first piece is elsewhere, is left out.
std::vector<NTFS_NAMED_STREAM> ListNamedStreams(const unsigned char* pRecord, size_t nBound,
                                                size_t nMax);
// The named $DATA attribute called `name` (compared code unit by code unit) in the record.
bool FindNamedStream(const unsigned char* pRecord, size_t nBound, const std::u16string& name,
                     NTFS_ATTRIBUTE& out);

// One entry of an $ATTRIBUTE_LIST value.
struct NTFS_ATTRIBUTE_LIST_ENTRY {
    uint32_t uType;
    uint16_t uLength;
    uint8_t uNameLength;
    uint64_t u64StartVcn;
    uint64_t u64Record;  // low 48 bits of the reference to the record holding the attribute
};
// Steps through list bytes [p, p + nLen) from nOffset. Ends at type 0 or the end marker, at an
// entry too short to hold its fields, and at one reaching past nLen.
bool NextAttributeListEntry(const unsigned char* p, size_t nLen, size_t& nOffset,
                            NTFS_ATTRIBUTE_LIST_ENTRY& out);

// Update-sequence fix-up and run-list decoding, with the volume's sector geometry.
class CNtfsParse {
public:
    CNtfsParse() = default;

    // Sectors per FILE record: 2 on 512-byte sectors (1,024-byte records), else 1. Returns 0.
    int Init(int nBytesPerSector);

    // Puts back the last two bytes of every sector of the record from the update sequence
    // array. The array is found through the header's offset field when that is sound, else
    // at offset 48 (NTFS 3.1). A torn record (a sector whose tail does not carry the update
    // sequence number) is accepted as it is. 0, or -1 when the buffer is null, its first byte
    // is 0, or nLen is shorter than one record; the buffer is then left unchanged.
    int FileRecordFixUp(unsigned char* pRecord, size_t nLen) const;

    // Appends the runs of the non-resident attribute at pAttr, of which nAvailable bytes may
    // be read, to out. The runs are decoded inside the attribute only. When out already holds
    // runs (an earlier piece of the same attribute), the first new run is rebased so that the
    // running start cluster stays right. Never fails: a malformed run list ends early with the
    // runs decoded so far.
    void GetRunList(const unsigned char* pAttr, size_t nAvailable, RUN_LIST& out) const;

    int GetBytesPerSector() const { return m_nBytesPerSector; }
    int GetSectorsPerRecord() const { return m_nSectorsPerRecord; }
    int GetBytesPerRecord() const { return m_nBytesPerSector * m_nSectorsPerRecord; }

private:
    int m_nSectorsPerRecord = 2;
    int m_nBytesPerSector = 512;
};

// Decodes mapping pairs [p, p + nLen) into out, appending, without rebasing.
void DecodeMappingPairs(const unsigned char* p, size_t nLen, RUN_LIST& out);
// The running start cluster after the last run of the list (the sum of all offsets).
int64_t RunListEndCluster(const RUN_LIST& runs);
// Clusters the list covers, holes included.
uint64_t RunListClusters(const RUN_LIST& runs);

// Maps a table sector through the table's runs to a volume-relative sector: run i covers the
// table sectors [A_i, A_i + length_i x spc) where A_i is the sum of the earlier runs' sectors.
// false when no run covers it, or it falls into a hole or a run that starts before cluster 0.
bool MapTableSector(const RUN_LIST& runs, uint64_t u64TableSector, uint32_t uSectorsPerCluster,
                    uint64_t& u64VolumeSector);
// The inverse: the table sector stored at a volume-relative sector. false when the sector does
// not belong to the table.
bool FindTableSector(const RUN_LIST& runs, uint64_t u64VolumeSector, uint32_t uSectorsPerCluster,
                     uint64_t& u64TableSector);

// What an engine offers the shared lookups: FILE records by number and raw clusters. Both
// NTFS engines implement it over their own reader.
class INtfsRecordSource {
public:
    virtual ~INtfsRecordSource() = default;
    // Reads record uRecord into pBuf (one record), checks "FILE" and fixes it up. 0,
    // NTFS_NOT_A_RECORD, NTFS_NOT_FOUND or an error number.
    virtual int ReadRecordByNumber(uint64_t uRecord, unsigned char* pBuf) = 0;
    // Reads u64Count clusters from volume cluster u64Cluster. 0 or an error.
    virtual int ReadClusters(uint64_t u64Cluster, uint64_t u64Count, unsigned char* pBuf) = 0;
    virtual uint32_t GetClusterBytes() const = 0;
};

// The runs of the attribute of uType of a fixed-up base record (record number uBaseRecord,
// nBound bytes of it usable). When the record has an $ATTRIBUTE_LIST, the attribute's pieces
// are gathered from every record the list names, in the order of the clusters they map, so a
// file spread over several records comes back whole; pieces that cannot be read end the list
// early. 0 with the runs appended; NTFS_NOT_FOUND when there is no such attribute (a resident
// one counts as none); or the error of a record read.
int CollectAttributeRuns(const CNtfsParse& parse, INtfsRecordSource& source,
                         const unsigned char* pRecord, size_t nBound, uint64_t uBaseRecord,
                         uint32_t uType, RUN_LIST& out);

// The $FILE_NAME attributes a base record keeps in its extension records, as its attribute
// list names them: a record full of runs (a heavily fragmented file) or of links has its
// names moved out. At most nMax names are appended; an extension record that cannot be read
// or belongs to another base record is skipped. 0, or NTFS_NOT_FOUND without a readable list.
int CollectListedFileNames(const CNtfsParse& parse, INtfsRecordSource& source,
                           const unsigned char* pRecord, size_t nBound, uint64_t uBaseRecord,
                           size_t nMax, std::vector<NTFS_FILE_NAME>& out);

// The real size of the unnamed $DATA of a base record, looked up through its attribute list
// when the record itself does not hold the first piece. 0 found; NTFS_NOT_FOUND; an error.
int GetDataRealSize(const CNtfsParse& parse, INtfsRecordSource& source,
                    const unsigned char* pRecord, size_t nBound, uint64_t uBaseRecord,
                    uint64_t& u64Size);
