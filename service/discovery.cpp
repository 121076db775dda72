#include "discovery.h"

#include "json_text.h"
#include "mqtt_payloads.h"
#include "names.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

// The captions of the instrument's key lamps are Cyrillic; Home Assistant gets these names.
const char* const kKeyNames[10] = {"Key channel +", "Key channel -",      "Key +", "Key -",
                                   "Key left",      "Key right",          "Key X", "Key lock",
                                   "Key EXE",       "Key protection test"};

// What one entity needs beyond its kind.
struct Entity {
    const char* Component = "sensor";
    std::string Id;   // after the device's id
    std::string Name; // shown
    std::string StateTopic;
    std::string ValueTemplate;
    std::string PayloadOn, PayloadOff; // binary sensors
    std::string Unit, DeviceClass, StateClass, Category;
    std::string AttributesTemplate; // json_attributes_template on the state topic
    int Precision = -1;
    bool Enabled = true;
    bool Expires = true; // expire_after
    bool InstrumentAvailability = true;
};

class Announcer {
public:
    Announcer(const DiscoveryContext& context, const LineConfig& line)
        : m_context(context), m_line(line) {}

    // Entities of the service's own device, or of the instrument at `address`.
    void ForInstrument(uint32_t address, const InstrumentNaming& naming) {
        m_address = address;
        m_device =
            BridgeId(m_context.Host) + '_' + CleanName(m_line.Name) + '_' + std::to_string(address);
        m_entityPrefix =
            Slug(m_context.Host) + '_' + Slug(m_line.Name) + '_' + std::to_string(address) + '_';
        m_deviceName = !naming.Name.empty() ? naming.Name
                                            : "Instrument " + m_line.Name + ' ' +
                                                  std::to_string(address) + " on " + m_context.Host;
        m_instrument = true;
    }
    void ForBridge() {
        m_device = BridgeId(m_context.Host) + '_' + CleanName(m_line.Name);
        m_entityPrefix = Slug(m_context.Host) + '_' + Slug(m_line.Name) + '_';
        m_instrument = false;
    }

    void Add(const Entity& e, std::vector<Announcement>& out) const {
        const std::string id = m_device + '_' + e.Id;
        std::string payload;
        JsonText json(payload);
        json.BeginObject();
        json.Key("name").String(e.Name);
        json.Key("object_id").String(id);
        json.Key("default_entity_id")
            .String(std::string(e.Component) + '.' + m_entityPrefix + Slug(e.Id));
        json.Key("unique_id").String(id);
        json.Key("state_topic").String(e.StateTopic);
        json.Key("value_template").String(e.ValueTemplate);
        if (!e.PayloadOn.empty())
            json.Key("payload_on").String(e.PayloadOn).Key("payload_off").String(e.PayloadOff);
        if (!e.Unit.empty())
            json.Key("unit_of_measurement").String(e.Unit);
        if (!e.DeviceClass.empty())
            json.Key("device_class").String(e.DeviceClass);
        if (!e.StateClass.empty())
            json.Key("state_class").String(e.StateClass);
        if (e.Precision >= 0)
            json.Key("suggested_display_precision").Integer(e.Precision);
        if (!e.Category.empty())
            json.Key("entity_category").String(e.Category);
        if (!e.AttributesTemplate.empty())
            json.Key("json_attributes_topic")
                .String(e.StateTopic)
                .Key("json_attributes_template")
                .String(e.AttributesTemplate);
        if (!e.Enabled)
            json.Key("enabled_by_default").Bool(false);
        if (e.Expires)
            json.Key("expire_after").Integer(ExpireAfterS(m_instrument ? m_line.PeriodMs : 60000));
        json.Key("availability").BeginArray();
        json.BeginObject().Key("topic").String(ServiceTopic(m_context.Base, "status")).EndObject();
        if (m_instrument && e.InstrumentAvailability)
            json.BeginObject()
                .Key("topic")
                .String(InstrumentTopic(m_context.Base, m_line.Name, m_address, "availability"))
                .EndObject();
        json.EndArray();
        json.Key("availability_mode").String("all");
        json.Key("payload_available").String("online");
        json.Key("payload_not_available").String("offline");
        json.Key("device").BeginObject();
        if (m_instrument) {
            json.Key("identifiers").BeginArray().String(m_device).EndArray();
            json.Key("name").String(m_deviceName);
            json.Key("model").String("multi-channel measuring instrument");
            json.Key("via_device").String(BridgeId(m_context.Host));
        } else {
            json.Key("identifiers").BeginArray().String(BridgeId(m_context.Host)).EndArray();
            json.Key("name").String("Instrument reader on " + m_context.Host);
            json.Key("model").String("reader-service");
            json.Key("sw_version").String(m_context.Version);
        }
        json.EndObject();
        json.Key("origin").BeginObject();
        json.Key("name").String("reader-service").Key("sw_version").String(m_context.Version);
        json.EndObject();
        json.EndObject();
        out.emplace_back(m_context.Prefix + '/' + e.Component + '/' + id + "/config",
                         std::move(payload));
    }

private:
    const DiscoveryContext& m_context;
    const LineConfig& m_line;
    uint32_t m_address = 0;
    std::string m_device, m_entityPrefix, m_deviceName;
    bool m_instrument = false;
};

