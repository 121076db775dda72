#include "log_input.h"

#include "command_line.h"
#include "file_access.h"
#include "interrupt.h"

#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr size_t kChunkBytes = size_t(1) << 20;

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

struct Input {
    std::string Name;
    std::FILE* File;
    uint64_t Size;
};

std::FILE* OpenForReading(const std::string& name) {
    std::FILE* file = nullptr;
    {
        const MayBlock stretch;
        file = std::fopen(name.c_str(), "rb"); // a FIFO waits here for its writer
    }
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
    const auto read = [&] {
        if (follow) // a signal ends following normally: the read's EINTR is enough there
            return std::fread(chunk.data(), 1, chunk.size(), input.File);
        const MayBlock stretch;
        return std::fread(chunk.data(), 1, chunk.size(), input.File);
    };
    while ((got = read()) > 0) {
        reader.Feed(std::string_view(chunk.data(), got));
        if (tail)
            tail->Add(std::string_view(chunk.data(), got));
        progress.Add(got);
        fed += got;
        if (Interrupted() && !follow)
            Fail("interrupted");
    }
    if (std::ferror(input.File)) {
        const int error = errno;
        if (Interrupted() && follow)
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

} // namespace

void ReadLogs(const LogOptions& options, const ExchangeHandler& onExchange,
              const std::function<void()>& onMalformed, bool follow,
              const std::function<void()>& idle) {
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
        const auto start = [&] { // each log starts from zero readings
            decoder.emplace(options.Variant, options.Network);
            reader.emplace(
                [&](const LoggedExchange& logged) {
                    if (const std::optional<ExchangeRecord> decoded = decoder->Decode(logged))
                        onExchange(*decoded);
                },
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
        while (following && !Interrupted()) {
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
