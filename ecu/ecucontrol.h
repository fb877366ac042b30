// The ECU control thread: the one background thread that owns the serial port and the link
// session. It steps the session continuously, tells the user interface whenever the link
// state changes, and runs commands that other threads queue, one per pass.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class TClock;

// The control thread's pause between two passes (two sensor requests while connected).
constexpr int kPassPauseMs = 10;
class TECU;
class TIHexFile;
class TLinkStateObserver;
class TMessageBox;
class TProgressView;
class TSerialComm;
class TSerialLibrary;
class TSettingsStore;
class TStatusPanels;

// A queued command. Process runs on the control thread and returns whether the command has
// finished; one that has not goes back to the tail of the queue.
// Destroying a command never destroys what it points to.
class TECUCmd {
public:
    explicit TECUCmd(TECU* s) : session(s) {}
    virtual ~TECUCmd() = default;
    virtual bool Process() = 0;

    TECU* session;
};

// The firmware upload as a queued command. The image is shared with the flow that loaded it,
// so it stays valid for every run, however long the command stays queued.
class TECUFlashCmd : public TECUCmd {
public:
    TECUFlashCmd(TECU* s, std::shared_ptr<const TIHexFile> image, TProgressView* progress);
    bool Process() override;

    // Gives up the update: the next Process closes the progress view and reports the command
    // finished without touching the ECU. Safe from any thread.
    void Abandon() { abandoned.store(true); }
    bool Abandoned() const { return abandoned.load(); }
    // Runs of the upload so far, the runs that failed, and whether the last one completed.
    int Runs() const { return runs.load(); }
    int Failures() const { return failures.load(); }
    bool Succeeded() const { return succeeded.load(); }
    // True once the command has left the queue for good (completed or abandoned).
    bool Finished() const { return finished.load(); }

    std::shared_ptr<const TIHexFile> image;
    TProgressView* progress;

private:
    std::atomic<bool> abandoned{false};
    std::atomic<int> runs{0};
    std::atomic<int> failures{0};
    std::atomic<bool> succeeded{false};
    std::atomic<bool> finished{false};
};

// What the control thread talks to. Nothing is owned; all must outlive the thread object.
struct TECUControlLinks {
    TSerialLibrary& library;
    TSettingsStore& settings;
    TClock& clock;
    TStatusPanels* panels = nullptr;         // identification texts of the session
    TLinkStateObserver* observer = nullptr;  // told of every link-state change
    TMessageBox* messages = nullptr;         // "Comm port is in use!"
};

class TECUControl {
    // Declared first: `serial` and `session` below point into them.
    TECUControlLinks links;
    std::unique_ptr<TSerialComm> serialOwned;
    std::unique_ptr<TECU> sessionOwned;

public:
    // Creates the serial port object (loading the stored settings) and the session at once,
    // so `session` is valid for the object's whole life; the thread opens the port.
    // Unless createSuspended, the thread starts at the end of construction.
    explicit TECUControl(const TECUControlLinks& links, bool createSuspended = false);
    // Stops the thread if it runs; commands still queued are destroyed without being run.
    ~TECUControl();

    TECUControl(const TECUControl&) = delete;
    TECUControl& operator=(const TECUControl&) = delete;

    void Start();
    // Asks the thread to end and waits until it has. Waits in progress give up at once;
    // a running command still runs to its end.
    void Stop();
    // The two halves of Stop, for a caller that must keep serving events while it waits.
    void RequestStop();
    bool Finished() const { return finished.load(); }
    void Join();

    // Queues an upload of `image`; returns the command so the caller can abandon it.
    std::shared_ptr<TECUFlashCmd> PostFlashCommand(std::shared_ptr<const TIHexFile> image,
                                                   TProgressView* progress);
    // Queues any command (the queue owns it).
    void PostCommand(std::shared_ptr<TECUCmd> command);
    size_t QueuedCommands();

    TSerialComm* const serial;
    TECU* const session;

private:
    void Execute();

    std::mutex cmdLock;  // guards cmdQueue (not held while a command runs)
    std::deque<std::shared_ptr<TECUCmd>> cmdQueue;
    std::atomic<bool> stopRequested{false};
    std::mutex runLock;  // pairs a stop request with whether a command is running
    bool commandRunning = false;
    std::atomic<bool> finished{false};
    std::thread thread;
};
