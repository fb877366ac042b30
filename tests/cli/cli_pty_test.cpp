// brindle-cli as a user runs it, against brindle-ecusim on a pseudo-terminal, in real time.
// Every run gets its own folder as working directory and its own settings file, so no test
// touches the user's settings or leaves a packet log in the source tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/childprocess.h"

extern char** environ;

namespace {

int64_t MonoMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Split(const std::string& line, char sep) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, sep)) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == sep) {
        fields.emplace_back();
    }
    return fields;
}

// "Wrote 131072 bytes (512 blocks) in S.D s\n": the whole output, seconds with one decimal.
bool IsWroteLine(const std::string& out) {
    const std::string head = "Wrote 131072 bytes (512 blocks) in ";
    if (out.rfind(head, 0) != 0)
        return false;
    const std::string rest = out.substr(head.size());
    const size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos || rest.size() != dot + 5)
        return false;
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    return std::all_of(rest.begin(), rest.begin() + dot, isDigit) && isDigit(rest[dot + 1]) &&
           rest.substr(dot + 2) == " s\n";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Firmware test data without any 0xFF, so the used length is the data's length.
std::vector<uint8_t> TestImage(size_t bytes, int seed) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<uint8_t>(((i * 7) ^ (i >> 9) ^ static_cast<size_t>(seed)) % 0xFF);
    }
    return data;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> data) {
    data.resize(131072, 0xFF);
    return data;
}

struct TCliRun {
    int exit = -1;
    std::string out;
    std::string err;
    int64_t ms = 0;
};

class CliPty : public testing::Test {
protected:
    void SetUp() override {
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir = testing::TempDir() + "/brindle-cli-pty-" + std::to_string(getpid()) + "-" + name;
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        ini = dir + "/settings.ini";
        WriteSettings("");
    }

    void TearDown() override {
        if (simStarted) {
            sim.WriteLine("quit");
            EXPECT_EQ(sim.Wait(5000), 0) << "brindle-ecusim did not end";
        }
        std::filesystem::remove_all(dir);
    }

    // The program's four settings at their defaults, plus any further INI text.
    void WriteSettings(const std::string& extra) {
        std::ofstream(ini) << "[General]\ncomPort=0\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n"
                           << extra;
    }

    // Starts brindle-ecusim; returns its terminal's path.
    std::string StartSim(const std::vector<std::string>& options) {
        std::vector<std::string> args = {ProjectBinary("brindle-ecusim")};
        args.insert(args.end(), options.begin(), options.end());
        EXPECT_TRUE(sim.Start(args));
        simStarted = true;
        std::string path;
        EXPECT_TRUE(sim.ReadLine(path, 5000)) << "no terminal from brindle-ecusim";
        return path;
    }

    std::string SimStatus() {
        sim.WriteLine("status");
        return sim.WaitForLine("status ", 5000);
    }

    // The command line that runs brindle-cli in the test's folder with the test's settings,
    // after the `runAs` words (another user, for instance).
    std::vector<std::string> CliCommand(const std::vector<std::string>& args,
                                        const std::vector<std::string>& runAs = {}) {
        std::vector<std::string> command = {
            "/bin/sh",
            "-c",
            "cd \"$1\" && BRINDLE_SETTINGS=\"$2\" && export BRINDLE_SETTINGS && shift 2 && "
            "exec \"$@\"",
            "sh",
            dir,
            ini};
        command.insert(command.end(), runAs.begin(), runAs.end());
        command.push_back(BRINDLE_CLI_BINARY);
        command.insert(command.end(), args.begin(), args.end());
        return command;
    }

    void StartCli(TChildProcess& cli, const std::vector<std::string>& args) {
        ASSERT_TRUE(cli.Start(CliCommand(args)));
    }

    TCliRun RunCli(const std::vector<std::string>& args, int timeoutMs = 60000,
                   const std::vector<std::string>& runAs = {}) {
        TCliRun run;
        TChildProcess cli;
        const int64_t start = MonoMs();
        if (!cli.Start(CliCommand(args, runAs))) {
            ADD_FAILURE() << "brindle-cli did not start";
            return run;
        }
        run.exit = cli.Wait(timeoutMs);
        run.ms = MonoMs() - start;
        run.out = cli.Output();
        run.err = cli.ErrorOutput();
        return run;
    }

