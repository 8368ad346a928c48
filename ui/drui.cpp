// The window itself: construction, the title bar, the file-type and device pages, the
// window buttons. Jobs are in drui_jobs.cpp, the result page in drui_results.cpp.
#include "ui/drui.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaType>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSizeGrip>
#include <QStackedLayout>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "engine/device_description.h"
#include "engine/file_recovery_factory.h"
#include "engine/recovery_job.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/text.h"
#include "store/log_file_manager.h"
#include "ui/desktop.h"
#include "ui/message_box.h"
#include "ui/scanui.h"
#include "ui/style.h"

namespace {

constexpr int kWindowWidth = 1000;  // the first size, when the screen has room for it
constexpr int kWindowHeight = 680;
constexpr int kDiskItemHeight = 30;
constexpr int kPreviewDelayMs = 250;
// On a disk row: whether a partition table lists its volumes.
constexpr int kPartitionedRole = Qt::UserRole + 2;

struct TypeBoxSpec {
    const char* text;
    const char* icon;
    const char* tile;  // background of the box's tile
    uint32_t flag;
};

// In the order of m_pTypeBoxes.
const TypeBoxSpec kTypeBoxes[6] = {
    {"Photo", ":/image/photo.png", "rgb(180, 160, 200)", FILE_TYPE_PHOTO},
    {"Music", ":/image/music.png", "rgb(250, 181, 160)", FILE_TYPE_MUSIC},
    {"Video", ":/image/video.png", "rgb(152, 215, 245)", FILE_TYPE_VIDEO},
    {"Document", ":/image/document.png", "rgb(255, 181, 197)", FILE_TYPE_DOCUMENT},
    {"Archive", ":/image/archive.png", "rgb(255, 205, 75)", FILE_TYPE_ARCHIVE},
    {"Other", ":/image/other.png", "rgb(162, 218, 85)", FILE_TYPE_OTHER},
};

QPushButton* MakeButton(const QString& text, const char* objectName, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

// The page's main button (Start, Scan, Recover) stands out, and looks off when disabled.
QPushButton* MakePrimaryButton(const QString& text, const char* objectName, QWidget* parent) {
    QPushButton* button = MakeButton(text, objectName, parent);
    button->setProperty("primary", true);
    return button;
}

QTreeWidgetItem* MakeDiskItem(const QString& name, const QString& size, const char* icon) {
    auto* item = new QTreeWidgetItem({name, size});
    item->setIcon(0, QIcon(QString::fromLatin1(icon)));
    item->setSizeHint(0, QSize(0, kDiskItemHeight));
    return item;
}

// A disk without a partition table or a file system the engines know (a wiped card) is still
// offered as one volume spanning the whole disk, so that it can be searched by content.
VolumeDescription WholeDiskVolume(const DiskDescription& disk) {
    VolumeDescription volume;
    volume.sectorCount = disk.bytes / 512;
    volume.item = WholeDiskItem(disk.number, disk.path, volume.sectorCount);
    return volume;
}

// A drive is named by its model and its device path (two cards of one model differ only by
// the path); an image by its file name, its full path being in the row's tooltip.
QString DiskCaption(const DiskDescription& disk) {
    std::string caption = disk.name;
    if (!disk.image && caption != disk.path) caption += "  " + disk.path;
    if (disk.removable) caption += "  removable";
    return QString::fromStdString(caption);
}

QString SizeText(uint64_t u64Bytes) {
    return QString::fromStdString(GetFileSizeString(static_cast<long long>(u64Bytes)));
}

bool HoldsPartitions(const QTreeWidgetItem* pItem) {
    return pItem->data(0, kPartitionedRole).toBool();
}

// What a part of a whole-disk scan is called on the result page.
QString PartName(const DiskPart& part, int nStretches) {
    if (part.number > 0) return QStringLiteral("Partition %1").arg(part.number);
    const QString name = QStringLiteral("Space outside the partitions");
    if (nStretches < 2) return name;
    const uint64_t start = part.item.u64StartSector, end = part.item.u64EndSector;
    return name + QStringLiteral(" (sectors %1-%2)").arg(start).arg(end);
}

// Whether the file at path is something the engines can read as a disk: a partition table, or
// a file system at its start.
bool HoldsADisk(int fd, const std::string& path) {
    CPartitionManager manager;
    std::vector<_PARTITION_ITEM_> partitions;
    // Listed under a disk number no disk table uses: the image is not in the table yet.
    const bool listsPartitions = manager.ListDiskPartitions(fd, CPartitionManager::kMaxDisks - 1,
                                                            path.c_str(), partitions) > 0;
    if (listsPartitions) return true;
    return CFileRecoveryFactory::NameFileSystem(path.c_str(), 0)[0] != '\0';
}

}  // namespace

void RegisterRecordMetaTypes() {
    qRegisterMetaType<_FILE_NODE_>("FILE_NODE");
    qRegisterMetaType<_PARTITION_ITEM_>("PARTITION_ITEM");
}

DRUI::CheckedKey DRUI::KeyOf(const _FILE_NODE_& node) {
    return {(static_cast<uint64_t>(node.uFileIndex) << 32) | node.uClusterNO,
            (node.wcDriveLetter << 16) | node.nFileSource};
}

DRUI::DRUI(QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags | Qt::FramelessWindowHint | Qt::Window) {
    RegisterRecordMetaTypes();
    setObjectName(QStringLiteral("DRUI"));
    setWindowTitle(QStringLiteral("Ferrowen"));
    setWindowIcon(QIcon(QStringLiteral(":/image/logo.png")));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kWindowWidth, kWindowHeight);
    setFont(ferrowen_style::TextFont());
    setStyleSheet(
        QStringLiteral("QWidget#DRUI { background-color: %1; }"
                       "QLabel#banner { background-color: %2; color: rgb(40, 60, 80); }"
                       "QWidget#titleBar { background-color: %3; }"
                       "QWidget#titleBar QLabel { color: white; }"
                       "QWidget#titleBar QPushButton { background: transparent;"
                       " color: white; min-width: 0px; padding: 4px 10px; }"
                       "QWidget#titleBar QPushButton:hover { background-color:"
                       " rgb(96, 134, 161); }")
            .arg(ferrowen_style::kSurface, ferrowen_style::kBanner, ferrowen_style::kTitleBand) +
        ferrowen_style::ButtonSheet());
    m_pPreviewTimer = new QTimer(this);
    m_pPreviewTimer->setSingleShot(true);
    m_pPreviewTimer->setInterval(kPreviewDelayMs);
    connect(m_pPreviewTimer, &QTimer::timeout, this, &DRUI::PreviewPending);
}

