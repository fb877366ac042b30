#include "ecu/ecucontrol.h"

#include <algorithm>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/serialcomm.h"
#include "ecu/userinterface.h"

namespace {
std::atomic<uint64_t> lastCommandId{0};
}  // namespace

TECUCmd::TECUCmd(TECU* s, TCommandObserver* o)
    : session(s), observer(o), id(lastCommandId.fetch_add(1) + 1) {}

TECUControl::TECUControl(const TECUControlLinks& l, bool createSuspended)
    : links(l),
      serialOwned(
          std::make_unique<TSerialComm>(l.library, l.settings, l.clock, l.settingsOverride)),
      sessionOwned(std::make_unique<TECU>(serialOwned.get(), l.panels, l.log)),
      serial(serialOwned.get()),
      session(sessionOwned.get()) {
    if (!createSuspended) {
        Start();
    }
}

TECUControl::~TECUControl() {
    Stop();
}

void TECUControl::Start() {
    if (!thread.joinable() && !finished.load()) {
        thread = std::thread(&TECUControl::Execute, this);
    }
}

void TECUControl::RequestStop() {
    stopRequested.store(true);
    std::lock_guard<std::mutex> lock(runLock);
    if (!commandRunning) {
        serial->CancelWaits();
    }
}

void TECUControl::Join() {
    if (thread.joinable()) {
        thread.join();
    }
}

void TECUControl::Stop() {
    RequestStop();
    Join();
    DropQueued();  // what a thread that never ran left in the queue
}

void TECUControl::PostCommand(std::shared_ptr<TECUCmd> command) {
    if (!command->observer) {
        command->observer = links.commands;
    }
    {
        std::lock_guard<std::mutex> lock(cmdLock);
        if (!stopRequested.load()) {
            cmdQueue.push_back(std::move(command));
            return;
        }
    }
    command->Dropped();  // nothing runs once a stop was asked for
    Finish(*command);
}

void TECUControl::Abandon(const std::shared_ptr<TECUCmd>& command) {
    {
        std::lock_guard<std::mutex> lock(cmdLock);
        command->abandonRequested.store(true);
        const auto it = std::find(cmdQueue.begin(), cmdQueue.end(), command);
        if (it == cmdQueue.end()) {
            return;  // running: the control thread ends it after its run
        }
        cmdQueue.erase(it);
    }
    command->Dropped();
    Finish(*command);
}

size_t TECUControl::QueuedCommands() {
    std::lock_guard<std::mutex> lock(cmdLock);
    return cmdQueue.size();
}

void TECUControl::Finish(TECUCmd& command) {
    if (command.observer) {
        command.observer->CommandFinished(command.Id());
    }
}

void TECUControl::DropQueued() {
    std::deque<std::shared_ptr<TECUCmd>> dropped;
    {
        std::lock_guard<std::mutex> lock(cmdLock);
        dropped.swap(cmdQueue);
    }
    for (const std::shared_ptr<TECUCmd>& command : dropped) {
        command->Dropped();
        Finish(*command);
    }
}

void TECUControl::NotifyLinkState() {
    if (links.observer) {
        links.observer->LinkStateChanged();
    }
}

bool TECUControl::OpenPort() {
    const bool open = serial->Open();
    portOpen.store(open);
    return open;
}

void TECUControl::Execute() {
    const bool opened = OpenPort();
    uint8_t reported = session->linkState.load();
    if (reported != kLinkConnected) {
        session->linkState = kLinkConnecting;
        // Said at once: the first connect pass can take seconds when nothing answers, and a
        // port that failed to open is waited for.
        reported = kLinkConnecting;
        NotifyLinkState();
    }
    if (!opened && links.messages) {
        links.messages->ShowMessage(
            {"Comm port is in use!", "Error!", TMessageIcon::Error, serial->OpenError()});
    }
    auto lastOpenTry = links.clock.Now();
    while (!stopRequested.load()) {
        if (serial->isOpen) {
            session->Step();
        } else if (links.clock.Now() - lastOpenTry >= kPortRetry) {
            // A missing adapter is waited for: once it is there, the link connects.
            lastOpenTry = links.clock.Now();
            if (OpenPort()) {
                NotifyLinkState();
            }
        }

        const uint8_t state = session->linkState.load();
        if (state != reported) {
            reported = state;
            NotifyLinkState();
        }

        {
            std::lock_guard<std::mutex> lock(runLock);
            if (stopRequested.load()) {
                break;  // no new command starts once a stop was asked for
            }
            commandRunning = true;
        }
        // The lock guards the queue only, not the run: a command may hand work to the UI
        // thread and wait for it, and the UI thread must never wait on this lock meanwhile.
        std::shared_ptr<TECUCmd> command;
        {
            std::lock_guard<std::mutex> lock(cmdLock);
            if (!cmdQueue.empty()) {
                command = std::move(cmdQueue.front());
                cmdQueue.pop_front();
            }
        }
        if (command) {
            bool done = command->Process();
            if (!done) {
                // An abandon that came while it ran is settled here, under the queue's lock,
                // so the command can never slip back into the queue.
                std::lock_guard<std::mutex> lock(cmdLock);
                if (command->AbandonRequested()) {
                    command->Dropped();
                    done = true;
                } else {
                    cmdQueue.push_back(command);
                }
            }
            // A command may change the link state too (an upload leaves the boot loader):
            // reported before its end is, so the user interface never sees a stale state.
            const uint8_t after = session->linkState.load();
            if (after != reported) {
                reported = after;
                NotifyLinkState();
            }
            if (done) {
                Finish(*command);
            }
        }
        {
            std::lock_guard<std::mutex> lock(runLock);
            commandRunning = false;
            if (stopRequested.load()) {
                serial->CancelWaits();
            }
        }
        links.clock.Sleep(kPassPause);
    }
    serial->Close();
    portOpen.store(false);
    DropQueued();
    finished.store(true);
    if (links.commands) {
        links.commands->ControlEnded();
    }
}
