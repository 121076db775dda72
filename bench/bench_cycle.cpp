// The exchange cycle against instrument-sim:
//  - its own cost beyond the line: from the read's return (24 ms after the answer's last byte)
//    to the counters shown: parse, answer log, paint, status, counters;
//  - the polling period with the real timer, against cycle duration + 500 ms.
#include "sim_process.h"
#include "tform1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-46s n=%3zu median %7.3f ms  max %7.3f ms\n", what, ms.size(), ms[ms.size() / 2],
                ms.back());
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    SimProcess sim({"--reading", "live"});
    WritePortsFile(folder.path(), {sim.Device()}, "[LOG]\nUseLogFile=1\n");

    ReaderState state(ProtocolVariant::Crc);
    TForm1::Dialogs quiet{[](const QString&) {}, [](const QString&, const QString&) {}};
    TForm1 form(state, "bench", quiet);
    form.show();
    form.Button1Click();

    std::vector<double> beyondLine, cycle;
    for (int i = 0; i < 100; ++i) {
        QElapsedTimer timer;
        timer.start();
        form.Timer4Timer();
        cycle.push_back(double(timer.nsecsElapsed()) / 1e6);
        const auto after =
            std::chrono::steady_clock::now() - state.Port.LastReadTiming().ReturnedAt;
        beyondLine.push_back(std::chrono::duration<double, std::milli>(after).count());
    }
    Report("cycle cost after the read (parse, log, paint)", beyondLine);
    Report("whole cycle (request, answer, 24 ms gap, ...)", cycle);

    // Polling with the real timer for a few seconds: the period is the time between two
    // cycle starts, seen as the status line turning to "Передача запроса".
    std::vector<double> starts;
    QElapsedTimer run;
    run.start();
    QObject::connect(form.StatusBar1, &QStatusBar::messageChanged, &form, [&](const QString& text) {
        if (text == QString::fromUtf8(ExchangeCycle::kSending))
            starts.push_back(double(run.nsecsElapsed()) / 1e6);
    });
    form.Button1Click(); // stop
    form.Button1Click(); // start: counters from 0
    QTimer::singleShot(6000, &app, &QApplication::quit);
    app.exec();
    std::vector<double> periods;
    for (size_t i = 1; i < starts.size(); ++i)
        periods.push_back(starts[i] - starts[i - 1]);
    std::sort(cycle.begin(), cycle.end());
    Report("polling period (cycle start to cycle start)", periods);
    std::printf("%-46s %7.3f ms\n", "expected: median cycle + 500 ms",
                cycle[cycle.size() / 2] + 500);
    form.FormDestroy();
    return 0;
}
