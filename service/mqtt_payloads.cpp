#include "mqtt_payloads.h"

#include "json_text.h"

#include <algorithm>
#include <charconv>

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

std::string ServiceTopic(std::string_view base, std::string_view leaf) {
    std::string topic(base);
    return (topic += '/') += leaf;
}

std::string LineTopic(std::string_view base, std::string_view line, std::string_view leaf) {
    std::string topic(base);
    ((topic += '/') += CleanTopicPart(line)) += '/';
    return topic += leaf;
}

std::string InstrumentTopic(std::string_view base, std::string_view line, uint32_t address,
                            std::string_view leaf) {
    return LineTopic(base, line, std::to_string(address) + '/' + std::string(leaf));
}

int64_t ExpireAfterS(int64_t periodMs) {
    const int64_t seconds = (3 * std::max<int64_t>(periodMs, 0) + 999) / 1000;
    return std::max<int64_t>(seconds, 30);
}

std::vector<std::pair<std::string, std::string>> DiscoveryMessages(const DiscoveryInput& input) {
    const std::string stateTopic = InstrumentTopic(input.Base, input.Line, input.Address, "state");
    const std::string availabilityTopic =
        InstrumentTopic(input.Base, input.Line, input.Address, "availability");
    const std::string device = "instrument_reader_" + CleanTopicPart(input.Host) + '_' +
                               CleanTopicPart(input.Line) + '_' + std::to_string(input.Address);
    const int64_t expireAfter = ExpireAfterS(input.PeriodMs);

    std::vector<std::pair<std::string, std::string>> messages;
    // One entity: `field` is the JSON path in the state payload, `name` the entity's name.
    const auto add = [&](const char* component, const std::string& id, const std::string& name,
                         const std::string& field) {
        const std::string objectId = device + '_' + id;
        std::string payload;
        JsonText json(payload);
        json.BeginObject();
        json.Key("name").String(name);
        json.Key("object_id").String(objectId);
        json.Key("unique_id").String(objectId);
        json.Key("state_topic").String(stateTopic);
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
        json.Key("availability").BeginArray();
        json.BeginObject().Key("topic").String(ServiceTopic(input.Base, "status")).EndObject();
        json.BeginObject().Key("topic").String(availabilityTopic).EndObject();
        json.EndArray();
        json.Key("availability_mode").String("all");
        json.Key("payload_available").String("online");
        json.Key("payload_not_available").String("offline");
        json.Key("device").BeginObject();
        json.Key("identifiers").BeginArray().String(device).EndArray();
        json.Key("name").String("Instrument " + input.Line + ' ' + std::to_string(input.Address));
        json.Key("model").String("multi-channel measuring instrument");
        json.EndObject();
        json.EndObject();
        messages.emplace_back(input.Prefix + '/' + component + '/' + objectId + "/config",
                              std::move(payload));
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

std::string DiagJson(const LineFigures& now, const LineFigures& before, double seconds,
                     size_t queueDepth, uint64_t dropped) {
    // The outcomes a line's exchange can have, in the report's order.
    static constexpr ExchangeOutcome kReported[] = {
        ExchangeOutcome::Ok,       ExchangeOutcome::TooShort,
        ExchangeOutcome::NoFrame,  ExchangeOutcome::ChecksumMismatch,
        ExchangeOutcome::NoAnswer, ExchangeOutcome::PortFailure};
    std::string out;
    JsonText json(out);
    json.BeginObject().Key("outcomes").BeginObject();
    uint64_t exchanges = 0;
    for (const ExchangeOutcome outcome : kReported) {
        const uint64_t n = now.Outcomes[size_t(outcome)] - before.Outcomes[size_t(outcome)];
        exchanges += n;
        json.Key(OutcomeName(outcome)).Unsigned(n);
    }
    json.EndObject();
    char rate[32];
    const auto written =
        std::to_chars(rate, rate + sizeof rate, seconds > 0 ? double(exchanges) / seconds : 0.0,
                      std::chars_format::fixed, 2);
    json.Key("exchanges_per_s").Raw(std::string_view(rate, size_t(written.ptr - rate)));
    json.Key("overruns").Unsigned(now.Overruns - before.Overruns);
    json.Key("port_reopenings").Unsigned(now.Reopenings - before.Reopenings);
    json.Key("queue_depth").Unsigned(queueDepth);
    json.Key("dropped").Unsigned(dropped);
    json.EndObject();
    return out;
}
