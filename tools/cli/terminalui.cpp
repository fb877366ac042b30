#include "tools/cli/terminalui.h"

#include <chrono>

#include "ecu/ecu.h"
#include "firmware/upload.h"

namespace {
// Back to the start of the line and clear it.
constexpr char kClearLine[] = "\r\033[K";
constexpr int kBarWidth = 30;
}  // namespace

void TConsole::Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (barShown) {
        out << kClearLine << text << "\n" << bar;
    } else {
        out << text << "\n";
    }
    out.flush();
}

void TConsole::Prompt(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (barShown) {
        out << "\n";
        barShown = false;
        bar.clear();
    }
    out << text;
    out.flush();
}

void TConsole::Bar(const std::string& text) {
    if (!terminal) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    bar = text;
    barShown = true;
    out << kClearLine << bar;
    out.flush();
}

void TConsole::EndBar() {
    std::lock_guard<std::mutex> lock(mutex);
    if (barShown) {
        out << "\n";
        out.flush();
    }
    barShown = false;
    bar.clear();
}

void TWakeup::Notify() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending = true;
    }
    cv.notify_all();
}

void TWakeup::Wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return pending; });
    pending = false;
}

void TTerminalPanels::SetPanelText(int panel, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    texts[panel] = text;
}

std::string TTerminalPanels::Text(int panel) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = texts.find(panel);
    return it == texts.end() ? std::string() : it->second;
}

void TTerminalMessages::ShowMessage(const TMessage& message) {
    std::string text = "brindle-cli: " + message.text;
    if (!message.detail.empty()) {
        text += "\n  " + message.detail;
    }
    console.Line(text);
    {
        std::lock_guard<std::mutex> lock(mutex);
        shown.push_back(message);
    }
    wakeup.Notify();
}

std::vector<TMessage> TTerminalMessages::Shown() {
    std::lock_guard<std::mutex> lock(mutex);
    return shown;
}

void TTerminalLinkObserver::Announce(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    announce = on;
    if (on && readState) {
        lastShown = readState();
    }
}

void TTerminalLinkObserver::LinkStateChanged() {
    if (readState) {
        // The control thread reports a change after the whole step that made it, so the
        // report may come after the state was already shown.
        const uint8_t state = readState();
        std::lock_guard<std::mutex> lock(mutex);
        if (announce && state != lastShown) {
            lastShown = state;
            console.Line("Link: " + LinkStateText(state));
        }
    }
    wakeup.Notify();
}

TTerminalProgress::TTerminalProgress(TConsole& c, int used) : console(c), usedLength(used) {}

void TTerminalProgress::DrawLocked() {
    console.Bar(ProgressBar(position, written, usedLength, kBarWidth));
}

void TTerminalProgress::SetPosition(int p) {
    std::lock_guard<std::mutex> lock(mutex);
    ++trace.positions;
    position = p;
    if (console.Terminal()) {
        DrawLocked();
    } else if (p / 10 > lastTenth) {
        lastTenth = p / 10;
        console.Line(ProgressLine(p, written, usedLength));
    }
}

void TTerminalProgress::SetStatusText(const std::string& t) {
    std::lock_guard<std::mutex> lock(mutex);
    trace.lastText = t;
    if (!console.Terminal() || !IsBytesSentText(t)) {
        console.Line(t);
    }
}

void TTerminalProgress::SetBytesWritten(int64_t bytes, int64_t) {
    std::lock_guard<std::mutex> lock(mutex);
    written = bytes;
    if (console.Terminal()) {
        DrawLocked();
    }
}

TRunTrace TTerminalProgress::Trace() {
    std::lock_guard<std::mutex> lock(mutex);
    return trace;
}

void TTerminalProgress::StartRun() {
    std::lock_guard<std::mutex> lock(mutex);
    trace = TRunTrace{};
    position = 0;
    written = 0;
    lastTenth = -1;
}

void TTerminalProgress::Complete() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        position = 100;
        written = usedLength;
        if (console.Terminal()) {
            console.Bar(ProgressBar(100, usedLength, usedLength, kBarWidth));
        } else {
            console.Line(ProgressLine(100, usedLength, usedLength));
        }
    }
    console.EndBar();
}

void TTerminalProgress::Finish() {
    console.EndBar();
}

void TTerminalCommands::RunFailed(uint64_t command) {
    if (runFailed) {
        runFailed(command);
    }
    wakeup.Notify();
}

void TTerminalCommands::CommandFinished(uint64_t) {
    wakeup.Notify();
}
