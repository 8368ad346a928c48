// The result page: the tree of categories and extensions, the table of one extension's
// files, ticking, the selection label and the preview.
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QStackedLayout>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstring>
#include <string>

#include "engine/recovery_job.h"
#include "foundation/text.h"
#include "ui/drui.h"
#include "ui/file_icons.h"
#include "ui/style.h"

namespace {

constexpr int kRowHeight = 22;
constexpr int kPreviewWidth = 700;
constexpr int kPreviewHeight = 200;
constexpr int kHexLineBytes = 256;
constexpr int kKeyRole = Qt::UserRole + 1;       // extension item: its key
constexpr int kCategoryRole = Qt::UserRole + 2;  // category and extension items: the category
constexpr char kNoExtensionKey[] = "unKnow";

constexpr FileCategory kCategoryOrder[6] = {FileCategory::Photo,    FileCategory::Music,
                                            FileCategory::Document, FileCategory::Video,
                                            FileCategory::Archive,  FileCategory::Other};

// The record's name as a terminated C string, even when a damaged store left it unterminated.
std::string NameBytes(const _FILE_NODE_& node) {
    return std::string(node.szFileName, strnlen(node.szFileName, sizeof node.szFileName));
}

QString NameOf(const _FILE_NODE_& node) {
    return QString::fromStdU16String(Ansi2Unicode(NameBytes(node).c_str()));
}

// The extension key of a name and whether it has one; a name ending in '.' has none.
bool ExtensionKey(const char* pszName, QString& key) {
    char ext[256] = {};
    if (GetExtendName(pszName, ext, sizeof ext) != 0 || ext[0] == '\0') return false;
    GetCharLowerA(ext);
    key = QString::fromStdU16String(Ansi2Unicode(ext));
    return true;
}

void MakeCheckable(QTreeWidgetItem* item) {
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
}

// A scan that did not run to its end lists only part of what the disk holds: say so, and why.
QString ScanEndingNote(int nScanResult) {
    if (nScanResult == 0) return QString();
    if (nScanResult == ERROR_USER_CANCEL) {
        return QStringLiteral("\nThe scan was cancelled: the list holds what was found before.");
    }
    return QStringLiteral("\nThe scan ended early (%1): the list holds what was found before.")
        .arg(QString::fromStdString(DescribeResult(nScanResult)));
}

}  // namespace

void DRUI::ShowResults(const std::vector<__SEARCH_FILE_INFO__>& records) {
    m_vecSearchFileInfo = records;
    InitLayout3Widget();
}

void DRUI::InitLayout3Widget() {
    m_pPreviewTimer->stop();
    if (m_pResultPage != nullptr) {
        m_pStack->removeWidget(m_pResultPage);
        delete m_pResultPage;
        m_pResultPage = nullptr;
    }
    m_pCurTreeItem = nullptr;
    m_mapCheckedFileNode.clear();

    auto* page = new QWidget(this);
    auto* text = new QLabel(
        QString::asprintf("Select Desired Files to Recover\nFound %d recoverable files after the"
                          " scan. Please preview and choose the files you want to recover.",
                          static_cast<int>(m_vecSearchFileInfo.size())) +
            ScanEndingNote(m_nScanResult),
        page);
    text->setObjectName(QStringLiteral("resultText"));

    m_pResultTree = new QTreeWidget(page);
    m_pResultTree->setObjectName(QStringLiteral("resultTree"));
    m_pResultTree->setColumnCount(1);
    m_pResultTree->setHeaderLabel(QString());
    m_pResultTree->setMinimumSize(250, 410);
    m_pResultTree->setMaximumWidth(250);
    connect(m_pResultTree, &QTreeWidget::itemSelectionChanged, this, &DRUI::treeItemSelectChanged);
    connect(m_pResultTree, &QTreeWidget::itemChanged, this, &DRUI::treeItemCheckChanged);

    m_pResultTable = new QTableWidget(0, 2, page);
    m_pResultTable->setObjectName(QStringLiteral("resultTable"));
    m_pResultTable->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size")});
    m_pResultTable->setColumnWidth(0, 480);
    m_pResultTable->horizontalHeader()->setStretchLastSection(true);
    m_pResultTable->verticalHeader()->setVisible(false);
    m_pResultTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pResultTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_pResultTable, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (!m_bUpdatingTable) tableItemPress(item->row(), item->column());
    });
    connect(m_pResultTable, &QTableWidget::itemSelectionChanged, this,
            &DRUI::tableItemSelectChanged);

    m_pPreviewLabel = new QLabel(page);
    m_pPreviewLabel->setObjectName(QStringLiteral("previewLabel"));
    m_pPreviewLabel->setFixedHeight(kPreviewHeight);
    m_pPreviewLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_pPreviewLabel->setTextFormat(Qt::PlainText);  // file bytes are never markup
    m_pPreviewLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pPreviewLabel->setFont(ferrowen_style::TextFont(11));
    m_pPreviewLabel->setStyleSheet(
        QStringLiteral("background-color: white;"
                       " border: 1px solid rgb(220, 224, 230);"));

    m_pSelectLabel = new QLabel(page);
    m_pSelectLabel->setObjectName(QStringLiteral("selectionLabel"));
    auto* back = new QPushButton(QStringLiteral("Back"), page);
    back->setObjectName(QStringLiteral("btnBackResults"));
    connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
    m_pRecoverButton = new QPushButton(QIcon(QStringLiteral(":/image/recover_file.png")),
                                       QStringLiteral("Recover"), page);
    m_pRecoverButton->setObjectName(QStringLiteral("btnRecover"));
    connect(m_pRecoverButton, &QPushButton::clicked, this, &DRUI::btnRecovery);

    auto* right = new QVBoxLayout;
    right->addWidget(m_pResultTable, 1);
    right->addWidget(m_pPreviewLabel);
    auto* middle = new QHBoxLayout;
    middle->addWidget(m_pResultTree);
    middle->addLayout(right, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_pSelectLabel);
    bottom->addStretch();
    bottom->addWidget(back);
    bottom->addWidget(m_pRecoverButton);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 12, 20, 16);
    layout->addWidget(text);
    layout->addLayout(middle, 1);
    layout->addLayout(bottom);

    CreateTree();
    UpdateSelectionInfo();
    m_pResultPage = page;
    m_pStack->addWidget(page);
    m_pStack->setCurrentWidget(page);
}

