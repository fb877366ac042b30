#include "fuzz/scriptedline.h"

#include <algorithm>

#include "ecu/packet.h"
#include "firmware/ihexfile.h"

int64_t DelayUs(uint8_t code) {
    code &= 0x7F;
    if (code < 64) {
        return code * 100LL;
    }
    if (code < 96) {
        return (code - 64) * 5'000LL;
    }
    return (code - 96) * 100'000LL;
}

std::vector<TChunk> DecodeChunks(const uint8_t* data, size_t size) {
    std::vector<TChunk> chunks;
    size_t i = 0;
    while (i < size) {
        TChunk c;
        c.reactive = (data[i] & 0x80) != 0;
        c.delayCode = data[i] & 0x7F;
        ++i;
        const size_t length = i < size ? data[i++] : 0;
        const size_t take = std::min(length, size - i);
        c.bytes.assign(data + i, data + i + take);
        i += take;
        chunks.push_back(std::move(c));
    }
    return chunks;
}

void RepairFrameCrcs(std::vector<TChunk>& chunks) {
    for (TChunk& c : chunks) {
        std::vector<uint8_t>& b = c.bytes;
        size_t i = 0;
        while (i + kKaloHeaderBytes <= b.size() && b[i] == kKaloStart) {
            const size_t crcAt = i + kKaloHeaderBytes + b[i + 3];
            if (crcAt + kKaloCrcBytes > b.size()) {
                break;
            }
            const uint16_t crc = Crc16(&b[i + 1], crcAt - i - 1);
            b[crcAt] = static_cast<uint8_t>(crc & 0xFF);
            b[crcAt + 1] = static_cast<uint8_t>(crc >> 8);
            i = crcAt + kKaloCrcBytes;
        }
    }
}

TScriptedPeer::TScriptedPeer(std::chrono::nanoseconds start, std::vector<TChunk> script)
    : chunks(std::move(script)), lastArrival(start) {
    Release(start, false);
}

void TScriptedPeer::Release(std::chrono::nanoseconds now, bool hostPut) {
    while (nextChunk < chunks.size()) {
        const TChunk& c = chunks[nextChunk];
        const std::chrono::microseconds delay(DelayUs(c.delayCode));
        std::chrono::nanoseconds at{};
        if (!c.reactive) {
            at = lastArrival + delay;
        } else if (hostPut && now >= lastArrival && now > lastRelease) {
            // One burst of puts (the bytes of one command, all put at one instant) releases
            // one answer.
            at = now + delay;
            lastRelease = now;
            hostPut = false;
        } else {
            return;
        }
        due.emplace_back(at, c.bytes);
        lastArrival = at;
        ++nextChunk;
    }
}

void TScriptedPeer::Poll(std::chrono::nanoseconds when, int, std::vector<uint8_t>& out) {
    while (!due.empty() && due.front().first <= when) {
        out.insert(out.end(), due.front().second.begin(), due.front().second.end());
        due.pop_front();
    }
}

std::chrono::nanoseconds TScriptedPeer::NextEvent(std::chrono::nanoseconds, int) {
    return due.empty() ? std::chrono::nanoseconds::max() : due.front().first;
}

std::vector<uint8_t> TScriptedPeer::AllBytes() const {
    std::vector<uint8_t> all;
    for (const TChunk& c : chunks) {
        all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    }
    return all;
}

void FillUploadImage(TIHexFile& image, int usedLength) {
    std::fill(image.data.begin(), image.data.end(), 0xFF);
    for (int i = 0; i < usedLength; ++i) {
        image.data[i] = static_cast<uint8_t>(i * 29 + 7 + (i >> 8));
    }
    if (usedLength > 0) {
        image.data[usedLength - 1] = 0x00;
    }
    image.usedLength = usedLength;
}
