// brindle-cli as a process, against brindle-ecusim on a pseudo-terminal, in real time: only
// what a real process shows (exit codes, signals, a closed pipe, time-outs, the serial layer
// and the progress bar on a terminal). Every run gets its own folder as working directory and
// its own settings file, so no test touches the user's settings or leaves a packet log behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/childprocess.h"
#include "tests/support/files.h"
#include "tests/support/waitfor.h"

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    for (std::string field; std::getline(in, field, sep);) {
        fields.push_back(field);
    }
    return fields;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Firmware test data without any 0xFF, so the used length is the data's length.
std::string TestImage(size_t bytes, int seed) {
    std::string data(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<char>(((i * 7) ^ (i >> 9) ^ static_cast<size_t>(seed)) % 0xFF);
    }
    return data;
}

struct TCliRun {
    int exit = -1;
    std::string out;
    std::string err;
    std::chrono::steady_clock::duration took{};
};

class CliPty : public testing::Test {
protected:
    void SetUp() override {
        dir = testing::TempDir() + "/brindle-cli-pty-" + std::to_string(getpid()) + "-" +
              testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        ini = dir + "/settings.ini";
        // The program's four settings at their defaults.
        std::ofstream(ini) << "[General]\ncomPort=0\ninitBaud=5\ncommBaud=5\nloaderBaud=6\n";
    }

    // brindle-ecusim, if it still runs, is killed with the fixture.
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Starts brindle-ecusim, writing its flash to flash.bin; returns its terminal's path.
    std::string StartSim(std::vector<std::string> options) {
        options.insert(options.end(), {"--image-out", dir + "/flash.bin"});
        const std::string path = sim.StartEcuSim(options);
        EXPECT_FALSE(path.empty()) << "no terminal from brindle-ecusim";
        return path;
    }

    std::string SimStatus() {
        sim.Write("status\n");
        return sim.WaitForLine("status ", 5000);
    }

    // Stops brindle-ecusim; whether its flash holds `data`, and the rest of it is erased (0xFF).
    bool SimFlashHolds(const std::string& data) {
        sim.Write("quit\n");
        EXPECT_EQ(sim.Wait(10000), 0);
        return ReadFile(dir + "/flash.bin") == data + std::string(131072 - data.size(), '\xFF');
    }

    // The shell line that runs brindle-cli in the test's folder with the test's settings,
    // after the `runAs` words (another user, for instance). No word here has a quote.
    std::string CliLine(const std::vector<std::string>& args, const std::string& runAs = "") {
        std::string line = "cd '" + dir + "' && BRINDLE_SETTINGS='" + ini + "' TERM=xterm exec " +
                           runAs + BRINDLE_CLI_BINARY;
        for (const std::string& arg : args) {
            line += " '" + arg + "'";
        }
        return line;
    }

    TCliRun RunCli(const std::vector<std::string>& args, int timeoutMs = 60000,
                   const std::string& runAs = "") {
        TCliRun run;
        TChildProcess cli;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(cli.Start({"sh", "-c", CliLine(args, runAs)})) << "brindle-cli did not start";
        run.exit = cli.Wait(timeoutMs);
        run.took = std::chrono::steady_clock::now() - start;
        run.out = cli.Output();
        run.err = cli.ErrorOutput();
        return run;
    }

    // Intel HEX made by an independent tool, as firmware files are made.
    std::string MakeHex(const std::string& data) {
        const std::string bin = dir + "/fw.bin";
        const std::string hex = dir + "/fw.hex";
        std::ofstream(bin, std::ios::binary) << data;
        TChildProcess srec;
        EXPECT_TRUE(srec.Start(
            {"srec_cat", bin, "-binary", "-o", hex, "-intel", "-address-length=3", "-obs=16"}));
        EXPECT_EQ(srec.Wait(30000), 0)
            << "srec_cat (package srecord) failed: " << srec.ErrorOutput();
        return hex;
    }