void DRUI::CreateTree() {
    for (CategoryMap& map : m_categoryMaps) map.clear();
    for (uint32_t i = 0; i < m_vecSearchFileInfo.size(); ++i) {
        const _FILE_NODE_& node = m_vecSearchFileInfo[i];
        const std::string name = NameBytes(node);
        if (name.empty()) continue;
        QString key;
        FileCategory category = FileCategory::Other;
        if (ExtensionKey(name.c_str(), key)) {
            category = ClassifyFileName(name.c_str());
        } else {
            key = QString::fromLatin1(kNoExtensionKey);
        }
        m_categoryMaps[static_cast<int>(category)][key].push_back(i);
    }

    const QSignalBlocker blocker(m_pResultTree);
    m_pResultTree->clear();
    for (FileCategory category : kCategoryOrder) {
        const CategoryMap& map = m_categoryMaps[static_cast<int>(category)];
        if (map.empty()) continue;
        size_t count = 0;
        for (const auto& entry : map) count += entry.second.size();
        auto* top = new QTreeWidgetItem({QStringLiteral("%1(%2)")
                                             .arg(QString::fromLatin1(GetCategoryLabel(category)))
                                             .arg(count)});
        top->setData(0, kCategoryRole, static_cast<int>(category));
        MakeCheckable(top);
        m_pResultTree->addTopLevelItem(top);
        for (const auto& [key, indexes] : map) {
            auto* child =
                new QTreeWidgetItem({QStringLiteral("%1 Files (%2)").arg(key).arg(indexes.size())});
            child->setIcon(
                0, QIcon(QString::fromStdString(GetExtendNameIcon(key.toStdString().c_str()))));
            child->setData(0, kKeyRole, key);
            child->setData(0, kCategoryRole, static_cast<int>(category));
            MakeCheckable(child);
            top->addChild(child);
        }
    }
    m_pResultTree->expandAll();
}

const std::vector<uint32_t>* DRUI::RecordsOfExtensionItem(QTreeWidgetItem* pItem) const {
    if (pItem == nullptr || pItem->parent() == nullptr) return nullptr;
    const int category = pItem->data(0, kCategoryRole).toInt();
    if (category < 0 || category >= 6) return nullptr;
    const CategoryMap& map = m_categoryMaps[category];
    const auto found = map.find(pItem->data(0, kKeyRole).toString());
    return found != map.end() ? &found->second : nullptr;
}

void DRUI::treeItemSelectChanged() {
    if (m_bIgnoreTreeSelection) return;
    const QList<QTreeWidgetItem*> selected = m_pResultTree->selectedItems();
    if (!selected.isEmpty()) UpdateTreeInfo(selected.first());
}

void DRUI::treeItemCheckChanged(QTreeWidgetItem* pItem, int /*nColumn*/) {
    if (m_bUpdatingTree || pItem == nullptr) return;
    // A tick on another item than the one shown makes it the shown one, without showing it
    // twice through the selection change.
    if (pItem != m_pCurTreeItem) {
        m_bIgnoreTreeSelection = true;
        m_pResultTree->setCurrentItem(pItem);
        m_bIgnoreTreeSelection = false;
    }
    UpdateTreeInfo(pItem);
}

