// brindle-ecusim: the virtual ECU on a pseudo-terminal, for running Brindle without an ECU.
//
// The host opens the pseudo-terminal's slave side like any serial port. This program plays
// the ECU on the master side in real time: it reads the host's line rate from the terminal
// settings (on Linux the master reports the slave's), paces every byte at ten bit times,
// garbles bytes when the two rates differ, and writes each answer byte at the moment it has
// completely arrived. Faults can be switched on the command line and, while running, with
// commands on standard input (one per line; each is answered with one line on standard output).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ecu/seriallibrary.h"
#include "sim/faults.h"
#include "sim/virtualecu.h"

namespace {

volatile sig_atomic_t stopSignal = 0;
// SIGINT and SIGTERM are blocked except inside the main loop's ppoll, which takes this mask:
// a signal that comes while the loop works is then taken at the next wait, never lost
// between the check of stopSignal and a wait without a time-out.
sigset_t waitMask;

void OnSignal(int) {
    stopSignal = 1;
}

TNs MonoNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return TNs(static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec);
}

std::string Help() {
    constexpr size_t kColumn = 24;
    return R"(Usage: brindle-ecusim [OPTION]...
A virtual ECU on a pseudo-terminal. Prints the terminal's path on the first line of
standard output; point Brindle at it (brindle --port PATH).

Line and identity:
  --link PATH           also make a symbolic link PATH to the terminal (re-pointed on replug,
                        removed at exit); PATH must be new or such a link
  --baud BPS            the firmware's power-on rate (default 9600)
  --loader-baud BPS     the rate of a cold ECU with only its boot loader (default 19200)
  --version A.B.C       firmware version (default 1.4.12)
  --unbranded           a board with a blank signature
  --board-rev N         board revision in tenths (default 12, shown as 1.2)
  --serial N            board serial number (default 258)
  --start-in-loader     power on with the boot loader only (no firmware)
  --erase-ms MS         modelled erase time (default 1500)
  --page-ms MS          modelled page programming time (default 4.5)
  --turnaround-ms MS    modelled reply turnaround (default 0.5)
  --image-in FILE       preload the flash from a binary file (at most 131072 bytes)
  --image-out FILE      write the flash (131072 bytes) after each "E" and at exit; FILE must
                        be new or a regular file

Faults (also as runtime commands, see below):
)" + FaultOptionsHelp(kColumn) +
           R"(
  --verbose             print every command of the host on standard error
  --help                this text

Runtime commands on standard input:
  unplug | plug         pull the cable / put it back
  replug [MS]           the adapter disappears (for MS milliseconds, its name removed) and
                        comes back as a new terminal (printed as "replugged PATH"; --link
                        follows it)
)" + FaultCommandsHelp(kColumn) +
           R"(  loader                the ECU loses its firmware and restarts into its boot loader
  power-cycle           restart (the boot loader when the flash holds no firmware)
  status                mode, rate and counters on one line
  transcript            the host's commands so far, then a line "end"
  quit                  exit (also on end of input after "quit", SIGINT or SIGTERM)
)";
}

struct TOptions {
    TEcuSimConfig config;
    std::string link;
    std::string imageIn;
    std::string imageOut;
    bool verbose = false;
    std::vector<std::pair<const TFault*, TFaultValue>> faults;  // switched on at start-up
};

[[noreturn]] void Fail(const std::string& text) {
    std::cerr << "brindle-ecusim: " << text << "\n";
    std::exit(2);
}

int ParseRate(const std::string& text) {
    const int bps = std::atoi(text.c_str());
    if (BpsToBaudCode(bps) == 0) {
        Fail("unsupported rate " + text + " (9600, 19200, 38400, 57600 or 115200)");
    }
    return bps;
}

int ParseInt(const std::string& text, int lo, int hi) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v < lo || v > hi) {
        Fail("bad number " + text);
    }
    return static_cast<int>(v);
}

// Milliseconds, with a fraction ("4.5").
TNs ParseMs(const std::string& text) {
    char* end = nullptr;
    const double ms = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || ms < 0 || ms > 60'000) {
        Fail("bad time " + text);
    }
    return TNs(static_cast<int64_t>(ms * 1e6));
}

