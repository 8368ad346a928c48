// Takes the pictures of docs/screenshots: drives a real window on an X display (run under
// Xvfb by tools/screenshots.sh) through its pages with a fixture image as the only disk, and
// grabs the screen at each step.
//
//   ferrowen_ui_screenshots <output folder>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "fixture.h"
#include "ui/detail.h"
#include "ui/drui.h"
#include "ui/scanui.h"

namespace {

using ferrowen::test::TempDir;

// The dialog waiting for an answer: a modal one, else a job's progress dialog (not modal).
QWidget* ActiveDialog() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (qobject_cast<SCANUI*>(window) != nullptr && window->isVisible()) return window;
    }
    return nullptr;
}

// Each time a modal widget is active (checked every 20 ms), runs action on it.
class ModalAnswerer {
public:
    explicit ModalAnswerer(std::function<bool(QWidget*)> action) {
        QObject::connect(&timer_, &QTimer::timeout, [action]() {
            QWidget* modal = ActiveDialog();
            if (modal != nullptr && modal->isVisible()) action(modal);
        });
        timer_.start(20);
    }

private:
    QTimer timer_;
};

QString g_outDir;
bool g_ok = true;

// Lets the window draw itself for a while.
void Settle(int ms = 300) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        usleep(2000);
    }
}

// The screen under the main window, dialogs included.
void Shoot(QWidget* window, const char* name) {
    Settle();
    const QRect area = window->frameGeometry();
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    const QString path = g_outDir + QLatin1Char('/') + QLatin1String(name);
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "cannot take %s\n", name);
        g_ok = false;
        return;
    }
    std::printf("wrote %s\n", qPrintable(path));
}

QTreeWidgetItem* FindExtension(QTreeWidget* tree, const QString& prefix) {
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* top = tree->topLevelItem(i);
        for (int j = 0; j < top->childCount(); ++j) {
            if (top->child(j)->text(0).startsWith(prefix)) return top->child(j);
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    g_outDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(g_outDir);
    RegisterRecordMetaTypes();

    TempDir home, images, dest;
    setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    const std::string card = ferrowen::test::UnpackFixture("fat16", images);
    const std::string gpt = ferrowen::test::UnpackFixture("gpt", images);
    setenv("FERROWEN_DISKS", (gpt + ":" + card).c_str(), 1);
    if (chdir(home.path().c_str()) != 0) return 1;

    DRUI window;
    window.Init();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    window.move(screen.center() - window.rect().center());
    window.show();
    Shoot(&window, "1-file-types.png");

    window.findChild<QPushButton*>("btnStart")->click();
    QTreeWidget* devices = window.DeviceTree();
    devices->setCurrentItem(devices->topLevelItem(1)->child(0));
    Shoot(&window, "2-devices.png");

    {                              // The scan dialog as it looks during the pass over free sectors.
        window.m_bScanEnd = true;  // lets the picture's dialog close without a job behind it
        SCANUI dialog(&window);
        dialog.InitSlot(&window, SCANUI::kJobScan);
        dialog.move(window.geometry().center() - dialog.rect().center());
        dialog.show();
        emit window.ScanProcessCallBack(47, 90, 95, "15360", "32768", "23", QString());
        Shoot(&window, "3-scan-dialog.png");
        dialog.JobThreadFinished();
    }

    window.btnSlotScan();
    QTreeWidget* results = window.ResultTree();
    if (QTreeWidgetItem* jpg = FindExtension(results, "jpg")) jpg->setCheckState(0, Qt::Checked);
    if (QTreeWidgetItem* txt = FindExtension(results, "txt")) {
        txt->setCheckState(0, Qt::Checked);
        window.ResultTable()->selectRow(0);
        window.tableItemClick(window.ResultTable()->item(0, 0));
    }
    Shoot(&window, "4-results.png");
    auto* views = window.findChild<QTabBar*>("resultViewTabs");
    views->setCurrentIndex(1);
    if (QTreeWidgetItem* root = results->topLevelItem(0)) {
        for (int i = 0; i < root->childCount(); ++i)  // a deleted folder's files on show
            if (root->child(i)->text(0).startsWith(QStringLiteral("Archive")))
                results->setCurrentItem(root->child(i));
    }
    Shoot(&window, "7-results-by-folder.png");
    views->setCurrentIndex(0);

    window.SetSaveDirChooser([&dest](QWidget*) { return QString::fromStdString(dest.path()); });
    bool detailShot = false;
    ModalAnswerer answer([&](QWidget* modal) {
        if (auto* detail = qobject_cast<CDetail*>(modal)) {
            Shoot(&window, "6-recovery-detail.png");
            detailShot = true;
            detail->btnSlot();
            return true;
        }
        auto* dialog = qobject_cast<SCANUI*>(modal);
        if (dialog == nullptr || dialog->OprType() != SCANUI::kJobRecovery) return false;
        if (dialog->CancelButton()->text() != QStringLiteral("Finished")) return false;
        if (!detailShot) {
            Shoot(&window, "5-recovery-dialog.png");
            QTimer::singleShot(0, dialog, &SCANUI::btnDetail);
            return true;
        }
        dialog->CancelButton()->click();
        return true;
    });
    window.btnRecovery();
    window.close();
    return g_ok ? 0 : 1;
}
