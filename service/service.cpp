#include "service.h"

#include "service_log.h"

#include <QDateTime>

namespace {

constexpr int kPruneCheckMs = 3600000; // a new day is noticed within the hour

} // namespace

Service::Service(ServiceConfig config, std::string hostName)
    : m_config(std::move(config)), m_hostName(std::move(hostName)),
      m_startedUtcMs(QDateTime::currentMSecsSinceEpoch()) {
    m_steady.start();
    connect(&m_diag, &QTimer::timeout, this, [this] { SendDiag(); });
    m_prune.setInterval(kPruneCheckMs);
    connect(&m_prune, &QTimer::timeout, this, [this] { Prune(); });
}

Service::~Service() {
    StopLines();
}

void Service::StartMqtt() {
    if (m_config.Mqtt.Host.empty())
        return;
    m_client = std::make_unique<MqttClient>(m_config.Mqtt);
    m_client->Log = [](const std::string& message) { ServiceLog(Priority::Info, message); };
    m_mqtt = std::make_unique<MqttOutput>(m_config, m_hostName, m_startedUtcMs, *m_client);
    // The availability known so far goes out with the first connection.
    for (const auto& [key, instrument] : m_instruments)
        if (instrument->Online)
            m_mqtt->AvailabilityChanged(*instrument);
    m_client->Start();
    if (m_config.Mqtt.Discovery)
        m_client->Subscribe(m_config.Mqtt.DiscoveryPrefix + "/status");
}

void Service::StartHttp() {
    const ListenConfig& listen = m_config.Http.Listen;
    if (!listen.Enabled) {
        m_http.reset();
        return;
    }
    if (!m_http)
        m_http = std::make_unique<HttpOutput>(m_startedUtcMs, [this] { return Figures(); });
    const std::string where =
        (listen.Address.find(':') == std::string::npos ? listen.Address
                                                       : "[" + listen.Address + "]") +
        ":" + std::to_string(listen.Port);
    std::string error;
    if (m_http->Listen(listen, error))
        ServiceLog(Priority::Info, "HTTP: listening on http://" + where + "/");
    else
        ServiceLog(Priority::Error, "HTTP: cannot listen on " + where + ": " + error);
}

ServiceFigures Service::Figures() const {
    ServiceFigures figures;
    figures.Lines = m_carried;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        LineTotals& totals = figures.Lines[m_lines[i]->Config().Name];
        const LineFigures now = m_lines[i]->Figures();
        for (size_t o = 0; o < kExchangeOutcomeCount; ++o)
            totals.Figures.Outcomes[o] += now.Outcomes[o];
        totals.Figures.Overruns += now.Overruns;
        totals.Figures.Reopenings += now.Reopenings;
        totals.FileWriteFailures += m_dayFiles[i]->WriteFailures();
    }
    if (m_client)
        figures.Mqtt = MqttMetrics{m_client->QueueDepth(), m_client->Dropped()};
    return figures;
}

void Service::ConfigureModbus() {
    if (!m_config.Modbus.Listen.Enabled) {
        m_modbus.reset();
        return;
    }
    if (!m_modbus)
        m_modbus = std::make_unique<ModbusOutput>();
    m_modbus->Configure(m_config);
}

void Service::Start() {
    StartMqtt();
    StartHttp();
    ConfigureModbus();
    Prune();
    m_prune.start();
    StartLines();
    m_diag.start(m_config.Mqtt.DiagIntervalS * 1000);
}