    // Intel HEX made by an independent tool, as firmware files are made.
    std::string MakeHex(const std::string& name, const std::vector<uint8_t>& data) {
        const std::string bin = dir + "/" + name + ".bin";
        const std::string hex = dir + "/" + name + ".hex";
        WriteBytes(bin, data);
        TChildProcess srec;
        EXPECT_TRUE(srec.Start({"/bin/sh", "-c", "exec srec_cat \"$@\"", "sh", bin, "-binary", "-o",
                                hex, "-intel", "-address-length=3", "-obs=16"}));
        EXPECT_EQ(srec.Wait(30000), 0)
            << "srec_cat (package srecord) failed: " << srec.ErrorOutput();
        return hex;
    }

    std::string dir;
    std::string ini;
    TChildProcess sim;
    bool simStarted = false;
};

// ---------------------------------------------------------------- identify

struct IdentifyCase {
    const char* name;
    std::vector<std::string> simOptions;
    std::string out;
    int exit;
};

void PrintTo(const IdentifyCase& c, std::ostream* os) {
    *os << c.name;
}

class CliIdentify : public CliPty, public testing::WithParamInterface<IdentifyCase> {};

TEST_P(CliIdentify, PrintsTheStatusBarTextsOrLoader) {
    const IdentifyCase& c = GetParam();
    const std::string port = StartSim(c.simOptions);
    const TCliRun run = RunCli({"--port", port, "--no-log", "identify"});
    EXPECT_EQ(run.exit, c.exit) << run.err;
    EXPECT_EQ(run.out, c.out) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir + "/brindle.log")) << "--no-log wrote a log";
}

const IdentifyCase kIdentifyCases[] = {
    {"Branded", {}, "Firmware Revision: 1.4.12\nBoard: 1.2 SN: 258\n", 0},
    {"OtherVersionAndBoard",
     {"--version", "2.0.7", "--board-rev", "10", "--serial", "4660"},
     "Firmware Revision: 2.0.7\nBoard: 1 SN: 4660\n",
     0},
    {"Unbranded", {"--unbranded"}, "Firmware Revision: 1.4.12\nBoard is unbranded\n", 0},
    {"BootLoaderOnly", {"--start-in-loader"}, "Loader\n", 3},
};

INSTANTIATE_TEST_SUITE_P(CliPty, CliIdentify, testing::ValuesIn(kIdentifyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliPty, PortNumberAndRateForOneRunLeaveTheSettingsAsTheyWere) {
    const std::string port = StartSim({});
    WriteSettings("\n[ports]\nCOM3=" + port + "\n");
    const std::string before = ReadFile(ini);

    const TCliRun run = RunCli({"--com", "3", "--baud", "115200", "identify"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "Firmware Revision: 1.4.12\nBoard: 1.2 SN: 258\n");
    // The session switched the line to the rate asked for.
    EXPECT_TRUE(Contains(SimStatus(), "baud=115200"));
    EXPECT_EQ(ReadFile(ini), before) << "the settings were written";
    // The packet log is brindle.log in the working folder, as in the program.
    const std::string log = ReadFile(dir + "/brindle.log");
    EXPECT_TRUE(Contains(log, "Outgoing packet typ(SET_BAUD)")) << log.substr(0, 400);
    EXPECT_TRUE(Contains(log, "Incoming packet typ(GET_VERSION)")) << log.substr(0, 400);
}

// ---------------------------------------------------------------- no ECU, no port

TEST_F(CliPty, NothingAnsweringEndsWith2WhenTheTimeoutRunsOut) {
    const std::string port = StartSim({"--unplugged"});
    const std::string hex = MakeHex("fw", TestImage(300, 1));
    const std::vector<std::vector<std::string>> commands = {
        {"identify"}, {"monitor", "--count", "1"}, {"flash", hex, "--yes"}};
    for (const auto& command : commands) {
        std::vector<std::string> args = {"--port", port, "--no-log", "--timeout", "2"};
        args.insert(args.end(), command.begin(), command.end());
        const TCliRun run = RunCli(args, 20000);
        EXPECT_EQ(run.exit, 2) << command[0] << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, "no ECU answered on " + port + " within 2 s")) << run.err;
        EXPECT_GE(run.ms, 1900) << command[0];
        EXPECT_LT(run.ms, 6000) << command[0] << " did not stop at its time-out";
    }
    EXPECT_TRUE(Contains(SimStatus(), "erases=0"));
}

