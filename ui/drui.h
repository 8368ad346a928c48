// The main window: three pages in a stack.
//   0  file types: which kinds of files the user wants (six boxes and "Recover All")
//   1  devices: disks and partitions from the partition manager; Scan scans the chosen
//      partition, or a whole disk part by part (each partition, then the space outside them)
//   2  results: built after every scan, the found files of the ticked types by category and
//      extension (under each part first, for a whole disk), a sortable table with a filter, a
//      preview, ticks, the selection label and Recover
// The window is resizable down to a size that fits a 1280 x 720 screen at 125 %; Enter presses
// the page's main button and Escape goes back (asking before results are dropped).
//
// Every job (scan, search, preview, recovery) runs on one worker thread (CMyThread) while a
// SCANUI follows it (not modal: the title bar stays usable; the pages are disabled); only the
// worker touches the engine meanwhile. The engine's plain callbacks run on the worker, read the
// job's cancel flag and emit this window's signals, which reach the dialog queued. The flags are
// atomics: the window and the dialog write the cancel flags and read the end flags, the worker the
// reverse.
//
// The window owns the engines of the last scan, one per part scanned, from that scan until the
// next one, Back to the device page, or the window's end. Each part's engine stamps its records
// with its own drive letter (C for the first part, D for the next, ...), which is how a record
// finds its way back to the engine that can read it. The search results, the category maps and
// the ticked set belong to those engines' records.
#pragma once

#include <QByteArray>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "disk/partition_manager.h"
#include "engine/recovery_job.h"
#include "foundation/file_node.h"
#include "foundation/recovery_parse.h"
#include "ui/frameless.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSizeGrip;
class QStackedWidget;
class QStackedLayout;
class QTimer;
class QTableWidget;
class QTableWidgetItem;
class QTreeWidget;
class QTreeWidgetItem;
class QUrl;
class SCANUI;

Q_DECLARE_METATYPE(_FILE_NODE_)
Q_DECLARE_METATYPE(_PARTITION_ITEM_)

// Registers the record types carried in item data under "FILE_NODE" and "PARTITION_ITEM".
void RegisterRecordMetaTypes();

class DRUI : public QWidget {
    Q_OBJECT

public:
    static constexpr int kPreviewSize = 10240;
    static constexpr int kPreviewPathUnits = 1024;
    static constexpr int kRecordRole = Qt::UserRole;    // 32: the record carried by an item
    static constexpr int kDiskRole = Qt::UserRole + 1;  // a disk row's number in the disk table
    // Result tree items under a part of a whole-disk scan, and the part's own: the part's index.
    static constexpr int kPartRole = Qt::UserRole + 3;
    static constexpr int kFolderRole = Qt::UserRole + 4;  // folder view items: the folder's path
    // Fits a 1280 x 720 screen at 125 % scaling (1024 x 576 logical pixels) with room to spare.
    static constexpr int kMinimumWidth = 960;
    static constexpr int kMinimumHeight = 560;

    // The ticked set's key: the record's (uFileIndex << 32) | uClusterNO, then its drive letter
    // and source, so that records of two engines' stores that share index and cluster stay two
    // entries.
    using CheckedKey = std::pair<uint64_t, uint32_t>;
    static CheckedKey KeyOf(const _FILE_NODE_& node);

    // Chooses a folder (recovery destination) or a file (disk image); empty when cancelled.
    using PathChooser = std::function<QString(QWidget* pParent)>;