DRUI::~DRUI() {
    DeleteEngine();
}

void DRUI::Init() {
    m_pPreviewBuf.assign(kPreviewSize, 0);
    m_nPreviewBufLen = 0;

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    auto* pages = new QWidget(this);
    m_pStack = new QStackedLayout(pages);
    m_pStack->addWidget(InitLayout1Widget());
    m_pStack->addWidget(InitLayout2Widget());
    m_pStack->setCurrentIndex(0);
    // Built after the pages so that Tab reaches the page's controls before the title bar's.
    root->addWidget(BuildTitleBar());
    root->addWidget(pages, 1);
    // Without a frame from the window manager, the corner grip is the way to resize.
    m_pSizeGrip = new QSizeGrip(this);
    m_pSizeGrip->resize(16, 16);
    m_pSizeGrip->raise();
    FitToScreen();

    // Where result stores, scan logs and preview files live; it may exist already.
    const std::string logRoot = GetScanLogRootPath();
    if (!logRoot.empty()) MakeFolderPath(logRoot);
}

int DRUI::CurrentPage() const {
    return m_pStack != nullptr ? m_pStack->currentIndex() : -1;
}

QWidget* DRUI::BuildTitleBar() {
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("titleBar"));
    bar->setAttribute(Qt::WA_StyledBackground);
    bar->setFixedHeight(40);
    auto* logo = new QLabel(bar);
    logo->setPixmap(QPixmap(QStringLiteral(":/image/logo.png"))
                        .scaled(26, 26, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    auto* name = new QLabel(QStringLiteral("Ferrowen"), bar);
    name->setFont(ferrowen_style::TextFont(13));
    auto* help = MakeButton(QStringLiteral("Help"), "btnHelp", bar);
    auto* support = MakeButton(QStringLiteral("Support"), "btnSupport", bar);
    auto* about = MakeButton(QStringLiteral("About"), "btnAbout", bar);
    auto* minimise = MakeButton(QStringLiteral("\u2013"), "btnMin", bar);
    auto* closeButton = MakeButton(QStringLiteral("\u2715"), "btnClose", bar);
    connect(help, &QPushButton::clicked, this, &DRUI::btnHelpSlot);
    connect(support, &QPushButton::clicked, this, &DRUI::btnSupportSlot);
    connect(about, &QPushButton::clicked, this, &DRUI::btnAboutSlot);
    connect(minimise, &QPushButton::clicked, this, &DRUI::btnMinSlot);
    connect(closeButton, &QPushButton::clicked, this, &DRUI::btnCloseSlot);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(10, 0, 4, 0);
    layout->addWidget(logo);
    layout->addWidget(name);
    layout->addStretch();
    for (QPushButton* button : {help, support, about, minimise, closeButton}) {
        layout->addWidget(button);
    }
    return bar;
}

QWidget* DRUI::BuildBanner() {
    auto* banner =
        new QLabel(QStringLiteral("\tFerrowen\nRecover photos, videos, audios, documents, emails,"
                                  " archives"));
    banner->setObjectName(QStringLiteral("banner"));
    banner->setFont(ferrowen_style::TextFont(14));
    banner->setFixedHeight(80);
    banner->setContentsMargins(24, 0, 0, 0);
    return banner;
}

QWidget* DRUI::InitLayout1Widget() {
    auto* page = new QWidget(this);
    auto* grid = new QGridLayout;
    grid->setSpacing(18);
    for (int i = 0; i < 6; ++i) {
        auto* tile = new QFrame(page);
        tile->setObjectName(QStringLiteral("tile%1").arg(i));
        tile->setStyleSheet(QStringLiteral("QFrame#tile%1 { background-color: %2;"
                                           " border-radius: 10px; }")
                                .arg(i)
                                .arg(QString::fromLatin1(kTypeBoxes[i].tile)));
        tile->setMinimumSize(200, 96);
        tile->setMaximumHeight(150);  // wider windows widen the tiles; taller ones add space
        tile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        auto* box = new QCheckBox(QString::fromLatin1(kTypeBoxes[i].text), tile);
        box->setObjectName(
            QStringLiteral("typeBox%1").arg(QString::fromLatin1(kTypeBoxes[i].text)));
        box->setIcon(QIcon(QString::fromLatin1(kTypeBoxes[i].icon)));
        box->setIconSize(QSize(56, 56));
        box->setFont(ferrowen_style::TextFont(14));
        box->setChecked(true);
        connect(box, &QCheckBox::stateChanged, this, &DRUI::CheckBoxStatChange);
        m_pTypeBoxes[i] = box;
        auto* tileLayout = new QHBoxLayout(tile);
        tileLayout->setContentsMargins(20, 0, 10, 0);
        tileLayout->addWidget(box);
        grid->addWidget(tile, i / 3, i % 3);
    }
    m_pAllBox = new QCheckBox(QStringLiteral(" Recover All"), page);
    m_pAllBox->setObjectName(QStringLiteral("recoverAllBox"));
    m_pAllBox->setTristate(true);
    m_pAllBox->setCheckState(Qt::Checked);
    connect(m_pAllBox, &QCheckBox::stateChanged, this, &DRUI::CheckBoxAllStatChange);
    m_pPresentBox = new QCheckBox(QStringLiteral("Also list files that were not deleted"), page);
    m_pPresentBox->setObjectName(QStringLiteral("presentFilesBox"));
    m_pPresentBox->setToolTip(QStringLiteral(
        "Lists the files the disk still shows too, to copy them off a failing disk"));
    m_pStartButton = MakePrimaryButton(QStringLiteral("Start"), "btnStart", page);
    m_pStartButton->setEnabled(true);
    connect(m_pStartButton, &QPushButton::clicked, this, &DRUI::btnSlot);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_pAllBox);
    bottom->addSpacing(24);
    bottom->addWidget(m_pPresentBox);
    bottom->addStretch();
    bottom->addWidget(m_pStartButton);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(60, 30, 60, 30);
    body->addLayout(grid);
    body->addStretch(1);
    body->addLayout(bottom);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(BuildBanner());
    layout->addLayout(body, 1);
    return page;
}

