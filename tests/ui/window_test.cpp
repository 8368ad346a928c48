// The window, page by page: the file types (the six type boxes, "Recover All", Start); the
// devices (the tree of disks and partitions, Scan, disk images added to the disk table); the
// results built from a list of records (categories, extensions, the table, icons, ticking, the
// selection label, Recover); the progress dialog of the jobs with its recovery detail list and
// cancel question; and the start-up pieces (the debug log handler, the removal of temporary
// preview files, the launcher's elevation command). And the whole road of one scan against
// fixture images in the disk table, up to the recovered files compared byte for byte with what
// the images hold.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QtGlobal>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "engine/recovery_job.h"
#include "faulty_io.h"
#include "fixture.h"
#include "foundation/debug_log.h"
#include "foundation/disk_table.h"
#include "foundation/file_node.h"
#include "foundation/text.h"
#include "ui/detail.h"
#include "ui/drui.h"
#include "ui/file_icons.h"
#include "ui/message_box.h"
#include "ui/scanui.h"
#include "ui/startup.h"

namespace ferrowen::test {
namespace {

// Sets an environment variable for the object's life.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Points XDG_DATA_HOME at a fresh temporary folder, changes into another one and sends the
// debug log to "Log.txt" there, all undone at the end.
class SandboxedHome {
public:
    SandboxedHome() {
        std::filesystem::current_path(work_.path());
        SetDebugLogPath(work_.path() + "/Log.txt");
    }
    ~SandboxedHome() {
        SetDebugLogPath("");
        std::error_code none;  // the folders go regardless
        std::filesystem::current_path(old_, none);
    }
    const std::string& WorkDir() const { return work_.path(); }

private:
    std::filesystem::path old_ = std::filesystem::current_path();
    TempDir data_, work_;
    ScopedEnv env_{"XDG_DATA_HOME", data_.path()};
};

// The dialog waiting for an answer: a modal one, else a job's progress dialog (not modal).
QWidget* ActiveDialog() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (qobject_cast<SCANUI*>(window) != nullptr && window->isVisible()) return window;
    }
    return nullptr;
}

// Each time a modal widget is active (checked every 20 ms), runs action on it; action says
// whether it answered. Stops when the object goes away.
class ModalAnswerer {
public:
    explicit ModalAnswerer(std::function<bool(QWidget*)> action) : timer_(new QTimer) {
        QObject::connect(timer_.get(), &QTimer::timeout, [this, action]() {
            QWidget* modal = ActiveDialog();
            if (modal != nullptr && modal->isVisible() && action(modal)) ++answered_;
        });
        timer_->start(20);
    }
    int Answered() const { return answered_; }

private:
    std::unique_ptr<QTimer> timer_;
    int answered_ = 0;
};

// An action for ModalAnswerer that answers modal widgets of type T only.
template <typename T>
std::function<bool(QWidget*)> OnModal(std::function<void(T*)> action) {
    return [action](QWidget* widget) {
        T* typed = qobject_cast<T*>(widget);
        if (typed != nullptr) action(typed);
        return typed != nullptr;
    };
}

// A record as a search would return it.
inline _FILE_NODE_ MakeRecord(const char* name, uint64_t size, uint32_t fileIndex, uint32_t cluster,
                              uint32_t source = FILE_SOURCE_FAST_FAT) {
    _FILE_NODE_ node{};
    node.wcDriveLetter = u'C';
    node.nFileSource = source;
    node.uFileIndex = fileIndex;
    node.uClusterNO = cluster;
    node.u64FileSize = size;
    std::strncpy(node.szFileName, name, sizeof node.szFileName - 1);
    return node;
}

// A window in a sandboxed home whose disk table lists nothing until UseDisks.
class WindowTest : public ::testing::Test {
protected:
    void UseDisks(const std::string& disks) {  // ':'-separated paths
        disks_.reset();
        disks_ = std::make_unique<ScopedEnv>("FERROWEN_DISKS", disks);
    }
    SandboxedHome home_;
    std::unique_ptr<ScopedEnv> disks_ =
        std::make_unique<ScopedEnv>("FERROWEN_DISKS", "/nonexistent/ferrowen-disk");
    DRUI window_;
};

class TypePageTest : public WindowTest {
protected:
    void SetUp() override {
        window_.Init();
        for (const char* name : {"Photo", "Music", "Video", "Document", "Archive", "Other"}) {
            boxes_.push_back(window_.findChild<QCheckBox*>(QStringLiteral("typeBox") + name));
            ASSERT_NE(boxes_.back(), nullptr) << name;
        }
        all_ = window_.findChild<QCheckBox*>("recoverAllBox");
        start_ = window_.findChild<QPushButton*>("btnStart");
    }
    void ExpectAllBoxes(bool ticked) {
        for (QCheckBox* box : boxes_) EXPECT_EQ(box->isChecked(), ticked);
        EXPECT_EQ(all_->checkState(), ticked ? Qt::Checked : Qt::Unchecked);
        EXPECT_EQ(start_->isEnabled(), ticked);
    }
    // A tristate box goes from cleared to partly ticked on a click; that click means "all".
    void ClickRecoverAll() {
        QTest::mouseClick(all_, Qt::LeftButton, {}, QPoint(8, all_->height() / 2));
    }

    std::vector<QCheckBox*> boxes_;
    QCheckBox* all_ = nullptr;
    QPushButton* start_ = nullptr;
};

TEST_F(TypePageTest, RecoverAllFollowsTheBoxesAndAClickOnItTicksEverything) {
    ExpectAllBoxes(true);
    EXPECT_EQ(window_.TickedTypeMask(), FILE_TYPE_ALL);
    all_->setCheckState(Qt::Unchecked);
    ExpectAllBoxes(false);
    EXPECT_EQ(window_.TickedTypeMask(), 0u);
    boxes_[1]->setChecked(true);  // Music alone
    EXPECT_EQ(all_->checkState(), Qt::PartiallyChecked);
    EXPECT_TRUE(start_->isEnabled());
    EXPECT_EQ(window_.TickedTypeMask(), static_cast<uint32_t>(FILE_TYPE_MUSIC));
    EXPECT_FALSE(boxes_[0]->isChecked());  // the mixed state leaves the boxes as they were set
    ClickRecoverAll();                     // a click on a mixed or cleared box means "all"
    ExpectAllBoxes(true);
    all_->setCheckState(Qt::Unchecked);
    for (QCheckBox* box : boxes_) box->setChecked(true);  // the last box ticks Recover All
    ExpectAllBoxes(true);
}

// Enter presses the page's main button, Escape goes back and never closes the window, and Tab
// reaches the page before the title bar.
TEST_F(TypePageTest, EnterStartsEscapeGoesBackAndTabStartsOnThePage) {
    window_.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
    QTest::keyClick(&window_, Qt::Key_Tab);
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    for (QWidget* w = focused; w != nullptr; w = w->parentWidget())
        EXPECT_NE(w->objectName(), "titleBar");
    window_.setFocus();
    QTest::keyClick(&window_, Qt::Key_Return);
    EXPECT_EQ(window_.CurrentPage(), 1);
    QTest::keyClick(&window_, Qt::Key_Escape);
    EXPECT_EQ(window_.CurrentPage(), 0);
    QTest::keyClick(&window_, Qt::Key_Escape);
    EXPECT_TRUE(window_.isVisible());
    all_->setCheckState(Qt::Unchecked);  // a disabled Start ignores Enter
    QTest::keyClick(&window_, Qt::Key_Enter);
    EXPECT_EQ(window_.CurrentPage(), 0);
}

