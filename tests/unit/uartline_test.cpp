// The bit-level line model: bytes at one rate arrive as sent; at another rate a UART decodes
// garbage. The expected bytes below are worked out by hand from the frame timings.
#include <gtest/gtest.h>

#include <vector>

#include "sim/uartline.h"

namespace {

std::vector<TUartLine::TChar> ReceiveAll(TUartLine& line, int rxBps) {
    std::vector<TUartLine::TChar> out;
    TUartLine::TChar c;
    while (line.Receive(BitTime(rxBps), kNever - TNs(1), c)) {
        out.push_back(c);
    }
    return out;
}

TEST(UartLine, SameRateDeliversEveryByteAsSentAfterTenBitTimes) {
    for (int bps : {9600, 19200, 38400, 57600, 115200}) {
        TUartLine line;
        for (int b = 0; b < 256; ++b) {
            line.Send(static_cast<uint8_t>(b), TNs(0), BitTime(bps));
        }
        const auto chars = ReceiveAll(line, bps);
        ASSERT_EQ(chars.size(), 256u) << bps;
        for (int b = 0; b < 256; ++b) {
            EXPECT_EQ(chars[b].byte, b) << bps;
            EXPECT_FALSE(chars[b].framingError);
        }
        // The last byte is complete in the middle of its stop bit: 255 frames plus 9.5 bits.
        EXPECT_EQ(chars.back().done, 255 * 10 * BitTime(bps) + (19 * BitTime(bps) + TNs(1)) / 2);
    }
}

// A byte is not delivered before it has arrived; one sent after an idle gap starts then (bytes
// sent together queue behind each other: see the first test's timing).
TEST(UartLine, ByteIsNotDeliveredBeforeItHasArrived) {
    TUartLine line;
    const TNs bit = BitTime(9600);
    const TNs start(1000);
    const TNs end = line.Send('A', start, bit);
    EXPECT_EQ(end, start + 10 * bit);
    TUartLine::TChar c;
    EXPECT_FALSE(line.Receive(bit, start + 9 * bit, c));
    EXPECT_EQ(line.NextEvent(bit), start + (19 * bit + TNs(1)) / 2);
    EXPECT_TRUE(line.Receive(bit, start + 10 * bit, c));
    EXPECT_EQ(c.byte, 'A');
    EXPECT_EQ(line.NextEvent(bit), kNever);
    EXPECT_EQ(line.Send('B', start + 100 * bit, bit), start + 110 * bit);
}

struct MismatchCase {
    const char* name;
    int txBps;
    int rxBps;
    uint8_t sent;
    std::vector<uint8_t> received;
    bool framingError;
};

TEST(UartLine, RateMismatchDecodesWhatAUartWould) {
    const MismatchCase cases[] = {
        // 0x00 at 9600 is low for 937 us; a 19200 receiver sees eight low data bits and a
        // low stop bit: a framing error, read as 0x00, and no second start edge.
        {"0x00 9600 to 19200", 9600, 19200, 0x00, {0x00}, true},
        // 0xFF at 9600 is one low start bit of 104 us: one character at every faster rate,
        // the low bits it covers at the receiver's rate (the boot loader's filler).
        {"0xFF 9600 to 19200", 9600, 19200, 0xFF, {0xFE}, false},
        {"0xFF 9600 to 38400", 9600, 38400, 0xFF, {0xF8}, false},
        {"0xFF 9600 to 57600", 9600, 57600, 0xFF, {0xE0}, false},
        {"0xFF 9600 to 115200", 9600, 115200, 0xFF, {0x00}, true},
        // A whole byte at 115200 lasts 87 us, less than one bit at 9600: only the start
        // bit is seen, every data bit samples the idle line.
        {"0x00 115200 to 9600", 115200, 9600, 0x00, {0xFF}, false},
    };
    for (const MismatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        TUartLine line;
        line.Send(c.sent, TNs(0), BitTime(c.txBps));
        const auto chars = ReceiveAll(line, c.rxBps);
        std::vector<uint8_t> bytes;
        for (const auto& ch : chars) {
            bytes.push_back(ch.byte);
        }
        EXPECT_EQ(bytes, c.received);
        ASSERT_FALSE(chars.empty());
        EXPECT_EQ(chars[0].framingError, c.framingError);
    }
}

TEST(UartLine, MismatchedTextNeverReadsAsTheText) {
    const std::string text = "OK\r\n";
    for (int tx : {9600, 19200, 38400, 57600, 115200}) {
        for (int rx : {9600, 19200, 38400, 57600, 115200}) {
            if (tx == rx) {
                continue;
            }
            TUartLine line;
            for (char ch : text) {
                line.Send(static_cast<uint8_t>(ch), TNs(0), BitTime(tx));
            }
            std::string got;
            for (const auto& c : ReceiveAll(line, rx)) {
                got.push_back(static_cast<char>(c.byte));
            }
            EXPECT_EQ(got.find(text), std::string::npos) << tx << " -> " << rx;
        }
    }
}

}  // namespace
