#include "foundation/file_node.h"

#include <strings.h>

#include <cstring>

namespace {
// szFileName is filled by parsers from disk data; a record whose name lost its terminator
// must still compare without reading past the field.
int CompareNames(const char (&a)[256], const char (&b)[256]) {
    return strncasecmp(a, b, sizeof a);
}
}  // namespace

bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b) {
    const bool aDir = a.bIsDir != 0;
    const bool bDir = b.bIsDir != 0;
    if (aDir != bDir) return !aDir;
    return CompareNames(a.szFileName, b.szFileName) < 0;
}