TEST_F(CliPty, APortThatCannotBeOpenedEndsWith5AndTheReason) {
    const std::string notATerminal = dir + "/plain-file";
    std::ofstream(notATerminal) << "x";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {dir + "/ttyUSB9",
         {"Comm port is in use!", "No such file or directory", "plugged in", "--port"}},
        {notATerminal, {"Comm port is in use!", "not a serial device"}},
    };
    for (const auto& [port, texts] : cases) {
        const TCliRun run = RunCli({"--port", port, "--no-log", "identify"}, 20000);
        EXPECT_EQ(run.exit, 5) << run.err;
        EXPECT_EQ(run.out, "");
        for (const std::string& text : texts) {
            EXPECT_TRUE(Contains(run.err, text)) << text << " not in: " << run.err;
        }
        EXPECT_LT(run.ms, 5000);
    }
}

TEST_F(CliPty, APortWithoutPermissionPointsToTheDialoutGroup) {
    const std::string port = StartSim({});
    std::vector<std::string> runAs;
    if (geteuid() == 0) {
        // Root may open any device: run as nobody, to whom the root-owned terminal is closed.
        const char setpriv[] = "/usr/bin/setpriv";
        if (access(setpriv, X_OK) != 0) {
            GTEST_SKIP() << "root may open any device, and there is no setpriv to drop that";
        }
        runAs = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
        ASSERT_EQ(chmod(port.c_str(), 0600), 0);
        chmod(dir.c_str(), 0755);
        chmod(ini.c_str(), 0644);
    } else {
        ASSERT_EQ(chmod(port.c_str(), 0), 0);
    }
    const TCliRun run = RunCli({"--port", port, "--no-log", "identify"}, 20000, runAs);
    EXPECT_EQ(run.exit, 5) << run.err;
    EXPECT_TRUE(Contains(run.err, "Permission denied")) << run.err;
    EXPECT_TRUE(Contains(run.err, "dialout")) << run.err;
}

// ---------------------------------------------------------------- monitor

// The row the Engine Data window shows for bytes 3..26 of a READ_SENSORS reply, worked out
// here from the record's layout.
std::string ExpectedRow(const std::vector<int>& payload) {
    auto byte = [&](int offset) { return payload[3 + offset]; };
    auto word = [&](int offset) { return byte(offset) | (byte(offset + 1) << 8); };
    char volts[16];
    std::snprintf(volts, sizeof volts, "%.1f", byte(15) * 30.0 / 255.0);
    const std::vector<std::string> fields = {std::to_string(word(0)),
                                             std::to_string(word(2)),
                                             std::to_string(word(10)),
                                             std::to_string(word(6)),
                                             std::to_string(word(8)),
                                             std::to_string(word(4)),
                                             std::to_string(byte(13)),
                                             std::to_string(byte(14)),
                                             std::to_string(byte(12)),
                                             std::to_string(byte(16)) + ".0",
                                             volts,
                                             std::to_string(word(18)),
                                             std::to_string(word(20))};
    std::string row;
    for (const std::string& f : fields) {
        row += (row.empty() ? "" : ",") + f;
    }
    return row;
}

// The good READ_SENSORS replies in a packet log, as rows.
std::vector<std::string> LoggedSensorRows(const std::string& log) {
    std::vector<std::string> rows;
    for (const std::string& line : Lines(log)) {
        if (line.rfind("Incoming packet typ(READ_SENSORS)", 0) != 0 ||
            !Contains(line, "size(27)")) {
            continue;
        }
        const size_t crc = line.find("CRC(");
        const size_t data = line.find("Data(");
        if (crc == std::string::npos || data == std::string::npos) {
            ADD_FAILURE() << "unexpected log line: " << line;
            continue;
        }
        const std::vector<std::string> crcs =
            Split(line.substr(crc + 4, line.find(')', crc) - crc - 4), ',');
        if (crcs.size() != 2 || crcs[0] != crcs[1]) {
            continue;
        }
        std::vector<int> payload;
        for (const std::string& hex :
             Split(line.substr(data + 5, line.rfind(')') - data - 5), ',')) {
            payload.push_back(std::stoi(hex, nullptr, 16));
        }
        EXPECT_EQ(payload.size(), 27u) << line;
        if (payload.size() == 27) {
            rows.push_back(ExpectedRow(payload));
        }
    }
    return rows;
}

