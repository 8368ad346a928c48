// The result page: the tree of categories and extensions, the sortable and filterable table
// of the chosen category's or extension's files, ticking, the selection label and the preview.
#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedLayout>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QTabBar>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "engine/recovery_job.h"
#include "foundation/scan_options.h"
#include "foundation/text.h"
#include "ui/drui.h"
#include "ui/file_icons.h"
#include "ui/style.h"

namespace {

constexpr int kRowHeight = 22;
constexpr int kPreviewMinHeight = 120;
constexpr int kKeyRole = Qt::UserRole + 1;       // extension item: its key
constexpr int kCategoryRole = Qt::UserRole + 2;  // category and extension items: the category
constexpr int kSortRole = Qt::UserRole + 3;      // table cells that sort by number
constexpr char kNoExtensionKey[] = "unKnow";
enum Column { kColName, kColFolder, kColSize, kColModified, kColState, kColumns };

constexpr FileCategory kCategoryOrder[6] = {FileCategory::Photo,    FileCategory::Music,
                                            FileCategory::Document, FileCategory::Video,
                                            FileCategory::Archive,  FileCategory::Other};

// A cell that sorts by the number it carries (sizes, times) rather than by its text.
class NumberItem : public QTableWidgetItem {
public:
    NumberItem(const QString& text, qulonglong number) : QTableWidgetItem(text) {
        setData(kSortRole, number);
    }
    bool operator<(const QTableWidgetItem& other) const override {
        return data(kSortRole).toULongLong() < other.data(kSortRole).toULongLong();
    }
};

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

QString Plural(qulonglong n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QString::fromLatin1(n == 1 ? one : many));
}

// A scan that did not run to its end lists only part of what the disk holds: say so, and why.
QString ScanEndingNote(bool bCancelled, int nScanResult) {
    if (bCancelled || nScanResult == ERROR_USER_CANCEL) {
        return QStringLiteral("\nScan cancelled: the list below is partial.");
    }
    if (nScanResult == 0) return QString();
    return QStringLiteral("\nThe scan ended early (%1): the list below is partial.")
        .arg(QString::fromStdString(DescribeResult(nScanResult)));
}

uint32_t FlagOf(FileCategory category) {
    switch (category) {
        case FileCategory::Photo:
            return FILE_TYPE_PHOTO;
        case FileCategory::Music:
            return FILE_TYPE_MUSIC;
        case FileCategory::Document:
            return FILE_TYPE_DOCUMENT;
        case FileCategory::Video:
            return FILE_TYPE_VIDEO;
        case FileCategory::Archive:
            return FILE_TYPE_ARCHIVE;
        default:
            return FILE_TYPE_OTHER;
    }
}

QString StateOf(const _FILE_NODE_& node, const QString& folder) {
    if (node.nFileSource == FILE_SOURCE_FILE_TYPE) return QStringLiteral("carved");
    if (IsPresentEntry(node)) return QStringLiteral("not deleted");
    if (folder.startsWith(QStringLiteral("LostFolder"))) return QStringLiteral("lost folder");
    return QStringLiteral("deleted");
}

// The bytes as text when they read as text: UTF-8 (a character cut at the end of the buffer
// allowed) without NULs and with hardly any control characters.
bool DecodeText(const QByteArray& data, QString& text) {
    if (data.isEmpty() || data.contains('\0')) return false;
    for (int cut = 0; cut < 4 && cut < data.size(); ++cut) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        text = decoder(data.chopped(cut));
        if (!decoder.hasError()) break;
        if (cut == 3) return false;
    }
    const auto controls = std::count_if(text.cbegin(), text.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control && c != u'\n' && c != u'\r' && c != u'\t' &&
               c != u'\f';
    });
    return controls * 100 <= text.size();
}

}  // namespace

void DRUI::ShowResults(const std::vector<__SEARCH_FILE_INFO__>& records) {
    m_vecSearchFileInfo = records;
    InitLayout3Widget();
}