    std::string dir;
    std::string ini;
    TChildProcess sim;
};

// ---------------------------------------------------------------- ports

// A device the user may not open, as a process of a user outside the dialout group: the
// reason and what to do about it. The message around them is the in-process tests', on a
// missing device.
TEST_F(CliPty, APortWithoutPermissionEndsWith5AndNamesTheDialoutGroup) {
    const std::string locked = dir + "/locked";
    std::ofstream(locked) << "x";
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    // Root may open any file: then it runs as nobody (setpriv is util-linux's, as script is).
    std::string runAs;
    if (geteuid() == 0) {
        runAs = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        chmod(dir.c_str(), 0755);
        chmod(ini.c_str(), 0644);
    }
    const TCliRun run = RunCli({"--port", locked, "--no-log", "identify"}, 20000, runAs);
    EXPECT_EQ(run.exit, 5) << run.err;
    EXPECT_TRUE(Contains(run.err, "Permission denied")) << run.err;
    EXPECT_TRUE(Contains(run.err, "dialout")) << run.err;
}

// ---------------------------------------------------------------- identify, monitor

// On one virtual ECU: identify prints what the session found; the counted rows go to the file
// only, each a newer record than the one before (which records and how a row shows one are the
// core's, tested with it); a Ctrl-C ends the monitor with 0 after a whole row, and so does a
// reader that closes the pipe.
TEST_F(CliPty, IdentifyAndMonitorCountsIntoAFileAndEndsCleanlyOnCtrlCOrAClosedPipe) {
    const std::string port = StartSim({});
    const TCliRun identify = RunCli({"--port", port, "--no-log", "identify"});
    EXPECT_EQ(identify.exit, 0) << identify.err;
    EXPECT_EQ(identify.out, "Firmware Revision: 1.4.12\nBoard: 1.2 SN: 258\n");

    const std::string csv = dir + "/rows.csv";
    const TCliRun run = RunCli(
        {"--port", port, "--baud", "115200", "--no-log", "monitor", "--count", "5", "--csv", csv},
        30000);
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const std::vector<std::string> lines = Split(ReadFile(csv), '\n');
    ASSERT_EQ(lines.size(), 6u) << ReadFile(csv);
    EXPECT_EQ(lines[0].rfind("time,time_ms,RPM,", 0), 0u) << "no header";
    for (size_t i = 2; i < lines.size(); ++i) {
        EXPECT_GT(std::stol(Split(lines[i], ',')[1]), std::stol(Split(lines[i - 1], ',')[1]))
            << "a record twice: " << lines[i];
    }

    const std::string monitor = CliLine({"--port", port, "--no-log", "monitor"});
    TChildProcess cli;
    ASSERT_TRUE(cli.Start({"sh", "-c", monitor}));
    for (int i = 0; i < 4; ++i) {
        ASSERT_NE(cli.WaitForLine("", 20000), "") << "line " << i << ": " << cli.ErrorOutput();
    }
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(5000), 0) << cli.ErrorOutput();
    const std::string out = cli.Output();
    EXPECT_TRUE(out.ends_with('\n')) << "the last row was cut off";
    EXPECT_EQ(Split(Split(out, '\n').back(), ',').size(), 15u) << out;

    // brindle-cli monitor | head -3, with the monitor's exit status on standard error.
    TChildProcess pipeline;
    ASSERT_TRUE(
        pipeline.Start({"sh", "-c", "{ (" + monitor + "); echo \"exit $?\" >&2; } | head -3"}));
    ASSERT_EQ(pipeline.Wait(30000), 0) << pipeline.ErrorOutput();
    EXPECT_EQ(Split(pipeline.Output(), '\n').size(), 3u) << pipeline.Output();
    const std::string err = pipeline.ErrorOutput();
    EXPECT_TRUE(Contains(err, "exit 0")) << err;
    EXPECT_FALSE(Contains(err, "cannot write")) << err;
    EXPECT_FALSE(Contains(err, "Broken pipe")) << err;
}

