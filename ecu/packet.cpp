#include "ecu/packet.h"

#include <array>
#include <memory>
#include <mutex>
#include <ostream>

#include "ecu/serialcomm.h"

namespace {

const std::array<uint16_t, 256>& CrcTable() {
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t value = 0;
            uint16_t data = static_cast<uint16_t>(i);
            for (int bit = 0; bit < 8; ++bit) {
                if ((value ^ data) & 1) {
                    value = static_cast<uint16_t>((value >> 1) ^ 0xA001);
                } else {
                    value = static_cast<uint16_t>(value >> 1);
                }
                data = static_cast<uint16_t>(data >> 1);
            }
            t[i] = value;
        }
        return t;
    }();
    return table;
}

const char* const kTypeNames[] = {
    "NAK",           "ACK",           "GET_VERSION",  "SET_BAUD",  "GET_TABLESIZE",
    "GET_TABLEDATA", "SET_TABLEDATA", "READ_SENSORS", "GET_HWSIG", "ENTER_FLASH",
};

}  // namespace

std::string KaloTypeName(uint8_t type) {
    if (type < std::size(kTypeNames)) {
        return kTypeNames[type];
    }
    return "UNKNOWN(" + std::to_string(type) + ")";
}

uint16_t CrcAddByte(uint16_t crc, uint8_t b) {
    return static_cast<uint16_t>((crc >> 8) ^ CrcTable()[(crc ^ b) & 0xFF]);
}

uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc = CrcAddByte(crc, data[i]);
    }
    return crc;
}

TKaloPacket::TKaloPacket() {
    CrcTable();
}

void TKaloPacket::SetSize(uint8_t n) {
    payload.assign(n, 0);
    size = n;
}

void TKaloPacket::Reset() {
    complete = false;
    rxPos = 0;
    seq = 0;
    type = 0;
    size = 0;
    payload.clear();
    rxCrc = 0;
}

void TKaloPacket::ComputeCrc() {
    uint16_t c = kCrcInit;
    c = CrcAddByte(c, seq);
    c = CrcAddByte(c, type);
    c = CrcAddByte(c, size);
    crc = Crc16(payload.data(), payload.size(), c);
}

std::vector<uint8_t> TKaloPacket::Encode() {
    ComputeCrc();
    std::vector<uint8_t> frame;
    frame.reserve(kKaloHeaderBytes + payload.size() + kKaloCrcBytes);
    frame.push_back(kKaloStart);
    frame.push_back(seq);
    frame.push_back(type);
    frame.push_back(size);
    for (uint8_t b : payload) {
        frame.push_back(b);
    }
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

bool TKaloPacket::TakeByte(uint8_t b) {
    const unsigned p = rxPos++;
    if (p == 0) {
        seq = b;
    } else if (p == 1) {
        type = b;
    } else if (p == 2) {
        SetSize(b);
    } else if (p < 3u + size) {
        payload[p - 3] = b;
    } else if (p == 3u + size) {
        rxCrc = b;
    } else {
        rxCrc = static_cast<uint16_t>(rxCrc | (b << 8));
        complete = true;
        ComputeCrc();
        return false;
    }
    return true;
}

uint8_t TKaloPacket::DataByte(unsigned i) const {
    if (i >= size || !Good()) {
        return 0;
    }
    return payload[i];
}

std::string TKaloPacket::LogLine(bool incoming) const {
    static const char kHex[] = "0123456789abcdef";
    std::string line = incoming ? "Incoming" : "Outgoing";
    line += " packet typ(" + KaloTypeName(type) + ") seq(" + std::to_string(seq) + ") size(" +
            std::to_string(size) + ") CRC(";
    if (incoming) {
        line += std::to_string(rxCrc) + "," + std::to_string(crc);
    } else {
        line += std::to_string(crc);
    }
    line += ") Data(";
    if (size == 0) {
        line += "(none)";
    }
    for (unsigned i = 0; i < size; ++i) {
        if (i > 0) {
            line += ',';
        }
        const uint8_t v = payload[i];
        if (v >= 16) {
            line += kHex[v >> 4];
        }
        line += kHex[v & 15];
    }
    line += ")";
    return line;
}

TKaloACK::TKaloACK(uint8_t s) {
    seq = s;
    type = KALO_ACK;
}

TKaloVersion::TKaloVersion(uint8_t s) {
    seq = s;
    type = KALO_GET_VERSION;
}

TKaloSetBaud::TKaloSetBaud(uint8_t s, uint8_t rateIndex) {
    seq = s;
    type = KALO_SET_BAUD;
    SetSize(1);
    payload[0] = rateIndex;
}

TKaloTable::TKaloTable(uint8_t s, uint8_t t, uint8_t id) : tableId(id) {
    seq = s;
    type = t;
    SetSize(1);
    payload[0] = id;
}

TKaloTableSize::TKaloTableSize(uint8_t s, uint8_t id) : TKaloTable(s, KALO_GET_TABLESIZE, id) {}

TKaloTableData::TKaloTableData(uint8_t s, uint8_t id) : TKaloTable(s, KALO_GET_TABLEDATA, id) {}

TKaloReadSensors::TKaloReadSensors(uint8_t s, uint8_t first, uint8_t second) {
    seq = s;
    type = KALO_READ_SENSORS;
    SetSize(3);
    payload[0] = first;
    payload[1] = 0;
    payload[2] = second;
}

TKaloReadHWSig::TKaloReadHWSig(uint8_t s) {
    seq = s;
    type = KALO_GET_HWSIG;
}

TKaloBeginFlash::TKaloBeginFlash(uint8_t s) {
    seq = s;
    type = KALO_ENTER_FLASH;
}

bool ReceiveKaloPacket(TSerialComm& port, TKaloPacket& packet) {
    packet.Reset();
    uint8_t b = 0;
    while (port.ReceiveByte(b)) {
        if (!packet.TakeByte(b)) {
            break;
        }
        // Once the size is known, let the rest of the packet arrive before taking it.
        if (packet.rxPos == 3 && !port.AwaitBytes(packet.size + kKaloCrcBytes)) {
            return false;
        }
    }
    return packet.Good();
}

void TStreamLogSink::WriteLine(const std::string& line) {
    stream << line << std::endl;
}