// Without a program to open the help page, the button says so and where the page is.
TEST_F(TypePageTest, HelpWithoutAnOpenerSaysWhereThePageIs) {
    TempDir empty;
    ScopedEnv path("PATH", empty.path());
    QString told;
    ModalAnswerer answer(OnModal<CMessageBox>([&told](CMessageBox* box) {
        told = box->findChild<QLabel*>("questionText")->text();
        box->btnSlotOK();
    }));
    window_.findChild<QPushButton*>("btnHelp")->click();
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(told.contains("help.html")) << told.toStdString();
}

// 1280 x 720 device pixels at 125 % are 1024 x 576 logical pixels: the window fits there and
// every page keeps its buttons inside it. CTest runs this once more on such a screen (Qt's
// offscreen screen of 1280 x 720 and QT_SCALE_FACTOR=1.25; FERROWEN_SCALED_SCREEN is then set),
// where the window must fit the screen by itself.
TEST_F(TypePageTest, EveryPageKeepsItsButtonsInsideA1024By576Window) {
    EXPECT_LE(window_.minimumWidth(), 1024);
    EXPECT_LE(window_.minimumHeight(), 576);
    EXPECT_GT(window_.maximumHeight(), 1000);  // resizable
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (qEnvironmentVariableIsSet("FERROWEN_SCALED_SCREEN")) {
        ASSERT_EQ(screen->devicePixelRatio(), 1.25);
        ASSERT_EQ(screen->geometry().size() * 1.25, QSize(1280, 720));
        window_.show();  // the window's own size, fitted to the screen
        EXPECT_TRUE(screen->availableGeometry().contains(window_.frameGeometry()));
    } else {
        window_.resize(1024, 576);
        window_.show();
    }
    const auto expectInside = [this](std::initializer_list<const char*> names) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        for (const char* name : names) {
            auto* button = window_.findChild<QPushButton*>(name);
            ASSERT_NE(button, nullptr) << name;
            EXPECT_TRUE(button->isVisible()) << name;
            const QRect box(button->mapTo(&window_, QPoint(0, 0)), button->size());
            EXPECT_TRUE(window_.rect().contains(box)) << name;
        }
    };
    expectInside({"btnStart", "btnClose"});
    start_->click();
    expectInside({"btnScan", "btnBackDevices", "btnOpenImage"});
    window_.ShowResults({MakeRecord("a.jpg", 10, 1, 1)});
    expectInside({"btnRecover", "btnBackResults"});
}

std::string SizeOfSectors(uint64_t sectors) {
    return GetFileSizeString(static_cast<long long>(sectors * 512));
}

_PARTITION_ITEM_ PartitionOf(QTreeWidgetItem* item) {
    return item->data(0, DRUI::kRecordRole).value<_PARTITION_ITEM_>();
}

class DevicePageTest : public WindowTest {
protected:
    static void SetUpTestSuite() {
        images_ = new TempDir;
        mbr_ = UnpackFixture("mbr", *images_);
        fat12_ = UnpackFixture("fat12", *images_);
        gpt_ = UnpackFixture("gpt", *images_);
    }
    static void TearDownTestSuite() { delete images_; }
    void Start(const std::string& disks) {
        UseDisks(disks);
        window_.Init();
    }
    bool ScanEnabled() { return window_.findChild<QPushButton*>("btnScan")->isEnabled(); }

    static inline TempDir* images_ = nullptr;
    static inline std::string mbr_, fat12_, gpt_;
};

// Disks read as their image's file name and size; partitions as their number, file system and
// label (mkfs.fat -n PRIMARY and LOGICAL; the last one was never formatted).
TEST_F(DevicePageTest, ListsEveryDiskWithItsPartitionsAndSizes) {
    Start(mbr_ + ":" + fat12_);
    QTreeWidget* tree = window_.DeviceTree();
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    QTreeWidgetItem* mbr = tree->topLevelItem(0);
    EXPECT_EQ(mbr->text(0), "mbr.img");
    EXPECT_EQ(mbr->text(1).toStdString(), SizeOfSectors(24 * 2048));
    EXPECT_TRUE(mbr->isExpanded());
    std::vector<PartitionEntry> data = LoadPartitions("mbr");
    std::erase_if(data, [](const auto& p) { return p.type == "0x05" || p.type == "0x0f"; });
    ASSERT_EQ(mbr->childCount(), static_cast<int>(data.size()));  // extended ones left out
    const QString captions[] = {"1  FAT16  \"PRIMARY\"", "2  FAT12  \"LOGICAL\"", "3  none"};
    ASSERT_EQ(mbr->childCount(), 3);
    for (int i = 0; i < mbr->childCount(); ++i) {
        QTreeWidgetItem* item = mbr->child(i);
        EXPECT_EQ(item->text(0), captions[i]);
        EXPECT_EQ(item->text(1).toStdString(), SizeOfSectors(data[i].sectorCount));
        EXPECT_EQ(PartitionOf(item).u64StartSector, data[i].startSector);
        EXPECT_EQ(PartitionOf(item).nDiskNumber, 0u);
    }

    // A bare volume has no partition table: it is offered whole.
    QTreeWidgetItem* bare = tree->topLevelItem(1);
    EXPECT_EQ(bare->text(0), "fat12.img");
    ASSERT_EQ(bare->childCount(), 1);
    EXPECT_EQ(bare->child(0)->text(0), "whole disk  FAT12  \"FERROWEN\"");
    EXPECT_EQ(PartitionOf(bare->child(0)).u64StartSector, 0u);
    EXPECT_EQ(PartitionOf(bare->child(0)).u64EndSector + 1, 2880u);  // a 1.44 MB floppy
    EXPECT_EQ(bare->child(0)->text(1).toStdString(), SizeOfSectors(2880));

    // The last partition listed is the current one, so Scan starts enabled.
    EXPECT_EQ(tree->currentItem(), bare->child(0));
    EXPECT_TRUE(ScanEnabled());
}

TEST_F(DevicePageTest, ScanIsEnabledOnVolumesAndOnDisksWhole) {
    Start(gpt_);
    QTreeWidgetItem* disk = window_.DeviceTree()->topLevelItem(0);
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->childCount(), 3);
    EXPECT_EQ(disk->child(0)->text(0), "1  FAT16  \"PHOTOS\"");
    EXPECT_EQ(disk->child(1)->text(0), "2  NTFS  \"Backup\"");
    EXPECT_EQ(disk->child(2)->text(0), "3  none");
    window_.diskItemClick(disk->child(1), 0);
    EXPECT_TRUE(ScanEnabled());
    window_.diskItemClick(nullptr, 0);
    EXPECT_FALSE(ScanEnabled());
    window_.DeviceTree()->setCurrentItem(disk);  // keyboard moves count as well
    EXPECT_TRUE(ScanEnabled());
    EXPECT_TRUE(window_.NoDiskLabel()->isHidden());
}

TEST_F(DevicePageTest, NoDisksLeaveAnEmptyTreeAndScanDisabled) {
    Start("/nonexistent/ferrowen-disk");
    EXPECT_EQ(window_.DeviceTree()->topLevelItemCount(), 0);
    EXPECT_FALSE(ScanEnabled());
    // The line under the list says why it is empty.
    EXPECT_FALSE(window_.NoDiskLabel()->isHidden());
    const QString why = window_.NoDiskLabel()->text();
    EXPECT_TRUE(why.contains(geteuid() == 0 ? "No disks were found" : "Run as root"))
        << why.toStdString();
    window_.btnSlotScan();  // nothing chosen: nothing runs
    EXPECT_EQ(window_.m_pFileRecovery, nullptr);
}

