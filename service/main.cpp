// reader-service: polls every instrument of the configured serial lines around the clock and
// delivers each reading to day files and to an MQTT broker. Runs under systemd (Type=notify)
// or by hand; --once polls each instrument once and exits.

#include "file_access.h"
#include "interrupts.h"
#include "number_text.h"
#include "quit_request.h"
#include "service.h"
#include "service_log.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
        ServiceLog(Priority::Error, path + ": " + error);
}

// --once: one line per visit on standard output.
class OnceReport : public Output {
public:
    void Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) override {
        std::string out = instrument.Line + " " + std::to_string(instrument.Address) + " " +
                          OutcomeName(record.Outcome);
        if (record.Reading)
            for (const ChannelReading& channel : record.Reading->Channels) {
                out += ' ';
                AppendFloat(out, channel.Value, false);
            }
        else
            AllAnswered = false;
        out += '\n';
        if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
            OutputFailed = true;
    }
    bool AllAnswered = true;
    bool OutputFailed = false;
};

int RunOnce(const ServiceConfig& config) {
    OnceReport report;
    std::vector<std::unique_ptr<InstrumentState>> instruments;
    std::vector<std::unique_ptr<DayFiles>> files;
    std::vector<std::unique_ptr<LinePoller>> lines;
    for (const LineConfig& line : config.Lines) {
        std::vector<InstrumentState*> states;
        for (uint32_t address : line.Addresses) {
            instruments.push_back(std::make_unique<InstrumentState>());
            instruments.back()->Line = line.Name;
            instruments.back()->Address = address;
            states.push_back(instruments.back().get());
        }
        files.push_back(
            std::make_unique<DayFiles>(config.DataDir + "/" + line.Name, line.ExchangeLog,
                                       [name = line.Name](const std::string& message) {
                                           ServiceLog(Priority::Warning, name + ": " + message);
                                       }));
        lines.push_back(std::make_unique<LinePoller>(
            line, std::move(states), std::vector<Output*>{files.back().get(), &report}));
    }
    size_t running = lines.size();
    for (auto& line : lines)
        line->RunOnce([&running] {
            if (--running == 0)
                QCoreApplication::quit();
        });
    if (running > 0)
        QCoreApplication::exec();
    if (report.OutputFailed) { // a report that did not arrive is no success
        ServiceLog(Priority::Error,
                   std::string("cannot write standard output: ") + std::strerror(errno));
        return 2;
    }
    return report.AllAnswered ? 0 : 1;
}

int RunService(const std::string& path, ServiceConfig config) {
    Service service(std::move(config), QSysInfo::machineHostName().toStdString());
    bool stopping = false;
    const auto stop = [&] {
        if (stopping)
            return;
        stopping = true;
        Notify("STOPPING=1");
        ServiceLog(Priority::Info, "stopping");
        service.Stop([] { QCoreApplication::quit(); });
        QTimer::singleShot(kStopLimitMs, [] { QCoreApplication::quit(); });
    };
    const auto reload = [&] {
        if (stopping)
            return;
        Notify("RELOADING=1");
        const ConfigCheck check = LoadConfig(path);
        if (check.Errors.empty()) {
            service.Reload(check.Config);
            ServiceLog(Priority::Info, "configuration read again from " + path);
        } else {
            ReportErrors(path, check);
            ServiceLog(Priority::Error, "the configuration in force is kept");
        }
        Notify("READY=1");
    };
    OnQuitRequest(&service, stop, reload);

    service.Start();
    size_t instruments = 0;
    for (const LineConfig& line : service.Config().Lines)
        instruments += line.Addresses.size();
    ServiceLog(Priority::Info, "started: " + std::to_string(service.Config().Lines.size()) +
                                   " lines, " + std::to_string(instruments) +
                                   " instruments, files in " + service.Config().DataDir);
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
    ServiceLog(Priority::Info, "stopped");
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
    UseJournalPrefixes(StderrIsJournal());
    // A reader of standard error that went away, or a full disk's size limit, must not end the
    // polling: each such write fails on its own.
    FailWritesInsteadOfSignals();

    // Qt's own event dispatcher rather than GLib's: turning a port's notifier on and off (twice
    // an exchange) then costs no wake-up of the loop.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const ConfigCheck loaded = LoadConfig(path);
    if (!loaded.Errors.empty()) {
        ReportErrors(path, loaded);
        return 2;
    }
    if (check) {
        // Read at every connection while running; a file that cannot be read now is told.
        const MqttConfig& mqtt = loaded.Config.Mqtt;
        std::vector<std::string> unreadable;
        std::string error;
        if (!mqtt.PasswordFile.empty() && !ReadPasswordFile(mqtt.PasswordFile, error))
            unreadable.push_back("[mqtt] password_file: " + error);
        for (const auto& [key, file] :
             {std::pair{"tls_ca", mqtt.TlsCa}, std::pair{"tls_cert", mqtt.TlsCert},
              std::pair{"tls_key", mqtt.TlsKey}})
            if (!file.empty() && ReadWholeFile(file, kMaxConfigBytes).State != FileState::Read)
                unreadable.push_back(std::string("[mqtt] ") + key + ": cannot read " + file);
        for (const std::string& line : unreadable)
            ServiceLog(Priority::Error, path + ": " + line);
        if (!unreadable.empty())
            return 2;
        if (std::printf("%s: good\n", path.c_str()) < 0 || std::fflush(stdout) != 0)
            return 2;
        return 0;
    }
    if (once)
        return RunOnce(loaded.Config);
    return RunService(path, loaded.Config);
}