TOptions ParseOptions(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Fail(a + " needs a value");
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::cout << Help();
            std::exit(0);
        } else if (a == "--link") {
            o.link = value();
        } else if (a == "--baud") {
            o.config.powerOnBps = ParseRate(value());
        } else if (a == "--loader-baud") {
            o.config.loaderBps = ParseRate(value());
        } else if (a == "--version") {
            int x = 0, y = 0, z = 0;
            const std::string v = value();
            if (std::sscanf(v.c_str(), "%d.%d.%d", &x, &y, &z) != 3) {
                Fail("bad version " + v);
            }
            o.config.version[0] = static_cast<uint8_t>(x);
            o.config.version[1] = static_cast<uint8_t>(y);
            o.config.version[2] = static_cast<uint8_t>(z);
        } else if (a == "--unbranded") {
            o.config.branded = false;
        } else if (a == "--board-rev") {
            o.config.boardRev = static_cast<uint8_t>(ParseInt(value(), 0, 255));
        } else if (a == "--serial") {
            o.config.serialNo = static_cast<uint16_t>(ParseInt(value(), 0, 65535));
        } else if (a == "--start-in-loader") {
            o.config.startInLoader = true;
        } else if (a == "--erase-ms") {
            o.config.erase = ParseMs(value());
        } else if (a == "--page-ms") {
            o.config.page = ParseMs(value());
        } else if (a == "--turnaround-ms") {
            o.config.turnaround = ParseMs(value());
        } else if (a == "--image-in") {
            o.imageIn = value();
        } else if (a == "--image-out") {
            o.imageOut = value();
        } else if (const TFault* fault = FaultForOption(a)) {
            const std::string text = fault->arg == TFaultArg::Switch ? "" : value();
            const std::optional<TFaultValue> v = ParseFaultValue(*fault, text, true);
            if (!v) {
                Fail("bad number " + text);
            }
            o.faults.emplace_back(fault, *v);
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            Fail("unknown option " + a + " (see --help)");
        }
    }
    if (!o.imageIn.empty()) {
        std::ifstream in(o.imageIn, std::ios::binary);
        if (!in) {
            Fail("cannot read " + o.imageIn);
        }
        o.config.flash.assign(std::istreambuf_iterator<char>(in), {});
        if (o.config.flash.size() > static_cast<size_t>(TVirtualEcu::kFlashBytes)) {
            Fail(o.imageIn + " is larger than the flash (131072 bytes)");
        }
    }
    return o;
}

// One pseudo-terminal: the master we play on, and a slave descriptor of our own so the host
// may close and reopen the port without the terminal going away.
struct TTerminal {
    int master = -1;
    int slave = -1;
    std::string path;

    bool Open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            return false;
        }
        path = ptsname(master);
        slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave < 0) {
            return false;
        }
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(slave, TCSANOW, &tio);
        return true;
    }
    void Close() {
        if (slave >= 0) {
            ::close(slave);
        }
        if (master >= 0) {
            ::close(master);
        }
        slave = master = -1;
    }
    // The line rate the host has set on its side.
    int HostBps() const {
        termios tio{};
        if (tcgetattr(master, &tio) != 0) {
            return 9600;
        }
        switch (cfgetospeed(&tio)) {
            case B19200:
                return 19200;
            case B38400:
                return 38400;
            case B57600:
                return 57600;
            case B115200:
                return 115200;
            case B9600:
                return 9600;
            default:
                return 1200;  // anything else garbles like any wrong rate
        }
    }
};

// The links this program makes are symbolic links to a pseudo-terminal: only such a link
// may be replaced, and only the one pointing at our own terminal removed.
std::string LinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

bool IsTerminalLink(const std::string& path) {
    return LinkTarget(path).rfind("/dev/pts/", 0) == 0;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Removes the link when it still points at `terminal`; anything else at its name stays.
void RemoveOwnLink(const std::string& link, const std::string& terminal) {
    if (!link.empty() && LinkTarget(link) == terminal) {
        ::unlink(link.c_str());
    }
}

bool PointLink(const std::string& link, const std::string& target) {
    if (link.empty()) {
        return true;
    }
    const std::string tmp = link + ".new";
    if (Exists(tmp) && IsTerminalLink(tmp)) {
        ::unlink(tmp.c_str());  // left behind by an earlier run
    }
    if (Exists(link) && !IsTerminalLink(link)) {
        errno = EEXIST;
        return false;
    }
    if (::symlink(target.c_str(), tmp.c_str()) != 0) {
        return false;
    }
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// What a path names, for messages about targets that are not regular files.
std::string KindOf(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        return "a symbolic link";
    }
    if (S_ISDIR(st.st_mode)) {
        return "a folder";
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        return "a device";
    }
    if (S_ISFIFO(st.st_mode)) {
        return "a named pipe";
    }
    return "not a regular file";
}

// Empty when the image may be written to `path` (a new name or a regular file), else why not.
std::string ImageTargetProblem(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
        return {};
    }
    return path + " is " + KindOf(st) +
           "; --image-out writes only a new file or over a regular one";
}

