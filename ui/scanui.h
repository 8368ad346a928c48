// The progress dialog of one job of the window (scan, search, preview or recovery).
//
// It follows the job through the window's signals, which the worker thread emits and Qt
// delivers here queued. It closes by itself when the job reports its end, and also when the
// worker thread ends without such a report (an engine that could not be built, a preview that
// failed), so that no dialog is left waiting for a report that never comes. A recovery dialog
// stays open at the end with its Cancel button reading "Finished", so that the user can look
// at the detail list and the outcome ("N of M recovered to <folder>", then each failure).
// Closing a running job (Cancel, Escape) asks first; after "Yes" the dialog sets the job's
// cancel flag and waits, polling every 100 ms, until the job has ended.
#pragma once

#include <QDialog>
#include <QString>

#include "ui/frameless.h"

class CDetail;
class CMessageBox;
class DRUI;
class QLabel;
class QProgressBar;
class QPushButton;

class SCANUI : public QDialog {
    Q_OBJECT

public:
    enum JobKind { kJobScan = 1, kJobSearch = 2, kJobPreview = 3, kJobRecovery = 4 };

    explicit SCANUI(QWidget* parent = nullptr);
    ~SCANUI() override;

    // Binds the dialog to the window's job of that kind and builds it.
    void InitSlot(DRUI* pWindow, int nOprType);
    // The destination folder the Open Folder button shows, and how many files go there.
    void SetSaveDir(const QString& strSaveDir);
    void SetFileCount(int nFiles) { m_nFileCount = nFiles; }

    int OprType() const { return m_nOprType; }
    bool IsFinished() const { return m_bIsFinished; }
    QProgressBar* ProgressBar() const { return m_progressBar; }
    QString TitleText() const;
    QString InfoText() const;
    QPushButton* CancelButton() const { return m_pCancelButton; }
    CDetail* Detail() const { return m_pDetail; }

public slots:
    void ScanProcessCallBackSlot(int nPercent, int nWeight, int nSecondsLeft, QString strCurrent,
                                 QString strTotal, QString strFound, QString strText);
    void SearchCallBackSlot(int nPercent, QString strText);
    void PreViewCallBackSlot(int nPercent, int nError);
    void RecoveryCallBackSlot(int nPercent, int nWeight, int nError, QString strPath);
    // The worker thread has ended, whatever the job reported.
    void JobThreadFinished();

    void btnSlot();
    void btnDetail();
    void btnOpenFolder();

    // Escape and other rejections close the dialog through its question, never by hiding it
    // while the job runs on.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;

private:
    void InitDialog();
    void MarkRecoveryFinished();
    QString RecoveryOutcome() const;
    bool JobEnded() const;
    void RequestCancel();
    QString CancelQuestion() const;

    int m_nOprType = 0;
    bool m_bIsFinished = false;
    DRUI* m_pWindow = nullptr;
    QLabel* m_pTitle = nullptr;
    QLabel* m_pInfo = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QPushButton* m_pCancelButton = nullptr;
    CDetail* m_pDetail = nullptr;
    CMessageBox* m_pQuestion = nullptr;  // the cancel question while it is asked
    QString m_strCurrentText;
    QString m_strSaveDir;
    int m_nFileCount = 0;
    CFramelessMover m_mover;
};
