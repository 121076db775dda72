#include "service_config.h"

#include "address_list.h"
#include "ha_classes.h"
#include "line_choices.h"
#include "names.h"
#include "profile.h"
#include "speed_table.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace {

constexpr size_t kMaxValueBytes = 1023;

// Whether the text is valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > text.size())
            return false;
        uint32_t code = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next >> 6) != 2)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

std::string Quoted(const std::string& value) {
    return "\"" + value + "\"";
}

// One section's keys checked against the keys it may have; each reader below records its
// own error naming the key.
class SectionReader {
public:
    SectionReader(const ProfileSection& section, std::string label,
                  std::vector<std::string>& errors)
        : m_section(section), m_label(std::move(label)), m_errors(errors) {}

    void Error(std::string_view key, const std::string& what) {
        m_errors.push_back(m_label + " " + std::string(key) + ": " + what);
    }

    std::optional<std::string> Text(std::string_view key) {
        m_known.insert(std::string(key));
        std::optional<std::string> found;
        for (const auto& [name, value] : m_section.Keys)
            if (Lower(name) == key) {
                if (found) {
                    Error(key, "given twice");
                    break;
                }
                found = value;
            }
        // Refused rather than cut: a cut value would be another value than the one written.
        if (found && found->size() > kMaxValueBytes) {
            Error(key, "longer than " + std::to_string(kMaxValueBytes) + " bytes");
            return std::nullopt;
        }
        return found;
    }
    void String(std::string_view key, std::string& out) {
        if (auto text = Text(key))
            out = *text;
    }
    template <typename T> void Number(std::string_view key, T& out, int64_t low, int64_t high) {
        const auto text = Text(key);
        if (!text)
            return;
        const auto value = ParseProfileInteger(*text);
        if (!value || *value < low || *value > high)
            Error(key, Quoted(*text) + " is not a number from " + std::to_string(low) + " to " +
                           std::to_string(high));
        else
            out = T(*value);
    }
    void YesNo(std::string_view key, bool& out) {
        const auto text = Text(key);
        if (!text)
            return;
        const std::string value = Lower(*text);
        if (value == "yes" || value == "true" || value == "1")
            out = true;
        else if (value == "no" || value == "false" || value == "0")
            out = false;
        else
            Error(key, Quoted(*text) + " is neither yes nor no");
    }
    // Call after every key has been read.
    void RefuseUnknownKeys() {
        for (const auto& [name, value] : m_section.Keys)
            if (!m_known.count(Lower(name)))
                Error(name, "unknown key");
    }

private:
    const ProfileSection& m_section;
    std::string m_label;
    std::vector<std::string>& m_errors;
    std::set<std::string> m_known;
};

void ReadLine(SectionReader& in, LineConfig& line) {
    if (auto device = in.Text("device"); device && !device->empty())
        line.Device = *device;
    else
        in.Error("device", "missing: the serial device, e.g. /dev/serial/by-id/...");

    if (auto variant = in.Text("variant")) {
        if (const auto named = VariantNamed(Lower(*variant)))
            line.Variant = *named;
        else
            in.Error("variant", Quoted(*variant) + " is neither crc nor sum");
    } else {
        in.Error("variant", "missing: crc or sum");
    }

    if (auto speed = in.Text("speed")) {
        const auto baud = ParseProfileInteger(*speed);
        const auto row = std::find_if(kSpeedTable.begin(), kSpeedTable.end(),
                                      [&](const SpeedRow& r) { return baud && r.Baud == *baud; });
        if (row == kSpeedTable.end()) {
            std::string list;
            for (const SpeedRow& r : kSpeedTable)
                list += (list.empty() ? "" : ", ") + std::to_string(r.Baud);
            in.Error("speed", Quoted(*speed) + " is not one of " + list);
        } else {
            line.Baud = row->Baud;
            line.SpeedIndex = uint16_t(row - kSpeedTable.begin());
        }
    }
    in.Number("timeout", line.TimeoutMs, 1, 65535);
    // By default a gap as long as the speed's interval time-out in the readers.
    line.ByteGapMs = uint16_t(kSpeedTable[line.SpeedIndex].PerByteMs);
    in.Number("byte_gap", line.ByteGapMs, 1, 65535);

    if (auto addresses = in.Text("addresses")) {
        if (auto list = ParseAddressList(*addresses))
            line.Addresses = std::move(*list);
        else
            in.Error("addresses", Quoted(*addresses) +
                                      " is not a list of addresses 0-255 like 1,2,5-8 (each once)");
    } else {
        in.Error("addresses", "missing: the instruments' addresses, e.g. 1,2,5-8");
    }
    in.Number("period", line.PeriodMs, 0, 86400000);
    in.Number("gap", line.GapMs, 0, 60000);
    in.Number("offline_after", line.OfflineAfter, 1, 1000);
    in.YesNo("exchange_log", line.ExchangeLog);
}