QString DRUI::ResultHeadline() const {
    QString text = QStringLiteral("Select the files to recover (%1 found)").arg(ListedCount());
    // The scan dialog's count covers every type; it is repeated only when it can hold the
    // list (engines that report no count leave it at 0).
    const uint64_t scanned = m_u64ScanFilesFound;
    if (scanned > 0 && scanned >= ListedCount()) {
        text += QStringLiteral("\n%1 of the %2 the scan found are of the ticked types.")
                    .arg(ListedCount())
                    .arg(Plural(scanned, "file", "files"));
    }
    return text + ScanEndingNote(m_bScanCancelled, m_nScanResult);
}

void DRUI::InitLayout3Widget() {
    m_pPreviewTimer->stop();
    if (m_pResultPage != nullptr) {
        m_pStack->removeWidget(m_pResultPage);
        delete m_pResultPage;
        m_pResultPage = nullptr;
    }
    m_pCurTreeItem = nullptr;
    m_previewPicture = QPixmap();
    m_mapCheckedFileNode.clear();

    auto* page = new QWidget(this);
    auto* text = new QLabel(page);
    text->setObjectName(QStringLiteral("resultText"));
    text->setWordWrap(true);

    m_bFolderView = false;
    m_bFoldersIndexed = false;
    m_folderFiles.clear();
    m_deletedFolders.clear();
    m_pViewTabs = new QTabBar(page);
    m_pViewTabs->setObjectName(QStringLiteral("resultViewTabs"));
    m_pViewTabs->addTab(QStringLiteral("By type"));
    m_pViewTabs->addTab(QStringLiteral("By folder"));
    m_pViewTabs->setExpanding(true);
    connect(m_pViewTabs, &QTabBar::currentChanged, this, [this](int tab) { ShowView(tab == 1); });

    m_pResultTree = new QTreeWidget(page);
    m_pResultTree->setObjectName(QStringLiteral("resultTree"));
    m_pResultTree->setColumnCount(1);
    m_pResultTree->setHeaderHidden(true);
    m_pResultTree->setMinimumWidth(200);
    m_pResultTree->setMaximumWidth(260);
    connect(m_pResultTree, &QTreeWidget::itemSelectionChanged, this, &DRUI::treeItemSelectChanged);
    connect(m_pResultTree, &QTreeWidget::itemChanged, this, &DRUI::treeItemCheckChanged);

    m_pFilterBox = new QLineEdit(page);
    m_pFilterBox->setObjectName(QStringLiteral("filterBox"));
    m_pFilterBox->setPlaceholderText(QStringLiteral("Filter by name or folder"));
    m_pFilterBox->setClearButtonEnabled(true);
    connect(m_pFilterBox, &QLineEdit::textChanged, this, &DRUI::ApplyFilter);

    m_pResultTable = new QTableWidget(0, kColumns, page);
    m_pResultTable->setObjectName(QStringLiteral("resultTable"));
    m_pResultTable->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Folder"),
                                               QStringLiteral("Size"), QStringLiteral("Modified"),
                                               QStringLiteral("State")});
    QHeaderView* header = m_pResultTable->horizontalHeader();
    header->setSectionResizeMode(kColName, QHeaderView::Stretch);
    header->setSectionResizeMode(kColFolder, QHeaderView::Stretch);
    for (int column : {kColSize, kColModified, kColState})
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    m_pResultTable->verticalHeader()->setVisible(false);
    m_pResultTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pResultTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pResultTable->setSortingEnabled(true);
    m_pResultTable->sortByColumn(-1, Qt::AscendingOrder);  // the search's order until asked
    connect(m_pResultTable, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (!m_bUpdatingTable) tableItemPress(item->row(), item->column());
    });
    connect(m_pResultTable, &QTableWidget::itemSelectionChanged, this,
            &DRUI::tableItemSelectChanged);

    const bool anyPresent =
        std::any_of(m_vecSearchFileInfo.begin(), m_vecSearchFileInfo.end(),
                    [](const _FILE_NODE_& node) { return IsPresentEntry(node); });
    auto* notListed = new QLabel(
        m_bScanListedPresent
            ? QStringLiteral("The scan found no files that were not deleted.")
            : QStringLiteral("Files that were not deleted are not listed: tick \"Also list files "
                             "that were not deleted\" on the first page and scan again to list "
                             "them."),
        page);
    notListed->setObjectName(QStringLiteral("notListedNote"));
    notListed->setWordWrap(true);
    notListed->setVisible(!anyPresent);
    m_pShowPresentBox = new QCheckBox(QStringLiteral("Show files that were not deleted"), page);
    m_pShowPresentBox->setObjectName(QStringLiteral("showPresentBox"));
    m_pShowPresentBox->setChecked(true);
    m_pShowPresentBox->setVisible(anyPresent);
    connect(m_pShowPresentBox, &QCheckBox::toggled, this, &DRUI::ShowPresentFiles);

    m_pSelectLabel = new QLabel(page);
    m_pSelectLabel->setObjectName(QStringLiteral("selectionLabel"));
    auto* back = new QPushButton(QStringLiteral("Back"), page);
    back->setObjectName(QStringLiteral("btnBackResults"));
    connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
    m_pRecoverButton = new QPushButton(QIcon(QStringLiteral(":/image/recover_file.png")),
                                       QStringLiteral("Recover"), page);
    m_pRecoverButton->setObjectName(QStringLiteral("btnRecover"));
    m_pRecoverButton->setProperty("primary", true);
    connect(m_pRecoverButton, &QPushButton::clicked, this, &DRUI::btnRecovery);

    auto* right = new QVBoxLayout;
    right->addWidget(m_pFilterBox);
    right->addWidget(m_pResultTable, 3);
    right->addWidget(notListed);
    right->addWidget(m_pShowPresentBox);
    right->addWidget(BuildPreviewArea(page), 2);
    auto* left = new QVBoxLayout;
    left->setSpacing(0);
    left->addWidget(m_pViewTabs);
    left->addWidget(m_pResultTree, 1);
    auto* middle = new QHBoxLayout;
    middle->addLayout(left);
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
    text->setText(ResultHeadline());
    UpdateSelectionInfo();
    m_pResultPage = page;
    m_pStack->addWidget(page);
    m_pStack->setCurrentWidget(page);
    PlaceTitleBarLastInTabOrder(m_pRecoverButton);
    // The first category's files are listed at once.
    if (m_pResultTree->topLevelItemCount() > 0) {
        m_pResultTree->setCurrentItem(m_pResultTree->topLevelItem(0));
    }
}

