#include "ui/scanui.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "ui/desktop.h"
#include "ui/detail.h"
#include "ui/drui.h"
#include "ui/message_box.h"
#include "ui/style.h"

namespace {

constexpr int kScanWeightOfPass = 90;  // the weight of the coordinator's pass over free sectors
constexpr int kFinalRecoveryWeight = 1000;
constexpr int kPollMilliseconds = 100;

const char kScanStartInfo[] = "  Current Process: 0%\n  Estimated Time Left: 0 second\n";

constexpr int kFailuresShown = 6;  // the rest are in the detail list

// The shown percentage: a 32-bit product divided by 100, truncated toward zero.
int ShownPercent(int nPercent, int nWeight) {
    return nPercent * nWeight / 100;
}

// The share of the sectors read, from the very numbers the dialog shows beside it.
int SectorPercent(const QString& strCurrent, const QString& strTotal) {
    const qulonglong total = strTotal.toULongLong();
    if (total == 0) return 0;
    return static_cast<int>(std::min<qulonglong>(strCurrent.toULongLong() * 100 / total, 100));
}

QString Plural(qulonglong n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QString::fromLatin1(n == 1 ? one : many));
}

}  // namespace

SCANUI::SCANUI(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setMinimumSize(500, 250);
    setStyleSheet(ferrowen_style::DialogSheet() +
                  QStringLiteral("QProgressBar { border: 1px solid rgb(191, 191, 191);"
                                 " border-radius: 4px; background: white; height: 14px; }"
                                 "QProgressBar::chunk { background-color: rgb(74, 112, 139); }"));
    setFont(ferrowen_style::TextFont());
    m_pDetail = new CDetail(this);
}

SCANUI::~SCANUI() = default;

void SCANUI::InitSlot(DRUI* pWindow, int nOprType) {
    m_pWindow = pWindow;
    m_nOprType = nOprType;
    InitDialog();
    m_progressBar->setValue(0);
    m_pInfo->setText(nOprType == kJobScan ? QString::fromLatin1(kScanStartInfo) : QString());
    connect(pWindow, &DRUI::ScanProcessCallBack, this, &SCANUI::ScanProcessCallBackSlot);
    connect(pWindow, qOverload<int, int, int, QString>(&DRUI::RecoveryCallBack), this,
            &SCANUI::RecoveryCallBackSlot);
    connect(pWindow, qOverload<int, QString>(&DRUI::SearchCallBack), this,
            &SCANUI::SearchCallBackSlot);
    connect(pWindow, &DRUI::PreViewCallBackForSlot, this, &SCANUI::PreViewCallBackSlot);
}

void SCANUI::SetSaveDir(const QString& strSaveDir) {
    m_strSaveDir = strSaveDir;
}

QString SCANUI::TitleText() const {
    return m_pTitle != nullptr ? m_pTitle->text() : QString();
}
QString SCANUI::InfoText() const {
    return m_pInfo != nullptr ? m_pInfo->text() : QString();
}

void SCANUI::InitDialog() {
    m_bIsFinished = false;
    QString title;
    switch (m_nOprType) {
        case kJobScan:
            title = QStringLiteral("  Scan File\n  scanning drive for deleted files");
            break;
        case kJobSearch:
            title = QStringLiteral("  Search File\n  searching drive for deleted files");
            break;
        case kJobPreview:
            title = QStringLiteral("  Preview File\n  %1\n")
                        .arg(m_pWindow != nullptr ? m_pWindow->m_strPreviewFileName : QString());
            break;
        default:
            title = QStringLiteral("  Recovery File\n");
            break;
    }
    m_pTitle = new QLabel(title, this);
    m_pTitle->setObjectName(QStringLiteral("titleBand"));
    m_pTitle->setFixedHeight(56);
    m_pInfo = new QLabel(this);
    m_pInfo->setObjectName(QStringLiteral("infoLabel"));
    m_pInfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pInfo->setWordWrap(true);
    m_progressBar = new QProgressBar(this);
    m_progressBar->setRange(0, 100);
    m_progressBar->setTextVisible(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    if (m_nOprType == kJobRecovery) {
        auto* detail = new QPushButton(QStringLiteral("Detail"), this);
        detail->setObjectName(QStringLiteral("btnDetail"));
        auto* open = new QPushButton(QStringLiteral("Open Folder"), this);
        open->setObjectName(QStringLiteral("btnOpenFolder"));
        connect(detail, &QPushButton::clicked, this, &SCANUI::btnDetail);
        connect(open, &QPushButton::clicked, this, &SCANUI::btnOpenFolder);
        buttons->addWidget(detail);
        buttons->addWidget(open);
    }
    m_pCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    m_pCancelButton->setObjectName(QStringLiteral("btnCancel"));
    connect(m_pCancelButton, &QPushButton::clicked, this, &SCANUI::btnSlot);
    buttons->addWidget(m_pCancelButton);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(16, 8, 16, 12);
    body->addWidget(m_pInfo, 1);
    body->addWidget(m_progressBar);
    body->addSpacing(8);
    body->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pTitle);
    layout->addLayout(body, 1);
}