void ReadMqtt(SectionReader& in, MqttConfig& mqtt) {
    in.String("host", mqtt.Host);
    in.Number("port", mqtt.Port, 1, 65535);
    if (auto id = in.Text("client_id")) {
        if (id->empty() || id->size() > 23 || !std::all_of(id->begin(), id->end(), IsNameChar))
            in.Error("client_id", Quoted(*id) + " must be 1 to 23 letters, digits, '-' or '_'");
        else
            mqtt.ClientId = *id;
    }
    if (auto base = in.Text("base")) {
        if (base->empty() || base->find_first_of("+#") != std::string::npos ||
            base->front() == '/' || base->back() == '/' || base->find('\0') != std::string::npos)
            in.Error("base",
                     Quoted(*base) + " is no topic prefix (empty, '+' or '#', or a '/' at an end)");
        else if (!IsUtf8(*base))
            in.Error("base", "is not UTF-8, which MQTT topics must be");
        else
            mqtt.Base = *base;
    }
    in.Number("qos", mqtt.Qos, 0, 1);
    in.YesNo("retain", mqtt.Retain);
    in.Number("keepalive", mqtt.KeepaliveS, 5, 65535);
    in.Number("diag_interval", mqtt.DiagIntervalS, 1, 86400);
    in.String("username", mqtt.Username);
    in.String("password_file", mqtt.PasswordFile);
    if (!mqtt.PasswordFile.empty() && mqtt.Username.empty())
        in.Error("password_file", "given without username: the broker would never get it");
    in.String("tls_ca", mqtt.TlsCa);
    in.String("tls_cert", mqtt.TlsCert);
    in.String("tls_key", mqtt.TlsKey);
    if (mqtt.TlsCert.empty() != mqtt.TlsKey.empty())
        in.Error(mqtt.TlsCert.empty() ? "tls_cert" : "tls_key", "tls_cert and tls_key go together");
    in.YesNo("discovery", mqtt.Discovery);
    if (auto prefix = in.Text("discovery_prefix")) {
        if (prefix->empty() || prefix->find_first_of("+#") != std::string::npos || !IsUtf8(*prefix))
            in.Error("discovery_prefix", Quoted(*prefix) + " is no topic prefix");
        else
            mqtt.DiscoveryPrefix = *prefix;
    }
}

// The keys every network listener has: listen, allow, max_clients, idle_timeout.
void ReadListener(SectionReader& in, ListenConfig& listener, uint16_t defaultPort) {
    listener.Enabled = true;
    listener.Port = defaultPort;
    listener.Allow = LoopbackOnly();
    if (auto listen = in.Text("listen")) {
        if (const auto parsed = ParseListen(*listen)) {
            listener.Address = parsed->first;
            listener.Port = parsed->second;
        } else {
            in.Error("listen",
                     Quoted(*listen) +
                         " is not ADDRESS:PORT (an IPv6 address in brackets: [::1]:PORT)");
        }
    }
    if (auto allow = in.Text("allow")) {
        if (auto rules = ParseAllowList(*allow))
            listener.Allow = std::move(*rules);
        else
            in.Error("allow", Quoted(*allow) +
                                  " is not a list of addresses and networks like 10.0.0.0/8, ::1");
    }
    in.Number("max_clients", listener.MaxClients, 1, 1000);
    in.Number("idle_timeout", listener.IdleTimeoutS, 1, 86400);
}

