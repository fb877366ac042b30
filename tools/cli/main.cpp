// brindle-cli: the ECU from the command line (identify, monitor, flash, hex), for workshops,
// test benches and machines without a desktop. All the work is done by the shared core.
#include <atomic>
#include <cstdlib>
#include <iostream>

#include "platform/console.h"
#include "platform/timerslack.h"
#include "tools/cli/clicommands.h"

namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> hardExitAllowed{false};

const char kHardExitText[] =
    "\nbrindle-cli: quit in the middle of an upload run. The ECU may be left without working "
    "firmware, but its boot loader still answers: run flash again.\n";

bool IsTerminalForProgress(int fd) {
    if (!IsTerminal(fd)) {
        return false;
    }
    const char* term = std::getenv("TERM");
    return !(term && std::string(term) == "dumb");
}

}  // namespace

int main(int argc, char** argv) {
    TightenTimerSlack();  // inherited by the ECU control thread
    InstallInterruptHandler(interrupts, hardExitAllowed, kHardExitText);

    TConsole console(std::cerr, IsTerminalForProgress(2));
    TCliEnvironment env{std::cout, console};
    env.inputFd = 0;
    env.inputTerminal = IsTerminal(0);
    env.interrupts = [] { return interrupts.load(); };
    env.allowHardExit = [](bool on) { hardExitAllowed.store(on); };
    return CliMain(std::vector<std::string>(argv + 1, argv + argc), env);
}
