#include "mqtt_payloads.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

// A minimal JSON writer: the caller calls Key before every member of an object, and the writer
// puts the commas.
class JsonText {
public:
    JsonText& Begin(char bracket) {
        Separate();
        m_text += bracket;
        m_first = true;
        return *this;
    }
    JsonText& End(char bracket) {
        m_text += bracket;
        m_first = false;
        return *this;
    }
    JsonText& Key(std::string_view key) {
        Separate();
        AppendString(key);
        m_text += ':';
        m_first = true; // the value follows without a comma
        return *this;
    }
    JsonText& String(std::string_view value) {
        Separate();
        AppendString(value);
        return *this;
    }
    JsonText& Bool(bool value) { return Raw(value ? "true" : "false"); }
    JsonText& Integer(int64_t value) {
        char text[24];
        return Raw(
            std::string_view(text, size_t(std::to_chars(text, text + 24, value).ptr - text)));
    }
    JsonText& Float(float value) {
        if (!std::isfinite(value))
            return Raw("null");
        char text[32];
        return Raw(
            std::string_view(text, size_t(std::to_chars(text, text + 32, value).ptr - text)));
    }
    std::string Take() { return std::move(m_text); }

private:
    JsonText& Raw(std::string_view text) {
        Separate();
        m_text += text;
        return *this;
    }
    void Separate() {
        if (!m_first)
            m_text += ',';
        m_first = false;
    }
    void AppendString(std::string_view value) {
        static constexpr char kHex[] = "0123456789abcdef";
        m_text += '"';
        for (const char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                m_text += '\\';
                m_text += c;
            } else if (byte < 0x20) {
                m_text += "\\u00";
                m_text += kHex[byte >> 4];
                m_text += kHex[byte & 15];
            } else {
                m_text += c;
            }
        }
        m_text += '"';
    }

    std::string m_text;
    bool m_first = true;
};

template <size_t N>
void Flags(JsonText& json, const std::array<uint16_t, N>& flags, size_t from, size_t count) {
    json.Begin('[');
    for (size_t i = from; i < from + count; ++i)
        json.Bool(flags[i] != 0);
    json.End(']');
}

} // namespace

std::string CleanTopicPart(std::string_view name) {
    if (name.empty())
        return "_";
    std::string part(name);
    for (char& c : part)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            c = '_';
    return part;
}

std::string InstrumentTopic(std::string_view base, std::string_view line, uint32_t address) {
    return std::string(base) + '/' + CleanTopicPart(line) + '/' + std::to_string(address);
}

std::string UtcTimestamp(int64_t utcMs) {
    using namespace std::chrono;
    const sys_time<milliseconds> time{milliseconds(utcMs)};
    const auto day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss<milliseconds> clock(time - day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()),
                  int(clock.subseconds().count()));
    return text;
}

std::string StatePayload(const StateInput& input) {
    const DeviceReading& r = *input.Reading;
    JsonText json;
    json.Begin('{');
    json.Key("ts").String(UtcTimestamp(input.UtcMs));
    json.Key("seq").Integer(int64_t(input.Seq));
    json.Key("exchange_ms").Integer(input.ExchangeMs);
    json.Key("channels").Begin('[');
    for (const ChannelReading& c : r.Channels) {
        json.Begin('{');
        json.Key("value").Float(c.Value);
        json.Key("error").Integer(c.ErrorCode);
        json.Key("break").Bool((c.StateBits & kSensorBreakBit) != 0);
        json.Key("setpoint1").Bool((c.StateBits & kSetpoint1Bit) != 0);
        json.Key("setpoint2").Bool((c.StateBits & kSetpoint2Bit) != 0);
        json.End('}');
    }
    json.End(']');
    json.Key("relays");
    Flags(json, r.RelayFlags, 0, 16);
    json.Key("inputs");
    Flags(json, r.DiscreteFlags, 0, 4);
    json.Key("controls");
    Flags(json, r.DiscreteFlags, 8, 2);
    json.Key("keys");
    Flags(json, r.KeyFlags, 0, 10);
    json.Key("status_number").Integer(r.StatusNumber);
    json.End('}');
    return json.Take();
}

int64_t ExpireAfterS(int64_t periodMs) {
    const int64_t seconds = (3 * std::max<int64_t>(periodMs, 0) + 999) / 1000;
    return std::max<int64_t>(seconds, 30);
}

std::vector<std::pair<std::string, std::string>> DiscoveryMessages(const DiscoveryInput& input) {
    const std::string topic = InstrumentTopic(input.Base, input.Line, input.Address);
    const std::string device = "instrument_reader_" + CleanTopicPart(input.Host) + '_' +
                               CleanTopicPart(input.Line) + '_' + std::to_string(input.Address);
    const int64_t expireAfter = ExpireAfterS(input.PeriodMs);

    std::vector<std::pair<std::string, std::string>> messages;
    // One entity: `field` is the JSON path in the state payload, `name` the entity's name.
    const auto add = [&](const char* component, const std::string& id, const std::string& name,
                         const std::string& field) {
        const std::string objectId = device + '_' + id;
        JsonText json;
        json.Begin('{');
        json.Key("name").String(name);
        json.Key("object_id").String(objectId);
        json.Key("unique_id").String(objectId);
        json.Key("state_topic").String(topic + "/state");
        if (component[0] == 's') {
            json.Key("value_template").String("{{ value_json." + field + " }}");
            json.Key("state_class").String("measurement");
        } else {
            json.Key("value_template")
                .String("{{ 'true' if value_json." + field + " else 'false' }}");
            json.Key("payload_on").String("true");
            json.Key("payload_off").String("false");
        }
        json.Key("expire_after").Integer(expireAfter);
        json.Key("availability").Begin('[');
        json.Begin('{').Key("topic").String(input.Base + "/status").End('}');
        json.Begin('{').Key("topic").String(topic + "/availability").End('}');
        json.End(']');
        json.Key("availability_mode").String("all");
        json.Key("payload_available").String("online");
        json.Key("payload_not_available").String("offline");
        json.Key("device").Begin('{');
        json.Key("identifiers").Begin('[').String(device).End(']');
        json.Key("name").String("Instrument " + input.Line + ' ' + std::to_string(input.Address));
        json.Key("model").String("multi-channel measuring instrument");
        json.End('}');
        json.End('}');
        messages.emplace_back(input.Prefix + '/' + component + '/' + objectId + "/config",
                              json.Take());
    };
    for (int i = 0; i < 12; ++i) {
        const std::string n = std::to_string(i + 1);
        add("sensor", "ch" + n, "Channel " + n, "channels[" + std::to_string(i) + "].value");
    }
    for (int i = 0; i < 16; ++i) {
        const std::string n = std::to_string(i + 1);
        add("binary_sensor", "relay" + n, "Relay " + n, "relays[" + std::to_string(i) + ']');
    }
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i + 1);
        add("binary_sensor", "input" + n, "Input " + n, "inputs[" + std::to_string(i) + ']');
    }
    return messages;
}
