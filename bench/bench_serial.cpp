// Read latency over instrument-sim on a pseudo-terminal:
//  - how long after the answer's last byte the read returns, at a 24 ms interval time-out;
//  - how long a silent read takes against its total time-out.
#include "frames.h"
#include "parser.h"
#include "serial_port.h"
#include "sim_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void Report(const char* what, const std::vector<double>& ms, double budgetMedian,
            double budgetMax) {
    const double max = ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end());
    std::printf(
        "%-52s n=%3zu median %7.2f ms  max %7.2f ms  (budget median <= %.0f, max <= %.0f)\n", what,
        ms.size(), Median(ms), max, budgetMedian, budgetMax);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 60;

    constexpr uint16_t kTimeOut = 200;
    RequestBuffer request{};
    const uint16_t length = BuildRequest(ProtocolVariant::Crc, 1, request);
    ReceiveBuffer answer{};

    {
        SimProcess sim({"--reading", "live"});
        SerialPort port([&](const std::string&) { return sim.Device().toStdString(); }, {});
        port.ReopenPort(7, 1, kTimeOut); // 19200 baud: interval 24 ms
        std::vector<double> afterLastByte;
        for (int i = 0; i < exchanges; ++i) {
            port.Purge();
            AwaitCount([&](auto done) { port.StartWrite(request.data(), length, done); });
            if (AwaitCount(
                    [&](auto done) { port.StartRead(answer.data(), kMaxReadLength, done); }) == 0)
                continue;
            const auto& t = port.LastReadTiming();
            afterLastByte.push_back(double(t.ReturnNs - t.LastByteNs) / 1e6);
        }
        for (double& v : afterLastByte)
            v -= 24.0; // the interval time-out itself
        Report("read return after last byte, beyond the 24 ms interval", afterLastByte, 2, 5);
    }
    {
        SimProcess sim({"--fault", "silence"});
        SerialPort port([&](const std::string&) { return sim.Device().toStdString(); }, {});
        port.ReopenPort(7, 1, kTimeOut);
        const double total = 24.0 * 200 + kTimeOut;
        std::vector<double> beyond;
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer timer;
            timer.start();
            AwaitCount([&](auto done) { port.StartRead(answer.data(), kMaxReadLength, done); });
            beyond.push_back(double(timer.nsecsElapsed()) / 1e6 - total);
        }
        Report("silent read beyond its 5000 ms total time-out", beyond, 10, 10);
    }
    return 0;
}
