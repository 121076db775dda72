#include "metrics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <type_traits>

namespace {

// The outcomes a line's exchange can have.
constexpr ExchangeOutcome kOutcomes[] = {
    ExchangeOutcome::Ok,       ExchangeOutcome::TooShort,
    ExchangeOutcome::NoFrame,  ExchangeOutcome::ChecksumMismatch,
    ExchangeOutcome::NoAnswer, ExchangeOutcome::PortFailure};

// Prometheus's spelling of the special values; a float (a channel's value) as the shortest text
// that reads back as that float, not as the double it widens to.
template <typename T> void Number(std::string& out, T value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        char text[32];
        out.append(text, size_t(std::to_chars(text, text + sizeof text, value).ptr - text));
    }
}

std::string NumberText(double value) {
    std::string text;
    Number(text, value);
    return text;
}

// Writes the metric families one after another: Family starts one, Sample adds its series.
class Exposition {
public:
    explicit Exposition(std::string& out) : m_out(out) {}

    void Family(const char* name, const char* type, const char* help) {
        m_name = name;
        ((((m_out += "# HELP ") += name) += ' ') += help) += '\n';
        ((((m_out += "# TYPE ") += name) += ' ') += type) += '\n';
    }
    // A series of the current family; `suffix` for a histogram's _bucket, _sum and _count.
    Exposition& Sample(const char* suffix = "") {
        (m_out += m_name) += suffix;
        m_labels = 0;
        return *this;
    }
    Exposition& Label(const char* name, std::string_view value) {
        m_out += m_labels++ == 0 ? '{' : ',';
        (m_out += name) += "=\"";
        for (const char c : value) {
            if (c == '\\' || c == '"')
                (m_out += '\\') += c;
            else if (c == '\n')
                m_out += "\\n";
            else
                m_out += c;
        }
        m_out += '"';
        return *this;
    }
    Exposition& Label(const char* name, uint64_t value) {
        return Label(name, std::to_string(value));
    }
    template <typename T> void Value(T value) requires std::is_floating_point_v<T> {
        End();
        Number(m_out, value);
        m_out += '\n';
    }
    void Value(uint64_t value) {
        End();
        (m_out += std::to_string(value)) += '\n';
    }

private:
    void End() { m_out += m_labels > 0 ? "} " : " "; }

    std::string& m_out;
    const char* m_name = "";
    int m_labels = 0;
};

} // namespace

void ExchangeTimes::Add(uint32_t ms) {
    ++Count;
    SumMs += ms;
    for (size_t i = 0; i < kBoundsMs.size(); ++i)
        if (ms <= kBoundsMs[i]) {
            ++InBucket[i];
            break;
        }
}

