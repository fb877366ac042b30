#include "sim/virtualecu.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ecu/ecu.h"
#include "ecu/packet.h"
#include "ecu/protocol.h"
#include "ecu/seriallibrary.h"

namespace {

constexpr TNs kPacketGap =
    std::chrono::milliseconds(100);  // a packet whose bytes pause longer is dropped
constexpr size_t kTranscriptMax = 20000;
constexpr int kLoaderFifoBytes = 2;  // the UART's receive buffer while busy

std::string Hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFF);
    return buf;
}

// Table sizes of the firmware (number: bytes), and their contents.
int TableSize(uint8_t table) {
    switch (table) {
        case 1:
            return 144;  // fuel map, 12 x 12
        case 2:
            return 144;  // spark map, 12 x 12
        case 3:
            return 12;  // RPM axis
        case 4:
            return 12;  // MAP axis
        case 5:
            return 144;  // mixture targets, 12 x 12
        case 7:
            return 64;  // configuration
        default:
            return -1;
    }
}

uint8_t TableByte(uint8_t table, int i) {
    const int row = i / 12;
    const int col = i % 12;
    switch (table) {
        case 1:
            return static_cast<uint8_t>(38 + row * 4 + col * 3);  // VE %
        case 2:
            return static_cast<uint8_t>(10 + col * 2 + (11 - row));  // degrees
        case 3:
            return static_cast<uint8_t>(5 + i * 6);  // RPM / 100
        case 4:
            return static_cast<uint8_t>(20 + i * 8);  // kPa
        case 5:
            return static_cast<uint8_t>(147 - row * 2);  // AFR x 10
        default:
            return static_cast<uint8_t>((i * 37 + 11) & 0xFF);
    }
}

template <typename T>
T Clamp(double v) {
    return static_cast<T>(std::lround(std::clamp(v, 0.0, 65535.0)));
}

}  // namespace

TVirtualEcu::TVirtualEcu(TEcuSimConfig cfg, TNs powerOn)
    : config(std::move(cfg)), now(powerOn), powerOn(powerOn), flash(kFlashBytes, 0xFF) {
    std::copy_n(config.flash.begin(), std::min<size_t>(config.flash.size(), kFlashBytes),
                flash.begin());
    fromHost.Clear(powerOn);
    toHost.Clear(powerOn);
    if (config.startInLoader) {
        hasFirmware = false;
        mode = TMode::Loader;
        bps = config.loaderBps;
    } else {
        mode = TMode::Application;
        bps = config.powerOnBps;
    }
}

// ---------------------------------------------------------------- the line

void TVirtualEcu::HostSent(uint8_t b, TNs start, int hostBps) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!unplugged) {
        fromHost.Send(b, start, BitTime(hostBps));
    }
}

void TVirtualEcu::AdvanceLocked(TNs when) {
    for (;;) {
        const TNs tChar = fromHost.NextEvent(BitTime(bps));
        const TNs tTimer = timers.empty() ? kNever : timers.begin()->first;
        const TNs t = std::min(tChar, tTimer);
        if (t > when) {
            break;
        }
        now = std::max(now, t);
        if (tTimer <= tChar) {
            auto fn = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            fn(tTimer);
            continue;
        }
        TUartLine::TChar ch;
        if (fromHost.Receive(BitTime(bps), t, ch)) {
            OnByte(ch.byte, ch.done);
        }
    }
    now = std::max(now, when);
    if (babble && !unplugged) {
        TopUpBabble(when);
    }
}

void TVirtualEcu::Poll(TNs when, int hostBps, std::vector<uint8_t>& out) {
    std::lock_guard<std::mutex> lock(mutex);
    AdvanceLocked(when);
    TUartLine::TChar ch;
    while (toHost.Receive(BitTime(hostBps), when, ch)) {
        out.push_back(ch.byte);
    }
}