TEST_F(DevicePageTest, AnOpenedImageBecomesOneMoreDiskOnce) {
    Start(mbr_);
    window_.SetDiskImageChooser([](QWidget*) { return QString::fromStdString(gpt_); });
    QTest::mouseClick(window_.findChild<QPushButton*>("btnOpenImage"), Qt::LeftButton);
    EXPECT_EQ(ListDiskPaths(), (std::vector<std::string>{mbr_, gpt_}));
    QTreeWidget* tree = window_.DeviceTree();
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(tree->topLevelItem(1)->text(0), "gpt.img");
    EXPECT_EQ(tree->topLevelItem(1)->toolTip(0).toStdString(), gpt_);
    EXPECT_EQ(tree->currentItem(), tree->topLevelItem(1)->child(2));
    QString notice;
    ModalAnswerer answer(OnModal<CMessageBox>([&notice](CMessageBox* box) {
        notice = box->findChild<QLabel*>("questionText")->text();
        box->btnSlotOK();
    }));
    EXPECT_EQ(window_.AddDiskImage(QString::fromStdString(gpt_)), EEXIST);
    EXPECT_TRUE(notice.contains("already in the list")) << notice.toStdString();
    EXPECT_EQ(ListDiskPaths().size(), 2u);
}

TEST_F(DevicePageTest, AnImageThatCannotBeOpenedIsReportedAndNotAdded) {
    Start(mbr_);
    QString notice;
    ModalAnswerer answer(OnModal<CMessageBox>([&notice](CMessageBox* box) {
        notice = box->findChild<QLabel*>("questionText")->text();
        box->btnSlotOK();
    }));
    EXPECT_EQ(window_.AddDiskImage("/nonexistent/card.img"), ENOENT);
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(notice.contains("/nonexistent/card.img")) << notice.toStdString();
    // The disk table is ':'-separated, so a name holding one cannot be listed.
    EXPECT_EQ(window_.AddDiskImage(QString::fromStdString(images_->path() + "/a:b.img")), EINVAL);
    // A file that opens but holds no disk: neither a partition table nor a file system.
    const std::string text = images_->path() + "/notes.txt";
    std::ofstream(text) << std::string(8192, 'x');
    EXPECT_EQ(window_.AddDiskImage(QString::fromStdString(text)), EINVAL);
    EXPECT_TRUE(notice.contains("holds no disk")) << notice.toStdString();
    EXPECT_EQ(ListDiskPaths(), std::vector<std::string>{mbr_});
}

QStringList Texts(QTreeWidgetItem* parent) {
    QStringList texts;
    for (int i = 0; i < parent->childCount(); ++i) texts << parent->child(i)->text(0);
    return texts;
}

class ResultPageTest : public WindowTest {
protected:
    void SetUp() override { window_.Init(); }
    QTreeWidgetItem* Top(const QString& prefix) {
        QTreeWidgetItem* root = window_.ResultTree()->invisibleRootItem();
        for (int i = 0; i < root->childCount(); ++i)
            if (root->child(i)->text(0).startsWith(prefix)) return root->child(i);
        return nullptr;
    }
    QString PageText() { return window_.findChild<QLabel*>("resultText")->text(); }
    std::string Label() { return window_.SelectionLabel()->text().toStdString(); }
    static std::string Selected(long long bytes, const char* files) {
        return std::string(files) + " selected (" + GetFileSizeString(bytes) + ")";
    }
    void ExpectNothingTicked() {
        EXPECT_TRUE(window_.m_mapCheckedFileNode.empty());
        EXPECT_EQ(Label(), "No files selected");
        EXPECT_FALSE(window_.RecoverButton()->isEnabled());
    }
};

TEST_F(ResultPageTest, GroupsRecordsByCategoryInFixedOrderAndKeysAscending) {
    window_.ShowResults({
        MakeRecord("clip.avi", 10, 1, 1), MakeRecord("b.PNG", 10, 2, 2),
        MakeRecord("a.jpg", 10, 3, 3), MakeRecord("song.mp3", 10, 4, 4),
        MakeRecord("x.JPG", 10, 5, 5), MakeRecord("readme", 10, 6, 6), MakeRecord("a.b", 10, 7, 7),
        MakeRecord("notes.rtf", 10, 8, 8), MakeRecord("report.pdf", 10, 9, 9),
        MakeRecord("backup.zip", 10, 10, 10), MakeRecord("", 10, 11, 11),  // no name: left out
    });
    EXPECT_EQ(window_.CurrentPage(), 2);
    QTreeWidgetItem* root = window_.ResultTree()->invisibleRootItem();
    EXPECT_EQ(Texts(root), (QStringList{"Photo(3)", "Music(1)", "Office(1)", "Video(1)",
                                        "Archive(2)", "Other(2)"}));
    EXPECT_EQ(Texts(Top("Photo")), (QStringList{"jpg Files (2)", "png Files (1)"}));    // x.JPG too
    EXPECT_EQ(Texts(Top("Archive")), (QStringList{"rtf Files (1)", "zip Files (1)"}));  // office
    EXPECT_EQ(Texts(Top("Other")), (QStringList{"b Files (1)", "unKnow Files (1)"}));
    for (int i = 0; i < root->childCount(); ++i) {
        QTreeWidgetItem* top = root->child(i);
        EXPECT_TRUE(top->isExpanded());
        EXPECT_EQ(top->checkState(0), Qt::Unchecked);
        for (int j = 0; j < top->childCount(); ++j) {
            EXPECT_EQ(top->child(j)->checkState(0), Qt::Unchecked);
            EXPECT_FALSE(top->child(j)->icon(0).isNull()) << top->child(j)->text(0).toStdString();
        }
    }
    EXPECT_EQ(PageText(), "Select the files to recover (10 found)");
    ExpectNothingTicked();
    EXPECT_EQ(window_.ResultTable()->rowCount(), 3);  // the first category's files at once

    window_.ShowResults({});
    EXPECT_EQ(window_.ResultTree()->topLevelItemCount(), 0);  // a page built afresh
    EXPECT_EQ(PageText(), "Select the files to recover (0 found)");
}

QStringList Column(QTableWidget* table, int column) {
    QStringList texts;
    for (int row = 0; row < table->rowCount(); ++row)
        if (!table->isRowHidden(row)) texts << table->item(row, column)->text();
    return texts;
}

TEST_F(ResultPageTest, TheTableListsACategoryOrAnExtensionSortsAndFilters) {
    _FILE_NODE_ carved = MakeRecord("c.png", 10, 3, 3, FILE_SOURCE_FILE_TYPE);
    _FILE_NODE_ dated = MakeRecord("b.jpg", 2048, 1, 1);
    dated.ftLastChangeTime.dwLowDateTime = 86400;  // FAT: seconds since 1970
    window_.ShowResults({dated, MakeRecord("a.jpg", 100, 2, 2), carved});
    QTableWidget* table = window_.ResultTable();
    QStringList headers;
    for (int column = 0; column < table->columnCount(); ++column)
        headers << table->horizontalHeaderItem(column)->text();
    EXPECT_EQ(headers, (QStringList{"Name", "Folder", "Size", "Modified", "State"}));
    EXPECT_EQ(Column(table, 0), (QStringList{"b.jpg", "a.jpg", "c.png"}));  // search order
    EXPECT_EQ(Column(table, 2)[0].toStdString(), GetFileSizeString(2048));
    EXPECT_EQ(Column(table, 3), (QStringList{"1970-01-02 00:00", "", ""}));
    EXPECT_EQ(Column(table, 4), (QStringList{"deleted", "deleted", "carved"}));
    table->sortByColumn(2, Qt::AscendingOrder);  // by size, as numbers
    EXPECT_EQ(Column(table, 0), (QStringList{"c.png", "a.jpg", "b.jpg"}));
    window_.FilterBox()->setText("B.J");
    EXPECT_EQ(Column(table, 0), (QStringList{"b.jpg"}));
    window_.FilterBox()->clear();
    window_.ResultTree()->setCurrentItem(Top("Photo")->child(0));  // jpg only
    EXPECT_EQ(Column(table, 0).size(), 2);
    EXPECT_TRUE(window_.findChild<QLabel*>("notListedNote")->text().contains("not deleted"));
}

