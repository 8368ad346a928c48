#include "engine/recovery_job.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "foundation/text.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "store/file_writer.h"
#include "store/log_file_manager.h"
#include "store/scan_result_file_manager.h"

const char szOfficeTypeListA[] =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

namespace {

constexpr int kMaxTargetUnits = 4096;

std::string Narrow(const char16_t* wide) {
    std::string out;
    for (const char16_t* p = wide; *p != u'\0'; ++p) out += static_cast<char>(*p);
    return out;
}

const std::string& PhotoList() {
    static const std::string list = Narrow(szPhotoTypeList);
    return list;
}
const std::string& MusicList() {
    static const std::string list = Narrow(szMusicTypeList);
    return list;
}
const std::string& DocumentList() {
    static const std::string list = Narrow(szDocumentTypeList);
    return list;
}
const std::string& VideoList() {
    static const std::string list = Narrow(szVideoTypeList);
    return list;
}
const std::string& ArchiveList() {
    static const std::string list = Narrow(szArchiveTypeList);
    return list;
}

bool ListHolds(const std::string& list, const std::string& ext) {
    // One-letter extensions are never a type of their own.
    return ext.size() >= 2 && TypeListHolds(list, ext);
}

std::string LowerExtension(const char* pszName) {
    char ext[256] = {};
    if (GetExtendName(pszName, ext, sizeof ext) != 0) return {};
    GetCharLowerA(ext);
    return ext;
}

void AppendList(std::u16string& key, const char16_t* list) {
    if (!key.empty() && key.back() != u'|') key += u'|';
    key += list;
}

// The deepest path that exists, so that a destination still to be created can be placed.
std::string NearestExistingPath(std::string path) {
    struct stat st;
    while (!path.empty() && stat(path.c_str(), &st) != 0) {
        const size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return ".";
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    return path;
}

// The whole disk a block device number belongs to, as its sysfs name ("sda" for sda1).
std::string WholeDiskOf(dev_t device) {
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char resolved[PATH_MAX];
    if (realpath(link.c_str(), resolved) == nullptr) return {};
    std::string path = resolved;
    struct stat st;
    // A partition's folder holds a "partition" file and sits inside its disk's folder.
    if (stat((path + "/partition").c_str(), &st) == 0) path = path.substr(0, path.rfind('/'));
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

std::u16string BuildSearchKey(uint32_t uTypeMask) {
    std::u16string key;
    if (uTypeMask & FILE_TYPE_PHOTO) AppendList(key, szPhotoTypeList);
    if (uTypeMask & FILE_TYPE_MUSIC) AppendList(key, szMusicTypeList);
    if (uTypeMask & FILE_TYPE_DOCUMENT) AppendList(key, szDocumentTypeList);
    if (uTypeMask & FILE_TYPE_VIDEO) AppendList(key, szVideoTypeList);
    if (uTypeMask & FILE_TYPE_ARCHIVE) {
        AppendList(key, szArchiveTypeList);
        AppendList(key, Ansi2Unicode(szOfficeTypeListA).c_str());
    }
    if (uTypeMask & FILE_TYPE_OTHER) AppendList(key, u"*.other");
    return key;
}

void SetListAlternateStreams(bool bList) {
    SetListNamedStreams(bList);
}

bool ParseFileTypes(const std::string& text, uint32_t& uMask) {
    static const std::map<std::string, uint32_t> kWords = {{"photo", FILE_TYPE_PHOTO},
                                                           {"music", FILE_TYPE_MUSIC},
                                                           {"document", FILE_TYPE_DOCUMENT},
                                                           {"video", FILE_TYPE_VIDEO},
                                                           {"archive", FILE_TYPE_ARCHIVE},
                                                           {"other", FILE_TYPE_OTHER},
                                                           {"all", FILE_TYPE_ALL}};
    uMask = 0;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t comma = std::min(text.find(',', from), text.size());
        std::string word = text.substr(from, comma - from);
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!word.empty()) {
            const auto it = kWords.find(word);
            if (it == kWords.end()) return false;
            uMask |= it->second;
        }
        from = comma + 1;
    }
    return uMask != 0;
}

FileCategory ClassifyFileName(const char* pszName) {
    const std::string ext = LowerExtension(pszName);
    if (ListHolds(PhotoList(), ext)) return FileCategory::Photo;
    if (ListHolds(MusicList(), ext)) return FileCategory::Music;
    if (ListHolds(DocumentList(), ext)) return FileCategory::Document;
    if (ListHolds(VideoList(), ext)) return FileCategory::Video;
    if (ListHolds(ArchiveList(), ext) || ListHolds(szOfficeTypeListA, ext)) {
        return FileCategory::Archive;
    }
    return FileCategory::Other;
}

const char* GetCategoryLabel(FileCategory category) {
    switch (category) {
        case FileCategory::Photo:
            return "Photo";
        case FileCategory::Music:
            return "Music";
        case FileCategory::Document:
            return "Office";
        case FileCategory::Video:
            return "Video";
        case FileCategory::Archive:
            return "Archive";
        case FileCategory::Other:
            break;
    }
    return "Other";
}

const char* GetDirTypeByFileName(const char* pszName) {
    switch (ClassifyFileName(pszName)) {
        case FileCategory::Photo:
            return "photo";
        case FileCategory::Music:
            return "audio";
        case FileCategory::Document:
            return "document";
        case FileCategory::Video:
            return "video";
        case FileCategory::Archive:
            return "archive";
        case FileCategory::Other:
            break;
    }
    return "others";
}

long ElevatingUserId() {
    if (geteuid() != 0) return -1;
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0') continue;
        char* end = nullptr;
        const long uid = std::strtol(value, &end, 10);
        if (*end == '\0' && uid > 0) return uid;
    }
    return -1;
}

