// brindle_bench: how fast Brindle does its jobs against brindle-ecusim, compared with what
// the serial line physically allows. Writes a Markdown table (bench/RESULTS.md via make bench).
//
// Every measurement runs the program's own code (the control thread, the session, the
// upload, brindle-cli) against the virtual ECU on a pseudo-terminal with its wire pacing and
// its default modelled times, several times; the median is reported.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ecu/clock.h"
#include "ecu/ecu.h"
#include "ecu/ecucontrol.h"
#include "ecu/packet.h"
#include "ecu/serialcomm.h"
#include "ecu/userinterface.h"
#include "firmware/flashcmd.h"
#include "firmware/ihexfile.h"
#include "firmware/upload.h"
#include "platform/filesync.h"
#include "platform/posixserial.h"
#include "platform/timerslack.h"
#include "record/recordwriter.h"
#include "sim/virtualecu.h"
#include "tests/support/childprocess.h"
#include "tests/support/memorysettings.h"
#include "tests/support/waitfor.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The full path of a program on PATH; empty when there is none.
std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void Die(const std::string& why) {
    std::cerr << "brindle_bench: " << why << "\n";
    std::exit(1);
}

// brindle-ecusim on a pseudo-terminal, and the program's control thread on it.
struct TRig {
    TRig(int commBps, std::vector<std::string> simArgs = {}) {
        std::vector<std::string> args = {ProjectBinary("brindle-ecusim")};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        if (!sim.Start(args) || !sim.ReadLine(path, 5000)) {
            Die("brindle-ecusim did not start");
        }
        map.SetRunOverride(path);
        lib = std::make_unique<TPosixSerialLibrary>(map);
        store.values = {{"comPort", 0},
                        {"initBaud", 5},
                        {"commBaud", BpsToBaudCode(commBps)},
                        {"loaderBaud", 6}};
    }
    ~TRig() {
        control.reset();
        sim.WriteLine("quit");
        if (sim.Wait(5000) < 0) {
            sim.Signal(SIGKILL);
        }
    }
    void Start() {
        control =
            std::make_unique<TECUControl>(TECUControlLinks{*lib, store, TSteadyClock::Instance()});
    }
    uint8_t State() { return control->session->linkState.load(); }
    // Waits until the session is connected and records flow ("Connected" comes before the
    // table read-out, about 0.8 s at 9600); returns the count of records so far.
    uint64_t WaitForRecords(const std::string& what) {
        uint64_t records = 0;
        if (!WaitFor(
                [&] {
                    control->session->SensorsSnapshot(&records);
                    return State() == kLinkConnected && records > 0;
                },
                20000)) {
            Die("no records for " + what);
        }
        return records;
    }
    // Packets the virtual ECU has received so far.
    int Packets() {
        sim.WriteLine("status");
        const std::string line = sim.WaitForLine("status", 5000);
        const size_t at = line.find("packets=");
        return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 8);
    }
    void Command(const std::string& line) {
        sim.WriteLine(line);
        if (sim.WaitForLine("ok", 5000).empty()) {
            Die("brindle-ecusim did not take " + line);
        }
    }

    TChildProcess sim;
    std::string path;
    TPortMap map;
    std::unique_ptr<TPosixSerialLibrary> lib;
    TMemorySettingsStore store;
    std::unique_ptr<TECUControl> control;
};

struct TRow {
    std::string what;
    std::string measured;
    std::string floor;
    std::string ratio;
    std::string goal;
};