TNs TVirtualEcu::NextEvent(TNs when, int hostBps) {
    std::lock_guard<std::mutex> lock(mutex);
    AdvanceLocked(when);
    TNs next = std::min(fromHost.NextEvent(BitTime(bps)), toHost.NextEvent(BitTime(hostBps)));
    if (!timers.empty()) {
        next = std::min(next, timers.begin()->first);
    }
    return next;
}

void TVirtualEcu::Reply(const std::vector<uint8_t>& bytes, TNs at) {
    if (unplugged || babble) {
        return;  // a babbling transmitter sends nothing else
    }
    for (uint8_t b : bytes) {
        toHost.Send(b, at, BitTime(bps));
    }
}

void TVirtualEcu::ReplyText(const char* text, TNs at) {
    Reply(std::vector<uint8_t>(text, text + std::char_traits<char>::length(text)), at);
}

void TVirtualEcu::ReplyPacket(uint8_t seq, uint8_t type, const std::vector<uint8_t>& payload,
                              TNs at) {
    TKaloPacket p;
    p.seq = seq;
    p.type = type;
    p.size = static_cast<uint8_t>(payload.size());
    p.payload = payload;
    if (wrongSeq > 0) {
        --wrongSeq;
        p.seq = static_cast<uint8_t>(seq + 1);
    }
    std::vector<uint8_t> frame = p.Encode();
    if (corruptCrc > 0) {
        --corruptCrc;
        frame.back() ^= 0x5A;
    }
    Reply(frame, at);
}

void TVirtualEcu::TopUpBabble(TNs when) {
    // Keep a couple of milliseconds of garbage ahead of the present.
    while (toHost.BusyUntil() < when + std::chrono::milliseconds(2)) {
        babbleState ^= babbleState << 13;
        babbleState ^= babbleState >> 17;
        babbleState ^= babbleState << 5;
        toHost.Send(static_cast<uint8_t>(babbleState), when, BitTime(bps));
    }
}

void TVirtualEcu::SetRate(int newBps) {
    if (newBps != bps) {
        bps = newBps;
        ++counters.rateChanges;
    }
}

void TVirtualEcu::Note(std::string line) {
    const bool trigger = !unplugOn.empty() && line.rfind(unplugOn, 0) == 0 &&
                         (line.size() == unplugOn.size() || line[unplugOn.size()] == ' ');
    if (trigger) {
        unplugOn.clear();
        unplugged = true;  // what this command would have answered is lost with the cable
        fromHost.Clear(now);
        toHost.Clear(now);
    }
    if (transcript.size() >= kTranscriptMax) {
        transcript.erase(transcript.begin(), transcript.begin() + kTranscriptMax / 2);
    }
    transcript.push_back(std::move(line));
    ++transcriptTotal;
}

void TVirtualEcu::OnByte(uint8_t b, TNs t) {
    if (mode == TMode::Application) {
        OnAppByte(b, t);
    } else {
        OnLoaderByte(b, t);
    }
}

// ---------------------------------------------------------------- application firmware

void TVirtualEcu::OnAppByte(uint8_t b, TNs t) {
    if (inPacket && t - lastByte > kPacketGap) {
        inPacket = false;  // the rest of that packet never came
    }
    lastByte = t;
    if (inPacket) {
        if (!request.TakeByte(b)) {
            inPacket = false;
            OnPacket(t);
        }
        return;
    }
    if (b == kKaloStart) {
        inPacket = true;
        request.Reset();
        greetingPos = 0;
        return;
    }
    constexpr size_t kGreetingLength = sizeof kFirmwareGreeting - 1;
    if (b == static_cast<uint8_t>(kFirmwareGreeting[greetingPos])) {
        if (++greetingPos == kGreetingLength) {
            greetingPos = 0;
            Note(kFirmwareGreeting);
            ReplyText(kFirmwareGreetingReply, t + config.turnaround);
        }
    } else {
        greetingPos = b == static_cast<uint8_t>(kFirmwareGreeting[0]) ? 1 : 0;
    }
}

