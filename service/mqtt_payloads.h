#pragma once

// What the service publishes besides a reading's state (the core's StateJson): the topics, the
// Home Assistant discovery messages of an instrument, and a line's diag report. Pure functions
// without Qt.

#include "output.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A topic level made from a name: letters, digits, '-' and '_' are kept, every other byte
// (separators, wildcards, spaces, non-ASCII) becomes '_'. An empty name gives "_".
std::string CleanTopicPart(std::string_view name);

// Every topic the service publishes under its base: "<base>/status" (no line), a line's
// "<base>/<line>/diag" (no address), an instrument's "<base>/<line>/<address>/state" and
// ".../availability". The line's name is cleaned.
std::string ServiceTopic(std::string_view base, std::string_view leaf);
std::string LineTopic(std::string_view base, std::string_view line, std::string_view leaf);
std::string InstrumentTopic(std::string_view base, std::string_view line, uint32_t address,
                            std::string_view leaf);

struct DiscoveryInput {
    std::string Prefix; // "homeassistant"
    std::string Base;   // the service's base topic
    std::string Host;   // the machine, part of the identifiers
    std::string Line;   // the line's name
    uint32_t Address = 0;
    int64_t PeriodMs = 0; // between two visits of the instrument
};

// Seconds after which Home Assistant shows a value as unavailable: three periods, at least 30.
int64_t ExpireAfterS(int64_t periodMs);

// One instrument's discovery messages as (topic, retained payload): 12 sensors (the channels'
// values) then 16 binary sensors for the relays and 4 for the inputs.
std::vector<std::pair<std::string, std::string>> DiscoveryMessages(const DiscoveryInput& input);

// {"outcomes":{"ok":..,"too-short":..,"no-frame":..,"checksum-mismatch":..,"no-answer":..,
// "port-failure":..},"exchanges_per_s":..,"overruns":..,"port_reopenings":..,"queue_depth":..,
// "dropped":..}: the counts between `before` and `now` over `seconds`, the queue as it stands.
std::string DiagJson(const LineFigures& now, const LineFigures& before, double seconds,
                     size_t queueDepth, uint64_t dropped);
