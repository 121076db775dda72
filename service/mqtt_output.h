#pragma once

// The service's MQTT output: each good reading's state, each instrument's availability, the
// lines' diag reports and Home Assistant discovery, through a Publisher (the broker client).
// After each connection it publishes every availability again and, with discovery on, the
// discovery messages, so a broker that restarted without its retained messages has them back;
// Home Assistant's birth message ("online" on <prefix>/status) brings discovery again too.

#include "output.h"
#include "publisher.h"
#include "service_config.h"

#include <map>
#include <string>

class MqttOutput : public Output, public PublisherListener {
public:
    // `config` is the service's, read at each use (it changes with a reload); each state says
    // when the run began (`startedUtcMs`), so that a consumer tells a restart from a gap in
    // the sequence numbers.
    MqttOutput(const ServiceConfig& config, std::string hostName, int64_t startedUtcMs,
               Publisher& publisher);
    ~MqttOutput() override;

    void Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) override;
    void AvailabilityChanged(const InstrumentState& instrument) override;

    // A line's diag report over `seconds`.
    void PublishDiag(const std::string& line, const LineFigures& now, const LineFigures& before,
                     double seconds);

    void Connected() override;
    void MessageArrived(const std::string& topic, const std::string& payload) override;

private:
    void PublishDiscovery();

    const ServiceConfig& m_config;
    std::string m_hostName;
    int64_t m_startedUtcMs;
    Publisher& m_publisher;
    std::map<std::string, std::string> m_availability; // the latest per availability topic
};