// Writes the flash to a temporary file beside `path` and renames it over `path`, which must
// be a new name or a regular file (its permissions are kept).
void WriteImage(const std::string& path, const std::vector<uint8_t>& flash) {
    if (path.empty()) {
        return;
    }
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        std::cerr << "brindle-ecusim: cannot write " << path << ": " << std::strerror(errno)
                  << "\n";
        return;
    }
    struct stat st {};
    ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    size_t done = 0;
    while (done < flash.size()) {
        const ssize_t n = ::write(fd, flash.data() + done, flash.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    const bool written = done == flash.size() && ::fsync(fd) == 0;
    ::close(fd);
    const std::string problem = ImageTargetProblem(path);
    if (!written || !problem.empty() || ::rename(tmp.c_str(), path.c_str()) != 0) {
        std::cerr << "brindle-ecusim: cannot write " << path << ": "
                  << (problem.empty() ? std::strerror(errno) : problem) << "\n";
        ::unlink(tmp.c_str());
    }
}

// The targets are checked before anything runs: nothing of the user's is replaced.
void CheckTargets(const TOptions& o) {
    if (const std::string problem = ImageTargetProblem(o.imageOut);
        !o.imageOut.empty() && !problem.empty()) {
        Fail(problem);
    }
    if (!o.link.empty() && Exists(o.link) && !IsTerminalLink(o.link)) {
        Fail(o.link +
             " exists and is not a link to a pseudo-terminal; --link replaces only "
             "such a link");
    }
}

class TSimulator {
public:
    explicit TSimulator(TOptions o) : options(std::move(o)), ecu(options.config, MonoNs()) {}

    int Run();

private:
    void ApplyStartFaults();
    void HandleCommand(const std::string& line);
    void Say(const std::string& line) { std::cout << line << std::endl; }
    void AfterPoll();

    TOptions options;
    TVirtualEcu ecu;
    TTerminal term;
    int lastExits = 0;
    uint64_t transcriptShown = 0;  // transcript lines printed so far (--verbose)
    bool quit = false;
    std::string stdinBuffer;
    bool stdinOpen = true;
};

void TSimulator::ApplyStartFaults() {
    for (const auto& [fault, value] : options.faults) {
        fault->apply(ecu, value, MonoNs());
    }
}

void TSimulator::HandleCommand(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, what;
    in >> cmd >> what;
    const TNs now = MonoNs();
    auto number = [&](const std::string& v) -> std::optional<int> {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 0);
        if (v.empty() || *end != '\0')
            return std::nullopt;
        return static_cast<int>(n);
    };
    if (cmd.empty()) {
        return;
    }
    if (cmd == "unplug") {
        ecu.SetUnplugged(true, now);
    } else if (cmd == "plug") {
        ecu.SetUnplugged(false, now);
    } else if (cmd == "replug") {
        ecu.SetUnplugged(true, now);
        term.Close();
        // "replug MS": the device stays away that long (its name gone) before it comes back.
        if (const std::optional<int> away = number(what); away && *away > 0) {
            RemoveOwnLink(options.link, term.path);
            ::usleep(static_cast<useconds_t>(std::min(*away, 60000)) * 1000);
        }
        if (!term.Open() || !PointLink(options.link, term.path)) {
            Say("error cannot open a new terminal: " + std::string(std::strerror(errno)));
            return;
        }
        ecu.SetUnplugged(false, MonoNs());
        Say("replugged " + term.path);
        return;
    } else if (cmd == "loader") {
        ecu.DropToLoader(now);
    } else if (cmd == "power-cycle") {
        ecu.PowerCycle(now);
    } else if (std::string rest; const TFault* fault = FaultForCommand(line, rest)) {
        const std::optional<TFaultValue> v = ParseFaultValue(*fault, rest, false);
        if (!v) {
            Say("error unknown command: " + line);
            return;
        }
        fault->apply(ecu, *v, now);
    } else if (cmd == "status") {
        const TEcuSimCounters c = ecu.Counters();
        std::ostringstream s;
        s << "status mode=" << (ecu.Mode() == TVirtualEcu::TMode::Loader ? "loader" : "firmware")
          << " baud=" << ecu.BaudBps() << " unplugged=" << (ecu.Unplugged() ? 1 : 0)
          << " packets=" << c.packets << " bad-packets=" << c.badPackets
          << " rate-changes=" << c.rateChanges << " erases=" << c.erases
          << " pages=" << c.pagesWritten << " rejected=" << c.rejectedWrites
          << " unanswered=" << c.unansweredWrites << " overruns=" << c.overruns
          << " exits=" << c.exits;
        Say(s.str());
        return;
    } else if (cmd == "transcript") {
        for (const std::string& t : ecu.Transcript()) {
            Say(t);
        }
        Say("end");
        return;
    } else if (cmd == "quit") {
        quit = true;
    } else {
        Say("error unknown command: " + line);
        return;
    }
    Say("ok " + line);
}

