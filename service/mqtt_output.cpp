#include "mqtt_output.h"

#include "mqtt_payloads.h"
#include "names.h"
#include "record_format.h"

#include <QRandomGenerator>

namespace {

// "<base>/LINE/ADDRESS/LEAF": the line and address, or nothing.
std::optional<std::pair<std::string, uint32_t>> InstrumentOf(const std::string& base,
                                                             const std::string& topic) {
    if (!topic.starts_with(base + '/'))
        return std::nullopt;
    const std::string rest = topic.substr(base.size() + 1);
    const size_t slash = rest.find('/');
    const size_t second = rest.find('/', slash + 1);
    if (slash == std::string::npos || second == std::string::npos)
        return std::nullopt;
    const std::string address = rest.substr(slash + 1, second - slash - 1);
    if (address.empty() || address.size() > 3 ||
        address.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::make_pair(rest.substr(0, slash), uint32_t(std::stoul(address)));
}

} // namespace

MqttOutput::MqttOutput(const ServiceConfig& config, std::string hostName, int64_t startedUtcMs,
                       Publisher& publisher)
    : m_config(config), m_hostName(std::move(hostName)), m_startedUtcMs(startedUtcMs),
      m_publisher(publisher) {
    m_publisher.SetListener(this);
}

MqttOutput::~MqttOutput() {
    m_publisher.SetListener(nullptr);
}

DiscoveryContext MqttOutput::Context() const {
    return {m_config.Mqtt.DiscoveryPrefix, m_config.Mqtt.Base, m_hostName, READER_VERSION};
}

void MqttOutput::Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) {
    // A wrong checksum is never published as a reading; the day files keep it.
    if (!record.Reading)
        return;
    const MqttConfig& mqtt = m_config.Mqtt;
    m_publisher.Publish(InstrumentTopic(mqtt.Base, instrument.Line, instrument.Address, "state"),
                        StateJson(record, instrument.Seq, m_startedUtcMs), mqtt.Retain, mqtt.Qos);
}

void MqttOutput::AvailabilityChanged(const InstrumentState& instrument) {
    if (!instrument.Online)
        return;
    const MqttConfig& mqtt = m_config.Mqtt;
    const std::string topic =
        InstrumentTopic(mqtt.Base, instrument.Line, instrument.Address, "availability");
    const std::string& payload = m_availability[topic] = *instrument.Online ? "online" : "offline";
    m_publisher.Publish(topic, payload, true, mqtt.Qos);
}

void MqttOutput::PublishDiag(const std::string& line, const LineFigures& now,
                             const LineFigures& before, double seconds) {
    const MqttConfig& mqtt = m_config.Mqtt;
    m_publisher.Publish(
        LineTopic(mqtt.Base, line, "diag"),
        DiagJson(now, before, seconds, m_publisher.QueueDepth(), m_publisher.Dropped()), false,
        mqtt.Qos);
}

void MqttOutput::Clear(const std::string& topic) {
    m_publisher.Publish(topic, "", true, 1);
}

void MqttOutput::ConfigChanged(const ServiceConfig& previous) {
    // Instruments that left: their retained availability and last state go too (under the base
    // in force: the client carries what waits under an old base over to the new one).
    std::set<std::pair<std::string, uint32_t>> now;
    for (const LineConfig& line : m_config.Lines)
        for (uint32_t address : line.Addresses)
            now.emplace(line.Name, address);
    for (const LineConfig& line : previous.Lines)
        for (uint32_t address : line.Addresses)
            if (!now.count({line.Name, address}))
                for (const char* leaf : {"availability", "state"}) {
                    const std::string topic =
                        InstrumentTopic(m_config.Mqtt.Base, line.Name, address, leaf);
                    m_availability.erase(topic);
                    Clear(topic);
                }
    // Availability kept for the others moves with the base.
    if (previous.Mqtt.Base != m_config.Mqtt.Base) {
        std::map<std::string, std::string> moved;
        for (auto& [topic, payload] : m_availability)
            moved[m_config.Mqtt.Base + topic.substr(previous.Mqtt.Base.size())] = payload;
        m_availability = std::move(moved);
    }
    if (m_probe.empty())
        Announce(false);
}

