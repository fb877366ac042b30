#include "tools/cli/clicommands.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/packet.h"
#include "ecu/serialcomm.h"
#include "firmware/flashcmd.h"
#include "firmware/ihexfile.h"
#include "firmware/upload.h"
#include "platform/console.h"
#include "platform/filesync.h"
#include "platform/hostplatform.h"
#include "platform/packetlogfile.h"
#include "platform/portmap.h"
#include "platform/serialdevices.h"
#include "record/recordwriter.h"
#include "tools/cli/cliformat.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TSteadyClock::Instance().Now())
        .count();
}

std::string Seconds(int ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

enum class TWaitResult { Connected, Loader, NoEcu, PortFailed, Interrupted };

// The ECU link of one command: the settings, the port map, the serial library and the
// control thread, set up as the desktop program sets them up, with this run's overrides.
class TCliLink {
public:
    TCliLink(const TCliOptions& o, TCliEnvironment& e)
        : options(o),
          env(e),
          messages(e.console, wakeup),
          observer(e.console, wakeup),
          commands(wakeup) {
        // Per-port devices from the settings file; --port replaces every one for this run.
        store = MakeSettingsStore(map);
        if (!options.port.empty()) {
            map.SetRunOverride(options.port);
        }
        library = MakeSerialLibrary(map);
        // Constructing the control thread's objects loads the stored settings (and stores the
        // defaults when there are none yet); the thread itself starts in Connect. --com and
        // --baud hold for this run only: nothing writes them back.
        if (!options.noLog) {
            OpenLog();
        }
        TECUControlLinks links{*library,  *store,    SystemClock(), &panels,
                               &observer, &messages, &commands};
        links.log = log.get();
        links.settingsOverride = {options.com > 0 ? options.com - 1 : -1, options.baudCode};
        control = std::make_unique<TECUControl>(links, true);
        observer.SetStateReader([this] { return control->session->linkState.load(); });
        const TCommSettings serial = control->serial->Settings();
        // A setting outside the known values is used as it is, but named, so that a port or
        // rate nobody meant has a visible cause.
        for (const std::string& warning : serial.RangeWarnings()) {
            env.console.Line("brindle-cli: warning: " + warning);
        }
        path = map.PathFor(serial.comPort);
        // A connect pass calls the ECU at the three rates of the settings, then at the others.
        rates = {serial.initBaud, serial.commBaud, serial.loaderBaud};
        for (int code = kBaudCodeMin; code <= kBaudCodeMax; ++code) {
            rates.push_back(code);
        }
        if (!options.port.empty()) {
            where = path;
        } else {
            where = path + " (" + TPortMap::PortName(serial.comPort) +
                    (options.com > 0 ? "" : " from the settings") + ")";
        }
    }

    ~TCliLink() { Stop(); }

    TECU& Session() { return *control->session; }
    TECUControl& Control() { return *control; }
    TTerminalPanels& Panels() { return panels; }
    TTerminalLinkObserver& Observer() { return observer; }
    TTerminalCommands& Commands() { return commands; }
    TWakeup& Wakeup() { return wakeup; }

    // Starts the control thread and waits for an ECU.
    TWaitResult Connect() {
        env.console.Line("Connecting to the ECU on " + where + "...");
        // Ctrl-C must reach the main thread (it may be reading the answer to a question).
        StartThreadsWithoutInterrupts([this] { control->Start(); });
        return WaitForEcu();
    }

    // Waits until the session is connected or finds only the boot loader, at most --timeout.
    TWaitResult WaitForEcu() {
        const int64_t deadline = NowMs() + options.timeoutMs;
        for (;;) {
            if (!messages.Shown().empty()) {
                return TWaitResult::PortFailed;  // the only message of the control thread
            }
            const uint8_t state = Session().linkState.load();
            if (state == kLinkConnected) {
                return TWaitResult::Connected;
            }
            if (state == kLinkLoader) {
                return TWaitResult::Loader;
            }
            if (env.interrupts() > 0) {
                return TWaitResult::Interrupted;
            }
            const int64_t left = deadline - NowMs();
            if (left <= 0) {
                return TWaitResult::NoEcu;
            }
            wakeup.Wait(static_cast<int>(std::min<int64_t>(left, 50)));
        }
    }

    // Explains a wait that found no usable ECU; returns the exit code.
    int Report(TWaitResult result) {
        switch (result) {
            case TWaitResult::NoEcu:
                env.console.Line("brindle-cli: no ECU answered on " + path + " within " +
                                 Seconds(options.timeoutMs) +
                                 " (its firmware and its boot loader were called at " +
                                 RatesText(rates) + ")");
                return kExitNoEcu;
            case TWaitResult::PortFailed: {
                // The message is on the screen already; say what the user can do about it.
                const int err = DeviceAccessError(path);
                const std::string advice = PortOpenAdvice(path, err);
                if (!advice.empty()) {
                    env.console.Line("  " + advice);
                }
                return kExitPort;
            }
            case TWaitResult::Interrupted:
                env.console.Line("brindle-cli: interrupted");
                return kExitInterrupted;
            case TWaitResult::Loader:
                env.console.Line(
                    "brindle-cli: only the ECU's boot loader answers: it has no firmware "
                    "('brindle-cli flash FILE.hex' puts firmware on it)");
                return kExitLoaderOnly;
            case TWaitResult::Connected:
                break;
        }
        return kExitOk;
    }

    // Ends the control thread (a command in progress first runs to its end).
    void Stop() { control->Stop(); }

private:
    void OpenLog() {
        TLogOpenResult result;
        log = TPacketLogFile::Open(options.logPath, kPacketLogLimitBytes, result);
        const std::string why =
            result.status == TLogOpen::Link   ? "is a symbolic link, which is never followed"
            : result.status == TLogOpen::Held ? "is in use by another instance of Brindle"
                                              : "cannot be created (" + result.reason + ")";
        if (!log) {
            env.console.Line("brindle-cli: warning: the packet log " + options.logPath + " " + why +
                             "; going on without it");
        }
    }

    const TCliOptions& options;
    TCliEnvironment& env;
    TWakeup wakeup;
    TTerminalPanels panels;
    TTerminalMessages messages;
    TTerminalLinkObserver observer;
    TTerminalCommands commands;
    std::unique_ptr<TPacketLogFile> log;  // outlives the control thread, its only writer
    TPortMap map;
    std::unique_ptr<TSettingsStore> store;  // BRINDLE_SETTINGS or the system's own place
    std::unique_ptr<TSerialLibrary> library;
    std::unique_ptr<TECUControl> control;
    std::string path;
    std::string where;
    std::vector<int> rates;
};

// Loads a HEX file with the program's loader; prints the loader's message on failure.
bool LoadImage(TIHexFile& image, const std::string& path, TConsole& console) {
    if (!image.Open(path)) {
        console.Line("brindle-cli: " + image.LastError());
        return false;
    }
    if (!image.Load()) {
        // The parser's text, then where in the file it failed on a line of its own.
        const std::string& error = image.LastError();
        const size_t nl = error.find('\n');
        console.Line("brindle-cli: " + path + ": " + error.substr(0, nl));
        if (nl != std::string::npos) {
            console.Line("  " + error.substr(nl + 1));
        }
        return false;
    }
    return true;
}

int RunIdentify(const TCliOptions& o, TCliEnvironment& env) {
    TCliLink link(o, env);
    const TWaitResult result = link.Connect();
    if (result == TWaitResult::Connected) {
        env.out << link.Panels().Text(kPanelFirmware) << "\n"
                << link.Panels().Text(kPanelBoard) << "\n";
        env.out.flush();
        return kExitOk;
    }
    if (result == TWaitResult::Loader) {
        env.out << LinkStateText(kLinkLoader) << "\n";
        env.out.flush();
    }
    return link.Report(result);
}

int RunMonitor(const TCliOptions& o, TCliEnvironment& env) {
    TRecordWriter writer;
    std::string outName = "standard output";
    if (!o.csvPath.empty()) {
        if (!writer.Create(o.csvPath)) {
            env.console.Line(
                "brindle-cli: cannot create " + o.csvPath + ": " + writer.Error() +
                (writer.ErrorNumber() == EEXIST ? " (monitor never writes over a file)" : ""));
            return kExitFailed;
        }
        writer.SetSync(SyncFile);
        outName = o.csvPath;
    } else {
        writer.Attach(env.out);
    }

    TCliLink link(o, env);
    const TWaitResult result = link.Connect();
    if (result != TWaitResult::Connected) {
        return link.Report(result);
    }
    link.Observer().Announce(true);
    env.console.Line(o.count > 0 ? "Monitoring " + std::to_string(o.count) + " records."
                                 : "Monitoring; Ctrl-C stops.");

    TECU& session = link.Session();
    uint64_t seen = 0;
    session.SensorsSnapshot(&seen);  // records from before the header are not new
    writer.Start(TRecordClock::Now(TSteadyClock::Instance().Now()));
    int64_t lastRecord = NowMs();
    uint64_t lost = 0;
    uint64_t rows = 0;
    std::vector<TECU::TTimedRecord> batch;
    int exitCode = kExitOk;
    while (!writer.Failed() && (o.count == 0 || rows < static_cast<uint64_t>(o.count))) {
        if (env.interrupts() > 0) {
            break;  // Ctrl-C is how monitoring ends
        }
        batch.clear();
        lost += session.RecordsSince(seen, batch);
        const int64_t now = NowMs();
        if (!batch.empty()) {
            if (o.count > 0) {
                batch.resize(std::min<size_t>(batch.size(), o.count - rows));
            }
            writer.Write(batch);
            rows += batch.size();
            lastRecord = now;
            continue;
        }
        if (session.linkState.load() == kLinkLoader) {
            env.console.Line("brindle-cli: the ECU fell back to its boot loader");
            exitCode = kExitLoaderOnly;
            break;
        }
        if (now - lastRecord > o.timeoutMs) {
            env.console.Line("brindle-cli: no new sensor record for " + Seconds(o.timeoutMs) +
                             " (link: " + LinkStateText(session.linkState.load()) + ")");
            exitCode = kExitNoEcu;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    link.Observer().Announce(false);
    link.Stop();
    writer.Close();
    // A closed pipe (`monitor | head`) means the reader has all it wanted: a quiet end.
    if (writer.Failed() && writer.ErrorNumber() != EPIPE) {
        env.console.Line("brindle-cli: cannot write to " + outName + ": " + writer.Error());
        exitCode = kExitFailed;
    }
    if (lost > 0) {
        env.console.Line("Note: " + std::to_string(lost) +
                         " records came while the output was blocked for too long and are not "
                         "in it.");
    }
    return exitCode;
}

int RunPorts(const TCliOptions&, TCliEnvironment& env) {
    std::unique_ptr<TSerialDeviceList> own;
    const TSerialDeviceList* list = env.devices;
    if (!list) {
        own = MakeSerialDeviceList();
        list = own.get();
    }
    TPortMap map;
    MakeSettingsStore(map);  // the per-port devices, where the settings keep them
    const std::vector<TSerialDevice> devices = list->Devices();
    if (devices.empty()) {
        env.console.Line("No serial devices found (looked for " + list->Searched() + ").");
        return kExitOk;
    }
    for (const TSerialDevice& device : devices) {
        env.out << PortLine(device, ComPortOf(device, map)) << "\n";
    }
    env.out.flush();
    return env.out ? kExitOk : kExitFailed;
}

// Flash, step 1: loads the image and checks that it may be written: it holds data, and the
// question can be asked (or --yes was given). Returns kExitOk or the exit code.
int CheckFlashImage(const TCliOptions& o, TCliEnvironment& env, TIHexFile& image) {
    TConsole& console = env.console;
    if (!LoadImage(image, o.hexPath, console)) {
        return kExitBadImage;
    }
    if (image.usedLength == 0) {
        console.Line("brindle-cli: " + o.hexPath +
                     " holds no data (every byte is 0xFF): writing it would only erase the "
                     "ECU's firmware");
        return kExitBadImage;
    }
    console.Line("Image " + o.hexPath + ": " + HexSummary(image.usedLength));
    if (!o.yes && !env.inputTerminal) {
        console.Line(
            "brindle-cli: flash asks for confirmation, but standard input is not a terminal; "
            "add --yes to write without asking");
        return kExitUsage;
    }
    return kExitOk;
}

// Flash, step 2: connects and names what answered; the firmware or only its boot loader
// will do. Returns kExitOk or the exit code.
int ConnectForFlash(TCliLink& link, TConsole& console) {
    const TWaitResult result = link.Connect();
    if (result == TWaitResult::Connected) {
        console.Line("ECU: " + link.Panels().Text(kPanelFirmware) + ", " +
                     link.Panels().Text(kPanelBoard));
    } else if (result == TWaitResult::Loader) {
        console.Line("ECU: only its boot loader answers (no firmware); writing through it.");
    } else {
        return link.Report(result);
    }
    return kExitOk;
}

// Flash, step 3: asks before writing unless --yes was given, then checks that the ECU is
// still there and no Ctrl-C came. Returns kExitOk or the exit code.
int ConfirmFlash(const TCliOptions& o, TCliEnvironment& env, TCliLink& link, int used) {
    TConsole& console = env.console;
    if (!o.yes) {
        console.Prompt("Write " + std::to_string(used) + " bytes from " + o.hexPath +
                       " to the ECU? Its flash is erased first. [y/N] ");
        const TAnswer answer = ReadAnswer(env.inputFd, [&env] { return env.interrupts() > 0; });
        if (answer != TAnswer::Yes) {
            if (answer == TAnswer::Interrupted) {
                console.Line("");
            }
            console.Line("Nothing was written.");
            return answer == TAnswer::Interrupted ? kExitInterrupted : kExitFailed;
        }
        // The link may have changed while the question was open.
        const TWaitResult result = link.WaitForEcu();
        if (result != TWaitResult::Connected && result != TWaitResult::Loader) {
            return link.Report(result);
        }
    }
    if (env.interrupts() > 0) {
        console.Line("Interrupted; nothing was written.");
        return kExitInterrupted;
    }
    return kExitOk;
}

// A finished upload command and the reason its last failed run gave.
struct TUploadEnd {
    std::shared_ptr<TECUFlashCmd> upload;
    std::string lastReason;
};

// Flash, step 4: queues the upload, reports each failed run from the control thread, and
// waits for the command to end; a Ctrl-C lets the run in progress finish and starts no
// other. The control thread has stopped when this returns.
TUploadEnd RunUpload(const TCliOptions& o, TCliEnvironment& env, TCliLink& link,
                     std::shared_ptr<TIHexFile> image, TTerminalProgress& view) {
    TConsole& console = env.console;
    const int used = image->usedLength;
    std::atomic<bool> userStop{false};
    std::shared_ptr<TECUFlashCmd> upload;
    std::mutex reasonLock;
    std::string lastReason;
    // Each failed run, on the control thread, once the command has stored how it ended.
    link.Commands().OnRunFailed([&](uint64_t) {
        const std::string reason = UploadFailureReason(upload->LastRun(), view.Trace());
        view.StartRun();
        {
            std::lock_guard<std::mutex> lock(reasonLock);
            lastReason = reason;
        }
        const int failures = upload->Failures();
        console.Line("Attempt " + std::to_string(failures) + " of " + std::to_string(o.attempts) +
                     " failed: " + reason);
        if (failures < o.attempts && !userStop.load()) {
            console.Line("Attempt " + std::to_string(failures + 1) + " of " +
                         std::to_string(o.attempts) +
                         ": starting over (boot loader, erase, every block).");
        }
    });

    console.Line("Writing " + std::to_string(used) + " bytes in " +
                 std::to_string(BlockCount(used)) + " blocks; attempt 1 of " +
                 std::to_string(o.attempts) + ".");
    env.allowHardExit(true);
    // Every failed run is tried again, a silent boot loader included, up to the attempts.
    TFlashPolicy policy;
    policy.maxRuns = o.attempts;
    policy.endWhenLoaderSilent = false;
    // Made before it is queued: the callback above may run as soon as it is.
    upload = std::make_shared<TECUFlashCmd>(&link.Session(), std::move(image), &view, policy,
                                            &link.Commands());
    link.Control().PostCommand(upload);
    while (upload->Outcome() == TFlashOutcome::Pending) {
        if (env.interrupts() > 0 && !userStop.load()) {
            userStop.store(true);
            link.Control().Abandon(upload);
            console.Line(
                "Ctrl-C: the upload run in progress cannot be cut off halfway without leaving "
                "the ECU with partly written firmware, so it goes on to its end; no further "
                "run will start. Press Ctrl-C again to quit at once.");
        }
        link.Wakeup().Wait(50);
    }
    env.allowHardExit(false);
    link.Stop();
    // The control thread has ended; the callback's references end with this function.
    link.Commands().OnRunFailed({});
    return {upload, lastReason};
}

// Flash, step 5: the result line on success, else how far the upload got and what the
// ECU is left with. Returns the exit code.
int ReportUpload(TCliEnvironment& env, TTerminalProgress& view, const TUploadEnd& end, int used) {
    const TECUFlashCmd& upload = *end.upload;
    const TFlashOutcome outcome = upload.Outcome();
    if (outcome == TFlashOutcome::Completed) {
        view.Complete();
        env.out << WroteText(used, upload.LastRunTime()) << "\n";
        env.out.flush();
        return kExitOk;
    }
    view.Finish();
    const int runs = upload.Runs();
    const std::string firmware =
        upload.EraseSent()
            ? " The ECU now has no working firmware; its boot loader still answers, so flash "
              "can be run again."
            : " The ECU's firmware was not changed.";
    if (outcome == TFlashOutcome::Abandoned) {
        env.console.Line(runs == 0 ? std::string("brindle-cli: interrupted; nothing was written.")
                                   : "brindle-cli: upload stopped by Ctrl-C after " +
                                         std::to_string(runs) + (runs == 1 ? " run." : " runs.") +
                                         firmware);
        return kExitInterrupted;
    }
    env.console.Line("brindle-cli: upload failed after " + std::to_string(runs) +
                     (runs == 1 ? " attempt: " : " attempts: ") + end.lastReason + firmware);
    return kExitFailed;
}

int RunFlash(const TCliOptions& o, TCliEnvironment& env) {
    auto image = std::make_shared<TIHexFile>();
    if (const int refused = CheckFlashImage(o, env, *image); refused != kExitOk) {
        return refused;
    }
    const int used = image->usedLength;
    TCliLink link(o, env);
    if (const int failed = ConnectForFlash(link, env.console); failed != kExitOk) {
        return failed;
    }
    if (const int declined = ConfirmFlash(o, env, link, used); declined != kExitOk) {
        return declined;
    }
    TTerminalProgress view(env.console, used);
    const TUploadEnd end = RunUpload(o, env, link, std::move(image), view);
    return ReportUpload(env, view, end, used);
}

int RunHex(const TCliOptions& o, TCliEnvironment& env) {
    TIHexFile image;
    if (!LoadImage(image, o.hexPath, env.console)) {
        return kExitBadImage;
    }
    env.out << HexSummary(image.usedLength) << "\n";
    env.out.flush();
    if (o.binPath.empty()) {
        return kExitOk;
    }
    std::ofstream bin(o.binPath, std::ios::out | std::ios::binary | std::ios::trunc);
    if (bin) {
        bin.write(reinterpret_cast<const char*>(image.data.data()),
                  static_cast<std::streamsize>(image.data.size()));
        bin.close();
    }
    if (!bin) {
        env.console.Line("brindle-cli: cannot write " + o.binPath + ": " + std::strerror(errno));
        return kExitFailed;
    }
    env.out << "wrote " << image.data.size() << " bytes to " << o.binPath << "\n";
    env.out.flush();
    return kExitOk;
}

}  // namespace

TAnswer ReadAnswer(int fd, const std::function<bool()>& interrupted) {
    std::string line;
    for (;;) {
        if (interrupted && interrupted()) {
            return TAnswer::Interrupted;
        }
        const TInputWait wait = WaitForInput(fd, 100);
        if (wait == TInputWait::Interrupted) {
            return TAnswer::Interrupted;
        }
        if (wait == TInputWait::Timeout) {
            continue;
        }
        char c = 0;
        const int n = ReadInputByte(fd, c);
        if (n < 0) {
            return TAnswer::Interrupted;
        }
        if (n == 0 || c == '\n') {
            break;
        }
        line += c;
    }
    // Blanks and a carriage return around the answer do not matter, nor does its case.
    const size_t first = line.find_first_not_of(" \t\r");
    const size_t last = line.find_last_not_of(" \t\r");
    std::string word = first == std::string::npos ? "" : line.substr(first, last - first + 1);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return word == "y" || word == "yes" ? TAnswer::Yes : TAnswer::No;
}

int CliMain(const std::vector<std::string>& args, TCliEnvironment& env) {
    const TParseResult parsed = ParseCommandLine(args);
    const TCliOptions& o = parsed.options;
    if (o.help) {
        env.out << HelpText(o.command);
        env.out.flush();
        return kExitOk;
    }
    if (o.version) {
        env.out << VersionText();
        env.out.flush();
        return kExitOk;
    }
    if (!parsed.Ok()) {
        env.console.Line("brindle-cli: " + parsed.error);
        env.console.Line("Try 'brindle-cli --help'.");
        return kExitUsage;
    }
    switch (o.command) {
        case TCliCommand::Identify:
            return RunIdentify(o, env);
        case TCliCommand::Monitor:
            return RunMonitor(o, env);
        case TCliCommand::Flash:
            return RunFlash(o, env);
        case TCliCommand::Hex:
            return RunHex(o, env);
        case TCliCommand::Ports:
            return RunPorts(o, env);
        case TCliCommand::None:
            break;
    }
    return kExitUsage;
}
