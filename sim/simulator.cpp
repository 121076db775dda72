#include "simulator.h"

#include "exchange_log_reader.h"
#include "pty_line.h"
#include "sim_core.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_mayBlock = 0;

bool g_outputFailed = false;
void PrintLine(const std::string& line) {
    if (g_outputFailed)
        return;
    if (std::fputs((line + "\n").c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "instrument-sim: cannot write standard output: %s\n",
                     std::strerror(errno));
        g_outputFailed = true;
    }
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

class SimulatorLoop {
public:
    explicit SimulatorLoop(SimOptions options)
        : m_options(std::move(options)), m_line(m_options.Device, m_options.Link, m_options.Baud),
          m_bus(m_options.Addresses, m_options.Reading, m_options.Faults) {}

    bool OpenLine() {
        std::string shown;
        if (!m_line.Open(shown))
            return false;
        PrintLine(shown);
        return !g_outputFailed;
    }

    // The pseudo-terminal closed (the reader's end reads as hung up) and a new one made in its
    // place, at the same link.
    void HangUp() {
        m_line.Close();
        m_pending.clear();
        m_queue.clear();
        if (!OpenLine())
            g_stop = 1;
    }

    // Opens an exchange log to replay and reads up to its first record; the rest is read as
    // requests come. An empty string when that worked, else why not.
    std::string OpenReplay(const std::string& path) {
        g_mayBlock = 1;
        const std::string failure = OpenReplayMayBlock(path);
        g_mayBlock = 0;
        return failure;
    }
    std::string OpenReplayMayBlock(const std::string& path) {
        if (g_stop)
            return "interrupted";
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC); // a FIFO waits for a writer
        if (fd < 0)
            return g_stop ? "interrupted" : std::strerror(errno);
        m_replayFd = fd;
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
            return "it is a folder";
        m_replay.emplace();
        m_replayReader.emplace(
            [this](const LoggedExchange& e) {
                m_replay->push_back({e.Answer, e.ExchangeTimeMs, e.Line});
            },
            nullptr);
        uint64_t read = 0;
        while (m_replay->empty() && m_replayFd >= 0) {
            if (read > kMaxBytesBeforeRecord)
                return "no exchange record in its first 16 MB";
            read += ReadReplay();
            if (g_stop)
                return "interrupted";
        }
        if (m_replay->empty())
            return m_replayError.empty() ? "no exchange record in it" : m_replayError;
        return {};
    }

    int Run() {
        bool stdinOpen = true;
        std::string stdinLine;
        while (!g_stop) {
            pollfd fds[2] = {{m_line.Fd(), POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
            const int rc = poll(fds, 2, TimeoutMs());
            if (rc < 0 && errno != EINTR)
                return 1;
            // Commands first, so that a command acknowledged before a request applies to it.
            if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
                char buf[512];
                const ssize_t n = read(0, buf, sizeof buf);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    stdinOpen = false;
                } else {
                    stdinLine.append(buf, size_t(n));
                    size_t nl;
                    while ((nl = stdinLine.find('\n')) != std::string::npos) {
                        const std::string command = stdinLine.substr(0, nl);
                        stdinLine.erase(0, nl + 1);
                        if (!Command(command))
                            return 0;
                    }
                }
            }
            if (fds[0].revents & POLLIN) {
                char buf[512];
                const ssize_t n = read(m_line.Fd(), buf, sizeof buf);
                if (n > 0)
                    OnBytes(std::string(buf, size_t(n)));
            }
            SendDue();
            if (g_outputFailed)
                return 2;
        }
        return 0;
    }

    ~SimulatorLoop() {
        if (m_replayFd >= 0)
            close(m_replayFd);
    }

private:
    int TimeoutMs() const {
        if (m_queue.empty())
            return 200;
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_nextSendAt - Clock::now());
        return wait.count() <= 0 ? 0 : int(wait.count()) + 1;
    }

    bool Answers(ProtocolVariant variant) const {
        return !m_options.Variant || *m_options.Variant == variant;
    }

    void OnBytes(const std::string& bytes) {
        m_pending += bytes;
        if (m_pending.size() > 4096)
            m_pending.erase(0, m_pending.size() - 64);
        while (auto request = TakeRequest(m_pending)) {
            if (m_options.Verbose)
                PrintLine("rx " + Hex(request->Bytes));
            std::vector<Chunk> chunks;
            if (m_replay) {
                chunks = NextReplayed();
            } else {
                if (!Answers(request->Variant))
                    continue;
                const auto answer = m_bus.AnswerFor(request->Variant, request->Address);
                if (!answer)
                    continue; // another instrument's number: this line stays silent
                if (answer->Applied.Kind == FaultKind::Hangup) {
                    HangUp();
                    return;
                }
                chunks = PlanAnswer(answer->Bytes, answer->Applied, m_options.Pace, m_options.Baud,
                                    m_options.TurnaroundMs);
            }
            std::string sent;
            for (auto& chunk : chunks) {
                sent += chunk.Bytes;
                if (m_queue.empty())
                    m_nextSendAt = Clock::now() + std::chrono::microseconds(chunk.DelayUs);
                m_queue.push_back(std::move(chunk));
            }
            if (m_options.Verbose)
                PrintLine("tx " + Hex(sent));
        }
    }

    // Reads the next piece of the replayed log into the queue of recorded answers; the byte
    // count, 0 at its end (or on an error, kept for the message).
    size_t ReadReplay() {
        char chunk[65536];
        const ssize_t n = read(m_replayFd, chunk, sizeof chunk);
        if (n > 0) {
            m_replayReader->Feed(std::string_view(chunk, size_t(n)));
            return size_t(n);
        }
        if (n < 0 && errno == EINTR)
            return 0;
        if (n < 0)
            m_replayError = std::strerror(errno);
        m_replayReader->Finish();
        close(m_replayFd);
        m_replayFd = -1;
        return 0;
    }

    // The next answer of the replayed log, timed as recorded with --replay-timing (held to the
    // cap); nothing (a silence) where the log has no answer or has run out.
    std::vector<Chunk> NextReplayed() {
        while (m_replay->empty() && m_replayFd >= 0 && !g_stop)
            ReadReplay();
        if (m_replay->empty())
            return {};
        const Recorded next = std::move(m_replay->front());
        m_replay->pop_front();
        if (next.Answer.empty())
            return {};
        Fault fault;
        if (m_options.ReplayTiming) { // so that the read ends about when it did
            uint32_t ms = next.ExchangeMs;
            if (ms > m_options.ReplayCapMs) {
                std::fprintf(stderr,
                             "instrument-sim: the exchange at line %llu took %u ms: answered "
                             "after %u ms\n",
                             static_cast<unsigned long long>(next.Line), unsigned(ms),
                             unsigned(m_options.ReplayCapMs));
                ms = m_options.ReplayCapMs;
            }
            fault.Kind = FaultKind::Delay;
            fault.Ms = ms > kReadGapMs ? ms - kReadGapMs : 0;
        }
        return PlanAnswer(next.Answer, fault, m_options.Pace, m_options.Baud,
                          m_options.TurnaroundMs);
    }

    void SendDue() {
        while (!m_queue.empty() && Clock::now() >= m_nextSendAt) {
            const std::string& bytes = m_queue.front().Bytes;
            size_t sent = 0;
            while (sent < bytes.size()) {
                const ssize_t n = write(m_line.Fd(), bytes.data() + sent, bytes.size() - sent);
                if (n > 0) {
                    sent += size_t(n);
                } else if (errno == EAGAIN) {
                    pollfd out{m_line.Fd(), POLLOUT, 0};
                    poll(&out, 1, 50);
                } else {
                    break; // nobody at the other end: the answer is lost, as on a real line
                }
            }
            m_queue.pop_front();
            // Each piece is due its delay after the previous one was due, not after it went
            // out: paced at the wire speed, the time a turn of the loop takes does not add up
            // over an answer.
            if (!m_queue.empty())
                m_nextSendAt += std::chrono::microseconds(m_queue.front().DelayUs);
        }
    }

    void Reply(bool ok, const std::string& command) {
        PrintLine((ok ? "ok " : "error ") + command);
    }

    // Returns false on "quit".
    bool Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb.empty())
            return true;
        if (verb == "quit") {
            Reply(true, line);
            return false;
        }
        bool ok = false;
        if (verb == "variant") {
            std::string v;
            in >> v;
            const auto choice = ParseVariantChoice(v);
            ok = choice.has_value();
            if (ok)
                m_options.Variant = *choice;
        } else if (verb == "pace") {
            std::string v;
            in >> v;
            ok = v == "on" || v == "off";
            if (ok)
                m_options.Pace = v == "on";
        } else {
            ok = m_bus.Command(line); // the instruments' own commands, with or without @N
        }
        Reply(ok, line);
        return true;
    }

private:
    SimOptions m_options;
    PtyLine m_line;
    SimBus m_bus;
    std::string m_pending;
    std::deque<Chunk> m_queue;
    Clock::time_point m_nextSendAt{};
    struct Recorded {
        std::string Answer;
        uint32_t ExchangeMs;
        uint64_t Line;
    };
    std::optional<std::deque<Recorded>> m_replay; // answers read ahead, a chunk's worth at most
    std::optional<ExchangeLogReader> m_replayReader;
    int m_replayFd = -1; // -1 once the log has ended
    std::string m_replayError;
    static constexpr uint64_t kMaxBytesBeforeRecord = uint64_t(16) << 20;
    // The reader's read ends this long after the last byte at the usual speeds.
    static constexpr uint32_t kReadGapMs = 24;
};

Simulator::Simulator(SimOptions options)
    : m_loop(std::make_unique<SimulatorLoop>(std::move(options))) {}

Simulator::~Simulator() = default;

std::string Simulator::OpenReplay(const std::string& path) {
    return m_loop->OpenReplay(path);
}

bool Simulator::OpenLine() {
    return m_loop->OpenLine();
}

int Simulator::Run() {
    return m_loop->Run();
}
