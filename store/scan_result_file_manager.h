// The scan result store: everything one scan finds, kept on disk so that the memory a scan
// needs for its records stays constant however many files it finds.
//
// A store is three files in the scan folder of the log index (store/log_file_manager.h),
// named from one base name:
//   <base>           node file: 344-byte _FILE_NODE_ records; record i (from 1) at (i-1)*344
//   <base>_Relation  ASCII, no line breaks: for every folder in ascending key order
//                    " | <key as signed decimal> - [<child index>,<child index>,...]"
//   <base>_DirInfo   264-byte _DIR_FILE_INFO_ records, one per folder, in insertion order
//
// A folder is identified by its relation key: (level << 32) | identifying number, where the
// level is the number of folders on its path below the volume root and the identifying number
// is the folder's uClusterNO. The smallest key holds the children of the volume root; a
// lookup of key 0 means that smallest key.
//
// Memory: one 68,800-byte write buffer for records; the relation map costs one 4-byte index
// per record plus a map node per folder, and the folder list 264 bytes per folder.
//
// Not thread-safe: one engine uses its store from one thread. Lookups read at explicit
// offsets and never move the node file's append position.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/file_node.h"

// The extension lists of the five file types: "*.<ext>" entries joined by '|'.
inline constexpr char16_t szPhotoTypeList[] =
    u"*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|"
    u"*.cr2|*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|"
    u"*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.icns|"
    u"*.webp|*.heic|*.heif|*.avif|*.cr3|*.rw2|*.jpe|*.jfif|*.dib|";
inline constexpr char16_t szMusicTypeList[] =
    u"*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|"
    u"*.acd|*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.flac|*.opus|*.oga|*.mp2|*.mmf";
inline constexpr char16_t szDocumentTypeList[] =
    u"*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|"
    u"*.html|*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.dot|*.xlt|*.pot|*.pps|"
    u"*.docm|*.dotx|*.dotm|*.xlsm|*.xlsb|*.pptm|*.ppsx";
inline constexpr char16_t szVideoTypeList[] =
    u"*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|"
    u"*.3g2|*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|"
    u"*.hdmov|*.mod|*.mxf|*.lrv|*.webm|*.ogv|*.mpg|*.ts|*.wmv|";
inline constexpr char16_t szArchiveTypeList[] =
    u"*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|"
    u"*.exe|*.dmg|*.xz|*.tgz|*.tbz2|*.txz|";
// The photo list as a C string, for the damaged-picture filter and for previews.
inline constexpr char szPhotoTypeListA[] =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|"
    "*.cr2|*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|"
    "*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.icns|"
    "*.webp|*.heic|*.heif|*.avif|*.cr3|*.rw2|*.jpe|*.jfif|*.dib|";

// True when "*.<ext>" is a whole entry of the '|'-separated list: "ra" is in "*.ra|" but
// not in "*.rar|" or "*.raw|". Extensions are compared as given (callers lower-case them).
bool TypeListHolds(std::string_view list, std::string_view ext);

// True when the lower-cased extension ext is an entry of the photo list.
bool IsPhotoExtension(const char* pszExt);

// One folder's name, kept in memory and in the dir-info file.
struct _DIR_FILE_INFO_ {
    uint32_t uClusterNO;  // the folder's identifying number
    uint32_t uFileIndex;  // the folder's node index
    char szDirName[256];  // zero-terminated C string
};
static_assert(sizeof(_DIR_FILE_INFO_) == 264);

using RELATION_MAP = std::map<uint64_t, std::vector<uint32_t>>;

// Parses relation-file text of nLength bytes (not necessarily terminated) into `map`, adding
// to what it holds; a later entry of the same key replaces the earlier list. Reads nothing
// outside the text; malformed parts yield what can be read from them.
void GetDirRelationMap(const char* pText, size_t nLength, RELATION_MAP& map);
// The relation-file text of one entry: " | <key> - [<children>]".
std::string FormatRelationEntry(uint64_t u64Key, const std::vector<uint32_t>& children);

// The three files of the store pszName in the current scan folder are removed, so that a
// fresh scan does not number on after the records of an earlier one of the same name.
void RemoveStoreFiles(const char* pszName);

inline uint64_t MakeRelationKey(uint32_t uLevel, uint32_t uFolderNumber) {
    return (static_cast<uint64_t>(uLevel) << 32) | uFolderNumber;
}

class CScanResultFileManager {
public:
    static constexpr uint32_t kRecordSize = sizeof(_FILE_NODE_);
    static constexpr uint32_t kBufferCapacity = 68800;  // 200 records
    // Node files larger than this are searched without other mode.
    static constexpr long long kOtherModeSizeLimit = 0x7FFFFFF;

    CScanResultFileManager();
    ~CScanResultFileManager();
    CScanResultFileManager(const CScanResultFileManager&) = delete;
    CScanResultFileManager& operator=(const CScanResultFileManager&) = delete;

    // Opens or creates the store `pszName` in the current scan folder (created when missing)
    // and loads the relations and folder names of an existing store. New records are appended
    // after the records already in the node file and numbered on from them. 0; 8 when the
    // write buffer cannot be allocated; RESULT_INVALID_ARGUMENT for a missing or unusable
    // name; else errno.
    int Init(const char16_t* pszName);

