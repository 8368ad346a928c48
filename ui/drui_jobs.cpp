// The window's jobs: scan, search, preview and recovery, each on a worker thread behind a
// modal SCANUI, and the engine callbacks that turn reports into the window's signals.
#include <sys/stat.h>

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QSettings>
#include <QStackedLayout>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "engine/file_recovery_factory.h"
#include "engine/recovery_job.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/scan_options.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "ui/drui.h"
#include "ui/message_box.h"
#include "ui/my_thread.h"
#include "ui/scanui.h"

namespace {

constexpr int kFinalRecoveryWeight = 1000;  // tells the dialog that the whole job is over

QString WideText(const char16_t* psz) {
    return psz != nullptr ? QString::fromUtf16(psz) : QString();
}

// The checkpoint a scan of the volume left in the scan-log index, or null. Read afresh: the
// command line may have kept or dropped scans since.
const _LOG_FILE_INFO_* KeptScanOf(const _PARTITION_ITEM_& volume) {
    CLogFileManager* logs = CLogFileManager::GetInstance();
    logs->Init();
    const std::string device = GetDiskPath(static_cast<int>(volume.nDiskNumber));
    const uint64_t start = volume.u64StartSector, end = volume.u64EndSector;
    for (const _LOG_FILE_INFO_& info : logs->GetLogFileInfos()) {
        if (device == info.szDevicePath && info.u64StartSector == start &&
            info.u64SectorCount == end + 1 - start)
            return &info;
    }
    return nullptr;
}

}  // namespace

// ---- callbacks (worker thread) ----

int DRUI::ScanCallBack(void* ctx, int nPercent, int nWeight, int nSecondsLeft,
                       uint64_t u64CurrentSector, uint64_t u64TotalSectors, uint64_t u64FilesFound,
                       const char16_t* pszText) {
    auto* window = static_cast<DRUI*>(ctx);
    if (window->m_bStopScan) return 1;
    const uint64_t found = window->m_u64FilesOfEarlierParts + u64FilesFound;
    window->m_u64ScanFilesFound = found;
    // The dialog closes on a finished report: only the last part's may reach it.
    const bool lastPart = window->m_nScanningPart + 1 >= window->m_scanParts.size();
    if (!lastPart && nPercent * nWeight >= 10000) nPercent = 99;
    QString text = WideText(pszText);
    if (!lastPart || window->m_nScanningPart > 0)
        text = window->m_scanParts[window->m_nScanningPart].name + QStringLiteral(": ") + text;
    emit window->ScanProcessCallBack(
        nPercent, nWeight, nSecondsLeft, QString::number(u64CurrentSector),
        QString::number(u64TotalSectors), QString::number(found), text);
    return 0;
}

int DRUI::SearchCallBack(void* ctx, int nPercent, const char16_t* pszText) {
    auto* window = static_cast<DRUI*>(ctx);
    if (window->m_bStopSearch) return 1;
    emit window->SearchCallBack(nPercent, WideText(pszText));
    return 0;
}

int DRUI::RecoveryCallBack(void* ctx, int nPercent, int nWeight, int nError,
                           const char16_t* pszTargetPath) {
    auto* window = static_cast<DRUI*>(ctx);
    if (window->m_bStopRecovery) return ERROR_USER_CANCEL;
    if (nPercent == 100 && pszTargetPath != nullptr) window->m_reportedPaths.insert(pszTargetPath);
    emit window->RecoveryCallBack(nPercent, nWeight, nError, WideText(pszTargetPath));
    return 0;
}

int DRUI::PreViewCallBack(void* ctx, int nPercent, int nError) {
    auto* window = static_cast<DRUI*>(ctx);
    if (window->m_bStopPreview) return 1;
    emit window->PreViewCallBackForSlot(nPercent, nError);
    return 0;
}

// ---- job frame (window thread) ----