// The gateway's own keys: float_order, offline and unit_ids.LINE (checked against the lines once
// every section is read).
void ReadModbus(SectionReader& in, const ProfileSection& section, ModbusConfig& modbus) {
    static const std::pair<const char*, FloatOrder> kOrders[] = {{"abcd", FloatOrder::Abcd},
                                                                 {"cdab", FloatOrder::Cdab},
                                                                 {"badc", FloatOrder::Badc},
                                                                 {"dcba", FloatOrder::Dcba}};
    if (auto order = in.Text("float_order")) {
        const auto found = std::find_if(std::begin(kOrders), std::end(kOrders),
                                        [&](const auto& o) { return Lower(*order) == o.first; });
        if (found == std::end(kOrders))
            in.Error("float_order", Quoted(*order) + " is none of abcd, cdab, badc, dcba");
        else
            modbus.Gateway.Order = found->second;
    }
    if (auto offline = in.Text("offline")) {
        if (Lower(*offline) == "exception" || Lower(*offline) == "stale")
            modbus.Gateway.Offline =
                Lower(*offline) == "stale" ? OfflineMode::Stale : OfflineMode::Exception;
        else
            in.Error("offline", Quoted(*offline) + " is neither exception nor stale");
    }
    for (const auto& [rawKey, value] : section.Keys) {
        const std::string key = Lower(rawKey);
        if (!key.starts_with("unit_ids.") || modbus.UnitIds.count(key.substr(9)))
            continue;
        const auto text = in.Text(key);
        auto ids = text ? ParseAddressList(*text) : std::nullopt;
        // A list in error stays empty: its line's ids are not checked further.
        std::vector<uint32_t>& kept = modbus.UnitIds[key.substr(9)];
        if (ids &&
            std::all_of(ids->begin(), ids->end(), [](uint32_t id) { return id >= 1 && id <= 247; }))
            kept = std::move(*ids);
        else if (text)
            in.Error(key, Quoted(*text) + " is not a list of unit ids 1-247 like 11,12,15-18 "
                                          "(each once)");
    }
}

// Every unit id of every instrument: within 1-247 and none twice.
void CheckUnitIds(const ServiceConfig& config, std::vector<std::string>& errors) {
    std::map<uint32_t, std::string> taken; // unit id -> the instrument that has it
    for (const auto& entry : config.Modbus.UnitIds) {
        const std::string& line = entry.first;
        const auto& ids = entry.second;
        const auto found = std::find_if(config.Lines.begin(), config.Lines.end(),
                                        [&](const LineConfig& l) { return Lower(l.Name) == line; });
        if (found == config.Lines.end())
            errors.push_back("[modbus] unit_ids." + line + ": no such line");
        else if (!ids.empty() && ids.size() != found->Addresses.size())
            errors.push_back("[modbus] unit_ids." + line + ": " + std::to_string(ids.size()) +
                             " unit ids for the line's " + std::to_string(found->Addresses.size()) +
                             " addresses");
    }
    for (const LineConfig& line : config.Lines) {
        const std::vector<uint32_t> ids = UnitIdsOf(config.Modbus, line);
        if (ids.size() != line.Addresses.size())
            continue; // told above
        for (size_t i = 0; i < ids.size(); ++i) {
            const std::string who =
                "[line " + line.Name + "] address " + std::to_string(line.Addresses[i]);
            const std::string fix = " (give the line its own with unit_ids." + line.Name + ")";
            if (ids[i] < 1 || ids[i] > 247)
                errors.push_back("[modbus] unit ids: " + who + " would be unit id " +
                                 std::to_string(ids[i]) + ", outside 1-247" + fix);
            else if (auto [it, added] = taken.emplace(ids[i], who); !added)
                errors.push_back("[modbus] unit ids: unit id " + std::to_string(ids[i]) +
                                 " is both " + it->second + " and " + who + fix);
        }
    }
}