std::vector<std::string> MqttOutput::SweepTopics() const {
    const MqttConfig& mqtt = m_config.Mqtt;
    std::vector<std::string> topics{mqtt.Base + "/+/+/state", mqtt.Base + "/+/+/availability",
                                    mqtt.DiscoveryPrefix + "/+/+/config"};
    // What earlier versions left under their default base for this host.
    const std::string earlier = EarlierDefaultBase(m_hostName);
    if (mqtt.Base == DefaultBase(m_hostName) && earlier != mqtt.Base)
        for (const char* pattern : {"/status", "/+/+/state", "/+/+/availability"})
            topics.push_back(earlier + pattern);
    return topics;
}

void MqttOutput::Connected() {
    // The client has published the service's status itself.
    for (const auto& [topic, payload] : m_availability)
        m_publisher.Publish(topic, payload, true, m_config.Mqtt.Qos);
    for (const std::string& topic : m_sweepTopics)
        m_publisher.Unsubscribe(topic);
    m_sweepTopics = SweepTopics();
    m_sweepTopics.push_back(ServiceTopic(m_config.Mqtt.Base, "probe"));
    m_found.clear();
    m_probe =
        std::to_string(QRandomGenerator::global()->generate64()) + '-' + std::to_string(++m_sweeps);
    for (const std::string& topic : m_sweepTopics)
        m_publisher.Subscribe(topic);
    // Behind the subscriptions: it comes back once the broker has sent what it retains.
    m_publisher.Publish(m_sweepTopics.back(), m_probe, false, 1);
}

void MqttOutput::MessageArrived(const std::string& topic, const std::string& payload,
                                bool retained) {
    const MqttConfig& mqtt = m_config.Mqtt;
    if (!m_probe.empty() && topic == ServiceTopic(mqtt.Base, "probe") && payload == m_probe) {
        EndSweep();
        return;
    }
    if (!m_probe.empty() && retained && !payload.empty()) {
        const bool config = topic.starts_with(mqtt.DiscoveryPrefix + '/');
        if (!config || IsOwnDiscovery(Context(), topic, payload))
            m_found.insert(topic);
        return;
    }
    if (topic == mqtt.DiscoveryPrefix + "/status" && payload == "online")
        Announce(true);
}

void MqttOutput::EndSweep() {
    m_probe.clear();
    for (const std::string& topic : m_sweepTopics)
        m_publisher.Unsubscribe(topic);
    m_sweepTopics.clear();
    const MqttConfig& mqtt = m_config.Mqtt;
    std::set<std::pair<std::string, uint32_t>> configured;
    for (const LineConfig& line : m_config.Lines)
        for (uint32_t address : line.Addresses)
            configured.emplace(CleanName(line.Name), address);
    std::set<std::string> announced;
    if (mqtt.Discovery)
        for (const auto& [topic, payload] : AllDiscovery(Context(), m_config))
            announced.insert(topic);
    for (const std::string& topic : m_found) {
        if (topic.starts_with(mqtt.DiscoveryPrefix + '/')) {
            if (!announced.count(topic))
                Clear(topic);
        } else if (const auto instrument = InstrumentOf(mqtt.Base, topic)) {
            if (!configured.count(*instrument))
                Clear(topic);
        } else {
            Clear(topic); // under the earlier default base
        }
    }
    m_found.clear();
    Announce(true);
}

void MqttOutput::Announce(bool all) {
    std::map<std::string, std::string> now;
    if (m_config.Mqtt.Discovery)
        for (auto& [topic, payload] : AllDiscovery(Context(), m_config))
            now.emplace(std::move(topic), std::move(payload));
    for (const auto& [topic, payload] : m_announced)
        if (!now.count(topic))
            Clear(topic);
    for (const auto& [topic, payload] : now) {
        const auto before = m_announced.find(topic);
        if (all || before == m_announced.end() || before->second != payload)
            m_publisher.Publish(topic, payload, true, 1);
    }
    m_announced = std::move(now);
}
