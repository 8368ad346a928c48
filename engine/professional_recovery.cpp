#include "engine/professional_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "carving/file_type_judge.h"
#include "carving/file_type_recovery.h"
#include "carving/format_family.h"
#include "exfat/professional_exfat_recovery.h"
#include "fat/professional_fat_recovery.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/read_ahead.h"
#include "foundation/recognisers.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "store/log_file_manager.h"

namespace {

constexpr int kRecordWindowBytes = 8192;
constexpr unsigned int kEstimateIntervalMs = 5000;

std::string ExtensionOf(const char* pszName) {
    char ext[256] = {};
    return GetExtendName(pszName, ext, sizeof ext) == 0 ? std::string(ext) : std::string();
}

// Remembers whether the user cancelled while the quick engine ran, so that a cancel can be
// told from a quick engine that failed on a damaged volume.
struct QuickCallbackRelay {
    SCAN_CALLBACK target = nullptr;
    void* context = nullptr;
    bool cancelled = false;

    static int Forward(void* ctx, int nPercent, int nWeight, int nSecondsLeft, uint64_t current,
                       uint64_t total, uint64_t files, const char16_t* text) {
        auto* relay = static_cast<QuickCallbackRelay*>(ctx);
        const int answer = relay->target(relay->context, nPercent, nWeight, nSecondsLeft, current,
                                         total, files, text);
        if (answer != 0) relay->cancelled = true;
        return CancelOf(answer);
    }
};

std::string LogFileName(const char* pszDir, const char* pszPrefix) {
    char name[512] = {};
    CLogFileManager::GetInstance()->GetLogFileNameByFileType(pszDir, pszPrefix, name, sizeof name);
    return name;
}

}  // namespace

// Where the pass stands: the current free run (volume-relative), the offset within it and
// the counts reported to the user and saved in the checkpoint.
struct CProfessionalRecovery::PassState {
    uint64_t u64RangeStart = 0;
    uint64_t u64RangeLength = 0;
    uint64_t u64RangeOffset = 0;
    uint64_t u64Scanned = 0;
    uint64_t u64Total = 0;
    uint64_t u64FilesFound = 0;
    int nSecondsLeft = -1;
    unsigned int uStartTick = 0;
    unsigned int uLastEstimateTick = 0;
    int nResult = 0;
    unsigned uDeadChunksInARow = 0;  // chunks of which not one sector could be read
    int nDeviceGone = 0;             // the error that said the device is gone, ending the pass
    std::vector<unsigned char> chunk;
};

namespace {

// Errors that say the device itself is gone (a card pulled out, a disk that dropped off the
// bus): no later read can succeed, so the pass ends instead of failing on every chunk.
bool IsDeviceGone(int nError) {
    return nError == ENODEV || nError == ENXIO || nError == ENOMEDIUM;
}

// After this many chunks in a row without one readable sector, a failing chunk is passed over
// whole instead of being read again sector by sector: on a disk that stopped answering, a
// retry of every sector would cost a failed read (and often a timeout) per sector.
constexpr unsigned kDeadChunksBeforeSkipping = 16;

}  // namespace

CProfessionalRecovery::CProfessionalRecovery(std::unique_ptr<IFileRecoveryParse> pQuickEngine)
    : m_pDeepFat(std::make_unique<CProfessionalFatRecovery>()),
      m_pDeepNtfs(std::make_unique<CProfessionalNtfsRecovery>()),
      m_pDeepExfat(std::make_unique<CProfessionalExfatRecovery>()),
      m_pCarving(std::make_unique<CFileTypeRecovery>()),
      m_pQuickEngine(std::move(pQuickEngine)) {}

CProfessionalRecovery::~CProfessionalRecovery() = default;

int CProfessionalRecovery::Init(int nDisk, long long llStartSector, long long llSectorCount,
                                char16_t wcDriveLetter) {
    m_nDiskNumber = nDisk;
    m_llStartSector = llStartSector;
    m_llSectorCount = llSectorCount;
    m_wcDriveLetter = wcDriveLetter;
    m_strDevicePath.clear();
    m_diskReader.Init(nDisk, static_cast<uint64_t>(llStartSector + llSectorCount));
    std::memset(&m_logInfo, 0, sizeof m_logInfo);
    m_bFoundLog = CLogFileManager::GetInstance()->LoadRecoveryLogInfo(
        GetDiskPath(nDisk).c_str(), nDisk, static_cast<uint64_t>(llStartSector),
        static_cast<uint64_t>(llSectorCount), &m_logInfo);
    m_pDeepFat->Init(nDisk, llStartSector, llSectorCount, wcDriveLetter);
    m_pDeepExfat->Init(nDisk, llStartSector, llSectorCount, wcDriveLetter);
    return m_pDeepNtfs->Init(nDisk, llStartSector, llSectorCount, wcDriveLetter);
}

