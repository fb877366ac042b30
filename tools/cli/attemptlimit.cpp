#include "tools/cli/attemptlimit.h"

TAttemptLimit::TAttemptLimit(int l, TOnFailure f)
    : TECUCmd(nullptr), limit(l), onFailure(std::move(f)) {}

void TAttemptLimit::Watch(std::shared_ptr<TECUFlashCmd> u) {
    std::lock_guard<std::mutex> lock(mutex);
    upload = std::move(u);
}

bool TAttemptLimit::Process() {
    std::shared_ptr<TECUFlashCmd> watched;
    {
        std::lock_guard<std::mutex> lock(mutex);
        watched = upload;
    }
    if (!watched) {
        return false;
    }
    if (watched->Finished()) {
        return true;
    }
    const int failures = watched->Failures();
    if (failures > reported) {
        reported = failures;
        if (failures >= limit && !watched->Abandoned()) {
            gaveUp.store(true);
            watched->Abandon();
        }
        if (onFailure) {
            onFailure(failures);
        }
    }
    return false;
}