// Reads [instrument LINE ADDRESS]: the device's name, and chN.KEY, relayN.KEY, inputN.KEY,
// controlN.KEY, keyN.KEY (KEY name or enabled; a channel also unit, device_class, state_class
// and precision).
void ReadInstrument(const ProfileSection& section, const std::string& label,
                    InstrumentNaming& naming, std::vector<std::string>& errors) {
    std::set<std::string> seen;
    for (const auto& entry : section.Keys) {
        // Named, not bound: the lambdas below take them (clang 14 takes no structured binding).
        const std::string& rawKey = entry.first;
        const std::string& value = entry.second;
        const std::string key = Lower(rawKey);
        const auto error = [&](const std::string& what) {
            errors.push_back(label + " " + rawKey + ": " + what);
        };
        if (!seen.insert(key).second) {
            error("given twice");
            continue;
        }
        if (value.size() > kMaxValueBytes) {
            error("longer than " + std::to_string(kMaxValueBytes) + " bytes");
            continue;
        }
        if (!IsUtf8(value)) {
            error("is not UTF-8");
            continue;
        }
        if (key == "name") {
            naming.Name = value;
            continue;
        }
        const size_t dot = key.find('.');
        size_t digits = 0;
        while (digits < dot && dot != std::string::npos && key[dot - 1 - digits] >= '0' &&
               key[dot - 1 - digits] <= '9')
            ++digits;
        const std::string kind = dot == std::string::npos ? key : key.substr(0, dot - digits);
        const std::string field = dot == std::string::npos ? "" : key.substr(dot + 1);
        const int number =
            digits == 0 || digits > 2 ? 0 : std::stoi(key.substr(dot - digits, digits));
        const auto yesNo = [&](std::optional<bool>& out) {
            const std::string v = Lower(value);
            if (v == "yes" || v == "true" || v == "1")
                out = true;
            else if (v == "no" || v == "false" || v == "0")
                out = false;
            else
                error(Quoted(value) + " is neither yes nor no");
        };
        FlagNaming* flag = nullptr;
        if (kind == "relay" && number >= 1 && number <= 16)
            flag = &naming.Relays[size_t(number - 1)];
        else if (kind == "input" && number >= 1 && number <= 4)
            flag = &naming.Inputs[size_t(number - 1)];
        else if (kind == "control" && number >= 1 && number <= 2)
            flag = &naming.Controls[size_t(number - 1)];
        else if (kind == "key" && number >= 1 && number <= 10)
            flag = &naming.Keys[size_t(number - 1)];
        if (flag && field == "name") {
            flag->Name = value;
        } else if (flag && field == "enabled") {
            yesNo(flag->Enabled);
        } else if (kind == "ch" && number >= 1 && number <= 12) {
            ChannelNaming& channel = naming.Channels[size_t(number - 1)];
            if (field == "name") {
                channel.Name = value;
            } else if (field == "unit") {
                channel.Unit = value;
            } else if (field == "device_class") {
                channel.DeviceClass = value;
            } else if (field == "state_class") {
                if (value == "measurement" || value == "total" || value == "total_increasing")
                    channel.StateClass = value;
                else
                    error(Quoted(value) + " is none of measurement, total, total_increasing");
            } else if (field == "precision") {
                const auto digitsAfter = ParseProfileInteger(value);
                if (digitsAfter && *digitsAfter >= 0 && *digitsAfter <= 6)
                    channel.Precision = int(*digitsAfter);
                else
                    error(Quoted(value) + " is not a number from 0 to 6");
            } else if (field == "enabled") {
                std::optional<bool> enabled;
                yesNo(enabled);
                channel.Enabled = enabled.value_or(true);
            } else {
                error("unknown key");
            }
        } else {
            error("unknown key (name, chN.name, .unit, .device_class, .state_class, "
                  ".precision, .enabled; relayN, inputN, controlN, keyN .name, .enabled)");
        }
    }
    for (size_t i = 0; i < naming.Channels.size(); ++i) {
        const ChannelNaming& channel = naming.Channels[i];
        if (const auto wrong = CheckSensorUnit(channel.DeviceClass, channel.Unit))
            errors.push_back(label + " ch" + std::to_string(i + 1) + ": " + *wrong);
    }
}

// The default base before one cleaning rule held for names: unsafe characters dropped.
std::string DroppedUnsafe(std::string_view hostName) {
    std::string out;
    for (char c : hostName)
        if (IsNameChar(c))
            out += c;
    return out.empty() ? "localhost" : out;
}

// FNV-1a: a short, stable digest of a host name.
uint32_t NameHash(std::string_view text) {
    uint32_t hash = 2166136261u;
    for (const char c : text)
        hash = (hash ^ uint8_t(c)) * 16777619u;
    return hash;
}

} // namespace

std::string DefaultClientId(std::string_view hostName) {
    const std::string id = "reader-" + CleanName(hostName);
    if (id.size() <= 23)
        return id;
    char hash[8];
    std::snprintf(hash, sizeof hash, "-%06x", NameHash(hostName) & 0xFFFFFFu);
    return id.substr(0, 16) + hash;
}

std::string DefaultBase(std::string_view hostName) {
    return "instrument-reader/" + CleanName(hostName);
}

std::string EarlierDefaultBase(std::string_view hostName) {
    return "instrument-reader/" + DroppedUnsafe(hostName);
}

std::vector<uint32_t> UnitIdsOf(const ModbusConfig& modbus, const LineConfig& line) {
    const auto found = modbus.UnitIds.find(Lower(line.Name));
    return found != modbus.UnitIds.end() ? found->second : line.Addresses;
}