void DRUI::ResetJobFlags(int nKind) {
    // Cleared here, before the worker starts, rather than by the worker: a cancel the user
    // confirms in the first moments of a job must not be wiped out by the job's own start.
    switch (nKind) {
        case SCANUI::kJobScan:
            m_bStopScan = false;
            m_bScanEnd = false;
            break;
        case SCANUI::kJobSearch:
            m_bStopSearch = false;
            m_bSearchEnd = false;
            break;
        case SCANUI::kJobPreview:
            m_bStopPreview = false;
            m_bPreviewEnd = false;
            break;
        default:
            m_bStopRecovery = false;
            m_bRecoveryEnd = false;
            break;
    }
}

int DRUI::RunJob(int nKind, void (*pfnJob)(void*, int&), const QString& strSaveDir) {
    if (m_bJobRunning) return EBUSY;  // one job at a time
    m_bJobRunning = true;
    m_pPreviewTimer->stop();
    ResetJobFlags(nKind);
    SCANUI dialog(this);
    dialog.InitSlot(this, nKind);
    if (nKind == SCANUI::kJobRecovery) {
        dialog.SetSaveDir(strSaveDir);
        dialog.SetFileCount(static_cast<int>(m_mapCheckedFileNode.size()));
    }
    dialog.move(geometry().center() - QPoint(dialog.width() / 2, dialog.height() / 2));
    CMyThread thread;
    thread.SetFunc(pfnJob, this);
    connect(&thread, &QThread::finished, &dialog, &SCANUI::JobThreadFinished);
    thread.start(QThread::InheritPriority);
    FollowJobDialog(dialog);
    thread.quit();
    thread.wait();
    m_bJobRunning = false;
    if (m_bQuitAfterJob) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    return thread.Result();
}

namespace {

// Ends a local event loop when the watched dialog is hidden, however it was closed.
class HideWatcher : public QObject {
public:
    explicit HideWatcher(QEventLoop& loop) : m_loop(loop) {}
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Hide) m_loop.quit();
        return QObject::eventFilter(pWatched, pEvent);
    }

private:
    QEventLoop& m_loop;
};

}  // namespace

void DRUI::FollowJobDialog(SCANUI& dialog) {
    // The dialog is not modal, so the title bar's minimise and close stay usable during a job
    // (closing asks the job's question first); the pages wait, disabled, until the job ends.
    QWidget* pages = m_pStack->parentWidget();
    pages->setEnabled(false);
    QEventLoop loop;
    HideWatcher watcher(loop);
    dialog.installEventFilter(&watcher);
    dialog.show();
    if (dialog.isVisible()) loop.exec();
    dialog.removeEventFilter(&watcher);
    pages->setEnabled(true);
}

void DRUI::DeleteEngine() {
    for (ScannedPart& part : m_scanParts) {
        if (part.pEngine == m_pFileRecovery) m_pFileRecovery = nullptr;
        delete part.pEngine;
        part.pEngine = nullptr;
    }
    delete m_pFileRecovery;
    m_pFileRecovery = nullptr;
}

IFileRecoveryParse* DRUI::EngineOf(const _FILE_NODE_& node) const {
    const size_t part = node.wcDriveLetter - uint32_t{u'C'};
    if (part < m_scanParts.size() && m_scanParts[part].pEngine != nullptr)
        return m_scanParts[part].pEngine;
    return m_pFileRecovery;
}

std::u16string DRUI::DestinationOf(const _FILE_NODE_& node, const std::u16string& dest) const {
    const size_t part = node.wcDriveLetter - uint32_t{u'C'};
    if (m_scanParts.size() < 2 || part >= m_scanParts.size()) return dest;
    return dest + u"/" + m_scanParts[part].folder.toStdU16String();
}

// ---- scan and search ----

