// The result page built from a list of records: categories, extension items, icons, the
// page text.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <cstring>

#include "foundation/text.h"
#include "ui/drui.h"
#include "ui/file_icons.h"
#include "ui_test_support.h"

namespace ferrowen::test {
namespace {

QStringList TopTexts(QTreeWidget* tree) {
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) texts << tree->topLevelItem(i)->text(0);
    return texts;
}

QStringList ChildTexts(QTreeWidgetItem* item) {
    QStringList texts;
    for (int i = 0; i < item->childCount(); ++i) texts << item->child(i)->text(0);
    return texts;
}

QTreeWidgetItem* TopItem(QTreeWidget* tree, const QString& prefix) {
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        if (tree->topLevelItem(i)->text(0).startsWith(prefix)) return tree->topLevelItem(i);
    }
    return nullptr;
}

class ResultTreeTest : public ::testing::Test {
protected:
    void SetUp() override { window_.Init(); }

    SandboxedHome home_;
    ScopedEnv disks_{"FERROWEN_DISKS", "/nonexistent/ferrowen-disk"};
    DRUI window_;
};

TEST_F(ResultTreeTest, GroupsRecordsByCategoryInFixedOrderAndKeysAscending) {
    window_.ShowResults({
        MakeRecord("clip.avi", 10, 1, 1), MakeRecord("b.PNG", 10, 2, 2),
        MakeRecord("a.jpg", 10, 3, 3), MakeRecord("song.mp3", 10, 4, 4),
        MakeRecord("x.JPG", 10, 5, 5), MakeRecord("readme", 10, 6, 6), MakeRecord("a.b", 10, 7, 7),
        MakeRecord("notes.rtf", 10, 8, 8), MakeRecord("report.pdf", 10, 9, 9),
        MakeRecord("backup.zip", 10, 10, 10), MakeRecord("", 10, 11, 11),  // no name: left out
    });
    QTreeWidget* tree = window_.ResultTree();
    EXPECT_EQ(window_.CurrentPage(), 2);
    EXPECT_EQ(TopTexts(tree), (QStringList{"Photo(3)", "Music(1)", "Office(1)", "Video(1)",
                                           "Archive(2)", "Other(2)"}));
    EXPECT_EQ(ChildTexts(TopItem(tree, "Photo")),
              (QStringList{"jpg Files (2)", "png Files (1)"}));  // x.JPG joins jpg
    EXPECT_EQ(ChildTexts(TopItem(tree, "Archive")),
              (QStringList{"rtf Files (1)", "zip Files (1)"}));  // rtf through the office list
    EXPECT_EQ(ChildTexts(TopItem(tree, "Other")), (QStringList{"b Files (1)", "unKnow Files (1)"}));
    EXPECT_EQ(tree->columnCount(), 1);
    EXPECT_TRUE(tree->headerItem()->text(0).isEmpty());
    EXPECT_GE(tree->minimumWidth(), 250);
    EXPECT_GE(tree->minimumHeight(), 410);

    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* top = tree->topLevelItem(i);
        EXPECT_TRUE(top->isExpanded());
        EXPECT_EQ(top->checkState(0), Qt::Unchecked);
        for (int j = 0; j < top->childCount(); ++j) {
            EXPECT_EQ(top->child(j)->checkState(0), Qt::Unchecked);
            EXPECT_FALSE(top->child(j)->icon(0).isNull()) << top->child(j)->text(0).toStdString();
        }
    }
    auto* text = window_.findChild<QLabel*>("resultText");
    EXPECT_TRUE(text->text().contains("Found 11 recoverable files after the scan."));
    EXPECT_EQ(window_.SelectionLabel()->text(), "Select 0 Bytes in 0 file");
    EXPECT_FALSE(window_.RecoverButton()->isEnabled());
}

TEST_F(ResultTreeTest, AnExtensionWithABlankStillListsItsFiles) {
    window_.ShowResults({MakeRecord("odd.a b", 5, 1, 1)});
    QTreeWidgetItem* other = TopItem(window_.ResultTree(), "Other");
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(other->childCount(), 1);
    window_.ResultTree()->setCurrentItem(other->child(0));
    EXPECT_EQ(window_.ResultTable()->rowCount(), 1);
}

