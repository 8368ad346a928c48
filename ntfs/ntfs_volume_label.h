// The name an NTFS volume was given: the $VOLUME_NAME attribute of $Volume (record 3 of the
// master file table).
#pragma once

#include <cstddef>
#include <string>

class CFastNtfsRecovery;

// The label a fixed-up FILE record holds in its resident $VOLUME_NAME (UTF-16, no
// terminator), as UTF-8; "" when the record has none or it does not lie inside the record.
std::string NtfsVolumeNameOfRecord(const unsigned char* pRecord, size_t nBytes);

// The label of the volume the engine is bound to; "" when it has none or $Volume cannot be
// read.
std::string NtfsVolumeLabel(CFastNtfsRecovery& volume);
