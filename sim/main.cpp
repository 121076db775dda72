// instrument-sim: stand-in instruments on a pseudo-terminal or a real serial port.
//
// Like instruments sharing an RS-485 line, it answers read requests for each of its network
// numbers in the crc and/or sum protocol, each instrument with its own live or fixed reading and
// faults on demand, and stays silent for any other number. The first line it prints is the
// device the reader should open. Commands on standard input change it while it runs; each is
// answered with a line "ok <command>" or "error <command>".

#include "exchange_log_reader.h"
#include "sim_core.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>
#include <string>

namespace {

const char kUsage[] =
    "usage: instrument-sim [options]\n"
    "  --variant crc|sum|both   protocol to answer (default both, told apart by the frame)\n"
    "  --address LIST           network numbers to answer, 0-255, one instrument each, as\n"
    "                           numbers and ranges: 1,2,5-8 (default 1)\n"
    "  --reading live|example|zero   reading of every instrument (default live); live\n"
    "                           values of instrument N lie (N-1)*100 above instrument 1's\n"
    "  --fault [N:]NAME[:MS]    fault for every answer of instrument N, or of all without N\n"
    "                           (an N: one wins for N); may be repeated. NAME: none silence\n"
    "                           badsum short noise split delay long garbage hangup; MS:\n"
    "                           the gap of split (default 200) or the wait of delay\n"
    "                           (default 300)\n"
    "  --fault-ms MS            MS for every --fault that gives none\n"
    "  --turnaround MS          wait after a request before the answer's first byte\n"
    "                           (default 0)\n"
    "  --pace                   send bytes at the wire speed of --baud\n"
    "  --baud N                 wire speed for --pace and for --device (default 19200)\n"
    "  --device PATH            use this serial device instead of a new pseudo-terminal\n"
    "  --link PATH              also make PATH a symbolic link to the pseudo-terminal\n"
    "  --replay LOG             answer each request, whatever its network number, with the\n"
    "                           next answer recorded in an exchange log, byte for byte\n"
    "                           (silence where it has none)\n"
    "  --replay-timing          send each replayed answer after its recorded exchange time,\n"
    "                           at most --replay-cap MS later (default 10000; longer recorded\n"
    "                           times are held to it and told on standard error)\n"
    "  --verbose                print each request (rx <hex>) and answer (tx <hex>)\n"
    "  --version                the version\n"
    "  --help                   this text\n"
    "Commands on standard input, one per line; the first five apply to every instrument,\n"
    "or with a prefix @N to instrument N only (@3 fault none):\n"
    "  fault NAME [MS]          fault for every following answer\n"
    "  next NAME [MS]           fault for the next answer only\n"
    "  reading live|example|zero\n"
    "  channel N ERR STATE VALUE   fix channel N (1-12) of the reading (makes it fixed)\n"
    "  status KEYS KEYS2 NUMBER INPUTS CONTROLS RELAYS   hex values (makes it fixed)\n"
    "  address LIST             answer these numbers: those already answered keep their\n"
    "                           instrument, new ones start as a copy of the first\n"
    "  variant crc|sum|both | pace on|off | quit\n";

volatile sig_atomic_t g_stop = 0;
// Set while the start-up may wait in a system call for ever (opening a FIFO to replay, reading
// it): a flag checked before the call would leave a gap in which a signal does not end it, so
// a signal then ends the program from the handler itself.
volatile sig_atomic_t g_mayBlock = 0;
void OnSignal(int) {
    g_stop = 1;
    if (g_mayBlock) {
        static const char kMessage[] = "instrument-sim: interrupted\n";
        [[maybe_unused]] const ssize_t n = write(2, kMessage, sizeof kMessage - 1);
        _exit(2);
    }
}

// Without SA_RESTART, so that a signal also ends a blocked open or read (EINTR).
void HandleSignal(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signalNumber, &action, nullptr);
}

// Standard output is checked: a line that cannot be written ends the run with status 2.
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

using Clock = std::chrono::steady_clock;

struct Options {
    std::string variant = "both";
    std::vector<uint32_t> addresses{1};
    ReadingKind reading = ReadingKind::Live;
    BusFaults faults;
    uint32_t turnaroundMs = 0;
    bool pace = false;
    uint32_t baud = 19200;
    std::string device;
    std::string link;
    bool verbose = false;
    std::string replay;
    bool replayTiming = false;
    uint32_t replayCapMs = 10000;
};

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

