#pragma once

// What the service publishes besides a reading's state (the core's StateJson) and Home
// Assistant discovery: the topics, and a line's diag report. Pure functions without Qt.

#include "output.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Every topic the service publishes under its base: "<base>/status" (no line), a line's
// "<base>/<line>/diag" (no address), an instrument's "<base>/<line>/<address>/state" and
// ".../availability". The line's name is cleaned (CleanName).
std::string ServiceTopic(std::string_view base, std::string_view leaf);
std::string LineTopic(std::string_view base, std::string_view line, std::string_view leaf);
std::string InstrumentTopic(std::string_view base, std::string_view line, uint32_t address,
                            std::string_view leaf);

// {"outcomes":{"ok":..,"too-short":..,"no-frame":..,"checksum-mismatch":..,"no-answer":..,
// "port-failure":..},"exchanges_per_s":..,"overruns":..,"port_reopenings":..,"queue_depth":..,
// "dropped":..}: the counts between `before` and `now` over `seconds`, the queue as it stands.
std::string DiagJson(const LineFigures& now, const LineFigures& before, double seconds,
                     size_t queueDepth, uint64_t dropped);
