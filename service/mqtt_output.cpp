#include "mqtt_output.h"

#include "mqtt_payloads.h"
#include "record_format.h"

MqttOutput::MqttOutput(const ServiceConfig& config, std::string hostName, int64_t startedUtcMs,
                       Publisher& publisher)
    : m_config(config), m_hostName(std::move(hostName)), m_startedUtcMs(startedUtcMs),
      m_publisher(publisher) {
    m_publisher.SetListener(this);
}

MqttOutput::~MqttOutput() {
    m_publisher.SetListener(nullptr);
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

void MqttOutput::Connected() {
    // The client has published the service's status itself.
    for (const auto& [topic, payload] : m_availability)
        m_publisher.Publish(topic, payload, true, m_config.Mqtt.Qos);
    PublishDiscovery();
}

void MqttOutput::MessageArrived(const std::string& topic, const std::string& payload) {
    if (topic == m_config.Mqtt.DiscoveryPrefix + "/status" && payload == "online")
        PublishDiscovery();
}

void MqttOutput::PublishDiscovery() {
    const MqttConfig& mqtt = m_config.Mqtt;
    if (!mqtt.Discovery)
        return;
    for (const LineConfig& line : m_config.Lines)
        for (uint32_t address : line.Addresses)
            for (const auto& [topic, payload] :
                 DiscoveryMessages({mqtt.DiscoveryPrefix, mqtt.Base, m_hostName, line.Name, address,
                                    line.PeriodMs}))
                m_publisher.Publish(topic, payload, true, 1);
}
