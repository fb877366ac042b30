#include "sim/faults.h"

#include <cstdlib>

namespace {

constexpr int kMaxCount = 1 << 30;

std::string ArgName(const TFault& f, bool asOption) {
    switch (f.arg) {
        case TFaultArg::Count:
            return " N";
        case TFaultArg::Block:
            return " K";
        case TFaultArg::Switch:
            return asOption ? "" : " on|off";
        case TFaultArg::Text:
            return " PREFIX";
    }
    return "";
}

constexpr size_t kHelpWidth = 94;

// "  LEFT   help", the help wrapped at word ends and continued at `column`.
std::string Row(const std::string& left, const std::string& help, size_t column) {
    std::string text = "  " + left;
    std::string line;
    if (text.size() + 2 <= column) {
        line = text + std::string(column - text.size(), ' ');
        text.clear();
    } else {
        line = std::string(column, ' ');  // a long left side stands on a line of its own
        text += "\n";
    }
    size_t pos = 0;
    bool first = true;
    while (pos < help.size()) {
        size_t end = help.find(' ', pos);
        end = end == std::string::npos ? help.size() : end;
        const std::string word = help.substr(pos, end - pos);
        if (!first && line.size() + 1 + word.size() > kHelpWidth) {
            text += line + "\n";
            line = std::string(column, ' ') + word;
        } else {
            line += (first ? "" : " ") + word;
        }
        first = false;
        pos = end + 1;
    }
    return text + line + "\n";
}

}  // namespace

const std::vector<TFault>& Faults() {
    static const std::vector<TFault> faults = {
        {"--unplugged", nullptr, TFaultArg::Switch, "no answer at all (at run time: unplug)",
         [](TVirtualEcu& e, const TFaultValue& v, TNs now) { e.SetUnplugged(v.on, now); }},
        {"--corrupt-crc", "fault crc", TFaultArg::Count,
         "the next N packet replies carry a wrong CRC",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.CorruptCrc(v.number); }},
        {"--wrong-seq", "fault seq", TFaultArg::Count,
         "the next N packet replies carry another sequence number",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.WrongSeq(v.number); }},
        {"--drop", "fault drop", TFaultArg::Count, "the next N packet requests get no reply",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.DropReplies(v.number); }},
        {"--short-sensors", "fault short-sensors", TFaultArg::Switch,
         "READ_SENSORS replies of 26 bytes instead of 27",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.SetShortSensors(v.on); }},
        {"--short-version", "fault short-version", TFaultArg::Switch,
         "GET_VERSION replies of 2 bytes instead of 3",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.SetShortVersion(v.on); }},
        {"--nack-block", "fault nack-block", TFaultArg::Block,
         "writes of block K are never acknowledged (-1: none)",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.NackBlock(v.number); }},
        {"--nack-writes", "fault nack-writes", TFaultArg::Count,
         "the next N block writes are not acknowledged",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.NackWrites(v.number); }},
        {"--no-erase-answer", "fault no-erase", TFaultArg::Switch,
         "the erase is never acknowledged",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.SetNoEraseAnswer(v.on); }},
        {nullptr, "fault unplug-on", TFaultArg::Text,
         "pull the cable when the host's next command starting with PREFIX arrives, as "
         "\"status\"/\"transcript\" name them (SET_BAUD, e, D 0x1000, E)",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.UnplugOn(v.text); }},
        {nullptr, "fault cut-write", TFaultArg::Count,
         "pull the cable once N of the next block write's 263 bytes are in, leaving the boot "
         "loader inside that command",
         [](TVirtualEcu& e, const TFaultValue& v, TNs) { e.CutWrite(v.number); }},
        {"--babble", "babble", TFaultArg::Switch, "continuous garbage on the line",
         [](TVirtualEcu& e, const TFaultValue& v, TNs now) { e.SetBabble(v.on, now); }},
    };
    return faults;
}

const TFault* FaultForOption(const std::string& option) {
    for (const TFault& f : Faults()) {
        if (f.option && option == f.option) {
            return &f;
        }
    }
    return nullptr;
}

const TFault* FaultForCommand(const std::string& line, std::string& rest) {
    for (const TFault& f : Faults()) {
        const std::string command = f.command ? f.command : "";
        if (!command.empty() && line.rfind(command + " ", 0) == 0) {
            rest = line.substr(command.size() + 1);
            return &f;
        }
    }
    return nullptr;
}

std::optional<TFaultValue> ParseFaultValue(const TFault& fault, const std::string& text,
                                           bool asOption) {
    TFaultValue v;
    switch (fault.arg) {
        case TFaultArg::Count:
        case TFaultArg::Block: {
            char* end = nullptr;
            const long n = std::strtol(text.c_str(), &end, 0);
            const long lo = fault.arg == TFaultArg::Block ? -1 : 0;
            const long hi = fault.arg == TFaultArg::Block ? 511 : kMaxCount;
            if (text.empty() || *end != '\0' || n < lo || n > hi) {
                return std::nullopt;
            }
            v.number = static_cast<int>(n);
            return v;
        }
        case TFaultArg::Switch:
            if (asOption || text == "on") {
                v.on = true;
            } else if (text != "off") {
                return std::nullopt;
            }
            return v;
        case TFaultArg::Text:
            if (text.empty()) {
                return std::nullopt;
            }
            v.text = text;
            return v;
    }
    return std::nullopt;
}

std::string FaultOptionsHelp(size_t column) {
    std::string help;
    for (const TFault& f : Faults()) {
        if (f.option) {
            help += Row(f.option + ArgName(f, true), f.help, column);
        }
    }
    return help;
}

std::string FaultCommandsHelp(size_t column) {
    std::string help;
    for (const TFault& f : Faults()) {
        if (f.command) {
            help += Row(f.command + ArgName(f, false), f.help, column);
        }
    }
    return help;
}
