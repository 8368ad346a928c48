// The deep scan: one engine that runs the volume's quick engine first, then reads the free
// sectors once (the whole volume when no free-space map exists) in large blocks read ahead on a
// thread of their own while the previous block is parsed, handing
// FAT directory sectors to the deep FAT parser, NTFS FILE records to the deep NTFS parser and
// every other sector to the carving engine, and checkpoints the pass so that a later scan of
// the same volume can resume. Afterwards it presents one merged tree and one merged search in
// which carved files that the file systems still name are dropped.
//
// Every per-record operation is routed by the record's nFileSource: 0 and 1 to the quick
// engine, 2 to the deep NTFS parser, 3 to the deep FAT parser, 4 to the carving engine, 5 to the
// quick engine, 6 to the deep exFAT parser.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/disk_reader.h"
#include "foundation/recovery_parse.h"
#include "store/log_file_manager.h"

class CProfessionalExfatRecovery;
class CProfessionalFatRecovery;
class CProfessionalNtfsRecovery;
class CFileTypeRecovery;
struct ReadBlock;

class CProfessionalRecovery : public IFileRecoveryParse {
public:
    // A block the device refused is read again in chunks of this size, and a chunk it refuses
    // sector by sector, so that one bad sector costs only itself.
    static constexpr int kChunkBytes = 65536;
    // The pass reads blocks of this size, this many ahead of the parsing.
    static constexpr int kBlockBytes = 1 << 20;
    static constexpr unsigned kBlocksAhead = 3;
    static constexpr int kPathDiskNumber = 128;  // disk number of a volume opened by path

    // pQuickEngine: the volume's quick engine, bound to the same volume (null when the file
    // system is not recognised); the coordinator owns it from here on.
    explicit CProfessionalRecovery(std::unique_ptr<IFileRecoveryParse> pQuickEngine);
    ~CProfessionalRecovery() override;
    CProfessionalRecovery(const CProfessionalRecovery&) = delete;
    CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

    int Init(int nDisk, long long llStartSector, long long llSectorCount,
             char16_t wcDriveLetter) override;
    int Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) override;
    int InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb, void* ctx,
                     int nWeight) override;
    int ScanDevice(const char16_t* pszLogName) override;
    int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int uDirIndex,
                            std::vector<_FILE_NODE_>& out) override;
    int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int uDirIndex,
                             unsigned int& count) override;
    unsigned int GetLostFileCount() override;
    int GetFileNodeParentDirPath(_FILE_NODE_* pNode, char16_t* pszPath, int nMaxChars) override;
    int SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath, int nBaseDirIndex) override;
    int GetUnUsedSectorCount(unsigned long long& llStart, unsigned long long& llCount) override;
    int InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) override;
    int SearchFileNode(const char16_t* pszKey, std::vector<__SEARCH_FILE_INFO__>& out) override;
    int BuildBitMapInfo() override { return 0; }
    int PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars, unsigned char* pBuf,
                int& nBufLen, PREVIEW_CALLBACK cb, void* ctx) override;

    int IsFindLogFile() const override { return m_bFoundLog; }
    int SetNotLoadLogFile() override;
    // Whether the quick engine met damaged structures (the pass then read the whole volume).
    bool SawDamage() const override;

    // Hands each sector of one chunk to the parser it belongs to. u64Overrun receives how
    // many sectors the chunk's last item runs past the chunk's end.
    int ParseProfessionalFileInfo(const unsigned char* pChunk, int nBytes, uint64_t u64FirstSector,
                                  uint64_t u64Scanned, uint64_t u64Total, int nSecondsLeft,
                                  uint64_t& u64Overrun, uint64_t& u64FilesFound);
    // Adds the record's first data sector and extension, for dropping duplicate carvings.
    int GetFileDataStartSectorMap(const _FILE_NODE_& node, std::map<uint64_t, std::string>& map);

    IFileRecoveryParse* GetQuickEngine() const { return m_pQuickEngine.get(); }
    // Whether the pass reads ahead on a second thread (the default) or reads each block when
    // it is parsed; both see the same sectors in the same order and find the same files.
    void SetReadAhead(bool bReadAhead) { m_bReadAhead = bReadAhead; }

private:
    struct PassState;

    int InitParsers(bool bByPath, const char16_t* pszPath);
    int RunQuickEngine(bool bResumed, bool& bHasFreeMap);
    void OpenParserStores(bool bResumed);
    uint64_t CountSectorsToScan(bool bHasFreeMap);
    int WalkRanges(PassState& pass, bool bHasFreeMap);
    // Parses one block from the sector the pass stands at; a block that did not read whole is
    // read again chunk by chunk. 0 or ERROR_USER_CANCEL.
    int ParseBlock(PassState& pass, const ReadBlock& block);
    int ParseChunk(PassState& pass, uint64_t u64Sector, int nSectors, uint64_t& u64Overrun);
    // Moves the pass on by nSectors parsed plus the overrun of the last item parsed.
    static void Step(PassState& pass, uint64_t nSectors, uint64_t u64Overrun);
    // True (and the pass marked to end) when the reader's last failure says the device is gone.
    bool NoteDeviceGone(PassState& pass, uint64_t u64Sector);
    // Reads the 8 KiB from u64Sector into window; true when a whole record of
    // nRecordBytes arrived.
    bool ReadRecordWindow(uint64_t u64Sector, int nRecordBytes, std::vector<unsigned char>& window);
    int ReportPass(PassState& pass);
    void SaveCheckpoint(const PassState& pass);
    IFileRecoveryParse* RouteOf(const _FILE_NODE_& node) const;
    // The quick engine (when there is one), the deep FAT, NTFS and exFAT parsers and the carving
    // engine, in the order their results are merged.
    std::vector<IFileRecoveryParse*> Parsers() const;

    int m_nDevice = -1;
    char16_t m_wcDriveLetter = u'C';
    int m_nBytesPerSector = 512;
    int m_nDiskNumber = 0;
    long long m_llStartSector = 0;
    long long m_llSectorCount = 0;
    CDiskReader m_diskReader;
    std::unique_ptr<CProfessionalFatRecovery> m_pDeepFat;
    std::unique_ptr<CProfessionalNtfsRecovery> m_pDeepNtfs;
    std::unique_ptr<CProfessionalExfatRecovery> m_pDeepExfat;
    std::unique_ptr<CFileTypeRecovery> m_pCarving;
    std::unique_ptr<IFileRecoveryParse> m_pQuickEngine;
    int m_nWeight = 90;
    SCAN_CALLBACK m_scanCallback = nullptr;
    RECOVERY_CALLBACK m_recoveryCallback = nullptr;
    SEARCH_CALLBACK m_searchCallback = nullptr;
    void* m_pSearchContext = nullptr;
    void* m_pCallbackContext = nullptr;
    int m_bFoundLog = 0;
    _LOG_FILE_INFO_ m_logInfo{};
    std::u16string m_strDevicePath;
    bool m_bReadAhead = true;
};
