// The small interfaces through which the core reaches the user interface. The desktop
// program implements them in Qt (carrying each call out on the UI thread), the command-line
// tool on the terminal, and tests record them. Every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

// Texts of the main window's status-bar panels (0: link state, 1: firmware, 2: board).
class TStatusPanels {
public:
    virtual ~TStatusPanels() = default;
    virtual void SetPanelText(int panel, const std::string& text) = 0;
};

enum class TMessageIcon { None, Error, Warning, Information };

struct TMessage {
    std::string text;
    std::string caption;  // empty: the platform's default caption
    TMessageIcon icon = TMessageIcon::None;
    std::string detail;  // optional further explanation (the operating system's reason)
};

// A message box with an OK button. Blocks the caller until the user has dismissed it.
class TMessageBox {
public:
    virtual ~TMessageBox() = default;
    virtual void ShowMessage(const TMessage& message) = 0;
};

// Told whenever the link state changes; the receiver reads the current state itself
// (in the desktop program this posts event 3024 to the main window).
class TLinkStateObserver {
public:
    virtual ~TLinkStateObserver() = default;
    virtual void LinkStateChanged() = 0;
};

// The progress window of a firmware upload. Position and text changes are applied before the
// call returns. The window closes when its command has finished (TCommandObserver).
class TProgressView {
public:
    virtual ~TProgressView() = default;
    virtual void SetPosition(int position) = 0;  // 0..100
    virtual void SetStatusText(const std::string& text) = 0;
    // Bytes of the image the boot loader has acknowledged so far, of `total`; after each block.
    virtual void SetBytesWritten(int64_t written, int64_t total) = 0;
};

// Told by the ECU control thread what becomes of the commands it runs, each identified by
// its Id(). Every call comes after what it reports has been decided and stored, so the
// receiver may read the command's state; the desktop program posts each as an event.
class TCommandObserver {
public:
    virtual ~TCommandObserver() = default;
    // A run of the command begins (an upload run: boot loader, erase, every block).
    virtual void RunStarted(uint64_t command) = 0;
    // A run failed; the command runs again unless CommandFinished follows.
    virtual void RunFailed(uint64_t command) = 0;
    // The command has left the queue for good: completed, failed, or abandoned.
    virtual void CommandFinished(uint64_t command) = 0;
    // The control thread has ended (after a stop).
    virtual void ControlEnded() = 0;
};

// Implementations that discard everything, for parts run without a user interface.
class TNullStatusPanels : public TStatusPanels {
public:
    void SetPanelText(int, const std::string&) override {}
};
class TNullMessageBox : public TMessageBox {
public:
    void ShowMessage(const TMessage&) override {}
};
class TNullProgressView : public TProgressView {
public:
    void SetPosition(int) override {}
    void SetStatusText(const std::string&) override {}
    void SetBytesWritten(int64_t, int64_t) override {}
};