void Service::StartLines() {
    if (m_http)
        m_http->Configure(m_config.Lines);
    // Instruments that left the configuration are forgotten; the others keep their state.
    std::map<std::pair<std::string, uint32_t>, std::unique_ptr<InstrumentState>> kept;
    for (const LineConfig& line : m_config.Lines) {
        std::vector<InstrumentState*> instruments;
        for (uint32_t address : line.Addresses) {
            const auto key = std::make_pair(line.Name, address);
            auto found = m_instruments.find(key);
            std::unique_ptr<InstrumentState> state;
            if (found != m_instruments.end()) {
                state = std::move(found->second);
            } else {
                state = std::make_unique<InstrumentState>();
                state->Line = line.Name;
                state->Address = address;
            }
            instruments.push_back(state.get());
            kept[key] = std::move(state);
        }
        const std::string name = line.Name;
        m_dayFiles.push_back(
            std::make_unique<DayFiles>(m_config.DataDir + "/" + line.Name, line.ExchangeLog,
                                       [name](const std::string& message) {
                                           ServiceLog(Priority::Warning, name + ": " + message);
                                       }));
        std::vector<Output*> outputs{m_dayFiles.back().get()};
        if (m_mqtt)
            outputs.push_back(m_mqtt.get());
        if (m_http)
            outputs.push_back(m_http.get());
        if (m_modbus)
            outputs.push_back(m_modbus.get());
        m_lines.push_back(std::make_unique<LinePoller>(line, std::move(instruments), outputs));
    }
    m_instruments = std::move(kept);
    for (auto& line : m_lines)
        line->Start();
    m_diagBefore.assign(m_lines.size(), {});
    m_diagAtMs = m_steady.elapsed();
}

void Service::StopLines() {
    for (auto& line : m_lines)
        line->Stop();
    // The lines' counts go on from here with the next pollers.
    m_carried = Figures().Lines;
    m_lines.clear();
    m_dayFiles.clear();
}

void Service::Reload(ServiceConfig config) {
    if (m_stopping)
        return;
    const bool waiting = m_pending.has_value();
    m_pending = std::move(config);
    if (waiting)
        return; // the lines are finishing already; the latest configuration wins
    m_diag.stop();
    m_linesFinishing = m_lines.size();
    if (m_linesFinishing == 0) {
        ApplyReload();
        return;
    }
    for (auto& line : m_lines)
        line->Finish([this] {
            // Applied from the event loop, never from inside a line's own callback.
            if (--m_linesFinishing == 0)
                QTimer::singleShot(0, this, [this] { ApplyReload(); });
        });
}

void Service::ApplyReload() {
    if (!m_pending || m_stopping)
        return;
    StopLines();
    ServiceConfig config = std::move(*m_pending);
    m_pending.reset();
    const bool keepDaysChanged = config.KeepDays != m_config.KeepDays;
    const ServiceConfig previous = m_config;
    const MqttConfig& oldMqtt = previous.Mqtt;
    m_config = std::move(config);
    if (!(m_config.Mqtt == oldMqtt)) {
        if (m_config.Mqtt.Host.empty()) {
            // MQTT switched off: the client's stop publishes its offline status.
            m_mqtt.reset();
            if (m_client) {
                std::shared_ptr<MqttClient> old(m_client.release());
                old->Stop([old] {});
            }
        } else if (!m_client) {
            StartMqtt();
        } else {
            m_client->Reconfigure(m_config.Mqtt);
            if (m_config.Mqtt.Discovery)
                m_client->Subscribe(m_config.Mqtt.DiscoveryPrefix + "/status");
        }
    }
    if (m_mqtt)
        m_mqtt->ConfigChanged(previous);
    // The server starts again only when its settings changed (or it could not listen before).
    if (!(m_config.Http == previous.Http) || (m_http && !m_http->Listening()))
        StartHttp();
    if (keepDaysChanged)
        m_prunedOn = QDate(); // a lower keep_days removes what it no longer keeps now
    Prune();
    ConfigureModbus();
    StartLines();
    m_diag.start(m_config.Mqtt.DiagIntervalS * 1000);
}

void Service::Stop(std::function<void()> done) {
    m_stopping = true;
    m_pending.reset();
    m_diag.stop();
    m_prune.stop();
    StopLines();
    m_modbus.reset();
    m_mqtt.reset();
    m_http.reset();
    if (m_client)
        m_client->Stop(std::move(done));
    else
        done();
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
            ServiceLog(Priority::Info, line.Name + ": removed " + std::to_string(removed) +
                                           " files older than " +
                                           std::to_string(m_config.KeepDays) + " days");
    }
}

void Service::SendDiag() {
    if (m_lines.empty() || !m_mqtt)
        return;
    const int64_t now = m_steady.elapsed();
    const double seconds = double(now - m_diagAtMs) / 1000.0;
    m_diagAtMs = now;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const LineFigures figures = m_lines[i]->Figures();
        m_mqtt->PublishDiag(m_lines[i]->Config().Name, figures, m_diagBefore[i], seconds);
        m_diagBefore[i] = figures;
    }
}