template <typename... Args>
std::string Fmt(const char* format, Args... args) {
    char buf[96];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

// ---------------------------------------------------------------- 1. upload

std::shared_ptr<TIHexFile> FullImage() {
    auto image = std::make_shared<TIHexFile>();
    std::mt19937 random(7);
    for (uint8_t& b : image->data) {
        b = static_cast<uint8_t>(random());
    }
    image->data.back() = 0x00;
    image->usedLength = kFirmwareImageBytes;
    return image;
}

// The floor with the virtual ECU's modelled times.
double UploadFloorSeconds(int usedLength, int bps) {
    const TEcuSimConfig ecu;
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    return ::UploadFloorSeconds(
        usedLength, bps,
        {duration_cast<microseconds>(ecu.erase), duration_cast<microseconds>(ecu.page),
         duration_cast<microseconds>(ecu.turnaround)});
}

TRow BenchUpload(int bps, int runs) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        TRig rig(bps);
        rig.Start();
        if (!WaitFor([&] { return rig.State() == kLinkConnected; }, 20000)) {
            Die("no connection for the upload");
        }
        TNullProgressView progress;
        auto image = FullImage();
        const auto t0 = Clock::now();
        auto command = PostFlashCommand(*rig.control, image, &progress);
        if (!WaitFor([&] { return command->Outcome() != TFlashOutcome::Pending; }, 300000) ||
            command->Outcome() != TFlashOutcome::Completed || command->Runs() != 1) {
            Die("the upload did not complete in one run");
        }
        times.push_back(Seconds(Clock::now() - t0));
        std::cerr << "  upload at " << bps << ": " << times.back() << " s\n";
    }
    const double measured = Median(times);
    const double floor = UploadFloorSeconds(kFirmwareImageBytes, bps);
    return {"128 KiB upload at " + std::to_string(bps) + " bit/s", Fmt("%.2f s", measured),
            Fmt("%.2f s", floor), Fmt("%.3f", measured / floor), "<= 1.03"};
}

// ---------------------------------------------------------------- 2. polling

// Records per second the line and the protocol allow: per record, the 9-byte request and the
// 33-byte reply on the wire, the ECU's turnaround and the control thread's 10 ms pause.
double PollingCeiling(int bps) {
    const TEcuSimConfig ecu;
    const double request = kKaloHeaderBytes + kKaloCrcBytes + 3;
    const double reply = kKaloHeaderBytes + kKaloCrcBytes + kSensorsReplyBytes;
    using Seconds = std::chrono::duration<double>;
    const double perRecord =
        (request + reply) * 10 / bps + Seconds(ecu.turnaround + kPassPause).count();
    return 1 / perRecord;
}

TRow BenchPolling(int bps, int runs, double seconds) {
    std::vector<double> rates;
    for (int r = 0; r < runs; ++r) {
        TRig rig(bps);
        rig.Start();
        rig.WaitForRecords("polling");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        uint64_t n0 = 0, n1 = 0;
        const int p0 = rig.Packets();
        rig.control->session->SensorsSnapshot(&n0);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        rig.control->session->SensorsSnapshot(&n1);
        rates.push_back((n1 - n0) / Seconds(Clock::now() - t0));
        std::cerr << "  polling at " << bps << ": " << rates.back() << " records/s ("
                  << rig.Packets() - p0 << " requests answered, " << n1 - n0 << " records)\n";
    }
    const double ceiling = PollingCeiling(bps);
    const double measured = Median(rates);
    return {"sensor polling at " + std::to_string(bps) + " bit/s", Fmt("%.1f records/s", measured),
            Fmt("%.1f records/s", ceiling), Fmt("%.3f", measured / ceiling), ">= 0.97"};
}

// ---------------------------------------------------------------- 3. connect

