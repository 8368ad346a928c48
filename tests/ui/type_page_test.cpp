// The file-type page: the six type boxes, "Recover All" and the Start button.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include "engine/recovery_job.h"
#include "ui/drui.h"
#include "ui_test_support.h"

namespace ferrowen::test {
namespace {

class TypePageTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_.Init();
        for (const char* name : {"Photo", "Music", "Video", "Document", "Archive", "Other"}) {
            boxes_.push_back(window_.findChild<QCheckBox*>(QStringLiteral("typeBox") + name));
            ASSERT_NE(boxes_.back(), nullptr) << name;
        }
        all_ = window_.findChild<QCheckBox*>("recoverAllBox");
        start_ = window_.findChild<QPushButton*>("btnStart");
        ASSERT_NE(all_, nullptr);
        ASSERT_NE(start_, nullptr);
    }

    SandboxedHome home_;
    ScopedEnv disks_{"FERROWEN_DISKS", "/nonexistent/ferrowen-disk"};
    DRUI window_;
    std::vector<QCheckBox*> boxes_;
    QCheckBox* all_ = nullptr;
    QPushButton* start_ = nullptr;
};

TEST_F(TypePageTest, StartsWithEverythingTickedAndStartEnabled) {
    for (QCheckBox* box : boxes_) EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(all_->checkState(), Qt::Checked);
    EXPECT_TRUE(all_->isTristate());
    EXPECT_TRUE(start_->isEnabled());
    EXPECT_EQ(window_.TickedTypeMask(), FILE_TYPE_ALL);
    EXPECT_EQ(window_.CurrentPage(), 0);
}

TEST_F(TypePageTest, UntickingAllSixClearsRecoverAllAndDisablesStart) {
    for (QCheckBox* box : boxes_) box->setChecked(false);
    EXPECT_EQ(all_->checkState(), Qt::Unchecked);
    EXPECT_FALSE(start_->isEnabled());
    EXPECT_EQ(window_.TickedTypeMask(), 0u);

    boxes_[1]->setChecked(true);  // Music alone
    EXPECT_EQ(all_->checkState(), Qt::PartiallyChecked);
    EXPECT_TRUE(start_->isEnabled());
    EXPECT_EQ(window_.TickedTypeMask(), static_cast<uint32_t>(FILE_TYPE_MUSIC));
    // The mixed state leaves the boxes as the user set them.
    EXPECT_FALSE(boxes_[0]->isChecked());
}

TEST_F(TypePageTest, TickingTheLastBoxTicksRecoverAll) {
    boxes_[2]->setChecked(false);
    EXPECT_EQ(all_->checkState(), Qt::PartiallyChecked);
    boxes_[2]->setChecked(true);
    EXPECT_EQ(all_->checkState(), Qt::Checked);
    EXPECT_TRUE(start_->isEnabled());
}

TEST_F(TypePageTest, RecoverAllClearsAndTicksEveryBox) {
    all_->setCheckState(Qt::Unchecked);
    for (QCheckBox* box : boxes_) EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(start_->isEnabled());
    all_->setCheckState(Qt::Checked);
    for (QCheckBox* box : boxes_) EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(start_->isEnabled());
}

TEST_F(TypePageTest, ClickingRecoverAllFromClearedMeansAll) {
    all_->setCheckState(Qt::Unchecked);
    // A tristate box goes from cleared to partly ticked on a click; that click means "all".
    QTest::mouseClick(all_, Qt::LeftButton, {}, QPoint(8, all_->height() / 2));
    EXPECT_EQ(all_->checkState(), Qt::Checked);
    for (QCheckBox* box : boxes_) EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(start_->isEnabled());
}

TEST_F(TypePageTest, ClickingAMixedRecoverAllTicksEverything) {
    boxes_[0]->setChecked(false);
    boxes_[4]->setChecked(false);
    ASSERT_EQ(all_->checkState(), Qt::PartiallyChecked);
    QTest::mouseClick(all_, Qt::LeftButton, {}, QPoint(8, all_->height() / 2));
    EXPECT_EQ(all_->checkState(), Qt::Checked);
    for (QCheckBox* box : boxes_) EXPECT_TRUE(box->isChecked());
}

TEST_F(TypePageTest, StartShowsTheDevicePageAndBackReturns) {
    start_->click();
    EXPECT_EQ(window_.CurrentPage(), 1);
    window_.findChild<QPushButton*>("btnBackDevices")->click();
    EXPECT_EQ(window_.CurrentPage(), 0);
}

TEST_F(TypePageTest, EscapeNeverClosesTheWindow) {
    window_.show();
    QTest::keyClick(&window_, Qt::Key_Escape);
    EXPECT_TRUE(window_.isVisible());
}

}  // namespace
}  // namespace ferrowen::test