QWidget* DRUI::BuildPreviewArea(QWidget* pPage) {
    m_pPreviewStack = new QStackedWidget(pPage);
    m_pPreviewStack->setObjectName(QStringLiteral("previewArea"));
    m_pPreviewStack->setMinimumHeight(kPreviewMinHeight);
    m_pPreviewLabel = new QLabel(m_pPreviewStack);
    m_pPreviewLabel->setObjectName(QStringLiteral("previewLabel"));
    m_pPreviewLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_pPreviewLabel->setTextFormat(Qt::PlainText);  // file names are never markup
    m_pPreviewLabel->setAlignment(Qt::AlignCenter);
    m_pPreviewLabel->setWordWrap(true);
    m_pPreviewLabel->setStyleSheet(
        QStringLiteral("background-color: white; border: 1px solid rgb(220, 224, 230);"));
    m_pPreviewText = new QPlainTextEdit(m_pPreviewStack);
    m_pPreviewText->setObjectName(QStringLiteral("previewText"));
    m_pPreviewText->setReadOnly(true);
    m_pPreviewText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_pPreviewText->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_pPreviewText->setFont(ferrowen_style::TextFont(10));
    m_pPreviewStack->addWidget(m_pPreviewLabel);
    m_pPreviewStack->addWidget(m_pPreviewText);
    return m_pPreviewStack;
}

bool DRUI::CategoryWanted(FileCategory category) const {
    // Results built without a scan (no types recorded) list every category.
    return m_uSearchMask == 0 || (m_uSearchMask & FlagOf(category)) != 0;
}

