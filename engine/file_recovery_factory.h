// Turns a volume into a ready engine: reads the volume's first 16 KiB, recognises its file
// system and builds the engine that fits it and the kind of scan asked for.
//
//   recognised   RECOVERY_TYPE_FAST      any other type
//   NTFS         CFastNtfsRecovery       CProfessionalRecovery
//   FAT12/16/32  CFastFatRecovery        CProfessionalRecovery
//   exFAT        CFastExfatRecovery      CProfessionalRecovery
//   Ext          CFastExtRecovery        CProfessionalRecovery
//   nothing      null                    CProfessionalRecovery
//
// The tests run in that order; the first that says yes wins. The engine's Init has been
// called (its result is not reported); the caller owns the engine and deletes it through
// IFileRecoveryParse. The factory keeps no state and may be called from any thread.
#pragma once

#include <cstdint>

#include "foundation/recovery_parse.h"

class CFileRecoveryFactory {
public:
    static CFileRecoveryFactory* GetInstance();

    // The volume of llSectorCount 512-byte sectors at llStartSector of disk nDisk (the disk
    // table). Null when the disk cannot be opened or its first 16 KiB cannot be read, or when
    // nothing is recognised and a quick engine was asked for.
    IFileRecoveryParse* CreateFileRecoveryInstance(int nDisk, long long llStartSector,
                                                   long long llSectorCount, char16_t wcDriveLetter,
                                                   RECOVERY_TYPE type);
    // The device or image named by path, from its first byte.
    IFileRecoveryParse* CreateFileRecoveryInstance(const char16_t* pszDevicePath,
                                                   char16_t wcDriveLetter, RECOVERY_TYPE type);

    // The name of the file system the engines recognise at byte offset u64Offset of the device
    // or image ("NTFS", "FAT", "exFAT", "Ext"), or "" when none is recognised there.
    static const char* NameFileSystem(const char* pszDevicePath, uint64_t u64Offset);

private:
    CFileRecoveryFactory() = default;
};
