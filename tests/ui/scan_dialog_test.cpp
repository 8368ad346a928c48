// The progress dialog of the jobs and the recovery detail list: percentages, texts, the
// closing rules and the cancel question.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <chrono>
#include <thread>

#include "foundation/text.h"
#include "ui/detail.h"
#include "ui/drui.h"
#include "ui/message_box.h"
#include "ui/scanui.h"
#include "ui_test_support.h"

namespace ferrowen::test {
namespace {

class ScanDialogTest : public ::testing::Test {
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

    SandboxedHome home_;
    ScopedEnv disks_{"FERROWEN_DISKS", "/nonexistent/ferrowen-disk"};
    DRUI window_;
    SCANUI dialog_;
};

TEST_F(ScanDialogTest, EachKindHasItsTitleAndStartText) {
    Open(SCANUI::kJobScan);
    EXPECT_EQ(dialog_.TitleText(), "  Scan File\n  scanning drive for deleted files");
    EXPECT_EQ(dialog_.InfoText(), "  Current Process: 0%\n  Estimated Time Left: 0 second\n");
    EXPECT_EQ(dialog_.ProgressBar()->value(), 0);
    EXPECT_FALSE(dialog_.ProgressBar()->isTextVisible());
    EXPECT_EQ(dialog_.size(), QSize(500, 250));
    EXPECT_EQ(dialog_.CancelButton()->text(), "Cancel");

    SCANUI search;
    search.InitSlot(&window_, SCANUI::kJobSearch);
    EXPECT_EQ(search.TitleText(), "  Search File\n  searching drive for deleted files");
    EXPECT_TRUE(search.InfoText().isEmpty());
    window_.m_strPreviewFileName = "cat.jpg";
    SCANUI preview;
    preview.InitSlot(&window_, SCANUI::kJobPreview);
    EXPECT_EQ(preview.TitleText(), "  Preview File\n  cat.jpg\n");
    SCANUI recovery;
    recovery.InitSlot(&window_, SCANUI::kJobRecovery);
    EXPECT_EQ(recovery.TitleText(), "  Recovery File\n");
    EXPECT_NE(recovery.findChild<QPushButton*>("btnDetail"), nullptr);
    EXPECT_NE(recovery.findChild<QPushButton*>("btnOpenFolder"), nullptr);
    EXPECT_EQ(search.findChild<QPushButton*>("btnDetail"), nullptr);
}

TEST_F(ScanDialogTest, TheShownPercentIsTheTruncatedProductAndTheEndClosesTheDialog) {
    Open(SCANUI::kJobScan);
    Scan(100, 90);
    EXPECT_EQ(dialog_.ProgressBar()->value(), 90);
    EXPECT_TRUE(dialog_.isVisible());
    Scan(110, 90);
    EXPECT_EQ(dialog_.ProgressBar()->value(), 99);
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_FALSE(dialog_.IsFinished());
    Scan(100, 100);
    EXPECT_TRUE(dialog_.IsFinished());
    EXPECT_FALSE(dialog_.isVisible());
}

TEST_F(ScanDialogTest, ThePassOverFreeSectorsShowsSectorsFilesAndTime) {
    Open(SCANUI::kJobScan);
    Scan(50, 90, -1);
    EXPECT_EQ(dialog_.InfoText(),
              "  Current Process: 45%\n  Reading Sector: 5/10\n  Total Files Found: 3\n"
              "  Estimated time is calculating\n");
    Scan(50, 90, 125);
    EXPECT_EQ(dialog_.InfoText().toStdString(),
              "  Current Process: 45%\n  Reading Sector: 5/10\n  Total Files Found: 3\n"
              "  Estimated Time Left: " +
                  GetTimeString(125) + "\n");
    Scan(50, 9, 125);  // the quick scan: no sector line and no estimate
    EXPECT_EQ(dialog_.InfoText(), "  Current Process: 4%\n  Estimated time is calculating\n");
}

TEST_F(ScanDialogTest, ASearchEndsOnlyAfterItsEndFlag) {
    Open(SCANUI::kJobSearch);
    emit window_.SearchCallBack(100, QString());
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_EQ(dialog_.InfoText(), "  Process: 100%\n  Searching drive for recovery files");
    window_.m_bSearchEnd = true;
    emit window_.SearchCallBack(100, QString());
    EXPECT_FALSE(dialog_.isVisible());
}

TEST_F(ScanDialogTest, APreviewClosesAtItsEnd) {
    window_.m_strPreviewFileName = "cat.jpg";
    Open(SCANUI::kJobPreview);
    emit window_.PreViewCallBackForSlot(40, 0);
    EXPECT_EQ(dialog_.InfoText(), "  Process: 40%\n  Previewing file:cat.jpg");
    emit window_.PreViewCallBackForSlot(100, 5);
    EXPECT_FALSE(dialog_.isVisible());
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
    Recovered(100, 100, 0, "/dest/photo/1.jpg");
    Recovered(100, 100, 5, "/dest/photo/2.jpg");
    Recovered(100, 100, 0, "/dest/photo/3.jpg");
    CDetail* detail = dialog_.Detail();
    QTableWidget* table = detail->Table();
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(table->item(0, 0)->text(), "/dest/photo/2.jpg");
    EXPECT_EQ(table->item(0, 1)->text(), "Failed: Input/output error");
    EXPECT_EQ(table->item(0, 1)->foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(table->item(1, 0)->text(), "/dest/photo/1.jpg");
    EXPECT_EQ(table->item(1, 1)->text(), "Success");
    EXPECT_EQ(table->item(2, 0)->text(), "/dest/photo/3.jpg");
    EXPECT_EQ(detail->TitleText(), "  Recovery Detail\n  Sucess:2 Failed:1\n");

    // The final report may arrive before the worker has set its flags.
    Recovered(100, 1000, 0, QString());
    EXPECT_EQ(table->rowCount(), 3);
    EXPECT_EQ(dialog_.CancelButton()->text(), "Finished");
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_EQ(dialog_.ProgressBar()->value(), 100);  // 1000 % is left off the bar

    window_.m_bRecoveryEnd = true;
    ModalAnswerer answer(OnModal<CMessageBox>([](CMessageBox* box) { box->btnSlotOK(); }));
    dialog_.CancelButton()->click();
    EXPECT_FALSE(dialog_.isVisible());
    EXPECT_EQ(answer.Answered(), 0);  // nothing was asked
}

TEST_F(ScanDialogTest, AnsweringNoLeavesTheJobRunning) {
    Open(SCANUI::kJobScan);
    QString asked;
    ModalAnswerer answer(OnModal<CMessageBox>([&asked](CMessageBox* box) {
        asked = box->findChild<QLabel*>("questionText")->text();
        box->btnSlotNO();
    }));
    dialog_.CancelButton()->click();
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_EQ(asked, "Are you sure to cancel the scanning?");
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_FALSE(window_.m_bStopScan);
}

TEST_F(ScanDialogTest, AnsweringYesCancelsAndWaitsForTheJobToEnd) {
    Open(SCANUI::kJobRecovery);
    ModalAnswerer answer(OnModal<CMessageBox>([](CMessageBox* box) { box->btnSlotOK(); }));
    // The worker notices the cancel a little later and ends.
    std::thread worker([this]() {
        while (!window_.m_bStopRecovery) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        window_.m_bRecoveryEnd = true;
    });
    dialog_.CancelButton()->click();
    worker.join();
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(window_.m_bStopRecovery);
    EXPECT_TRUE(window_.m_bRecoveryEnd);
    EXPECT_FALSE(dialog_.isVisible());
}

TEST(DetailTest, StartsEmptyWithZeroCounts) {
    CDetail detail;
    EXPECT_EQ(detail.TitleText(), "  Recovery Detail\n  Sucess:0 Failed:0\n");
    EXPECT_EQ(detail.size(), QSize(600, 400));
    QTableWidget* table = detail.Table();
    EXPECT_EQ(table->columnCount(), 2);
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), "Name");
    EXPECT_EQ(table->horizontalHeaderItem(1)->text(), "Status");
    EXPECT_EQ(table->columnWidth(0), 400);
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST(DetailTest, FailuresGatherAtTheTopNewestFirst) {
    CDetail detail;
    detail.AddTableItem("a", 1);
    detail.AddTableItem("b", 0);
    detail.AddTableItem("c", 1);
    detail.AddTableItem("d", 0);
    QTableWidget* table = detail.Table();
    QStringList order;
    for (int row = 0; row < table->rowCount(); ++row) order << table->item(row, 0)->text();
    EXPECT_EQ(order, (QStringList{"c", "a", "b", "d"}));
    EXPECT_EQ(detail.RecoveredCount(), 2);
    EXPECT_EQ(detail.FailedCount(), 2);
    EXPECT_EQ(detail.TitleText(), "  Recovery Detail\n  Sucess:2 Failed:2\n");
}

TEST(MessageBoxTest, ClosingWithoutAnAnswerMeansNo) {
    CMessageBox box;
    box.InitQuestionDialog("Sure?");
    EXPECT_EQ(box.windowTitle(), "Ferrowen");
    EXPECT_EQ(box.size(), QSize(400, 150));
    box.show();
    box.close();
    EXPECT_EQ(box.GetMessageBoxRet(), 0);
    box.btnSlotOK();
    EXPECT_EQ(box.GetMessageBoxRet(), 1);
    box.btnSlotNO();
    EXPECT_EQ(box.GetMessageBoxRet(), 0);
}

}  // namespace
}  // namespace ferrowen::test