const char kHeader[] =
    "time,time_ms,RPM,MAP,Target Mixture,Mixture 1,Mixture 2,Injector Pulse,Coolant Temp,"
    "Charge Temp,Throttle Pos,Ignition Timing,Battery Volts,Exhaust Temp1,Exhaust Temp2";

class CliMonitor : public CliPty, public testing::WithParamInterface<bool> {};

TEST_P(CliMonitor, PrintsAHeaderAndOneRowPerNewRecordWithTheECUsValues) {
    const bool toFile = GetParam();
    const std::string port = StartSim({});
    const std::string log = dir + "/packets.log";
    const std::string csv = dir + "/rows.csv";
    std::vector<std::string> args = {"--port", port,      "--baud",  "115200", "--log",
                                     log,      "monitor", "--count", "5"};
    if (toFile) {
        args.insert(args.end(), {"--csv", csv});
    }
    const TCliRun run = RunCli(args, 30000);
    ASSERT_EQ(run.exit, 0) << run.err;
    const std::string text = toFile ? ReadFile(csv) : run.out;
    if (toFile) {
        EXPECT_EQ(run.out, "");
    }

    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 6u) << text;
    EXPECT_EQ(lines[0], kHeader);
    // Each row is a reply the ECU sent (as logged), each a newer one, in time order.
    const std::vector<std::string> replies = LoggedSensorRows(ReadFile(log));
    ASSERT_GE(replies.size(), 5u);
    size_t next = 0;
    long lastTime = -1;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> fields = Split(lines[i], ',');
        ASSERT_EQ(fields.size(), 15u) << lines[i];
        EXPECT_EQ(fields[0].size(), 29u) << lines[i];  // 2026-12-07T14:02:11.123+01:00
        const long time = std::stol(fields[1]);
        EXPECT_GE(time, lastTime) << lines[i];
        lastTime = time;
        const std::string values = lines[i].substr(fields[0].size() + fields[1].size() + 2);
        const auto found =
            std::find(replies.begin() + static_cast<long>(next), replies.end(), values);
        ASSERT_NE(found, replies.end())
            << "row " << i << " is no later reply of the ECU: " << lines[i];
        next = static_cast<size_t>(found - replies.begin()) + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(CliPty, CliMonitor, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ToFile" : "ToStdout"; });

TEST_F(CliPty, MonitorEndsCleanlyOnCtrlC) {
    const std::string port = StartSim({});
    TChildProcess cli;
    StartCli(cli, {"--port", port, "--no-log", "monitor"});
    std::string line;
    ASSERT_TRUE(cli.ReadLine(line, 20000)) << cli.ErrorOutput();
    EXPECT_EQ(line, kHeader);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(cli.ReadLine(line, 5000)) << "row " << i;
    }
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(5000), 0) << cli.ErrorOutput();
    const std::string out = cli.Output();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n') << "the last row was cut off";
    const std::vector<std::string> lines = Lines(out);
    EXPECT_GE(lines.size(), 4u);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(Split(lines[i], ',').size(), 15u) << lines[i];
    }
}

TEST_F(CliPty, MonitorIntoAClosedPipeEndsQuietlyWithZero) {
    const std::string port = StartSim({});
    // brindle-cli monitor | head -3, with the monitor's exit status on standard error.
    std::vector<std::string> command = {"/bin/sh", "-c",
                                        "{ \"$@\"; echo \"exit $?\" >&2; } | head -3", "sh"};
    const std::vector<std::string> cli = CliCommand({"--port", port, "--no-log", "monitor"});
    command.insert(command.end(), cli.begin(), cli.end());
    TChildProcess pipeline;
    ASSERT_TRUE(pipeline.Start(command));
    ASSERT_EQ(pipeline.Wait(30000), 0) << pipeline.ErrorOutput();
    const std::vector<std::string> lines = Lines(pipeline.Output());
    ASSERT_EQ(lines.size(), 3u) << pipeline.Output();
    EXPECT_EQ(lines[0], kHeader);
    const std::string err = pipeline.ErrorOutput();
    EXPECT_TRUE(Contains(err, "exit 0")) << err;
    EXPECT_FALSE(Contains(err, "cannot write")) << err;
    EXPECT_FALSE(Contains(err, "Broken pipe")) << err;
}