// ---------------------------------------------------------------- flash

TEST_F(CliPty, FlashWritesA128KiBImageAt115200) {
    const std::string port = StartSim({});
    const std::string data = TestImage(131072, 3);
    const std::string hex = MakeHex(data);

    const TCliRun run =
        RunCli({"--port", port, "--baud", "115200", "--no-log", "flash", hex, "--yes"}, 90000);
    ASSERT_EQ(run.exit, 0) << run.err;
    // The whole output: "Wrote 131072 bytes (512 blocks) in S.D s\n". Checked without
    // std::regex, whose GCC 12 headers warn under the sanitizers.
    const std::string head = "Wrote 131072 bytes (512 blocks) in ";
    const std::string secs = run.out.rfind(head, 0) == 0 ? run.out.substr(head.size()) : "";
    const size_t dot = secs.find('.');
    EXPECT_TRUE(dot > 0 && dot != std::string::npos && secs.size() == dot + 5 &&
                secs.find_first_not_of("0123456789") == dot &&
                secs.find_first_of("0123456789", dot + 1) == dot + 1 &&
                secs.substr(dot + 2) == " s\n")
        << run.out;
    // Not a terminal: plain progress lines.
    EXPECT_TRUE(Contains(run.err, "progress  50%  65536/131072 bytes")) << run.err;
    EXPECT_FALSE(Contains(run.err, "\033[")) << "terminal codes without a terminal";
    EXPECT_TRUE(SimFlashHolds(data)) << "the ECU's flash differs from the file";
}

// A boot loader only, which never acknowledges block 1. Unplugged, nothing answers: flash
// ends with 2 when its time-out runs out, having erased nothing (identify and monitor wait
// for the ECU in the same TCliLink::Connect). Plugged in, identify says it is a loader with
// 3; flash runs as often as it was told to; Ctrl-C during a run lets that run end and starts
// no other.
TEST_F(CliPty, FlashStopsAtItsTimeOutItsAttemptsOrACtrlCAndIdentifyOfALoaderEndsWith3) {
    const std::string port =
        StartSim({"--start-in-loader", "--nack-block", "1", "--erase-ms", "200"});
    const std::string hex = MakeHex(TestImage(1000, 4));
    sim.Write("unplug\n");
    ASSERT_EQ(sim.WaitForLine("ok", 5000), "ok unplug");
    const TCliRun silent =
        RunCli({"--port", port, "--no-log", "--timeout", "2", "flash", hex, "--yes"}, 20000);
    EXPECT_EQ(silent.exit, 2) << silent.err;
    EXPECT_TRUE(Contains(silent.err, "no ECU answered on " + port + " within 2 s")) << silent.err;
    EXPECT_GE(silent.took, std::chrono::milliseconds(1900));
    EXPECT_LT(silent.took, std::chrono::seconds(6)) << "it did not stop at its time-out";
    sim.Write("plug\n");
    ASSERT_EQ(sim.WaitForLine("ok", 5000), "ok plug");

    const TCliRun identify = RunCli({"--port", port, "--no-log", "identify"});
    EXPECT_EQ(identify.exit, 3) << identify.err;
    EXPECT_EQ(identify.out, "Loader\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/brindle.log")) << "--no-log wrote a log";

    const TCliRun run =
        RunCli({"--port", port, "--no-log", "flash", hex, "--attempts", "2", "--yes"}, 60000);
    EXPECT_EQ(run.exit, 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, "Attempt 1 of 2 failed: Too many resends.")) << run.err;
    EXPECT_TRUE(Contains(run.err, "upload failed after 2 attempts: Too many resends.")) << run.err;
    // Each run erases first: exactly two runs reached the ECU, and the timed-out one none.
    EXPECT_TRUE(Contains(SimStatus(), "erases=2"));

    TChildProcess cli;
    ASSERT_TRUE(cli.Start(
        {"sh", "-c",
         CliLine({"--port", port, "--no-log", "flash", hex, "--attempts", "5", "--yes"})}));
    ASSERT_TRUE(WaitFor([&] { return Contains(cli.ErrorOutput(), "Retrying block 1"); }))
        << cli.ErrorOutput();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(20000), 130) << cli.ErrorOutput();
    const std::string err = cli.ErrorOutput();
    EXPECT_TRUE(Contains(err, "cannot be cut off halfway")) << err;
    EXPECT_TRUE(Contains(err, "\nToo many resends.\n")) << "the run did not end by itself: " << err;
    EXPECT_TRUE(Contains(err, "stopped by Ctrl-C after 1 run")) << err;
    EXPECT_TRUE(Contains(SimStatus(), "erases=3")) << "another run was started";
}

