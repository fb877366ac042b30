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

TSerialComm::TSerialComm(TSerialLibrary& library, TSettingsStore& store, TClock& clock,
                         TCommOverride override)
    : library(library), store(store), clock(clock) {
    if (!LoadSettings()) {
        SaveSettings();
    }
    // For this run only: nothing here is written back.
    if (override.comPort >= 0) {
        comPort = override.comPort;
    }
    if (override.commBaud > 0) {
        commBaud = override.commBaud;
    }
}

TCommSettings TSerialComm::Settings() const {
    return {comPort, initBaud, commBaud, loaderBaud};
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
    TCommSettings settings = Settings();
    const bool complete = settings.Load(store);
    comPort = settings.comPort;
    initBaud = settings.initBaud;
    commBaud = settings.commBaud;
    loaderBaud = settings.loaderBaud;
    return complete;
}

bool TSerialComm::SaveSettings() {
    return Settings().Save(store);
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
    using std::chrono::milliseconds;
    while (library.TxQueueLength(comPort) > 0 && !WaitsCancelled()) {
        clock.Sleep(milliseconds(10));
    }
    if (!WaitsCancelled()) {
        clock.Sleep(milliseconds(25));
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
    return ReceiveByte(b, timeoutMs);
}

bool TSerialComm::ReceiveByte(uint8_t& b, std::chrono::milliseconds timeout) {
    if (!lookahead.empty()) {
        b = lookahead.front();
        lookahead.pop_front();
        return true;
    }
    const auto start = clock.Now();
    for (;;) {
        const int r = library.GetByte(comPort);
        if (r != TSerialLibrary::kNoByte) {
            b = static_cast<uint8_t>(r & 0xFF);
            return true;
        }
        if (WaitsCancelled() || clock.Now() - start > timeout) {
            return false;
        }
        library.WaitReadable(comPort, kPollPause);
    }
}

bool TSerialComm::WaitForText(const char* text) {
    return WaitForText(text, timeoutMs);
}

bool TSerialComm::WaitForText(const char* text, std::chrono::milliseconds timeout) {
    const size_t len = std::strlen(text);
    rxText.clear();
    if (len == 0) {
        return true;
    }
    for (;;) {
        uint8_t b = 0;
        if (!ReceiveByte(b, timeout)) {
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
    using std::chrono::microseconds;
    const int bps = BaudCodeToBps(curBaud);
    // Ten bit times per byte; at an unknown rate, look again every millisecond.
    const microseconds byteTime(bps > 0 ? (10'000'000 + bps - 1) / bps : 1000);
    constexpr microseconds kLongestSleep{20'000};
    auto lastArrival = clock.Now();
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
            lastArrival = clock.Now();
        }
        if (WaitsCancelled() || clock.Now() - lastArrival > timeoutMs) {
            lookahead.clear();  // the caller gives the packet up, and what came of it with it
            return false;
        }
        clock.Sleep(std::min((count - have) * byteTime, kLongestSleep));
    }
}

void TSerialComm::Flush() {
    const auto start = clock.Now();
    int discarded = 0;
    uint8_t b = 0;
    while (ReceiveByte(b)) {
        if (++discarded >= kFlushMaxBytes || clock.Now() - start >= kFlushMax) {
            return;  // a line that keeps talking would otherwise hold the caller for ever
        }
    }
}