// A volume opened by path resumes the checkpoint of that path while the volume's fingerprint
// (its first and last MiB among others) says it still holds what was scanned.
int CProfessionalRecovery::Init(const char16_t* pszDevicePath, char16_t wcDriveLetter) {
    if (pszDevicePath == nullptr) return RESULT_INVALID_ARGUMENT;
    uint64_t bytes = 0;
    if (const int opened = GetDeviceSizeByPath(WideToUtf8(pszDevicePath).c_str(), bytes))
        return opened;
    m_nDiskNumber = kPathDiskNumber;
    m_llStartSector = 0;
    m_llSectorCount = static_cast<long long>(bytes / static_cast<uint64_t>(m_nBytesPerSector));
    m_wcDriveLetter = wcDriveLetter;
    m_strDevicePath = pszDevicePath;
    m_diskReader.Init(pszDevicePath, static_cast<uint64_t>(m_llSectorCount));
    std::memset(&m_logInfo, 0, sizeof m_logInfo);
    m_bFoundLog = CLogFileManager::GetInstance()->LoadRecoveryLogInfo(
        WideToUtf8(pszDevicePath).c_str(), kPathDiskNumber, 0,
        static_cast<uint64_t>(m_llSectorCount), &m_logInfo);
    m_pDeepFat->Init(pszDevicePath, wcDriveLetter);
    m_pDeepExfat->Init(pszDevicePath, wcDriveLetter);
    return m_pDeepNtfs->Init(pszDevicePath, wcDriveLetter);
}

int CProfessionalRecovery::InitCallBack(SCAN_CALLBACK scanCb, RECOVERY_CALLBACK recoveryCb,
                                        void* ctx, int) {
    m_scanCallback = scanCb;
    m_recoveryCallback = recoveryCb;
    m_pCallbackContext = ctx;
    m_nWeight = 90;
    if (m_pQuickEngine) m_pQuickEngine->InitCallBack(scanCb, recoveryCb, ctx, 9);
    m_pDeepFat->InitCallBack(scanCb, recoveryCb, ctx, 90);
    m_pDeepNtfs->InitCallBack(scanCb, recoveryCb, ctx, 90);
    m_pDeepExfat->InitCallBack(scanCb, recoveryCb, ctx, 90);
    m_pCarving->InitCallBack(scanCb, recoveryCb, ctx, 90);
    return 0;
}

bool CProfessionalRecovery::SawDamage() const {
    return m_pQuickEngine && m_pQuickEngine->SawDamage();
}

int CProfessionalRecovery::SetNotLoadLogFile() {
    if (!m_bFoundLog) return 0;
    m_bFoundLog = 0;
    const int result = CLogFileManager::GetInstance()->DeleteLogFileDir(m_logInfo.szLogDirPath);
    std::memset(&m_logInfo, 0, sizeof m_logInfo);
    return result;
}

// A quick engine that fails on a damaged volume does not stop the deep scan, which exists
// for exactly such volumes; only the user's cancel does. 0, or the cancelling answer.
int CProfessionalRecovery::RunQuickEngine(bool bResumed, bool& bHasFreeMap) {
    bHasFreeMap = false;
    if (!m_pQuickEngine) return 0;
    QuickCallbackRelay relay{m_scanCallback, m_pCallbackContext, false};
    m_pQuickEngine->InitCallBack(m_scanCallback != nullptr ? QuickCallbackRelay::Forward : nullptr,
                                 m_recoveryCallback, &relay, 9);
    bHasFreeMap = m_pQuickEngine->BuildBitMapInfo() == 0;
    const std::string name = bResumed ? LogFileName(m_logInfo.szLogDirPath, kFastLogPrefix) : "";
    const std::u16string wideName = Utf8ToWide(name.c_str());
    const int result = m_pQuickEngine->ScanDevice(bResumed ? wideName.c_str() : nullptr);
    m_pQuickEngine->InitCallBack(m_scanCallback, m_recoveryCallback, m_pCallbackContext, 9);
    if (result != 0 && relay.cancelled) return result;
    if (result != 0) {
        DebugLog("quick scan failed %d, scanning the whole volume\n", result);
        bHasFreeMap = false;
    }
    // On a damaged volume the folders the walk could not reach lie in space the map calls
    // allocated; only a pass over everything can find their directory sectors.
    if (bHasFreeMap && m_pQuickEngine->SawDamage()) {
        DebugLog("the file system is damaged, scanning the whole volume\n");
        bHasFreeMap = false;
    }
    return 0;
}