void HandToElevatingUser(const std::string& utf8Path) {
    const long uid = ElevatingUserId();
    if (uid < 0) return;
    const passwd* user = getpwuid(static_cast<uid_t>(uid));
    const gid_t gid = user != nullptr ? user->pw_gid : static_cast<gid_t>(uid);
    // lchown: a link planted in the destination must not hand over its target.
    if (lchown(utf8Path.c_str(), static_cast<uid_t>(uid), gid) != 0) return;
}

int IsDestinationOnDevice(const std::string& utf8DestDir, const std::string& utf8DevicePath) {
    struct stat device, dest;
    if (stat(utf8DevicePath.c_str(), &device) != 0 || !S_ISBLK(device.st_mode)) return 0;
    if (stat(NearestExistingPath(utf8DestDir).c_str(), &dest) != 0) return 0;
    if (dest.st_dev == device.st_rdev) return 1;
    const std::string destDisk = WholeDiskOf(dest.st_dev);
    return !destDisk.empty() && destDisk == WholeDiskOf(device.st_rdev) ? 1 : 0;
}

CRecoveryJob::CRecoveryJob(IFileRecoveryParse* pEngine, RECOVERY_CALLBACK userCb,
                           void* pUserContext)
    : m_pEngine(pEngine), m_userCallback(userCb), m_pUserContext(pUserContext) {}

void CRecoveryJob::Attach() {
    if (m_pEngine != nullptr) m_pEngine->InitCallBack(nullptr, RecoveryJobCallBack, this, 100);
}

int CRecoveryJob::RecoveryJobCallBack(void* ctx, int nPercent, int nWeight, int nError,
                                      const char16_t* pszTargetPath) {
    return static_cast<CRecoveryJob*>(ctx)->OnReport(nPercent, nWeight, nError, pszTargetPath);
}

int CRecoveryJob::OnReport(int nPercent, int nWeight, int nError, const char16_t* pszTargetPath) {
    if (nPercent == 100 && pszTargetPath != nullptr) m_outcomes[pszTargetPath] = nError;
    return m_userCallback != nullptr
               ? m_userCallback(m_pUserContext, nPercent, nWeight, nError, pszTargetPath)
               : 0;
}

bool GetRecordTimes(const _FILE_NODE_& record, timespec& modified, timespec& accessed) {
    const auto value = [](const _FILETIME& t) {
        return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    };
    const uint64_t modify = value(record.ftLastChangeTime), access = value(record.ftLastAccessTime);
    switch (record.nFileSource) {
        case FILE_SOURCE_FAST_NTFS:
        case FILE_SOURCE_PRO_NTFS: {
            // NTFS counts 100 ns from 1601; 0 is no time at all.
            constexpr uint64_t kTicks = 10000000, kFrom1601 = 11644473600ull * kTicks;
            const auto toSpec = [](uint64_t v, timespec& out) {
                if (v < kFrom1601) return false;
                out.tv_sec = static_cast<time_t>((v - kFrom1601) / kTicks);
                out.tv_nsec = static_cast<long>((v - kFrom1601) % kTicks * 100);
                return true;
            };
            if (!toSpec(modify, modified)) return false;
            if (!toSpec(access, accessed)) accessed = modified;
            return true;
        }
        case FILE_SOURCE_FAST_FAT:
        case FILE_SOURCE_PRO_FAT:
        case FILE_SOURCE_FAST_EXFAT:
        case FILE_SOURCE_PRO_EXFAT:
            // FAT and exFAT records hold seconds since 1970; a volume without dates holds none.
            if (modify == 0) return false;
            modified = {static_cast<time_t>(static_cast<int64_t>(modify)), 0};
            accessed = access != 0 ? timespec{static_cast<time_t>(static_cast<int64_t>(access)), 0}
                                   : modified;
            return true;
        default:
            return false;
    }
}