QWidget* DRUI::InitLayout2Widget() {
    auto* page = new QWidget(this);
    auto* text = new QLabel(
        QStringLiteral("Select Media For Recovery\nPlease select a storage device below to scan"
                       " for photos, audios, videos, documents, emails, etc."),
        page);
    text->setObjectName(QStringLiteral("deviceText"));
    m_pDiskTree = new QTreeWidget(page);
    m_pDiskTree->setObjectName(QStringLiteral("deviceTree"));
    m_pDiskTree->setColumnCount(2);
    m_pDiskTree->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size")});
    m_pDiskTree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_pDiskTree->header()->setStretchLastSection(false);
    m_pDiskTree->setIconSize(QSize(24, 24));
    m_pNoDiskLabel = new QLabel(page);
    m_pNoDiskLabel->setObjectName(QStringLiteral("noDiskText"));
    m_pNoDiskLabel->setWordWrap(true);
    connect(m_pDiskTree, &QTreeWidget::itemClicked, this, &DRUI::diskItemClick);
    connect(m_pDiskTree, &QTreeWidget::itemDoubleClicked, this, &DRUI::diskItemDoubleClick);
    // Keyboard moves change the current item without a click: the Scan button follows them.
    connect(m_pDiskTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { diskItemClick(current, 0); });

    auto* openImage = MakeButton(QStringLiteral("Open disk image\u2026"), "btnOpenImage", page);
    connect(openImage, &QPushButton::clicked, this, &DRUI::btnOpenImageSlot);
    auto* back = MakeButton(QStringLiteral("Back"), "btnBackDevices", page);
    connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
    m_pScanButton = MakePrimaryButton(QStringLiteral("Scan"), "btnScan", page);
    connect(m_pScanButton, &QPushButton::clicked, this, &DRUI::btnSlotScan);

    CreateDiskTree();

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(openImage);
    buttons->addStretch();
    buttons->addWidget(back);
    buttons->addWidget(m_pScanButton);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(40, 16, 40, 24);
    body->addWidget(text);
    body->addWidget(m_pDiskTree, 1);
    body->addWidget(m_pNoDiskLabel);
    body->addLayout(buttons);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(BuildBanner());
    layout->addLayout(body, 1);
    return page;
}