void CProfessionalRecovery::OpenParserStores(bool bResumed) {
    const uint64_t limit = static_cast<uint64_t>(m_llStartSector + m_llSectorCount);
    if (!bResumed) {
        if (m_strDevicePath.empty()) {
            m_pCarving->Init(m_nDiskNumber, m_llStartSector, m_llSectorCount, m_wcDriveLetter);
        } else {
            m_pCarving->Init(m_strDevicePath.c_str(), m_wcDriveLetter);
        }
        m_pDeepFat->ClearProfessionalVec(nullptr);
        m_pDeepNtfs->InitProfessionalScan(nullptr);
        m_pDeepExfat->BeginPass(nullptr);
        return;
    }
    const char* dir = m_logInfo.szLogDirPath;
    const std::u16string carved = Utf8ToWide(LogFileName(dir, kFileTypeLogPrefix).c_str());
    if (m_strDevicePath.empty()) {
        m_pCarving->InitLogFile(carved.c_str(), m_wcDriveLetter, m_nDiskNumber, m_nBytesPerSector,
                                limit);
    } else {
        m_pCarving->InitLogFile(carved.c_str(), m_wcDriveLetter, m_strDevicePath.c_str(),
                                m_nBytesPerSector, limit);
    }
    m_pDeepFat->ClearProfessionalVec(
        Utf8ToWide(LogFileName(dir, kProFatLogPrefix).c_str()).c_str());
    m_pDeepNtfs->InitProfessionalScan(
        Utf8ToWide(LogFileName(dir, kProNtfsLogPrefix).c_str()).c_str());
    // What the exFAT parser found before the interruption waited for the end of the pass and
    // was never kept: it starts afresh.
    m_pDeepExfat->BeginPass(nullptr);
}

uint64_t CProfessionalRecovery::CountSectorsToScan(bool bHasFreeMap) {
    if (!bHasFreeMap) return static_cast<uint64_t>(m_llSectorCount);
    uint64_t total = 0;
    unsigned long long start = 0, count = 1;
    // Each run starts at or after the end of the previous one, so the walk ends within
    // the volume's sector count of steps.
    for (uint64_t steps = 0; steps <= static_cast<uint64_t>(m_llSectorCount); ++steps) {
        m_pQuickEngine->GetUnUsedSectorCount(start, count);
        if (count == 0) break;
        total += count;
        start += count;
    }
    return total;
}

int CProfessionalRecovery::ScanDevice(const char16_t*) {
    CLogFileManager* logs = CLogFileManager::GetInstance();
    const bool resumed = m_bFoundLog != 0;
    if (!resumed) logs->AddDirIndex();
    bool hasFreeMap = false;
    PassState pass;
    pass.nResult = RunQuickEngine(resumed, hasFreeMap);
    if (pass.nResult != 0) {
        if (!resumed) logs->ReduceDirIndex();
        m_strDevicePath.clear();
        return pass.nResult;
    }
    OpenParserStores(resumed);
    if (!m_pCarving->HasStore()) {
        // Nothing the pass finds could be kept: say so instead of an empty success.
        DebugLog("no store for the pass: the scan folder cannot be written\n");
        if (!resumed) logs->ReduceDirIndex();
        m_strDevicePath.clear();
        return RESULT_NO_STORE;
    }
    DebugLog("InitVirtualDbrInfo Start\n");
    m_pDeepFat->InitVirtualDbrInfo();
    m_pCarving->ClearTsFileRanges();
    pass.u64Total = CountSectorsToScan(hasFreeMap);
    if (hasFreeMap) {
        unsigned long long start = 0, count = 1;
        m_pQuickEngine->GetUnUsedSectorCount(start, count);
        pass.u64RangeStart = start;
        pass.u64RangeLength = count;
    } else {
        pass.u64RangeLength = static_cast<uint64_t>(m_llSectorCount);
    }
    if (resumed) {
        pass.u64RangeStart = m_logInfo.u64RangeStart;
        pass.u64RangeLength = m_logInfo.u64RangeLength;
        pass.u64RangeOffset = std::min(m_logInfo.u64RangeOffset, m_logInfo.u64RangeLength);
        pass.u64Scanned = m_logInfo.u64ScannedSectors;
    }
    pass.uStartTick = pass.uLastEstimateTick = rsb_getTickCount();
    pass.nResult = WalkRanges(pass, hasFreeMap);
    m_pDeepFat->DealProfessionalRecordVec();
    m_pDeepNtfs->ParseProfessionalRecordVec();
    m_pDeepExfat->EndPass();
    pass.chunk.clear();
    pass.chunk.shrink_to_fit();
    if (pass.nResult == 0 && m_scanCallback != nullptr) {
        pass.nResult = CancelOf(m_scanCallback(m_pCallbackContext, 100, 100, 0, 0, 0, 0, nullptr));
    }
    SaveCheckpoint(pass);
    m_strDevicePath.clear();
    return pass.nResult;
}

