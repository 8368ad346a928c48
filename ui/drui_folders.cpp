// The result page's folder view: the listed files under the folders they were found in, each
// part of a whole-disk scan on its own, the folders the file system no longer lists marked
// "deleted", lost folders "lost", and carved files (which have no folder) apart.
#include <QApplication>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <utility>

#include "foundation/scan_options.h"
#include "foundation/text.h"
#include "ui/drui.h"

namespace {

// Folder walks of the browse tree stop here: the marks are a help, not worth a stalled window.
constexpr size_t kMaxWalkedFolders = 20000;
constexpr unsigned kMaxWalkDepth = 64;
const QString kCarvedKey = QStringLiteral(
    "\x01"
    "carved");

QString NormalFolder(const QString& path) {
    return path.split(u'/', Qt::SkipEmptyParts).join(u'/');
}

int PartOf(const _FILE_NODE_& node) {
    return static_cast<int>(node.wcDriveLetter - uint32_t{u'C'});
}

QString LastName(const QString& path) {
    return path.mid(path.lastIndexOf(u'/') + 1);
}

}  // namespace

void DRUI::IndexFolders() {
    m_folderFiles.clear();
    for (const CategoryMap& map : m_categoryMaps) {
        for (const auto& entry : map) {
            for (uint32_t index : entry.second) {
                const _FILE_NODE_& node = m_vecSearchFileInfo[index];
                const QString folder = node.nFileSource == FILE_SOURCE_FILE_TYPE
                                           ? kCarvedKey
                                           : NormalFolder(OriginalFolderOf(node));
                m_folderFiles[{PartOf(node), folder}].push_back(index);
            }
        }
    }
    FindDeletedFolders();
    m_bFoldersIndexed = true;
}

// A folder is deleted when the browse tree holds a record of it and none of its records is
// one the file system still lists (each parser of a deep scan keeps its own copy).
void DRUI::FindDeletedFolders() {
    m_deletedFolders.clear();
    std::set<FolderKey> present;
    for (size_t part = 0; part < std::max<size_t>(m_scanParts.size(), 1); ++part) {
        IFileRecoveryParse* engine =
            part < m_scanParts.size() ? m_scanParts[part].pEngine : m_pFileRecovery;
        if (engine == nullptr) continue;
        struct Pending {
            _FILE_NODE_ node;
            unsigned depth;
            QString path;
        };
        std::deque<Pending> queue;
        std::vector<_FILE_NODE_> children;
        if (engine->GetChildrenFileNode(nullptr, 0, children) != 0) continue;
        for (const _FILE_NODE_& child : children) queue.push_back({child, 1, QString()});
        size_t walked = 0;
        while (!queue.empty() && walked < kMaxWalkedFolders) {
            Pending next = std::move(queue.front());
            queue.pop_front();
            if (next.node.bIsDir != 1 || next.node.nFileSource == FILE_SOURCE_FILE_TYPE) continue;
            ++walked;
            const QString name = QString::fromStdU16String(
                Ansi2Unicode(std::string(next.node.szFileName,
                                         strnlen(next.node.szFileName, sizeof next.node.szFileName))
                                 .c_str()));
            const QString path = next.path.isEmpty() ? name : next.path + u'/' + name;
            const FolderKey key{static_cast<int>(part), path};
            (IsPresentEntry(next.node) ? present : m_deletedFolders).insert(key);
            if (next.depth >= kMaxWalkDepth) continue;
            children.clear();
            if (engine->GetChildrenFileNode(&next.node, next.depth, children) != 0) continue;
            for (const _FILE_NODE_& child : children)
                if (child.bIsDir == 1) queue.push_back({child, next.depth + 1, path});
        }
    }
    for (const FolderKey& key : present) m_deletedFolders.erase(key);
}

QString DRUI::FolderItemText(const FolderKey& key, size_t nFiles) const {
    if (key.second == kCarvedKey) return QStringLiteral("Carved files (%1)").arg(nFiles);
    if (key.second.isEmpty()) return QStringLiteral("Root folder (%1)").arg(nFiles);
    const QString name = LastName(key.second);
    if (!key.second.contains(u'/') && name.startsWith(QStringLiteral("LostFolder")))
        return QStringLiteral("%1 (lost, %2)").arg(name).arg(nFiles);
    if (m_deletedFolders.count(key) != 0)
        return QStringLiteral("%1 (deleted, %2)").arg(name).arg(nFiles);
    return QStringLiteral("%1 (%2)").arg(name).arg(nFiles);
}

void DRUI::AddFolderItems(QTreeWidgetItem* pParent, int nPart) {
    if (!m_bFoldersIndexed) IndexFolders();
    const int part = std::max(nPart, 0);
    std::map<QString, QTreeWidgetItem*> items;  // folder path -> its item
    const auto itemOf = [&](const QString& path, auto& self) -> QTreeWidgetItem* {
        if (const auto found = items.find(path); found != items.end()) return found->second;
        auto* item = new QTreeWidgetItem;
        item->setData(0, kFolderRole, path);
        item->setData(0, kPartRole, part);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
        items[path] = item;
        if (path.isEmpty() || path == kCarvedKey) {
            if (pParent != nullptr) {
                pParent->addChild(item);
            } else {
                m_pResultTree->addTopLevelItem(item);
            }
        } else {
            const qsizetype cut = path.lastIndexOf(u'/');
            self(cut < 0 ? QString() : path.left(cut), self)->addChild(item);
        }
        return item;
    };
    for (const auto& [key, indexes] : m_folderFiles)
        if (key.first == part) itemOf(key.second, itemOf);
    for (auto& [path, item] : items) {
        item->setText(0, FolderItemText({part, path}, RecordsOfItem(item).size()));
        item->setIcon(0, QApplication::style()->standardIcon(QStyle::SP_DirIcon));
    }
    for (auto& [path, item] : items) item->sortChildren(0, Qt::AscendingOrder);
}

std::vector<uint32_t> DRUI::RecordsOfFolderItem(QTreeWidgetItem* pItem) const {
    std::vector<uint32_t> records;
    const int part = pItem->data(0, kPartRole).toInt();
    const QString path = pItem->data(0, kFolderRole).toString();
    if (path == kCarvedKey) {
        const auto found = m_folderFiles.find({part, path});
        if (found != m_folderFiles.end()) records = found->second;
        return records;
    }
    // The folder's files and its subfolders' (the root's: every named file of the part).
    const QString below = path + u'/';
    for (auto it = m_folderFiles.lower_bound({part, path});
         it != m_folderFiles.end() && it->first.first == part && it->first.second.startsWith(path);
         ++it) {
        const QString& folder = it->first.second;
        // "A B" sorts between "A" and "A/x": only the folder itself and what lies below it.
        const bool inside = path.isEmpty() || folder == path || folder.startsWith(below);
        if (inside && folder != kCarvedKey)
            records.insert(records.end(), it->second.begin(), it->second.end());
    }
    return records;
}

std::vector<uint32_t> DRUI::OwnRecordsOfItem(QTreeWidgetItem* pItem) const {
    if (pItem->data(0, kFolderRole).isValid()) {
        const auto found = m_folderFiles.find(
            {pItem->data(0, kPartRole).toInt(), pItem->data(0, kFolderRole).toString()});
        return found != m_folderFiles.end() ? found->second : std::vector<uint32_t>{};
    }
    if (pItem->childCount() == 0) return RecordsOfItem(pItem);  // an extension's files
    return {};
}
