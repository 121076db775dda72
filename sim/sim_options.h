#pragma once

// instrument-sim's command line: the options and their checks.

#include "sim_core.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

extern const char kSimUsage[];

struct SimOptions {
    std::optional<ProtocolVariant> Variant; // the one answered; none: both
    std::vector<uint32_t> Addresses{1};
    ReadingKind Reading = ReadingKind::Live;
    BusFaults Faults;
    uint32_t TurnaroundMs = 0;
    bool Pace = false;
    uint32_t Baud = 19200;
    std::string Device;
    std::string Link;
    bool Verbose = false;
    std::string Replay;
    bool ReplayTiming = false;
    uint32_t ReplayCapMs = 10000;
};

// "crc", "sum" or "both" (none).
std::optional<std::optional<ProtocolVariant>> ParseVariantChoice(const std::string& text);

enum class OptionsResult { Run, Help, Version, Wrong };
// Reads argv into `options`; Wrong with the message to print in `error`.
OptionsResult ParseSimOptions(int argc, char** argv, SimOptions& options, std::string& error);