std::string Field(const std::string& path) {
    return "value_json." + path;
}

// A binary sensor of one flag of the state.
Entity Flag(const std::string& stateTopic, const std::string& id, const std::string& name,
            const std::string& path, const FlagNaming& naming) {
    Entity e;
    e.Component = "binary_sensor";
    e.Id = id;
    e.Name = naming.Name.empty() ? name : naming.Name;
    e.StateTopic = stateTopic;
    e.ValueTemplate = "{{ 'true' if " + Field(path) + " else 'false' }}";
    e.PayloadOn = "true";
    e.PayloadOff = "false";
    e.Enabled = naming.IsEnabled();
    return e;
}

} // namespace

int64_t ExpireAfterS(int64_t periodMs) {
    const int64_t seconds = (3 * std::max<int64_t>(periodMs, 0) + 999) / 1000;
    return std::max<int64_t>(seconds, 30);
}

std::string BridgeId(const std::string& host) {
    return "instrument_reader_" + CleanName(host);
}

std::vector<Announcement> InstrumentDiscovery(const DiscoveryContext& context,
                                              const LineConfig& line, uint32_t address,
                                              const InstrumentNaming& naming) {
    std::vector<Announcement> out;
    Announcer announcer(context, line);
    announcer.ForInstrument(address, naming);
    const std::string state = InstrumentTopic(context.Base, line.Name, address, "state");
    for (size_t i = 0; i < 12; ++i) {
        const ChannelNaming& channel = naming.Channels[i];
        const std::string n = std::to_string(i + 1);
        const std::string c = "channels[" + std::to_string(i) + "]";
        Entity value;
        value.Id = "ch" + n;
        value.Name = channel.Name.empty() ? "Channel " + n : channel.Name;
        value.StateTopic = state;
        // A channel reporting a break or an error has no value: None reads as unknown.
        value.ValueTemplate = "{{ " + Field(c + ".value") + " if not " + Field(c + ".break") +
                              " and " + Field(c + ".error") + " == 0 else None }}";
        value.Unit = channel.Unit;
        value.DeviceClass = channel.DeviceClass;
        value.StateClass = channel.StateClass.empty() ? "measurement" : channel.StateClass;
        value.Precision = channel.Precision;
        value.Enabled = channel.Enabled;
        value.AttributesTemplate = "{{ " + Field(c) + " | tojson }}";
        announcer.Add(value, out);
        Entity problem;
        problem.Component = "binary_sensor";
        problem.Id = "ch" + n + "_problem";
        problem.Name = value.Name + " problem";
        problem.StateTopic = state;
        problem.ValueTemplate = "{{ 'ON' if " + Field(c + ".break") + " or " + Field(c + ".error") +
                                " != 0 else 'OFF' }}";
        problem.PayloadOn = "ON";
        problem.PayloadOff = "OFF";
        problem.DeviceClass = "problem";
        problem.Enabled = channel.Enabled;
        announcer.Add(problem, out);
    }
    for (size_t i = 0; i < 16; ++i)
        announcer.Add(Flag(state, "relay" + std::to_string(i + 1), "Relay " + std::to_string(i + 1),
                           "relays[" + std::to_string(i) + "]", naming.Relays[i]),
                      out);
    for (size_t i = 0; i < 4; ++i)
        announcer.Add(Flag(state, "input" + std::to_string(i + 1), "Input " + std::to_string(i + 1),
                           "inputs[" + std::to_string(i) + "]", naming.Inputs[i]),
                      out);
    for (size_t i = 0; i < 2; ++i)
        announcer.Add(Flag(state, "control" + std::to_string(i + 1),
                           "Control buffer " + std::to_string(i + 1),
                           "controls[" + std::to_string(i) + "]", naming.Controls[i]),
                      out);
    for (size_t i = 0; i < 10; ++i)
        announcer.Add(Flag(state, "key" + std::to_string(i + 1), kKeyNames[i],
                           "keys[" + std::to_string(i) + "]", naming.Keys[i]),
                      out);

    Entity exchange;
    exchange.Id = "exchange_time";
    exchange.Name = "Exchange time";
    exchange.StateTopic = state;
    exchange.ValueTemplate = "{{ " + Field("exchange_ms") + " }}";
    exchange.Unit = "ms";
    exchange.DeviceClass = "duration";
    exchange.StateClass = "measurement";
    exchange.Category = "diagnostic";
    announcer.Add(exchange, out);
    Entity status;
    status.Id = "status_number";
    status.Name = "Status number";
    status.StateTopic = state;
    status.ValueTemplate = "{{ " + Field("status_number") + " }}";
    status.Category = "diagnostic";
    status.AttributesTemplate =
        "{{ {'keys': " + Field("keys") + ", 'controls': " + Field("controls") + "} | tojson }}";
    announcer.Add(status, out);
    Entity seen;
    seen.Id = "last_seen";
    seen.Name = "Last seen";
    seen.StateTopic = state;
    seen.ValueTemplate = "{{ " + Field("ts") + " }}";
    seen.DeviceClass = "timestamp";
    seen.Category = "diagnostic";
    seen.Expires = false; // it says when, however long ago
    announcer.Add(seen, out);
    Entity connected;
    connected.Component = "binary_sensor";
    connected.Id = "connectivity";
    connected.Name = "Connectivity";
    connected.StateTopic = InstrumentTopic(context.Base, line.Name, address, "availability");
    connected.ValueTemplate = "{{ value }}";
    connected.PayloadOn = "online";
    connected.PayloadOff = "offline";
    connected.DeviceClass = "connectivity";
    connected.Category = "diagnostic";
    connected.Expires = false;
    connected.InstrumentAvailability = false; // it is off, not unavailable, when offline
    announcer.Add(connected, out);
    return out;
}

