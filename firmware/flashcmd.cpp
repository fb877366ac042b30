#include "firmware/flashcmd.h"

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/serialcomm.h"
#include "ecu/userinterface.h"

TECUFlashCmd::TECUFlashCmd(TECU* s, std::shared_ptr<const TIHexFile> img, TProgressView* view,
                           TFlashPolicy p, TCommandObserver* o)
    : TECUCmd(s, o), image(std::move(img)), progress(view), policy(p) {}

bool TECUFlashCmd::Process() {
    if (AbandonRequested()) {
        Dropped();
        return true;
    }
    if (!session || !image || !progress) {
        return false;
    }
    runs.fetch_add(1);
    if (observer) {
        observer->RunStarted(Id());
    }
    TClock& clock = session->port->Clock();
    const auto start = clock.Now();
    const TUploadRun run = TUpload(*session, *image, *progress).Run();
    lastRunTime.store(clock.Now() - start);
    lastRun.store(run);
    if (run == TUploadRun::Completed) {
        outcome.store(TFlashOutcome::Completed);
        return true;
    }
    if (run == TUploadRun::FailedAfterErase) {
        eraseSent.store(true);
    }
    failures.fetch_add(1);
    if (observer) {
        observer->RunFailed(Id());
    }
    const bool ends = AbandonRequested() || (policy.maxRuns > 0 && runs.load() >= policy.maxRuns) ||
                      (policy.endWhenLoaderSilent && run == TUploadRun::LoaderSilent);
    if (!ends) {
        return false;
    }
    if (AbandonRequested()) {
        Dropped();
    } else {
        outcome.store(eraseSent.load() ? TFlashOutcome::FailedAfterErase
                                       : TFlashOutcome::FailedBeforeErase);
        // Whoever answers now, firmware or boot loader, is found afresh and shown as it is.
        session->Relink();
    }
    return true;
}

void TECUFlashCmd::Dropped() {
    outcome.store(TFlashOutcome::Abandoned);
    if (session && runs.load() > 0) {
        session->Relink();
    }
}

std::shared_ptr<TECUFlashCmd> PostFlashCommand(TECUControl& control,
                                               std::shared_ptr<const TIHexFile> image,
                                               TProgressView* progress, TFlashPolicy policy) {
    auto command =
        std::make_shared<TECUFlashCmd>(control.session, std::move(image), progress, policy);
    control.PostCommand(command);
    return command;
}