    explicit DRUI(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~DRUI() override;

    // Second construction step: buffers, the first two pages, the working folders.
    void Init();

    // Test seams for the two file dialogs; the defaults ask the user.
    void SetSaveDirChooser(PathChooser chooser) { m_saveDirChooser = std::move(chooser); }
    void SetDiskImageChooser(PathChooser chooser) { m_diskImageChooser = std::move(chooser); }

    // Appends an image file to the disk table and lists it in the device tree. 0, or an errno
    // value (a message has then been shown): EEXIST when it is listed already, EINVAL when it
    // holds neither a partition table nor a file system the engines know.
    int AddDiskImage(const QString& strPath);

    int CurrentPage() const;
    QTreeWidget* DeviceTree() const { return m_pDiskTree; }
    // Under the device tree: why it is empty; hidden when disks are listed.
    QLabel* NoDiskLabel() const { return m_pNoDiskLabel; }
    QTreeWidget* ResultTree() const { return m_pResultTree; }
    QTableWidget* ResultTable() const { return m_pResultTable; }
    // How many found files the result page lists (those of the ticked types).
    size_t ListedCount() const { return m_nListedCount; }
    QLabel* PreviewLabel() const { return m_pPreviewLabel; }
    QPlainTextEdit* PreviewText() const { return m_pPreviewText; }
    QLineEdit* FilterBox() const { return m_pFilterBox; }
    QLabel* SelectionLabel() const { return m_pSelectLabel; }
    QPushButton* RecoverButton() const { return m_pRecoverButton; }
    // Builds the result page from the given records as if a search had found them.
    void ShowResults(const std::vector<__SEARCH_FILE_INFO__>& records);
    // The ticked file types as FILE_TYPE_* flags.
    uint32_t TickedTypeMask() const;

    // Engine callbacks: ctx is the window.
    static int ScanCallBack(void* ctx, int nPercent, int nWeight, int nSecondsLeft,
                            uint64_t u64CurrentSector, uint64_t u64TotalSectors,
                            uint64_t u64FilesFound, const char16_t* pszText);
    static int SearchCallBack(void* ctx, int nPercent, const char16_t* pszText);
    static int RecoveryCallBack(void* ctx, int nPercent, int nWeight, int nError,
                                const char16_t* pszTargetPath);
    static int PreViewCallBack(void* ctx, int nPercent, int nError);

    // Job entry points, run on the worker thread.
    static void _ScanProcess(void* pWindow, int& nResult);
    static void _SearchProcess(void* pWindow, int& nResult);
    static void _PreviewProcess(void* pWindow, int& nResult);
    static void _RecoveryProcess(void* pWindow, int& nResult);
    void Scan(const char16_t* pszDevicePath, int& nResult);

    // The shown preview, as text, picture or "No preview: <reason>".
    void ShowPreviewOf(const QString& strName, const QByteArray& data, const QString& strPicture);

    // One volume of the last scan: a partition, a disk without partitions, or a stretch of a
    // disk outside its partitions.
    struct ScannedPart {
        QString name;  // "Partition 2", "Space outside the partitions"; the volume's caption
        _PARTITION_ITEM_ item{};
        // Where a whole-disk recovery puts this part's files, as the command line does: "p2",
        // "unpartitioned"; empty when one volume is scanned.
        QString folder;
        IFileRecoveryParse* pEngine = nullptr;  // owned; null before the part is scanned
    };
    // The engine that made the record: the one of its part, else the first part's.
    IFileRecoveryParse* EngineOf(const _FILE_NODE_& node) const;
    // The folder a record is recovered into under dest: dest itself, or its part's folder.
    std::u16string DestinationOf(const _FILE_NODE_& node, const std::u16string& dest) const;

    // Job state. m_pFileRecovery is the first part's engine.
    IFileRecoveryParse* m_pFileRecovery = nullptr;
    std::vector<ScannedPart> m_scanParts;
    std::atomic<size_t> m_nScanningPart{0};
    std::atomic<uint64_t> m_u64FilesOfEarlierParts{0};
    // The user chose to reopen the volume's kept scan: the engine takes it up instead of
    // discarding it (a finished scan is not read again, an interrupted one goes on).
    bool m_bReopenKeptScan = false;
    _PARTITION_ITEM_ m_partitionItem{};
    std::atomic<bool> m_bStopScan{false}, m_bScanEnd{false};
    std::atomic<bool> m_bStopSearch{false}, m_bSearchEnd{false};
    std::atomic<bool> m_bStopRecovery{false}, m_bRecoveryEnd{false};
    std::atomic<bool> m_bStopPreview{false}, m_bPreviewEnd{false};
    int m_nScanResult = 0;
    bool m_bScanCancelled = false;
    bool m_bScanListedPresent = false;  // the scan also listed files that were not deleted
    uint32_t m_uSearchMask = 0;         // the types ticked for the scan; 0 lists every category
    std::atomic<uint64_t> m_u64ScanFilesFound{0};  // the scan's last "files found" report
    // The last recovery: how many of the ticked files came back, and why the others did not.
    int m_nRecoveredCount = 0;
    QStringList m_recoveryFailures;
    std::vector<CheckedKey> m_recoveredKeys;
    std::vector<__SEARCH_FILE_INFO__> m_vecSearchFileInfo;
    std::map<CheckedKey, _FILE_NODE_> m_mapCheckedFileNode;
    QString m_strSaveDir;
    int m_nSaveDirIndex = 0;
    _FILE_NODE_ m_previewFileNode{};
    QString m_strPreviewFileName;
    char16_t m_szPreviewTmpPath[kPreviewPathUnits] = {};
    std::vector<unsigned char> m_pPreviewBuf;
    int m_nPreviewBufLen = 0;

signals:
    void ScanProcessCallBack(int nPercent, int nWeight, int nSecondsLeft, QString strCurrent,
                             QString strTotal, QString strFound, QString strText);
    void RecoveryCallBack(int nPercent, int nWeight, int nError, QString strPath);
    void SearchCallBack(int nPercent, QString strText);
    void PreViewCallBackForSlot(int nPercent, int nError);

public slots:
    void CheckBoxStatChange(int nState);
    void CheckBoxAllStatChange(int nState);
    void btnSlot();
    void diskItemClick(QTreeWidgetItem* pItem, int nColumn);
    void diskItemDoubleClick(QTreeWidgetItem* pItem, int nColumn);
    void btnSlotScan();
    void btnRecovery();
    void btnSlotBack();
    void btnOpenImageSlot();
    void treeItemSelectChanged();
    void treeItemCheckChanged(QTreeWidgetItem* pItem, int nColumn);
    void tableItemPress(int nRow, int nColumn);
    void tableItemSelectChanged();
    void tableItemClick(QTableWidgetItem* pItem);
    void btnHelpSlot();
    void btnSupportSlot();
    void btnAboutSlot();
    void btnCloseSlot();
    void btnMinSlot();

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;

private:
    using CategoryMap = std::map<QString, std::vector<uint32_t>>;  // key -> search result indexes

    // Pages.
    QWidget* BuildTitleBar();
    QWidget* BuildBanner();
    QWidget* InitLayout1Widget();
    QWidget* InitLayout2Widget();
    void CreateDiskTree();
    void ExplainEmptyDiskTree();
    std::vector<ScannedPart> PartsOfItem(QTreeWidgetItem* pItem) const;
    int ScanPart(ScannedPart& part, char16_t wcDriveLetter);
    bool AskReopenKeptScan(const _PARTITION_ITEM_& volume);
    int RefuseDiskImage(const QString& strPath, const QString& strProblem, int nError);
    QString ProblemOfDiskImage(const std::string& path, int& nError) const;
    void InitLayout3Widget();
    void CreateTree();
    void FillResultTree();

    void FitToScreen();
    void OpenOrExplain(const QUrl& url, const QString& strWhat);
    SCANUI* RunningJobDialog() const;
    QPushButton* MainButtonOfPage() const;
    bool AskYesNo(const QString& strQuestion);
    bool ConfirmDiscardResults();
    void PlaceTitleBarLastInTabOrder(QWidget* pLastOfPage);

    // Jobs.
    int RunJob(int nKind, void (*pfnJob)(void*, int&), const QString& strSaveDir = QString());
    void FollowJobDialog(SCANUI& dialog);
    void ResetJobFlags(int nKind);
    void RunSearch();
    void RecoverTicked();
    QString ChooseSaveDir();
    void UntickRecovered();
    void NoteRecoveryOutcome(const CheckedKey& key, const _FILE_NODE_& record,
                             const RECOVERY_SUMMARY& summary, int nResult);
    bool ConfirmDestination(const QString& strDir);
    void DeleteEngine();

    // Result browsing.
    void UpdateTreeInfo(QTreeWidgetItem* pItem);
    void FillTable(const std::vector<uint32_t>& indexes);
    void AddTableRow(int nRow, const _FILE_NODE_& node);
    std::vector<uint32_t> RecordsOfItem(QTreeWidgetItem* pItem) const;
    // The category and extension items, under pParent (or at the top), of part nPart's files
    // (every file when nPart is -1).
    void AddCategoryItems(QTreeWidgetItem* pParent, int nPart);
    // The folder view: the folders of part nPart's listed files under pParent (or at the top).
    using FolderKey = std::pair<int, QString>;  // part, '/'-separated folder path
    void AddFolderItems(QTreeWidgetItem* pParent, int nPart);
    void IndexFolders();
    void FindDeletedFolders();
    QString FolderItemText(const FolderKey& key, size_t nFiles) const;
    std::vector<uint32_t> RecordsOfFolderItem(QTreeWidgetItem* pItem) const;
    // The files an item holds itself, not through its children.
    std::vector<uint32_t> OwnRecordsOfItem(QTreeWidgetItem* pItem) const;
    void ShowView(bool bFolders);
    void ShowPresentFiles(bool bShow);
    std::vector<uint32_t> RecordsOfPart(const std::vector<uint32_t>& indexes, int nPart) const;
    std::pair<size_t, size_t> RefreshTicksUnder(QTreeWidgetItem* pItem);
    QString OriginalFolderOf(const _FILE_NODE_& node) const;
    bool CategoryWanted(FileCategory category) const;
    void ApplyFilter();
    QString ResultHeadline() const;
    QWidget* BuildPreviewArea(QWidget* pPage);
    void RefreshTreeTicks();
    void SyncTableTicks();
    void TickRecords(const std::vector<uint32_t>& indexes, bool bTick);
    void FitPreviewPicture();
    void ShowNoPreview(const QString& strReason);
    void SchedulePreview();
    void PreviewPending();
    void UpdateSelectionInfo();
    void ShowPreview();

    QStackedLayout* m_pStack = nullptr;
    QWidget* m_pResultPage = nullptr;
    QCheckBox* m_pTypeBoxes[6] = {};  // Photo, Music, Video, Document, Archive, Other
    QCheckBox* m_pAllBox = nullptr;
    QCheckBox* m_pPresentBox = nullptr;      // type page: also list files that were not deleted
    QCheckBox* m_pShowPresentBox = nullptr;  // result page: show them
    bool m_bMixedState = false;  // Recover All is partly ticked because the boxes differ
    QPushButton* m_pStartButton = nullptr;
    QPushButton* m_pScanButton = nullptr;
    QTreeWidget* m_pDiskTree = nullptr;
    QLabel* m_pNoDiskLabel = nullptr;
    QTreeWidget* m_pResultTree = nullptr;
    QTableWidget* m_pResultTable = nullptr;
    QStackedWidget* m_pPreviewStack = nullptr;
    QLabel* m_pPreviewLabel = nullptr;         // pictures and "No preview: ..."
    QPlainTextEdit* m_pPreviewText = nullptr;  // text, wrapped at words
    QPixmap m_previewPicture;                  // the unscaled picture, fitted on resizes
    QLineEdit* m_pFilterBox = nullptr;
    QSizeGrip* m_pSizeGrip = nullptr;
    bool m_bQuitAfterJob = false;  // the user closed the window during a job and confirmed
    QLabel* m_pSelectLabel = nullptr;
    QPushButton* m_pRecoverButton = nullptr;
    QTreeWidgetItem* m_pCurTreeItem = nullptr;
    CategoryMap m_categoryMaps[6];  // Photo, Music, Office, Video, Archive, Other
    bool m_bFolderView = false;     // the tree shows folders rather than categories
    bool m_bFoldersIndexed = false;
    std::map<FolderKey, std::vector<uint32_t>> m_folderFiles;  // a folder's listed files
    std::set<FolderKey> m_deletedFolders;
    class QTabBar* m_pViewTabs = nullptr;
    size_t m_nListedCount = 0;
    bool m_bUpdatingTree = false;  // ticks set by the window itself, not by the user
    bool m_bUpdatingTable = false;
    bool m_bIgnoreTreeSelection = false;
    bool m_bJobRunning = false;  // one job at a time: the engine serves one thread
    QTimer* m_pPreviewTimer = nullptr;
    std::set<std::u16string> m_reportedPaths;  // recovery: files the engine reported finished
    PathChooser m_saveDirChooser;
    PathChooser m_diskImageChooser;
    CFramelessMover m_mover;
};
