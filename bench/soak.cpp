// Soak run: the exchange cycle (without the window, so without the 500 ms pause) against
// instrument-sim for a number of minutes, with a rotating fault mix and the simulator killed and
// restarted now and then. At the end the counters are checked against the exchange log (one
// answer part per send part, the failed exchanges recounted from the logged answers) and memory
// and open files against their level after warm-up.
// Usage: soak [minutes]   exit status 0 when every check holds
#include "reader_state.h"
#include "sim_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

namespace {

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

long OpenFiles() {
    return long(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

// The failed exchanges of a log: answer parts that are empty or that the parser rejects.
uint32_t FailuresInLog(const QByteArray& log, int& answerParts) {
    const QByteArray answerMark = "Answ:\r\r\n";
    const QByteArray recordMark = "\r\r\n____________________________\r\r\n";
    uint32_t failures = 0;
    answerParts = 0;
    DeviceReading reading;
    for (qsizetype at = log.indexOf(answerMark); at >= 0; at = log.indexOf(answerMark, at)) {
        ++answerParts;
        at += answerMark.size();
        const qsizetype end = log.indexOf(recordMark, at);
        QByteArray answer = log.mid(at, end < 0 ? -1 : end - at);
        answer.replace("\r\n", "\n"); // the log wrote every LF as CR LF
        ReceiveBuffer buffer{};
        const auto length = uint32_t(std::min<qsizetype>(answer.size(), kMaxReadLength));
        std::memcpy(buffer.data(), answer.constData(), length);
        if (length == 0 || ParseResponse(ProtocolVariant::Crc, buffer, length, reading) != 0)
            ++failures;
    }
    return failures;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double minutes = argc > 1 ? std::atof(argv[1]) : 20;
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    auto sim = std::make_unique<SimProcess>(QStringList{"--reading", "live"});
    // Speed index 11 on a fresh port: no gap limit, each read lasts TimeOut, silent or not.
    const QByteArray settings = "[COM_SETTINGS]\nSpd=11\n[SETTINGS]\nTimeOut=80\n[LOG]\n"
                                "UseLogFile=1\nLogFileName=COM.txt\n";
    WritePortsFile(folder.path(), {sim->Device()}, settings);

    ReaderState state(ProtocolVariant::Crc);
    LoadSettings(state.Settings);
    state.Port.ReopenPort(state.Settings.Spd, state.Settings.Port, state.Settings.TimeOut);

    const char* const faults[] = {"none",     "silence",  "badsum", "short",   "noise",
                                  "split 20", "delay 30", "long",   "garbage", "none"};
    QElapsedTimer clock;
    clock.start();
    long rssAfterWarmUp = 0, filesAfterWarmUp = 0;
    int restarts = 0;
    uint64_t cycles = 0;
    while (clock.elapsed() < qint64(minutes * 60000)) {
        if (cycles % 250 == 249) { // the instrument goes away for a few cycles
            sim.reset();
            for (int i = 0; i < 5; ++i, ++cycles) {
                state.BeginExchange({});
                while (state.Exchange.InFlight())
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            sim = std::make_unique<SimProcess>(QStringList{"--reading", "live"});
            WritePortsFile(folder.path(), {sim->Device()}, settings);
            state.Port.ReopenPort(state.Settings.Spd, state.Settings.Port, state.Settings.TimeOut);
            ++restarts;
        }
        sim->Command(QString("next ") + faults[cycles % 10]);
        state.BeginExchange({});
        while (state.Exchange.InFlight())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (++cycles == 100) {
            rssAfterWarmUp = ResidentKb();
            filesAfterWarmUp = OpenFiles();
        }
    }
    const long rssAtEnd = ResidentKb(), filesAtEnd = OpenFiles();
    state.Port.Close();

    QFile logFile(folder.filePath("COM.txt"));
    logFile.open(QIODevice::ReadOnly);
    const QByteArray log = logFile.readAll();
    int answerParts = 0;
    const uint32_t failures = FailuresInLog(log, answerParts);
    const int sendParts = int(log.count("\r\r\nSend:\r\r\n"));

    const ExchangeCounters& exchange = state.Counters;
    const bool countsHold = exchange.RequestCount == cycles && sendParts == int(cycles) &&
                            answerParts == int(cycles) && exchange.ErrorCount == failures;
    const bool memoryFlat = rssAtEnd - rssAfterWarmUp < 4096;
    const bool filesFlat = filesAtEnd == filesAfterWarmUp;
    std::printf("%.1f min, %llu cycles (%.1f a second), instrument restarted %d times\n",
                double(clock.elapsed()) / 60000, static_cast<unsigned long long>(cycles),
                double(cycles) * 1000 / double(clock.elapsed()), restarts);
    std::printf("requests %u, send parts %d, answer parts %d: %s\n", exchange.RequestCount,
                sendParts, answerParts, countsHold ? "match" : "MISMATCH");
    std::printf("errors %u, failed answers in the log %u\n", exchange.ErrorCount, failures);
    std::printf("resident %ld kB after warm-up, %ld kB at the end: %s\n", rssAfterWarmUp, rssAtEnd,
                memoryFlat ? "flat" : "GROWING");
    std::printf("open files %ld after warm-up, %ld at the end: %s\n", filesAfterWarmUp, filesAtEnd,
                filesFlat ? "flat" : "GROWING");
    return countsHold && memoryFlat && filesFlat ? 0 : 1;
}
