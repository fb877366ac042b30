// Where the program's windows appear.
#pragma once

#include <QRect>
#include <QScreen>
#include <QWidget>

// Centres a top-level window on the screen (the screen of its parent, when it has one),
// rather than over its parent.
inline void CentreOnScreen(QWidget* window) {
    const QWidget* parent = window->parentWidget();
    QScreen* screen = parent ? parent->screen() : window->screen();
    QRect frame(QPoint(), window->frameGeometry().size());
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}
