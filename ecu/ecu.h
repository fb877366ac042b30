// The link session with the ECU.
#pragma once

// The running firmware's greeting and its answer.
constexpr char kFirmwareGreeting[] = "Mas";
constexpr char kFirmwareGreetingReply[] = "OK\r\n";
