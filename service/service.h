#pragma once

// The running service: one LinePoller per [line], the publisher, the diag reports every 60 s
// and the daily removal of old files. What is published when is decided here; the payloads of
// readings and discovery come from the formatters in Hooks.

#include "line_poller.h"
#include "publisher.h"
#include "service_config.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct StateReport {
    int64_t UtcMs = 0; // when the exchange ended
    uint64_t Seq = 0;
    uint32_t ExchangeMs = 0;
    const DeviceReading* Reading = nullptr;
};
struct DiscoveryRequest {
    std::string Prefix, Base, Host, Line;
    uint32_t Address = 0;
    int64_t PeriodMs = 0;
};

// The broker password from [mqtt] password_file: a relative path names a file in systemd's
// credential directory ($CREDENTIALS_DIRECTORY, LoadCredential=); the file's first line is the
// password. nullopt, with the reason in `error`, when it cannot be read.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error);

enum class Priority { Error = 3, Warning = 4, Info = 6 };

class Service : public QObject {
public:
    struct Hooks {
        // Makes the publisher for [mqtt] with a host; without one, or with no host, nothing is
        // published.
        std::function<std::unique_ptr<Publisher>(const MqttConfig&)> MakePublisher;
        std::function<std::string(const StateReport&)> StatePayload = DefaultStatePayload;
        std::function<std::vector<std::pair<std::string, std::string>>(const DiscoveryRequest&)>
            Discovery = DefaultDiscovery;
        std::function<void(Priority, const std::string&)> Log;
    };

    Service(ServiceConfig config, std::string hostName, Hooks hooks);
    ~Service() override;

    void Start();
    // Puts a new configuration in force: the lines are stopped and started again from it (the
    // exchange in flight ends first); the publisher is made again when [mqtt] changed.
    void Reload(ServiceConfig config);
    // Stops the lines, then the publisher; `done` once it has gone.
    void Stop(std::function<void()> done);

    const ServiceConfig& Config() const { return m_config; }
    Publisher& Out() { return *m_publisher; }
    const std::vector<std::unique_ptr<LinePoller>>& Lines() const { return m_lines; }

    // ts, seq, exchange_ms, status_number and the channel values: the payload until a richer
    // formatter is plugged in.
    // The payloads as published: a reading's state, and Home Assistant discovery.
    static std::string DefaultStatePayload(const StateReport& report);
    static std::vector<std::pair<std::string, std::string>>
    DefaultDiscovery(const DiscoveryRequest& request);
    // The diag report of one line over `seconds`.
    std::string DiagPayload(const LinePoller::Counts& now, const LinePoller::Counts& before,
                            double seconds) const;

private:
    void StartLines();
    void StopLines();
    void MakePublisher();
    void PublishDiscovery();
    void SendDiag();
    void Prune();
    void Log(Priority priority, const std::string& text) const;

    ServiceConfig m_config;
    std::string m_hostName;
    Hooks m_hooks;
    std::map<std::string, std::string> m_availability; // the latest per availability topic
    std::unique_ptr<Publisher> m_publisher;
    std::vector<std::unique_ptr<LinePoller>> m_lines;
    std::vector<LinePoller::Counts> m_diagBefore;
    QElapsedTimer m_steady;
    int64_t m_diagAtMs = 0;
    QTimer m_diag;
    QTimer m_prune;
    QDate m_prunedOn;
};