std::vector<Announcement> LineDiscovery(const DiscoveryContext& context, const LineConfig& line) {
    std::vector<Announcement> out;
    Announcer announcer(context, line);
    announcer.ForBridge();
    const std::string diag = LineTopic(context.Base, line.Name, "diag");
    struct Figure {
        const char* Id;
        const char* Name;
        const char* Path;
        const char* Unit;
    };
    static const Figure kFigures[] = {
        {"exchanges_per_s", "exchanges per second", "exchanges_per_s", "1/s"},
        {"no_answer", "no-answer exchanges", "outcomes['no-answer']", ""},
        {"checksum_mismatch", "checksum failures", "outcomes['checksum-mismatch']", ""},
        {"overruns", "schedule overruns", "overruns", ""},
        {"queue_depth", "MQTT queue depth", "queue_depth", ""},
        {"dropped", "MQTT messages dropped", "dropped", ""},
    };
    for (const Figure& f : kFigures) {
        Entity e;
        e.Id = std::string("diag_") + f.Id;
        e.Name = line.Name + ' ' + f.Name;
        e.StateTopic = diag;
        e.ValueTemplate = "{{ " + Field(f.Path) + " }}";
        e.Unit = f.Unit;
        e.StateClass = "measurement";
        e.Category = "diagnostic";
        announcer.Add(e, out);
    }
    return out;
}

std::vector<Announcement> AllDiscovery(const DiscoveryContext& context,
                                       const ServiceConfig& config) {
    std::vector<Announcement> out;
    for (const LineConfig& line : config.Lines) {
        for (Announcement& a : LineDiscovery(context, line))
            out.push_back(std::move(a));
        for (uint32_t address : line.Addresses)
            for (Announcement& a :
                 InstrumentDiscovery(context, line, address, config.NamingOf(line.Name, address)))
                out.push_back(std::move(a));
    }
    return out;
}

bool IsOwnDiscovery(const DiscoveryContext& context, const std::string& topic,
                    const std::string& payload) {
    const size_t idAt = topic.find('/', context.Prefix.size() + 1);
    const std::string id = BridgeId(context.Host) + '_';
    if (idAt == std::string::npos || topic.compare(idAt + 1, id.size(), id) != 0)
        return false;
    const QJsonObject config = QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
    const std::string state = config.value("state_topic").toString().toStdString();
    return state.starts_with(context.Base + '/');
}
