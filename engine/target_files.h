// What every engine needs to write recovered files safely: whole writes, folders that may
// already exist, free names for the children of a folder recovery, and the removal of an old
// result store a new scan replaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes all n bytes, retrying partial and interrupted writes. 0 or errno.
int WriteAll(int fd, const unsigned char* p, size_t n);

// Creates a destination folder (0755, through its UTF-8 path), or accepts one that exists
// already as a folder. 0 or errno.
int MakeTargetFolder(const std::u16string& path);

// The path a child named pszName (GB2312, from disk) gets inside folder: the name made a safe
// path component, then made free there. 0, or the error of GetRealFileName.
int FreeChildPath(const std::u16string& folder, const char* pszName, std::u16string& out);

// The three files of the result store pszName in the current scan folder are removed, so that
// a fresh scan does not number on after the records of an earlier one of the same name.
void RemoveStoreFiles(const char* pszName);

inline int PercentOf(uint64_t done, uint64_t total) {
    return total == 0 ? 100 : static_cast<int>(done * 100 / total);
}

#include <deque>
#include <functional>

#include "foundation/file_node.h"
#include "foundation/recovery_parse.h"

// One pending folder of a folder recovery and the destination path created for it.
struct __FILE_DATA_RECOVERY__ {
    _FILE_NODE_ node;
    std::u16string strTargetPath;
};

// The folder recovery every engine gives, breadth-first: a folder's files are written before
// those of its sub-folders, each child under a name that is free in its destination folder,
// so nothing recovered overwrites or merges into anything else. The queue holds the folders
// created so far (the top one on entry); saveOne writes a file, or creates a folder and
// queues it. Children are listed with the level the destination path gives (its separators
// minus nBaseDirIndex). Returns the result of the last child or listing; a cancel at once.
int RecoverFolderTree(IFileRecoveryParse& engine, std::deque<__FILE_DATA_RECOVERY__>& queue,
                      int nBaseDirIndex,
                      const std::function<int(_FILE_NODE_*, const std::u16string&)>& saveOne);

// The SaveFileData every engine gives: a file is written by saveOne; a folder is created and
// queued by saveOne, then the tree below it is recovered with RecoverFolderTree. A null path is
// handed to saveOne as an empty one.
int SaveRecordOrTree(IFileRecoveryParse& engine, std::deque<__FILE_DATA_RECOVERY__>& queue,
                     _FILE_NODE_* pNode, const char16_t* pszTargetPath, int nBaseDirIndex,
                     const std::function<int(_FILE_NODE_*, const std::u16string&)>& saveOne);

// Hands a record's bytes to a sink, chunk by chunk; the sink's non-zero answer stops it.
using DATA_SINK = std::function<int(const unsigned char*, uint32_t)>;
// Produces the first u64Want bytes of a record into the sink: 0 or an error code.
using DATA_SOURCE = std::function<int(uint64_t u64Want, const DATA_SINK& sink)>;

// Writes the first u64Size bytes of a record from source into a new file at target (an
// existing file is never written into), reporting progress through report (percent, error).
// Any failure ends the file with its error and one final report, so a file is never reported
// recovered while part of it is missing; what was written stays for the user. A stop answered
// by report is returned as it is, not reported back. 0, errno, the source's error or the answer.
int WriteRecordFile(const std::u16string& target, uint64_t u64Size, const DATA_SOURCE& source,
                    const std::function<int(int nPercent, int nError)>& report);

// The preview every engine gives: a picture goes whole to "tmp." + extension in the scan-log
// root (its path written into pszTmpPath, nBufLen 0), anything else fills pBuf with up to
// nBufLen bytes. Ends with cb(100, result); a failed temporary file is removed.
int PreviewRecord(const _FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                  unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx,
                  const DATA_SOURCE& source);
