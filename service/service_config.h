#pragma once

// The service's configuration file: [service], one [line NAME] per serial line, [mqtt]. Read
// with the project's INI rules (settings/profile.h) and checked as a whole, so that --check
// can list every mistake at once, one line each, naming the section and the key.

#include "mqtt_config.h"
#include "variant.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LineConfig {
    std::string Name; // goes into topics and file names: letters, digits, '-' and '_'
    std::string Device;
    ProtocolVariant Variant = ProtocolVariant::Crc;
    uint32_t Baud = 19200;
    uint16_t SpeedIndex = 7;         // into kSpeedTable
    uint16_t TimeoutMs = 300;        // the longest wait for an answer's first byte
    uint16_t ByteGapMs = 24;         // after a byte, a read ends when none came for this long
    std::vector<uint32_t> Addresses; // polled in this order
    int64_t PeriodMs = 1000;         // fixed rate; 0 = back to back
    int64_t GapMs = 0;
    uint32_t OfflineAfter = 3;
    bool ExchangeLog = true;
    bool operator==(const LineConfig&) const = default;
};

struct ServiceConfig {
    std::string DataDir = "/var/lib/instrument-reader";
    uint32_t KeepDays = 0; // 0 keeps every file
    std::vector<LineConfig> Lines;
    MqttConfig Mqtt;
    bool operator==(const ServiceConfig&) const = default;
};

struct ConfigCheck {
    ServiceConfig Config;
    std::vector<std::string> Errors; // "[line a] speed: ..." one per mistake; empty when good
};

// Unknown sections and keys are errors too: a misspelt key would otherwise silently leave its
// default in force on a machine nobody watches. `hostName` gives client_id's and base's
// defaults.
ConfigCheck ParseServiceConfig(std::string_view content, std::string_view hostName);

// "1,2,5-8": numbers 0-255 and ranges, in the order written, none twice; nullopt otherwise.
std::optional<std::vector<uint32_t>> ParseAddressList(std::string_view text);

// "reader-" and the host name (characters outside [A-Za-z0-9_-] dropped), at most 23
// characters, the longest client identifier every broker takes.
std::string DefaultClientId(std::string_view hostName);