speed_t BaudConstant(uint32_t baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B19200;
    }
}

void MakeRaw(int fd, uint32_t baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, BaudConstant(baud));
    cfsetospeed(&tio, BaudConstant(baud));
    tcsetattr(fd, TCSANOW, &tio);
}

// A whole number up to `max`, digits only.
std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long n = std::stoul(text);
    return n <= max ? std::optional<uint32_t>(uint32_t(n)) : std::nullopt;
}

class Simulator {
public:
    explicit Simulator(Options options)
        : m_options(std::move(options)),
          m_bus(m_options.addresses, m_options.reading, m_options.faults) {}

    bool OpenLine() {
        if (!m_options.device.empty()) {
            m_lineFd = open(m_options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (m_lineFd < 0) {
                std::fprintf(stderr, "instrument-sim: cannot open %s: %s\n",
                             m_options.device.c_str(), std::strerror(errno));
                return false;
            }
            MakeRaw(m_lineFd, m_options.baud);
            PrintLine(m_options.device);
            return !g_outputFailed;
        }
        m_lineFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_lineFd < 0 || grantpt(m_lineFd) != 0 || unlockpt(m_lineFd) != 0) {
            std::perror("instrument-sim: pseudo-terminal");
            return false;
        }
        const std::string slave = ptsname(m_lineFd);
        // Keeping the other end open ourselves means a reader that closes the port does not
        // hang the line up, and the raw settings stay for the next reader.
        m_slaveFd = open(slave.c_str(), O_RDWR | O_NOCTTY);
        if (m_slaveFd >= 0)
            MakeRaw(m_slaveFd, m_options.baud);
        std::string shown = slave;
        if (!m_options.link.empty()) {
            unlink(m_options.link.c_str());
            if (symlink(slave.c_str(), m_options.link.c_str()) == 0)
                shown = m_options.link;
            else
                std::perror("instrument-sim: link");
        }
        PrintLine(shown);
        return !g_outputFailed;
    }

    // The pseudo-terminal closed (the reader's end reads as hung up) and a new one made in its
    // place, at the same link.
    void HangUp() {
        for (int* fd : {&m_slaveFd, &m_lineFd})
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
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
            pollfd fds[2] = {{m_lineFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
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
                const ssize_t n = read(m_lineFd, buf, sizeof buf);
                if (n > 0)
                    OnBytes(std::string(buf, size_t(n)));
            }
            SendDue();
            if (g_outputFailed)
                return 2;
        }
        return 0;
    }

    ~Simulator() {
        if (!m_options.link.empty())
            unlink(m_options.link.c_str());
        if (m_slaveFd >= 0)
            close(m_slaveFd);
        if (m_lineFd >= 0)
            close(m_lineFd);
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
        return m_options.variant == "both" ||
               (m_options.variant == "crc") == (variant == ProtocolVariant::Crc);
    }

    void OnBytes(const std::string& bytes) {
        m_pending += bytes;
        if (m_pending.size() > 4096)
            m_pending.erase(0, m_pending.size() - 64);
        while (auto request = TakeRequest(m_pending)) {
            if (m_options.verbose)
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
                chunks = PlanAnswer(answer->Bytes, answer->Applied, m_options.pace, m_options.baud,
                                    m_options.turnaroundMs);
            }
            std::string sent;
            for (auto& chunk : chunks) {
                sent += chunk.Bytes;
                if (m_queue.empty())
                    m_nextSendAt = Clock::now() + std::chrono::microseconds(chunk.DelayUs);
                m_queue.push_back(std::move(chunk));
            }
            if (m_options.verbose)
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
        if (m_options.replayTiming) { // so that the read ends about when it did
            uint32_t ms = next.ExchangeMs;
            if (ms > m_options.replayCapMs) {
                std::fprintf(stderr,
                             "instrument-sim: the exchange at line %llu took %u ms: answered "
                             "after %u ms\n",
                             static_cast<unsigned long long>(next.Line), unsigned(ms),
                             unsigned(m_options.replayCapMs));
                ms = m_options.replayCapMs;
            }
            fault.Kind = FaultKind::Delay;
            fault.Ms = ms > kReadGapMs ? ms - kReadGapMs : 0;
        }
        return PlanAnswer(next.Answer, fault, m_options.pace, m_options.baud,
                          m_options.turnaroundMs);
    }

