// The packet log file on Windows: one instance holds it, and it moves aside at its limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/packetlogfile.h"
#include "platform/win32.h"
#include "tests/support/files.h"

namespace {

TEST(Win32PacketLog, HeldByOneInstanceAndMovedAsideAtItsLimit) {
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) /
                                      ("brindle-log-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "brindle.log").string();
    std::ofstream(path) << "an old run's lines\n";

    TLogOpenResult first;
    auto log = TPacketLogFile::Open(path, 100, first);
    ASSERT_TRUE(log) << first.reason;
    EXPECT_EQ(ReadFile(path), "");  // each start begins an empty log

    TLogOpenResult second;
    EXPECT_FALSE(TPacketLogFile::Open(path, 100, second));
    EXPECT_EQ(second.status, TLogOpen::Held);

    const std::string a(60, 'a'), b(60, 'b');
    log->WriteLine(a);
    log->WriteLine(b);  // past 100 bytes: the first file moves to .1
    EXPECT_EQ(ReadFile(path + ".1"), a + "\n");
    EXPECT_EQ(ReadFile(path), b + "\n");
    log.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