void SCANUI::ScanProcessCallBackSlot(int nPercent, int nWeight, int nSecondsLeft,
                                     QString strCurrent, QString strTotal, QString strFound,
                                     QString strText) {
    const bool sectorPass = nWeight == kScanWeightOfPass;
    // During the pass over the sectors the bar and the percent follow the sector count shown.
    const int shown =
        sectorPass ? SectorPercent(strCurrent, strTotal) : ShownPercent(nPercent, nWeight);
    m_progressBar->setValue(shown);
    m_strCurrentText = strText;
    QString timeLine = QStringLiteral("Estimated time is calculating");
    QString info;
    if (sectorPass) {
        if (static_cast<unsigned int>(nSecondsLeft) != 0xFFFFFFFFu) {
            timeLine = QStringLiteral("Estimated Time Left: ") +
                       QString::fromStdString(GetTimeString(nSecondsLeft));
        }
        info = QStringLiteral(
                   "  Current Process: %1%\n  Reading Sector: %2/%3\n  Total Files Found: %4\n"
                   "  %5\n")
                   .arg(shown)
                   .arg(strCurrent, strTotal, strFound, timeLine);
    } else {
        info = QStringLiteral("  Current Process: %1%\n  %2\n").arg(shown).arg(timeLine);
    }
    m_pInfo->setText(info);
    const int product = nPercent * nWeight;
    if (product >= 10000 && product < 10100) {
        m_bIsFinished = true;
        close();
    }
}

void SCANUI::SearchCallBackSlot(int nPercent, QString strText) {
    m_progressBar->setValue(nPercent);
    m_strCurrentText = strText;
    m_pInfo->setText(
        QString::asprintf("  Process: %d%%\n  Searching drive for recovery files", nPercent));
    if (nPercent == 100 && m_pWindow != nullptr && m_pWindow->m_bSearchEnd) {
        m_bIsFinished = true;
        close();
    }
}

void SCANUI::PreViewCallBackSlot(int nPercent, int /*nError: not shown*/) {
    m_progressBar->setValue(nPercent);
    const QString name = m_pWindow != nullptr ? m_pWindow->m_strPreviewFileName : QString();
    m_pInfo->setText(
        QStringLiteral("  Process: %1%\n  Previewing file:%2").arg(nPercent).arg(name));
    if (nPercent == 100) {
        m_bIsFinished = true;
        close();
    }
}

void SCANUI::RecoveryCallBackSlot(int nPercent, int nWeight, int nError, QString strPath) {
    const int shown = ShownPercent(nPercent, nWeight);
    if (shown <= 100) m_progressBar->setValue(shown);
    m_strCurrentText = strPath;
    // The weight 1000 marks the job's own final report. It is taken as the end whether or not
    // the worker has set its flags yet: the report is queued before they are set, and reading
    // it as one more finished file would list an empty name as recovered.
    if (nWeight == kFinalRecoveryWeight) {
        MarkRecoveryFinished();
        return;
    }
    if (nPercent == 100) m_pDetail->AddTableItem(strPath, nError);
    m_pInfo->setText(QStringLiteral("  Process: %1%\n  Destination: %2").arg(shown).arg(strPath));
}

void SCANUI::MarkRecoveryFinished() {
    m_bIsFinished = true;
    m_pCancelButton->setText(QStringLiteral("Finished"));
    m_progressBar->setValue(100);
    m_pInfo->setText(RecoveryOutcome());
    adjustSize();
}