TEST_F(ResultPageTest, ThePreviewWrapsTextFitsPicturesAndNamesWhatItCannotShow) {
    window_.ShowResults({MakeRecord("a.txt", 10, 1, 1)});
    window_.show();
    const QByteArray text = QByteArray("word ").repeated(400);
    window_.ShowPreviewOf("notes.txt", text, QString());
    EXPECT_TRUE(window_.PreviewText()->isVisible());
    EXPECT_EQ(window_.PreviewText()->toPlainText().toUtf8(), text);  // no line breaks added
    EXPECT_EQ(window_.PreviewText()->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    window_.ShowPreviewOf("blob.bin", QByteArray("\x01\x00\xff\xfe", 4), QString());
    EXPECT_EQ(window_.PreviewLabel()->text(), "No preview: binary data");
    window_.ShowPreviewOf("clip.mp4", text, QString());
    EXPECT_TRUE(window_.PreviewLabel()->text().startsWith("No preview: video"));
    window_.ShowPreviewOf("cut.jpg", QByteArray("\xff\xd8\xff", 3), QString());
    EXPECT_TRUE(window_.PreviewLabel()->text().startsWith("No preview: the picture"));

    TempDir folder;
    const QString big = QString::fromStdString(folder.path() + "/big.png");
    QPixmap picture(2000, 1500);
    picture.fill(Qt::darkCyan);
    ASSERT_TRUE(picture.save(big));
    window_.ShowPreviewOf("big.png", QByteArray(), big);
    const QPixmap shown = window_.PreviewLabel()->pixmap();
    EXPECT_LE(shown.width(), window_.PreviewLabel()->width());
    EXPECT_LE(shown.height(), window_.PreviewLabel()->height());
}

// Only the ticked types are listed, "Other" included; the page says how many of the scan's
// files that is, and a cancelled scan says the list is partial.
TEST_F(ResultPageTest, OnlyTheTickedTypesAreListedAndACancelledScanSaysItsListIsPartial) {
    auto* other = window_.findChild<QCheckBox*>("typeBoxOther");
    for (const char* name : {"Music", "Video", "Archive", "Other"})
        window_.findChild<QCheckBox*>(QStringLiteral("typeBox") + name)->setChecked(false);
    ASSERT_FALSE(other->isChecked());
    window_.m_uSearchMask = window_.TickedTypeMask();
    window_.m_u64ScanFilesFound = 7;
    window_.m_bScanCancelled = true;
    window_.ShowResults({MakeRecord("a.jpg", 1, 1, 1), MakeRecord("readme", 1, 2, 2),
                         MakeRecord("x.qqq", 1, 3, 3)});
    EXPECT_EQ(Texts(window_.ResultTree()->invisibleRootItem()), QStringList{"Photo(1)"});
    EXPECT_EQ(PageText(),
              "Select the files to recover (1 found)\n1 of the 7 files the scan found are of the"
              " ticked types.\nScan cancelled: the list below is partial.");
}

TEST_F(ResultPageTest, OddNamesAreListed) {
    _FILE_NODE_ full = MakeRecord("", 1, 1, 1);
    std::memset(full.szFileName, 'a', sizeof full.szFileName);  // no terminator at all
    std::memcpy(full.szFileName + sizeof full.szFileName - 4, ".jpg", 4);
    window_.ShowResults({full, MakeRecord("odd.a b", 5, 2, 2)});
    window_.ResultTree()->setCurrentItem(Top("Photo")->child(0));
    ASSERT_EQ(window_.ResultTable()->rowCount(), 1);
    EXPECT_EQ(window_.ResultTable()->item(0, 0)->text().size(), 256);  // cut at the field's end
    ASSERT_EQ(Top("Other")->childCount(), 1);                          // an extension with a blank
    window_.ResultTree()->setCurrentItem(Top("Other")->child(0));
    EXPECT_EQ(window_.ResultTable()->rowCount(), 1);
}

TEST(FileIconTest, ExtensionsMapToTheirPictureOrTheirCategoryDefault) {
    for (const char* pair :
         {"jpeg:jpg", "JPG:jpg", "tiff:tif", "nef:image", "wav:audio_default",
          "docx:office_default", "mkv:video_default", "tar:zip", "rtf:office_default", ":other"}) {
        const char* colon = std::strchr(pair, ':');
        EXPECT_EQ(GetExtendNameIcon(std::string(pair, colon).c_str()),
                  ":/image/FileIcon/" + std::string(colon + 1) + ".png");
    }
    for (const char* name : kFileIconNames)
        EXPECT_FALSE(QPixmap(QStringLiteral(":/image/FileIcon/%1.png").arg(name)).isNull()) << name;
    for (const char* name : {"photo", "music", "video", "document", "archive", "other",
                             "physical_drive", "drive", "question", "recover_file", "logo"})
        EXPECT_FALSE(QPixmap(QStringLiteral(":/image/%1.png").arg(name)).isNull()) << name;
}

// Three photos (two jpg, one png) and a song.
class TickingTest : public ResultPageTest {
protected:
    void SetUp() override {
        window_.Init();
        window_.ShowResults({MakeRecord("one.jpg", 1000, 1, 10), MakeRecord("two.jpg", 2000, 2, 20),
                             MakeRecord("three.png", 4000, 3, 30),
                             MakeRecord("song.mp3", 8000, 4, 40)});
        photo_ = Top("Photo");
        jpg_ = photo_->child(0);
        png_ = photo_->child(1);
        ASSERT_EQ(jpg_->text(0), "jpg Files (2)");
    }
    void TickRow(int row, Qt::CheckState state) {
        window_.ResultTable()->item(row, 0)->setCheckState(state);
    }
    QTreeWidgetItem *photo_ = nullptr, *jpg_ = nullptr, *png_ = nullptr;
};

TEST_F(TickingTest, TickingACategoryTicksItsExtensionsAndAddsAllItsFiles) {
    photo_->setCheckState(0, Qt::Checked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Checked);
    EXPECT_EQ(png_->checkState(0), Qt::Checked);
    EXPECT_EQ(Top("Music")->checkState(0), Qt::Unchecked);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 3u);
    EXPECT_EQ(Label(), Selected(7000, "3 files"));
    EXPECT_TRUE(window_.RecoverButton()->isEnabled());

    photo_->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Unchecked);
    ExpectNothingTicked();
}

TEST_F(TickingTest, TickingAnExtensionTicksItsRowsAndRecomputesItsCategory) {
    png_->setCheckState(0, Qt::Checked);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);
    ASSERT_EQ(window_.ResultTable()->rowCount(), 1);
    EXPECT_EQ(window_.ResultTable()->item(0, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(Label(), Selected(4000, "1 file"));
    jpg_->setCheckState(0, Qt::Checked);
    EXPECT_EQ(photo_->checkState(0), Qt::Checked);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 3u);
}