// ---------------------------------------------------------------- flash

TEST_F(CliPty, FlashWritesA128KiBImageAt115200) {
    const std::string imageOut = dir + "/flash.bin";
    const std::string port = StartSim({"--image-out", imageOut});
    std::vector<uint8_t> data = TestImage(131072, 3);
    const std::string hex = MakeHex("big", data);

    const TCliRun run =
        RunCli({"--port", port, "--baud", "115200", "--no-log", "flash", hex, "--yes"}, 90000);
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_TRUE(IsWroteLine(run.out)) << run.out;
    EXPECT_TRUE(Contains(run.err, "Firmware Revision: 1.4.12")) << run.err;
    // Not a terminal: plain progress lines and every status text of the upload.
    EXPECT_TRUE(Contains(run.err, "progress  50%  65536/131072 bytes")) << run.err;
    EXPECT_TRUE(Contains(run.err, "progress 100%  131072/131072 bytes")) << run.err;
    EXPECT_TRUE(Contains(run.err, "\n1024 bytes sent.\n")) << run.err;
    EXPECT_TRUE(Contains(run.err, "\n130048 bytes sent.\n")) << run.err;
    EXPECT_FALSE(Contains(run.err, "\033[")) << "terminal codes without a terminal";

    sim.WriteLine("quit");
    ASSERT_EQ(sim.Wait(10000), 0);
    simStarted = false;
    EXPECT_TRUE(ReadBytes(imageOut) == data) << "the ECU's flash differs from the file";
}

TEST_F(CliPty, FlashGivesUpAfterTheGivenAttempts) {
    const std::string port =
        StartSim({"--start-in-loader", "--nack-block", "2", "--erase-ms", "200"});
    const std::string hex = MakeHex("fw", TestImage(1000, 4));
    const TCliRun run =
        RunCli({"--port", port, "--no-log", "flash", hex, "--attempts", "2", "--yes"}, 60000);
    EXPECT_EQ(run.exit, 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, "\nRetrying block 2\n")) << run.err;
    EXPECT_TRUE(Contains(run.err, "\nToo many resends.\n")) << run.err;
    EXPECT_TRUE(Contains(run.err, "Attempt 1 of 2 failed: Too many resends.")) << run.err;
    EXPECT_TRUE(Contains(run.err, "upload failed after 2 attempts: Too many resends.")) << run.err;
    // Each run erases first: exactly two runs reached the ECU.
    EXPECT_TRUE(Contains(SimStatus(), "erases=2"));
}

// The cable pulled in the middle of a block and put back: the boot loader, left inside that
// write command, is brought back by the next run, and the flash completes without a power
// cycle.
TEST_F(CliPty, FlashRecoversFromACablePulledInTheMiddleOfABlock) {
    const std::string imageOut = dir + "/flash.bin";
    const std::string port =
        StartSim({"--start-in-loader", "--erase-ms", "200", "--image-out", imageOut});
    const std::vector<uint8_t> data = TestImage(3000, 6);
    const std::string hex = MakeHex("fw", data);
    sim.WriteLine("fault cut-write 130");
    TChildProcess cli;
    StartCli(cli, {"--port", port, "--no-log", "flash", hex, "--attempts", "5", "--yes"});
    const int64_t until = MonoMs() + 30000;
    while (!Contains(cli.ErrorOutput(), "Attempt 1 of 5 failed") && MonoMs() < until) {
        cli.Wait(50);
    }
    ASSERT_TRUE(Contains(cli.ErrorOutput(), "Attempt 1 of 5 failed")) << cli.ErrorOutput();
    sim.WriteLine("plug");
    EXPECT_EQ(cli.Wait(60000), 0) << cli.ErrorOutput();
    EXPECT_TRUE(Contains(cli.Output(), "3000 bytes")) << cli.Output();
    sim.WriteLine("quit");
    ASSERT_EQ(sim.Wait(10000), 0);
    simStarted = false;
    EXPECT_TRUE(ReadBytes(imageOut) == Padded(data)) << "the ECU's flash differs from the file";
}