void DRUI::CreateDiskTree() {
    m_pDiskTree->clear();
    QTreeWidgetItem* last = nullptr;
    for (DiskDescription& disk : DescribeDisks()) {
        // A disk that cannot be opened or holds not one sector has nothing to scan.
        if (!disk.problem.empty() || disk.bytes < 512) continue;
        if (disk.volumes.empty()) disk.volumes.push_back(WholeDiskVolume(disk));
        QTreeWidgetItem* diskItem =
            MakeDiskItem(DiskCaption(disk), SizeText(disk.bytes), ":/image/physical_drive.png");
        diskItem->setToolTip(0, QString::fromStdString(disk.path));
        diskItem->setData(0, kDiskRole, disk.number);
        diskItem->setData(0, kPartitionedRole, disk.partitioned);
        m_pDiskTree->addTopLevelItem(diskItem);
        for (const VolumeDescription& volume : disk.volumes) {
            auto* item = MakeDiskItem(QString::fromStdString(VolumeCaption(volume)),
                                      SizeText(volume.Bytes()), ":/image/drive.png");
            item->setData(0, kRecordRole, QVariant::fromValue(volume.item));
            diskItem->addChild(item);
            last = item;
        }
        diskItem->setExpanded(true);
    }
    if (last != nullptr) m_pDiskTree->setCurrentItem(last);
    m_pScanButton->setEnabled(m_pDiskTree->currentItem() != nullptr);
    ExplainEmptyDiskTree();
}

