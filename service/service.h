#pragma once

// The running service: one LinePoller per [line], each feeding its day files, the MQTT output
// the HTTP output and the Modbus gateway; the state of every instrument, kept across reloads; the
// diag reports every 60 s and the daily removal of old files.

#include "day_files.h"
#include "http_output.h"
#include "line_poller.h"
#include "modbus_output.h"
#include "mqtt_client.h"
#include "mqtt_output.h"
#include "service_config.h"

#include <QDate>
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

class Service : public QObject {
public:
    Service(ServiceConfig config, std::string hostName);
    ~Service() override;

    void Start();
    // Puts a new configuration in force once every line's exchange in flight has ended: the
    // lines are started again from it, the broker client takes the new [mqtt] keeping what it
    // has queued, and instruments still configured keep their state (their sequence numbers go
    // on). A second reload while one waits replaces it.
    void Reload(ServiceConfig config);
    // Stops the lines, then the broker client; `done` once it has gone.
    void Stop(std::function<void()> done);

    const ServiceConfig& Config() const { return m_config; }
    const std::vector<std::unique_ptr<LinePoller>>& Lines() const { return m_lines; }
    // Each line's counts over the run (reloads included) and the broker client's queue.
    ServiceFigures Figures() const;

private:
    void ApplyReload();
    void StartLines();
    void StopLines();
    void StartMqtt();
    void StartHttp();
    void ConfigureModbus();
    void SendDiag();
    void Prune();

    ServiceConfig m_config;
    std::optional<ServiceConfig> m_pending; // a reload waiting for the lines' exchanges
    size_t m_linesFinishing = 0;
    bool m_stopping = false;
    std::string m_hostName;
    int64_t m_startedUtcMs;
    std::map<std::pair<std::string, uint32_t>, std::unique_ptr<InstrumentState>> m_instruments;
    std::unique_ptr<MqttClient> m_client;
    std::unique_ptr<MqttOutput> m_mqtt;
    std::unique_ptr<HttpOutput> m_http;
    std::map<std::string, LineTotals> m_carried; // of the lines' pollers before the last reload
    std::unique_ptr<ModbusOutput> m_modbus;      // with [modbus]; kept across reloads
    std::vector<std::unique_ptr<DayFiles>> m_dayFiles;
    std::vector<std::unique_ptr<LinePoller>> m_lines;
    std::vector<LineFigures> m_diagBefore;
    QElapsedTimer m_steady;
    int64_t m_diagAtMs = 0;
    QTimer m_diag;
    QTimer m_prune;
    QDate m_prunedOn;
};