int CProfessionalRecovery::WalkRanges(PassState& pass, bool bHasFreeMap) {
    const auto base = static_cast<uint64_t>(m_llStartSector);
    // The free runs after the first come from the quick engine's map (pure lookups in memory),
    // asked for on the reading thread as it gets there.
    IFileRecoveryParse* quick = bHasFreeMap ? m_pQuickEngine.get() : nullptr;
    auto nextRun = [quick, base](const SectorRun& after, SectorRun& next) {
        if (quick == nullptr) return false;
        const uint64_t end = after.u64Start - base + after.u64Count;
        unsigned long long start = end, count = 1;
        quick->GetUnUsedSectorCount(start, count);
        if (count == 0 || start < end) return false;
        next = {base + start, count};
        return true;
    };
    CReadAhead ahead(m_diskReader, m_nBytesPerSector,
                     static_cast<uint32_t>(kBlockBytes / m_nBytesPerSector), kBlocksAhead,
                     m_bReadAhead);
    const int started =
        ahead.Start({base + pass.u64RangeStart, pass.u64RangeLength}, pass.u64RangeOffset, nextRun);
    if (started != 0) return started;
    ReadBlock block;
    while (ahead.Next(block)) {
        if (block.run.u64Start != base + pass.u64RangeStart) {  // the next free run
            pass.u64RangeStart = block.run.u64Start - base;
            pass.u64RangeLength = block.run.u64Count;
            pass.u64RangeOffset = 0;
        }
        // An item that ran past its block has consumed the sectors up to the offset.
        if (pass.u64RangeOffset >= block.u64RunOffset + block.uSectors) continue;
        const int parsed = ParseBlock(pass, block);
        ahead.Release();
        if (pass.nDeviceGone != 0) return pass.nDeviceGone;
        if (parsed == ERROR_USER_CANCEL) return parsed;
        const int answer = ReportPass(pass);
        if (answer != 0) return answer;
    }
    return 0;
}

void CProfessionalRecovery::Step(PassState& pass, uint64_t nSectors, uint64_t u64Overrun) {
    const uint64_t remaining = pass.u64RangeLength - pass.u64RangeOffset;
    pass.u64Scanned += std::min<uint64_t>(nSectors + u64Overrun, remaining);
    pass.u64RangeOffset += nSectors + u64Overrun;
}

int CProfessionalRecovery::ParseBlock(PassState& pass, const ReadBlock& block) {
    const int bps = m_nBytesPerSector;
    const uint64_t skip = pass.u64RangeOffset - block.u64RunOffset;
    const uint64_t first = block.run.u64Start + pass.u64RangeOffset;
    const auto n = static_cast<int>(block.uSectors - skip);
    if (block.nResult == 0) {
        pass.uDeadChunksInARow = 0;
        uint64_t overrun = 0;
        const int parsed = ParseProfessionalFileInfo(
            block.pData + skip * static_cast<uint64_t>(bps), n * bps, first, pass.u64Scanned,
            pass.u64Total, pass.nSecondsLeft, overrun, pass.u64FilesFound);
        Step(pass, static_cast<uint64_t>(n), overrun);
        return parsed == ERROR_USER_CANCEL ? parsed : 0;
    }
    // Read again chunk by chunk, as far as the block goes.
    if (pass.chunk.size() < static_cast<size_t>(kChunkBytes)) pass.chunk.assign(kChunkBytes, 0);
    const uint64_t blockEnd = block.u64RunOffset + block.uSectors;
    const int sectorsPerChunk = kChunkBytes / bps;
    while (pass.u64RangeOffset < blockEnd) {
        const int k =
            static_cast<int>(std::min<uint64_t>(sectorsPerChunk, blockEnd - pass.u64RangeOffset));
        uint64_t overrun = 0;
        const int parsed = ParseChunk(pass, block.run.u64Start + pass.u64RangeOffset, k, overrun);
        if (pass.nDeviceGone != 0) return 0;
        Step(pass, static_cast<uint64_t>(k), overrun);
        if (parsed == ERROR_USER_CANCEL) return parsed;
    }
    return 0;
}

