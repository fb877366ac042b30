// The attempt limit of brindle-cli's flash: the real control thread, upload and virtual ECU
// on virtual time, so that runs of several seconds each take milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/userinterface.h"
#include "firmware/ihexfile.h"
#include "tests/support/simrig.h"
#include "tests/support/waitfor.h"
#include "tools/cli/attemptlimit.h"

namespace {

struct LimitCase {
    const char* name;
    int nackBlock;   // writes of this block are never acknowledged (-1: none)
    int nackWrites;  // the first writes that are not acknowledged
    int limit;
    int runs;
    int failures;
    bool succeeded;
    std::vector<int> reported;  // failure counts passed to the callback, in turn
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

class AttemptLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(AttemptLimit, StopsTheUploadAfterTheLimitAndNoSooner) {
    const LimitCase& c = GetParam();
    TManualClock clock;
    TEcuSimConfig config;
    config.startInLoader = true;
    TVirtualEcu ecu(config, clock.NowUs() * 1000);
    TVirtualEcuPeer peer(ecu);
    TFakeSerialLibrary lib(clock);
    lib.AttachPeer(&peer);
    TMemorySettingsStore store;
    TECUControl control({lib, store, clock});
    ASSERT_TRUE(WaitFor([&] { return control.session->linkState == kLinkLoader; }));
    ecu.NackBlock(c.nackBlock);
    ecu.NackWrites(c.nackWrites);

    auto image = std::make_shared<TIHexFile>();
    for (int i = 0; i < 600; ++i) {
        image->data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    image->usedLength = 600;  // three blocks

    std::mutex mutex;
    std::vector<int> reported;
    std::vector<bool> gaveUpWhenReported;
    std::shared_ptr<TAttemptLimit> limit;
    limit = std::make_shared<TAttemptLimit>(c.limit, [&](int failures) {
        std::lock_guard<std::mutex> lock(mutex);
        reported.push_back(failures);
        gaveUpWhenReported.push_back(limit->GaveUp());
    });
    TNullProgressView view;
    control.PostCommand(limit);
    auto upload = control.PostFlashCommand(image, &view);
    limit->Watch(upload);

    ASSERT_TRUE(WaitFor([&] { return upload->Finished() && control.QueuedCommands() == 0; }))
        << "runs " << upload->Runs() << ", failures " << upload->Failures();
    control.Stop();

    EXPECT_EQ(upload->Runs(), c.runs);
    EXPECT_EQ(upload->Failures(), c.failures);
    EXPECT_EQ(upload->Succeeded(), c.succeeded);
    // Every run erases the flash first: the ECU saw exactly the runs that were made.
    EXPECT_EQ(ecu.Counters().erases, c.runs);
    const bool gaveUp = !c.succeeded;
    EXPECT_EQ(limit->GaveUp(), gaveUp);
    EXPECT_EQ(upload->Abandoned(), gaveUp);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(reported, c.reported);
    // Only the report of the last allowed failure says that it gave up.
    for (size_t i = 0; i < gaveUpWhenReported.size(); ++i) {
        EXPECT_EQ(gaveUpWhenReported[i], gaveUp && i + 1 == gaveUpWhenReported.size()) << i;
    }
    if (c.succeeded) {
        const std::vector<uint8_t> flash = ecu.Flash();
        EXPECT_TRUE(std::equal(image->data.begin(), image->data.begin() + 600, flash.begin()));
    }
}

const LimitCase kCases[] = {
    {"CleanRun", -1, 0, 1, 1, 0, true, {}},
    {"OneResendIsNoFailedRun", -1, 1, 1, 1, 0, true, {}},
    {"SecondRunSucceedsWithinTheLimit", -1, 6, 3, 2, 1, true, {1}},
    {"BlockNeverTakenStopsAfterTwo", 1, 0, 2, 2, 2, false, {1, 2}},
    {"BlockNeverTakenStopsAfterOne", 1, 0, 1, 1, 1, false, {1}},
    {"BlockNeverTakenStopsAfterFour", 2, 0, 4, 4, 4, false, {1, 2, 3, 4}},
};

INSTANTIATE_TEST_SUITE_P(CliFlash, AttemptLimit, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
