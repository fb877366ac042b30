// The packet protocol spoken with the ECU's running firmware: the frame, the CRC-16/MODBUS,
// the type codes, the packet record with its per-type constructors, and the packet log's
// lines. What the payloads mean is in ecu/protocol.h.
//
// Frame: 0x0A, seq, type, size, payload[size], CRC low, CRC high. The CRC covers seq, type,
// size and the payload. There is no end marker and no byte stuffing.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

class TSerialComm;

constexpr uint8_t kKaloStart = 0x0A;
constexpr int kKaloMaxPayload = 255;
constexpr int kKaloHeaderBytes = 4;  // start, seq, type, size
constexpr int kKaloCrcBytes = 2;

enum TKaloType : uint8_t {
    KALO_NAK = 0,
    KALO_ACK = 1,
    KALO_GET_VERSION = 2,
    KALO_SET_BAUD = 3,
    KALO_GET_TABLESIZE = 4,
    KALO_GET_TABLEDATA = 5,
    KALO_SET_TABLEDATA = 6,
    KALO_READ_SENSORS = 7,
    KALO_GET_HWSIG = 8,
    KALO_ENTER_FLASH = 9,
};

// The name used in log lines; codes above 9 read "UNKNOWN(n)".
std::string KaloTypeName(uint8_t type);

// CRC-16/MODBUS: reflected polynomial 0xA001, initial 0xFFFF, no final XOR.
constexpr uint16_t kCrcInit = 0xFFFF;
uint16_t CrcAddByte(uint16_t crc, uint8_t b);
uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc = kCrcInit);

class TKaloPacket {
public:
    TKaloPacket();
    virtual ~TKaloPacket() = default;

    void SetSize(uint8_t n);
    void Reset();  // prepares the record for receiving
    void ComputeCrc();

    // The whole frame as bytes, with a freshly computed CRC.
    std::vector<uint8_t> Encode();

    // Feeds one received byte (the one after the start byte first). True while more bytes
    // are wanted, false once the packet is complete.
    bool TakeByte(uint8_t b);
    // Payload byte i, or 0 when i >= size, the packet is incomplete or its CRC is wrong.
    uint8_t DataByte(unsigned i) const;
    bool Good() const { return complete && rxCrc == crc; }

    std::string LogLine(bool incoming) const;

    bool complete = false;
    unsigned rxPos = 0;
    uint8_t seq = 0;
    uint8_t type = 0;
    uint8_t size = 0;
    std::vector<uint8_t> payload;
    uint16_t rxCrc = 0;
    uint16_t crc = 0;
};

class TKaloACK : public TKaloPacket {
public:
    explicit TKaloACK(uint8_t seq);
};

class TKaloVersion : public TKaloPacket {
public:
    explicit TKaloVersion(uint8_t seq);
};

class TKaloSetBaud : public TKaloPacket {
public:
    TKaloSetBaud(uint8_t seq, uint8_t rateIndex);
};

class TKaloTable : public TKaloPacket {
public:
    TKaloTable(uint8_t seq, uint8_t type, uint8_t tableId);
    uint8_t tableId;
};

class TKaloTableSize : public TKaloTable {
public:
    TKaloTableSize(uint8_t seq, uint8_t tableId);
};

class TKaloTableData : public TKaloTable {
public:
    TKaloTableData(uint8_t seq, uint8_t tableId);
};

class TKaloReadSensors : public TKaloPacket {
public:
    TKaloReadSensors(uint8_t seq, uint8_t first, uint8_t second);
};

class TKaloReadHWSig : public TKaloPacket {
public:
    explicit TKaloReadHWSig(uint8_t seq);
};

class TKaloBeginFlash : public TKaloPacket {
public:
    explicit TKaloBeginFlash(uint8_t seq);
};

// Receives one packet, the start byte already consumed: Reset, then bytes until the packet
// is complete or a byte times out. True only for a complete packet with a correct CRC.
bool ReceiveKaloPacket(TSerialComm& port, TKaloPacket& packet);

// Where the packet log's lines go: one line at a time, without its line end, to be written
// whole (with its line end) and flushed before the call returns. Each session writes its
// own log, from the control thread.
class TPacketLogSink {
public:
    virtual ~TPacketLogSink() = default;
    virtual void WriteLine(const std::string& line) = 0;
};

// Lines into a stream owned by someone else.
class TStreamLogSink : public TPacketLogSink {
public:
    explicit TStreamLogSink(std::ostream& stream) : stream(stream) {}
    void WriteLine(const std::string& line) override;

private:
    std::ostream& stream;
};