// Reads one chunk and parses it. A chunk the device refuses is read again sector by sector
// so that one bad sector costs only itself, and each readable stretch is parsed on its own.
int CProfessionalRecovery::ParseChunk(PassState& pass, uint64_t u64Sector, int nSectors,
                                      uint64_t& u64Overrun) {
    const int bps = m_nBytesPerSector;
    unsigned int got = 0;
    const int result = m_diskReader.ReadData(pass.chunk.data(), nSectors, u64Sector, bps, &got);
    if (result == 0) {
        pass.uDeadChunksInARow = 0;
        return ParseProfessionalFileInfo(pass.chunk.data(), nSectors * bps, u64Sector,
                                         pass.u64Scanned, pass.u64Total, pass.nSecondsLeft,
                                         u64Overrun, pass.u64FilesFound);
    }
    if (NoteDeviceGone(pass, u64Sector)) return 0;
    if (pass.uDeadChunksInARow >= kDeadChunksBeforeSkipping) {
        // Deep in a dead stretch only the chunk's last sector is tried: when it reads, the
        // stretch ends within this chunk and its sectors are worth trying one by one.
        unsigned int one = 0;
        const uint64_t last = u64Sector + uint64_t(nSectors) - 1;
        if (m_diskReader.ReadData(pass.chunk.data(), 1, last, bps, &one) != 0) {
            NoteDeviceGone(pass, last);
            return 0;
        }
    }
    int first = -1;
    bool anyGood = false;
    for (int k = 0; k <= nSectors; ++k) {
        bool good = false;
        if (k < nSectors) {
            unsigned int one = 0;
            good = m_diskReader.ReadData(pass.chunk.data() + size_t(k) * bps, 1, u64Sector + k, bps,
                                         &one) == 0;
            anyGood = anyGood || good;
            if (!good && NoteDeviceGone(pass, u64Sector + k)) return 0;
        }
        if (good && first < 0) first = k;
        if (!good && first >= 0) {
            uint64_t overrun = 0;
            const int answer = ParseProfessionalFileInfo(
                pass.chunk.data() + size_t(first) * bps, (k - first) * bps, u64Sector + first,
                pass.u64Scanned, pass.u64Total, pass.nSecondsLeft, overrun, pass.u64FilesFound);
            if (answer == ERROR_USER_CANCEL) return answer;
            if (k == nSectors) u64Overrun = overrun;
            first = -1;
        }
    }
    pass.uDeadChunksInARow = anyGood ? 0 : pass.uDeadChunksInARow + 1;
    return 0;
}

bool CProfessionalRecovery::NoteDeviceGone(PassState& pass, uint64_t u64Sector) {
    const int error = m_diskReader.GetLastReadError();
    if (!IsDeviceGone(error)) return false;
    DebugLog("the device is gone at sector %llu (%d)\n", static_cast<unsigned long long>(u64Sector),
             error);
    pass.nDeviceGone = error;
    return true;
}

int CProfessionalRecovery::ReportPass(PassState& pass) {
    const unsigned int now = rsb_getTickCount();
    if (static_cast<int>(now - pass.uLastEstimateTick) >= static_cast<int>(kEstimateIntervalMs)) {
        pass.uLastEstimateTick = now;
        const uint64_t elapsed = static_cast<unsigned int>(now - pass.uStartTick) / 1000;
        uint64_t speed = elapsed != 0 ? uint64_t(m_nBytesPerSector) * pass.u64Scanned / elapsed : 0;
        if (speed == 0) speed = 1;
        const uint64_t left = pass.u64Total > pass.u64Scanned ? pass.u64Total - pass.u64Scanned : 0;
        pass.nSecondsLeft =
            static_cast<int>(std::min<uint64_t>(left * m_nBytesPerSector / speed, 0x7FFFFFFF));
    }
    if (m_scanCallback == nullptr) return 0;
    const uint64_t total = pass.u64Total != 0 ? pass.u64Total : 1;
    const int percent =
        static_cast<int>(std::min<uint64_t>(pass.u64Scanned, total) * 100 / total) + 10;
    return CancelOf(m_scanCallback(m_pCallbackContext, percent, 90, pass.nSecondsLeft,
                                   pass.u64Scanned, pass.u64Total, GetLostFileCount(), nullptr));
}