void DRUI::btnSlotScan() {
    std::vector<ScannedPart> parts = PartsOfItem(m_pDiskTree->currentItem());
    if (parts.empty()) return;
    DeleteEngine();  // the last scan's engines go before the next are built
    m_scanParts = std::move(parts);
    m_partitionItem = m_scanParts.front().item;
    m_bReopenKeptScan = m_scanParts.size() == 1 && AskReopenKeptScan(m_partitionItem);
    m_uSearchMask = TickedTypeMask();
    m_bScanListedPresent = m_pPresentBox->isChecked();
    SetListPresentFiles(m_bScanListedPresent);
    m_u64ScanFilesFound = 0;
    m_nScanResult = RunJob(SCANUI::kJobScan, _ScanProcess);
    m_bScanCancelled = m_bStopScan;
    DebugLog("_ScanProcess end\n");
    if (m_bQuitAfterJob) return;  // the window is closing: no results to show
    RunSearch();                  // also after a cancelled scan: what was found so far is listed
    InitLayout3Widget();
}

void DRUI::_ScanProcess(void* pWindow, int& nResult) {
    auto* window = static_cast<DRUI*>(pWindow);
    const std::u16string device =
        Utf8ToWide(GetDiskPath(static_cast<int>(window->m_partitionItem.nDiskNumber)).c_str());
    window->Scan(device.c_str(), nResult);
}

bool DRUI::AskReopenKeptScan(const _PARTITION_ITEM_& volume) {
    const _LOG_FILE_INFO_* kept = KeptScanOf(volume);
    if (kept == nullptr) return false;
    struct stat st {};
    const QString date = stat(kept->szLogDirPath, &st) == 0
                             ? QDateTime::fromSecsSinceEpoch(st.st_mtime)
                                   .toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                             : QStringLiteral("an unknown date");
    const bool complete = kept->u64RangeOffset >= kept->u64RangeLength;
    CMessageBox question(this);
    question.InitQuestionDialog(
        QStringLiteral("Reopen the last results of this volume (found %1 files on %2, %3)?")
            .arg(kept->u64FilesFound)
            .arg(date, complete ? QStringLiteral("complete") : QStringLiteral("interrupted")));
    question.SetAnswerTexts(complete ? QStringLiteral("Reopen") : QStringLiteral("Continue"),
                            QStringLiteral("Scan again"));
    question.exec();
    return question.GetMessageBoxRet() == 1;
}

int DRUI::ScanPart(ScannedPart& part, char16_t wcDriveLetter) {
    const uint64_t start = part.item.u64StartSector;
    const uint64_t end = part.item.u64EndSector;
    DebugLog("scanning from sector %lld\n", static_cast<long long>(start));
    part.pEngine = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
        static_cast<int>(part.item.nDiskNumber), static_cast<long long>(start),
        static_cast<long long>(end + 1 - start), wcDriveLetter, RECOVERY_TYPE_PROFESSIONAL);
    if (part.pEngine == nullptr) return RESULT_NO_ENGINE;
    if (!m_bReopenKeptScan) part.pEngine->SetNotLoadLogFile();
    part.pEngine->InitCallBack(&DRUI::ScanCallBack,
                               static_cast<RECOVERY_CALLBACK>(&DRUI::RecoveryCallBack), this, 100);
    return part.pEngine->ScanDevice(nullptr);
}

void DRUI::Scan(const char16_t* /*pszDevicePath: the chosen volumes are m_scanParts*/,
                int& nResult) {
    nResult = 0;
    m_u64FilesOfEarlierParts = 0;
    // Part by part, the first failure is the scan's; the other parts are still scanned.
    for (size_t k = 0; k < m_scanParts.size() && !m_bStopScan; ++k) {
        m_nScanningPart = k;
        const int result = ScanPart(m_scanParts[k], static_cast<char16_t>(u'C' + k));
        if (nResult == 0) nResult = result;
        m_u64FilesOfEarlierParts = m_u64ScanFilesFound.load();
    }
    m_pFileRecovery = m_scanParts.empty() ? nullptr : m_scanParts.front().pEngine;
    m_bScanEnd = true;
}

void DRUI::RunSearch() {
    DebugLog("_SearchProcess Start\n");
    RunJob(SCANUI::kJobSearch, _SearchProcess);
    DebugLog("_SearchProcess end\n");
}