std::vector<TRow> BenchConnect(int runs) {
    std::vector<double> connect, lost, back;
    for (int r = 0; r < runs; ++r) {
        TRig rig(9600);
        const auto t0 = Clock::now();
        rig.Start();
        if (!WaitFor([&] { return rig.State() == kLinkConnected; }, 20000)) {
            Die("no connection");
        }
        connect.push_back(Seconds(Clock::now() - t0));
        // Unplug while polling (the table read-out that follows "Connected" is over).
        uint64_t records = 0;
        if (!WaitFor(
                [&] {
                    rig.control->session->SensorsSnapshot(&records);
                    return records > 2;
                },
                20000)) {
            Die("no records before the unplug");
        }
        rig.Command("unplug");
        const auto t1 = Clock::now();
        if (!WaitFor([&] { return rig.State() == kLinkConnecting; }, 10000)) {
            Die("the unplug went unnoticed");
        }
        lost.push_back(Seconds(Clock::now() - t1));
        rig.Command("plug");
        const auto t2 = Clock::now();
        if (!WaitFor([&] { return rig.State() == kLinkConnected; }, 30000)) {
            Die("no reconnection");
        }
        back.push_back(Seconds(Clock::now() - t2));
        std::cerr << "  connect " << connect.back() << " s, lost " << lost.back() << " s, back "
                  << back.back() << " s\n";
    }
    // Exit in the middle of a connect attempt that nothing answers (about 6 s without it).
    std::vector<double> exits;
    for (int r = 0; r < runs; ++r) {
        TRig rig(9600, {"--unplugged"});
        rig.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(700 + 300 * r));
        const auto t0 = Clock::now();
        rig.control->Stop();
        exits.push_back(Seconds(Clock::now() - t0));
        std::cerr << "  exit while connecting " << exits.back() * 1e3 << " ms\n";
    }
    // Silence is seen only when a sensor wait ends: the second pause and wait after the last
    // reply pass the keep-alive's mark, then the keep-alive waits once more.
    const auto wait = TSerialComm::kDefaultTimeout;
    const double lostFloor = std::chrono::duration<double>(2 * (kPassPause + wait) + wait).count();
    static_assert(kKeepAlive < 2 * (kPassPause + TSerialComm::kDefaultTimeout));
    const int waitMs = static_cast<int>(wait.count());
    const int kPassPauseMs = static_cast<int>(kPassPause.count());
    return {
        {"exit while connecting with no ECU", Fmt("%.1f ms", Median(exits) * 1e3), "100 ms (goal)",
         Fmt("%.3f", Median(exits) / 0.1), "<= 1"},
        {"start to \"Connected\" (ECU at initBaud 9600)", Fmt("%.3f s", Median(connect)), "-", "-",
         "-"},
        {"unplug to \"Connecting\"", Fmt("%.3f s", Median(lost)),
         Fmt("%.2f s (2 x (%d + %d) ms + %d ms)", lostFloor, kPassPauseMs, waitMs, waitMs),
         Fmt("%.3f", Median(lost) / lostFloor), "about 1.5 s"},
        {"plug back to \"Connected\"", Fmt("%.3f s", Median(back)), "-", "-", "-"},
    };
}

// ---------------------------------------------------------------- recovery and rate search

// One connect pass of the session on the pty, from the state connecting, until it returns.
struct TPass {
    explicit TPass(TRig& rig) : serial(*rig.lib, rig.store, TSteadyClock::Instance()) {
        if (!serial.Open()) {
            Die("cannot open the virtual ECU's terminal");
        }
        session = std::make_unique<TECU>(&serial);
        session->linkState = kLinkConnecting;
    }
    // Runs `step`; returns its seconds.
    double Time(const std::function<void()>& step) {
        const auto t0 = Clock::now();
        step();
        return Seconds(Clock::now() - t0);
    }
    TSerialComm serial;
    std::unique_ptr<TECU> session;
};

std::vector<TRow> BenchRecovery(int runs) {
    std::vector<double> threeRates, everyRate, at115200;
    for (int r = 0; r < runs; ++r) {
        TRig rig(9600, {"--unplugged"});
        TPass pass(rig);
        // What a pass with nothing on the line cost before: the greetings at the settings' rates.
        threeRates.push_back(pass.Time([&] {
            pass.session->Sync();
            pass.session->ProbeLoader();
            pass.serial.SetBaud(pass.serial.initBaud);
        }));
        everyRate.push_back(pass.Time([&] { pass.session->Step(); }));
        std::cerr << "  empty pass: " << threeRates.back() << " s before, " << everyRate.back()
                  << " s now\n";
    }
    for (int r = 0; r < runs; ++r) {
        TRig rig(9600, {"--baud", "115200"});
        TPass pass(rig);
        at115200.push_back(pass.Time([&] { pass.session->Step(); }));
        if (pass.session->linkState != kLinkConnected) {
            Die("the ECU left at 115200 was not found");
        }
        std::cerr << "  ECU at 115200 found and connected in " << at115200.back() << " s\n";
    }
    std::vector<TRow> rows = {
        {"connect pass with no ECU: the settings' three rates (as before)",
         Fmt("%.2f s", Median(threeRates)), "-", "-", "-"},
        {"connect pass with no ECU: every rate and the loader recovery",
         Fmt("%.2f s", Median(everyRate)), "-", "-", "-"},
        {"ECU left at 115200 found from 9600 and connected (one pass)",
         Fmt("%.2f s", Median(at115200)), "-", "-", "-"},
    };
    // A boot loader left inside a write command by a cut line, found by a fresh session.
    for (int bps : {9600, 115200}) {
        std::vector<double> found;
        for (int r = 0; r < runs; ++r) {
            TRig rig(9600, {"--start-in-loader", "--loader-baud", std::to_string(bps)});
            TPass pass(rig);
            std::vector<uint8_t> cutShort = {kLoaderWrite, kLoaderWriteMemory, kLoaderWriteFlags};
            cutShort.resize(100, 0x5A);
            pass.serial.SetBaud(BpsToBaudCode(bps));
            pass.serial.SendBlock(cutShort.data(), static_cast<int>(cutShort.size()));
            pass.serial.SetBaud(pass.serial.initBaud);
            found.push_back(pass.Time([&] { pass.session->Step(); }));
            if (pass.session->linkState != kLinkLoader) {
                Die("the stuck boot loader was not found");
            }
            std::cerr << "  stuck loader at " << bps << " found in " << found.back() << " s\n";
        }
        rows.push_back({Fmt("boot loader left inside a write at %d bit/s, found (one pass)", bps),
                        Fmt("%.2f s", Median(found)), "-", "-", "-"});
    }
    return rows;
}