void DRUI::UpdateTreeInfo(QTreeWidgetItem* pItem) {
    if (pItem == nullptr) return;
    const std::vector<uint32_t>* records = RecordsOfExtensionItem(pItem);
    m_bUpdatingTable = true;
    m_pResultTable->setRowCount(0);
    if (records != nullptr) FillTable(*records, pItem->data(0, kKeyRole).toString());
    m_bUpdatingTable = false;

    m_bUpdatingTree = true;
    const Qt::CheckState state = pItem->checkState(0);
    const bool isCategory = pItem->parent() == nullptr;
    if (state != Qt::PartiallyChecked) {
        // A partly ticked item only shows its files as they are ticked: looking at it must not
        // tick or untick anything the user chose file by file.
        const bool tick = state == Qt::Checked;
        SetChildrenCheckState(pItem, state);
        SetTreeParentCheckState(pItem);
        if (isCategory) {
            TickCategory(pItem->data(0, kCategoryRole).toInt(), tick);
        } else {
            TickExtension(pItem, tick);
        }
    }
    m_bUpdatingTree = false;
    m_pCurTreeItem = pItem;
    UpdateSelectionInfo();
    if (m_pResultTable->rowCount() > 0) SchedulePreview();
}

void DRUI::FillTable(const std::vector<uint32_t>& indexes, const QString& strKey) {
    const QIcon icon(QString::fromStdString(GetExtendNameIcon(strKey.toStdString().c_str())));
    m_pResultTable->setRowCount(static_cast<int>(indexes.size()));
    for (int row = 0; row < static_cast<int>(indexes.size()); ++row) {
        const _FILE_NODE_& node = m_vecSearchFileInfo[indexes[row]];
        const QVariant record = QVariant::fromValue(node);
        auto* name = new QTableWidgetItem(icon, NameOf(node));
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        name->setCheckState(m_mapCheckedFileNode.count(KeyOf(node)) != 0 ? Qt::Checked
                                                                         : Qt::Unchecked);
        name->setData(kRecordRole, record);
        auto* size = new QTableWidgetItem(
            QString::fromStdString(GetFileSizeString(static_cast<long long>(node.u64FileSize))));
        size->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        size->setData(kRecordRole, record);
        m_pResultTable->setItem(row, 0, name);
        m_pResultTable->setItem(row, 1, size);
        m_pResultTable->setRowHeight(row, kRowHeight);
    }
}

void DRUI::SetChildrenCheckState(QTreeWidgetItem* pItem, Qt::CheckState state) {
    for (int i = 0; i < pItem->childCount(); ++i) {
        QTreeWidgetItem* child = pItem->child(i);
        child->setCheckState(0, state);
        SetChildrenCheckState(child, state);
    }
}

void DRUI::SetTreeParentCheckState(QTreeWidgetItem* pItem) {
    for (QTreeWidgetItem* parent = pItem->parent(); parent != nullptr; parent = parent->parent()) {
        int ticked = 0, unticked = 0;
        for (int i = 0; i < parent->childCount(); ++i) {
            const Qt::CheckState state = parent->child(i)->checkState(0);
            ticked += state == Qt::Checked ? 1 : 0;
            unticked += state == Qt::Unchecked ? 1 : 0;
        }
        const int children = parent->childCount();
        parent->setCheckState(0, ticked == children     ? Qt::Checked
                                 : unticked == children ? Qt::Unchecked
                                                        : Qt::PartiallyChecked);
    }
}

void DRUI::TickCategory(int nCategory, bool bTick) {
    if (nCategory < 0 || nCategory >= 6) return;
    for (const auto& entry : m_categoryMaps[nCategory]) {
        for (uint32_t index : entry.second) {
            const _FILE_NODE_& node = m_vecSearchFileInfo[index];
            if (bTick) {
                m_mapCheckedFileNode[KeyOf(node)] = node;
            } else {
                m_mapCheckedFileNode.erase(KeyOf(node));
            }
        }
    }
}

void DRUI::TickExtension(QTreeWidgetItem* pItem, bool bTick) {
    const std::vector<uint32_t>* records = RecordsOfExtensionItem(pItem);
    if (records == nullptr) return;
    for (uint32_t index : *records) {
        const _FILE_NODE_& node = m_vecSearchFileInfo[index];
        if (bTick) {
            m_mapCheckedFileNode[KeyOf(node)] = node;
        } else {
            m_mapCheckedFileNode.erase(KeyOf(node));
        }
    }
    m_bUpdatingTable = true;
    for (int row = 0; row < m_pResultTable->rowCount(); ++row) {
        m_pResultTable->item(row, 0)->setCheckState(bTick ? Qt::Checked : Qt::Unchecked);
    }
    m_bUpdatingTable = false;
}