void DRUI::_SearchProcess(void* pWindow, int& nResult) {
    auto* window = static_cast<DRUI*>(pWindow);
    window->m_vecSearchFileInfo.clear();
    const std::u16string key = BuildSearchKey(window->m_uSearchMask);
    std::vector<IFileRecoveryParse*> engines;
    for (const ScannedPart& part : window->m_scanParts) engines.push_back(part.pEngine);
    if (engines.empty()) engines.push_back(window->m_pFileRecovery);
    // The parts' files are listed together, each part's after the one before.
    for (IFileRecoveryParse* engine : engines) {
        if (engine == nullptr || window->m_bStopSearch) continue;
        engine->InitSearchCallBack(static_cast<SEARCH_CALLBACK>(&DRUI::SearchCallBack), window);
        std::vector<__SEARCH_FILE_INFO__> found;
        const int result = engine->SearchFileNode(key.c_str(), found);
        if (nResult == 0) nResult = result;
        window->m_vecSearchFileInfo.insert(window->m_vecSearchFileInfo.end(), found.begin(),
                                           found.end());
    }
    window->m_bSearchEnd = true;
    SearchCallBack(window, 100, u"");
}

// ---- preview ----

void DRUI::tableItemClick(QTableWidgetItem* pItem) {
    _FILE_NODE_ node{};
    if (pItem != nullptr && pItem->data(kRecordRole).canConvert<_FILE_NODE_>()) {
        node = pItem->data(kRecordRole).value<_FILE_NODE_>();
    }
    const std::string name(node.szFileName, strnlen(node.szFileName, sizeof node.szFileName));
    m_strPreviewFileName = QString::fromStdU16String(Ansi2Unicode(name.c_str()));
    m_previewFileNode = node;
    RunJob(SCANUI::kJobPreview, _PreviewProcess);
    ShowPreview();
}

void DRUI::_PreviewProcess(void* pWindow, int& nResult) {
    auto* window = static_cast<DRUI*>(pWindow);
    window->m_szPreviewTmpPath[0] = u'\0';
    window->m_nPreviewBufLen = kPreviewSize;
    IFileRecoveryParse* engine = window->EngineOf(window->m_previewFileNode);
    if (engine != nullptr && !window->m_pPreviewBuf.empty()) {
        nResult = engine->PreView(&window->m_previewFileNode, window->m_szPreviewTmpPath,
                                  kPreviewPathUnits, window->m_pPreviewBuf.data(),
                                  window->m_nPreviewBufLen, &DRUI::PreViewCallBack, window);
        window->m_szPreviewTmpPath[kPreviewPathUnits - 1] = u'\0';
    } else {
        window->m_nPreviewBufLen = 0;
    }
    // Whatever the engine said, only the bytes of the buffer can be shown.
    window->m_nPreviewBufLen = std::clamp(window->m_nPreviewBufLen, 0, kPreviewSize);
    window->m_bPreviewEnd = true;
}

// ---- recovery ----

QString DRUI::ChooseSaveDir() {
    if (m_saveDirChooser) return m_saveDirChooser(this);
    // The last destination again, or the user's home the first time.
    QSettings settings(QStringLiteral("ferrowen"), QStringLiteral("ferrowen"));
    const QString start =
        settings.value(QStringLiteral("recovery/lastDestination"), QDir::homePath()).toString();
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Recover to folder"), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks |
            QFileDialog::DontUseNativeDialog);
    if (!chosen.isEmpty()) settings.setValue(QStringLiteral("recovery/lastDestination"), chosen);
    return chosen;
}

void DRUI::btnRecovery() {
    m_pPreviewTimer->stop();
    const QString chosen = ChooseSaveDir();
    if (chosen.isEmpty()) return;
    m_strSaveDir = chosen;
    if (!ConfirmDestination(chosen)) return;
    DebugLog("_RecoveryProcess Start\n");
    RunJob(SCANUI::kJobRecovery, _RecoveryProcess, chosen);
    UntickRecovered();
}

