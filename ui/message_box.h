// A frameless yes/no question, 400 x 150, asked modally. GetMessageBoxRet is 1 after "Yes"
// and 0 after "No" or any other way of closing.
#pragma once

#include <QDialog>

#include "ui/frameless.h"

class QLabel;
class QPushButton;

class CMessageBox : public QDialog {
    Q_OBJECT

public:
    explicit CMessageBox(QWidget* parent = nullptr);

    void InitQuestionDialog(const QString& strText);
    // A notice with one "OK" button (answer 1 when pressed).
    void InitNoticeDialog(const QString& strTitle, const QString& strText);
    int GetMessageBoxRet() const { return m_nRet; }
    // A question whose two answers say what they do: "Reopen" and "Scan again" rather than
    // "Yes" and "No". GetMessageBoxRet is still 1 for the first.
    void SetAnswerTexts(const QString& strYes, const QString& strNo);

public slots:
    void btnSlotOK();
    void btnSlotNO();

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;

private:
    void Build(const QString& strTitle, const QString& strText, bool bQuestion);

    int m_nRet = 0;
    CFramelessMover m_mover;
};