void TSimulator::AfterPoll() {
    const TEcuSimCounters c = ecu.Counters();
    if (c.exits != lastExits) {
        lastExits = c.exits;
        WriteImage(options.imageOut, ecu.Flash());
    }
    if (options.verbose) {
        for (const std::string& line : ecu.TranscriptSince(transcriptShown)) {
            std::cerr << "ecu: " << line << "\n";
        }
    }
}

int TSimulator::Run() {
    if (!term.Open()) {
        Fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
    }
    if (!PointLink(options.link, term.path)) {
        Fail("cannot make the link " + options.link + ": " + std::strerror(errno));
    }
    Say(term.path);
    ApplyStartFaults();
    // Wake-ups on time matter more than the odd microsecond of power here.
    prctl(PR_SET_TIMERSLACK, 1UL);

    std::vector<uint8_t> out;
    while (!quit && !stopSignal) {
        const TNs now = MonoNs();
        const int hostBps = term.HostBps();

        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(term.master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            // Bytes the host wrote go out on the wire one after another from now on.
            for (ssize_t i = 0; i < n; ++i) {
                ecu.HostSent(buf[i], now, hostBps);
            }
        }
        out.clear();
        ecu.Poll(now, hostBps, out);
        if (!out.empty()) {
            // Nobody listening (the host has the port closed): the bytes are lost, as on a line.
            if (::write(term.master, out.data(), out.size()) < 0 && errno != EAGAIN) {
                std::cerr << "brindle-ecusim: write: " << std::strerror(errno) << "\n";
            }
        }
        AfterPoll();

        const TNs next = ecu.NextEvent(now, hostBps);
        pollfd fds[2] = {{term.master, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        timespec timeout{};
        timespec* pt = nullptr;
        if (next != kNever) {
            const int64_t wait = std::max<int64_t>(0, (next - MonoNs()).count());
            timeout.tv_sec = wait / 1'000'000'000;
            timeout.tv_nsec = wait % 1'000'000'000;
            pt = &timeout;
        }
        const int r = ppoll(fds, 2, pt, &waitMask);
        if (r < 0 && errno != EINTR) {
            Fail(std::string("poll: ") + std::strerror(errno));
        }
        if (r > 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char cbuf[1024];
            const ssize_t n = ::read(0, cbuf, sizeof cbuf);
            if (n <= 0) {
                stdinOpen = false;  // no more commands; keep running
            } else {
                stdinBuffer.append(cbuf, static_cast<size_t>(n));
                size_t pos;
                while ((pos = stdinBuffer.find('\n')) != std::string::npos) {
                    std::string line = stdinBuffer.substr(0, pos);
                    stdinBuffer.erase(0, pos + 1);
                    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
                        line.pop_back();  // a CR or blanks left at the end
                    }
                    HandleCommand(line);
                }
            }
        }
        if (r > 0 && (fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) {
            // Cannot happen while we hold a slave descriptor; guard against a spin anyway.
            ::usleep(1000);
        }
    }
    WriteImage(options.imageOut, ecu.Flash());
    RemoveOwnLink(options.link, term.path);
    term.Close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions options = ParseOptions(argc, argv);
    CheckTargets(options);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &waitMask);
    TSimulator sim(std::move(options));
    return sim.Run();
}