void DRUI::ExplainEmptyDiskTree() {
    const bool empty = m_pDiskTree->topLevelItemCount() == 0;
    m_pNoDiskLabel->setVisible(empty);
    if (!empty) return;
    // Without root the block devices cannot be opened, so none is listed at all.
    m_pNoDiskLabel->setText(
        ::geteuid() != 0
            ? QStringLiteral("Run as root (or with pkexec) to see the computer's disks; disk"
                             " images can still be opened.")
            : QStringLiteral("No disks were found. A disk image can still be opened."));
}

std::vector<DRUI::ScannedPart> DRUI::PartsOfItem(QTreeWidgetItem* pItem) const {
    if (pItem == nullptr) return {};
    if (pItem->data(0, kRecordRole).canConvert<_PARTITION_ITEM_>())
        return {ScannedPart{pItem->text(0), pItem->data(0, kRecordRole).value<_PARTITION_ITEM_>(),
                            QString(), nullptr}};
    if (!pItem->data(0, kDiskRole).isValid()) return {};
    // A disk without a table is its one volume; with one, each partition and the rest.
    if (!HoldsPartitions(pItem))
        return pItem->childCount() == 1 ? PartsOfItem(pItem->child(0)) : std::vector<ScannedPart>{};
    std::vector<_PARTITION_ITEM_> partitions;
    for (int i = 0; i < pItem->childCount(); ++i)
        partitions.push_back(pItem->child(i)->data(0, kRecordRole).value<_PARTITION_ITEM_>());
    const int disk = pItem->data(0, kDiskRole).toInt();
    const std::string path = GetDiskPath(disk);
    uint64_t bytes = 0;
    GetDeviceSizeByPath(path.c_str(), bytes);
    const std::vector<DiskPart> diskParts = PartsOfDisk(disk, path, bytes / 512, partitions);
    const int stretches = static_cast<int>(std::count_if(
        diskParts.begin(), diskParts.end(), [](const DiskPart& part) { return part.number == 0; }));
    std::vector<ScannedPart> parts;
    for (const DiskPart& part : diskParts) {
        const QString folder = part.number > 0 ? QStringLiteral("p%1").arg(part.number)
                                               : QStringLiteral("unpartitioned");
        parts.push_back(ScannedPart{PartName(part, stretches), part.item, folder, nullptr});
    }
    return parts;
}

uint32_t DRUI::TickedTypeMask() const {
    uint32_t mask = 0;
    for (int i = 0; i < 6; ++i) {
        if (m_pTypeBoxes[i]->isChecked()) mask |= kTypeBoxes[i].flag;
    }
    return mask;
}

void DRUI::CheckBoxStatChange(int /*nState*/) {
    int ticked = 0;
    for (QCheckBox* box : m_pTypeBoxes) ticked += box->isChecked() ? 1 : 0;
    m_pStartButton->setEnabled(ticked > 0);
    if (ticked == 6) {
        m_bMixedState = false;
        m_pAllBox->setCheckState(Qt::Checked);
    } else if (ticked == 0) {
        m_bMixedState = false;
        m_pAllBox->setCheckState(Qt::Unchecked);
    } else {
        m_bMixedState = true;
        m_pAllBox->setCheckState(Qt::PartiallyChecked);
    }
}

void DRUI::CheckBoxAllStatChange(int nState) {
    if (nState == Qt::PartiallyChecked) {
        if (m_bMixedState) {  // set by the type boxes: they stay as the user left them
            m_pStartButton->setEnabled(true);
            return;
        }
        // The user's click from cleared lands on partly ticked: it means "all".
        m_pAllBox->setCheckState(Qt::Checked);
        return;
    }
    m_bMixedState = false;
    const bool tick = nState == Qt::Checked;
    for (QCheckBox* box : m_pTypeBoxes) {
        const QSignalBlocker blocker(box);
        box->setChecked(tick);
    }
    m_pStartButton->setEnabled(tick);
}

void DRUI::btnSlot() {
    m_pStack->setCurrentIndex(1);
}

