// reader-service: polls every instrument of the configured serial lines around the clock and
// delivers each reading to day files and to an MQTT broker. Runs under systemd (Type=notify)
// or by hand; --once polls each instrument once and exits.

#include "file_access.h"
#include "mqtt_publisher.h"
#include "service.h"
#include "table_output.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef READER_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

const char kDefaultConfig[] = "/etc/instrument-reader/reader-service.conf";
constexpr size_t kMaxConfigBytes = 1 << 20;
constexpr int kStopLimitMs = 5000; // the broker gets this long to take the offline status

const char kHelp[] =
    "usage: reader-service [--config FILE] [--check | --once]\n"
    "Polls every instrument of the serial lines in FILE and writes each reading to day files\n"
    "(and publishes it over MQTT when [mqtt] host is set), until SIGTERM or SIGINT. SIGHUP\n"
    "reads FILE again; a FILE with errors is reported and the running configuration kept.\n"
    "  --config FILE  the configuration (default /etc/instrument-reader/reader-service.conf)\n"
    "  --check        check FILE: exit 0 when good, else 2 with one line per error\n"
    "  --once         poll every instrument once, print one line each (line, address,\n"
    "                 outcome, the twelve channel values when it answered), write the day\n"
    "                 files, publish nothing; exit 0 when every instrument answered, else 1\n"
    "  --help, --version\n"
    "See reader-service(1).\n";

bool g_journal = false;

void Log(Priority priority, const std::string& text) {
    if (g_journal)
        std::fprintf(stderr, "<%d>%s\n", int(priority), text.c_str());
    else
        std::fprintf(stderr, "reader-service: %s\n", text.c_str());
}

// systemd names the journal's stream in JOURNAL_STREAM ("device:inode"); a program started from
// a shell inside a service inherits the variable with another stderr.
bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat info {};
    unsigned long long device = 0, inode = 0;
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void Notify([[maybe_unused]] const char* state) {
#ifdef READER_SYSTEMD
    sd_notify(0, state);
#endif
}

// The configuration in FILE, or the errors that keep it from being used.
ConfigCheck LoadConfig(const std::string& path) {
    const FileContent file = ReadWholeFile(path, kMaxConfigBytes);
    if (file.State != FileState::Read) {
        ConfigCheck check;
        check.Errors.push_back(file.State == FileState::Missing
                                   ? "no such file"
                                   : "cannot be read (not a regular file, no permission, or "
                                     "over 1 MiB)");
        return check;
    }
    return ParseServiceConfig(file.Bytes, QSysInfo::machineHostName().toStdString());
}

void ReportErrors(const std::string& path, const ConfigCheck& check) {
    for (const std::string& error : check.Errors)
        Log(Priority::Error, path + ": " + error);
}

// The broker client for [mqtt]; nothing (and nothing published) when its password file
// cannot be read.
std::unique_ptr<Publisher> MakePublisher(const MqttConfig& mqtt) {
    std::string password;
    if (!mqtt.PasswordFile.empty()) {
        std::string error;
        const std::optional<std::string> read = ReadPasswordFile(mqtt.PasswordFile, error);
        if (!read) {
            Log(Priority::Error, "[mqtt] password_file: " + error + "; nothing is published");
            return nullptr;
        }
        password = *read;
    }
    return std::make_unique<MqttPublisher>(
        mqtt, password, [](const std::string& message) { Log(Priority::Info, message); });
}

