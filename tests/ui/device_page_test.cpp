// The device page: the tree of disks and partitions, the Scan button, and disk images
// added to the disk table.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "foundation/disk_table.h"
#include "foundation/text.h"
#include "ui/drui.h"
#include "ui/message_box.h"
#include "ui_test_support.h"

namespace ferrowen::test {
namespace {

std::string SizeOfSectors(uint64_t sectors) {
    return GetFileSizeString(static_cast<long long>(sectors * 512));
}

class DevicePageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        images_ = new TempDir;
        mbr_ = UnpackFixture("mbr", *images_);
        fat12_ = UnpackFixture("fat12", *images_);
        gpt_ = UnpackFixture("gpt", *images_);
    }
    static void TearDownTestSuite() {
        delete images_;
        images_ = nullptr;
    }

    QPushButton* ScanButton() { return window_.findChild<QPushButton*>("btnScan"); }

    static TempDir* images_;
    static std::string mbr_, fat12_, gpt_;
    SandboxedHome home_;
    DRUI window_;
};
TempDir* DevicePageTest::images_ = nullptr;
std::string DevicePageTest::mbr_, DevicePageTest::fat12_, DevicePageTest::gpt_;

TEST_F(DevicePageTest, ListsEveryDiskWithItsPartitionsAndSizes) {
    ScopedEnv disks("FERROWEN_DISKS", mbr_ + ":" + fat12_);
    window_.Init();
    QTreeWidget* tree = window_.DeviceTree();
    EXPECT_EQ(tree->columnCount(), 2);
    EXPECT_EQ(tree->headerItem()->text(0), "Name");
    EXPECT_EQ(tree->headerItem()->text(1), "Size");
    ASSERT_EQ(tree->topLevelItemCount(), 2);

    QTreeWidgetItem* mbr = tree->topLevelItem(0);
    EXPECT_EQ(mbr->text(0), "Physical Driver 0");
    EXPECT_TRUE(mbr->text(1).isEmpty());
    EXPECT_TRUE(mbr->isExpanded());
    const std::vector<PartitionEntry> expected = LoadPartitions("mbr");
    std::vector<PartitionEntry> data;
    for (const PartitionEntry& entry : expected) {
        if (entry.type != "0x05" && entry.type != "0x0f") data.push_back(entry);  // not extended
    }
    ASSERT_EQ(mbr->childCount(), static_cast<int>(data.size()));
    for (int i = 0; i < mbr->childCount(); ++i) {
        QTreeWidgetItem* item = mbr->child(i);
        EXPECT_EQ(item->text(0), QStringLiteral("Partition %1").arg(i + 1));
        EXPECT_EQ(item->text(1).toStdString(), SizeOfSectors(data[i].sectorCount));
        EXPECT_EQ(item->sizeHint(0).height(), 30);
        const auto partition = item->data(0, DRUI::kRecordRole).value<_PARTITION_ITEM_>();
        EXPECT_EQ(partition.u64StartSector, data[i].startSector);
        EXPECT_EQ(partition.nDiskNumber, 0u);
    }

    // A bare volume has no partition table: it is offered whole.
    QTreeWidgetItem* bare = tree->topLevelItem(1);
    EXPECT_EQ(bare->text(0), "Physical Driver 1");
    ASSERT_EQ(bare->childCount(), 1);
    EXPECT_EQ(bare->child(0)->text(0), "Whole Disk");
    const auto whole = bare->child(0)->data(0, DRUI::kRecordRole).value<_PARTITION_ITEM_>();
    EXPECT_EQ(whole.u64StartSector, 0u);
    EXPECT_EQ(whole.u64EndSector + 1, 2880u);  // a 1.44 MB floppy
    EXPECT_EQ(bare->child(0)->text(1).toStdString(), SizeOfSectors(2880));

    // The last partition listed is the current one, so Scan starts enabled.
    EXPECT_EQ(tree->currentItem(), bare->child(0));
    EXPECT_TRUE(ScanButton()->isEnabled());
}

TEST_F(DevicePageTest, ScanIsEnabledOnPartitionsOnly) {
    ScopedEnv disks("FERROWEN_DISKS", gpt_);
    window_.Init();
    QTreeWidget* tree = window_.DeviceTree();
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* disk = tree->topLevelItem(0);
    ASSERT_EQ(disk->childCount(), 3);
    EXPECT_EQ(disk->child(0)->text(0), "Photos");
    EXPECT_EQ(disk->child(2)->text(0), QString::fromUtf8("Данные"));

    window_.diskItemClick(disk, 0);
    EXPECT_FALSE(ScanButton()->isEnabled());
    window_.diskItemClick(disk->child(1), 0);
    EXPECT_TRUE(ScanButton()->isEnabled());
    tree->setCurrentItem(disk);  // keyboard moves count as well
    EXPECT_FALSE(ScanButton()->isEnabled());
}

TEST_F(DevicePageTest, NoDisksLeaveAnEmptyTreeAndScanDisabled) {
    ScopedEnv disks("FERROWEN_DISKS", "/nonexistent/ferrowen-disk");
    window_.Init();
    EXPECT_EQ(window_.DeviceTree()->topLevelItemCount(), 0);
    EXPECT_FALSE(ScanButton()->isEnabled());
    window_.btnSlotScan();  // nothing chosen: nothing runs
    EXPECT_EQ(window_.m_pFileRecovery, nullptr);
}

TEST_F(DevicePageTest, AnOpenedImageBecomesOneMoreDisk) {
    ScopedEnv disks("FERROWEN_DISKS", mbr_);
    window_.Init();
    const std::string image = gpt_;
    window_.SetDiskImageChooser([image](QWidget*) { return QString::fromStdString(image); });
    QTest::mouseClick(window_.findChild<QPushButton*>("btnOpenImage"), Qt::LeftButton);

    EXPECT_EQ(ListDiskPaths(), (std::vector<std::string>{mbr_, gpt_}));
    QTreeWidget* tree = window_.DeviceTree();
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(tree->topLevelItem(1)->text(0), "Physical Driver 1");
    EXPECT_EQ(tree->currentItem(), tree->topLevelItem(1)->child(2));

    // The same image twice stays one disk.
    EXPECT_EQ(window_.AddDiskImage(QString::fromStdString(gpt_)), 0);
    EXPECT_EQ(ListDiskPaths().size(), 2u);
}

TEST_F(DevicePageTest, AnImageThatCannotBeOpenedIsReportedAndNotAdded) {
    ScopedEnv disks("FERROWEN_DISKS", mbr_);
    window_.Init();
    QString notice;
    ModalAnswerer answer(OnModal<CMessageBox>([&notice](CMessageBox* box) {
        notice = box->findChild<QLabel*>("questionText")->text();
        box->btnSlotOK();
    }));
    EXPECT_EQ(window_.AddDiskImage("/nonexistent/card.img"), ENOENT);
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(notice.contains("/nonexistent/card.img")) << notice.toStdString();
    EXPECT_EQ(ListDiskPaths(), std::vector<std::string>{mbr_});

    const std::string colon = images_->path() + "/a:b.img";
    EXPECT_EQ(window_.AddDiskImage(QString::fromStdString(colon)), EINVAL);
    EXPECT_EQ(ListDiskPaths(), std::vector<std::string>{mbr_});
}

}  // namespace
}  // namespace ferrowen::test
