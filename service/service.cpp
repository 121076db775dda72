#include "service.h"

#include "mqtt_payloads.h"

#include "file_access.h"
#include "table_output.h"

#include <QDateTime>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kDiagMs = 60000;
constexpr int kPruneCheckMs = 3600000; // a new day is noticed within the hour

} // namespace

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error) {
    std::string full = path;
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (!path.empty() && path.front() != '/' && credentials)
        full = std::string(credentials) + "/" + path;
    const FileContent file = ReadWholeFile(full, 4096);
    if (file.State != FileState::Read) {
        error = "cannot read the password file " + full;
        return std::nullopt;
    }
    return file.Bytes.substr(0, file.Bytes.find_first_of("\r\n"));
}

Service::Service(ServiceConfig config, std::string hostName, Hooks hooks)
    : m_config(std::move(config)), m_hostName(std::move(hostName)), m_hooks(std::move(hooks)) {
    m_steady.start();
    m_diag.setInterval(kDiagMs);
    connect(&m_diag, &QTimer::timeout, this, [this] { SendDiag(); });
    m_prune.setInterval(kPruneCheckMs);
    connect(&m_prune, &QTimer::timeout, this, [this] { Prune(); });
    MakePublisher();
}

Service::~Service() {
    StopLines();
}

void Service::Log(Priority priority, const std::string& text) const {
    if (m_hooks.Log)
        m_hooks.Log(priority, text);
}

void Service::MakePublisher() {
    if (!m_config.Mqtt.Host.empty() && m_hooks.MakePublisher)
        m_publisher = m_hooks.MakePublisher(m_config.Mqtt);
    if (!m_publisher)
        m_publisher = std::make_unique<NullPublisher>();
    // The client publishes the status itself after each connection. A broker that restarted
    // without its retained messages gets each instrument's availability and discovery again.
    m_publisher->OnConnected = [this] {
        for (const auto& [topic, payload] : m_availability)
            m_publisher->Publish(topic, payload, true, m_config.Mqtt.Qos);
        PublishDiscovery();
    };
    m_publisher->OnMessage = [this](const std::string& topic, const std::string& payload) {
        if (topic == m_config.Mqtt.DiscoveryPrefix + "/status" && payload == "online")
            PublishDiscovery();
    };
}

void Service::PublishDiscovery() {
    if (!m_config.Mqtt.Discovery || !m_hooks.Discovery)
        return;
    for (const LineConfig& line : m_config.Lines)
        for (uint32_t address : line.Addresses)
            for (const auto& [topic, payload] :
                 m_hooks.Discovery({m_config.Mqtt.DiscoveryPrefix, m_config.Mqtt.Base, m_hostName,
                                    line.Name, address, line.PeriodMs}))
                m_publisher->Publish(topic, payload, true, 1);
}

void Service::Start() {
    m_publisher->Start();
    if (m_config.Mqtt.Discovery)
        m_publisher->Subscribe(m_config.Mqtt.DiscoveryPrefix + "/status");
    Prune();
    m_prune.start();
    StartLines();
    m_diag.start();
}

void Service::StartLines() {
    const MqttConfig& mqtt = m_config.Mqtt;
    for (const LineConfig& line : m_config.Lines) {
        const std::string prefix = mqtt.Base + "/" + line.Name + "/";
        LinePoller::Events events;
        events.Log = [this, name = line.Name](const std::string& message) {
            Log(Priority::Warning, name + ": " + message);
        };
        events.Availability = [this, prefix](uint32_t address, bool online) {
            Log(Priority::Info, prefix.substr(m_config.Mqtt.Base.size() + 1) +
                                    std::to_string(address) + (online ? " online" : " offline"));
            const std::string topic = prefix + std::to_string(address) + "/availability";
            m_availability[topic] = online ? "online" : "offline";
            m_publisher->Publish(topic, m_availability[topic], true, m_config.Mqtt.Qos);
        };
        events.Reading = [this, prefix](uint32_t address, uint64_t seq,
                                        const ExchangeResult& result,
                                        const DeviceReading& reading) {
            const StateReport report{QDateTime::currentMSecsSinceEpoch(), seq, result.ExchangeMs,
                                     &reading};
            m_publisher->Publish(prefix + std::to_string(address) + "/state",
                                 m_hooks.StatePayload(report), m_config.Mqtt.Retain,
                                 m_config.Mqtt.Qos);
        };
        m_lines.push_back(std::make_unique<LinePoller>(line, m_config.DataDir, std::move(events)));
    }
    for (auto& line : m_lines)
        line->Start();
    m_diagBefore.assign(m_lines.size(), {});
    m_diagAtMs = m_steady.elapsed();
}

