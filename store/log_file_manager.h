// The scan log index: the folder that holds every working file of the program, the numbered
// scan folders in which deep scans keep their result stores, and the index file "config" with
// one checkpoint per deep-scanned volume, through which a later scan of the same volume can
// resume.
//
// Layout under the log root ${XDG_DATA_HOME:-$HOME/.local/share}/Ferrowen/ScanLog/:
//   config       u64 last folder number handed out, then _LOG_FILE_INFO_ entries of 592 bytes
//                (no header, no count; a trailing part shorter than an entry is ignored)
//   config.tmp   the index while it is being rewritten; renamed over "config" when complete
//   N/           scan folder N (decimal): the result stores of one scan
//   tmp.<ext>    temporary preview files
//
// Store base names: prefix + "%lld_%d%d%d%d%2d" (first sector, year, month, day, hour, minute
// padded with a space), with the prefixes below.
//
// The manager is a process-wide singleton used by one thread at a time (the worker thread,
// and start-up); it has no lock. It deletes only folders that lie inside its log root, and
// never follows a symbolic link while deleting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kFastLogPrefix[] = "Fast_";
inline constexpr char kFileTypeLogPrefix[] = "File_Type_";
inline constexpr char kProFatLogPrefix[] = "Pro_Fat_";
inline constexpr char kProNtfsLogPrefix[] = "Pro_Ntfs_";
inline constexpr char kLogNamePattern[] = "%lld_%d%d%d%d%2d";

// The codec of record names in the stores a checkpoint names. Checkpoints written with any
// other (0: the GB2312 of earlier versions) are never resumed: their names would be misread.
inline constexpr uint32_t kRecordCodecUtf8 = 1;

// One checkpoint. Stored byte for byte in "config"; zero-filled before use.
struct _LOG_FILE_INFO_ {
    uint32_t nDiskNumber;
    uint32_t uRecordCodec;       // how the scan's records hold names: kRecordCodecUtf8
    uint64_t u64StartSector;     // first sector of the scanned volume
    uint64_t u64SectorCount;     // sectors of the scanned volume
    uint64_t u64RangeStart;      // volume-relative start of the range scanned at the checkpoint
    uint64_t u64RangeLength;     // sectors of that range
    uint64_t u64RangeOffset;     // offset within that range reached
    uint64_t u64ScannedSectors;  // sectors scanned so far
    uint64_t u64FilesFound;      // files found so far
    uint64_t u64Fingerprint;     // digest of the volume's place, size, first and last MiB, and
                                 // its disk's model and serial; 0 when it could not be read
    uint64_t u64Reserved;        // zero
    char szDevicePath[256];      // the device or image scanned (empty in older checkpoints)
    char szLogDirPath[256];      // the scan folder's full path, ending in '/'
};
static_assert(sizeof(_LOG_FILE_INFO_) == 592);

// ${XDG_DATA_HOME:-$HOME/.local/share}/Ferrowen/ScanLog/ as read from the environment now,
// with its final '/'. Empty when neither variable is set.
std::string GetScanLogRootPath();

// Where the user asked the debug log to go: FERROWEN_DEBUG_LOG=1 (or "on") puts it in the log
// root as "Log.txt" (the folder is made), any other value names the file; unset, empty or "0":
// "" (no log at all).
std::string DebugLogPathFromEnvironment();

// Creates a folder and any missing parents with mode 0755. 0 or errno.
int MakeFolderPath(const std::string& path);

class CLogFileManager {
public:
    // The process-wide manager; the first call constructs it, which runs Init.
    static CLogFileManager* GetInstance();

    CLogFileManager(const CLogFileManager&) = delete;
    CLogFileManager& operator=(const CLogFileManager&) = delete;