void DRUI::CreateTree() {
    for (CategoryMap& map : m_categoryMaps) map.clear();
    m_bFoldersIndexed = false;  // the folder view is made from the maps, on demand
    m_nListedCount = 0;
    for (uint32_t i = 0; i < m_vecSearchFileInfo.size(); ++i) {
        const _FILE_NODE_& node = m_vecSearchFileInfo[i];
        const std::string name = NameBytes(node);
        if (name.empty()) continue;
        if (IsPresentEntry(node) && !m_pShowPresentBox->isChecked()) continue;
        QString key;
        FileCategory category = FileCategory::Other;
        if (ExtensionKey(name.c_str(), key)) {
            category = ClassifyFileName(name.c_str());
        } else {
            key = QString::fromLatin1(kNoExtensionKey);
        }
        if (!CategoryWanted(category)) continue;
        m_categoryMaps[static_cast<int>(category)][key].push_back(i);
        ++m_nListedCount;
    }

    FillResultTree();
}

void DRUI::FillResultTree() {
    const QSignalBlocker blocker(m_pResultTree);
    m_pResultTree->clear();
    m_pCurTreeItem = nullptr;
    if (m_scanParts.size() < 2) {
        if (m_bFolderView) {
            AddFolderItems(nullptr, -1);
        } else {
            AddCategoryItems(nullptr, -1);
        }
    } else {
        // A whole disk: each part's files under the part, as the device page named it.
        for (int part = 0; part < static_cast<int>(m_scanParts.size()); ++part) {
            auto* top = new QTreeWidgetItem({m_scanParts[static_cast<size_t>(part)].name});
            top->setData(0, kPartRole, part);
            const size_t count = RecordsOfItem(top).size();
            if (count == 0) {
                delete top;
                continue;
            }
            top->setText(0, QStringLiteral("%1 (%2)").arg(top->text(0)).arg(count));
            MakeCheckable(top);
            m_pResultTree->addTopLevelItem(top);
            if (m_bFolderView) {
                AddFolderItems(top, part);
            } else {
                AddCategoryItems(top, part);
            }
        }
    }
    m_pResultTree->expandAll();
    RefreshTreeTicks();
}

// Hidden files are unticked too: Recover takes only what the list shows.
void DRUI::ShowPresentFiles(bool bShow) {
    if (!bShow) {
        std::erase_if(m_mapCheckedFileNode,
                      [](const auto& entry) { return IsPresentEntry(entry.second); });
    }
    CreateTree();
    if (m_pResultTree->topLevelItemCount() > 0) {
        m_pResultTree->setCurrentItem(m_pResultTree->topLevelItem(0));
    }
    findChild<QLabel*>(QStringLiteral("resultText"))->setText(ResultHeadline());
    UpdateSelectionInfo();
}

void DRUI::ShowView(bool bFolders) {
    if (bFolders == m_bFolderView) return;
    m_bFolderView = bFolders;
    FillResultTree();
    if (m_pResultTree->topLevelItemCount() > 0) {
        m_pResultTree->setCurrentItem(m_pResultTree->topLevelItem(0));
    }
}

void DRUI::AddCategoryItems(QTreeWidgetItem* pParent, int nPart) {
    for (FileCategory category : kCategoryOrder) {
        const CategoryMap& map = m_categoryMaps[static_cast<int>(category)];
        size_t count = 0;
        for (const auto& entry : map) count += RecordsOfPart(entry.second, nPart).size();
        if (count == 0) continue;
        auto* top = new QTreeWidgetItem({QStringLiteral("%1(%2)")
                                             .arg(QString::fromLatin1(GetCategoryLabel(category)))
                                             .arg(count)});
        top->setData(0, kCategoryRole, static_cast<int>(category));
        if (nPart >= 0) top->setData(0, kPartRole, nPart);
        MakeCheckable(top);
        if (pParent != nullptr) {
            pParent->addChild(top);
        } else {
            m_pResultTree->addTopLevelItem(top);
        }
        for (const auto& [key, indexes] : map) {
            const size_t files = RecordsOfPart(indexes, nPart).size();
            if (files == 0) continue;
            auto* child =
                new QTreeWidgetItem({QStringLiteral("%1 Files (%2)").arg(key).arg(files)});
            child->setIcon(
                0, QIcon(QString::fromStdString(GetExtendNameIcon(key.toStdString().c_str()))));
            child->setData(0, kKeyRole, key);
            child->setData(0, kCategoryRole, static_cast<int>(category));
            if (nPart >= 0) child->setData(0, kPartRole, nPart);
            MakeCheckable(child);
            top->addChild(child);
        }
    }
}

