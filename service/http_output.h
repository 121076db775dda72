#pragma once

// The service's HTTP side: an output that keeps what it is told of every line and instrument,
// and serves it from an HttpServer:
//   /                 the status page (service/page.html, compiled in), live from /api/events
//   /api/instruments  every instrument: its state payload's fields with line, address, online,
//                     age_s, failures_in_row, last_outcome and counts by outcome
//   /api/lines        every line: its device, whether its port is open and why not
//   /api/health       200 while every line's port is open, else 503 with the reasons
//   /api/events       Server-Sent Events: "exchange" per exchange record, "instrument" per
//                     change of availability, "line" per change of a port, "heartbeat" every 5 s
//   /metrics          Prometheus's text format (metrics.h)
// One object for the service's run: it stays across reloads, so what it knows goes on.

#include "http_server.h"
#include "metrics.h"
#include "output.h"
#include "service_config.h"

#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What the service adds to the metrics: each line's counts over the run and the broker queue.
struct LineTotals {
    LineFigures Figures;
    uint64_t FileWriteFailures = 0;
};
struct ServiceFigures {
    std::map<std::string, LineTotals> Lines;
    std::optional<MqttMetrics> Mqtt;
};

class HttpOutput : public Output {
public:
    using FiguresSource = std::function<ServiceFigures()>;

    // `startedUtcMs`: when the service's run began, as its state payloads say.
    HttpOutput(int64_t startedUtcMs, FiguresSource figures);
    ~HttpOutput() override;

    // Starts the server, or starts it again with new settings; false with the reason.
    bool Listen(const ListenConfig& listen, std::string& error);
    bool Listening() const { return m_server.Running(); }
    // The lines and instruments now configured, told before their pollers start: those that
    // stay keep what is known of them, the others are forgotten.
    void Configure(const std::vector<LineConfig>& lines);

    void Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) override;
    void AvailabilityChanged(const InstrumentState& instrument) override;
    void LineChanged(const LineState& line) override;

    HttpReply Route(const std::string& path);

private:
    struct Instrument {
        InstrumentState State;
        uint32_t ReadingExchangeMs = 0; // of its latest good answer
        std::optional<ExchangeOutcome> Last;
    };
    struct Line {
        LineState Port;
        std::vector<Instrument> Instruments;
        ExchangeTimes Times;
    };

    std::pair<Line*, Instrument*> Find(std::string_view line, uint32_t address);
    void InstrumentJson(std::string& out, const Instrument& instrument, int64_t nowUtcMs) const;
    void LineJson(std::string& out, const Line& line) const;
    void Event(const char* name, const std::string& data);
    HttpReply Health() const;
    std::string Metrics() const;

    int64_t m_startedUtcMs;
    FiguresSource m_figures;
    std::vector<Line> m_lines;
    HttpServer m_server;
    QTimer m_heartbeat;
    uint64_t m_eventId = 0;
    // The metrics text, made again at most twice a second however often it is asked for.
    std::string m_metrics;
    QElapsedTimer m_metricsAge;
};
