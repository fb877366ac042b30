// brindle-cli: the ECU from the command line (identify, monitor, flash, hex), for workshops,
// test benches and machines without a desktop. All the work is done by the shared core.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>

#include "platform/timerslack.h"
#include "tools/cli/clicommands.h"

namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> hardExitAllowed{false};

const char kHardExitText[] =
    "\nbrindle-cli: quit in the middle of an upload run. The ECU may be left without working "
    "firmware, but its boot loader still answers: run flash again.\n";

void OnInterrupt(int) {
    // Only async-signal-safe calls here.
    if (interrupts.fetch_add(1) >= 1 && hardExitAllowed.load()) {
        const ssize_t ignored = ::write(2, kHardExitText, sizeof kHardExitText - 1);
        (void)ignored;
        ::_exit(130);
    }
}

bool IsTerminal(int fd) {
    if (!::isatty(fd)) {
        return false;
    }
    const char* term = std::getenv("TERM");
    return !(term && std::string(term) == "dumb");
}

}  // namespace

int main(int argc, char** argv) {
    TightenTimerSlack();  // inherited by the ECU control thread
    // No SA_RESTART: a read of the confirmation answer returns when Ctrl-C comes.
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that goes away shows up as a write error, which the command reports.
    signal(SIGPIPE, SIG_IGN);

    TConsole console(std::cerr, IsTerminal(2));
    TCliEnvironment env{std::cout, console};
    env.inputFd = 0;
    env.inputTerminal = ::isatty(0) != 0;
    env.interrupts = [] { return interrupts.load(); };
    env.allowHardExit = [](bool on) { hardExitAllowed.store(on); };
    return CliMain(std::vector<std::string>(argv + 1, argv + argc), env);
}
