// The exchange cycle against instrument-sim:
//  - its own cost beyond the line: from the read's end (24 ms after the answer's last byte) to
//    the counters shown: parse, answer log, paint, status, counters;
//  - the polling period with the real timer, against cycle duration + 500 ms;
//  - the largest event-loop stall per cycle, over cycles mixing answers and silences.
#include "sim_process.h"
#include "stall_probe.h"
#include "tform1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-52s n=%3zu median %7.3f ms  max %7.3f ms\n", what, ms.size(), ms[ms.size() / 2],
                ms.back());
}

struct Reader {
    Reader(const QString& folder, const QString& device, const QByteArray& settings) {
        WritePortsFile(folder, {device}, settings);
        state = std::make_unique<ReaderState>(ProtocolVariant::Crc);
        TForm1::Dialogs quiet{[](const QString&) {}, [](const QString&, const QString&) {}};
        form = std::make_unique<TForm1>(*state, "bench", quiet);
        form->show();
        form->Button1Click();
    }
    ~Reader() { form->FormDestroy(); }
    // One cycle, begun by hand rather than by the timer; returns when it has ended.
    void Cycle() {
        form->Timer4Timer();
        while (state->Exchange.InFlight())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    std::unique_ptr<ReaderState> state;
    std::unique_ptr<TForm1> form;
};

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir folder;
    QDir::setCurrent(folder.path());
    SimProcess sim({"--reading", "live"});

    {
        Reader reader(folder.path(), sim.Device(), "[LOG]\nUseLogFile=1\n");
        std::vector<double> beyondLine, cycle;
        for (int i = 0; i < 100; ++i) {
            QElapsedTimer timer;
            timer.start();
            reader.Cycle();
            cycle.push_back(double(timer.nsecsElapsed()) / 1e6);
            const auto after =
                std::chrono::steady_clock::now() - reader.state->Port.LastReadTiming().ReturnedAt;
            beyondLine.push_back(std::chrono::duration<double, std::milli>(after).count());
        }
        Report("cycle cost after the read (parse, log, paint)", beyondLine);
        Report("whole cycle (request, answer, 24 ms gap, ...)", cycle);

        // Polling with the real timer for a few seconds: the period is the time between two
        // cycle starts, seen as the status line turning to "Передача запроса".
        std::vector<double> starts;
        QElapsedTimer run;
        run.start();
        QObject::connect(reader.form->StatusBar1, &QStatusBar::messageChanged, reader.form.get(),
                         [&](const QString& text) {
                             if (text == QString::fromUtf8(TForm1::kSendingStatus))
                                 starts.push_back(double(run.nsecsElapsed()) / 1e6);
                         });
        reader.form->Button1Click(); // stop
        reader.form->Button1Click(); // start: counters from 0
        QTimer::singleShot(6000, &app, &QApplication::quit);
        app.exec();
        std::vector<double> periods;
        for (size_t i = 1; i < starts.size(); ++i)
            periods.push_back(starts[i] - starts[i - 1]);
        std::sort(cycle.begin(), cycle.end());
        Report("polling period (cycle start to cycle start)", periods);
        std::printf("%-52s %7.3f ms\n", "expected: median cycle + 500 ms",
                    cycle[cycle.size() / 2] + 500);
    }
    {
        // Every fourth instrument answer missing; TimeOut 300 with no gap limit, so a silent
        // read lasts 300 ms, which a blocking read would show as a 300 ms stall.
        Reader reader(folder.path(), sim.Device(),
                      "[COM_SETTINGS]\nSpd=11\n[SETTINGS]\nTimeOut=300\n[LOG]\nUseLogFile=1\n");
        std::vector<double> stalls;
        StallProbe probe;
        for (int i = 0; i < 100; ++i) {
            if (i % 4 == 3)
                sim.Command("next silence");
            probe.Reset();
            reader.Cycle();
            stalls.push_back(probe.LargestGapMs());
        }
        Report("largest event-loop stall per cycle (5 ms probe)", stalls);
    }
    return 0;
}