const InstrumentNaming& ServiceConfig::NamingOf(const std::string& line, uint32_t address) const {
    static const InstrumentNaming kDefault;
    for (const InstrumentNaming& naming : Instruments)
        if (naming.Line == line && naming.Address == address)
            return naming;
    return kDefault;
}

ConfigCheck ParseServiceConfig(std::string_view content, std::string_view hostName) {
    ConfigCheck check;
    ServiceConfig& config = check.Config;
    std::set<std::string> seen;
    std::map<std::string, std::string> devices; // device -> line
    for (const ProfileSection& section : ProfileSections(content)) {
        const std::string name = Lower(section.Name);
        const std::string label = "[" + section.Name + "]";
        if (!seen.insert(name).second) {
            check.Errors.push_back(label + " section given twice");
            continue;
        }
        SectionReader in(section, label, check.Errors);
        if (name == "service") {
            in.String("data_dir", config.DataDir);
            if (config.DataDir.empty())
                in.Error("data_dir", "empty");
            in.Number("keep_days", config.KeepDays, 0, 36500);
        } else if (name == "mqtt") {
            ReadMqtt(in, config.Mqtt);
        } else if (name == "modbus") {
            ReadListener(in, config.Modbus.Listen, 5020);
            ReadModbus(in, section, config.Modbus);
        } else if (name == "http") {
            ReadListener(in, config.Http.Listen, 8047);
        } else if (name.starts_with("instrument ")) {
            InstrumentNaming naming;
            std::istringstream words(section.Name.substr(11));
            std::string lineName, address, rest;
            words >> lineName >> address >> rest;
            const auto number = ParseProfileInteger(address);
            if (lineName.empty() || !number || *number < 0 || *number > 255 || !rest.empty() ||
                address.find_first_not_of("0123456789") != std::string::npos) {
                check.Errors.push_back(label + " must be [instrument LINE ADDRESS]");
                continue;
            }
            naming.Line = lineName;
            naming.Address = uint32_t(*number);
            ReadInstrument(section, label, naming, check.Errors);
            config.Instruments.push_back(std::move(naming));
            continue;
        } else if (name.starts_with("line ") || name == "line") {
            LineConfig line;
            std::string_view lineName = std::string_view(section.Name).substr(4);
            while (!lineName.empty() && lineName.front() == ' ')
                lineName.remove_prefix(1);
            line.Name = std::string(lineName);
            if (line.Name.empty() || line.Name.size() > 64 ||
                !std::all_of(line.Name.begin(), line.Name.end(), IsNameChar))
                check.Errors.push_back(label +
                                       " the line's name must be 1 to 64 letters, digits, '-' "
                                       "or '_' (it names topics and folders)");
            ReadLine(in, line);
            if (!line.Device.empty()) {
                // Two names (a link under /dev/serial/by-id and the device) for one device
                // are one device.
                std::error_code error;
                const std::string resolved =
                    std::filesystem::weakly_canonical(line.Device, error).string();
                if (auto [it, added] = devices.emplace(error ? line.Device : resolved, line.Name);
                    !added)
                    in.Error("device", "already used by [line " + it->second + "]");
            }
            config.Lines.push_back(std::move(line));
        } else {
            check.Errors.push_back(label + " unknown section");
            continue;
        }
        in.RefuseUnknownKeys();
    }
    if (config.Lines.empty())
        check.Errors.push_back("[line NAME] missing: no serial line to poll");
    for (const InstrumentNaming& naming : config.Instruments) {
        const auto line = std::find_if(config.Lines.begin(), config.Lines.end(),
                                       [&](const LineConfig& l) { return l.Name == naming.Line; });
        if (line == config.Lines.end() || std::find(line->Addresses.begin(), line->Addresses.end(),
                                                    naming.Address) == line->Addresses.end())
            check.Errors.push_back("[instrument " + naming.Line + " " +
                                   std::to_string(naming.Address) +
                                   "] no such instrument: no line of that name polls that address");
    }
    if (config.Modbus.Listen.Enabled)
        CheckUnitIds(config, check.Errors);
    if (config.Mqtt.ClientId.empty())
        config.Mqtt.ClientId = DefaultClientId(hostName);
    if (config.Mqtt.Base.empty())
        config.Mqtt.Base = DefaultBase(hostName);
    return check;
}