void Service::StopLines() {
    for (auto& line : m_lines)
        line->Stop();
    m_lines.clear();
    m_availability.clear();
}

void Service::Reload(ServiceConfig config) {
    StopLines();
    const bool mqttChanged = !(config.Mqtt == m_config.Mqtt);
    m_config = std::move(config);
    if (mqttChanged) {
        // The old client's stop publishes its offline status; the new one connects at once.
        std::shared_ptr<Publisher> old(m_publisher.release());
        old->Stop([old] {});
        MakePublisher();
        m_publisher->Start();
        if (m_config.Mqtt.Discovery)
            m_publisher->Subscribe(m_config.Mqtt.DiscoveryPrefix + "/status");
    }
    Prune();
    StartLines();
}

void Service::Stop(std::function<void()> done) {
    m_diag.stop();
    m_prune.stop();
    StopLines();
    m_publisher->Stop(std::move(done));
}

void Service::Prune() {
    const QDate today = QDate::currentDate();
    if (m_config.KeepDays == 0 || m_prunedOn == today)
        return;
    m_prunedOn = today;
    for (const LineConfig& line : m_config.Lines) {
        const int removed =
            DayFiles::Prune(m_config.DataDir + "/" + line.Name, m_config.KeepDays, today);
        if (removed > 0)
            Log(Priority::Info, line.Name + ": removed " + std::to_string(removed) +
                                    " files older than " + std::to_string(m_config.KeepDays) +
                                    " days");
    }
}

std::string Service::DefaultStatePayload(const StateReport& report) {
    return StatePayload({report.UtcMs, report.Seq, report.ExchangeMs, report.Reading});
}

std::vector<std::pair<std::string, std::string>>
Service::DefaultDiscovery(const DiscoveryRequest& request) {
    return DiscoveryMessages({request.Prefix, request.Base, request.Host, request.Line,
                              request.Address, request.PeriodMs});
}

std::string Service::DiagPayload(const LinePoller::Counts& now, const LinePoller::Counts& before,
                                 double seconds) const {
    std::string out = "{\"outcomes\":{";
    uint64_t exchanges = 0;
    for (int i = 0; i < kExchangeOutcomeCount; ++i) {
        const uint64_t n = now.Outcomes[size_t(i)] - before.Outcomes[size_t(i)];
        exchanges += n;
        out += i ? ",\"" : "\"";
        out += ExchangeOutcomeName(ExchangeOutcome(i));
        out += "\":";
        AppendUnsigned(out, n);
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.2f", seconds > 0 ? double(exchanges) / seconds : 0.0);
    out += "},\"exchanges_per_s\":";
    out += rate;
    out += ",\"overruns\":";
    AppendUnsigned(out, now.Skipped - before.Skipped);
    out += ",\"port_reopenings\":";
    AppendUnsigned(out, now.Reopenings - before.Reopenings);
    out += ",\"queue_depth\":";
    AppendUnsigned(out, m_publisher->QueueDepth());
    out += ",\"dropped\":";
    AppendUnsigned(out, m_publisher->Dropped());
    return out + "}";
}

void Service::SendDiag() {
    if (m_lines.empty())
        return;
    const int64_t now = m_steady.elapsed();
    const double seconds = double(now - m_diagAtMs) / 1000.0;
    m_diagAtMs = now;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const LinePoller::Counts counts = m_lines[i]->TotalCounts();
        m_publisher->Publish(m_config.Mqtt.Base + "/" + m_lines[i]->Config().Name + "/diag",
                             DiagPayload(counts, m_diagBefore[i], seconds), false,
                             m_config.Mqtt.Qos);
        m_diagBefore[i] = counts;
    }
}