void CProfessionalRecovery::SaveCheckpoint(const PassState& pass) {
    CLogFileManager* logs = CLogFileManager::GetInstance();
    char dir[4096] = {};
    if (m_bFoundLog) {
        std::snprintf(dir, sizeof dir, "%s", m_logInfo.szLogDirPath);
    } else if (logs->GetLogFileDirPath(dir, sizeof dir) != 0) {
        return;
    }
    const std::string device = m_strDevicePath.empty() ? GetDiskPath(m_nDiskNumber) : "";
    logs->SaveLogFileInfo(device.c_str(), m_nDiskNumber, static_cast<uint64_t>(m_llStartSector),
                          static_cast<uint64_t>(m_llSectorCount), pass.u64RangeStart,
                          pass.u64RangeLength, pass.u64RangeOffset, pass.u64Scanned,
                          GetLostFileCount(), dir, WideToUtf8(m_strDevicePath).c_str());
}

int CProfessionalRecovery::ParseProfessionalFileInfo(const unsigned char* pChunk, int nBytes,
                                                     uint64_t u64FirstSector, uint64_t u64Scanned,
                                                     uint64_t u64Total, int nSecondsLeft,
                                                     uint64_t& u64Overrun,
                                                     uint64_t& u64FilesFound) {
    const int bps = m_nBytesPerSector;
    const int recordBytes = bps <= 512 ? 2 * bps : bps;
    std::vector<unsigned char> window;
    long long left = nBytes;
    uint64_t k = 0;
    int result = 0;
    u64Overrun = 0;
    while (left >= bps) {
        const unsigned char* sector = pChunk + k * uint64_t(bps);
        const uint64_t absolute = u64FirstSector + k;
        uint64_t consumed = 1;
        if (std::memcmp(sector, "FILE", 4) == 0 &&
            (recordBytes <= left ? IsNtfsFileRecord(sector, recordBytes)
                                 : ReadRecordWindow(absolute, recordBytes, window) &&
                                       IsNtfsFileRecord(window.data(), recordBytes))) {
            if (recordBytes <= left) {
                result = m_pDeepNtfs->ParseNtfsFileRecord(sector, static_cast<int>(left), absolute);
            } else {
                result = m_pDeepNtfs->ParseNtfsFileRecord(
                    window.data(), static_cast<int>(window.size()), absolute);
            }
        } else if (IsFatFileRecord(sector, static_cast<size_t>(bps))) {
            result = m_pDeepFat->ParseFatFileRecord(sector, absolute);
        } else if (IsFatFDTRecord(sector, bps)) {
            result = m_pDeepFat->ParseFDTFileRecord(sector, absolute);
        } else if (MayBeExfatDirectorySector(sector[0]) &&
                   IsExfatDirectorySector(sector, static_cast<size_t>(bps))) {
            m_pDeepExfat->ParseDirectorySector(sector, absolute);
        } else if (sector[0] == 0xEB && IsExfatBootSector(sector, static_cast<size_t>(bps))) {
            m_pDeepExfat->ParseBootSector(absolute);
        } else {
            result =
                m_pCarving->ParseFileBuf(sector, bps, absolute, u64Scanned, u64Total, nSecondsLeft,
                                         &m_diskReader, bps, consumed, u64FilesFound);
            if (result == ERROR_USER_CANCEL) return result;
            if (consumed == 0) consumed = 1;
        }
        k += consumed;
        left -= static_cast<long long>(std::min<uint64_t>(consumed, uint64_t(1) << 40)) * bps;
    }
    if (left < 0) u64Overrun = static_cast<uint64_t>(-left) / static_cast<uint64_t>(bps);
    return result;
}

bool CProfessionalRecovery::ReadRecordWindow(uint64_t u64Sector, int nRecordBytes,
                                             std::vector<unsigned char>& window) {
    window.assign(kRecordWindowBytes, 0);
    unsigned int got = 0;
    const int sectors = kRecordWindowBytes / m_nBytesPerSector;
    m_diskReader.ReadData(window.data(), sectors, u64Sector, m_nBytesPerSector, &got);
    window.resize(size_t(got) * m_nBytesPerSector);
    return window.size() >= static_cast<size_t>(nRecordBytes);
}

