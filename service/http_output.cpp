#include "http_output.h"

#include "json_text.h"
#include "record_format.h"

#include <QDateTime>
#include <QFile>

#include <charconv>

namespace {

constexpr int kHeartbeatMs = 5000;

// The outcomes a line's exchange can have, in the payloads' order.
constexpr ExchangeOutcome kCounted[] = {
    ExchangeOutcome::Ok,       ExchangeOutcome::TooShort,
    ExchangeOutcome::NoFrame,  ExchangeOutcome::ChecksumMismatch,
    ExchangeOutcome::NoAnswer, ExchangeOutcome::PortFailure};

HttpReply Json(std::string body, int status = 200) {
    HttpReply reply;
    reply.Status = status;
    reply.ContentType = "application/json";
    reply.Body = std::move(body);
    reply.Headers.emplace_back("Cache-Control", "no-store");
    return reply;
}

const std::string& Page() {
    static const std::string page = [] {
        QFile file(":/reader-service/page.html");
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }();
    return page;
}

} // namespace

HttpOutput::HttpOutput(int64_t startedUtcMs, FiguresSource figures)
    : m_startedUtcMs(startedUtcMs), m_figures(std::move(figures)),
      m_server([this](const std::string& path) { return Route(path); }) {
    m_heartbeat.setInterval(kHeartbeatMs);
    QObject::connect(&m_heartbeat, &QTimer::timeout, &m_heartbeat, [this] {
        Event("heartbeat", std::to_string(QDateTime::currentMSecsSinceEpoch()));
    });
}

HttpOutput::~HttpOutput() = default;

bool HttpOutput::Listen(const ListenConfig& listen, std::string& error) {
    m_heartbeat.stop();
    if (!m_server.Start(listen, error))
        return false;
    m_heartbeat.start();
    return true;
}

void HttpOutput::Configure(const std::vector<LineConfig>& lines) {
    std::vector<Line> configured;
    for (const LineConfig& config : lines) {
        Line line;
        line.Port.Line = config.Name;
        line.Port.Device = config.Device;
        for (Line& old : m_lines)
            if (old.Port.Line == config.Name) {
                line.Port = old.Port;
                line.Port.Device = config.Device;
                line.Times = old.Times;
            }
        for (uint32_t address : config.Addresses) {
            const auto [oldLine, old] = Find(config.Name, address);
            Instrument instrument;
            if (old) {
                instrument = std::move(*old);
            } else {
                instrument.State.Line = config.Name;
                instrument.State.Address = address;
            }
            line.Instruments.push_back(std::move(instrument));
        }
        configured.push_back(std::move(line));
    }
    m_lines = std::move(configured);
}

std::pair<HttpOutput::Line*, HttpOutput::Instrument*> HttpOutput::Find(std::string_view line,
                                                                       uint32_t address) {
    for (Line& candidate : m_lines)
        if (candidate.Port.Line == line) {
            for (Instrument& instrument : candidate.Instruments)
                if (instrument.State.Address == address)
                    return {&candidate, &instrument};
            return {&candidate, nullptr};
        }
    return {nullptr, nullptr};
}

void HttpOutput::Exchanged(const ExchangeRecord& record, const InstrumentState& state) {
    const auto [line, instrument] = Find(state.Line, state.Address);
    if (!instrument)
        return;
    instrument->State = state;
    if (record.Aborted)
        return; // a stop's: counted nowhere
    instrument->Last = record.Outcome;
    if (record.Reading)
        instrument->ReadingExchangeMs = record.ExchangeMs;
    if (record.Outcome != ExchangeOutcome::PortFailure)
        line->Times.Add(record.ExchangeMs);
    if (m_server.HasStreams()) {
        std::string data;
        InstrumentJson(data, *instrument, record.Received.UtcMs);
        Event("exchange", data);
    }
}

void HttpOutput::AvailabilityChanged(const InstrumentState& state) {
    const auto [line, instrument] = Find(state.Line, state.Address);
    if (!instrument)
        return;
    instrument->State = state;
    if (m_server.HasStreams()) {
        std::string data;
        InstrumentJson(data, *instrument, QDateTime::currentMSecsSinceEpoch());
        Event("instrument", data);
    }
}

void HttpOutput::LineChanged(const LineState& state) {
    const auto [line, instrument] = Find(state.Line, 0);
    if (!line)
        return;
    line->Port = state;
    if (m_server.HasStreams()) {
        std::string data;
        LineJson(data, *line);
        Event("line", data);
    }
}

void HttpOutput::Event(const char* name, const std::string& data) {
    std::string event = "event: ";
    ((((event += name) += "\nid: ") += std::to_string(++m_eventId)) += "\ndata: ") += data;
    m_server.Broadcast(event += "\n\n");
}