TEST_F(CliPty, CtrlCDuringAnUploadLetsTheRunEndAndStartsNoOther) {
    const std::string port =
        StartSim({"--start-in-loader", "--nack-block", "1", "--erase-ms", "200"});
    const std::string hex = MakeHex("fw", TestImage(1000, 5));
    TChildProcess cli;
    StartCli(cli, {"--port", port, "--no-log", "flash", hex, "--attempts", "5", "--yes"});
    const int64_t until = MonoMs() + 30000;
    while (!Contains(cli.ErrorOutput(), "Retrying block 1") && MonoMs() < until) {
        cli.Wait(50);  // keeps the pipes flowing while it waits
    }
    ASSERT_TRUE(Contains(cli.ErrorOutput(), "Retrying block 1")) << cli.ErrorOutput();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(20000), 130) << cli.ErrorOutput();
    const std::string err = cli.ErrorOutput();
    EXPECT_TRUE(Contains(err, "cannot be cut off halfway")) << err;
    EXPECT_TRUE(Contains(err, "\nToo many resends.\n")) << "the run did not end by itself: " << err;
    EXPECT_TRUE(Contains(err, "stopped by Ctrl-C after 1 run")) << err;
    EXPECT_TRUE(Contains(SimStatus(), "erases=1")) << "another run was started";
}

