#include "tests/support/fakeserial.h"

#include <algorithm>

int TFakeSerialLibrary::Reset(int p, int, int) {
    std::lock_guard<std::mutex> lock(mutex);
    ++resets;
    if (failReset) {
        lastError = "/dev/fake" + std::to_string(p) + ": " + resetReason;
        return -1;
    }
    open = true;
    lastError.clear();
    return 0;
}

int TFakeSerialLibrary::SetBaud(int, int code) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!open || failSetBaud || BaudCodeToBps(code) == 0) {
        return -1;
    }
    baudCode = code;
    baudHistory.push_back(code);
    return 0;
}

int TFakeSerialLibrary::Close(int) {
    std::lock_guard<std::mutex> lock(mutex);
    open = false;
    return 0;
}

int TFakeSerialLibrary::TxQueueLength(int) {
    std::lock_guard<std::mutex> lock(mutex);
    const int64_t now = clock.Now().count();
    return static_cast<int>(
        std::find_if(sent.rbegin(), sent.rend(), [&](const TSent& s) { return s.endUs <= now; }) -
        sent.rbegin());
}

bool TFakeSerialLibrary::AvailableLocked(int64_t now) {
    if (peer) {
        std::vector<uint8_t> bytes;
        peer->Poll(std::chrono::nanoseconds(now * 1000), BaudCodeToBps(baudCode), bytes);
        ready.insert(ready.end(), bytes.begin(), bytes.end());
    }
    while (!scripted.empty() && scripted.front().first <= now) {
        ready.push_back(scripted.front().second);
        scripted.pop_front();
    }
    return !ready.empty();
}

int TFakeSerialLibrary::GetByte(int) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!open || !AvailableLocked(clock.Now().count())) {
        return kNoByte;
    }
    const uint8_t b = ready.front();
    ready.pop_front();
    traffic.push_back({false, b, clock.Now().count()});
    return b;
}

int TFakeSerialLibrary::PutLocked(const uint8_t* bytes, int count) {
    ++putCalls;
    if (!open) {
        return -1;
    }
    const int64_t now = clock.Now().count();
    const int bps = BaudCodeToBps(baudCode);
    for (int i = 0; i < count; ++i) {
        const int64_t startNs = std::max(now * 1000, txEndNs);
        // Ten bit times per byte: start bit, eight data bits, stop bit.
        txEndNs = startNs + 10 * ((1'000'000'000LL + bps / 2) / bps);
        sent.push_back({bytes[i], now, startNs / 1000, (txEndNs + 999) / 1000, baudCode});
        traffic.push_back({true, bytes[i], now});
        if (peer) {
            peer->HostSent(bytes[i], std::chrono::nanoseconds(startNs), bps);
        }
    }
    if (count > 0) {
        ReleaseLocked(now, true);
    }
    return count;
}

int TFakeSerialLibrary::PutByte(int port, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    return PutBlock(port, &b, 1) == 1 ? 0 : -1;
}

int TFakeSerialLibrary::PutBlock(int, const uint8_t* bytes, int count) {
    std::lock_guard<std::mutex> lock(mutex);
    return PutLocked(bytes, count);
}

bool TFakeSerialLibrary::WaitReadable(int, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    const int64_t deadline = clock.Now().count() +
                             std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    for (;;) {
        const int64_t now = clock.Now().count();
        if (open && AvailableLocked(now)) {
            return true;
        }
        if (now >= deadline) {
            return false;
        }
        int64_t next = deadline;
        if (open && !scripted.empty()) {
            next = std::min(next, scripted.front().first);
        }
        if (open && peer) {
            const int64_t peerNs =
                peer->NextEvent(std::chrono::nanoseconds(now * 1000), BaudCodeToBps(baudCode))
                    .count();
            if (peerNs != INT64_MAX) {
                next = std::min(next, (peerNs + 999) / 1000);
            }
        }
        next = std::max(next, now + 1);
        lock.unlock();
        clock.Sleep(std::chrono::microseconds(next - now));
        lock.lock();
    }
}

void TFakeSerialLibrary::AddInput(const std::vector<uint8_t>& bytes, int64_t atUs) {
    std::lock_guard<std::mutex> lock(mutex);
    AddInputLocked(bytes, atUs);
}

void TFakeSerialLibrary::AddInputLocked(const std::vector<uint8_t>& bytes, int64_t atUs) {
    auto at = std::upper_bound(scripted.begin(), scripted.end(), atUs,
                               [](int64_t t, const auto& e) { return t < e.first; });
    for (uint8_t b : bytes) {
        at = scripted.insert(at, {atUs, b}) + 1;
    }
}

std::vector<TFakeSerialLibrary::TChunk> TFakeSerialLibrary::DecodeScript(const uint8_t* data,
                                                                         size_t size) {
    // The delay of a control byte's bits 0-6: 0.1 ms steps from code 0, 5 ms steps from code
    // 64, 100 ms steps from code 96.
    constexpr int64_t kFirstCode[] = {0, 0, 64, 96};
    constexpr int64_t kStepUs[] = {100, 100, 5'000, 100'000};
    std::vector<TChunk> chunks;
    size_t i = 0;
    while (i < size) {
        const int code = data[i] & 0x7F;
        TChunk c{(data[i++] & 0x80) != 0, (code - kFirstCode[code >> 5]) * kStepUs[code >> 5], {}};
        const size_t length = i < size ? data[i++] : 0;
        const size_t take = std::min(length, size - i);
        c.bytes.assign(data + i, data + i + take);
        i += take;
        chunks.push_back(std::move(c));
    }
    return chunks;
}

void TFakeSerialLibrary::PlayScript(std::vector<TChunk> chunks) {
    std::lock_guard<std::mutex> lock(mutex);
    script = std::move(chunks);
    nextChunk = 0;
    lastArrivalUs = clock.Now().count();
    lastReleaseUs = INT64_MIN;
    ReleaseLocked(lastArrivalUs, false);
}

void TFakeSerialLibrary::ReleaseLocked(int64_t now, bool hostPut) {
    for (; nextChunk < script.size(); ++nextChunk) {
        const TChunk& c = script[nextChunk];
        if (c.reactive) {
            // One burst of puts (one command, put at one instant) releases one answer.
            if (!hostPut || now < lastArrivalUs || now <= lastReleaseUs) {
                return;
            }
            lastArrivalUs = now;
            lastReleaseUs = now;
            hostPut = false;
        }
        lastArrivalUs += c.delayUs;
        AddInputLocked(c.bytes, lastArrivalUs);
    }
}

std::vector<uint8_t> TFakeSerialLibrary::SentBytes() const {
    std::vector<uint8_t> bytes;
    for (const TSent& s : Sent()) {
        bytes.push_back(s.byte);
    }
    return bytes;
}

size_t TFakeSerialLibrary::SentCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sent.size();
}

void TFakeSerialLibrary::SetFailReset(bool fail, std::string reason) {
    std::lock_guard<std::mutex> lock(mutex);
    failReset = fail;
    resetReason = std::move(reason);
}