IFileRecoveryParse* CProfessionalRecovery::RouteOf(const _FILE_NODE_& node) const {
    switch (node.nFileSource) {
        case FILE_SOURCE_FAST_NTFS:
        case FILE_SOURCE_FAST_FAT:
        case FILE_SOURCE_FAST_EXFAT:
            return m_pQuickEngine.get();
        case FILE_SOURCE_PRO_NTFS:
            return m_pDeepNtfs.get();
        case FILE_SOURCE_PRO_FAT:
            return m_pDeepFat.get();
        case FILE_SOURCE_PRO_EXFAT:
            return m_pDeepExfat.get();
        case FILE_SOURCE_FILE_TYPE:
            return m_pCarving.get();
        default:
            return nullptr;
    }
}

std::vector<IFileRecoveryParse*> CProfessionalRecovery::Parsers() const {
    std::vector<IFileRecoveryParse*> parsers;
    if (m_pQuickEngine) parsers.push_back(m_pQuickEngine.get());
    parsers.push_back(m_pDeepFat.get());
    parsers.push_back(m_pDeepNtfs.get());
    parsers.push_back(m_pDeepExfat.get());
    parsers.push_back(m_pCarving.get());
    return parsers;
}

int CProfessionalRecovery::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                               std::vector<_FILE_NODE_>& out) {
    if (pParent == nullptr && uDirIndex != 0) return RESULT_INVALID_ARGUMENT;
    int result = 0;
    if (pParent == nullptr) {
        for (IFileRecoveryParse* parser : Parsers()) parser->GetChildrenFileNode(nullptr, 0, out);
    } else if (pParent->nFileSource != FILE_SOURCE_FILE_TYPE) {
        IFileRecoveryParse* route = RouteOf(*pParent);
        if (route != nullptr) result = route->GetChildrenFileNode(pParent, uDirIndex, out);
    }
    std::sort(out.begin(), out.end(), VectorCmp);
    return result;
}

int CProfessionalRecovery::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int uDirIndex,
                                                unsigned int& count) {
    if (pParent == nullptr && uDirIndex != 0) return RESULT_INVALID_ARGUMENT;
    std::vector<IFileRecoveryParse*> parsers;
    if (pParent == nullptr) {
        parsers = Parsers();
    } else if (pParent->nFileSource != FILE_SOURCE_FILE_TYPE && RouteOf(*pParent) != nullptr) {
        parsers.push_back(RouteOf(*pParent));
    }
    for (IFileRecoveryParse* parser : parsers) {
        unsigned int part = 0;
        parser->GetChildrenFileCount(pParent, uDirIndex, part);
        count += part;
    }
    return 0;
}

unsigned int CProfessionalRecovery::GetLostFileCount() {
    unsigned int total = 0;
    for (IFileRecoveryParse* parser : Parsers()) total += parser->GetLostFileCount();
    return total;
}

int CProfessionalRecovery::GetFileNodeParentDirPath(_FILE_NODE_* pNode, char16_t* pszPath,
                                                    int nMaxChars) {
    if (pNode == nullptr) return RESULT_INVALID_ARGUMENT;
    if (pNode->nFileSource == FILE_SOURCE_FILE_TYPE) return 0;
    IFileRecoveryParse* route = RouteOf(*pNode);
    return route != nullptr ? route->GetFileNodeParentDirPath(pNode, pszPath, nMaxChars) : 0;
}

int CProfessionalRecovery::SaveFileData(_FILE_NODE_* pNode, const char16_t* pszTargetPath,
                                        int nBaseDirIndex) {
    if (pNode == nullptr) return RESULT_INVALID_ARGUMENT;
    IFileRecoveryParse* route = RouteOf(*pNode);
    return route != nullptr ? route->SaveFileData(pNode, pszTargetPath, nBaseDirIndex) : 0;
}

int CProfessionalRecovery::PreView(_FILE_NODE_* pNode, char16_t* pszTmpPath, int nTmpPathChars,
                                   unsigned char* pBuf, int& nBufLen, PREVIEW_CALLBACK cb,
                                   void* ctx) {
    if (pNode == nullptr) return RESULT_INVALID_ARGUMENT;
    IFileRecoveryParse* route = RouteOf(*pNode);
    if (route == nullptr) return 0;
    return route->PreView(pNode, pszTmpPath, nTmpPathChars, pBuf, nBufLen, cb, ctx);
}

int CProfessionalRecovery::GetUnUsedSectorCount(unsigned long long&, unsigned long long& llCount) {
    llCount = 0;
    return 0;
}

int CProfessionalRecovery::InitSearchCallBack(SEARCH_CALLBACK cb, void* ctx) {
    m_searchCallback = cb;
    m_pSearchContext = ctx;
    for (IFileRecoveryParse* parser : Parsers()) parser->InitSearchCallBack(cb, ctx);
    return 0;
}