    // The next record, to be filled completely by the caller before the next call; its node
    // index is GetFileIndex() afterwards. uSize must be 344; anything else gives null.
    // Writes the buffer to the node file first when it is full.
    _FILE_NODE_* CreateFileNode(unsigned int uSize);
    // Records created so far, counting those of a reopened node file: the node index of the
    // record most recently returned by CreateFileNode.
    unsigned int GetFileIndex() const { return m_uRecordCount; }

    // Adds child uChildIndex to the folder keyed (uLevel << 32) | uFolderNumber. A non-null
    // pszFolderName says the child is itself a folder, with identifying number uChildNumber.
    void AddChildren(uint32_t uFolderNumber, uint32_t uLevel, uint32_t uChildIndex,
                     uint32_t uChildNumber, const char* pszFolderName);

    // Writes pending records, then rewrites the relation and dir-info files. 0 or the errno
    // of the record write; relation and dir-info write errors are only logged, since the
    // in-memory copies stay complete.
    int FlushBufToFile();

    // Direct children of a folder, damaged pictures left out, sorted with VectorCmp. Call
    // FlushBufToFile first. Children whose record cannot be read whole are skipped.
    int GetChildrenFileNode(uint64_t u64Key, std::vector<_FILE_NODE_>& out);
    // Files (not folders) anywhere below a folder, damaged pictures included. Each folder is
    // visited once, so corrupt relations cannot make the walk run away.
    int GetChildrenFileCount(uint64_t u64Key, unsigned int& uCount);
    // The folders above a record, nearest first. RESULT_INVALID_ARGUMENT for a null record.
    int GetParentFileNode(const _FILE_NODE_* pNode, std::vector<_FILE_NODE_>& chain);
    // The path of the folder holding pNode, "A/B/" style, the volume root left out; "" for a
    // record directly under the root. 0, -1 when the conversion fails, RESULT_INVALID_ARGUMENT for
    // null arguments.
    int GetParentDirPath(const _FILE_NODE_* pNode, char16_t* pszPath, int nPathSize);
    // A folder record with identifying number uClusterNO. 0; RESULT_NOT_FOUND when there is none
    // (out may then hold the last file record of that number); errno on a failed open or read.
    int GetFileNodeByClusterNO(uint32_t uClusterNO, _FILE_NODE_& out);

    // Every file whose extension the key selects: the key lists "*.<ext>" patterns joined by
    // '|' and may contain "*.other", which also selects files without an extension or with one
    // that no type list knows. Damaged pictures and folders are left out; results are sorted
    // with SearchVectorCmp. Flushes first and reads 200 records per system call. 0 when the
    // node file was read; ERROR_USER_CANCEL when the search callback stopped it (what was
    // found so far is kept); errno when it could not be opened; RESULT_INVALID_ARGUMENT for a
    // null key.
    int SearchFileNodeInfo(const char16_t* pszKey, std::vector<__SEARCH_FILE_INFO__>& out);
    int InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx);

    // For tests and tools.
    const std::string& GetNodeFilePath() const { return m_strNodePath; }
    const std::string& GetRelationFilePath() const { return m_strRelationPath; }
    const std::string& GetDirInfoFilePath() const { return m_strDirInfoPath; }
    const RELATION_MAP& GetRelationMap() const { return m_relationMap; }
    const std::vector<_DIR_FILE_INFO_>& GetDirFileInfos() const { return m_vecDirFileInfo; }

private:
    int WritePendingRecords();
    int FlushRelationToFile();
    int FlushDirFileInfoVec();
    void LoadRelationFile();
    void LoadDirInfoFile();
    const std::vector<uint32_t>* FindChildList(uint64_t u64Key) const;
    // 0 and the record; RESULT_SHORT_READ when the record does not lie whole in the node
    // file; errno.
    int ReadRecord(uint32_t uIndex, _FILE_NODE_& out) const;
    bool IsHiddenPicture(const _FILE_NODE_& node) const;
    bool IsSelectedBySearch(const _FILE_NODE_& node, const std::string& key, bool bOtherMode) const;
    void CloseFiles();

    uint32_t m_uBufUsed = 0;
    uint32_t m_uBufCapacity = kBufferCapacity;
    uint32_t m_uRecordCount = 0;
    uint64_t m_u64TotalBytes = 0;
    uint32_t m_uFlushedRecords = 0;  // records of the node file before the buffer's first
    std::unique_ptr<unsigned char[]> m_pBuffer;
    _FILE_NODE_ m_scratchRecord{};  // handed out when no buffer could be allocated
    int m_nNodeFile = -1;
    int m_nRelationFile = -1;
    int m_nDirInfoFile = -1;
    SEARCH_CALLBACK m_searchCallback = nullptr;
    void* m_pSearchContext = nullptr;
    std::string m_strNodePath;
    std::string m_strRelationPath;
    std::string m_strDirInfoPath;
    RELATION_MAP m_relationMap;
    std::vector<_DIR_FILE_INFO_> m_vecDirFileInfo;
    bool m_bRelationsDirty = false;  // the relation file lags behind the map
    bool m_bDirInfoDirty = false;    // the dir-info file lags behind the folder list
    std::string m_strKnownExtensions;
};
