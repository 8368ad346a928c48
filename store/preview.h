// The preview every engine gives of a record: a picture goes whole to the temporary file
// "tmp." + extension in the scan-log root, whose path is handed back; anything else fills the
// caller's buffer with the first bytes of the file.
#pragma once

#include "foundation/file_node.h"
#include "store/file_writer.h"

// A picture is written to the temporary file (any old one of that name is removed first, and
// the new one is created O_EXCL | O_NOFOLLOW, so a link planted there is never followed), its
// path written into pszTmpPath (nTmpPathChars units with the terminator) and nBufLen set to 0.
// Anything else fills pBuf with up to nBufLen bytes and nBufLen says how many. Reports progress
// through cb and ends with cb(ctx, 100, result); a non-zero answer cancels. A failed temporary
// file is removed. RESULT_INVALID_ARGUMENT for a null record.
int PreviewRecord(const _FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                  unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb, void* ctx,
                  const DATA_SOURCE& source);