TEST_F(ResultTreeTest, AnEmptySearchGivesAnEmptyTree) {
    window_.ShowResults({});
    EXPECT_EQ(window_.ResultTree()->topLevelItemCount(), 0);
    EXPECT_TRUE(
        window_.findChild<QLabel*>("resultText")->text().contains("Found 0 recoverable files"));
}

TEST_F(ResultTreeTest, SelectingAnExtensionFillsTheTable) {
    window_.ShowResults({MakeRecord("b.jpg", 2048, 1, 1), MakeRecord("a.jpg", 100, 2, 2)});
    QTreeWidgetItem* jpg = TopItem(window_.ResultTree(), "Photo")->child(0);
    window_.ResultTree()->setCurrentItem(jpg);
    QTableWidget* table = window_.ResultTable();
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), "Name");
    EXPECT_EQ(table->horizontalHeaderItem(1)->text(), "Size");
    EXPECT_EQ(table->item(0, 0)->text(), "b.jpg");  // search order is kept
    EXPECT_EQ(table->item(0, 1)->text().toStdString(), GetFileSizeString(2048));
    EXPECT_EQ(table->rowHeight(0), 22);
    const auto record = table->item(1, 1)->data(DRUI::kRecordRole).value<_FILE_NODE_>();
    EXPECT_STREQ(record.szFileName, "a.jpg");
    // A category shows no files of its own.
    window_.ResultTree()->setCurrentItem(TopItem(window_.ResultTree(), "Photo"));
    EXPECT_EQ(table->rowCount(), 0);
}

TEST_F(ResultTreeTest, ANameFillingItsWholeFieldIsListedCut) {
    _FILE_NODE_ node = MakeRecord("", 1, 1, 1);
    std::memset(node.szFileName, 'a', sizeof node.szFileName);  // no terminator at all
    std::memcpy(node.szFileName + sizeof node.szFileName - 4, ".jpg", 4);
    window_.ShowResults({node});
    QTreeWidgetItem* photo = TopItem(window_.ResultTree(), "Photo");
    ASSERT_NE(photo, nullptr);
    window_.ResultTree()->setCurrentItem(photo->child(0));
    ASSERT_EQ(window_.ResultTable()->rowCount(), 1);
    EXPECT_EQ(window_.ResultTable()->item(0, 0)->text().size(), 256);
}

TEST(FileIconTest, ExtensionsMapToTheirPictureOrTheirCategoryDefault) {
    EXPECT_EQ(GetExtendNameIcon("jpeg"), ":/image/FileIcon/jpg.png");
    EXPECT_EQ(GetExtendNameIcon("JPG"), ":/image/FileIcon/jpg.png");
    EXPECT_EQ(GetExtendNameIcon("tiff"), ":/image/FileIcon/tif.png");
    EXPECT_EQ(GetExtendNameIcon("mp3"), ":/image/FileIcon/mp3.png");
    EXPECT_EQ(GetExtendNameIcon("nef"), ":/image/FileIcon/image.png");
    EXPECT_EQ(GetExtendNameIcon("wav"), ":/image/FileIcon/audio_default.png");
    EXPECT_EQ(GetExtendNameIcon("docx"), ":/image/FileIcon/office_default.png");
    EXPECT_EQ(GetExtendNameIcon("mkv"), ":/image/FileIcon/video_default.png");
    EXPECT_EQ(GetExtendNameIcon("tar"), ":/image/FileIcon/zip.png");
    EXPECT_EQ(GetExtendNameIcon("rtf"), ":/image/FileIcon/office_default.png");
    EXPECT_EQ(GetExtendNameIcon("unKnow"), ":/image/FileIcon/other.png");
    EXPECT_EQ(GetExtendNameIcon(""), ":/image/FileIcon/other.png");
}

TEST(FileIconTest, EveryPictureTheWindowNamesIsCompiledIn) {
    for (const char* name : kFileIconNames) {
        const QString path = QStringLiteral(":/image/FileIcon/%1.png").arg(name);
        EXPECT_FALSE(QPixmap(path).isNull()) << name;
    }
    for (const char* name : {"photo", "music", "video", "document", "archive", "other",
                             "physical_drive", "drive", "question", "recover_file", "logo"}) {
        EXPECT_FALSE(QPixmap(QStringLiteral(":/image/%1.png").arg(name)).isNull()) << name;
    }
}

}  // namespace
}  // namespace ferrowen::test