std::vector<uint32_t> DRUI::RecordsOfPart(const std::vector<uint32_t>& indexes, int nPart) const {
    if (nPart < 0) return indexes;
    std::vector<uint32_t> records;
    std::copy_if(indexes.begin(), indexes.end(), std::back_inserter(records), [&](uint32_t n) {
        return m_vecSearchFileInfo[n].wcDriveLetter - uint32_t{u'C'} ==
               static_cast<uint32_t>(nPart);
    });
    return records;
}

std::vector<uint32_t> DRUI::RecordsOfItem(QTreeWidgetItem* pItem) const {
    std::vector<uint32_t> records;
    if (pItem == nullptr) return records;
    if (pItem->data(0, kFolderRole).isValid()) return RecordsOfFolderItem(pItem);
    const int part = pItem->data(0, kPartRole).isValid() ? pItem->data(0, kPartRole).toInt() : -1;
    const QVariant category = pItem->data(0, kCategoryRole);
    if (!category.isValid()) {  // a part: the files of every category
        for (const CategoryMap& map : m_categoryMaps)
            for (const auto& entry : map)
                records.insert(records.end(), entry.second.begin(), entry.second.end());
        return RecordsOfPart(records, part);
    }
    if (category.toInt() < 0 || category.toInt() >= 6) return records;
    const CategoryMap& map = m_categoryMaps[category.toInt()];
    if (!pItem->data(0, kKeyRole).isValid()) {  // a category: all its extensions' files
        for (const auto& entry : map)
            records.insert(records.end(), entry.second.begin(), entry.second.end());
        return RecordsOfPart(records, part);
    }
    const auto found = map.find(pItem->data(0, kKeyRole).toString());
    if (found != map.end()) records = found->second;
    return RecordsOfPart(records, part);
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
    const std::vector<uint32_t> records = RecordsOfItem(pItem);
    const Qt::CheckState state = pItem->checkState(0);
    if (state != Qt::PartiallyChecked) {
        // A partly ticked item only shows its files as they are ticked: looking at it must not
        // tick or untick anything the user chose file by file.
        TickRecords(records, state == Qt::Checked);
        RefreshTreeTicks();
    }
    m_bUpdatingTable = true;
    FillTable(records);
    m_bUpdatingTable = false;
    ApplyFilter();
    m_pCurTreeItem = pItem;
    UpdateSelectionInfo();
    if (m_pResultTable->rowCount() > 0) SchedulePreview();
}

void DRUI::FillTable(const std::vector<uint32_t>& indexes) {
    m_pResultTable->setSortingEnabled(false);  // rows are placed by number while filling
    m_pResultTable->setRowCount(0);
    m_pResultTable->setRowCount(static_cast<int>(indexes.size()));
    for (int row = 0; row < static_cast<int>(indexes.size()); ++row) {
        AddTableRow(row, m_vecSearchFileInfo[indexes[row]]);
    }
    m_pResultTable->setSortingEnabled(true);
}

QString DRUI::OriginalFolderOf(const _FILE_NODE_& node) const {
    IFileRecoveryParse* engine = EngineOf(node);
    if (engine == nullptr || node.nFileSource == FILE_SOURCE_FILE_TYPE) return QString();
    char16_t path[kPreviewPathUnits] = {};
    _FILE_NODE_ copy = node;
    if (engine->GetFileNodeParentDirPath(&copy, path, kPreviewPathUnits) != 0) {
        return QString();
    }
    path[kPreviewPathUnits - 1] = u'\0';
    return QString::fromUtf16(path);
}

