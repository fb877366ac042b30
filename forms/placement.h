// Where the program's windows appear, and their row of buttons.
#pragma once

#include <QHBoxLayout>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <initializer_list>

// Centres a top-level window on the screen (the screen of its parent, when it has one),
// rather than over its parent.
inline void CentreOnScreen(QWidget* window) {
    const QWidget* parent = window->parentWidget();
    QScreen* screen = parent ? parent->screen() : window->screen();
    QRect frame(QPoint(), window->frameGeometry().size());
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

// The dialogs' buttons: a row on the right, in the order given.
inline QHBoxLayout* ButtonRow(std::initializer_list<QWidget*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QWidget* button : buttons) {
        row->addWidget(button);
    }
    return row;
}
