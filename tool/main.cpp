// reader-tool: the exchange log as data (CSV, JSON Lines, statistics, charts), the machine's
// serial ports and the dev.dat names that stand for them.

#include "chart.h"
#include "decode.h"
#include "file_access.h"
#include "log_stats.h"
#include "ports.h"
#include "profile.h"
#include "table_output.h"

#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

const char kUsage[] =
    "usage: reader-tool COMMAND [options]\n"
    "  csv    the exchanges of logs as CSV or JSON Lines\n"
    "  stats  figures over logs: outcomes, exchange times, polling gaps, channel ranges\n"
    "  plot   a chart of channel values and exchange times, as PNG or SVG\n"
    "  ports  the serial ports of this machine and the dev.dat names for them\n"
    "  map    write which device a port name stands for into dev.dat\n"
    "reader-tool COMMAND --help tells more; reader-tool --version the version.\n";

const char kLogHelp[] =
    "LOG is an exchange log of reader-crc or reader-sum (COM.txt by default), or - for standard\n"
    "input. Several logs are read one after the other, as are logs joined into one file. Logs\n"
    "of any size are read in constant memory. The request and answer bytes are given back\n"
    "exactly as they crossed the line: the log wrote each LF byte as CR LF, and the CR is taken\n"
    "out again. Only this cannot be told apart: answer bytes that spell out the head of a log\n"
    "record end the answer there. Malformed parts (a record cut short by a full disk, bytes\n"
    "between records) are counted and skipped; --verbose lists them by line.\n"
    "  --variant crc|sum|auto   the protocol of the exchanges (auto: from each request)\n"
    "  --verbose                list malformed parts on standard error\n";

const char kCsvHelp[] =
    "usage: reader-tool csv [--variant crc|sum|auto] [--jsonl] [--raw] [--follow] [-o FILE] "
    "LOG...\n"
    "One row per exchange: sent (ISO 8601, the log's local time), exchange_ms, network,\n"
    "variant, answer_bytes, outcome (ok, no-answer, too-short, no-frame, checksum-mismatch,\n"
    "unknown-request), then per channel value, error and state, and keys, keys2, number, inputs,\n"
    "controls and relays. The reading columns are empty when the answer did not parse.\n"
    "  --jsonl    one JSON object a line instead of CSV\n"
    "  --raw      add the request and answer bytes in hexadecimal\n"
    "  --follow   keep reading the last LOG as it grows, like tail -F (until interrupted):\n"
    "             from its start again when it is rewritten or replaced by a new file\n"
    "  -o FILE    write to FILE, which is replaced only once the output is complete (with\n"
    "             --follow: once the first rows are there); a link stays a link; FILE must\n"
    "             be a regular file, not one of the LOGs (default: stdout)\n";

const char kStatsHelp[] =
    "usage: reader-tool stats [--json] [--variant crc|sum|auto] [-o FILE] LOG...\n"
    "Exchanges, time span, answered share, outcomes, exchange time min / median / p95 / p99 /\n"
    "max, gaps in polling (periods over twice the median) and each channel's min / mean / max\n"
    "over good readings. Times are exact below 4096 ms, within 0.05 % above.\n"
    "  --json     one JSON object instead of text\n";

const char kPlotHelp[] =
    "usage: reader-tool plot [--channels 1,3,5] [--variant crc|sum|auto] -o CHART LOG...\n"
    "Channel values over time, one line per channel, broken where no good answer came, with the\n"
    "exchange time plotted underneath. CHART ends in .png or .svg. LOG must be files (the chart\n"
    "reads them twice). A send stamp far from both its neighbours, or invalid, is left off the\n"
    "time axis; the chart says how many.\n"
    "  --channels LIST   the channels to draw, 1 to 12 (default all)\n";

const char kPortsHelp[] =
    "usage: reader-tool ports [--file dev.dat]\n"
    "The serial ports of this machine: device, description, maker, serial number, USB ids, the\n"
    "stable /dev/serial/by-id name, and the port names of dev.dat that stand for each; then the\n"
    "[PORTS] entries whose device is not here.\n";

const char kMapHelp[] =
    "usage: reader-tool map COMn DEVICE [--file dev.dat]\n"
    "Writes COMn=DEVICE into the [PORTS] section of dev.dat (created if missing); everything else\n"
    "in the file stays as it was, and the file is replaced as a whole, as the readers save it.\n"
    "Use the stable /dev/serial/by-id name of a USB adapter (see reader-tool ports).\n";