TEST_F(TickingTest, RowsMakeTheirExtensionAndCategoryPartlyTicked) {
    window_.ResultTree()->setCurrentItem(jpg_);
    ASSERT_EQ(window_.ResultTable()->rowCount(), 2);
    TickRow(1, Qt::Checked);
    EXPECT_EQ(jpg_->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);
    ASSERT_EQ(window_.m_mapCheckedFileNode.size(), 1u);
    EXPECT_STREQ(window_.m_mapCheckedFileNode.begin()->second.szFileName, "two.jpg");
    EXPECT_EQ(Label(), Selected(2000, "1 file"));

    // Looking at other items changes no tick: the user's row choice stays.
    window_.ResultTree()->setCurrentItem(png_);
    window_.ResultTree()->setCurrentItem(photo_);
    window_.ResultTree()->setCurrentItem(jpg_);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 1u);
    EXPECT_EQ(window_.ResultTable()->item(0, 0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(window_.ResultTable()->item(1, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);

    TickRow(0, Qt::Checked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Checked);
    EXPECT_EQ(photo_->checkState(0), Qt::PartiallyChecked);  // png still unticked
    EXPECT_EQ(Label(), Selected(3000, "2 files"));

    TickRow(0, Qt::Unchecked);
    TickRow(1, Qt::Unchecked);
    EXPECT_EQ(jpg_->checkState(0), Qt::Unchecked);
    EXPECT_EQ(photo_->checkState(0), Qt::Unchecked);
    ExpectNothingTicked();
}

// Ticked files not yet recovered and the results themselves are not dropped without asking.
TEST_F(TickingTest, QuittingWithTickedFilesAndGoingBackAskFirst) {
    window_.show();
    photo_->setCheckState(0, Qt::Checked);
    bool yes = false;
    QString asked;
    ModalAnswerer answer(OnModal<CMessageBox>([&](CMessageBox* box) {
        asked = box->findChild<QLabel*>("questionText")->text();
        yes ? box->btnSlotOK() : box->btnSlotNO();
    }));
    window_.close();
    EXPECT_EQ(asked, "3 ticked files have not been recovered. Quit anyway?");
    EXPECT_TRUE(window_.isVisible());
    QTest::keyClick(&window_, Qt::Key_Escape);
    EXPECT_EQ(asked, "Do you want to discard the results of this scan?");
    EXPECT_EQ(window_.CurrentPage(), 2);
    yes = true;
    window_.findChild<QPushButton*>("btnBackResults")->click();
    EXPECT_EQ(window_.CurrentPage(), 1);
    EXPECT_EQ(answer.Answered(), 3);
}

TEST_F(TickingTest, ANewPageStartsUntickedAndKeepsRecordsOfTwoStoresApart) {
    photo_->setCheckState(0, Qt::Checked);
    // The same index and cluster in two engines' stores: two entries.
    window_.ShowResults({MakeRecord("a.jpg", 10, 7, 3, FILE_SOURCE_FAST_FAT),
                         MakeRecord("b.jpg", 20, 7, 3, FILE_SOURCE_FILE_TYPE)});
    ExpectNothingTicked();
    Top("Photo")->setCheckState(0, Qt::Checked);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 2u);
    EXPECT_EQ(Label(), Selected(30, "2 files"));
}

class ScanDialogTest : public WindowTest {
protected:
    void Open(int kind) {
        window_.Init();
        dialog_.InitSlot(&window_, kind);
        dialog_.show();
    }
    void Scan(int p, int w, int s = -1) {
        emit window_.ScanProcessCallBack(p, w, s, "5", "10", "3", QString());
    }
    void Recovered(int p, int w, int error, const QString& path) {
        emit window_.RecoveryCallBack(p, w, error, path);
    }
    // Answers the cancel question with Yes or No and keeps what it asked.
    std::unique_ptr<ModalAnswerer> Answer(bool yes) {
        return std::make_unique<ModalAnswerer>(OnModal<CMessageBox>([this, yes](CMessageBox* box) {
            asked_ = box->findChild<QLabel*>("questionText")->text();
            yes ? box->btnSlotOK() : box->btnSlotNO();
        }));
    }

    SCANUI dialog_;
    QString asked_;
};

// The shown percent is the truncated product of percent and weight; only the coordinator's
// pass over free sectors (weight 90) shows sectors, files and the time left.
TEST_F(ScanDialogTest, AScanShowsItsProgressAndItsEndClosesTheDialog) {
    Open(SCANUI::kJobScan);
    // The percent comes from the sector numbers shown beside it, whatever the engine said.
    const std::string head =
        "  Current Process: 50%\n  Reading Sector: 5/10\n  Total Files Found: 3\n";
    Scan(50, 90, -1);
    EXPECT_EQ(dialog_.InfoText().toStdString(), head + "  Estimated time is calculating\n");
    Scan(50, 90, 125);
    EXPECT_EQ(dialog_.InfoText().toStdString(),
              head + "  Estimated Time Left: " + GetTimeString(125) + "\n");
    Scan(50, 9, 125);
    EXPECT_EQ(dialog_.InfoText(), "  Current Process: 4%\n  Estimated time is calculating\n");
    Scan(110, 90);
    EXPECT_EQ(dialog_.ProgressBar()->value(), 50);
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_FALSE(dialog_.IsFinished());
    Scan(100, 100);
    EXPECT_TRUE(dialog_.IsFinished());
    EXPECT_FALSE(dialog_.isVisible());
}

TEST_F(ScanDialogTest, ASearchEndsOnlyAfterItsEndFlagAndAPreviewAtItsEnd) {
    Open(SCANUI::kJobSearch);
    emit window_.SearchCallBack(100, QString());
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_EQ(dialog_.InfoText(), "  Process: 100%\n  Searching drive for recovery files");
    window_.m_bSearchEnd = true;
    emit window_.SearchCallBack(100, QString());
    EXPECT_FALSE(dialog_.isVisible());

    window_.m_strPreviewFileName = "cat.jpg";
    SCANUI preview;
    preview.InitSlot(&window_, SCANUI::kJobPreview);
    preview.show();
    emit window_.PreViewCallBackForSlot(40, 0);
    EXPECT_EQ(preview.InfoText(), "  Process: 40%\n  Previewing file:cat.jpg");
    emit window_.PreViewCallBackForSlot(100, 5);
    EXPECT_FALSE(preview.isVisible());
}

TEST_F(ScanDialogTest, AJobThatEndsWithoutItsEndReportStillClosesTheDialog) {
    Open(SCANUI::kJobScan);  // e.g. no engine could be built: nothing is ever reported
    dialog_.JobThreadFinished();
    EXPECT_TRUE(dialog_.IsFinished());
    EXPECT_FALSE(dialog_.isVisible());
}

TEST_F(ScanDialogTest, ARecoveryListsFailuresFirstAndStaysOpenWhenFinished) {
    Open(SCANUI::kJobRecovery);
    Recovered(40, 100, 0, "/dest/photo/1.jpg");
    EXPECT_EQ(dialog_.ProgressBar()->value(), 40);
    EXPECT_EQ(dialog_.InfoText(), "  Process: 40%\n  Destination: /dest/photo/1.jpg");
    // Failures gather at the top, newest first, in red; successes follow in their order.
    for (const auto& [error, name] :
         std::vector<std::pair<int, QString>>{{0, "1"}, {5, "2"}, {0, "3"}, {28, "4"}})
        Recovered(100, 100, error, "/dest/photo/" + name + ".jpg");
    QTableWidget* table = dialog_.Detail()->Table();
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row) rows << table->item(row, 0)->text();
    EXPECT_EQ(rows, (QStringList{"/dest/photo/4.jpg", "/dest/photo/2.jpg", "/dest/photo/1.jpg",
                                 "/dest/photo/3.jpg"}));
    EXPECT_EQ(table->item(0, 1)->text(), "Failed: No space left on device");
    EXPECT_EQ(table->item(1, 1)->text(), "Failed: Input/output error");
    EXPECT_EQ(table->item(1, 1)->foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(table->item(2, 1)->text(), "Success");
    EXPECT_EQ(dialog_.Detail()->RecoveredCount(), 2);
    EXPECT_EQ(dialog_.Detail()->FailedCount(), 2);
    EXPECT_EQ(dialog_.Detail()->TitleText(), "  Recovery Detail\n  Success: 2  Failed: 2\n");
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);

    // The final report may arrive before the worker has set its flags; it sums up.
    dialog_.SetSaveDir("/dest");
    dialog_.SetFileCount(4);
    window_.m_nRecoveredCount = 2;
    window_.m_recoveryFailures = {"2.jpg: Input/output error", "4.jpg: No space left on device"};
    Recovered(100, 1000, 0, QString());
    EXPECT_EQ(dialog_.InfoText(),
              "  2 of 4 files recovered to /dest\n  2.jpg: Input/output error"
              "\n  4.jpg: No space left on device");
    EXPECT_EQ(table->rowCount(), 4);
    EXPECT_EQ(dialog_.CancelButton()->text(), "Finished");
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_EQ(dialog_.ProgressBar()->value(), 100);  // 1000 % is left off the bar

    window_.m_bRecoveryEnd = true;
    auto answer = Answer(true);
    dialog_.CancelButton()->click();
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_EQ(answer->Answered(), 0);  // nothing was asked
}