void DRUI::diskItemClick(QTreeWidgetItem* pItem, int /*nColumn*/) {
    // A disk row scans the whole disk, a volume row that volume.
    m_pScanButton->setEnabled(pItem != nullptr && (pItem->data(0, kDiskRole).isValid() ||
                                                   pItem->data(0, kRecordRole).isValid()));
}

void DRUI::diskItemDoubleClick(QTreeWidgetItem* pItem, int /*nColumn*/) {
    if (pItem != nullptr && pItem->childCount() == 0) btnSlotScan();
}

void DRUI::btnOpenImageSlot() {
    const QString path = m_diskImageChooser
                             ? m_diskImageChooser(this)
                             : QFileDialog::getOpenFileName(
                                   this, QStringLiteral("Open disk image"), QDir::homePath(),
                                   QStringLiteral("Disk images (*.img *.dd *.raw *.bin"
                                                  " *.iso);;All files (*)"),
                                   nullptr, QFileDialog::DontUseNativeDialog);
    if (!path.isEmpty()) AddDiskImage(path);
}

QString DRUI::ProblemOfDiskImage(const std::string& path, int& nError) const {
    if (path.find(':') != std::string::npos) {
        // The disk table separates its entries with ':'.
        nError = EINVAL;
        return QStringLiteral("A disk image whose path contains ':' cannot be opened.");
    }
    const std::vector<std::string> disks = ListDiskPaths();
    if (std::find(disks.begin(), disks.end(), path) != disks.end()) {
        nError = EEXIST;
        return QStringLiteral("This disk image is already in the list.");
    }
    const int fd = OpenDeviceReadOnly(path.c_str());
    if (fd < 0) {
        nError = errno;
        return QStringLiteral("The file cannot be opened: %1.")
            .arg(QString::fromStdString(DescribeResult(nError)));
    }
    const uint64_t bytes = GetDeviceSizeBytes(fd);
    const bool holdsADisk = bytes >= 512 && HoldsADisk(fd, path);
    ::close(fd);
    nError = holdsADisk ? 0 : EINVAL;
    if (bytes < 512) return QStringLiteral("The file is too small to hold a disk.");
    return holdsADisk ? QString()
                      : QStringLiteral(
                            "The file holds no disk Ferrowen recognises: neither a"
                            " partition table nor a known file system.");
}

int DRUI::RefuseDiskImage(const QString& strPath, const QString& strProblem, int nError) {
    DebugLog("disk image %s not added: %d\n", strPath.toStdString().c_str(), nError);
    CMessageBox notice(this);
    notice.InitNoticeDialog(QStringLiteral("Open disk image"),
                            QStringLiteral("%1\n%2").arg(strPath, strProblem));
    notice.exec();
    return nError;
}

int DRUI::AddDiskImage(const QString& strPath) {
    const QString absolute = QFileInfo(strPath).absoluteFilePath();
    const std::string path = absolute.toStdString();
    int error = 0;
    const QString problem = ProblemOfDiskImage(path, error);
    if (error != 0) return RefuseDiskImage(absolute, problem, error);
    // The disk table is read from the environment at every listing, so the image stays one
    // more disk, with the same number, for the rest of the run.
    std::string table;
    for (const std::string& disk : ListDiskPaths()) table += disk + ":";
    table += path;
    setenv("FERROWEN_DISKS", table.c_str(), 1);
    CreateDiskTree();
    return 0;
}

void DRUI::OpenOrExplain(const QUrl& url, const QString& strWhat) {
    if (OpenInDesktop(url)) return;
    CMessageBox notice(this);
    notice.InitNoticeDialog(
        strWhat, url.isEmpty()
                     ? QStringLiteral("The page is not installed with this copy of Ferrowen.")
                     : QStringLiteral("No program to open it is installed. Open it yourself:\n%1")
                           .arg(url.isLocalFile() ? url.toLocalFile() : url.toString()));
    notice.exec();
}

void DRUI::btnHelpSlot() {
    OpenOrExplain(ProductPageUrl(QStringLiteral("help")), QStringLiteral("Help"));
}
void DRUI::btnSupportSlot() {
    OpenOrExplain(ProductPageUrl(QStringLiteral("support")), QStringLiteral("Support"));
}
void DRUI::btnAboutSlot() {
    OpenOrExplain(ProductPageUrl(QStringLiteral("about")), QStringLiteral("About"));
}
void DRUI::btnCloseSlot() {
    close();
}
void DRUI::btnMinSlot() {
    showMinimized();
}