void TVirtualEcu::OnPacket(TNs t) {
    const uint8_t seq = request.seq;
    const uint8_t type = request.type;
    const uint8_t size = request.size;
    const std::vector<uint8_t>& payload = request.payload;
    const TNs at = t + config.turnaround;
    const std::string name = KaloTypeName(type) + " seq=" + std::to_string(seq);

    if (!request.Good()) {
        ++counters.badPackets;
        Note("bad CRC " + name);
        ReplyPacket(seq, KALO_NAK, {}, at);
        return;
    }
    ++counters.packets;
    if (dropReplies > 0 && type != KALO_ENTER_FLASH) {
        --dropReplies;
        Note(name + " (no reply)");
        return;
    }
    const uint8_t arg = size > 0 ? payload[0] : 0;
    switch (type) {
        case KALO_ACK:
            Note(name);
            ReplyPacket(seq, KALO_ACK, {}, at);
            return;
        case KALO_GET_VERSION: {
            Note(name);
            std::vector<uint8_t> v(config.version, config.version + kVersionReplyBytes);
            if (shortVersion) {
                v.resize(kVersionReplyBytes - 1);
            }
            ReplyPacket(seq, KALO_GET_VERSION, v, at);
            return;
        }
        case KALO_GET_HWSIG: {
            Note(name);
            std::vector<uint8_t> sig(kHwSigReplyBytes, 0xFF);  // a blank signature EEPROM
            if (config.branded) {
                // The rest of a branded signature: maker's letters and a build date.
                sig = {0, 0, 'K', 'S', 0x20, 0x24, 0x03, 0x15, 0x00, 0x01, 0, 0};
                EncodeHwSig({true, config.boardRev, config.serialNo}, sig);
            }
            ReplyPacket(seq, KALO_GET_HWSIG, sig, at);
            return;
        }
        case KALO_SET_BAUD: {
            const int newBps = BaudCodeToBps(SetBaudCode(arg));
            Note(name + " index=" + std::to_string(arg));
            if (size != 1 || newBps == 0) {
                ReplyPacket(seq, KALO_NAK, {}, at);
                return;
            }
            // The ACK leaves at the old rate; the UART switches once it is out.
            ReplyPacket(seq, KALO_ACK, {}, at);
            const TNs switchAt = unplugged ? at : toHost.BusyUntil();
            timers.emplace(switchAt, [this, newBps](TNs) { SetRate(newBps); });
            return;
        }
        case KALO_GET_TABLESIZE:
        case KALO_GET_TABLEDATA: {
            Note(name + " table=" + std::to_string(arg));
            const int bytes = TableSize(arg);
            if (size != 1 || bytes < 0) {
                ReplyPacket(seq, KALO_NAK, {}, at);
                return;
            }
            std::vector<uint8_t> reply;
            if (type == KALO_GET_TABLESIZE) {
                reply = {arg, static_cast<uint8_t>(bytes & 0xFF), static_cast<uint8_t>(bytes >> 8)};
            } else {
                for (int i = 0; i < std::min(bytes, kKaloMaxPayload); ++i) {
                    reply.push_back(TableByte(arg, i));
                }
            }
            ReplyPacket(seq, type, reply, at);
            return;
        }
        case KALO_READ_SENSORS: {
            Note(name);
            const SensorRecord record = EngineAt(t - powerOn);
            const uint32_t seconds = static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::seconds>(t - powerOn).count());
            // Three status bytes (record layout, engine running, seconds), then the record.
            std::vector<uint8_t> reply(kSensorsReplyBytes);
            reply[0] = 1;
            reply[1] = 0x01;
            reply[2] = static_cast<uint8_t>(seconds & 0xFF);
            std::copy(record.bytes.begin(), record.bytes.end(),
                      reply.begin() + kSensorsRecordOffset);
            if (shortSensors) {
                reply.pop_back();
            }
            ReplyPacket(seq, KALO_READ_SENSORS, reply, at);
            return;
        }
        case KALO_ENTER_FLASH:
            Note(name);
            StartLoader(bps, t);  // at the rate in force, without a reply
            return;
        default:
            Note(name + " (refused)");
            ReplyPacket(seq, KALO_NAK, {}, at);
            return;
    }
}