TEST_F(ScanDialogTest, EscapeAsksLikeCancelAndAnsweringNoLeavesTheJobRunning) {
    Open(SCANUI::kJobScan);
    auto answer = Answer(false);
    QTest::keyClick(&dialog_, Qt::Key_Escape);
    EXPECT_EQ(answer->Answered(), 1);
    EXPECT_EQ(asked_, "Do you want to cancel the scan?");
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_FALSE(window_.m_bStopScan);
}

TEST_F(ScanDialogTest, AnsweringYesCancelsAndWaitsForTheJobToEnd) {
    Open(SCANUI::kJobRecovery);
    auto answer = Answer(true);
    // The worker notices the cancel a little later and ends.
    std::thread worker([this]() {
        while (!window_.m_bStopRecovery) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        window_.m_bRecoveryEnd = true;
    });
    dialog_.CancelButton()->click();
    EXPECT_TRUE(window_.m_bRecoveryEnd);  // set before the dialog let go
    worker.join();
    EXPECT_EQ(answer->Answered(), 1);
    EXPECT_EQ(asked_, "Do you want to cancel recovering the files?");
    EXPECT_FALSE(dialog_.isVisible());
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(MessageHandlerTest, DebugMessagesBecomeLinesOfTheLogInUtf8) {
    SandboxedHome home;
    const QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
    qDebug("lseek failed %d\n", 512);
    qWarning("not logged");
    qDebug().noquote() << QString::fromUtf8("照片");
    qInstallMessageHandler(previous);
    EXPECT_EQ(ReadAll(home.WorkDir() + "/Log.txt"),
              "Debug: lseek failed 512\n\nDebug: \xE7\x85\xA7\xE7\x89\x87\n");
}

TEST(DeleteTmpFileTest, RemovesEveryNameHoldingTheMarkAndNothingElseAndReportsAMissingFolder) {
    SandboxedHome home;
    SetDebugSink(nullptr);
    EXPECT_EQ(DeleteTmpFile((home.WorkDir() + "/missing").c_str()), 0);
    EXPECT_EQ(ReadAll(home.WorkDir() + "/Log.txt"), "Debug: open dir failed\n\n");
    TempDir dir;
    const auto path = [&](const char* name) { return dir.path() + "/" + name; };
    for (const char* name : {"tmp.jpg", "mytmp.txt", "Fast_0_2024101512", "config", "tmpjpg"})
        std::ofstream(path(name)) << "x";
    const auto before = std::filesystem::current_path();
    EXPECT_EQ(DeleteTmpFile(dir.path().c_str()), 1);
    EXPECT_EQ(std::filesystem::current_path(), before);
    for (const char* gone : {"tmp.jpg", "mytmp.txt"})
        EXPECT_FALSE(std::filesystem::exists(path(gone)));
    for (const char* kept : {"Fast_0_2024101512", "config", "tmpjpg"})
        EXPECT_TRUE(std::filesystem::exists(path(kept))) << kept;
}

TEST(ElevationTest, PkexecRunsEnvWithTheSessionThenTheProgramWithStart) {
    const std::map<std::string, std::string> session = {
        {"DISPLAY", ":1"}, {"XAUTHORITY", "/home/u/.Xauthority"}, {"XDG_DATA_HOME", "/home/u/d"}};
    const auto getEnv = [&session](const char* name) -> const char* {
        const auto found = session.find(name);
        return found != session.end() ? found->second.c_str() : nullptr;
    };
    EXPECT_EQ(BuildElevationCommand("/usr/bin/ferrowen", "/home/u", getEnv),
              (std::vector<std::string>{"pkexec", "/usr/bin/env", "--chdir=/home/u", "DISPLAY=:1",
                                        "XAUTHORITY=/home/u/.Xauthority", "XDG_DATA_HOME=/home/u/d",
                                        "/usr/bin/ferrowen", "start"}));
}

namespace fs = std::filesystem;

// The content hashes of the regular files directly inside a folder.
std::multiset<std::string> HashesIn(const fs::path& folder) {
    std::multiset<std::string> hashes;
    std::error_code none;  // a folder not made holds nothing
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, none))
        if (entry.is_regular_file()) hashes.insert(Sha256OfFile(entry.path().string()));
    return hashes;
}

std::set<std::string> FoldersIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        if (entry.is_directory()) names.insert(entry.path().filename().string());
    return names;
}

