// The firmware upload as a command of the ECU control thread. Each run is one TUpload; the
// command decides, on the control thread, whether to run again and how the update ended, and
// stores that before the observer hears of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ecu/ecucontrol.h"
#include "firmware/upload.h"

class TIHexFile;
class TProgressView;

// What became of a firmware upload command.
enum class TFlashOutcome : uint8_t {
    Pending,            // queued or running
    Completed,          // a run wrote every block and told the boot loader to exit
    FailedBeforeErase,  // it ended without any run having sent the erase: firmware unchanged
    FailedAfterErase,   // it ended after a run sent the erase: the ECU has no working firmware
    Abandoned,          // given up by the user (or the thread stopped); see EraseSent()
};

// When a failing upload command ends by itself. By default it runs again after every failed
// run until it completes or is abandoned, except after a run whose boot loader did not answer.
struct TFlashPolicy {
    int maxRuns = 0;                  // 0: no limit
    bool endWhenLoaderSilent = true;  // a run the boot loader did not answer ends it
};

// The image is shared with the flow that loaded it, so it stays valid for every run, however
// long the command stays queued.
class TECUFlashCmd : public TECUCmd {
public:
    TECUFlashCmd(TECU* s, std::shared_ptr<const TIHexFile> image, TProgressView* progress,
                 TFlashPolicy policy = {}, TCommandObserver* observer = nullptr);
    bool Process() override;

    // Safe from any thread; stored before the observer hears of them.
    TFlashOutcome Outcome() const { return outcome.load(); }
    bool EraseSent() const { return eraseSent.load(); }  // by any run so far
    int Runs() const { return runs.load(); }
    int Failures() const { return failures.load(); }
    TUploadRun LastRun() const { return lastRun.load(); }
    // How long the last run took.
    std::chrono::microseconds LastRunTime() const { return lastRunTime.load(); }

    std::shared_ptr<const TIHexFile> image;
    TProgressView* progress;
    const TFlashPolicy policy;

protected:
    void Dropped() override;

private:
    std::atomic<TFlashOutcome> outcome{TFlashOutcome::Pending};
    std::atomic<bool> eraseSent{false};
    std::atomic<int> runs{0};
    std::atomic<int> failures{0};
    std::atomic<TUploadRun> lastRun{TUploadRun::Completed};
    std::atomic<std::chrono::microseconds> lastRunTime{std::chrono::microseconds(0)};
};

// Queues an upload of `image` on the control thread; returns the command to follow it.
std::shared_ptr<TECUFlashCmd> PostFlashCommand(TECUControl& control,
                                               std::shared_ptr<const TIHexFile> image,
                                               TProgressView* progress, TFlashPolicy policy = {});
