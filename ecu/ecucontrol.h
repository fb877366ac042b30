// The ECU control thread: the one background thread that owns the serial port and the link
// session. It steps the session continuously, tells the user interface whenever the link
// state changes, and runs commands that other threads queue, one per pass (the firmware
// upload's command is in firmware/flashcmd).
//
// Each command's outcome has one owner: the control thread decides and stores it, and only
// then tells the user interface (TCommandObserver), naming the command.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "ecu/commsettings.h"

class TClock;

// The control thread's pause between two passes (two sensor requests while connected).
constexpr std::chrono::milliseconds kPassPause{10};
// While the port cannot be opened it is tried again this often.
constexpr std::chrono::milliseconds kPortRetry{1000};

class TCommandObserver;
class TECU;
class TLinkStateObserver;
class TMessageBox;
class TPacketLogSink;
class TSerialComm;
class TSerialLibrary;
class TSettingsStore;
class TStatusPanels;

// A queued command. Process runs on the control thread and returns whether the command has
// finished; one that has not goes back to the tail of the queue.
// Destroying a command never destroys what it points to.
class TECUCmd {
public:
    explicit TECUCmd(TECU* s, TCommandObserver* observer = nullptr);
    virtual ~TECUCmd() = default;
    virtual bool Process() = 0;

    // Unique within the process, from 1: the name the control thread's reports carry.
    uint64_t Id() const { return id; }
    bool AbandonRequested() const { return abandonRequested.load(); }

    TECU* session;
    // Told of the command's runs and its end; the control thread's own when queued without.
    TCommandObserver* observer;

protected:
    friend class TECUControl;
    // The command leaves the queue without running again (abandoned, or the thread stopped).
    virtual void Dropped() {}
    std::atomic<bool> abandonRequested{false};

private:
    const uint64_t id;
};

// What the control thread talks to. Nothing is owned; all must outlive the thread object.
struct TECUControlLinks {
    TSerialLibrary& library;
    TSettingsStore& settings;
    TClock& clock;
    TStatusPanels* panels = nullptr;         // identification texts of the session
    TLinkStateObserver* observer = nullptr;  // told of every link-state change
    TMessageBox* messages = nullptr;         // "Comm port is in use!"
    TCommandObserver* commands = nullptr;    // told what becomes of each command
    TCommOverride settingsOverride = {};     // stored settings replaced for this run
    TPacketLogSink* log = nullptr;           // a line for every packet of the session
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
    // Stops the thread if it runs; commands still queued are dropped without being run.
    ~TECUControl();

    TECUControl(const TECUControl&) = delete;
    TECUControl& operator=(const TECUControl&) = delete;

    void Start();
    // Asks the thread to end and waits until it has. Waits in progress give up at once;
    // a running command still runs to its end; queued ones are dropped and reported.
    void Stop();
    // The two halves of Stop, for a caller that waits through its event loop meanwhile
    // (TCommandObserver::ControlEnded tells when Join will not block).
    void RequestStop();
    bool Finished() const { return finished.load(); }
    void Join();

    // Queues a command (the queue owns it). After a stop it is dropped at once.
    void PostCommand(std::shared_ptr<TECUCmd> command);
    // Gives a command up. One waiting in the queue leaves it at once and never runs again;
    // a running one finishes its run first. Either way the observer hears CommandFinished.
    void Abandon(const std::shared_ptr<TECUCmd>& command);
    size_t QueuedCommands();

    // Whether the port is open; stored before the link-state notice that follows a change.
    bool PortOpen() const { return portOpen.load(); }

    TSerialComm* const serial;
    TECU* const session;

private:
    void Execute();
    bool OpenPort();
    void NotifyLinkState();
    void Finish(TECUCmd& command);
    void DropQueued();

    std::mutex cmdLock;  // guards cmdQueue (not held while a command runs)
    std::deque<std::shared_ptr<TECUCmd>> cmdQueue;
    std::atomic<bool> stopRequested{false};
    std::mutex runLock;  // pairs a stop request with whether a command is running
    bool commandRunning = false;
    std::atomic<bool> finished{false};
    std::atomic<bool> portOpen{false};
    std::thread thread;
};