class WindowRoadTest : public WindowTest {
protected:
    // The fixture as the only disk; the window's first disk item.
    QTreeWidgetItem* StartWith(const std::string& fixture) {
        image_ = UnpackFixture(fixture, images_);
        UseDisks(image_);
        window_.Init();
        window_.show();
        window_.SetSaveDirChooser(
            [this](QWidget*) { return QString::fromStdString(dest_.path()); });
        return window_.DeviceTree()->topLevelItem(0);
    }
    // Scan through the buttons; the scan and search dialogs close by themselves.
    void ScanItem(QTreeWidgetItem* item) {
        ASSERT_NE(item, nullptr);
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
    // Every deleted file of the manifest that passes the filter, byte-exact in its original
    // folder.
    void ExpectDeletedFilesBack(const char* manifest, std::optional<FileCategory> only = {},
                                const std::string& under = "") {
        std::map<std::string, std::multiset<std::string>> byFolder;
        int checked = 0;
        for (const ManifestEntry& entry : LoadManifest(manifest)) {
            if (!entry.deleted || entry.isDir || entry.sha256.empty()) continue;
            const std::string name = entry.path.substr(entry.path.rfind('/') + 1);
            if (only && ClassifyFileName(name.c_str()) != *only) continue;
            const std::string folder = entry.path.substr(0, entry.path.rfind('/') + 1);
            if (!byFolder.count(folder))
                byFolder[folder] = HashesIn(dest_.path() + "/" + under + folder);
            EXPECT_EQ(byFolder[folder].count(entry.sha256), 1u) << entry.path << " in " << folder;
            ++checked;
        }
        EXPECT_GT(checked, 0);
    }

    TempDir images_, dest_;
    std::string image_;
    int successes_ = -1, failures_ = -1;
};

TEST_F(WindowRoadTest, TheTickedTypesComeBackByteExactInTheirOriginalFolders) {
    QTreeWidgetItem* disk = StartWith("fat16");
    ASSERT_NE(disk, nullptr);
    for (const char* name : {"Photo", "Music", "Video", "Document", "Archive", "Other"})
        window_.findChild<QCheckBox*>(QStringLiteral("typeBox") + name)
            ->setChecked(name[0] == 'P' || name[0] == 'M');
    ASSERT_EQ(disk->childCount(), 1);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));  // the whole disk
    EXPECT_EQ(window_.m_nScanResult, 0);
    QTreeWidget* tree = window_.ResultTree();
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_TRUE(tree->topLevelItem(0)->text(0).startsWith("Photo("));
    EXPECT_TRUE(tree->topLevelItem(1)->text(0).startsWith("Music("));
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        tree->topLevelItem(i)->setCheckState(0, Qt::Checked);
    const size_t ticked = window_.m_mapCheckedFileNode.size();
    EXPECT_TRUE(window_.RecoverButton()->isEnabled());
    // Look at one extension to exercise the table and the preview on the way.
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    ASSERT_GT(window_.ResultTable()->rowCount(), 0);
    window_.tableItemClick(window_.ResultTable()->item(0, 0));
    EXPECT_TRUE(window_.m_bPreviewEnd);

    RecoverTicked();
    EXPECT_EQ(successes_, static_cast<int>(ticked));
    EXPECT_EQ(failures_, 0);
    // What came back is no longer ticked: recovering again makes no second copies.
    EXPECT_TRUE(window_.m_mapCheckedFileNode.empty());
    EXPECT_EQ(tree->topLevelItem(0)->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(window_.RecoverButton()->isEnabled());
    size_t written = 0;  // every ticked file and nothing else, in the folders it came from
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dest_.path()))
        written += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(written, ticked);
    ExpectDeletedFilesBack("fat16", FileCategory::Photo);
    ExpectDeletedFilesBack("fat16", FileCategory::Music);
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* parent, const QString& prefix) {
    for (int i = 0; parent != nullptr && i < parent->childCount(); ++i)
        if (parent->child(i)->text(0).startsWith(prefix)) return parent->child(i);
    return nullptr;
}

// The folder view lists the original tree with its deleted folders marked; ticking a folder
// ticks everything below it, and the type view then shows the same ticks.
TEST_F(WindowRoadTest, TheFolderViewShowsTheOriginalTreeWithDeletedFoldersMarked) {
    QTreeWidgetItem* disk = StartWith("fat16");
    ASSERT_NE(disk, nullptr);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));
    window_.findChild<QTabBar*>("resultViewTabs")->setCurrentIndex(1);
    QTreeWidget* tree = window_.ResultTree();
    QTreeWidgetItem* root = tree->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->text(0).startsWith("Root folder (")) << root->text(0).toStdString();
    QTreeWidgetItem* archive = ChildNamed(root, "Archive (");
    ASSERT_NE(archive, nullptr);
    EXPECT_FALSE(archive->text(0).contains("deleted")) << archive->text(0).toStdString();
    QTreeWidgetItem* old = ChildNamed(archive, "Old (");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->text(0), "Old (deleted, 4)");
    ASSERT_NE(ChildNamed(old, "Deeper (deleted, 2)"), nullptr);
    EXPECT_NE(ChildNamed(root, "Photos ("), nullptr);

    old->setCheckState(0, Qt::Checked);
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), 4u);
    EXPECT_EQ(root->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(window_.ResultTable()->rowCount(), 4);
    window_.findChild<QTabBar*>("resultViewTabs")->setCurrentIndex(0);
    EXPECT_EQ(tree->topLevelItem(0)->checkState(0), Qt::PartiallyChecked);
    RecoverTicked();
    EXPECT_EQ(successes_, 4);
    EXPECT_EQ(HashesIn(dest_.path() + "/Archive/Old/Deeper").size(), 2u);
}

// Asked for before the scan, the files that were not deleted are listed too, marked, come back
// byte-exact in their folders, and can be hidden again.
TEST_F(WindowRoadTest, FilesThatWereNotDeletedAreListedWhenAskedAndCanBeHidden) {
    QTreeWidgetItem* disk = StartWith("fat16");
    ASSERT_NE(disk, nullptr);
    window_.findChild<QCheckBox*>("presentFilesBox")->setChecked(true);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));
    auto* show = window_.findChild<QCheckBox*>("showPresentBox");
    ASSERT_TRUE(show->isVisibleTo(&window_));
    const size_t listed = window_.ListedCount();
    for (int i = 0; i < window_.ResultTree()->topLevelItemCount(); ++i)
        window_.ResultTree()->topLevelItem(i)->setCheckState(0, Qt::Checked);
    RecoverTicked();
    EXPECT_EQ(successes_, static_cast<int>(listed));
    size_t live = 0;
    for (const ManifestEntry& entry : LoadManifest("fat16")) {
        if (entry.deleted || entry.isDir) continue;
        ++live;
        const std::string folder = entry.path.substr(0, entry.path.rfind('/') + 1);
        EXPECT_EQ(HashesIn(dest_.path() + "/" + folder).count(entry.sha256), 1u) << entry.path;
    }
    show->setChecked(false);
    EXPECT_EQ(window_.ListedCount(), listed - live);
    EXPECT_TRUE(window_.m_mapCheckedFileNode.empty());
}

// A destination that is full: every ticked file is listed as failed with its name and reason,
// and stays ticked for another try.
TEST_F(WindowRoadTest, FilesThatFailStayTickedAndAreNamedWithTheirReason) {
    QTreeWidgetItem* disk = StartWith("fat16");
    ASSERT_NE(disk, nullptr);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));
    window_.ResultTree()->topLevelItem(0)->setCheckState(0, Qt::Checked);
    const size_t ticked = window_.m_mapCheckedFileNode.size();
    ASSERT_GT(ticked, 0u);
    faulty_io::LimitWrites(dest_.path(), 0, ENOSPC);
    RecoverTicked();
    faulty_io::Reset();
    EXPECT_EQ(successes_, 0);
    EXPECT_EQ(window_.m_nRecoveredCount, 0);
    ASSERT_EQ(window_.m_recoveryFailures.size(), static_cast<qsizetype>(ticked));
    const std::string first(window_.m_mapCheckedFileNode.begin()->second.szFileName);
    EXPECT_EQ(window_.m_recoveryFailures[0].toStdString(), first + ": No space left on device");
    EXPECT_EQ(window_.m_mapCheckedFileNode.size(), ticked);
    EXPECT_TRUE(window_.RecoverButton()->isEnabled());
}