    // Forgets all state, takes the log root from the environment, creates it when missing and
    // loads "config" (completing an interrupted rewrite first). 0; RESULT_INVALID_ARGUMENT when the
    // index cannot be opened or is empty; RESULT_SHORT_READ when it cannot be read whole; errno
    // when its size is unknown. Whatever the result, the manager is usable; it then starts with no
    // entries and folder counter 0. Calling it again re-reads the environment (tests point
    // XDG_DATA_HOME at a temporary folder and call Init).
    int Init();

    // Rewrites "config" through "config.tmp". 0 or errno; the old index survives a failure.
    int SaveLogConfigFile();

    // The folder in which stores are created now: the resumed scan's folder while a resumed
    // scan is in use, else log root + folder counter + "/". 0, or RESULT_INVALID_ARGUMENT (with ""
    // written) when it does not fit in nPathSize bytes.
    int GetLogFileDirPath(char* pszPath, int nPathSize) const;

    // Takes the next folder number for a fresh scan and empties that folder.
    void AddDirIndex();
    // Gives the folder number back after a fresh scan failed before it found anything.
    void ReduceDirIndex();

    // Drops the first entry whose scan folder equals pszDirPath (ignoring case) from the
    // in-memory index, then deletes the folder and everything in it, if it lies inside the log
    // root. The index file is not rewritten. Returns 0.
    int DeleteLogFileDir(const char* pszDirPath);

    // Writes into pszName the byte-wise first name of the folder's entries that contains
    // pszPrefix (a store's node file sorts before its "_Relation" and "_DirInfo" files).
    // Leaves pszName unchanged when nothing matches, the folder cannot be read ("open dir
    // failed" in the debug log) or the name does not fit. Returns 0.
    int GetLogFileNameByFileType(const char* pszDirPath, const char* pszPrefix, char* pszName,
                                 int nNameSize) const;

    // Resume check for a volume (the device pszDeviceText, or disk nDiskNumber for a checkpoint
    // that names no device, and the sector range). 1 when its entry's fingerprint still matches
    // the volume: the resumed folder becomes the entry's scan folder and the entry is copied to
    // *pInfo (when not null). 0 otherwise; an entry whose volume changed is deleted together
    // with its folder.
    int LoadRecoveryLogInfo(const char* pszDeviceText, int nDiskNumber, uint64_t u64StartSector,
                            uint64_t u64SectorCount, _LOG_FILE_INFO_* pInfo);

    // Checkpoint of a scan. The entry of the same volume (pszDevicePath, else pszDeviceText,
    // and the sector range) and fingerprint is updated in place; one with another fingerprint
    // is replaced. The index file is rewritten. 0 or errno.
    int SaveLogFileInfo(const char* pszDeviceText, int nDiskNumber, uint64_t u64StartSector,
                        uint64_t u64SectorCount, uint64_t u64RangeStart, uint64_t u64RangeLength,
                        uint64_t u64RangeOffset, uint64_t u64ScannedSectors, uint64_t u64FilesFound,
                        const char* pszLogDirPath, const char* pszDevicePath);

    const std::string& GetLogRootPath() const { return m_strLogRoot; }
    const std::vector<_LOG_FILE_INFO_>& GetLogFileInfos() const { return m_vecLogFileInfo; }
    long long GetDirIndex() const { return m_llDirIndex; }
    bool IsResumed() const { return m_nResume == 1; }

private:
    CLogFileManager();
    int LoadIndexFile(const std::string& indexPath);
    int FindEntry(const char* pszDeviceText, int nDiskNumber, uint64_t u64StartSector,
                  uint64_t u64SectorCount) const;
    void ClearResume();
    // True when path names a folder strictly inside the log root.
    bool IsInsideLogRoot(const std::string& path) const;
    // Deletes a scan folder and its contents when it lies inside the log root.
    void RemoveScanFolder(const std::string& path) const;

    std::vector<_LOG_FILE_INFO_> m_vecLogFileInfo;
    std::string m_strLogRoot;
    long long m_llDirIndex = 0;
    int m_nResume = 0;
    std::string m_strResumeDir;
};
