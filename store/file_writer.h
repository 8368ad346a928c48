// Writing recovered files safely: whole writes, destination folders that may exist already,
// names read from disk made into safe, free path components, and the one writer of a record's
// bytes, which never writes into a file that is already there.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Writes all n bytes at the descriptor's position, or at offset when it is not negative,
// retrying partial and interrupted writes. 0 or errno.
int WriteAll(int fd, const void* p, size_t n, off_t offset = -1);

// Creates a destination folder (0755, through its UTF-8 path), or accepts one that exists
// already as a folder. 0 or errno.
int MakeTargetFolder(const std::u16string& path);

// A record name used as one path component of a destination: it never climbs out of the
// folder or names a sub-folder, and holds no control character ('_' instead), whatever the
// name read from disk holds.
std::u16string SafeFileNameComponent(const char* pszName);

// The path a child named pszName (from disk) gets inside folder: the name made a safe path
// component, then made free there. 0, or the error of GetRealFileName.
int FreeChildPath(const std::u16string& folder, const char* pszName, std::u16string& out);

inline int PercentOf(uint64_t done, uint64_t total) {
    return total == 0 ? 100 : static_cast<int>(done * 100 / total);
}

// Hands a record's bytes to a sink, chunk by chunk; the sink's non-zero answer stops it.
using DATA_SINK = std::function<int(const unsigned char*, uint32_t)>;
// Produces the first u64Want bytes of a record into the sink: 0, an error, or the sink's answer.
using DATA_SOURCE = std::function<int(uint64_t u64Want, const DATA_SINK& sink)>;

// Writes the first u64Size bytes of a record from source into a new file at target, and
// reports progress through report (percent, error). The bytes go to a hidden working file
// beside target (".<name>.partial", opened O_EXCL | O_NOFOLLOW so that neither an existing file
// nor a link is ever written through), which takes the final name only when it is complete
// and only if no file took that name meanwhile. Any failure ends the file with its error and
// one final report, and removes the working file (or, when SetKeepPartialFiles asked for it,
// leaves it as "<target>.partial"): no file stays under a final name unless it is whole. A
// non-zero answer of report cancels: it is not reported back, and ERROR_USER_CANCEL is
// returned. Otherwise 0, errno, or the source's error.
void SetKeepPartialFiles(bool bKeep);
int WriteRecordFile(const std::u16string& target, uint64_t u64Size, const DATA_SOURCE& source,
                    const std::function<int(int nPercent, int nError)>& report);
