#pragma once

// The service's configuration file: [service], one [line NAME] per serial line, [mqtt]. Read
// with the project's INI rules (settings/profile.h) and checked as a whole, so that --check
// can list every mistake at once, one line each, naming the section and the key.

#include "listen_config.h"
#include "modbus_map.h"
#include "mqtt_config.h"
#include "variant.h"

#include <array>
#include <cstdint>
#include <map>
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

// What a plant calls one channel of an instrument, for Home Assistant: empty texts and unset
// numbers leave Home Assistant's own choice.
struct ChannelNaming {
    std::string Name;        // default "Channel N"
    std::string Unit;        // unit_of_measurement
    std::string DeviceClass; // one Home Assistant knows for sensors
    std::string StateClass;  // default measurement
    int Precision = -1;      // suggested_display_precision, 0-6; -1 unset
    bool Enabled = true;
    bool operator==(const ChannelNaming&) const = default;
};
// A relay, input, control buffer or key: announced disabled unless named or enabled.
struct FlagNaming {
    std::string Name;
    std::optional<bool> Enabled;
    bool IsEnabled() const { return Enabled.value_or(!Name.empty()); }
    bool operator==(const FlagNaming&) const = default;
};
// [instrument LINE ADDRESS]
struct InstrumentNaming {
    std::string Line;
    uint32_t Address = 0;
    std::string Name; // the device's name; default "Instrument LINE ADDRESS on HOST"
    std::array<ChannelNaming, 12> Channels{};
    std::array<FlagNaming, 16> Relays{};
    std::array<FlagNaming, 4> Inputs{};
    std::array<FlagNaming, 2> Controls{};
    std::array<FlagNaming, 10> Keys{}; // in KeyFlags order
    bool operator==(const InstrumentNaming&) const = default;
};

// [modbus]: the Modbus TCP gateway (default 127.0.0.1:5020).
//   float_order=abcd|cdab|badc|dcba   how a float lies in its two registers
//   offline=exception|stale           what an offline instrument answers
//   unit_ids.LINE=LIST                the line's unit ids, one per address in its order
//                                     (default: the addresses themselves)
struct ModbusConfig {
    ListenConfig Listen;
    GatewaySettings Gateway;
    std::map<std::string, std::vector<uint32_t>> UnitIds; // by the line's name in lower case
    bool operator==(const ModbusConfig&) const = default;
};

// [http]: the status page, the JSON API, the event stream and the metrics (default
// 127.0.0.1:8047).
struct HttpConfig {
    ListenConfig Listen;
    bool operator==(const HttpConfig&) const = default;
};

struct ServiceConfig {
    std::string DataDir = "/var/lib/instrument-reader";
    uint32_t KeepDays = 0; // 0 keeps every file
    std::vector<LineConfig> Lines;
    std::vector<InstrumentNaming> Instruments; // only those the configuration names
    MqttConfig Mqtt;
    ModbusConfig Modbus;
    HttpConfig Http;
    bool operator==(const ServiceConfig&) const = default;

    // The naming of an instrument, or the defaults when the configuration has none.
    const InstrumentNaming& NamingOf(const std::string& line, uint32_t address) const;
};

// The unit id of each of the line's addresses, in their order.
std::vector<uint32_t> UnitIdsOf(const ModbusConfig& modbus, const LineConfig& line);

struct ConfigCheck {
    ServiceConfig Config;
    std::vector<std::string> Errors; // "[line a] speed: ..." one per mistake; empty when good
};

// Unknown sections and keys are errors too: a misspelt key would otherwise silently leave its
// default in force on a machine nobody watches. `hostName` gives client_id's and base's
// defaults.
ConfigCheck ParseServiceConfig(std::string_view content, std::string_view hostName);

// "reader-" and the host name cleaned as topic levels are (CleanName), at most 23 characters,
// the longest client identifier every broker takes: a longer one keeps its first characters
// and ends in a hash of the whole host name, so that hosts whose names share their start
// differ.
std::string DefaultClientId(std::string_view hostName);
// The base topic without [mqtt] base: "instrument-reader/" and the host name cleaned.
std::string DefaultBase(std::string_view hostName);
// The default base of earlier versions, which dropped the unsafe characters of the host name
// instead of replacing them; its retained topics are cleared when it differs.
std::string EarlierDefaultBase(std::string_view hostName);
