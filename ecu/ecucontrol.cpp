#include "ecu/ecucontrol.h"

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/serialcomm.h"
#include "ecu/userinterface.h"

TECUFlashCmd::TECUFlashCmd(TECU* s, std::shared_ptr<const TIHexFile> img, TProgressView* view)
    : TECUCmd(s), image(std::move(img)), progress(view) {}

bool TECUFlashCmd::Process() {
    if (abandoned.load()) {
        if (progress) {
            progress->Close();
        }
        finished.store(true);
        return true;
    }
    if (!session || !image || !progress) {
        return false;
    }
    runs.fetch_add(1);
    const bool ok = session->UploadFirmware(*image, *progress);
    if (!ok) {
        failures.fetch_add(1);
    }
    succeeded.store(ok);
    finished.store(ok);
    return ok;
}

TECUControl::TECUControl(const TECUControlLinks& l, bool createSuspended)
    : links(l),
      serialOwned(std::make_unique<TSerialComm>(l.library, l.settings, l.clock)),
      sessionOwned(std::make_unique<TECU>(serialOwned.get(), l.panels)),
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
}

std::shared_ptr<TECUFlashCmd> TECUControl::PostFlashCommand(std::shared_ptr<const TIHexFile> image,
                                                            TProgressView* progress) {
    auto command = std::make_shared<TECUFlashCmd>(session, std::move(image), progress);
    PostCommand(command);
    return command;
}

void TECUControl::PostCommand(std::shared_ptr<TECUCmd> command) {
    std::lock_guard<std::mutex> lock(cmdLock);
    cmdQueue.push_back(std::move(command));
}

size_t TECUControl::QueuedCommands() {
    std::lock_guard<std::mutex> lock(cmdLock);
    return cmdQueue.size();
}

void TECUControl::Execute() {
    if (!serial->Open() && links.messages) {
        links.messages->ShowMessage(
            {"Comm port is in use!", "Error!", TMessageIcon::Error, serial->OpenError()});
    }
    uint8_t reported = session->linkState.load();
    if (reported != kLinkConnected) {
        session->linkState = kLinkConnecting;
        // Said at once: the first connect pass can take seconds when nothing answers.
        reported = kLinkConnecting;
        if (links.observer) {
            links.observer->LinkStateChanged();
        }
    }
    while (!stopRequested.load()) {
        session->Step();

        const uint8_t state = session->linkState.load();
        if (state != reported) {
            reported = state;
            if (links.observer) {
                links.observer->LinkStateChanged();
            }
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
        if (command && !command->Process()) {
            std::lock_guard<std::mutex> lock(cmdLock);
            cmdQueue.push_back(std::move(command));
        }
        {
            std::lock_guard<std::mutex> lock(runLock);
            commandRunning = false;
            if (stopRequested.load()) {
                serial->CancelWaits();
            }
        }
        links.clock.SleepMs(kPassPauseMs);
    }
    serial->Close();
    finished.store(true);
}