std::u16string CRecoveryJob::FolderFor(const _FILE_NODE_& record,
                                       const std::u16string& destDir) const {
    const std::u16string type = Utf8ToWide(GetDirTypeByFileName(record.szFileName));
    if (m_layout == RecoveryLayout::ByType) return destDir + u"/" + type;
    if (record.nFileSource == FILE_SOURCE_FILE_TYPE) return destDir + u"/carved/" + type;
    std::vector<char16_t> parent(kMaxTargetUnits, u'\0');
    _FILE_NODE_ copy = record;
    if (m_pEngine->GetFileNodeParentDirPath(&copy, parent.data(), kMaxTargetUnits) != 0)
        parent[0] = u'\0';
    // Each folder name comes from the disk: made safe one by one, it can only name a folder
    // below the destination.
    std::u16string folder = destDir;
    const std::u16string path = parent.data();
    if (path.rfind(u"LostFolder", 0) == 0) folder += u"/LostFolder";
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find(u'/', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start)
            folder +=
                u"/" + SafeFileNameComponent(WideToUtf8(path.substr(start, end - start)).c_str());
        start = end + 1;
    }
    return folder;
}

int CRecoveryJob::Run(const std::vector<_FILE_NODE_>& records, const std::u16string& destDir) {
    m_summary = RECOVERY_SUMMARY{};
    if (m_pEngine == nullptr) return RESULT_INVALID_ARGUMENT;
    const std::string destUtf8 = WideToUtf8(destDir);
    if (const int made = MakeFolderPath(destUtf8); made != 0) return made;
    unsigned int saveDirIndex = 0;
    GetPathDirIndex(destDir.c_str(), saveDirIndex);
    m_outcomes.clear();
    std::map<std::u16string, int>& outcomes = m_outcomes;
    int result = 0;
    for (size_t index = 0; index < records.size(); ++index) {
        const _FILE_NODE_& record = records[index];
        const std::u16string folder = FolderFor(record, destDir);
        if (const int made = MakeFolderPath(WideToUtf8(folder)); made != 0) {
            m_summary.failures.push_back({folder, made});
            ++m_summary.uFailed;
            if (m_fileEnded) m_fileEnded(index, record, folder, made);
            continue;
        }
        // Every folder made on the way belongs to the user too.
        for (size_t cut = folder.size(); cut > destDir.size(); cut = folder.rfind(u'/', cut - 1))
            HandToElevatingUser(WideToUtf8(folder.substr(0, cut)));
        std::vector<char16_t> target(kMaxTargetUnits);
        const std::u16string wanted = folder + u"/" + SafeFileNameComponent(record.szFileName);
        if (const int named = GetRealFileName(wanted.c_str(), target.data(), kMaxTargetUnits);
            named != 0) {
            outcomes[wanted] = named;
            if (m_fileEnded) m_fileEnded(index, record, wanted, named);
            continue;
        }
        _FILE_NODE_ copy = record;
        const int saved =
            m_pEngine->SaveFileData(&copy, target.data(), static_cast<int>(saveDirIndex));
        const std::u16string path = target.data();
        struct stat st;
        const bool written = stat(WideToUtf8(path).c_str(), &st) == 0;
        if (written) HandToElevatingUser(WideToUtf8(path));
        timespec times[2];
        if (written && saved == 0 && record.bIsDir == 0 &&
            GetRecordTimes(record, times[1], times[0]))
            utimensat(AT_FDCWD, WideToUtf8(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
        if (saved == ERROR_USER_CANCEL) {
            m_summary.bCancelled = true;
            result = ERROR_USER_CANCEL;
            if (m_fileEnded) m_fileEnded(index, record, path, ERROR_USER_CANCEL);
            break;
        }
        // An engine that ended without reporting the file: judge by its result and by what
        // exists, and never count a file as recovered that was not written.
        if (outcomes.find(path) == outcomes.end()) {
            outcomes[path] = saved != 0 ? saved : (written ? 0 : EIO);
        }
        if (m_fileEnded) m_fileEnded(index, record, path, outcomes[path]);
    }
    for (const auto& [path, error] : outcomes) {
        if (error == 0) {
            ++m_summary.uRecovered;
        } else {
            ++m_summary.uFailed;
            m_summary.failures.push_back({path, error});
        }
    }
    return result;
}
