// Ticking on the result page: categories, extensions and rows, the partly ticked parents,
// the ticked set, the selection label and the Recover button.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>

#include "foundation/text.h"
#include "ui/drui.h"
#include "ui_test_support.h"

namespace ferrowen::test {
namespace {

class TickingTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_.Init();
        window_.ShowResults({MakeRecord("one.jpg", 1000, 1, 10), MakeRecord("two.jpg", 2000, 2, 20),
                             MakeRecord("three.png", 4000, 3, 30),
                             MakeRecord("song.mp3", 8000, 4, 40)});
        tree_ = window_.ResultTree();
        photo_ = tree_->topLevelItem(0);
        music_ = tree_->topLevelItem(1);
        ASSERT_EQ(photo_->text(0), "Photo(3)");
        jpg_ = photo_->child(0);
        png_ = photo_->child(1);
        ASSERT_EQ(jpg_->text(0), "jpg Files (2)");
    }

    // What a click on an item's box does: the box changes, the item becomes the shown one.
    void Tick(QTreeWidgetItem* item, Qt::CheckState state) { item->setCheckState(0, state); }
    void TickRow(int row, Qt::CheckState state) {
        window_.ResultTable()->item(row, 0)->setCheckState(state);
    }
    QString Label() { return window_.SelectionLabel()->text(); }

    SandboxedHome home_;
    ScopedEnv disks_{"FERROWEN_DISKS", "/nonexistent/ferrowen-disk"};
    DRUI window_;
    QTreeWidget* tree_ = nullptr;
    QTreeWidgetItem* photo_ = nullptr;
    QTreeWidgetItem* music_ = nullptr;
    QTreeWidgetItem* jpg_ = nullptr;
    QTreeWidgetItem* png_ = nullptr;
};

TEST_F(TickingTest, TickingACategoryTicksItsExtensionsAndAddsAllItsFiles) {
    Tick(photo_, Qt::Checked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Checked);
    EXPECT_EQ(png_->checkState(0), Qt::Checked);
    EXPECT_EQ(music_->checkState(0), Qt::Unchecked);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 3u);
    EXPECT_EQ(Label().toStdString(), "Select " + GetFileSizeString(7000) + " in 3 files");
    EXPECT_TRUE(window_.RecoverButton()->isEnabled());

    Tick(photo_, Qt::Unchecked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Unchecked);
    EXPECT_TRUE(window_.m_mapCheckedFileNode.empty());
    EXPECT_EQ(Label(), "Select 0 Bytes in 0 file");
    EXPECT_FALSE(window_.RecoverButton()->isEnabled());
}

TEST_F(TickingTest, TickingAnExtensionTicksItsRowsAndRecomputesItsCategory) {
    Tick(png_, Qt::Checked);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(window_.ResultTable()->rowCount(), 1);
    EXPECT_EQ(window_.ResultTable()->item(0, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(Label().toStdString(), "Select " + GetFileSizeString(4000) + " in 1 file");

    Tick(jpg_, Qt::Checked);
    EXPECT_EQ(photo_->checkState(0), Qt::Checked);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 3u);
}

TEST_F(TickingTest, OneOfTwoRowsLeavesExtensionAndCategoryPartlyTicked) {
    tree_->setCurrentItem(jpg_);
    ASSERT_EQ(window_.ResultTable()->rowCount(), 2);
    TickRow(1, Qt::Checked);
    EXPECT_EQ(jpg_->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);
    ASSERT_EQ(window_.m_mapCheckedFileNode.size(), 1u);
    EXPECT_STREQ(window_.m_mapCheckedFileNode.begin()->second.szFileName, "two.jpg");
    EXPECT_EQ(Label().toStdString(), "Select " + GetFileSizeString(2000) + " in 1 file");

    TickRow(0, Qt::Checked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Checked);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);  // png still unticked
    EXPECT_EQ(Label().toStdString(), "Select " + GetFileSizeString(3000) + " in 2 files");

    TickRow(0, Qt::Unchecked);
    TickRow(1, Qt::Unchecked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Unchecked);
    EXPECT_EQ(photo_->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(window_.RecoverButton()->isEnabled());
}

TEST_F(TickingTest, LookingAtAPartlyTickedItemChangesNoTick) {
    tree_->setCurrentItem(jpg_);
    TickRow(1, Qt::Checked);
    tree_->setCurrentItem(png_);
    tree_->setCurrentItem(jpg_);  // shown again: the user's row choice stays
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 1u);
    EXPECT_EQ(window_.ResultTable()->item(0, 0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(window_.ResultTable()->item(1, 0)->checkState(), Qt::Checked);
    tree_->setCurrentItem(photo_);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 1u);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);
}

TEST_F(TickingTest, RecordsOfTwoStoresWithTheSameIndexStayTwoEntries) {
    window_.ShowResults({MakeRecord("a.jpg", 10, 7, 3, FILE_SOURCE_FAST_FAT),
                         MakeRecord("b.jpg", 20, 7, 3, FILE_SOURCE_FILE_TYPE)});
    QTreeWidgetItem* photo = window_.ResultTree()->topLevelItem(0);
    photo->setCheckState(0, Qt::Checked);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 2u);
    EXPECT_EQ(window_.SelectionLabel()->text().toStdString(),
              "Select " + GetFileSizeString(30) + " in 2 files");
}

TEST_F(TickingTest, ANewResultPageStartsWithNothingTicked) {
    Tick(photo_, Qt::Checked);
    window_.ShowResults({MakeRecord("again.jpg", 1, 1, 1)});
    EXPECT_TRUE(window_.m_mapCheckedFileNode.empty());
    EXPECT_FALSE(window_.RecoverButton()->isEnabled());
    EXPECT_EQ(window_.SelectionLabel()->text(), "Select 0 Bytes in 0 file");
}

}  // namespace
}  // namespace ferrowen::test
