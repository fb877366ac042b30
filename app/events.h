// Messages posted to the main window; they carry no data, the receiver reads the state itself.
#pragma once

#include <QEvent>

// The link state of the session has changed.
constexpr QEvent::Type kEcuStateEvent = static_cast<QEvent::Type>(3024);
// The user closed the Engine Data window.
constexpr QEvent::Type kRealtimeClosedEvent = static_cast<QEvent::Type>(3025);
