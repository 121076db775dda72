#pragma once

// Home Assistant MQTT discovery: what the service announces of itself, its lines and its
// instruments, as (topic, retained payload) pairs. Pure functions of the configuration.
//
// A device for the service itself (the bridge: its host, the program's version) carries each
// line's diag figures; each instrument is a device "via" it, with a sensor per channel value
// (unknown while the channel reports a break or an error), a problem binary sensor per channel,
// binary sensors for relays, inputs, control buffers and keys (off by default unless named or
// enabled), and diagnostics: exchange time, status number, connectivity, last seen. Entities
// keep their unique ids ("instrument_reader_<host>_<line>_<address>_<entity>") whatever the
// names, so Home Assistant keeps their history.

#include "service_config.h"

#include <string>
#include <utility>
#include <vector>

using Announcement = std::pair<std::string, std::string>; // topic, payload

struct DiscoveryContext {
    std::string Prefix;  // "homeassistant"
    std::string Base;    // the service's base topic
    std::string Host;    // the machine
    std::string Version; // the program's
};

// Seconds after which Home Assistant shows a value as unavailable: three periods, at least 30.
int64_t ExpireAfterS(int64_t periodMs);

// The unique id of the service's own device; every id of the service starts with it and '_'.
std::string BridgeId(const std::string& host);

// One instrument's announcements.
std::vector<Announcement> InstrumentDiscovery(const DiscoveryContext& context,
                                              const LineConfig& line, uint32_t address,
                                              const InstrumentNaming& naming);
// A line's diag figures, as entities of the service's device.
std::vector<Announcement> LineDiscovery(const DiscoveryContext& context, const LineConfig& line);
// Everything the configuration announces.
std::vector<Announcement> AllDiscovery(const DiscoveryContext& context,
                                       const ServiceConfig& config);

// Whether a retained discovery config (its topic and payload) is one this service announced:
// its id is one of the service's and its state topic lies under the service's base.
bool IsOwnDiscovery(const DiscoveryContext& context, const std::string& topic,
                    const std::string& payload);