// The cable pulled in the middle of a block and put back: the boot loader, left inside that
// write command, is brought back by the next run, and the flash completes without a power
// cycle.
TEST_F(CliPty, FlashRecoversFromACablePulledInTheMiddleOfABlock) {
    const std::string port = StartSim({"--start-in-loader", "--erase-ms", "200"});
    const std::string data = TestImage(3000, 6);
    const std::string hex = MakeHex(data);
    sim.Write("fault cut-write 130\n");
    TChildProcess cli;
    ASSERT_TRUE(cli.Start(
        {"sh", "-c",
         CliLine({"--port", port, "--no-log", "flash", hex, "--attempts", "5", "--yes"})}));
    ASSERT_TRUE(WaitFor([&] { return Contains(cli.ErrorOutput(), "Attempt 1 of 5 failed"); }))
        << cli.ErrorOutput();
    sim.Write("plug\n");
    EXPECT_EQ(cli.Wait(60000), 0) << cli.ErrorOutput();
    EXPECT_TRUE(Contains(cli.Output(), "3000 bytes")) << cli.Output();
    EXPECT_TRUE(SimFlashHolds(data)) << "the ECU's flash differs from the file";
}

// On a terminal flash asks, on one virtual ECU in turn: "n" and Ctrl-C write nothing; "y"
// writes, with a bar redrawn in place that ends full and the result on a line of its own.
TEST_F(CliPty, FlashAsksOnATerminalAndShowsABar) {
    const std::string port = StartSim({"--start-in-loader", "--erase-ms", "200"});
    const std::string data = TestImage(1000, 6);
    const std::string hex = MakeHex(data);
    const struct {
        const char* typed;  // "\003" is Ctrl-C on the terminal
        int exit;
        const char* erases;
    } cases[] = {{"n\n", 1, "erases=0"}, {"\003", 130, "erases=0"}, {"y\n", 0, "erases=1"}};
    std::string output;
    for (const auto& c : cases) {
        TChildProcess cli;
        // On a pseudo-terminal of its own, as from a shell: script(1) passes what the test
        // writes to the terminal (a Ctrl-C too) and what the program writes back.
        ASSERT_TRUE(cli.Start(
            {"script", "-qefc",
             CliLine({"--port", port, "--log", dir + "/packets.log", "flash", hex}), "/dev/null"}));
        ASSERT_TRUE(WaitFor([&] { return Contains(cli.Output(), "[y/N] "); })) << cli.Output();
        cli.Write(c.typed);
        EXPECT_EQ(cli.Wait(60000), c.exit) << cli.Output();
        output = cli.Output();
        EXPECT_TRUE(Contains(SimStatus(), c.erases)) << output;
        EXPECT_EQ(Contains(output, "Nothing was written."), c.exit != 0) << output;
    }
    EXPECT_TRUE(Contains(output, "] 100%  1000/1000 bytes\r\nWrote 1000 bytes (4 blocks) in "))
        << output;
    EXPECT_TRUE(SimFlashHolds(data)) << "the ECU's flash differs from the file";
}

}  // namespace
