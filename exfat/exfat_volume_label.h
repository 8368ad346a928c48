// The name an exFAT volume was given: the volume-label entry of its root folder.
#pragma once

#include <cstddef>
#include <string>

class CFastExfatRecovery;

// The label of the root folder's volume-label entry among the entries at pEntries (up to 11
// UTF-16 units, as UTF-8); "" when the entry says the volume has none, or none comes before
// the end mark.
std::string ExfatRootFolderLabel(const unsigned char* pEntries, size_t nBytes);

// The label of the volume the engine is bound to; "" when it has none or the root folder
// cannot be read.
std::string ExfatVolumeLabel(CFastExfatRecovery& volume);
