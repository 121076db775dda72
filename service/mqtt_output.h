#pragma once

// The service's MQTT output: each good reading's state, each instrument's availability, the
// lines' diag reports and Home Assistant discovery, through a Publisher (the broker client).
//
// After each connection it publishes every availability again and sweeps the broker: it looks at
// what is retained under its own base and among its own discovery configs, clears what the
// configuration no longer has (an instrument or line removed, also while the service was
// stopped) and what earlier versions left under their default base, and then announces
// everything; the sweep ends when a message sent to its own probe topic comes back. A reload
// announces what changed and clears what left. Home Assistant's birth message ("online" on
// <prefix>/status) brings discovery again. Nothing of another host or program is touched.

#include "discovery.h"
#include "output.h"
#include "publisher.h"
#include "service_config.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

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
    // The configuration has changed from `previous` (a reload).
    void ConfigChanged(const ServiceConfig& previous);

    void Connected() override;
    void MessageArrived(const std::string& topic, const std::string& payload,
                        bool retained) override;

private:
    DiscoveryContext Context() const;
    std::vector<std::string> SweepTopics() const;
    void EndSweep();
    // Publishes the discovery configs: all of them, or only those that changed since the last
    // time, clearing those that went.
    void Announce(bool all);
    void Clear(const std::string& topic);

    const ServiceConfig& m_config;
    std::string m_hostName;
    int64_t m_startedUtcMs;
    Publisher& m_publisher;
    std::map<std::string, std::string> m_availability; // the latest per availability topic
    std::map<std::string, std::string> m_announced;    // discovery topic -> payload sent
    std::string m_probe;                               // while sweeping: the probe's payload
    std::vector<std::string> m_sweepTopics;            // subscribed while sweeping
    std::set<std::string> m_found;                     // retained topics the sweep met
    uint64_t m_sweeps = 0;
};
