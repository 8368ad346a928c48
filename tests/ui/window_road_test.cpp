// The whole road of one scan in the window, against fixture images in the disk table: file
// types, device, scan, search, the result page, ticking, recovery into a temporary folder,
// and the recovered files compared byte for byte with what the images hold.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <map>
#include <set>

#include "engine/recovery_job.h"
#include "faulty_io.h"
#include "ui/detail.h"
#include "ui/drui.h"
#include "ui/scanui.h"
#include "ui_test_support.h"

namespace ferrowen::test {
namespace {

namespace fs = std::filesystem;

// sha256 -> file name of the regular files directly inside a folder.
std::multimap<std::string, std::string> HashesIn(const fs::path& folder) {
    std::multimap<std::string, std::string> hashes;
    if (!fs::is_directory(folder)) return hashes;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            hashes.emplace(Sha256OfFile(entry.path().string()), entry.path().filename().string());
        }
    }
    return hashes;
}

std::set<std::string> FoldersIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.is_directory()) names.insert(entry.path().filename().string());
    }
    return names;
}

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

class WindowRoadTest : public ::testing::Test {
protected:
    void StartWith(const std::string& image) {
        disks_ = std::make_unique<ScopedEnv>("FERROWEN_DISKS", image);
        window_.Init();
        window_.show();
        window_.SetSaveDirChooser(
            [this](QWidget*) { return QString::fromStdString(dest_.path()); });
    }

    void TickOnlyTypes(const QStringList& names) {
        for (const char* name : {"Photo", "Music", "Video", "Document", "Archive", "Other"}) {
            auto* box = window_.findChild<QCheckBox*>(QStringLiteral("typeBox") + name);
            box->setChecked(names.contains(name));
        }
    }

    // Scan through the button; the scan and search dialogs close by themselves.
    void ScanItem(QTreeWidgetItem* item) {
        QTest::mouseClick(window_.findChild<QPushButton*>("btnStart"), Qt::LeftButton);
        ASSERT_EQ(window_.CurrentPage(), 1);
        window_.DeviceTree()->setCurrentItem(item);
        QTest::mouseClick(window_.findChild<QPushButton*>("btnScan"), Qt::LeftButton);
        ASSERT_EQ(window_.CurrentPage(), 2);
    }

    // Recover as the button does; the dialog is closed once it reads "Finished".
    void RecoverTicked() {
        ModalAnswerer finish(OnModal<SCANUI>([this](SCANUI* dialog) {
            if (dialog->OprType() != SCANUI::kJobRecovery) return;
            if (dialog->CancelButton()->text() != "Finished") return;
            successes_ = dialog->Detail()->RecoveredCount();
            failures_ = dialog->Detail()->FailedCount();
            dialog->CancelButton()->click();
        }));
        window_.btnRecovery();
        EXPECT_TRUE(window_.m_bRecoveryEnd);
    }

    SandboxedHome home_;
    TempDir images_;
    TempDir dest_;
    std::unique_ptr<ScopedEnv> disks_;
    DRUI window_;
    int successes_ = -1;
    int failures_ = -1;
};

TEST_F(WindowRoadTest, PhotosOfAPartitionComeBackByteExactInThePhotoFolder) {
    StartWith(UnpackFixture("mbr", images_));
    TickOnlyTypes({"Photo"});
    QTreeWidgetItem* disk = window_.DeviceTree()->topLevelItem(0);
    ASSERT_NE(disk, nullptr);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));  // Partition 1, FAT16
    EXPECT_EQ(window_.m_nScanResult, 0);

    QTreeWidget* tree = window_.ResultTree();
    ASSERT_GE(tree->topLevelItemCount(), 1);
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        EXPECT_TRUE(tree->topLevelItem(i)->text(0).startsWith("Photo("))
            << tree->topLevelItem(i)->text(0).toStdString();
    }
    QTreeWidgetItem* photo = tree->topLevelItem(0);
    photo->setCheckState(0, Qt::Checked);
    const size_t ticked = window_.m_mapCheckedFileNode.size();
    ASSERT_GE(ticked, 1u);
    EXPECT_TRUE(window_.RecoverButton()->isEnabled());

    RecoverTicked();
    EXPECT_EQ(successes_, static_cast<int>(ticked));
    EXPECT_EQ(failures_, 0);
    EXPECT_EQ(FoldersIn(dest_.path()), std::set<std::string>{"photo"});
    const auto recovered = HashesIn(fs::path(dest_.path()) / "photo");
    EXPECT_EQ(recovered.size(), ticked);
    for (const ManifestEntry& entry : LoadManifest("mbr.p1")) {
        if (!entry.deleted || entry.isDir || entry.sha256.empty()) continue;
        if (ClassifyFileName(entry.path.c_str()) != FileCategory::Photo) continue;
        EXPECT_EQ(recovered.count(entry.sha256), 1u) << entry.path;
    }
}

