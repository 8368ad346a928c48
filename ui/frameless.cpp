#include "ui/frameless.h"

#include <QMouseEvent>
#include <QWidget>

bool CFramelessMover::Press(QWidget* pWindow, QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton) {
        m_offset = pEvent->globalPosition().toPoint() - pWindow->frameGeometry().topLeft();
        m_bDragging = true;
        return true;
    }
    if (pEvent->button() == Qt::RightButton) {
        m_bDragging = false;
        pWindow->close();
        return true;
    }
    return false;
}

bool CFramelessMover::Move(QWidget* pWindow, QMouseEvent* pEvent) {
    if (!m_bDragging || !(pEvent->buttons() & Qt::LeftButton)) return false;
    pWindow->move(pEvent->globalPosition().toPoint() - m_offset);
    return true;
}