// The title bar's close button stays usable during a scan (the job dialog is not modal): it
// asks the scan's question, cancels the scan and quits instead of showing results.
TEST_F(WindowRoadTest, TheTitleBarCloseButtonDuringAScanAsksCancelsAndQuits) {
    QTreeWidgetItem* disk = StartWith("demo");
    ASSERT_NE(disk, nullptr);
    bool clicked = false;
    QString asked;
    ModalAnswerer answer([&](QWidget* widget) {
        if (auto* box = qobject_cast<CMessageBox*>(widget)) {
            asked = box->findChild<QLabel*>("questionText")->text();
            box->btnSlotOK();
            return true;
        }
        auto* job = qobject_cast<SCANUI*>(widget);
        if (job == nullptr || clicked || job->OprType() != SCANUI::kJobScan) return false;
        clicked = true;
        // Clicked after this answer returns, so that the answerer can meet the question.
        // Through the window system, as a real click is, so that a modal dialog would block it.
        QTimer::singleShot(0, &window_, [this]() {
            auto* close = window_.findChild<QPushButton*>("btnClose");
            const QPoint at = close->mapTo(&window_, close->rect().center());
            QTest::mouseClick(window_.windowHandle(), Qt::LeftButton, {}, at);
        });
        return true;
    });
    QTest::mouseClick(window_.findChild<QPushButton*>("btnStart"), Qt::LeftButton);
    window_.DeviceTree()->setCurrentItem(disk);
    QTest::mouseClick(window_.findChild<QPushButton*>("btnScan"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(clicked);
    EXPECT_EQ(asked, "Do you want to cancel the scan?");
    EXPECT_TRUE(window_.m_bStopScan);
    EXPECT_FALSE(window_.isVisible());
    EXPECT_NE(window_.CurrentPage(), 2);
}

// A card pulled out half way through: the results page lists what was found and says the
// scan ended early, and why, instead of looking like a complete scan.
TEST_F(WindowRoadTest, AScanThatEndedEarlySaysSoOnTheResultsPage) {
    QTreeWidgetItem* disk = StartWith("fat16");
    ASSERT_NE(disk, nullptr);
    faulty_io::FailReads(image_, {{uint64_t{4} << 20, uint64_t{1} << 40}}, ENODEV);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));
    faulty_io::Reset();
    EXPECT_EQ(window_.m_nScanResult, ENODEV);
    const QString text = window_.findChild<QLabel*>("resultText")->text();
    EXPECT_TRUE(text.contains("The scan ended early (No such device)")) << text.toStdString();
}

// The disk row scans every partition and the space outside them; the files of all of them are
// listed together, and each comes back through the engine of its own part.
TEST_F(WindowRoadTest, ADiskScannedWholeListsAndRecoversTheFilesOfEveryPart) {
    QTreeWidgetItem* disk = StartWith("mbr");
    ASSERT_NE(disk, nullptr);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk));
    std::vector<std::string> parts;
    for (const DRUI::ScannedPart& part : window_.m_scanParts) {
        parts.push_back(part.name.toStdString());
        EXPECT_NE(part.pEngine, nullptr) << parts.back();
    }
    const std::string outside = "Space outside the partitions (sectors ";
    EXPECT_EQ(parts, (std::vector<std::string>{"Partition 1", "Partition 2", "Partition 3",
                                               outside + "0-2047)", outside + "18432-20479)",
                                               outside + "32768-34815)"}));
    std::set<uint32_t> letters;
    for (const __SEARCH_FILE_INFO__& record : window_.m_vecSearchFileInfo)
        letters.insert(record.wcDriveLetter);
    EXPECT_TRUE(letters.count(u'C') && letters.count(u'D'));  // both file systems' files
    QTreeWidget* tree = window_.ResultTree();
    // Each part's files under the part; the space outside them held none.
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_TRUE(tree->topLevelItem(0)->text(0).startsWith("Partition 1 ("));
    EXPECT_TRUE(tree->topLevelItem(1)->text(0).startsWith("Partition 2 ("));
    const QString second = Texts(tree->topLevelItem(1)).join(',');  // gone.txt, deleted there
    EXPECT_EQ(second, "Office(1)");
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        tree->topLevelItem(i)->setCheckState(0, Qt::Checked);
    RecoverTicked();
    EXPECT_EQ(failures_, 0);
    // Each partition's files in its own folder, as the command line puts them.
    ExpectDeletedFilesBack("mbr.p1", {}, "p1/");
    ExpectDeletedFilesBack("mbr.p5", {}, "p2/");
}

// A volume scanned before is offered back: reopening lists the same files without a new scan
// being asked for, "Scan again" starts afresh.
TEST_F(WindowRoadTest, AKeptScanOfTheVolumeCanBeReopenedOrScannedAgain) {
    QTreeWidgetItem* disk = StartWith("fat16");
    ASSERT_NE(disk, nullptr);
    ASSERT_NO_FATAL_FAILURE(ScanItem(disk->child(0)));
    const size_t listed = window_.ListedCount();
    ASSERT_GT(listed, 0u);
    for (const bool reopen : {true, false}) {
        QString asked, answer;
        ModalAnswerer answerer(OnModal<CMessageBox>([&](CMessageBox* box) {
            asked = box->findChild<QLabel*>("questionText")->text();
            answer = box->findChild<QPushButton*>(reopen ? "btnYes" : "btnNo")->text();
            reopen ? box->btnSlotOK() : box->btnSlotNO();
        }));
        window_.btnSlotScan();
        EXPECT_EQ(answerer.Answered(), 1);
        EXPECT_TRUE(asked.startsWith("Reopen the last results of this volume (found ") &&
                    asked.endsWith(", complete)?"))
            << asked.toStdString();
        EXPECT_EQ(answer, reopen ? "Reopen" : "Scan again");
        EXPECT_EQ(window_.m_nScanResult, 0);
        EXPECT_EQ(window_.ListedCount(), listed);
    }
}

TEST_F(WindowRoadTest, ADoubleClickScansAPartitionAndBackEndsTheEngine) {
    QTreeWidgetItem* disk = StartWith("mbr");
    ASSERT_NE(disk, nullptr);
    window_.findChild<QPushButton*>("btnStart")->click();
    // The press before a double click makes the item the current one.
    const auto doubleClick = [this](QTreeWidgetItem* item) {
        window_.DeviceTree()->setCurrentItem(item);
        window_.diskItemDoubleClick(item, 0);
    };
    doubleClick(disk->child(0));  // Partition 1, FAT16
    ASSERT_EQ(window_.CurrentPage(), 2);
    EXPECT_NE(window_.m_pFileRecovery, nullptr);
    EXPECT_GT(window_.ResultTree()->topLevelItemCount(), 0);

    // Recovering with nothing ticked creates nothing and only reports the end.
    RecoverTicked();
    EXPECT_EQ(successes_, 0);
    EXPECT_EQ(failures_, 0);
    EXPECT_TRUE(FoldersIn(dest_.path()).empty());

    {
        ModalAnswerer discard(OnModal<CMessageBox>([](CMessageBox* box) { box->btnSlotOK(); }));
        window_.findChild<QPushButton*>("btnBackResults")->click();
    }
    EXPECT_EQ(window_.CurrentPage(), 1);
    EXPECT_EQ(window_.m_pFileRecovery, nullptr);
    doubleClick(disk);  // a disk, not a volume: nothing happens
    EXPECT_EQ(window_.CurrentPage(), 1);
    EXPECT_EQ(window_.m_pFileRecovery, nullptr);
}

}  // namespace
}  // namespace ferrowen::test

// One QApplication for the whole run; without a display the tests use Qt's offscreen platform.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    RegisterRecordMetaTypes();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
