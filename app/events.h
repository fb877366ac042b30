// Events posted to the main window. The first two carry no data: the receiver reads the state
// itself. The command events name the command the control thread reports on.
#pragma once

#include <QEvent>
#include <cstdint>

// The link state of the session has changed.
constexpr QEvent::Type kEcuStateEvent = static_cast<QEvent::Type>(3024);
// The user closed the Engine Data window.
constexpr QEvent::Type kRealtimeClosedEvent = static_cast<QEvent::Type>(3025);
// A command's run began, a run failed, the command finished (TCommandEvent), and the
// control thread ended.
constexpr QEvent::Type kRunStartedEvent = static_cast<QEvent::Type>(3026);
constexpr QEvent::Type kRunFailedEvent = static_cast<QEvent::Type>(3027);
constexpr QEvent::Type kCommandFinishedEvent = static_cast<QEvent::Type>(3028);
constexpr QEvent::Type kControlEndedEvent = static_cast<QEvent::Type>(3029);

class TCommandEvent : public QEvent {
public:
    TCommandEvent(QEvent::Type type, uint64_t command) : QEvent(type), command(command) {}
    const uint64_t command;
};