constexpr size_t kChunkBytes = size_t(1) << 20;
constexpr size_t kOutputFlushBytes = size_t(1) << 20;

// A failure that ends the command with status 2; thrown, so that a half-written output is
// removed on the way out.
struct ToolError {
    std::string Message;
};
[[noreturn]] void Fail(const std::string& message) {
    throw ToolError{message};
}

// SIGINT or SIGTERM: ends --follow normally, and any other job as a failure. The handlers are
// installed without SA_RESTART, so a signal also ends a blocked open or read (EINTR).
std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted = true;
}

void HandleSignals() {
#ifdef _WIN32
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

// The reason a stdio call failed: "interrupted" after a signal, else errno's text.
std::string Reason(int error) {
    return g_interrupted || error == EINTR ? std::string("interrupted") : std::strerror(error);
}

// Output to stdout, or to -o FILE through a new file that replaces it: once complete, or with
// --follow once the first rows are there (rows that follow are appended whole).
class Output {
public:
    explicit Output(std::string path) : m_path(std::move(path)) {
        if (!m_path.empty() && !m_file.Open(m_path))
            Fail(m_file.Error());
    }
    // Writes the buffer out once it is large, or always when asked.
    void Write(std::string& buffer, bool now = false) {
        if (buffer.empty() || (!now && buffer.size() < kOutputFlushBytes))
            return;
        if (m_path.empty()) {
            if (std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size() ||
                (now && std::fflush(stdout) != 0))
                Fail("cannot write standard output: " + Reason(errno));
        } else if (!m_file.Write(buffer)) {
            Fail(m_file.Error());
        }
        buffer.clear();
    }
    // Makes what is written so far visible at -o (for --follow).
    void Publish(std::string& buffer) {
        Write(buffer, true);
        if (!m_path.empty() && !m_file.Publish())
            Fail(m_file.Error());
    }
    void Commit(std::string& buffer) {
        Write(buffer, true);
        if (m_path.empty()) {
            if (std::fflush(stdout) != 0 || std::ferror(stdout))
                Fail("cannot write standard output: " + Reason(errno));
        } else if (!m_file.Close()) {
            Fail(m_file.Error());
        }
    }

private:
    std::string m_path;
    ReplacingWriter m_file; // removes an unfinished temporary when the job fails
};

// Refuses an output that is one of the inputs, before anything is opened for writing: the
// output replaces the file it names, which would lose the log being read.
void RefuseInputAsOutput(const std::vector<std::string>& files, const std::string& outPath) {
    if (outPath.empty())
        return;
    const std::optional<FileIdentity> out = IdentifyPath(outPath);
    if (!out)
        return;
    for (const std::string& name : files) {
        const std::optional<FileIdentity> in =
            name == "-" ? IdentifyOpenFile(stdin) : IdentifyPath(name);
        if (in && in->SameFile(*out))
            Fail("will not write " + outPath + ": it is the input " +
                 (name == "-" ? std::string("(standard input)") : name));
    }
}

// A progress line on stderr, when it is a terminal and the job runs over two seconds.
class Progress {
public:
    explicit Progress(uint64_t total) : m_total(total), m_start(Clock::now()), m_shown(m_start) {
        m_enabled = isatty(fileno(stderr)) != 0;
    }
    void Add(uint64_t bytes) {
        m_done += bytes;
        const auto now = Clock::now();
        if (!m_enabled || now - m_start < std::chrono::seconds(2) ||
            now - m_shown < std::chrono::milliseconds(500))
            return;
        m_shown = now;
        std::fprintf(stderr, "\rreader-tool: %llu of %llu MB (%d %%)   ",
                     static_cast<unsigned long long>(m_done >> 20),
                     static_cast<unsigned long long>(m_total >> 20),
                     m_total ? int(100 * m_done / m_total) : 0);
        m_printed = true;
    }
    ~Progress() {
        if (m_printed)
            std::fputs("\r\033[K", stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    uint64_t m_total, m_done = 0;
    Clock::time_point m_start, m_shown;
    bool m_enabled = false, m_printed = false;
};

struct LogOptions {
    std::optional<ProtocolVariant> Variant;
    bool Verbose = false;
    std::vector<std::string> Files;
};

struct Input {
    std::string Name;
    std::FILE* File;
    uint64_t Size;
};

std::FILE* OpenForReading(const std::string& name) {
    if (g_interrupted)
        Fail("interrupted");
    std::FILE* file = std::fopen(name.c_str(), "rb"); // a FIFO waits here for its writer
    if (!file)
        Fail("cannot read " + name + ": " + Reason(errno));
    return file;
}

// Every LOG opened before anything is written, so that an unreadable one stops the job first.
std::vector<Input> OpenInputs(const std::vector<std::string>& files) {
    if (files.empty())
        Fail("no LOG given (see --help)");
    std::vector<Input> inputs;
    for (const std::string& name : files) {
        if (name == "-") {
            inputs.push_back({"standard input", stdin, 0});
            continue;
        }
        if (QFileInfo(QString::fromStdString(name)).isDir())
            Fail("cannot read " + name + ": it is a folder");
        std::FILE* file = OpenForReading(name);
        const std::optional<FileIdentity> identity = IdentifyOpenFile(file);
        inputs.push_back({name, file, identity && identity->Regular ? identity->Size : 0});
    }
    return inputs;
}

// The last bytes read of a followed log, to tell growth from a rewrite in place.
struct ReadTail {
    static constexpr size_t kBytes = 1024; // over a record, so stamps are among them
    uint64_t Offset = 0;                   // bytes read so far
    std::string Bytes;                     // the last (up to) kBytes of them
    void Add(std::string_view read) {
        Offset += read.size();
        if (read.size() >= kBytes) {
            Bytes.assign(read.substr(read.size() - kBytes));
        } else {
            Bytes.append(read);
            if (Bytes.size() > kBytes)
                Bytes.erase(0, Bytes.size() - kBytes);
        }
    }
};

// Feeds what can be read now of one input to a reader; returns the byte count.
uint64_t FeedAvailable(const Input& input, ExchangeLogReader& reader, Progress& progress,
                       std::vector<char>& chunk, bool follow, ReadTail* tail = nullptr) {
    uint64_t fed = 0;
    size_t got = 0;
    if (g_interrupted && !follow) // before a read that may wait
        Fail("interrupted");
    while ((got = std::fread(chunk.data(), 1, chunk.size(), input.File)) > 0) {
        reader.Feed(std::string_view(chunk.data(), got));
        if (tail)
            tail->Add(std::string_view(chunk.data(), got));
        progress.Add(got);
        fed += got;
        if (g_interrupted && !follow)
            Fail("interrupted");
    }
    if (std::ferror(input.File)) {
        const int error = errno;
        if (g_interrupted && follow)
            return fed;
        Fail("cannot read " + input.Name + ": " + Reason(error));
    }
    std::clearerr(input.File); // at the end of a growing log, for --follow
    return fed;
}

bool SeekTo(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, int64_t(offset), SEEK_SET) == 0;
#else
    return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

// What became of a followed log at its path: another file is there now (it was renamed away
// and a new one made), or it was rewritten in place (it is shorter than what was read, or the
// bytes before the read position changed).
enum class LogChange { None, Truncated, Replaced };
LogChange CheckFollowedLog(const Input& input, const ReadTail& tail) {
    if (input.File == stdin)
        return LogChange::None;
    const std::optional<FileIdentity> open = IdentifyOpenFile(input.File);
    const std::optional<FileIdentity> atPath = IdentifyPath(input.Name);
    if (open && atPath && !atPath->SameFile(*open))
        return LogChange::Replaced;
    if (!open || !open->Regular || open->Size == tail.Offset)
        return LogChange::None;
    if (open->Size < tail.Offset)
        return LogChange::Truncated;
    std::string before(tail.Bytes.size(), '\0');
    const bool same = SeekTo(input.File, tail.Offset - before.size()) &&
                      std::fread(before.data(), 1, before.size(), input.File) == before.size() &&
                      before == tail.Bytes;
    std::clearerr(input.File);
    SeekTo(input.File, tail.Offset);
    return same ? LogChange::None : LogChange::Truncated;
}

// Reads every log, handing each exchange, decoded, to `onExchange`. With `follow`, the last log
// is read on as it grows until the job is interrupted, from the start again when it is
// rewritten or replaced (as tail -F does); `idle` runs while it waits.
template <class OnExchange, class OnMalformed>
void ReadLogs(const LogOptions& options, OnExchange&& onExchange, OnMalformed&& onMalformed,
              bool follow = false, const std::function<void()>& idle = {}) {
    std::vector<Input> inputs = OpenInputs(options.Files);
    uint64_t total = 0;
    for (const Input& input : inputs)
        total += input.Size;
    Progress progress(total);
    std::vector<char> chunk(kChunkBytes);
    for (size_t i = 0; i < inputs.size(); ++i) {
        Input& input = inputs[i];
        std::optional<ExchangeDecoder> decoder;
        std::optional<ExchangeLogReader> reader;
        const auto start = [&] { // each log starts from the zero reading
            decoder.emplace(options.Variant);
            reader.emplace(
                [&](const LoggedExchange& logged) { onExchange(decoder->Decode(logged)); },
                [&](const MalformedPart& part) {
                    onMalformed();
                    if (options.Verbose)
                        std::fprintf(stderr, "reader-tool: %s:%llu: %s\n", input.Name.c_str(),
                                     static_cast<unsigned long long>(part.Line), part.What);
                });
        };
        start();
        const bool following = follow && i + 1 == inputs.size();
        ReadTail tail;
        FeedAvailable(input, *reader, progress, chunk, follow, following ? &tail : nullptr);
        // Each part of a record is written at once, so an answer part that has not grown for
        // a second is whole.
        auto lastGrowth = std::chrono::steady_clock::now();
        bool closed = false;
        while (following && !g_interrupted) {
            const LogChange change = CheckFollowedLog(input, tail);
            if (change == LogChange::Replaced) {
                // What was added to the old file before it went is read first.
                FeedAvailable(input, *reader, progress, chunk, follow, &tail);
                if (std::FILE* file = std::fopen(input.Name.c_str(), "rb")) {
                    reader->Finish();
                    std::fclose(input.File);
                    input.File = file;
                } else { // not there yet, or not readable: looked for again
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    continue;
                }
            } else if (change == LogChange::Truncated) {
                SeekTo(input.File, 0);
            }
            if (change != LogChange::None) {
                std::fprintf(stderr, "reader-tool: %s was %s: reading it from the start\n",
                             input.Name.c_str(),
                             change == LogChange::Replaced ? "replaced" : "rewritten");
                start();
                tail = {};
                closed = false;
            }
            const auto now = std::chrono::steady_clock::now();
            if (FeedAvailable(input, *reader, progress, chunk, follow, &tail) > 0) {
                lastGrowth = now;
                closed = false;
            } else if (!closed && now - lastGrowth > std::chrono::seconds(1)) {
                reader->CloseAnswerPart();
                closed = true;
            }
            if (idle)
                idle();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        reader->Finish();
        if (input.File != stdin)
            std::fclose(input.File);
    }
}

// Takes the value after an option, or fails.
std::string ValueOf(int& i, int argc, char** argv) {
    if (i + 1 >= argc)
        Fail(std::string(argv[i]) + " needs a value");
    return argv[++i];
}

// Options every log command takes; true when argv[i] was one.
bool LogOption(LogOptions& options, int& i, int argc, char** argv) {
    const std::string arg = argv[i];
    if (arg == "--variant") {
        const std::string value = ValueOf(i, argc, argv);
        if (value == "crc")
            options.Variant = ProtocolVariant::Crc;
        else if (value == "sum")
            options.Variant = ProtocolVariant::Sum;
        else if (value != "auto")
            Fail("--variant takes crc, sum or auto");
        return true;
    }
    if (arg == "--verbose" || arg == "-v") {
        options.Verbose = true;
        return true;
    }
    if (arg != "-" && arg.size() > 1 && arg[0] == '-')
        Fail("unknown option " + arg);
    options.Files.push_back(arg);
    return true;
}

bool AskedForHelp(int argc, char** argv, const char* help) {
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(help, stdout);
            if (help != kPortsHelp && help != kMapHelp)
                std::fputs(kLogHelp, stdout);
            return true;
        }
    return false;
}

void ReportMalformed(uint64_t malformed, bool verbose) {
    if (malformed && !verbose)
        std::fprintf(stderr, "reader-tool: %llu malformed parts skipped (--verbose lists them)\n",
                     static_cast<unsigned long long>(malformed));
}

int Csv(int argc, char** argv) {
    LogOptions options;
    bool jsonl = false, raw = false, follow = false;
    std::string outPath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--jsonl")
            jsonl = true;
        else if (arg == "--raw")
            raw = true;
        else if (arg == "--follow" || arg == "-f")
            follow = true;
        else if (arg == "-o")
            outPath = ValueOf(i, argc, argv);
        else
            LogOption(options, i, argc, argv);
    }
    RefuseInputAsOutput(options.Files, outPath);
    const ExchangeTable table(jsonl ? RowFormat::JsonLines : RowFormat::Csv, raw);
    Output output(outPath);
    std::string buffer;
    table.AppendHeader(buffer);
    uint64_t malformed = 0;
    ReadLogs(
        options,
        [&](const DecodedExchange& exchange) {
            table.AppendRow(buffer, exchange);
            output.Write(buffer);
        },
        [&] { ++malformed; }, follow, [&] { output.Publish(buffer); });
    output.Commit(buffer);
    ReportMalformed(malformed, options.Verbose);
    return 0;
}

int Stats(int argc, char** argv) {
    LogOptions options;
    bool json = false;
    std::string outPath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json")
            json = true;
        else if (arg == "-o")
            outPath = ValueOf(i, argc, argv);
        else
            LogOption(options, i, argc, argv);
    }
    RefuseInputAsOutput(options.Files, outPath);
    Output output(outPath);
    LogStats stats;
    ReadLogs(
        options, [&](const DecodedExchange& exchange) { stats.Add(exchange); },
        [&] { stats.AddMalformed(); });
    std::string text;
    json ? stats.AppendJson(text) : stats.AppendText(text);
    output.Commit(text);
    return 0;
}

int Plot(int argc, char** argv) {
    LogOptions options;
    std::vector<int> channels;
    std::string outPath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--channels") {
            const std::string list = ValueOf(i, argc, argv);
            size_t at = 0;
            while (at <= list.size()) {
                const size_t comma = std::min(list.find(',', at), list.size());
                const std::string item = list.substr(at, comma - at);
                char* end = nullptr;
                const long channel = std::strtol(item.c_str(), &end, 10);
                if (item.empty() || *end != '\0' || channel < 1 || channel > 12)
                    Fail("--channels takes numbers 1 to 12 separated by commas");
                channels.push_back(int(channel));
                at = comma + 1;
            }
        } else if (arg == "-o") {
            outPath = ValueOf(i, argc, argv);
        } else {
            LogOption(options, i, argc, argv);
        }
    }
    if (channels.empty())
        channels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::string suffix = outPath.size() >= 4 ? outPath.substr(outPath.size() - 4) : "";
    const bool png = suffix == ".png" || suffix == ".PNG";
    if (!png && suffix != ".svg" && suffix != ".SVG")
        Fail("plot needs -o CHART ending in .png or .svg");
    for (const std::string& file : options.Files)
        if (file == "-")
            Fail("plot reads its logs twice, so they must be files");

    RefuseInputAsOutput(options.Files, outPath);
    Output output(outPath);
    ChannelChart chart(channels);
    uint64_t malformed = 0;
    ReadLogs(
        options, [&](const DecodedExchange& exchange) { chart.Measure(exchange); },
        [&] { ++malformed; });
    LogOptions quiet = options;
    quiet.Verbose = false;
    ReadLogs(
        quiet, [&](const DecodedExchange& exchange) { chart.Place(exchange); }, [] {});
    std::string image;
    if (png) {
        RasterSurface surface(ChannelChart::kWidth, ChannelChart::kHeight);
        chart.Draw(surface);
        image = EncodePng(surface);
    } else {
        SvgSurface surface(ChannelChart::kWidth, ChannelChart::kHeight);
        chart.Draw(surface);
        image = surface.Document();
    }
    output.Commit(image);
    ReportMalformed(malformed, options.Verbose);
    return 0;
}