int RunOnce(const ServiceConfig& config) {
    std::vector<std::unique_ptr<LinePoller>> lines;
    size_t running = config.Lines.size();
    bool allAnswered = true;
    bool outputFailed = false;
    for (const LineConfig& line : config.Lines) {
        LinePoller::Events events;
        events.Log = [name = line.Name](const std::string& message) {
            Log(Priority::Warning, name + ": " + message);
        };
        lines.push_back(std::make_unique<LinePoller>(line, config.DataDir, std::move(events)));
    }
    for (auto& poller : lines) {
        const std::string name = poller->Config().Name;
        poller->RunOnce(
            [&allAnswered, &outputFailed, name](const ExchangeResult& result,
                                                const DeviceReading& reading) {
                std::string out = name + " " + std::to_string(result.Address) + " " +
                                  ExchangeOutcomeName(result.Outcome);
                if (result.Outcome == ExchangeOutcome::Parsed)
                    for (const ChannelReading& channel : reading.Channels) {
                        out += ' ';
                        AppendFloat(out, channel.Value, false);
                    }
                else
                    allAnswered = false;
                out += '\n';
                if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
                    outputFailed = true;
            },
            [&running] {
                if (--running == 0)
                    QCoreApplication::quit();
            });
    }
    if (running > 0)
        QCoreApplication::exec();
    if (outputFailed) { // a report that did not arrive is no success
        Log(Priority::Error, std::string("cannot write standard output: ") + std::strerror(errno));
        return 2;
    }
    return allAnswered ? 0 : 1;
}

int g_signalPipe[2] = {-1, -1};

void OnSignal(int number) {
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP handled in the event loop: the handler only writes a byte.
void CatchSignals(QObject* context, std::function<void(int)> handle) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handle = std::move(handle)] {
        char byte = 0;
        if (read(g_signalPipe[0], &byte, 1) == 1)
            handle(int(byte));
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(number, &action, nullptr);
}

int RunService(const std::string& path, ServiceConfig config) {
    Service::Hooks hooks;
    hooks.MakePublisher = MakePublisher;
    hooks.Log = Log;
    const std::string host = QSysInfo::machineHostName().toStdString();
    Service service(std::move(config), host, hooks);

    bool stopping = false;
    CatchSignals(&service, [&](int number) {
        if (number == SIGHUP) {
            Notify("RELOADING=1");
            const ConfigCheck check = LoadConfig(path);
            if (check.Errors.empty()) {
                service.Reload(check.Config);
                Log(Priority::Info, "configuration read again from " + path);
            } else {
                ReportErrors(path, check);
                Log(Priority::Error, "the configuration in force is kept");
            }
            Notify("READY=1");
            return;
        }
        if (stopping)
            return;
        stopping = true;
        Notify("STOPPING=1");
        Log(Priority::Info, "stopping");
        service.Stop([] { QCoreApplication::quit(); });
        QTimer::singleShot(kStopLimitMs, [] { QCoreApplication::quit(); });
    });

    service.Start();
    size_t instruments = 0;
    for (const LineConfig& line : service.Config().Lines)
        instruments += line.Addresses.size();
    Log(Priority::Info, "started: " + std::to_string(service.Config().Lines.size()) + " lines, " +
                            std::to_string(instruments) + " instruments, files in " +
                            service.Config().DataDir);
    Notify("READY=1");

#ifdef READER_SYSTEMD
    uint64_t watchdogUs = 0;
    QTimer watchdog;
    if (sd_watchdog_enabled(0, &watchdogUs) > 0 && watchdogUs > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, [] { Notify("WATCHDOG=1"); });
        watchdog.start(int(std::max<uint64_t>(watchdogUs / 2000, 1)));
    }
#endif
    QCoreApplication::exec();
    Log(Priority::Info, "stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string path = kDefaultConfig;
    bool check = false, once = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("reader-service %s\n", READER_VERSION);
            return 0;
        }
        if (arg == "--config" && i + 1 < argc)
            path = argv[++i];
        else if (arg == "--check")
            check = true;
        else if (arg == "--once")
            once = true;
        else {
            std::fprintf(stderr, "reader-service: unknown argument %s\n%s", arg.c_str(), kHelp);
            return 2;
        }
    }
    g_journal = StderrIsJournal();

    QCoreApplication app(argc, argv);
    const ConfigCheck loaded = LoadConfig(path);
    if (!loaded.Errors.empty()) {
        ReportErrors(path, loaded);
        return 2;
    }
    if (check) {
        std::printf("%s: good\n", path.c_str());
        return 0;
    }
    if (once)
        return RunOnce(loaded.Config);
    return RunService(path, loaded.Config);
}
