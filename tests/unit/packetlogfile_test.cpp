// The packet log file: each start begins it empty, one instance holds it, and it moves aside
// at its size limit; on POSIX it is never written through a symbolic link (Wine does not let
// an ordinary user make one). Built into the platform tests and the Windows tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/packetlogfile.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

class PacketLogFile : public testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    const std::string dir = (fs::path(testing::TempDir()) /
                             ("brindle-log-" + std::to_string(getpid()) + "-" +
                              testing::UnitTest::GetInstance()->current_test_info()->name()))
                                .string();
    const std::string log = dir + "/brindle.log";
};

TEST_F(PacketLogFile, EachStartBeginsAnEmptyLog) {
    WriteFile(log, "the last run's lines\n");
    TLogOpenResult result;
    auto file = TPacketLogFile::Open(log, kPacketLogLimitBytes, result);
    ASSERT_EQ(result.status, TLogOpen::Opened) << result.reason;
    file->WriteLine("Outgoing packet typ(ACK) seq(18) size(0) CRC(21968) Data((none))");
    EXPECT_EQ(ReadFile(log), "Outgoing packet typ(ACK) seq(18) size(0) CRC(21968) Data((none))\n");
    EXPECT_FALSE(
        TPacketLogFile::Open(dir + "/no-such-folder/brindle.log", kPacketLogLimitBytes, result));
    EXPECT_EQ(result.status, TLogOpen::Failed);
#ifndef _WIN32
    EXPECT_EQ(result.reason, "No such file or directory");
#endif
}

TEST_F(PacketLogFile, ASecondInstanceLeavesTheFirstOnesLogIntact) {
    TLogOpenResult result;
    auto first = TPacketLogFile::Open(log, kPacketLogLimitBytes, result);
    ASSERT_TRUE(first) << result.reason;
    first->WriteLine("first instance, line 1");
    // A second instance in the same folder: no truncation, no lines of its own.
    TLogOpenResult second;
    EXPECT_FALSE(TPacketLogFile::Open(log, kPacketLogLimitBytes, second));
    EXPECT_EQ(second.status, TLogOpen::Held);
    first->WriteLine("first instance, line 2");
    EXPECT_EQ(ReadFile(log), "first instance, line 1\nfirst instance, line 2\n");
    // Once the first has ended, the log is free again.
    first.reset();
    EXPECT_TRUE(TPacketLogFile::Open(log, kPacketLogLimitBytes, second));
}

TEST_F(PacketLogFile, AtItsLimitTheLogMovesToDotOneAndAFreshOneStarts) {
    // Lines of 10 bytes with their line end; at most 30 bytes to a file.
    TLogOpenResult result;
    auto file = TPacketLogFile::Open(log, 30, result);
    ASSERT_TRUE(file) << result.reason;
    for (const char* line : {"line 0001", "line 0002", "line 0003", "line 0004", "line 0005"}) {
        file->WriteLine(line);
    }
    EXPECT_EQ(ReadFile(log + ".1"), "line 0001\nline 0002\nline 0003\n");
    EXPECT_EQ(ReadFile(log), "line 0004\nline 0005\n");
    for (const char* line : {"line 0006", "line 0007"}) {
        file->WriteLine(line);
    }
    EXPECT_EQ(ReadFile(log + ".1"), "line 0004\nline 0005\nline 0006\n");
    EXPECT_EQ(ReadFile(log), "line 0007\n");
}

#ifndef _WIN32
// Neither the log nor an older rotated log that is a link is written through: the first is
// not opened, the second is replaced as a name.
TEST_F(PacketLogFile, ASymbolicLinkIsNeverFollowed) {
    const std::string important = dir + "/important.txt";
    WriteFile(important, "the user's own text\n");
    ASSERT_EQ(symlink(important.c_str(), log.c_str()), 0);
    TLogOpenResult result;
    EXPECT_FALSE(TPacketLogFile::Open(log, kPacketLogLimitBytes, result));
    EXPECT_EQ(result.status, TLogOpen::Link);
    EXPECT_TRUE(fs::is_symlink(log));

    const std::string other = dir + "/other.log";
    ASSERT_EQ(symlink(important.c_str(), (other + ".1").c_str()), 0);
    auto file = TPacketLogFile::Open(other, 10, result);
    ASSERT_TRUE(file);
    file->WriteLine("line 0001");
    file->WriteLine("line 0002");
    EXPECT_EQ(ReadFile(other + ".1"), "line 0001\n");
    EXPECT_FALSE(fs::is_symlink(other + ".1"));
    EXPECT_EQ(ReadFile(important), "the user's own text\n");
}
#endif

}  // namespace