// ---------------------------------------------------------------- 4. CPU

std::vector<TRow> BenchCpu(double seconds) {
    std::vector<TRow> rows;
    for (bool connected : {true, false}) {
        TRig rig(115200,
                 connected ? std::vector<std::string>{} : std::vector<std::string>{"--unplugged"});
        rig.Start();
        if (connected && !WaitFor([&] { return rig.State() == kLinkConnected; }, 20000)) {
            Die("no connection for the CPU measurement");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double cpu0 = ProcessCpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double share = (ProcessCpuSeconds() - cpu0) / Seconds(Clock::now() - t0);
        std::cerr << "  cpu " << (connected ? "polling" : "connecting") << ": " << share * 100
                  << " %\n";
        rows.push_back({connected ? "CPU while connected and polling (115200)"
                                  : "CPU while connecting with no ECU",
                        Fmt("%.2f %% of a core", share * 100), "2 % (goal)",
                        Fmt("%.3f", share / 0.02), "<= 1"});
    }
    return rows;
}

// ---------------------------------------------------------------- 5. HEX loading

double TimeCommand(const std::vector<std::string>& args, int runs) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        TChildProcess p;
        const auto t0 = Clock::now();
        if (!p.Start(args) || p.Wait(60000) != 0) {
            Die("command failed: " + args[0]);
        }
        times.push_back(Seconds(Clock::now() - t0));
    }
    return Median(times);
}

std::string SrecCat() {
    const std::string srecCat = FindOnPath("srec_cat");
    if (srecCat.empty()) {
        Die("srec_cat is missing (scripts/bootstrap installs it)");
    }
    return srecCat;
}

std::string TempFolder() {
    char dirTemplate[] = "/tmp/brindle-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        Die(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    }
    return dirTemplate;
}

// The full image as dir/image.bin and, written by srec_cat, dir/image.hex.
void WriteImageFiles(const std::string& dir) {
    const std::string bin = dir + "/image.bin", hex = dir + "/image.hex";
    {
        std::ofstream out(bin, std::ios::binary);
        const auto image = FullImage();
        out.write(reinterpret_cast<const char*>(image->data.data()), kFirmwareImageBytes);
    }
    if (std::system(
            (SrecCat() + " " + bin + " -binary -o " + hex + " -intel -address-length=3 -obs=16")
                .c_str()) != 0) {
        Die("srec_cat could not make the HEX file");
    }
}

std::vector<TRow> BenchHex(int runs) {
    const std::string srecCat = SrecCat();
    const std::string dir = TempFolder();
    const std::string hex = dir + "/image.hex";
    WriteImageFiles(dir);
    const double cli =
        TimeCommand({ProjectBinary("brindle-cli"), "hex", hex, "--bin", dir + "/cli.bin"}, runs);
    const double srec =
        TimeCommand({srecCat, hex, "-intel", "-o", dir + "/srec.bin", "-binary"}, runs);
    std::system(("rm -rf " + dir).c_str());
    return {{"HEX load of 128 KiB: brindle-cli hex (whole process)", Fmt("%.1f ms", cli * 1e3),
             Fmt("%.1f ms (srec_cat to binary)", srec * 1e3), Fmt("%.3f", cli / srec), "-"}};
}

// ---------------------------------------------------------------- 6. recording and chart