QString SCANUI::RecoveryOutcome() const {
    if (m_pWindow == nullptr) return QString();
    const QStringList& failures = m_pWindow->m_recoveryFailures;
    QString text = QStringLiteral("  %1 of %2 recovered to %3")
                       .arg(m_pWindow->m_nRecoveredCount)
                       .arg(Plural(static_cast<qulonglong>(m_nFileCount), "file", "files"))
                       .arg(m_strSaveDir);
    if (m_pWindow->m_bStopRecovery &&
        m_pWindow->m_nRecoveredCount + failures.size() < static_cast<qsizetype>(m_nFileCount)) {
        text += QStringLiteral(" (cancelled)");
    }
    for (qsizetype i = 0; i < std::min<qsizetype>(failures.size(), kFailuresShown); ++i) {
        text += QStringLiteral("\n  ") + failures[i];
    }
    if (failures.size() > kFailuresShown) {
        text += QStringLiteral("\n  \u2026 and %1 more: see Detail")
                    .arg(failures.size() - kFailuresShown);
    }
    return text;
}

void SCANUI::JobThreadFinished() {
    if (m_nOprType == kJobRecovery) {
        if (!m_bIsFinished) MarkRecoveryFinished();
        return;
    }
    if (m_bIsFinished && !isVisible()) return;
    m_bIsFinished = true;
    if (m_pQuestion != nullptr) m_pQuestion->close();  // the job ended while the user was asked
    close();
}

void SCANUI::btnSlot() {
    close();
}

void SCANUI::btnDetail() {
    m_pDetail->move(pos());
    m_pDetail->setFixedSize(600, 400);
    m_pDetail->exec();
}

void SCANUI::btnOpenFolder() {
    if (m_strSaveDir.isEmpty() || OpenInDesktop(QUrl::fromLocalFile(m_strSaveDir))) return;
    CMessageBox notice(this);
    notice.InitNoticeDialog(QStringLiteral("Open Folder"),
                            QStringLiteral("No file manager is installed to open the folder. The"
                                           " recovered files are in:\n%1")
                                .arg(m_strSaveDir));
    notice.exec();
}

void SCANUI::reject() {
    close();
}

QString SCANUI::CancelQuestion() const {
    switch (m_nOprType) {
        case kJobScan:
            return QStringLiteral("Do you want to cancel the scan?");
        case kJobSearch:
            return QStringLiteral("Do you want to cancel the search?");
        case kJobPreview:
            return QStringLiteral("Do you want to cancel the preview?");
        default:
            return QStringLiteral("Do you want to cancel recovering the files?");
    }
}

bool SCANUI::JobEnded() const {
    if (m_pWindow == nullptr) return true;
    switch (m_nOprType) {
        case kJobScan:
            return m_pWindow->m_bScanEnd;
        case kJobSearch:
            return m_pWindow->m_bSearchEnd;
        case kJobPreview:
            return m_pWindow->m_bPreviewEnd;
        default:
            return m_pWindow->m_bRecoveryEnd;
    }
}

void SCANUI::RequestCancel() {
    if (m_pWindow == nullptr) return;
    switch (m_nOprType) {
        case kJobScan:
            m_pWindow->m_bStopScan = true;
            break;
        case kJobSearch:
            m_pWindow->m_bStopSearch = true;
            break;
        case kJobPreview:
            m_pWindow->m_bStopPreview = true;
            break;
        default:
            m_pWindow->m_bStopRecovery = true;
            break;
    }
}

void SCANUI::closeEvent(QCloseEvent* pEvent) {
    if (m_bIsFinished) {
        pEvent->accept();
        return;
    }
    const bool finishedRecovery =
        m_nOprType == kJobRecovery && m_pCancelButton->text() == QStringLiteral("Finished");
    if (!finishedRecovery) {
        CMessageBox question(this);
        question.InitQuestionDialog(CancelQuestion());
        question.move(pos() + QPoint(width() / 8, height() / 8));
        question.setFixedSize(400, 150);
        m_pQuestion = &question;
        question.exec();
        m_pQuestion = nullptr;
        if (m_bIsFinished) {  // the job ended while the user was asked
            pEvent->accept();
            return;
        }
        if (question.GetMessageBoxRet() == 0) {
            pEvent->ignore();
            return;
        }
    }
    RequestCancel();
    // The engine notices the flag at its next progress report; the worker then sets its end
    // flag. Reports it queues meanwhile are delivered after the dialog is gone.
    while (!JobEnded()) rsb_msleep(kPollMilliseconds);
    m_progressBar->setValue(0);
    pEvent->accept();
}

void SCANUI::mousePressEvent(QMouseEvent* pEvent) {
    if (!m_mover.Press(this, pEvent)) QDialog::mousePressEvent(pEvent);
}

void SCANUI::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_mover.Move(this, pEvent)) QDialog::mouseMoveEvent(pEvent);
}