SensorRecord TVirtualEcu::EngineAt(TNs since) {
    const double s = std::chrono::duration<double>(since).count();
    constexpr double kTwoPi = 6.283185307179586;
    // A 30-second drive cycle: idle, a pull to high load, back to idle.
    const double tp = 0.5 - 0.5 * std::cos(kTwoPi * std::fmod(s, 30.0) / 30.0);
    TSensorValues v;
    v.rpm = Clamp<uint16_t>(850 + 5200 * tp + 12 * std::sin(kTwoPi * 1.3 * s));
    v.map = Clamp<uint16_t>(30 + 70 * tp);
    v.inj = Clamp<uint16_t>(1500 + 9500 * tp);
    v.afr1 = Clamp<uint16_t>(147 - 27 * tp + 3 * std::sin(kTwoPi * 0.7 * s));
    v.afr2 = Clamp<uint16_t>(148 - 27 * tp + 3 * std::sin(kTwoPi * 0.9 * s + 1));
    v.target = Clamp<uint16_t>(147 - 25 * tp);
    v.tps = Clamp<uint8_t>(100 * tp);
    v.clt = Clamp<uint8_t>(40 + std::min(88.0, 20 + s * 0.5));  // degrees C + 40
    v.mat = Clamp<uint8_t>(40 + 28 + 8 * tp);
    v.battRaw = static_cast<uint8_t>(117 + (std::sin(kTwoPi * 0.2 * s) > 0.6 ? 1 : 0));  // 13.8 V
    v.adv = Clamp<uint8_t>(12 + 22 * tp);
    v.egt1 = Clamp<uint16_t>(380 + 480 * tp);
    v.egt2 = Clamp<uint16_t>(372 + 480 * tp + 6 * std::sin(kTwoPi * 0.3 * s));
    return EncodeSensors(v);
}

// ---------------------------------------------------------------- boot loader

void TVirtualEcu::OnLoaderByte(uint8_t b, TNs t) {
    if (t < busyUntil) {
        // Busy erasing or programming: the UART holds two bytes, the rest are lost.
        if (fifo.size() < static_cast<size_t>(kLoaderFifoBytes)) {
            fifo.push_back(b);
        } else {
            ++counters.overruns;
        }
        return;
    }
    OnLoaderCommandByte(b, t);
}

void TVirtualEcu::OnLoaderCommandByte(uint8_t b, TNs t) {
    const TNs at = t + config.turnaround;
    if (command.empty()) {
        switch (b) {
            case kLoaderProgrammerQuery:
                Note("p");
                ReplyText(kLoaderProgrammerReply, at);
                return;
            case kLoaderIdentify:
                Note("S");
                ReplyText(kLoaderIdText, at);
                return;
            case kLoaderErase:
                Note("e");
                ++counters.erases;
                std::fill(flash.begin(), flash.end(), 0xFF);
                hasFirmware = false;
                BusyFor(t, config.erase);
                if (!noEraseAnswer) {
                    Reply({kLoaderAck}, busyUntil);
                }
                return;
            case kLoaderSetAddress:
            case kLoaderWrite:
                break;  // the first byte of a longer command
            case kLoaderExit:
                ++counters.exits;
                if (FlashHoldsProgram()) {
                    Note("E");
                    StartApplication(t);
                } else {
                    Note("E (no firmware, staying in the boot loader)");
                }
                return;
            default:
                Note("? " + Hex4(b));
                ReplyText(kLoaderUnknown, at);
                return;
        }
    }
    command.push_back(b);
    if (command[0] == kLoaderSetAddress) {
        if (command.size() == static_cast<size_t>(kSetAddressBytes)) {
            wordAddress = DecodeSetAddress(command.data());
            Note("A " + Hex4(wordAddress));
            command.clear();
            Reply({kLoaderAck}, at);
        }
        return;
    }
    // The write command: 'D', 'k', 0x00, the block, four check bytes. Like the real loader it
    // takes its whole length, whatever the bytes are, before it looks at any of them: a
    // command cut off by a pulled cable waits for the rest, and takes whatever comes next as
    // its data.
    if (static_cast<int>(command.size()) == cutWriteAt) {
        cutWriteAt = 0;
        Note("D cut after " + std::to_string(command.size()) + " bytes");
        unplugged = true;
        fromHost.Clear(t);
        toHost.Clear(t);
        return;
    }
    if (command.size() == static_cast<size_t>(kWriteCommandBytes)) {
        FinishWrite(t);
        command.clear();
    }
}