std::string CanonicalDevice(const std::string& device) {
    const QString canonical = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical.toStdString();
}

int Ports(int argc, char** argv) {
    std::string devDatPath = "dev.dat";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--file") == 0)
            devDatPath = ValueOf(i, argc, argv);
        else
            Fail(std::string("unknown option ") + argv[i]);
    }
    const FileContent devDat = ReadWholeFile(devDatPath, size_t(64) << 20);
    auto names = PortNamesByDevice(devDat.Bytes, CanonicalDevice);
    const std::vector<MachinePort> ports = FindMachinePorts();
    std::string out;
    if (ports.empty())
        out += "no serial ports found\n";
    for (const MachinePort& port : ports) {
        out += port.Device + '\n';
        const std::pair<const char*, std::string> rows[] = {{"description", port.Description},
                                                            {"maker", port.Maker},
                                                            {"serial number", port.SerialNumber},
                                                            {"USB ids", port.UsbIds},
                                                            {"stable name", port.StableName}};
        for (const auto& [label, value] : rows)
            if (!value.empty())
                out += std::string("  ") + label + std::string(15 - std::strlen(label), ' ') +
                       value + '\n';
        const auto it = names.find(CanonicalDevice(port.Device));
        std::string mapped;
        if (it != names.end()) {
            for (const std::string& name : it->second)
                mapped += (mapped.empty() ? "" : ", ") + name;
            names.erase(it);
        }
        out +=
            "  dev.dat        " + (mapped.empty() ? std::string("(no port name)") : mapped) + '\n';
    }
    for (const auto& [device, portNames] : names)
        for (const std::string& name : portNames)
            if (ProfileLookup(devDat.Bytes, "PORTS", name).value_or("") != "")
                out += devDatPath + " maps " + name + " to " + device + ", which is not here\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}