void DRUI::AddTableRow(int nRow, const _FILE_NODE_& node) {
    const QVariant record = QVariant::fromValue(node);
    QString key;
    const std::string nameBytes = NameBytes(node);
    if (!ExtensionKey(nameBytes.c_str(), key)) key = QString::fromLatin1(kNoExtensionKey);
    auto* name = new QTableWidgetItem(
        QIcon(QString::fromStdString(GetExtendNameIcon(key.toStdString().c_str()))), NameOf(node));
    name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    name->setCheckState(m_mapCheckedFileNode.count(KeyOf(node)) != 0 ? Qt::Checked : Qt::Unchecked);
    const QString folder = OriginalFolderOf(node);
    timespec modified{}, accessed{};
    const bool dated = GetRecordTimes(node, modified, accessed);
    const qulonglong seconds = dated ? static_cast<qulonglong>(modified.tv_sec) : 0;
    QTableWidgetItem* cells[kColumns] = {
        name,
        new QTableWidgetItem(folder),
        new NumberItem(
            QString::fromStdString(GetFileSizeString(static_cast<long long>(node.u64FileSize))),
            node.u64FileSize),
        new NumberItem(dated ? QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds))
                                   .toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                             : QString(),
                       seconds),
        new QTableWidgetItem(StateOf(node, folder)),
    };
    for (int column = 0; column < kColumns; ++column) {
        if (column != kColName) cells[column]->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        cells[column]->setData(kRecordRole, record);
        m_pResultTable->setItem(nRow, column, cells[column]);
    }
    m_pResultTable->setRowHeight(nRow, kRowHeight);
}

void DRUI::ApplyFilter() {
    if (m_pResultTable == nullptr || m_pFilterBox == nullptr) return;
    const QString wanted = m_pFilterBox->text().trimmed();
    for (int row = 0; row < m_pResultTable->rowCount(); ++row) {
        const QString name = m_pResultTable->item(row, kColName)->text();
        const QString folder = m_pResultTable->item(row, kColFolder)->text();
        const bool shown = wanted.isEmpty() || name.contains(wanted, Qt::CaseInsensitive) ||
                           folder.contains(wanted, Qt::CaseInsensitive);
        m_pResultTable->setRowHidden(row, !shown);
    }
}

void DRUI::TickRecords(const std::vector<uint32_t>& indexes, bool bTick) {
    for (uint32_t index : indexes) {
        const _FILE_NODE_& node = m_vecSearchFileInfo[index];
        if (bTick) {
            m_mapCheckedFileNode[KeyOf(node)] = node;
        } else {
            m_mapCheckedFileNode.erase(KeyOf(node));
        }
    }
}

// The ticks of the tree follow the ticked set: an item is ticked when all the files it holds
// (itself and through its children) are, partly when some are.
void DRUI::RefreshTreeTicks() {
    m_bUpdatingTree = true;
    for (int i = 0; i < m_pResultTree->topLevelItemCount(); ++i)
        RefreshTicksUnder(m_pResultTree->topLevelItem(i));
    m_bUpdatingTree = false;
}

// The ticked and all files under the item; sets the item's tick from them.
std::pair<size_t, size_t> DRUI::RefreshTicksUnder(QTreeWidgetItem* pItem) {
    size_t ticked = 0, total = 0;
    for (uint32_t n : OwnRecordsOfItem(pItem)) {
        ++total;
        ticked += m_mapCheckedFileNode.count(KeyOf(m_vecSearchFileInfo[n]));
    }
    for (int j = 0; j < pItem->childCount(); ++j) {
        const auto [childTicked, childTotal] = RefreshTicksUnder(pItem->child(j));
        ticked += childTicked;
        total += childTotal;
    }
    pItem->setCheckState(0, ticked == 0       ? Qt::Unchecked
                            : ticked == total ? Qt::Checked
                                              : Qt::PartiallyChecked);
    return {ticked, total};
}

void DRUI::SyncTableTicks() {
    m_bUpdatingTable = true;
    for (int row = 0; row < m_pResultTable->rowCount(); ++row) {
        QTableWidgetItem* item = m_pResultTable->item(row, kColName);
        const _FILE_NODE_ node = item->data(kRecordRole).value<_FILE_NODE_>();
        item->setCheckState(m_mapCheckedFileNode.count(KeyOf(node)) != 0 ? Qt::Checked
                                                                         : Qt::Unchecked);
    }
    m_bUpdatingTable = false;
}