void TVirtualEcu::BusyFor(TNs from, TNs duration) {
    // Bytes that arrive meanwhile wait in the FIFO and are taken once the work is done.
    busyUntil = from + duration;
    timers.emplace(busyUntil, [this](TNs when) {
        while (!fifo.empty() && when >= busyUntil && mode == TMode::Loader) {
            const uint8_t next = fifo.front();
            fifo.erase(fifo.begin());
            OnLoaderCommandByte(next, when);
        }
    });
}

void TVirtualEcu::FinishWrite(TNs t) {
    const TWriteCommand write = DecodeWriteCommand(command.data());
    if (!write.programMemory) {
        Note("? D " + Hex4(command[1] << 8 | command[2]));
        ReplyText(kLoaderUnknown, t + config.turnaround);
        return;  // not a write of the program memory: nothing written
    }
    const uint8_t* page = write.block;
    const size_t byteAddress = static_cast<size_t>(wordAddress) * 2;
    const int block = wordAddress / kBlockWords;
    const std::string where = "D " + Hex4(wordAddress);

    if (write.check != BlockCheckWords(page, wordAddress, kBlockBytes) ||
        byteAddress + kBlockBytes > flash.size()) {
        ++counters.rejectedWrites;
        Note(where + " rejected");
        return;  // nothing written, nothing answered
    }
    if (block == nackBlock || nackWrites > 0) {
        if (nackWrites > 0) {
            --nackWrites;
        }
        ++counters.unansweredWrites;
        Note(where + " unanswered");
        return;
    }
    // Programming can only clear bits: an unerased page ends up as the AND of both.
    for (int i = 0; i < kBlockBytes; ++i) {
        flash[byteAddress + i] &= page[i];
    }
    ++counters.pagesWritten;
    Note(where + " ok");
    wordAddress = static_cast<uint16_t>(wordAddress + kBlockWords);
    BusyFor(t, config.page);
    Reply({kLoaderAck}, busyUntil);
}

bool TVirtualEcu::FlashHoldsProgram() const {
    return std::any_of(flash.begin(), flash.end(), [](uint8_t b) { return b != 0xFF; });
}

void TVirtualEcu::StartApplication(TNs) {
    mode = TMode::Application;
    hasFirmware = true;
    inPacket = false;
    greetingPos = 0;
    ++counters.firmwareStarts;
    SetRate(config.powerOnBps);
}

void TVirtualEcu::StartLoader(int loaderBps, TNs) {
    mode = TMode::Loader;
    command.clear();
    fifo.clear();
    busyUntil = TNs(0);
    ++counters.loaderEntries;
    SetRate(loaderBps);
}

// ---------------------------------------------------------------- switches and observations