int Map(int argc, char** argv) {
    std::string devDatPath = "dev.dat";
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--file") == 0)
            devDatPath = ValueOf(i, argc, argv);
        else
            words.push_back(argv[i]);
    }
    if (words.size() != 2)
        Fail("map takes COMn and DEVICE (see --help)");
    const std::string name = NormalisedPortName(words[0]);
    if (name.empty())
        Fail("no port name " + words[0] + ": COM1 to COM16");
    if (words[1].find_first_of("\r\n") != std::string::npos)
        Fail("a device is a path on one line");
    // What the readers and ports will read back: blanks around it and enclosing quotes go.
    const std::string device =
        ProfileLookup("[PORTS]\nCOM1=" + words[1], "PORTS", "COM1").value_or("");
    if (device.empty())
        Fail("a device is a path on one line");
    if (device.size() >= kMaxProfileText)
        Fail("a device path is at most " + std::to_string(kMaxProfileText - 1) + " characters");
    constexpr size_t kMaxDevDat = size_t(256) << 20;
    const FileContent file = ReadWholeFile(devDatPath, kMaxDevDat);
    if (file.State == FileState::Unusable) {
        const std::optional<FileIdentity> identity = IdentifyPath(devDatPath);
        if (identity && identity->Regular && identity->Size > kMaxDevDat)
            Fail("cannot use " + devDatPath + ": it is too large (over 256 MB)");
        Fail("cannot use " + devDatPath + ": not a regular file this user may read");
    }
    const std::string written = ProfileWrite(file.Bytes, "PORTS", name, device);
    if (ProfileLookup(written, "PORTS", name) != device)
        Fail("cannot store " + device + " so that it reads back the same");
    if (!ReplaceFileContent(devDatPath, written))
        Fail("cannot write " + devDatPath);
    std::printf("%s: %s now stands for %s\n", devDatPath.c_str(), name.c_str(), device.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    HandleSignals();
    const std::string command = argc > 1 ? argv[1] : "";
    struct Command {
        const char* Name;
        int (*Run)(int, char**);
        const char* Help;
    };
    const Command commands[] = {{"csv", Csv, kCsvHelp},
                                {"stats", Stats, kStatsHelp},
                                {"plot", Plot, kPlotHelp},
                                {"ports", Ports, kPortsHelp},
                                {"map", Map, kMapHelp}};
    for (const Command& c : commands) {
        if (command != c.Name)
            continue;
        try {
            const int status = AskedForHelp(argc, argv, c.Help) ? 0 : c.Run(argc, argv);
            if (std::fflush(stdout) != 0 || std::ferror(stdout))
                Fail("cannot write standard output: " + Reason(errno));
            return status;
        } catch (const ToolError& error) {
            std::fprintf(stderr, "reader-tool: %s\n", error.Message.c_str());
            return 2;
        }
    }
    if (command == "--version" || command == "--help" || command == "-h" || command == "help") {
        std::fputs(command == "--version" ? "reader-tool " READER_VERSION "\n" : kUsage, stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "reader-tool: cannot write standard output: %s\n",
                         std::strerror(errno));
            return 2;
        }
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
