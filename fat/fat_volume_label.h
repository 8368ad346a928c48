// The name a FAT volume was given: the volume-label entry of its root folder, which is what
// the volume shows once renamed, else the copy its boot sector keeps. Formatters write
// "NO NAME" for a volume without one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class CFastFatRecovery;

// The label of the first live volume-label entry among the root folder's entries (the end
// mark ends the search); "" when there is none or it reads "NO NAME". UTF-8, decoded from the
// OEM code page, trailing spaces dropped.
std::string FatRootFolderLabel(const unsigned char* pEntries, size_t nBytes);

// The boot sector's label field, where the extended boot signature says there is one
// (offset 0x2B on FAT12/16, 0x47 on FAT32); "" otherwise or for "NO NAME".
std::string FatBootSectorLabel(const unsigned char* pBoot, size_t nBytes, bool bFat32);

// The label of the volume the engine is bound to: the root folder's entry, else the boot
// sector's field; "" when neither names it.
std::string FatVolumeLabel(CFastFatRecovery& volume);
