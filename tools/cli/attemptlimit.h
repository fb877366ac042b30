// Bounds the runs of a firmware upload. The control thread runs a failed upload again and
// again; this command sits in the same queue and takes turns with it, so it runs between
// any two runs of the upload. After each failed run it reports the failure, and once `limit`
// runs have failed it abandons the upload before another run can start.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "ecu/ecucontrol.h"

class TAttemptLimit : public TECUCmd {
public:
    // Called on the control thread after each failed run with the number of failed runs so
    // far; GaveUp() already tells whether that was the last one.
    using TOnFailure = std::function<void(int failures)>;

    TAttemptLimit(int limit, TOnFailure onFailure);

    // The upload to watch. Post this command before the upload, then name the upload here:
    // from then on the two alternate in the queue.
    void Watch(std::shared_ptr<TECUFlashCmd> upload);
    // Leaves the queue once the upload has finished (completed or abandoned).
    bool Process() override;

    int Limit() const { return limit; }
    bool GaveUp() const { return gaveUp.load(); }

private:
    const int limit;
    TOnFailure onFailure;
    std::mutex mutex;
    std::shared_ptr<TECUFlashCmd> upload;
    int reported = 0;  // control thread only
    std::atomic<bool> gaveUp{false};
};