void TVirtualEcu::SetUnplugged(bool on, TNs when) {
    std::lock_guard<std::mutex> lock(mutex);
    AdvanceLocked(when);
    if (on && !unplugged) {
        fromHost.Clear(when);
        toHost.Clear(when);
    }
    unplugged = on;
}

void TVirtualEcu::CorruptCrc(int n) {
    std::lock_guard<std::mutex> lock(mutex);
    corruptCrc = n;
}

void TVirtualEcu::WrongSeq(int n) {
    std::lock_guard<std::mutex> lock(mutex);
    wrongSeq = n;
}

void TVirtualEcu::DropReplies(int n) {
    std::lock_guard<std::mutex> lock(mutex);
    dropReplies = n;
}

void TVirtualEcu::SetShortSensors(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    shortSensors = on;
}

void TVirtualEcu::SetShortVersion(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    shortVersion = on;
}

void TVirtualEcu::NackBlock(int block) {
    std::lock_guard<std::mutex> lock(mutex);
    nackBlock = block;
}

void TVirtualEcu::NackWrites(int n) {
    std::lock_guard<std::mutex> lock(mutex);
    nackWrites = n;
}

void TVirtualEcu::SetNoEraseAnswer(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    noEraseAnswer = on;
}

void TVirtualEcu::SetBabble(bool on, TNs when) {
    std::lock_guard<std::mutex> lock(mutex);
    AdvanceLocked(when);
    babble = on;
    if (babble && !unplugged) {
        TopUpBabble(when);
    }
}

void TVirtualEcu::CutWrite(int bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    cutWriteAt = bytes > 0 && bytes < kWriteCommandBytes ? bytes : 0;
}

void TVirtualEcu::UnplugOn(std::string prefix) {
    std::lock_guard<std::mutex> lock(mutex);
    unplugOn = std::move(prefix);
}

void TVirtualEcu::DropToLoader(TNs when) {
    std::lock_guard<std::mutex> lock(mutex);
    AdvanceLocked(when);
    hasFirmware = false;
    RestartLocked(when);
}

void TVirtualEcu::PowerCycle(TNs when) {
    std::lock_guard<std::mutex> lock(mutex);
    AdvanceLocked(when);
    RestartLocked(when);
}

void TVirtualEcu::RestartLocked(TNs when) {
    // A reset forgets what was under way: pending rate switches, replies not yet sent.
    timers.clear();
    toHost.Clear(when);
    powerOn = when;
    if (hasFirmware) {
        StartApplication(when);
    } else {
        StartLoader(config.loaderBps, when);
    }
}

TVirtualEcu::TMode TVirtualEcu::Mode() const {
    std::lock_guard<std::mutex> lock(mutex);
    return mode;
}

int TVirtualEcu::BaudBps() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bps;
}

bool TVirtualEcu::Unplugged() const {
    std::lock_guard<std::mutex> lock(mutex);
    return unplugged;
}

std::vector<std::string> TVirtualEcu::Transcript() const {
    std::lock_guard<std::mutex> lock(mutex);
    return transcript;
}

std::vector<std::string> TVirtualEcu::TranscriptSince(uint64_t& seen) const {
    std::lock_guard<std::mutex> lock(mutex);
    const uint64_t firstKept = transcriptTotal - transcript.size();
    const uint64_t from = std::max(seen, firstKept) - firstKept;
    seen = transcriptTotal;
    if (from >= transcript.size()) {
        return {};
    }
    return {transcript.begin() + static_cast<std::ptrdiff_t>(from), transcript.end()};
}

void TVirtualEcu::ClearTranscript() {
    std::lock_guard<std::mutex> lock(mutex);
    transcript.clear();
}

std::vector<uint8_t> TVirtualEcu::Flash() const {
    std::lock_guard<std::mutex> lock(mutex);
    return flash;
}

TEcuSimCounters TVirtualEcu::Counters() const {
    std::lock_guard<std::mutex> lock(mutex);
    return counters;
}
