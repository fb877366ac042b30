#include "ecu/serialcomm.h"

#include <algorithm>
#include <cstring>

#include "ecu/clock.h"
#include "ecu/seriallibrary.h"
#include "ecu/settingsstore.h"

int BaudCodeToBps(int code) {
    switch (code) {
        case 5:
            return 9600;
        case 6:
            return 19200;
        case 7:
            return 38400;
        case 8:
            return 57600;
        case 9:
            return 115200;
        default:
            return 0;
    }
}

int BpsToBaudCode(int bps) {
    for (int code = kBaudCodeMin; code <= kBaudCodeMax; ++code) {
        if (BaudCodeToBps(code) == bps) {
            return code;
        }
    }
    return 0;
}

namespace {
struct TSetting {
    const char* name;
    int32_t TSerialComm::*field;
    int32_t min, max;  // the values the program knows
    const char* meaning;
};
constexpr const char kBaudMeaning[] = "a rate code (5 to 9 for 9600 to 115200 bit/s)";
constexpr TSetting kSettings[] = {
    {TSerialComm::kComPortName, &TSerialComm::comPort, 0, kComPorts - 1,
     "a port (0 to 7 for Com1 to Com8)"},
    {TSerialComm::kInitBaudName, &TSerialComm::initBaud, kBaudCodeMin, kBaudCodeMax, kBaudMeaning},
    {TSerialComm::kCommBaudName, &TSerialComm::commBaud, kBaudCodeMin, kBaudCodeMax, kBaudMeaning},
    {TSerialComm::kLoaderBaudName, &TSerialComm::loaderBaud, kBaudCodeMin, kBaudCodeMax,
     kBaudMeaning},
};
}  // namespace

std::vector<std::string> TSerialComm::RangeWarnings() const {
    std::vector<std::string> warnings;
    for (const TSetting& s : kSettings) {
        const int32_t value = this->*s.field;
        if (value < s.min || value > s.max) {
            warnings.push_back(std::string("the setting ") + s.name + "=" + std::to_string(value) +
                               " is not " + s.meaning + "; it is used as it is");
        }
    }
    return warnings;
}

TSerialComm::TSerialComm(TSerialLibrary& library, TSettingsStore& store, TClock& clock)
    : library(library), store(store), clock(clock) {
    if (!LoadSettings()) {
        SaveSettings();
    }
}

TSerialComm::~TSerialComm() {
    Close();
}

void TSerialComm::Close() {
    if (isOpen) {
        library.Close(comPort);
        isOpen = false;
    }
}

bool TSerialComm::LoadSettings() {
    if (!store.Open()) {
        return true;  // keep the current values and write nothing
    }
    bool complete = true;
    for (const TSetting& s : kSettings) {
        int32_t value = 0;
        // A value that is not an integer counts as missing, so the default is written back.
        if (store.ReadInt(s.name, value) == TSettingsStore::TRead::Ok) {
            this->*s.field = value;
        } else {
            complete = false;
        }
    }
    store.Close();
    return complete;
}

bool TSerialComm::SaveSettings() {
    if (!store.Open()) {
        return false;
    }
    bool ok = true;
    for (const TSetting& s : kSettings) {
        if (!store.WriteInt(s.name, this->*s.field)) {
            ok = false;
            break;
        }
    }
    store.Close();
    return ok;
}

bool TSerialComm::Open() {
    if (isOpen) {
        return false;
    }
    library.SetLineFormat(TSerialLibrary::kAllPorts, 0, 0, 8);
    if (library.Reset(comPort, kQueueBytes, kQueueBytes) != 0) {
        openError = library.LastError(comPort);
        return false;
    }
    openError.clear();
    library.SetBaud(comPort, initBaud);
    // Record the rate actually on the line, so the session's rate check compares with it.
    curBaud = initBaud;
    isOpen = true;
    return true;
}

bool TSerialComm::SetBaud(int code) {
    if (!isOpen) {
        return false;
    }
    // Let the bytes already queued leave at the old rate.
    while (library.TxQueueLength(comPort) > 0 && !WaitsCancelled()) {
        clock.SleepMs(10);
    }
    if (!WaitsCancelled()) {
        clock.SleepMs(25);
    }
    curBaud = code;
    return library.SetBaud(comPort, code) >= 0;
}

int TSerialComm::SendByte(uint8_t b) {
    return library.PutByte(comPort, b);
}

void TSerialComm::SendText(const char* text) {
    library.PutBlock(comPort, reinterpret_cast<const uint8_t*>(text),
                     static_cast<int>(std::strlen(text)));
}

void TSerialComm::SendBlock(const uint8_t* buffer, int length) {
    if (length > 0) {
        library.PutBlock(comPort, buffer, length);
    }
}

bool TSerialComm::ReceiveByte(uint8_t& b) {
    if (!lookahead.empty()) {
        b = lookahead.front();
        lookahead.pop_front();
        return true;
    }
    const int64_t start = clock.NowUs();
    const int64_t limitUs = static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        const int r = library.GetByte(comPort);
        if (r != TSerialLibrary::kNoByte) {
            b = static_cast<uint8_t>(r & 0xFF);
            return true;
        }
        if (WaitsCancelled() || clock.NowUs() - start > limitUs) {
            return false;
        }
        // The 5 ms pause between polls ends as soon as a byte arrives.
        library.WaitReadable(comPort, 5);
    }
}

bool TSerialComm::WaitForText(const char* text) {
    const size_t len = std::strlen(text);
    rxText.clear();
    if (len == 0) {
        return true;
    }
    for (;;) {
        uint8_t b = 0;
        if (!ReceiveByte(b)) {
            return false;
        }
        if (rxText.size() >= kRxTextMax) {
            rxText.erase(0, rxText.size() - kRxTextMax / 2);
        }
        rxText.push_back(static_cast<char>(b));
        // The text counts wherever it ends, also after a partial match such as "OOK\r\n".
        if (rxText.size() >= len && rxText.compare(rxText.size() - len, len, text) == 0) {
            return true;
        }
    }
}

bool TSerialComm::AwaitBytes(int count) {
    const int bps = BaudCodeToBps(curBaud);
    // Ten bit times per byte; at an unknown rate, look again every millisecond.
    const int64_t byteUs = bps > 0 ? (10'000'000 + bps - 1) / bps : 1000;
    constexpr int64_t kLongestSleepUs = 20'000;
    int64_t lastArrival = clock.NowUs();
    for (;;) {
        // Take what has arrived so far; ReceiveByte hands it out first.
        bool arrived = false;
        for (int r; static_cast<int>(lookahead.size()) < count &&
                    (r = library.GetByte(comPort)) != TSerialLibrary::kNoByte;) {
            lookahead.push_back(static_cast<uint8_t>(r & 0xFF));
            arrived = true;
        }
        const int have = static_cast<int>(lookahead.size());
        if (have >= count) {
            return true;
        }
        if (arrived) {
            lastArrival = clock.NowUs();
        }
        if (WaitsCancelled() || clock.NowUs() - lastArrival > timeoutMs * 1000LL) {
            lookahead.clear();  // the caller gives the packet up, and what came of it with it
            return false;
        }
        clock.SleepUs(std::min<int64_t>((count - have) * byteUs, kLongestSleepUs));
    }
}

void TSerialComm::Flush() {
    const int64_t start = clock.NowUs();
    int discarded = 0;
    uint8_t b = 0;
    while (ReceiveByte(b)) {
        if (++discarded >= kFlushMaxBytes || clock.NowUs() - start >= kFlushMaxMs * 1000LL) {
            return;  // a line that keeps talking would otherwise hold the caller for ever
        }
    }
}
