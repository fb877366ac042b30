// The virtual ECU's fault switches, as one table: brindle-ecusim makes its start-up options,
// its runtime "fault" commands and their help from it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/virtualecu.h"

// What a fault takes: a count (or a block number, -1 for none), on/off, or a text.
enum class TFaultArg { Count, Block, Switch, Text };

struct TFaultValue {
    int number = 0;
    bool on = false;
    std::string text;
};

struct TFault {
    const char* option;   // the start-up option ("--corrupt-crc"); null: runtime only
    const char* command;  // the runtime command ("fault crc", "babble"); null: start-up only
    TFaultArg arg;
    const char* help;
    void (*apply)(TVirtualEcu& ecu, const TFaultValue& value, TNs now);
};

const std::vector<TFault>& Faults();

// The fault an option names, or null.
const TFault* FaultForOption(const std::string& option);
// Reads the value that follows `fault`'s option or command ("3", "on", "D 0x1000"); for an
// option of a switch there is no value (`text` is ignored) and the value is "on". Nothing
// when the text does not fit.
std::optional<TFaultValue> ParseFaultValue(const TFault& fault, const std::string& text,
                                           bool asOption);
// For a runtime command line: the fault it names and the rest of the line after the command.
const TFault* FaultForCommand(const std::string& line, std::string& rest);

// The help's lines for the options and for the runtime commands, each aligned at `column`.
std::string FaultOptionsHelp(size_t column);
std::string FaultCommandsHelp(size_t column);
