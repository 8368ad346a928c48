// The detail list of a recovery: one row per file the engines finished, failures first
// (newest at the top, in red), successes below in the order they were written.
#pragma once

#include <QDialog>

#include "ui/frameless.h"

class QLabel;
class QTableWidget;

class CDetail : public QDialog {
    Q_OBJECT

public:
    explicit CDetail(QWidget* parent = nullptr);

    // nError 0: recovered; otherwise failed, and the row says why.
    void AddTableItem(const QString& strPath, int nError);

    int RecoveredCount() const { return m_nSuccess; }
    int FailedCount() const { return m_nFailed; }
    QString TitleText() const;
    QTableWidget* Table() const { return m_pTable; }

public slots:
    void btnSlot();

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;

private:
    void UpdateTitle();

    QLabel* m_pTitle = nullptr;
    QTableWidget* m_pTable = nullptr;
    int m_nSuccess = 0;
    int m_nFailed = 0;
    CFramelessMover m_mover;
};