// A recording of the program's own control thread against the virtual ECU at 115200 bit/s,
// drained every 50 ms as the desktop program does: a row for every record the session took.
TRow BenchRecording(double seconds) {
    TRig rig(115200);
    rig.Start();
    uint64_t seen = rig.WaitForRecords("the recording");
    const std::string dir = TempFolder();
    TRecordWriter writer;
    if (!writer.Create(dir + "/drive.csv")) {
        Die("cannot create the recording: " + writer.Error());
    }
    writer.SetSync(SyncFile);
    const uint64_t first = seen;
    writer.Start(TRecordClock::Now(TSteadyClock::Instance().Now()));
    uint64_t lost = 0;
    std::vector<TECU::TTimedRecord> batch;
    const auto drain = [&] {
        batch.clear();
        lost += rig.control->session->RecordsSince(seen, batch);
        writer.Write(batch);
    };
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        drain();
    }
    rig.control->Stop();
    drain();
    writer.Close();
    std::system(("rm -rf " + dir).c_str());
    uint64_t updates = 0;
    rig.control->session->SensorsSnapshot(&updates);
    const uint64_t records = updates - first;
    std::cerr << "  recording: " << writer.Rows() << " rows, " << records << " records, " << lost
              << " lost" << (writer.Failed() ? ", " + writer.Error() : "") << "\n";
    return {Fmt("recording at 115200 bit/s, %.0f s: rows / records accepted", seconds),
            Fmt("%llu / %llu", static_cast<unsigned long long>(writer.Rows()),
                static_cast<unsigned long long>(records)),
            "-", Fmt("%.3f", records ? double(writer.Rows()) / records : 0.0), "= 1 (none lost)"};
}

// brindle_chart_bench under a virtual display; its standard output.
std::string RunChartBench(const std::vector<std::string>& args) {
    const std::string xvfb = FindOnPath("xvfb-run");
    if (xvfb.empty()) {
        Die("xvfb-run is missing (scripts/bootstrap installs it)");
    }
    std::vector<std::string> command = {xvfb, "-a", "-s", "-screen 0 1280x900x24",
                                        ProjectBinary("brindle_chart_bench")};
    command.insert(command.end(), args.begin(), args.end());
    TChildProcess p;
    if (!p.Start(command) || p.Wait(300000) != 0) {
        Die("brindle_chart_bench failed: " + p.ErrorOutput());
    }
    return p.Output();
}

std::vector<TRow> BenchChart(double seconds, int runs) {
    std::vector<double> shares, redraws;
    int width = 0;  // of the plot, pixels
    for (int r = 0; r < runs; ++r) {
        std::istringstream out(RunChartBench({"live", Fmt("%.0f", seconds)}));
        double share = 0;
        double perSecond = 0;
        out >> share >> perSecond >> width;
        shares.push_back(share);
        redraws.push_back(perSecond);
        std::cerr << "  chart: " << share << " % of a core, " << perSecond << " redraws/s\n";
    }
    // An hour at 115200 bit/s, as the recording writes it.
    const std::string dir = TempFolder();
    const std::string file = dir + "/hour.csv";
    {
        TRecordWriter writer;
        if (!writer.Create(file)) {
            Die("cannot write " + file);
        }
        writer.Start(TRecordClock::Now(std::chrono::microseconds(0)));
        std::vector<TECU::TTimedRecord> batch;
        std::mt19937 random(3);
        for (int i = 0; i < 70 * 3600; ++i) {
            SensorRecord record;
            for (uint8_t& b : record.bytes) {
                b = static_cast<uint8_t>(random());
            }
            batch.push_back({std::chrono::microseconds(int64_t{i} * 1'000'000 / 70), record});
        }
        writer.Write(batch);
    }
    std::vector<double> opens, reads;
    std::string rows;
    for (int r = 0; r < runs; ++r) {
        std::istringstream out(RunChartBench({"open", file}));
        double total = 0, read = 0;
        out >> total >> read >> rows;
        opens.push_back(total);
        reads.push_back(read);
        std::cerr << "  open: " << total << " s (read " << read << " s), " << rows << " rows\n";
    }
    std::system(("rm -rf " + dir).c_str());
    return {
        {"chart, live: 13 values, 10-min window, 70 records/s (Xvfb)",
         Fmt("%.2f %% of a core", Median(shares)),
         Fmt("%.1f redraws/s over %d px", Median(redraws), width), Fmt("%.3f", Median(shares) / 5),
         "<= 5 %"},
        {"open a one-hour recording (" + rows + " rows) into the chart",
         Fmt("%.2f s", Median(opens)), Fmt("%.2f s of it reading the file", Median(reads)),
         Fmt("%.3f", Median(opens)), "< 1 s"},
    };
}

