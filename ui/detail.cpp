#include "ui/detail.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "foundation/result.h"
#include "ui/style.h"

namespace {
constexpr int kRowHeight = 22;
}

CDetail::CDetail(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setFixedSize(600, 400);
    setStyleSheet(ferrowen_style::DialogSheet());
    setFont(ferrowen_style::TextFont());

    m_pTitle = new QLabel(this);
    m_pTitle->setObjectName(QStringLiteral("titleBand"));
    m_pTitle->setFixedHeight(56);
    m_pTable = new QTableWidget(0, 2, this);
    m_pTable->setObjectName(QStringLiteral("detailTable"));
    m_pTable->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Status")});
    m_pTable->setColumnWidth(0, 400);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    m_pTable->verticalHeader()->setVisible(false);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("btnOK"));
    connect(ok, &QPushButton::clicked, this, &CDetail::btnSlot);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 10);
    layout->addWidget(m_pTitle);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(10, 0, 10, 0);
    body->addWidget(m_pTable, 1);
    body->addLayout(buttons);
    layout->addLayout(body, 1);
    UpdateTitle();
}

QString CDetail::TitleText() const {
    return m_pTitle->text();
}

void CDetail::UpdateTitle() {
    m_pTitle->setText(
        QString::asprintf("  Recovery Detail\n  Success: %d  Failed: %d\n", m_nSuccess, m_nFailed));
}

void CDetail::AddTableItem(const QString& strPath, int nError) {
    auto* name = new QTableWidgetItem(strPath);
    auto* status = new QTableWidgetItem;
    int row = 0;
    if (nError == 0) {
        row = m_pTable->rowCount();
        m_pTable->insertRow(row);
        status->setText(QStringLiteral("Success"));
        ++m_nSuccess;
    } else {
        m_pTable->insertRow(0);  // failures gather at the top, newest first
        status->setText(
            QStringLiteral("Failed: %1").arg(QString::fromStdString(DescribeResult(nError))));
        status->setForeground(QColor(255, 0, 0));
        ++m_nFailed;
    }
    m_pTable->setItem(row, 0, name);
    m_pTable->setItem(row, 1, status);
    m_pTable->setRowHeight(row, kRowHeight);
    UpdateTitle();
}

void CDetail::btnSlot() {
    close();
}

void CDetail::mousePressEvent(QMouseEvent* pEvent) {
    if (!m_mover.Press(this, pEvent)) QDialog::mousePressEvent(pEvent);
}

void CDetail::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_mover.Move(this, pEvent)) QDialog::mouseMoveEvent(pEvent);
}
