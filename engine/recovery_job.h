// The job logic both front ends share: which extensions the ticked file types search for,
// which category and recovery folder a found name belongs to, and the recovery of a list of
// records into a destination folder.
//
// Classification tests the lists in the order photo, music, document, video, archive,
// office; the first list holding the extension as one of its "*.<ext>" entries decides.
#pragma once

#include <time.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/recovery_parse.h"

// The file types a user ticks; a search key is built from any combination of them.
enum FILE_TYPE_FLAG : uint32_t {
    FILE_TYPE_PHOTO = 1u << 0,
    FILE_TYPE_MUSIC = 1u << 1,
    FILE_TYPE_DOCUMENT = 1u << 2,
    FILE_TYPE_VIDEO = 1u << 3,
    FILE_TYPE_ARCHIVE = 1u << 4,
    FILE_TYPE_OTHER = 1u << 5,
    FILE_TYPE_ALL = (1u << 6) - 1,
};

enum class FileCategory { Photo, Music, Document, Video, Archive, Other };

// The office list: archive formats and the office formats a user looks for among archives.
extern const char szOfficeTypeListA[];

// The search key for the ticked types, in the order photo, music, document, video, archive
// (followed by the office list), other ("*.other").
std::u16string BuildSearchKey(uint32_t uTypeMask);

// Parses "photo,music,document,video,archive,other" (any subset, any order, or "all") into a
// mask. False for an unknown word.
bool ParseFileTypes(const std::string& text, uint32_t& uMask);

// Whether scans list the named data streams of NTFS files beside them ("name:stream"); on
// unless the user leaves them out. Process-wide, set before a scan starts.
void SetListAlternateStreams(bool bList);

FileCategory ClassifyFileName(const char* pszName);
// "Photo", "Music", "Office", "Video", "Archive", "Other": the result-tree category.
const char* GetCategoryLabel(FileCategory category);
// "photo", "audio", "document", "video", "archive", "others": the recovery folder.
const char* GetDirTypeByFileName(const char* pszName);

// The outcome of one recovery run: every file the engine reported finished, by outcome.
struct RECOVERY_SUMMARY {
    unsigned int uRecovered = 0;
    unsigned int uFailed = 0;
    bool bCancelled = false;
    std::vector<std::pair<std::u16string, int>> failures;  // target path, error code
};

// Where recovered files go under the destination.
enum class RecoveryLayout {
    // As they were: a file-system find under its original folder path, a file of a lost folder
    // under LostFolder/, a carved file under carved/<type folder>/.
    Original,
    // Everything in <type folder>/ ("photo", "audio", ...).
    ByType,
};

// The modification and access times a record holds, as the system counts them. False when it
// holds none (carved files; an unset time).
bool GetRecordTimes(const _FILE_NODE_& record, struct timespec& modified,
                    struct timespec& accessed);

// Recovers each record into the destination in the chosen layout under a free name, through
// the engine's SaveFileData, and gives each file written its modification and access times
// back. The engine's own recovery callback must be this job's
// (RecoveryJobCallBack with the job as context) so that outcomes are counted; userCb, when
// set, sees every report too and may cancel by answering ERROR_USER_CANCEL. When the process
// runs elevated for a user (PKEXEC_UID or SUDO_UID), what is written is handed to that user.
class CRecoveryJob {
public:
    CRecoveryJob(IFileRecoveryParse* pEngine, RECOVERY_CALLBACK userCb, void* pUserContext);

    // Installs the job's callback on the engine (scan callback untouched: null).
    void Attach();
    void SetLayout(RecoveryLayout layout) { m_layout = layout; }
    // Told of each record once its recovery has ended: its index in Run's records, the path
    // it was written to (or would have been) and 0 or the error that stopped it.
    using FileEndedFunc = std::function<void(size_t index, const _FILE_NODE_& record,
                                             const std::u16string& target, int error)>;
    void SetFileEnded(FileEndedFunc fileEnded) { m_fileEnded = std::move(fileEnded); }
    // 0, ERROR_USER_CANCEL when cancelled, or errno when the destination cannot be used.
    int Run(const std::vector<_FILE_NODE_>& records, const std::u16string& destDir);
    const RECOVERY_SUMMARY& Summary() const { return m_summary; }

    static int RecoveryJobCallBack(void* ctx, int nPercent, int nWeight, int nError,
                                   const char16_t* pszTargetPath);

private:
    int OnReport(int nPercent, int nWeight, int nError, const char16_t* pszTargetPath);
    // The folder a record is recovered into; made, with every folder on the way.
    std::u16string FolderFor(const _FILE_NODE_& record, const std::u16string& destDir) const;

    IFileRecoveryParse* m_pEngine;
    RECOVERY_CALLBACK m_userCallback;
    void* m_pUserContext;
    RECOVERY_SUMMARY m_summary;
    RecoveryLayout m_layout = RecoveryLayout::Original;
    FileEndedFunc m_fileEnded;
    std::map<std::u16string, int> m_outcomes;  // target path -> error of its last file-end report
};

// The user a recovery run on behalf of, from PKEXEC_UID or SUDO_UID (-1 when none).
long ElevatingUserId();
// Hands a written file or folder to that user; does nothing when not elevated.
void HandToElevatingUser(const std::string& utf8Path);

// 1 when the destination folder lies on the device being scanned (the same block device or
// a partition of it, or inside the image file's own file system is not counted), else 0.
int IsDestinationOnDevice(const std::string& utf8DestDir, const std::string& utf8DevicePath);