// ---------------------------------------------------------------- 7. Windows, under Wine

// brindle-cli.exe under Wine on COM3, which a throwaway Wine prefix maps to the terminal of
// brindle-ecusim (scripts/wine-prefix, as make test-windows sets it up).
class TWineRig {
public:
    explicit TWineRig(const std::string& windowsBuild)
        : cli(std::filesystem::absolute(windowsBuild + "/bin/brindle-cli.exe").string()),
          dir(TempFolder()) {
        if (::access(cli.c_str(), R_OK) != 0) {
            Die(cli + " is missing (make windows builds it)");
        }
        if (!sim.Start({ProjectBinary("brindle-ecusim"), "--link", dir + "/ecu.tty"}) ||
            sim.WaitForLine("/dev/", 5000).empty()) {
            Die("brindle-ecusim did not start");
        }
        ::setenv("WINEPREFIX", (dir + "/prefix").c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        const std::string prepare = std::string(BRINDLE_SOURCE_DIR) + "/scripts/wine-prefix " +
                                    dir + "/prefix COM3=" + dir + "/ecu.tty";
        if (std::system(prepare.c_str()) != 0 ||
            std::system("wineserver --persistent=5 >/dev/null 2>&1") != 0) {
            Die("the Wine prefix could not be made");
        }
        WriteImageFiles(dir);
    }
    ~TWineRig() {
        std::system("wineserver --kill >/dev/null 2>&1");
        sim.WriteLine("quit");
        if (sim.Wait(5000) < 0) {
            sim.Signal(SIGKILL);
        }
        std::system(("rm -rf " + dir).c_str());
    }
    // brindle-cli.exe with `args` at 115200 on COM3, standard error merged into its output.
    bool Start(TChildProcess& p, const std::string& args) {
        return p.Start({"/bin/sh", "-c",
                        "cd " + dir + " && exec wine " + cli + " --com 3 --baud 115200 --no-log " +
                            args + " 2>&1 </dev/null"});
    }

private:
    const std::string cli;
    const std::string dir;
    TChildProcess sim;
};

std::vector<TRow> BenchWine(const std::string& windowsBuild, int runs, int records) {
    TWineRig rig(windowsBuild);
    // The upload: from the line brindle-cli prints as it queues it ("Writing ...") to its
    // report of success ("Wrote ..."), the same span as the upload row above.
    std::vector<double> uploads;
    for (int r = 0; r < runs; ++r) {
        TChildProcess p;
        if (!rig.Start(p, "flash image.hex --yes")) {
            Die("brindle-cli.exe did not start");
        }
        if (p.WaitForLine("Writing ", 60000).empty()) {
            Die("brindle-cli.exe did not start the upload:\n" + p.Output());
        }
        const auto t0 = Clock::now();
        if (p.WaitForLine("Wrote ", 300000).empty() || p.Wait(30000) != 0) {
            Die("the upload under Wine failed:\n" + p.Output());
        }
        uploads.push_back(Seconds(Clock::now() - t0));
        std::cerr << "  upload under Wine: " << uploads.back() << " s\n";
    }
    // Polling: the rate over the monitor's own time stamps, after its first 50 rows.
    std::vector<double> rates;
    for (int r = 0; r < runs; ++r) {
        TChildProcess p;
        if (!rig.Start(p, "monitor --count " + std::to_string(records))) {
            Die("brindle-cli.exe did not start");
        }
        std::vector<long> times;
        std::string line;
        while (p.ReadLine(line, 20000)) {
            if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
                // "time,time_ms,...": the milliseconds since the link was up.
                const size_t comma = line.find(',');
                times.push_back(comma == std::string::npos ? 0
                                                           : std::atol(line.c_str() + comma + 1));
            }
        }
        if (p.Wait(10000) != 0 || static_cast<int>(times.size()) != records) {
            Die("monitor under Wine failed:\n" + p.Output());
        }
        const int first = 50;
        rates.push_back((records - 1 - first) * 1000.0 / (times.back() - times[first]));
        std::cerr << "  polling under Wine: " << rates.back() << " records/s\n";
    }
    const double uploadFloor = UploadFloorSeconds(kFirmwareImageBytes, 115200);
    const double pollCeiling = PollingCeiling(115200);
    return {{"128 KiB upload at 115200 bit/s, brindle-cli.exe under Wine",
             Fmt("%.2f s", Median(uploads)), Fmt("%.2f s", uploadFloor),
             Fmt("%.3f", Median(uploads) / uploadFloor), "<= 1.05"},
            {"sensor polling at 115200 bit/s, brindle-cli.exe under Wine",
             Fmt("%.1f records/s", Median(rates)), Fmt("%.1f records/s", pollCeiling),
             Fmt("%.3f", Median(rates) / pollCeiling), ">= 0.95"}};
}

}  // namespace