void DRUI::tableItemPress(int nRow, int nColumn) {
    if (nColumn != kColName) return;
    QTableWidgetItem* item = m_pResultTable->item(nRow, kColName);
    if (item == nullptr || !item->data(kRecordRole).canConvert<_FILE_NODE_>()) return;
    const _FILE_NODE_ node = item->data(kRecordRole).value<_FILE_NODE_>();
    if (item->checkState() == Qt::Checked) {
        m_mapCheckedFileNode[KeyOf(node)] = node;
    } else {
        m_mapCheckedFileNode.erase(KeyOf(node));
    }
    RefreshTreeTicks();
    UpdateSelectionInfo();
}

void DRUI::UpdateSelectionInfo() {
    unsigned long long bytes = 0;
    for (const auto& entry : m_mapCheckedFileNode) bytes += entry.second.u64FileSize;
    const size_t count = m_mapCheckedFileNode.size();
    m_pSelectLabel->setText(
        count == 0
            ? QStringLiteral("No files selected")
            : QStringLiteral("%1 selected (%2)")
                  .arg(Plural(count, "file", "files"),
                       QString::fromStdString(GetFileSizeString(static_cast<long long>(bytes)))));
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
    tableItemClick(m_pResultTable->item(row, kColName));
}

void DRUI::ShowPreview() {
    const std::string tmpPath = WideToUtf8(m_szPreviewTmpPath);
    const QString picture = QString::fromStdString(tmpPath);
    QByteArray data(reinterpret_cast<const char*>(m_pPreviewBuf.data()),
                    std::clamp(m_nPreviewBufLen, 0, static_cast<int>(m_pPreviewBuf.size())));
    if (!tmpPath.empty() && QFileInfo::exists(picture)) {
        QFile file(picture);
        if (file.open(QIODevice::ReadOnly)) data = file.read(kPreviewSize);
    }
    ShowPreviewOf(m_strPreviewFileName, data,
                  !tmpPath.empty() && QFileInfo::exists(picture) ? picture : QString());
}

void DRUI::ShowPreviewOf(const QString& strName, const QByteArray& data,
                         const QString& strPicture) {
    m_previewPicture = QPixmap();
    const FileCategory category = ClassifyFileName(strName.toUtf8().constData());
    if (!strPicture.isEmpty() && m_previewPicture.load(strPicture)) {
        m_pPreviewStack->setCurrentWidget(m_pPreviewLabel);
        FitPreviewPicture();
        return;
    }
    if (category == FileCategory::Photo) {
        ShowNoPreview(QStringLiteral("the picture cannot be decoded (damaged or incomplete)"));
    } else if (category == FileCategory::Video || category == FileCategory::Music) {
        ShowNoPreview(QStringLiteral("video and sound are not played here"));
    } else if (QString text; DecodeText(data, text)) {
        m_pPreviewText->setPlainText(text);
        m_pPreviewStack->setCurrentWidget(m_pPreviewText);
    } else {
        ShowNoPreview(data.isEmpty() ? QStringLiteral("nothing could be read")
                                     : QStringLiteral("binary data"));
    }
}

void DRUI::ShowNoPreview(const QString& strReason) {
    m_pPreviewLabel->setPixmap(QPixmap());
    m_pPreviewLabel->setText(QStringLiteral("No preview: %1").arg(strReason));
    m_pPreviewStack->setCurrentWidget(m_pPreviewLabel);
}

void DRUI::FitPreviewPicture() {
    if (m_previewPicture.isNull() || m_pPreviewLabel == nullptr) return;
    const QSize room = m_pPreviewLabel->size() - QSize(4, 4);
    const bool fits =
        m_previewPicture.width() <= room.width() && m_previewPicture.height() <= room.height();
    m_pPreviewLabel->setPixmap(
        fits || room.isEmpty()
            ? m_previewPicture
            : m_previewPicture.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void DRUI::btnSlotBack() {
    const int page = m_pStack->currentIndex();
    if (page >= 2 && !ConfirmDiscardResults()) return;
    m_pPreviewTimer->stop();
    m_pStack->setCurrentIndex(page >= 2 ? 1 : 0);
    DeleteEngine();
}
