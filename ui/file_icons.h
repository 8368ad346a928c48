// Which picture of ":/image/FileIcon/" stands for a file extension in the result tree and
// table: the default picture of the extension's category, unless the extension has its own.
#pragma once

#include <string>

// The 65 names that have a picture of their own, in table order.
extern const char* const kFileIconNames[65];

// The resource path for an extension (any case, without the dot; may be empty).
std::string GetExtendNameIcon(const char* pszExt);