// A program run with a pseudo-terminal for its standard streams, as from a shell.
class TTerminalRun {
public:
    ~TTerminalRun() {
        if (pid > 0 && status < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (master >= 0) {
            ::close(master);
        }
    }

    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            return false;
        }
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd <= 2; ++fd) {
            posix_spawn_file_actions_adddup2(&actions, slave, fd);
        }
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("TERM=", 0) != 0 && entry.rfind("BRINDLE_SETTINGS=", 0) != 0) {
                envStrings.push_back(entry);
            }
        }
        envStrings.push_back("TERM=xterm");
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        for (std::string& e : envStrings) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        const int rc =
            posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(slave);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        return rc == 0;
    }

    // Reads what the program wrote until `text` has appeared or `ms` have passed.
    bool WaitFor(const std::string& text, int ms) {
        const int64_t until = MonoMs() + ms;
        while (!Contains(output, text)) {
            if (MonoMs() >= until) {
                return false;
            }
            Drain(50);
        }
        return true;
    }

    void Signal(int sig) { ::kill(pid, sig); }

    void Type(const std::string& text) {
        ASSERT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    int Wait(int ms) {
        const int64_t until = MonoMs() + ms;
        while (status < 0) {
            int st = 0;
            if (::waitpid(pid, &st, WNOHANG) == pid) {
                status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (MonoMs() >= until) {
                return -1;
            }
            Drain(20);
        }
        Drain(0);
        return status;
    }

    std::string output;

private:
    void Drain(int ms) {
        pollfd pfd{master, POLLIN, 0};
        if (::poll(&pfd, 1, ms) <= 0) {
            return;
        }
        char buf[4096];
        ssize_t n;
        while ((n = ::read(master, buf, sizeof buf)) > 0) {
            output.append(buf, static_cast<size_t>(n));
        }
    }

    int master = -1;
    pid_t pid = -1;
    int status = -1;
};

struct ConfirmCase {
    const char* name;
    const char* answer;  // null: Ctrl-C instead of an answer
    int exit;
    const char* erases;
};

void PrintTo(const ConfirmCase& c, std::ostream* os) {
    *os << c.name;
}

class CliConfirm : public CliPty, public testing::WithParamInterface<ConfirmCase> {};

TEST_P(CliConfirm, FlashAsksOnATerminalAndShowsABar) {
    const ConfirmCase& c = GetParam();
    const std::string imageOut = dir + "/flash.bin";
    const std::string port =
        StartSim({"--start-in-loader", "--erase-ms", "200", "--image-out", imageOut});
    const std::vector<uint8_t> data = TestImage(1000, 6);
    const std::string hex = MakeHex("fw", data);

    TTerminalRun cli;
    ASSERT_TRUE(
        cli.Start({BRINDLE_CLI_BINARY, "--port", port, "--log", dir + "/packets.log", "flash", hex},
                  {"BRINDLE_SETTINGS=" + ini}));
    ASSERT_TRUE(cli.WaitFor("[y/N] ", 20000)) << cli.output;
    EXPECT_TRUE(Contains(SimStatus(), "erases=0")) << "it wrote before the answer";
    if (c.answer) {
        cli.Type(std::string(c.answer) + "\n");
    } else {
        cli.Signal(SIGINT);
    }
    EXPECT_EQ(cli.Wait(60000), c.exit) << cli.output;
    EXPECT_TRUE(Contains(SimStatus(), c.erases)) << cli.output;
    if (c.exit != 0) {
        EXPECT_TRUE(Contains(cli.output, "Nothing was written.")) << cli.output;
        return;
    }
    // The bar is redrawn in place and ends full; the result follows on a line of its own.
    EXPECT_TRUE(Contains(cli.output, "\r\033[K[")) << cli.output;
    EXPECT_TRUE(Contains(cli.output, "] 100%  1000/1000 bytes")) << cli.output;
    EXPECT_TRUE(Contains(cli.output, "Wrote 1000 bytes (4 blocks) in ")) << cli.output;
    sim.WriteLine("quit");
    ASSERT_EQ(sim.Wait(10000), 0);
    simStarted = false;
    EXPECT_TRUE(ReadBytes(imageOut) == Padded(data)) << "the ECU's flash differs from the file";
}

const ConfirmCase kConfirmCases[] = {
    {"AnswerNoWritesNothing", "n", 1, "erases=0"},
    {"CtrlCAtTheQuestionWritesNothing", nullptr, 130, "erases=0"},
    {"AnswerYesWritesThroughTheBootLoader", "y", 0, "erases=1"},
};

INSTANTIATE_TEST_SUITE_P(CliPty, CliConfirm, testing::ValuesIn(kConfirmCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- hex and refusals

class CliHexFiles : public CliPty, public testing::WithParamInterface<size_t> {};

TEST_P(CliHexFiles, CountAndImageOfAFileMadeBySrecCat) {
    const size_t size = GetParam();
    const std::vector<uint8_t> data = TestImage(size, static_cast<int>(size));
    const std::string hex = MakeHex("fw", data);
    const std::string bin = dir + "/image.bin";
    const TCliRun run = RunCli({"hex", hex, "--bin", bin});
    ASSERT_EQ(run.exit, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "used " + std::to_string(size) + " bytes, " +
                            std::to_string((size + 255) / 256) + " blocks");
    EXPECT_TRUE(ReadBytes(bin) == Padded(data)) << "the image differs from the data";
}

INSTANTIATE_TEST_SUITE_P(CliPty, CliHexFiles, testing::Values(1, 1000, 65536 + 300, 131072));

TEST_F(CliPty, BadFilesAndUnansweredQuestionsNeverReachThePort) {
    const std::string good = MakeHex("good", TestImage(500, 7));
    std::string badText = ReadFile(good);
    badText[9] = badText[9] == '0' ? '1' : '0';  // a digit of the first record's data
    const std::string bad = dir + "/bad.hex";
    std::ofstream(bad) << badText;
    const std::string noPort = dir + "/ttyUSB9";  // opening it would end with 5

    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string err;
    };
    const Case cases[] = {
        {{"hex", bad}, 4, "brindle-cli: " + bad + ": Checksum error!"},
        {{"--port", noPort, "flash", bad, "--yes"}, 4, "brindle-cli: " + bad + ": Checksum error!"},
        {{"--port", noPort, "flash", dir + "/none.hex", "--yes"}, 4, "No such file or directory"},
        {{"--port", noPort, "flash", good}, 64, "add --yes"},
        {{"--port", noPort, "identify", "--fast"}, 64, "unknown option '--fast'"},
    };
    for (const Case& c : cases) {
        const TCliRun run = RunCli(c.args, 20000);
        EXPECT_EQ(run.exit, c.exit) << c.args.back() << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/brindle.log")) << "a log was opened";
}

}  // namespace
