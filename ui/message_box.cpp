#include "ui/message_box.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/style.h"

CMessageBox::CMessageBox(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setWindowTitle(QStringLiteral("Ferrowen"));
    setFixedSize(400, 150);
    setStyleSheet(ferrowen_style::DialogSheet());
    setFont(ferrowen_style::TextFont());
}

void CMessageBox::InitQuestionDialog(const QString& strText) {
    Build(QStringLiteral("  Question"), strText, true);
}

void CMessageBox::InitNoticeDialog(const QString& strTitle, const QString& strText) {
    Build(QStringLiteral("  ") + strTitle, strText, false);
}

void CMessageBox::SetAnswerTexts(const QString& strYes, const QString& strNo) {
    if (auto* yes = findChild<QPushButton*>(QStringLiteral("btnYes"))) yes->setText(strYes);
    if (auto* no = findChild<QPushButton*>(QStringLiteral("btnNo"))) no->setText(strNo);
}

void CMessageBox::Build(const QString& strTitle, const QString& strText, bool bQuestion) {
    auto* title = new QLabel(strTitle, this);
    title->setObjectName(QStringLiteral("titleBand"));
    title->setFixedHeight(30);

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/image/question.png")));
    icon->setFixedSize(56, 56);
    icon->setAlignment(Qt::AlignCenter);
    auto* text = new QLabel(strText, this);
    text->setObjectName(QStringLiteral("questionText"));
    text->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(16, 0, 16, 12);
    buttons->addStretch();
    if (bQuestion) {
        auto* no = new QPushButton(QStringLiteral("No"), this);
        no->setObjectName(QStringLiteral("btnNo"));
        connect(no, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
        buttons->addWidget(no);
    }
    auto* yes = new QPushButton(bQuestion ? QStringLiteral("Yes") : QStringLiteral("OK"), this);
    yes->setObjectName(QStringLiteral("btnYes"));
    connect(yes, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
    buttons->addWidget(yes);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(16, 8, 16, 0);
    body->addWidget(icon);
    body->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title);
    layout->addLayout(body, 1);
    layout->addLayout(buttons);
}

void CMessageBox::btnSlotOK() {
    m_nRet = 1;
    close();
}

void CMessageBox::btnSlotNO() {
    m_nRet = 0;
    close();
}

void CMessageBox::mousePressEvent(QMouseEvent* pEvent) {
    if (!m_mover.Press(this, pEvent)) QDialog::mousePressEvent(pEvent);
}

void CMessageBox::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_mover.Move(this, pEvent)) QDialog::mouseMoveEvent(pEvent);
}