    void SendDue() {
        while (!m_queue.empty() && Clock::now() >= m_nextSendAt) {
            const std::string& bytes = m_queue.front().Bytes;
            size_t sent = 0;
            while (sent < bytes.size()) {
                const ssize_t n = write(m_lineFd, bytes.data() + sent, bytes.size() - sent);
                if (n > 0) {
                    sent += size_t(n);
                } else if (errno == EAGAIN) {
                    pollfd out{m_lineFd, POLLOUT, 0};
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
            ok = v == "crc" || v == "sum" || v == "both";
            if (ok)
                m_options.variant = v;
        } else if (verb == "pace") {
            std::string v;
            in >> v;
            ok = v == "on" || v == "off";
            if (ok)
                m_options.pace = v == "on";
        } else {
            ok = m_bus.Command(line); // the instruments' own commands, with or without @N
        }
        Reply(ok, line);
        return true;
    }

private:
    Options m_options;
    SimBus m_bus;
    int m_lineFd = -1;
    int m_slaveFd = -1;
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

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<std::string> faultSpecs;
    std::string faultMs, reading = "live";
    bool badValue = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "instrument-sim: %s needs a value\n%s", arg.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("instrument-sim " READER_VERSION);
            return 0;
        } else if (arg == "--variant") {
            options.variant = value();
        } else if (arg == "--address") {
            const auto addresses = ParseAddressList(value());
            badValue = badValue || !addresses;
            if (addresses)
                options.addresses = *addresses;
        } else if (arg == "--reading") {
            reading = value();
        } else if (arg == "--fault") {
            faultSpecs.push_back(value());
        } else if (arg == "--fault-ms") {
            faultMs = value();
        } else if (arg == "--turnaround") {
            const auto ms = ParseNumber(value(), 600000);
            badValue = badValue || !ms;
            options.turnaroundMs = ms.value_or(0);
        } else if (arg == "--pace") {
            options.pace = true;
        } else if (arg == "--baud") {
            const auto baud = ParseNumber(value(), 4000000);
            badValue = badValue || !baud;
            options.baud = baud.value_or(0);
        } else if (arg == "--device") {
            options.device = value();
        } else if (arg == "--link") {
            options.link = value();
        } else if (arg == "--replay") {
            options.replay = value();
        } else if (arg == "--replay-timing") {
            options.replayTiming = true;
        } else if (arg == "--replay-cap") {
            const auto cap = ParseNumber(value(), 600000);
            badValue = badValue || !cap;
            options.replayCapMs = cap.value_or(0);
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else {
            std::fprintf(stderr, "instrument-sim: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    const auto faults = ParseBusFaults(faultSpecs, faultMs, options.addresses);
    badValue = badValue || !faults;
    if (faults)
        options.faults = *faults;
    if (!faultMs.empty() && !ParseFault("none", faultMs))
        badValue = true;
    if (badValue ||
        (options.variant != "crc" && options.variant != "sum" && options.variant != "both")) {
        std::fprintf(stderr, "instrument-sim: bad option value\n%s", kUsage);
        return 2;
    }
    const auto readingKind = ParseReadingKind(reading);
    if (!readingKind) {
        std::fprintf(stderr, "instrument-sim: bad reading %s\n%s", reading.c_str(), kUsage);
        return 2;
    }
    options.reading = *readingKind;

    HandleSignal(SIGINT);
    HandleSignal(SIGTERM);
    signal(SIGPIPE, SIG_IGN);
    Simulator simulator(options);
    if (!options.replay.empty()) {
        const std::string error = simulator.OpenReplay(options.replay);
        if (!error.empty()) {
            std::fprintf(stderr, "instrument-sim: cannot replay %s: %s\n", options.replay.c_str(),
                         error.c_str());
            return 2;
        }
    }
    if (!simulator.OpenLine())
        return g_outputFailed ? 2 : 1;
    return simulator.Run();
}
