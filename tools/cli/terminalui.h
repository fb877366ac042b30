// The core's user-interface interfaces on a terminal. The core calls them from the ECU
// control thread; the command that waits on the main thread reads what they recorded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "ecu/userinterface.h"
#include "tools/cli/cliformat.h"

// The stream for progress and messages (standard error). On a terminal it keeps one bar line
// at the bottom, which permanent lines are printed above; elsewhere there is no bar.
class TConsole {
public:
    TConsole(std::ostream& out, bool terminal) : out(out), terminal(terminal) {}

    bool Terminal() const { return terminal; }
    void Line(const std::string& text);
    // A question: the text without a line end, for the answer to follow on the same line.
    void Prompt(const std::string& text);
    // Replaces the bar line; ignored when not on a terminal.
    void Bar(const std::string& text);
    // Ends the bar line, so later lines follow it instead of replacing it.
    void EndBar();

private:
    std::mutex mutex;
    std::ostream& out;
    const bool terminal;
    std::string bar;
    bool barShown = false;
};

// Wakes the main thread when anything it waits for may have happened. Signals cannot notify
// a condition variable, so waits are also bounded by a short slice.
class TWakeup {
public:
    void Notify();
    // Waits until notified or at most `ms`; returns at once when a notification came since
    // the last wait.
    void Wait(int ms);

private:
    std::mutex mutex;
    std::condition_variable cv;
    bool pending = false;
};

// Status-bar panels: the texts are kept for the command to print.
class TTerminalPanels : public TStatusPanels {
public:
    void SetPanelText(int panel, const std::string& text) override;
    std::string Text(int panel);

private:
    std::mutex mutex;
    std::map<int, std::string> texts;
};

// The blocking message box: printed on the console at once, kept for the command.
class TTerminalMessages : public TMessageBox {
public:
    TTerminalMessages(TConsole& console, TWakeup& wakeup) : console(console), wakeup(wakeup) {}
    void ShowMessage(const TMessage& message) override;
    std::vector<TMessage> Shown();

private:
    TConsole& console;
    TWakeup& wakeup;
    std::mutex mutex;
    std::vector<TMessage> shown;
};

// Link-state changes wake the waiting command; once announcing, each change of the state
// from the one last shown is printed with the status bar's word for it.
class TTerminalLinkObserver : public TLinkStateObserver {
public:
    TTerminalLinkObserver(TConsole& console, TWakeup& wakeup) : console(console), wakeup(wakeup) {}
    // Where the state is read; set before the control thread starts.
    void SetStateReader(std::function<uint8_t()> read) { readState = std::move(read); }
    void Announce(bool on);
    void LinkStateChanged() override;

private:
    TConsole& console;
    TWakeup& wakeup;
    std::function<uint8_t()> readState;
    std::mutex mutex;
    bool announce = false;
    uint8_t lastShown = 0;  // the state last printed (or current when announcing began)
};

// The upload's progress window. On a terminal: a bar with the percentage and the bytes
// written, and every text other than "N bytes sent." as a line of its own above it (the bar
// already counts the bytes). Elsewhere: a line at every tenth of the way and every status
// text as a line.
class TTerminalProgress : public TProgressView {
public:
    TTerminalProgress(TConsole& console, int usedLength);

    void SetPosition(int position) override;
    void SetStatusText(const std::string& text) override;
    void SetBytesWritten(int64_t written, int64_t total) override;

    // What the current run has shown, and a fresh start for the next run.
    TRunTrace Trace();
    void StartRun();
    // Shows the whole image as written and ends the bar.
    void Complete();
    // Ends the bar where it stands.
    void Finish();

private:
    void DrawLocked();

    TConsole& console;
    const int usedLength;
    std::mutex mutex;
    int position = 0;
    int64_t written = 0;
    int lastTenth = -1;  // plain output: the last tenth of the way reported
    TRunTrace trace;
};

// What becomes of the commands: each failed run and each finished command wakes the waiting
// command; failed runs are also handed to a callback, on the control thread.
class TTerminalCommands : public TCommandObserver {
public:
    explicit TTerminalCommands(TWakeup& wakeup) : wakeup(wakeup) {}
    // Set before the command is queued.
    void OnRunFailed(std::function<void(uint64_t command)> f) { runFailed = std::move(f); }
    void RunStarted(uint64_t) override {}
    void RunFailed(uint64_t command) override;
    void CommandFinished(uint64_t command) override;
    void ControlEnded() override { wakeup.Notify(); }

private:
    TWakeup& wakeup;
    std::function<void(uint64_t)> runFailed;
};
