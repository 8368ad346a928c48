// Mouse handling shared by the frameless main window and its dialogs: they have no title bar
// of the window manager, so a left-button drag anywhere on them moves them and a right click
// closes them (for a job dialog that asks first, through its close handling).
#pragma once

#include <QPoint>

class QMouseEvent;
class QWidget;

class CFramelessMover {
public:
    // Each returns true when it handled the event.
    bool Press(QWidget* pWindow, QMouseEvent* pEvent);
    bool Move(QWidget* pWindow, QMouseEvent* pEvent);

private:
    QPoint m_offset;  // pointer position relative to the window's top-left corner
    bool m_bDragging = false;
};
