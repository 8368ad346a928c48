#include "store/scan_result_file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_set>

#include "foundation/debug_log.h"
#include "foundation/text.h"
#include "store/file_writer.h"
#include "store/log_file_manager.h"

namespace {

constexpr size_t kDirInfoSize = sizeof(_DIR_FILE_INFO_);
constexpr size_t kSearchKeyBytes = 4096;
// Relation text is written in pieces of about this size rather than one write per folder.
constexpr size_t kRelationWriteChunk = 64 * 1024;
constexpr size_t kChildrenPerPiece = 4096;
// Relation and dir-info files are read whole; one larger than this is not a store's.
constexpr off_t kMaxSideFileBytes = INT_MAX;

// Reads up to nBytes at the offset; the byte count, or -1 with errno when nothing could be read.
ssize_t PReadAll(int fd, void* pData, size_t nBytes, off_t offset) {
    char* p = static_cast<char*>(pData);
    size_t done = 0;
    while (done < nBytes) {
        const ssize_t n = pread(fd, p + done, nBytes - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return -1;
            break;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

off_t FileSize(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

// Reads a whole side file from offset 0; false when it is empty, too large or unreadable.
bool ReadWholeFile(int fd, std::string& out) {
    const off_t size = FileSize(fd);
    if (size <= 0) return false;
    if (size > kMaxSideFileBytes) {
        DebugLog("store file of %lld bytes not loaded\n", static_cast<long long>(size));
        return false;
    }
    out.assign(static_cast<size_t>(size), '\0');
    const ssize_t got = PReadAll(fd, out.data(), out.size(), 0);
    if (got <= 0) return false;
    out.resize(static_cast<size_t>(got));
    return true;
}

// The decimal number at the start of [p, end) as strtoll reads it: leading white space, an
// optional sign, digits; 0 when there are none, saturated at the limits. *pNext is set just
// past the digits (to p when there are none).
long long ParseDecimal(const char* p, const char* end, const char** pNext) {
    const char* start = p;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* digits = p;
    unsigned long long value = 0;
    bool overflow = false;
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (limit - digit) / 10) overflow = true;
        if (!overflow) value = value * 10 + digit;
    }
    if (p == digits) {
        if (pNext != nullptr) *pNext = start;
        return 0;
    }
    if (pNext != nullptr) *pNext = p;
    if (overflow) return negative ? LLONG_MIN : LLONG_MAX;
    return negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
}

const char* FindText(const char* from, const char* end, const char* needle) {
    const size_t n = std::strlen(needle);
    if (from >= end || static_cast<size_t>(end - from) < n) return nullptr;
    return static_cast<const char*>(memmem(from, static_cast<size_t>(end - from), needle, n));
}

void AppendChild(const char* item, const char* end, std::vector<uint32_t>& children) {
    const long long value = ParseDecimal(item, end, nullptr);
    // Node indices count from 1; anything else cannot name a record.
    if (value >= 1 && value <= static_cast<long long>(UINT32_MAX)) {
        children.push_back(static_cast<uint32_t>(value));
    }
}

// The record's name as a terminated string, even when the name field lost its terminator.
struct SafeName {
    explicit SafeName(const _FILE_NODE_& node) {
        std::memcpy(text, node.szFileName, sizeof node.szFileName);
        text[sizeof node.szFileName] = '\0';
    }
    char text[sizeof(_FILE_NODE_::szFileName) + 1];
};

// The lower-cased text after the last '.', false when the name has no '.'.
bool LowerExtension(const _FILE_NODE_& node, char (&ext)[257]) {
    const SafeName name(node);
    if (GetExtendName(name.text, ext, sizeof ext) != 0) return false;
    GetCharLowerA(ext);
    return true;
}

void AppendNumber(std::string& out, long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// The text of children [from, to) of one relation entry: the head " | <key> - [" comes with
// the first child, the closing ']' with the last, so an entry can be written in pieces.
void AppendRelationEntry(std::string& out, uint64_t u64Key, const std::vector<uint32_t>& children,
                         size_t from, size_t to) {
    if (from == 0) {
        out += " | ";
        AppendNumber(out, static_cast<long long>(u64Key));
        out += " - [";
    }
    for (size_t i = from; i < to; ++i) {
        if (i > 0) out += ',';
        AppendNumber(out, children[i]);
    }
    if (to == children.size()) out += ']';
}

}  // namespace

bool TypeListHolds(std::string_view list, std::string_view ext) {
    if (ext.empty()) return false;
    for (size_t at = list.find(ext); at != std::string_view::npos; at = list.find(ext, at + 1)) {
        const size_t end = at + ext.size();
        const bool opens =
            at >= 2 && list.compare(at - 2, 2, "*.") == 0 && (at == 2 || list[at - 3] == '|');
        if (opens && (end == list.size() || list[end] == '|')) return true;
    }
    return false;
}

bool IsPhotoExtension(const char* pszExt) {
    return pszExt != nullptr && TypeListHolds(szPhotoTypeListA, pszExt);
}

void GetDirRelationMap(const char* pText, size_t nLength, RELATION_MAP& map) {
    if (pText == nullptr) return;
    const char* end = pText + nLength;
    const char* pos = pText;
    for (;;) {
        const char* bar = FindText(pos, end, " | ");
        if (bar == nullptr) return;
        const char* afterKey = nullptr;
        const long long key = ParseDecimal(bar + 3, end, &afterKey);
        const char* open = FindText(afterKey, end, "- [");
        if (open == nullptr) return;
        std::vector<uint32_t> children;
        const char* item = open + 3;
        const char* p = item;
        for (; p < end; ++p) {
            if (*p == ',') {
                AppendChild(item, p, children);
                item = p + 1;
            } else if (*p == ']') {
                AppendChild(item, p, children);
                break;
            }
        }
        map[static_cast<uint64_t>(key)] = std::move(children);
        pos = p;
    }
}

std::string FormatRelationEntry(uint64_t u64Key, const std::vector<uint32_t>& children) {
    std::string text;
    AppendRelationEntry(text, u64Key, children, 0, children.size());
    return text;
}

CScanResultFileManager::CScanResultFileManager() {
    const std::u16string known = std::u16string(szPhotoTypeList) + u"|" + szMusicTypeList + u"|" +
                                 szDocumentTypeList + u"|" + szVideoTypeList + u"|" +
                                 szArchiveTypeList;
    m_strKnownExtensions = Unicode2Ansi(known.c_str());
}

CScanResultFileManager::~CScanResultFileManager() {
    FlushBufToFile();
    CloseFiles();
}

void CScanResultFileManager::CloseFiles() {
    for (int* fd : {&m_nNodeFile, &m_nRelationFile, &m_nDirInfoFile}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

int CScanResultFileManager::Init(const char16_t* pszName) {
    // Whatever this store held before belongs to another scan.
    FlushBufToFile();
    CloseFiles();
    m_relationMap.clear();
    m_vecDirFileInfo.clear();
    m_uBufUsed = 0;
    m_uRecordCount = 0;
    m_uFlushedRecords = 0;
    m_u64TotalBytes = 0;
    m_bRelationsDirty = false;
    m_bDirInfoDirty = false;

    const std::string name = pszName != nullptr ? WideToUtf8(pszName) : std::string();
    // The name must stay a name: a '/' or a dot folder would put the store somewhere else.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return RESULT_INVALID_ARGUMENT;
    }
    char folder[4096];
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) != 0)
        return RESULT_INVALID_ARGUMENT;
    const int mkdirError = MakeFolderPath(folder);
    if (mkdirError != 0) DebugLog("mkdir %s failed %d\n", folder, mkdirError);

    m_strNodePath = std::string(folder) + name;
    m_strRelationPath = m_strNodePath + "_Relation";
    m_strDirInfoPath = m_strNodePath + "_DirInfo";
    m_nNodeFile = open(m_strNodePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const int nodeError = errno;
    m_nRelationFile = open(m_strRelationPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nNodeFile < 0) return nodeError;
    if (m_nRelationFile < 0) return errno;

    const off_t nodeBytes = FileSize(m_nNodeFile);
    if (nodeBytes < 0) return errno;
    // Records already in the node file keep their indices; new ones are numbered after them,
    // so that the relations of a reopened store and its new records agree. A torn last record
    // is overwritten by the next one.
    const uint64_t existing = static_cast<uint64_t>(nodeBytes) / kRecordSize;
    m_uFlushedRecords = static_cast<uint32_t>(std::min<uint64_t>(existing, UINT32_MAX));
    m_uRecordCount = m_uFlushedRecords;

    LoadRelationFile();

    int result = 0;
    m_pBuffer.reset(new (std::nothrow) unsigned char[m_uBufCapacity]);
    if (!m_pBuffer) result = RESULT_OUT_OF_MEMORY;

    m_nDirInfoFile = open(m_strDirInfoPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nDirInfoFile >= 0) {
        LoadDirInfoFile();
    } else {
        DebugLog("open %s failed %d\n", m_strDirInfoPath.c_str(), errno);
    }
    return result;
}

void CScanResultFileManager::LoadRelationFile() {
    std::string text;
    if (!ReadWholeFile(m_nRelationFile, text)) return;
    GetDirRelationMap(text.data(), text.size(), m_relationMap);
}

void CScanResultFileManager::LoadDirInfoFile() {
    std::string bytes;
    if (!ReadWholeFile(m_nDirInfoFile, bytes)) return;
    const size_t count = bytes.size() / kDirInfoSize;
    m_vecDirFileInfo.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        _DIR_FILE_INFO_ info;
        std::memcpy(&info, bytes.data() + i * kDirInfoSize, kDirInfoSize);
        info.szDirName[sizeof info.szDirName - 1] = '\0';
        m_vecDirFileInfo.push_back(info);
    }
}

_FILE_NODE_* CScanResultFileManager::CreateFileNode(unsigned int uSize) {
    if (uSize != kRecordSize) {
        DebugLog("CreateFileNode size %u refused\n", uSize);
        return nullptr;
    }
    if (!m_pBuffer) m_pBuffer.reset(new (std::nothrow) unsigned char[m_uBufCapacity]);
    if (!m_pBuffer) {
        // Without a buffer the record cannot be kept, but the engine still gets somewhere to
        // build it, and its index stays reserved so later indices remain right.
        std::memset(&m_scratchRecord, 0, sizeof m_scratchRecord);
        ++m_uRecordCount;
        ++m_uFlushedRecords;
        return &m_scratchRecord;
    }
    if (m_uBufUsed + uSize > m_uBufCapacity) WritePendingRecords();
    unsigned char* slot = m_pBuffer.get() + m_uBufUsed;
    std::memset(slot, 0, uSize);
    m_uBufUsed += uSize;
    m_u64TotalBytes += uSize;
    ++m_uRecordCount;
    return reinterpret_cast<_FILE_NODE_*>(slot);
}

int CScanResultFileManager::WritePendingRecords() {
    if (m_uBufUsed == 0) return 0;
    // Written at the offset their indices give, so a failed write leaves a gap rather than
    // shifting every later record onto the wrong index.
    const off_t offset = static_cast<off_t>(m_uFlushedRecords) * kRecordSize;
    const int error = WriteAll(m_nNodeFile, m_pBuffer.get(), m_uBufUsed, offset);
    if (error != 0) DebugLog("write node file failed %d\n", error);
    m_uFlushedRecords += m_uBufUsed / kRecordSize;
    m_uBufUsed = 0;
    return error;
}

void CScanResultFileManager::AddChildren(uint32_t uFolderNumber, uint32_t uLevel,
                                         uint32_t uChildIndex, uint32_t uChildNumber,
                                         const char* pszFolderName) {
    m_relationMap[MakeRelationKey(uLevel, uFolderNumber)].push_back(uChildIndex);
    m_bRelationsDirty = true;
    if (pszFolderName == nullptr) return;
    _DIR_FILE_INFO_ info;
    std::memset(&info, 0, sizeof info);
    info.uClusterNO = uChildNumber;
    info.uFileIndex = uChildIndex;
    std::strncpy(info.szDirName, pszFolderName, sizeof info.szDirName - 1);
    m_vecDirFileInfo.push_back(info);
    m_bDirInfoDirty = true;
}

int CScanResultFileManager::FlushBufToFile() {
    const int error = WritePendingRecords();
    if (error != 0) return error;
    // Unchanged relations and folder names need not be rewritten; the files already hold them.
    if (m_bRelationsDirty) {
        const int relationError = FlushRelationToFile();
        if (relationError != 0) DebugLog("write relation file failed %d\n", relationError);
        m_bRelationsDirty = relationError != 0;
    }
    if (m_bDirInfoDirty) {
        const int dirInfoError = FlushDirFileInfoVec();
        if (dirInfoError != 0) DebugLog("write dir info file failed %d\n", dirInfoError);
        m_bDirInfoDirty = dirInfoError != 0;
    }
    return 0;
}

int CScanResultFileManager::FlushRelationToFile() {
    if (m_nRelationFile < 0) return EBADF;
    std::string chunk;
    off_t written = 0;
    // Written in pieces of about kRelationWriteChunk bytes, so that even a folder of millions
    // of files costs no more memory than the map already holds.
    for (const auto& [key, children] : m_relationMap) {
        size_t from = 0;
        do {
            const size_t to = std::min(children.size(), from + kChildrenPerPiece);
            AppendRelationEntry(chunk, key, children, from, to);
            from = to;
            if (chunk.size() < kRelationWriteChunk) continue;
            const int error = WriteAll(m_nRelationFile, chunk.data(), chunk.size(), written);
            if (error != 0) return error;
            written += static_cast<off_t>(chunk.size());
            chunk.clear();
        } while (from < children.size());
    }
    const int error = WriteAll(m_nRelationFile, chunk.data(), chunk.size(), written);
    if (error != 0) return error;
    written += static_cast<off_t>(chunk.size());
    // A loaded file may have held more text than its parsed map gives back (a damaged or
    // repeated entry); left behind, that tail would be read again on the next reopen.
    if (ftruncate(m_nRelationFile, written) != 0) return errno;
    return 0;
}

int CScanResultFileManager::FlushDirFileInfoVec() {
    if (m_nDirInfoFile < 0) return EBADF;
    const size_t bytes = m_vecDirFileInfo.size() * kDirInfoSize;
    int error = WriteAll(m_nDirInfoFile, m_vecDirFileInfo.data(), bytes, 0);
    if (error == 0 && ftruncate(m_nDirInfoFile, static_cast<off_t>(bytes)) != 0) error = errno;
    return error;
}

const std::vector<uint32_t>* CScanResultFileManager::FindChildList(uint64_t u64Key) const {
    if (u64Key == 0) return m_relationMap.empty() ? nullptr : &m_relationMap.begin()->second;
    const auto it = m_relationMap.find(u64Key);
    return it == m_relationMap.end() ? nullptr : &it->second;
}

int CScanResultFileManager::ReadRecord(uint32_t uIndex, _FILE_NODE_& out) const {
    if (uIndex == 0 || uIndex > m_uRecordCount) return RESULT_SHORT_READ;
    if (uIndex > m_uFlushedRecords) {  // still in the write buffer
        const size_t offset = static_cast<size_t>(uIndex - m_uFlushedRecords - 1) * kRecordSize;
        if (!m_pBuffer || offset + kRecordSize > m_uBufUsed) return RESULT_SHORT_READ;
        std::memcpy(&out, m_pBuffer.get() + offset, kRecordSize);
        return 0;
    }
    const off_t offset = static_cast<off_t>(uIndex - 1) * kRecordSize;
    const ssize_t got = PReadAll(m_nNodeFile, &out, kRecordSize, offset);
    if (got < 0) return errno;
    return got == static_cast<ssize_t>(kRecordSize) ? 0 : RESULT_SHORT_READ;
}

bool CScanResultFileManager::IsHiddenPicture(const _FILE_NODE_& node) const {
    if (node.bIsDir != 0 || node.bDataHealth != 0) return false;
    char ext[257];
    return LowerExtension(node, ext) && IsPhotoExtension(ext);
}

int CScanResultFileManager::GetChildrenFileNode(uint64_t u64Key, std::vector<_FILE_NODE_>& out) {
    const std::vector<uint32_t>* children = FindChildList(u64Key);
    int result = 0;
    if (children != nullptr) {
        for (const uint32_t index : *children) {
            _FILE_NODE_ node;
            const int rc = ReadRecord(index, node);
            if (rc == RESULT_SHORT_READ) {
                DebugLog("child record %u missing\n", index);
                continue;
            }
            if (rc != 0) {
                result = rc;
                break;
            }
            if (!IsHiddenPicture(node)) out.push_back(node);
        }
    }
    std::sort(out.begin(), out.end(), VectorCmp);
    return result;
}

int CScanResultFileManager::GetChildrenFileCount(uint64_t u64Key, unsigned int& uCount) {
    uCount = 0;
    int result = 0;
    std::deque<uint64_t> queue{u64Key};
    std::unordered_set<uint64_t> visited;
    while (!queue.empty()) {
        uint64_t key = queue.front();
        queue.pop_front();
        if (key == 0 && !m_relationMap.empty()) key = m_relationMap.begin()->first;
        // Relations come from files that may be damaged: a folder reached twice is counted
        // once, which also ends any cycle.
        if (!visited.insert(key).second) continue;
        const auto it = m_relationMap.find(key);
        if (it == m_relationMap.end()) continue;
        const uint32_t childLevel = static_cast<uint32_t>(key >> 32) + 1;
        for (const uint32_t index : it->second) {
            _FILE_NODE_ node;
            const int rc = ReadRecord(index, node);
            if (rc == RESULT_SHORT_READ) continue;
            if (rc != 0) {
                result = rc;
                break;
            }
            if (node.bIsDir != 0) {
                queue.push_back(MakeRelationKey(childLevel, node.uClusterNO));
            } else {
                ++uCount;
            }
        }
    }
    return result;
}

int CScanResultFileManager::GetParentFileNode(const _FILE_NODE_* pNode,
                                              std::vector<_FILE_NODE_>& chain) {
    if (pNode == nullptr) return RESULT_INVALID_ARGUMENT;
    uint32_t current = pNode->uFileIndex;
    std::unordered_set<uint32_t> seen{current};
    for (;;) {
        auto holder = m_relationMap.end();
        for (auto it = m_relationMap.begin(); it != m_relationMap.end(); ++it) {
            if (std::find(it->second.begin(), it->second.end(), current) != it->second.end()) {
                holder = it;
                break;
            }
        }
        if (holder == m_relationMap.end() || holder == m_relationMap.begin()) return 0;
        const uint32_t folderNumber = static_cast<uint32_t>(holder->first);

        _FILE_NODE_ parent;
        std::memset(&parent, 0, sizeof parent);
        const auto info = std::find_if(
            m_vecDirFileInfo.begin(), m_vecDirFileInfo.end(),
            [folderNumber](const _DIR_FILE_INFO_& d) { return d.uClusterNO == folderNumber; });
        if (info != m_vecDirFileInfo.end()) {
            parent.bIsDir = 1;
            parent.uFileIndex = info->uFileIndex;
            parent.uClusterNO = folderNumber;
            std::memcpy(parent.szFileName, info->szDirName, sizeof parent.szFileName);
        } else {
            const int rc = GetFileNodeByClusterNO(folderNumber, parent);
            if (rc != 0) return rc;
        }
        // A folder that names itself, or any longer loop, ends the chain.
        if (parent.uFileIndex == current || !seen.insert(parent.uFileIndex).second) return 0;
        chain.push_back(parent);
        current = parent.uFileIndex;
    }
}

int CScanResultFileManager::GetParentDirPath(const _FILE_NODE_* pNode, char16_t* pszPath,
                                             int nPathSize) {
    if (pNode == nullptr || pszPath == nullptr || nPathSize <= 0) return RESULT_INVALID_ARGUMENT;
    std::vector<_FILE_NODE_> chain;
    GetParentFileNode(pNode, chain);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += SafeName(*it).text;
        path += '/';
    }
    return Ansi2Unicode(path.c_str(), pszPath, nPathSize);
}

int CScanResultFileManager::GetFileNodeByClusterNO(uint32_t uClusterNO, _FILE_NODE_& out) {
    WritePendingRecords();
    const int fd = open(m_strNodePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const off_t size = FileSize(fd);
    if (size < 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    std::vector<unsigned char> chunk(m_uBufCapacity);
    const off_t whole = size - size % kRecordSize;
    for (off_t offset = 0; offset < whole;) {
        const size_t want = static_cast<size_t>(std::min<off_t>(m_uBufCapacity, whole - offset));
        const ssize_t got = PReadAll(fd, chunk.data(), want, offset);
        if (got <= 0) {
            const int error = got < 0 ? errno : RESULT_SHORT_READ;
            close(fd);
            return error;
        }
        for (size_t pos = 0; pos + kRecordSize <= static_cast<size_t>(got); pos += kRecordSize) {
            _FILE_NODE_ node;
            std::memcpy(&node, chunk.data() + pos, kRecordSize);
            if (node.uClusterNO != uClusterNO) continue;
            out = node;
            if (node.bIsDir != 0) {
                close(fd);
                return 0;
            }
        }
        offset += got - got % kRecordSize;
        if (got % kRecordSize != 0) break;
    }
    close(fd);
    return RESULT_NOT_FOUND;
}

bool CScanResultFileManager::IsSelectedBySearch(const _FILE_NODE_& node, const std::string& key,
                                                bool bOtherMode) const {
    if (node.bIsDir != 0 || IsHiddenPicture(node)) return false;
    char ext[257];
    if (!LowerExtension(node, ext) || ext[0] == '\0') return bOtherMode;
    if (TypeListHolds(key, ext)) return true;
    return bOtherMode && !TypeListHolds(m_strKnownExtensions, ext);
}

int CScanResultFileManager::SearchFileNodeInfo(const char16_t* pszKey,
                                               std::vector<__SEARCH_FILE_INFO__>& out) {
    if (pszKey == nullptr) return RESULT_INVALID_ARGUMENT;
    std::string key = Unicode2Ansi(pszKey);
    if (key.size() >= kSearchKeyBytes) key.resize(kSearchKeyBytes - 1);
    FlushBufToFile();
    bool otherMode = key.find(".other") != std::string::npos;

    const int fd = open(m_strNodePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const off_t reported = FileSize(fd);
    const off_t size = reported > 0 ? reported : 0;
    if (size > kOtherModeSizeLimit) otherMode = false;

    std::vector<unsigned char> chunk(m_uBufCapacity);
    const off_t whole = size - size % kRecordSize;
    off_t done = 0;
    int result = RESULT_OK;
    while (done < whole) {
        // One read of up to 200 whole records per pass.
        const size_t want = static_cast<size_t>(std::min<off_t>(m_uBufCapacity, whole - done));
        const ssize_t got = PReadAll(fd, chunk.data(), want, done);
        if (got <= 0) {
            if (got < 0) DebugLog("read node file failed %d\n", errno);
            break;
        }
        for (size_t pos = 0; pos + kRecordSize <= static_cast<size_t>(got); pos += kRecordSize) {
            _FILE_NODE_ node;
            std::memcpy(&node, chunk.data() + pos, kRecordSize);
            if (IsSelectedBySearch(node, key, otherMode)) out.push_back(node);
        }
        done += got;
        if (m_searchCallback != nullptr &&
            m_searchCallback(m_pSearchContext, static_cast<int>(done * 100 / size), nullptr) != 0) {
            result = ERROR_USER_CANCEL;
            break;
        }
        if (static_cast<size_t>(got) < want) break;
    }
    close(fd);
    std::sort(out.begin(), out.end(), SearchVectorCmp);
    return result;
}

int CScanResultFileManager::InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) {
    m_searchCallback = cb;
    m_pSearchContext = ctx;
    return 0;
}

void RemoveStoreFiles(const char* pszName) {
    char folder[4096];
    if (CLogFileManager::GetInstance()->GetLogFileDirPath(folder, sizeof folder) != 0) return;
    const std::string base = std::string(folder) + pszName;
    for (const char* suffix : {"", "_Relation", "_DirInfo"}) unlink((base + suffix).c_str());
}