void HttpOutput::InstrumentJson(std::string& out, const Instrument& instrument,
                                int64_t nowUtcMs) const {
    const InstrumentState& s = instrument.State;
    JsonText json(out);
    json.BeginObject().Key("line").String(s.Line).Key("address").Unsigned(s.Address);
    json.Key("online");
    if (s.Online)
        json.Bool(*s.Online);
    else
        json.Null();
    json.Key("age_s");
    if (s.LastGoodUtcMs >= 0) {
        char text[32];
        const auto end =
            std::to_chars(text, text + sizeof text,
                          double(std::max<int64_t>(nowUtcMs - s.LastGoodUtcMs, 0)) / 1000.0,
                          std::chars_format::fixed, 3);
        json.Raw(std::string_view(text, size_t(end.ptr - text)));
    } else {
        json.Null();
    }
    json.Key("failures_in_row").Unsigned(s.FailuresInRow);
    json.Key("last_outcome");
    if (instrument.Last)
        json.String(OutcomeName(*instrument.Last));
    else
        json.Null();
    json.Key("counts").BeginObject();
    for (const ExchangeOutcome outcome : kCounted)
        json.Key(OutcomeName(outcome)).Unsigned(s.Outcomes[size_t(outcome)]);
    json.EndObject();
    if (s.LastGoodUtcMs >= 0) {
        // The state payload's own fields, as MQTT publishes them, follow in the same object.
        ExchangeRecord latest;
        latest.Received.UtcMs = s.LastGoodUtcMs;
        latest.ExchangeMs = instrument.ReadingExchangeMs;
        latest.Reading = &s.Reading;
        const std::string state = StateJson(latest, s.Seq, m_startedUtcMs);
        json.Raw(std::string_view(state).substr(1, state.size() - 2));
    }
    json.EndObject();
}

void HttpOutput::LineJson(std::string& out, const Line& line) const {
    JsonText json(out);
    json.BeginObject()
        .Key("line")
        .String(line.Port.Line)
        .Key("device")
        .String(line.Port.Device)
        .Key("port_open")
        .Bool(line.Port.PortOpen)
        .Key("trouble");
    if (line.Port.Trouble.empty())
        json.Null();
    else
        json.String(line.Port.Trouble);
    json.Key("addresses").BeginArray();
    for (const Instrument& instrument : line.Instruments)
        json.Unsigned(instrument.State.Address);
    json.EndArray().EndObject();
}

HttpReply HttpOutput::Health() const {
    std::string body;
    JsonText json(body);
    json.BeginObject().Key("reasons").BeginArray();
    bool healthy = true;
    for (const Line& line : m_lines)
        if (!line.Port.PortOpen) {
            healthy = false;
            json.String(line.Port.Line + ": " + line.Port.Device + ": " +
                        (line.Port.Trouble.empty() ? "not open" : line.Port.Trouble));
        }
    json.EndArray().Key("status").String(healthy ? "ok" : "failing").EndObject();
    return Json(std::move(body), healthy ? 200 : 503);
}

std::string HttpOutput::Metrics() const {
    const ServiceFigures service = m_figures ? m_figures() : ServiceFigures{};
    MetricsInput in;
    for (const Line& line : m_lines) {
        for (const Instrument& instrument : line.Instruments) {
            const InstrumentState& s = instrument.State;
            in.Instruments.push_back({s.Line, s.Address, s.Online.value_or(false),
                                      s.LastGoodUtcMs >= 0 ? &s.Reading : nullptr, s.LastGoodUtcMs,
                                      s.Outcomes});
        }
        LineMetrics& metrics = in.Lines.emplace_back();
        metrics.Line = line.Port.Line;
        metrics.PortOpen = line.Port.PortOpen;
        metrics.Times = line.Times;
        if (const auto found = service.Lines.find(line.Port.Line); found != service.Lines.end()) {
            metrics.Figures = found->second.Figures;
            metrics.FileWriteFailures = found->second.FileWriteFailures;
        }
    }
    in.Mqtt = service.Mqtt;
    in.Http = m_server.Figures();
    in.Process = ReadProcessMetrics();
    return MetricsText(in);
}

HttpReply HttpOutput::Route(const std::string& path) {
    if (path == "/") {
        HttpReply reply;
        reply.ContentType = "text/html; charset=utf-8";
        reply.Body = Page();
        // Nothing from elsewhere: the page works on a plant network without the internet.
        reply.Headers.emplace_back("Content-Security-Policy",
                                   "default-src 'none'; script-src 'unsafe-inline'; style-src "
                                   "'unsafe-inline'; connect-src 'self'; img-src data:");
        reply.Headers.emplace_back("Cache-Control", "no-store");
        return reply;
    }
    if (path == "/api/instruments") {
        const int64_t now = QDateTime::currentMSecsSinceEpoch();
        std::string body = "[";
        for (const Line& line : m_lines)
            for (const Instrument& instrument : line.Instruments) {
                if (body.size() > 1)
                    body += ',';
                InstrumentJson(body, instrument, now);
            }
        return Json(body += "]\n");
    }
    if (path == "/api/lines") {
        std::string body = "[";
        for (const Line& line : m_lines) {
            if (body.size() > 1)
                body += ',';
            LineJson(body, line);
        }
        return Json(body += "]\n");
    }
    if (path == "/api/health")
        return Health();
    if (path == "/api/events") {
        HttpReply reply;
        reply.ContentType = "text/event-stream";
        reply.Body = "retry: 2000\n\n";
        reply.Stream = true;
        reply.Headers.emplace_back("Cache-Control", "no-store");
        return reply;
    }
    if (path == "/metrics") {
        HttpReply reply;
        reply.ContentType = "text/plain; version=0.0.4; charset=utf-8";
        if (!m_metricsAge.isValid() || m_metricsAge.elapsed() >= 500) {
            m_metrics = Metrics();
            m_metricsAge.start();
        }
        reply.Body = m_metrics;
        return reply;
    }
    HttpReply reply;
    reply.Status = 404;
    reply.Body = "not found\n";
    return reply;
}
