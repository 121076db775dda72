#pragma once

// What the commands share on their command line: failures that end a command, option values,
// the options of every command that reads logs, and --help.

#include "variant.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A failure that ends the command with status 2; thrown, so that a half-written output is
// removed on the way out.
struct ToolError {
    std::string Message;
};
[[noreturn]] void Fail(const std::string& message);

// Takes the value after the option argv[i], or fails.
std::string ValueOf(int& i, int argc, char** argv);

struct LogOptions {
    std::optional<ProtocolVariant> Variant;
    std::optional<uint32_t> Network; // only this instrument's exchanges
    bool Verbose = false;
    std::vector<std::string> Files;
};

// Takes argv[i] as an option every log command knows (--variant, --network, --verbose) or as
// a LOG;
// fails on an unknown option.
void LogOption(LogOptions& options, int& i, int argc, char** argv);

// Prints `help` (and what LOG means, for a command that reads logs) when --help or -h is among
// the arguments.
bool AskedForHelp(int argc, char** argv, const char* help, bool readsLogs);

// The count of malformed parts, unless --verbose listed them.
void ReportMalformed(uint64_t malformed, bool verbose);
