// The packet log file: never through a link, never over another instance's log, rotated at
// its size limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/packetlogfile.h"
#include "tests/support/files.h"

namespace {

class PacketLogFile : public testing::Test {
protected:
    void SetUp() override {
        dir = testing::TempDir() + "/brindle-log-" + std::to_string(getpid()) + "-" +
              testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        log = dir + "/brindle.log";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::unique_ptr<TPacketLogFile> Open(const std::string& path, TLogOpenResult& result,
                                         int64_t limit = kPacketLogLimitBytes) {
        return TPacketLogFile::Open(path, limit, result);
    }

    std::string dir;
    std::string log;
};

TEST_F(PacketLogFile, EachStartBeginsAnEmptyLog) {
    WriteFile(log, "the last run's lines\n");
    TLogOpenResult result;
    auto file = Open(log, result);
    ASSERT_EQ(result.status, TLogOpen::Opened);
    file->WriteLine("Outgoing packet typ(ACK) seq(18) size(0) CRC(21968) Data((none))");
    EXPECT_EQ(ReadFile(log), "Outgoing packet typ(ACK) seq(18) size(0) CRC(21968) Data((none))\n");
    EXPECT_FALSE(Open(dir + "/no-such-folder/brindle.log", result));
    EXPECT_EQ(result.status, TLogOpen::Failed);
    EXPECT_EQ(result.reason, "No such file or directory");
}

TEST_F(PacketLogFile, ASymbolicLinkIsNeverFollowed) {
    const std::string important = dir + "/important.txt";
    WriteFile(important, "the user's own text\n");
    ASSERT_EQ(symlink(important.c_str(), log.c_str()), 0);
    TLogOpenResult result;
    EXPECT_FALSE(Open(log, result));
    EXPECT_EQ(result.status, TLogOpen::Link);
    EXPECT_EQ(ReadFile(important), "the user's own text\n");
    EXPECT_TRUE(std::filesystem::is_symlink(log));
}

TEST_F(PacketLogFile, ASecondInstanceLeavesTheFirstOnesLogIntact) {
    TLogOpenResult result;
    std::unique_ptr<TPacketLogFile> first = TPacketLogFile::Open(log, kPacketLogLimitBytes, result);
    ASSERT_TRUE(first);
    first->WriteLine("first instance, line 1");
    // A second instance in the same folder: no truncation, no lines of its own.
    TLogOpenResult second;
    EXPECT_FALSE(Open(log, second));
    EXPECT_EQ(second.status, TLogOpen::Held);
    first->WriteLine("first instance, line 2");
    EXPECT_EQ(ReadFile(log), "first instance, line 1\nfirst instance, line 2\n");
    // Once the first has ended, the log is free again.
    first.reset();
    EXPECT_TRUE(Open(log, second));
}

TEST_F(PacketLogFile, AtItsLimitTheLogMovesToDotOneAndAFreshOneStarts) {
    const std::string old = log + ".1";
    const std::string elsewhere = dir + "/elsewhere.txt";
    WriteFile(elsewhere, "not the log's\n");
    // An older rotated log that is a link: replaced as a name, its target left alone.
    ASSERT_EQ(symlink(elsewhere.c_str(), old.c_str()), 0);
    // Lines of 10 bytes with their line end; at most 30 bytes to a file.
    TLogOpenResult result;
    auto file = Open(log, result, 30);
    ASSERT_TRUE(file);
    for (const char* line : {"line 0001", "line 0002", "line 0003", "line 0004", "line 0005"}) {
        file->WriteLine(line);
    }
    EXPECT_EQ(ReadFile(old), "line 0001\nline 0002\nline 0003\n");
    EXPECT_EQ(ReadFile(log), "line 0004\nline 0005\n");
    for (const char* line : {"line 0006", "line 0007"}) {
        file->WriteLine(line);
    }
    EXPECT_EQ(ReadFile(old), "line 0004\nline 0005\nline 0006\n");
    EXPECT_EQ(ReadFile(log), "line 0007\n");
    EXPECT_EQ(ReadFile(elsewhere), "not the log's\n");
    EXPECT_FALSE(std::filesystem::is_symlink(old));
}

}  // namespace