int main(int argc, char** argv) {
    TightenTimerSlack();  // as the programs do
    std::string out;
    std::string only;
    std::string windowsBuild;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--out") && i + 1 < argc) {
            out = argv[++i];
        } else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) {
            only = argv[++i];
        } else if (!std::strcmp(argv[i], "--windows") && i + 1 < argc) {
            windowsBuild = argv[++i];
        } else if (!std::strcmp(argv[i], "--quick")) {
            quick = true;
        } else {
            std::cerr << "usage: brindle_bench [--out FILE] [--quick] [--windows BUILD] "
                         "[--only upload|polling|connect|recovery|cpu|hex|recording|chart|wine]\n";
            return 2;
        }
    }
    auto want = [&](const char* name) { return only.empty() || only == name; };
    const int runs = quick ? 1 : 3;
    std::vector<TRow> rows;
    if (want("upload")) {
        rows.push_back(BenchUpload(115200, runs));
        rows.push_back(BenchUpload(38400, runs));
    }
    if (want("polling")) {
        rows.push_back(BenchPolling(115200, runs, quick ? 3 : 10));
        rows.push_back(BenchPolling(9600, runs, quick ? 3 : 10));
    }
    if (want("connect")) {
        for (TRow& r : BenchConnect(runs)) {
            rows.push_back(r);
        }
    }
    if (want("recovery")) {
        for (TRow& r : BenchRecovery(runs)) {
            rows.push_back(r);
        }
    }
    if (want("cpu")) {
        for (TRow& r : BenchCpu(quick ? 3 : 10)) {
            rows.push_back(r);
        }
    }
    if (want("hex")) {
        for (TRow& r : BenchHex(quick ? 3 : 11)) {
            rows.push_back(r);
        }
    }
    if (want("recording")) {
        rows.push_back(BenchRecording(quick ? 5 : 60));
    }
    if (want("chart")) {
        for (TRow& r : BenchChart(quick ? 5 : 20, runs)) {
            rows.push_back(r);
        }
    }
    // The Windows build, when there is one (make bench passes it).
    if (want("wine") && !windowsBuild.empty()) {
        for (TRow& r : BenchWine(windowsBuild, runs, quick ? 250 : 700)) {
            rows.push_back(r);
        }
    }

    std::ostringstream md;
    md << "# Benchmark results\n\n"
       << "Made by `make bench` (bench/bench.cpp): the program's own code against brindle-ecusim\n"
       << "on a pseudo-terminal, with wire pacing and the virtual ECU's default modelled times\n"
       << "(erase 1.5 s, page 4.5 ms, turnaround 0.5 ms). Median of " << runs
       << " runs each. The floor is what the\nline and the protocol allow; the ratio is measured "
          "over floor.\n\n"
       << "| Measurement | Measured | Floor | Ratio | Goal |\n|---|---|---|---|---|\n";
    for (const TRow& r : rows) {
        md << "| " << r.what << " | " << r.measured << " | " << r.floor << " | " << r.ratio << " | "
           << r.goal << " |\n";
    }
    md << "\nMachine: " << std::thread::hardware_concurrency() << " cores.\n";
    // Notes written by hand below the table stay.
    if (!out.empty()) {
        std::stringstream old;
        old << std::ifstream(out).rdbuf();
        const size_t notes = old.str().find("\n## Notes");
        if (notes != std::string::npos) {
            md << old.str().substr(notes);
        }
    }
    std::cout << md.str();
    if (!out.empty()) {
        std::ofstream(out) << md.str();
    }
    return 0;
}