void DRUI::tableItemPress(int nRow, int nColumn) {
    if (nColumn != 0 || m_pCurTreeItem == nullptr) return;
    QTableWidgetItem* item = m_pResultTable->item(nRow, 0);
    if (item == nullptr || !item->data(kRecordRole).canConvert<_FILE_NODE_>()) return;
    const _FILE_NODE_ node = item->data(kRecordRole).value<_FILE_NODE_>();
    if (item->checkState() == Qt::Checked) {
        m_mapCheckedFileNode[KeyOf(node)] = node;
    } else {
        m_mapCheckedFileNode.erase(KeyOf(node));
    }
    int ticked = 0;
    const int rows = m_pResultTable->rowCount();
    for (int row = 0; row < rows; ++row) {
        ticked += m_pResultTable->item(row, 0)->checkState() == Qt::Checked ? 1 : 0;
    }
    m_bUpdatingTree = true;
    m_pCurTreeItem->setCheckState(0, ticked == rows ? Qt::Checked
                                     : ticked == 0  ? Qt::Unchecked
                                                    : Qt::PartiallyChecked);
    SetTreeParentCheckState(m_pCurTreeItem);
    m_bUpdatingTree = false;
    UpdateSelectionInfo();
}

void DRUI::UpdateSelectionInfo() {
    unsigned long long bytes = 0;
    for (const auto& entry : m_mapCheckedFileNode) bytes += entry.second.u64FileSize;
    const int count = static_cast<int>(m_mapCheckedFileNode.size());
    const std::string size = GetFileSizeString(static_cast<long long>(bytes));
    m_pSelectLabel->setText(QString::asprintf(
        count >= 2 ? "Select %s in %d files" : "Select %s in %d file", size.c_str(), count));
    m_pRecoverButton->setEnabled(count > 0);
}

void DRUI::tableItemSelectChanged() {
    if (!m_bUpdatingTable) SchedulePreview();
}

void DRUI::SchedulePreview() {
    m_pPreviewTimer->start();
}

void DRUI::PreviewPending() {
    // The preview is a modal job: started while a button is held, it would swallow the
    // release, and with it the tick the user was clicking.
    // Only from the page itself: never while a job or another dialog is open.
    if (m_bJobRunning || QApplication::activeModalWidget() != nullptr) return;
    if (QGuiApplication::mouseButtons() != Qt::NoButton) {
        m_pPreviewTimer->start();
        return;
    }
    if (m_pResultTable == nullptr || m_pResultTable->rowCount() == 0) return;
    const QList<QTableWidgetItem*> selected = m_pResultTable->selectedItems();
    const int row = selected.isEmpty() ? 0 : selected.first()->row();
    tableItemClick(m_pResultTable->item(row, 0));
}

void DRUI::ShowPreview() {
    const std::string tmpPath = WideToUtf8(m_szPreviewTmpPath);
    if (!tmpPath.empty() && QFileInfo::exists(QString::fromStdString(tmpPath))) {
        QPixmap picture(QString::fromStdString(tmpPath));
        if (!picture.isNull()) {
            if (picture.width() > kPreviewWidth) {
                picture = picture.scaled(kPreviewWidth, kPreviewHeight, Qt::KeepAspectRatio,
                                         Qt::SmoothTransformation);
            }
            m_pPreviewLabel->setAlignment(Qt::AlignCenter);
            m_pPreviewLabel->setPixmap(picture);
            return;
        }
        // A picture too damaged to draw still shows what its first bytes hold.
        QFile file(QString::fromStdString(tmpPath));
        if (file.open(QIODevice::ReadOnly)) {
            const qint64 got = file.read(reinterpret_cast<char*>(m_pPreviewBuf.data()),
                                         static_cast<qint64>(m_pPreviewBuf.size()));
            m_nPreviewBufLen = got > 0 ? static_cast<int>(got) : 0;
        }
    }
    m_pPreviewLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pPreviewLabel->setText(WinHexBufData());
}

QString DRUI::WinHexBufData() const {
    const int length = std::clamp(m_nPreviewBufLen, 0, static_cast<int>(m_pPreviewBuf.size()));
    QString text;
    text.reserve(length + 2 * (length / kHexLineBytes + 1));
    for (int i = 0; i < length; ++i) {
        const unsigned char byte = m_pPreviewBuf[i];
        text += byte == 0 ? QChar(u'.') : QChar(static_cast<char16_t>(byte));
        if ((i + 1) % kHexLineBytes == 0) text += QStringLiteral("\r\n");
    }
    return text;
}

void DRUI::btnSlotBack() {
    const int page = m_pStack->currentIndex();
    m_pPreviewTimer->stop();
    m_pStack->setCurrentIndex(page >= 2 ? 1 : 0);
    DeleteEngine();
}