TEST_F(WindowRoadTest, EveryDeletedFileOfAWholeVolumeLandsInItsTypeFolder) {
    StartWith(UnpackFixture("fat16", images_));
    QTreeWidgetItem* disk = window_.DeviceTree()->topLevelItem(0);
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->childCount(), 1);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));  // the whole disk

    QTreeWidget* tree = window_.ResultTree();
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        tree->topLevelItem(i)->setCheckState(0, Qt::Checked);
    }
    // Look at one extension to exercise the table and the preview on the way.
    QTreeWidgetItem* firstExtension = tree->topLevelItem(0)->child(0);
    tree->setCurrentItem(firstExtension);
    ASSERT_GT(window_.ResultTable()->rowCount(), 0);
    window_.tableItemClick(window_.ResultTable()->item(0, 0));
    EXPECT_TRUE(window_.m_bPreviewEnd);

    RecoverTicked();
    EXPECT_EQ(failures_, 0);
    std::map<std::string, std::multimap<std::string, std::string>> byFolder;
    int checked = 0;
    for (const ManifestEntry& entry : LoadManifest("fat16")) {
        if (!entry.deleted || entry.isDir || entry.sha256.empty()) continue;
        const std::string folder = GetDirTypeByFileName(BaseName(entry.path).c_str());
        if (byFolder.count(folder) == 0) {
            byFolder[folder] = HashesIn(fs::path(dest_.path()) / folder);
        }
        EXPECT_GE(byFolder[folder].count(entry.sha256), 1u) << entry.path << " in " << folder;
        ++checked;
    }
    EXPECT_GT(checked, 5);
}

// A card pulled out half way through: the results page lists what was found and says the
// scan ended early, and why, instead of looking like a complete scan.
TEST_F(WindowRoadTest, AScanThatEndedEarlySaysSoOnTheResultsPage) {
    const std::string image = UnpackFixture("fat16", images_);
    StartWith(image);
    faulty_io::FailReads(image, {{uint64_t{4} << 20, uint64_t{1} << 40}}, ENODEV);
    QTreeWidgetItem* disk = window_.DeviceTree()->topLevelItem(0);
    ASSERT_NE(disk, nullptr);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));
    faulty_io::Reset();
    EXPECT_EQ(window_.m_nScanResult, ENODEV);
    const QString text = window_.findChild<QLabel*>("resultText")->text();
    EXPECT_TRUE(text.contains("The scan ended early (No such device)")) << text.toStdString();
}

TEST_F(WindowRoadTest, ADoubleClickScansAndBackEndsTheEngine) {
    StartWith(UnpackFixture("fat12", images_));
    window_.findChild<QPushButton*>("btnStart")->click();
    QTreeWidgetItem* disk = window_.DeviceTree()->topLevelItem(0);
    ASSERT_NE(disk, nullptr);
    window_.diskItemDoubleClick(disk, 0);  // a disk, not a volume: nothing happens
    EXPECT_EQ(window_.CurrentPage(), 1);
    window_.diskItemDoubleClick(disk->child(0), 0);
    ASSERT_EQ(window_.CurrentPage(), 2);
    EXPECT_NE(window_.m_pFileRecovery, nullptr);
    EXPECT_GT(window_.ResultTree()->topLevelItemCount(), 0);

    // Recovering with nothing ticked creates nothing and only reports the end.
    RecoverTicked();
    EXPECT_EQ(successes_, 0);
    EXPECT_EQ(failures_, 0);
    EXPECT_TRUE(FoldersIn(dest_.path()).empty());

    window_.findChild<QPushButton*>("btnBackResults")->click();
    EXPECT_EQ(window_.CurrentPage(), 1);
    EXPECT_EQ(window_.m_pFileRecovery, nullptr);
}

}  // namespace
}  // namespace ferrowen::test