void DRUI::UntickRecovered() {
    // Recovering again writes only what is still missing, never a second copy.
    for (const CheckedKey& key : m_recoveredKeys) m_mapCheckedFileNode.erase(key);
    m_recoveredKeys.clear();
    if (m_pResultTree == nullptr || m_bQuitAfterJob) return;
    RefreshTreeTicks();
    SyncTableTicks();
    UpdateSelectionInfo();
}

bool DRUI::ConfirmDestination(const QString& strDir) {
    const std::string device = GetDiskPath(static_cast<int>(m_partitionItem.nDiskNumber));
    if (device.empty() || IsDestinationOnDevice(strDir.toStdString(), device) == 0) return true;
    CMessageBox question(this);
    question.InitQuestionDialog(
        QStringLiteral("The folder %1 lies on the device being scanned (%2). Writing there can"
                       " overwrite the very files you want back.\nRecover there anyway?")
            .arg(strDir, QString::fromStdString(device)));
    question.exec();
    return question.GetMessageBoxRet() == 1;
}

void DRUI::_RecoveryProcess(void* pWindow, int& nResult) {
    auto* window = static_cast<DRUI*>(pWindow);
    const std::u16string dest = window->m_strSaveDir.toStdU16String();
    unsigned int dirIndex = 0;
    GetPathDirIndex(dest.c_str(), dirIndex);
    window->m_nSaveDirIndex = static_cast<int>(dirIndex);
    window->m_reportedPaths.clear();
    window->m_nRecoveredCount = 0;
    window->m_recoveryFailures.clear();
    window->m_recoveredKeys.clear();

    // One job per engine, made when its first record comes.
    std::map<IFileRecoveryParse*, std::unique_ptr<CRecoveryJob>> jobs;
    if (window->m_pFileRecovery != nullptr) {
        // One record at a time, so that each file's outcome is known: the ticks of the files
        // that came back are cleared afterwards, the others are listed with their reason.
        for (const auto& [key, record] : window->m_mapCheckedFileNode) {
            std::unique_ptr<CRecoveryJob>& job = jobs[window->EngineOf(record)];
            if (job == nullptr) {
                job = std::make_unique<CRecoveryJob>(
                    window->EngineOf(record),
                    static_cast<RECOVERY_CALLBACK>(&DRUI::RecoveryCallBack), window);
                job->Attach();
            }
            nResult = job->Run({record}, window->DestinationOf(record, dest));
            if (nResult == ERROR_USER_CANCEL) break;
            window->NoteRecoveryOutcome(key, record, job->Summary(), nResult);
            if (nResult != 0 && job->Summary().failures.empty()) break;  // unusable destination
        }
    }
    // The final report goes out even after a cancel, so that the dialog can settle.
    emit window->RecoveryCallBack(100, kFinalRecoveryWeight, 0, QString());
    window->m_bStopRecovery = true;
    window->m_bRecoveryEnd = true;
}

void DRUI::NoteRecoveryOutcome(const CheckedKey& key, const _FILE_NODE_& record,
                               const RECOVERY_SUMMARY& summary, int nResult) {
    if (nResult == 0 && summary.uRecovered > 0 && summary.uFailed == 0) {
        ++m_nRecoveredCount;
        m_recoveredKeys.push_back(key);
        return;
    }
    int error = nResult;
    for (const auto& [path, failure] : summary.failures) {
        error = failure;
        // Failures the engine could not report itself (no free name, no folder) reach the
        // detail list here.
        if (m_reportedPaths.count(path) == 0) {
            emit RecoveryCallBack(100, 100, failure, QString::fromStdU16String(path));
        }
    }
    if (summary.failures.empty()) {
        emit RecoveryCallBack(100, 100, error != 0 ? error : EIO, m_strSaveDir);
    }
    const std::string name(record.szFileName, strnlen(record.szFileName, sizeof record.szFileName));
    m_recoveryFailures << QStringLiteral("%1: %2").arg(
        QString::fromStdString(name),
        QString::fromStdString(DescribeResult(error != 0 ? error : EIO)));
}