void DRUI::FitToScreen() {
    const QScreen* shown = screen();
    if (shown == nullptr) return;
    const QSize room = shown->availableGeometry().size();
    resize(std::max(minimumWidth(), std::min(width(), room.width())),
           std::max(minimumHeight(), std::min(height(), room.height())));
}

bool DRUI::AskYesNo(const QString& strQuestion) {
    CMessageBox question(this);
    question.InitQuestionDialog(strQuestion);
    question.exec();
    return question.GetMessageBoxRet() == 1;
}

bool DRUI::ConfirmDiscardResults() {
    if (CurrentPage() != 2 || m_vecSearchFileInfo.empty()) return true;
    return AskYesNo(QStringLiteral("Do you want to discard the results of this scan?"));
}

void DRUI::closeEvent(QCloseEvent* pEvent) {
    if (SCANUI* job = RunningJobDialog()) {
        // The dialog asks its own cancel question and, after "Yes", waits for the job to end.
        job->close();
        if (job->isVisible()) {
            pEvent->ignore();
            return;
        }
        m_bQuitAfterJob = true;
        if (m_bJobRunning) {  // the window goes once the job's frame has unwound
            pEvent->ignore();
            return;
        }
    }
    const size_t ticked = m_mapCheckedFileNode.size();
    if (!m_bQuitAfterJob && CurrentPage() == 2 && ticked > 0 &&
        !AskYesNo(
            QStringLiteral("%1 ticked %2 not been recovered. Quit anyway?")
                .arg(ticked)
                .arg(ticked == 1 ? QStringLiteral("file has") : QStringLiteral("files have")))) {
        pEvent->ignore();
        return;
    }
    pEvent->accept();
}

void DRUI::resizeEvent(QResizeEvent* pEvent) {
    QWidget::resizeEvent(pEvent);
    if (m_pSizeGrip != nullptr) {
        m_pSizeGrip->move(width() - m_pSizeGrip->width(), height() - m_pSizeGrip->height());
    }
    FitPreviewPicture();
}

SCANUI* DRUI::RunningJobDialog() const {
    for (SCANUI* dialog : findChildren<SCANUI*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (dialog->isVisible()) return dialog;
    }
    return nullptr;
}

QPushButton* DRUI::MainButtonOfPage() const {
    switch (CurrentPage()) {
        case 0:
            return m_pStartButton;
        case 1:
            return m_pScanButton;
        default:
            return m_pRecoverButton;
    }
}

void DRUI::keyPressEvent(QKeyEvent* pEvent) {
    const int key = pEvent->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        // A focused button is the one Enter means; elsewhere it is the page's main button.
        auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
        QPushButton* button = focused != nullptr ? focused : MainButtonOfPage();
        if (button != nullptr && button->isEnabled()) button->click();
        return;
    }
    if (key == Qt::Key_Escape) {  // Escape goes back a page and never closes the window
        if (SCANUI* job = RunningJobDialog()) {
            job->close();  // during a job, Escape means the job's Cancel (which asks)
        } else if (CurrentPage() > 0) {
            btnSlotBack();
        }
        return;
    }
    QWidget::keyPressEvent(pEvent);
}

void DRUI::PlaceTitleBarLastInTabOrder(QWidget* pLastOfPage) {
    QWidget* previous = pLastOfPage;
    for (const char* name : {"btnHelp", "btnSupport", "btnAbout", "btnMin", "btnClose"}) {
        auto* button = findChild<QPushButton*>(QString::fromLatin1(name));
        if (button == nullptr) continue;
        setTabOrder(previous, button);
        previous = button;
    }
}

void DRUI::mousePressEvent(QMouseEvent* pEvent) {
    if (!m_mover.Press(this, pEvent)) QWidget::mousePressEvent(pEvent);
}

void DRUI::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_mover.Move(this, pEvent)) QWidget::mouseMoveEvent(pEvent);
}