int CProfessionalRecovery::GetFileDataStartSectorMap(const _FILE_NODE_& node,
                                                     std::map<uint64_t, std::string>& map) {
    const uint64_t bps = static_cast<uint64_t>(m_nBytesPerSector);
    if (node.nFileSource == FILE_SOURCE_FAST_NTFS || node.nFileSource == FILE_SOURCE_PRO_NTFS) {
        std::vector<__RUNLIST__> runs;
        if (m_pDeepNtfs->GetRunListInfo(node.u64RecordSector, 0x80, runs) != 0 || runs.empty()) {
            return 0;
        }
        const int64_t cluster = runs.front().offset;
        if (cluster <= 0) return 0;
        map[uint64_t{node.uClusterBytes} * static_cast<uint64_t>(cluster) / bps +
            node.u64VolumeStartSector] = ExtensionOf(node.szFileName);
    } else if (node.nFileSource == FILE_SOURCE_FAST_FAT ||
               node.nFileSource == FILE_SOURCE_PRO_FAT ||
               node.nFileSource == FILE_SOURCE_FAST_EXFAT ||
               node.nFileSource == FILE_SOURCE_PRO_EXFAT) {
        if (node.uClusterNO < 2) return 0;  // an empty file has no data to be carved again
        map[node.u64DataStartSector + node.u64VolumeStartSector +
            uint64_t{node.uClusterNO - 2} * (node.uClusterBytes / bps)] =
            ExtensionOf(node.szFileName);
    }
    return 0;
}

namespace {
bool IsEmptyFile(const _FILE_NODE_& node) {
    return node.bIsDir == 0 && node.u64FileSize == 0;
}

std::string NameOf(const _FILE_NODE_& node) {
    return std::string(node.szFileName, strnlen(node.szFileName, sizeof node.szFileName));
}

// True when the extension stored for a start sector names the same kind of file as ext.
bool SameKindAt(const std::map<uint64_t, std::string>& starts, uint64_t u64Sector,
                const std::string& ext) {
    const auto it = starts.find(u64Sector);
    if (it == starts.end()) return false;
    return carving::SameFormatFamily(ext, it->second);
}
}  // namespace

// The quick engine's results first, then the deep parsers', then the carved files. A later
// result that starts where an earlier one starts, with the same kind of data, is the same
// file found again and is dropped: the deep parsers re-read the folders of a volume the
// quick engine has already listed, and carving finds the data of files both still name.
int CProfessionalRecovery::SearchFileNode(const char16_t* pszKey,
                                          std::vector<__SEARCH_FILE_INFO__>& out) {
    std::map<uint64_t, std::string> starts;
    // An empty file has no data to be found at: a deep parser's empty file of a name already
    // listed is that file seen again (in a lost copy of its folder).
    std::set<std::string> emptyNames;
    std::vector<__SEARCH_FILE_INFO__> found;
    if (m_pQuickEngine) m_pQuickEngine->SearchFileNode(pszKey, found);
    for (const __SEARCH_FILE_INFO__& file : found) {
        GetFileDataStartSectorMap(file, starts);
        if (IsEmptyFile(file)) emptyNames.insert(NameOf(file));
    }
    out.insert(out.end(), found.begin(), found.end());
    for (IFileRecoveryParse* deep : {static_cast<IFileRecoveryParse*>(m_pDeepFat.get()),
                                     static_cast<IFileRecoveryParse*>(m_pDeepNtfs.get()),
                                     static_cast<IFileRecoveryParse*>(m_pDeepExfat.get())}) {
        found.clear();
        deep->SearchFileNode(pszKey, found);
        for (const __SEARCH_FILE_INFO__& file : found) {
            std::map<uint64_t, std::string> own;
            GetFileDataStartSectorMap(file, own);
            if (!own.empty() && SameKindAt(starts, own.begin()->first, own.begin()->second)) {
                continue;
            }
            if (IsEmptyFile(file) && !emptyNames.insert(NameOf(file)).second) continue;
            starts.insert(own.begin(), own.end());
            out.push_back(file);
        }
    }
    found.clear();
    m_pCarving->SearchFileNode(pszKey, found);
    for (const __SEARCH_FILE_INFO__& file : found) {
        if (SameKindAt(starts, file.u64RecordSector, ExtensionOf(file.szFileName))) continue;
        out.push_back(file);
    }
    std::sort(out.begin(), out.end(), SearchVectorCmp);
    return 0;
}