std::string MetricsText(const MetricsInput& in) {
    std::string out;
    out.reserve(512 + in.Instruments.size() * 3000);
    Exposition e(out);
    const auto perInstrument = [&](const InstrumentMetrics& i) -> Exposition& {
        return e.Sample().Label("line", i.Line).Label("address", i.Address);
    };
    const auto perChannel = [&](const char* name, const char* help, auto value) {
        e.Family(name, "gauge", help);
        for (const InstrumentMetrics& i : in.Instruments)
            if (i.Reading)
                for (size_t c = 0; c < i.Reading->Channels.size(); ++c)
                    perInstrument(i).Label("channel", c + 1).Value(value(i.Reading->Channels[c]));
    };

    perChannel("reader_channel_value",
               "Latest value of the channel, in its own unit, from the instrument's latest good "
               "answer (its value before where one did not convert).",
               [](const ChannelReading& c) { return c.Value; });
    perChannel("reader_channel_break", "1 while the channel reports a sensor break.",
               [](const ChannelReading& c) {
                   return (c.StateBits & kSensorBreakBit) != 0 ? uint64_t(1) : uint64_t(0);
               });
    perChannel("reader_channel_error_code", "The channel's error code; 0 means no error.",
               [](const ChannelReading& c) { return uint64_t(c.ErrorCode); });

    e.Family("reader_instrument_up", "gauge",
             "1 while the instrument answers, 0 once offline_after exchanges in a row failed "
             "(and before its first answer).");
    for (const InstrumentMetrics& i : in.Instruments)
        perInstrument(i).Value(uint64_t(i.Up ? 1 : 0));
    e.Family("reader_instrument_last_reading_timestamp_seconds", "gauge",
             "When the instrument's latest good answer came, seconds since the Unix epoch.");
    for (const InstrumentMetrics& i : in.Instruments)
        if (i.LastGoodUtcMs >= 0)
            perInstrument(i).Value(double(i.LastGoodUtcMs) / 1000.0);
    e.Family("reader_exchanges_total", "counter",
             "Exchanges with the instrument since the service started, by outcome.");
    for (const InstrumentMetrics& i : in.Instruments)
        for (const ExchangeOutcome outcome : kOutcomes)
            perInstrument(i)
                .Label("outcome", OutcomeName(outcome))
                .Value(i.Outcomes[size_t(outcome)]);

    e.Family("reader_exchange_duration_seconds", "histogram",
             "How long the line's exchanges took, from the request written to the read's end.");
    for (const LineMetrics& line : in.Lines) {
        uint64_t below = 0;
        for (size_t b = 0; b < ExchangeTimes::kBoundsMs.size(); ++b) {
            below += line.Times.InBucket[b];
            e.Sample("_bucket")
                .Label("line", line.Line)
                .Label("le", NumberText(ExchangeTimes::kBoundsMs[b] / 1000.0))
                .Value(below);
        }
        e.Sample("_bucket").Label("line", line.Line).Label("le", "+Inf").Value(line.Times.Count);
        e.Sample("_sum").Label("line", line.Line).Value(double(line.Times.SumMs) / 1000.0);
        e.Sample("_count").Label("line", line.Line).Value(line.Times.Count);
    }
    const auto perLine = [&](const char* name, const char* type, const char* help, auto value) {
        e.Family(name, type, help);
        for (const LineMetrics& line : in.Lines)
            e.Sample().Label("line", line.Line).Value(value(line));
    };
    perLine("reader_line_port_open", "gauge", "1 while the line's serial port is open.",
            [](const LineMetrics& l) { return uint64_t(l.PortOpen ? 1 : 0); });
    perLine("reader_line_overruns_total", "counter",
            "Visits skipped because an exchange ran past them.",
            [](const LineMetrics& l) { return l.Figures.Overruns; });
    perLine("reader_line_port_reopenings_total", "counter",
            "Times the line's port was opened again after a failure.",
            [](const LineMetrics& l) { return l.Figures.Reopenings; });
    perLine("reader_file_write_failures_total", "counter",
            "Exchanges the line's day files could not take (a full disk, say).",
            [](const LineMetrics& l) { return l.FileWriteFailures; });

    if (in.Mqtt) {
        e.Family("reader_mqtt_queued_messages", "gauge",
                 "Messages waiting for the broker or not yet acknowledged by it.");
        e.Sample().Value(in.Mqtt->QueueDepth);
        e.Family("reader_mqtt_dropped_messages_total", "counter",
                 "Messages dropped, oldest first, to keep the broker queue bounded.");
        e.Sample().Value(in.Mqtt->Dropped);
    }

    e.Family("reader_http_requests_total", "counter", "HTTP requests answered.");
    e.Sample().Value(in.Http.Requests);
    e.Family("reader_http_connections_refused_total", "counter",
             "HTTP connections closed at once: from outside allow, or past max_clients.");
    e.Sample().Value(in.Http.Refused);
    e.Family("reader_http_requests_timed_out_total", "counter",
             "HTTP connections closed because their request was not complete in time.");
    e.Sample().Value(in.Http.TimedOut);
    e.Family("reader_http_event_streams", "gauge", "Event streams open now.");
    e.Sample().Value(in.Http.Streams);
    e.Family("reader_http_event_streams_dropped_total", "counter",
             "Event streams disconnected because their client fell too far behind.");
    e.Sample().Value(in.Http.StreamsDropped);

    if (in.Process.Known) {
        const ProcessMetrics& p = in.Process;
        e.Family("process_cpu_seconds_total", "counter",
                 "Total user and system CPU time spent in seconds.");
        e.Sample().Value(p.CpuSeconds);
        e.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        e.Sample().Value(p.ResidentBytes);
        e.Family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
        e.Sample().Value(p.VirtualBytes);
        e.Family("process_open_fds", "gauge", "Number of open file descriptors.");
        e.Sample().Value(p.OpenFds);
        e.Family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
        e.Sample().Value(p.MaxFds);
        e.Family("process_start_time_seconds", "gauge",
                 "Start time of the process since unix epoch in seconds.");
        e.Sample().Value(p.StartTimeSeconds);
    }
    return out;
}

ProcessMetrics ReadProcessMetrics() {
    ProcessMetrics p;
    std::ifstream file("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')'); // the command's name may hold blanks
    if (close == std::string::npos)
        return p;
    // From field 3 (state) on: utime is field 14, stime 15, starttime 22, vsize 23, rss 24.
    std::istringstream fields(stat.substr(close + 2));
    std::array<std::string, 23> f;
    for (size_t i = 0; i < f.size() && fields >> f[i]; ++i) {
    }
    if (f[22].empty())
        return p;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    p.CpuSeconds = (std::stod(f[11]) + std::stod(f[12])) / ticks;
    p.VirtualBytes = std::stoull(f[20]);
    p.ResidentBytes = std::stoull(f[21]) * uint64_t(sysconf(_SC_PAGESIZE));
    // The start is in ticks since boot; boot is the wall clock less the time since boot.
    timespec wall{}, sinceBoot{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    const double bootSeconds =
        double(wall.tv_sec - sinceBoot.tv_sec) + double(wall.tv_nsec - sinceBoot.tv_nsec) / 1e9;
    p.StartTimeSeconds = bootSeconds + std::stod(f[19]) / ticks;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++p.OpenFds;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        p.MaxFds = uint64_t(limit.rlim_cur);
    p.Known = true;
    return p;
}
