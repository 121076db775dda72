// instrument-sim as a bus of instruments on one pseudo-terminal, driven with plain reads and
// writes: each listed instrument answers with its own values, the others stay silent.

#include "sim_process.h"

#include <QElapsedTimer>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Sends a crc read request for `address` and returns what comes back within `ms` (up to a CR).
QByteArray Ask(int fd, int address, int ms) {
    const QByteArray request = "\xFF\xFF\xFF\xFF:" + QByteArray::number(address) + ";423;\r";
    QByteArray answer;
    if (write(fd, request.constData(), size_t(request.size())) != request.size())
        return "write failed";
    QElapsedTimer clock;
    clock.start();
    for (char buffer[256]; !answer.endsWith('\r') && clock.elapsed() < ms;) {
        pollfd in{fd, POLLIN, 0};
        if (poll(&in, 1, int(ms - clock.elapsed())) > 0 && read(fd, buffer, 1) == 1)
            answer += buffer[0];
    }
    return answer;
}

// Channel 1's value in an answer: the first field after the status, less error code and state.
QByteArray Channel1(const QByteArray& answer) {
    return answer.endsWith('\r') ? answer.split(';').value(1).mid(2) : "no answer";
}

} // namespace

class TestSimBus : public QObject {
    Q_OBJECT
private slots:
    void bus() {
        SimProcess sim({"--address", "1,2,3", "--fault", "2:silence"});
        const int fd = open(sim.Device().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY2(fd >= 0, qPrintable(sim.Device()));
        // Each instrument's first live answer, at its own level.
        QCOMPARE(Channel1(Ask(fd, 1, 2000)), QByteArray("20.00"));
        QCOMPARE(Channel1(Ask(fd, 3, 2000)), QByteArray("220.00"));
        QCOMPARE(Ask(fd, 2, 300), QByteArray()); // silenced
        QCOMPARE(Ask(fd, 9, 300), QByteArray()); // not on the bus
        QVERIFY(!sim.Command("@9 fault none"));
        QVERIFY(sim.Command("@2 fault none"));
        // Its second answer (the silenced one counted): 100 + 20 + 8 sin(0.15).
        QCOMPARE(Channel1(Ask(fd, 2, 2000)), QByteArray("121.20"));
        close(fd);
    }

    // Option values that are not numbers, lists or faults of the bus end the start with status 2.
    void refusedOptions_data() {
        QTest::addColumn<QStringList>("arguments");
        for (const QStringList& bad : QList<QStringList>{{"--address", "x"},
                                                         {"--address", "1,300"},
                                                         {"--address", "1-3", "--fault", "4:short"},
                                                         {"--fault", "3:melt"},
                                                         {"--fault-ms", "x"},
                                                         {"--turnaround", "-5"},
                                                         {"--baud", "fast"},
                                                         {"--replay-cap", "x"}})
            QTest::addRow("%s", qPrintable(bad.join(' '))) << bad;
    }
    void refusedOptions() {
        QFETCH(QStringList, arguments);
        QProcess sim;
        sim.start(QCoreApplication::applicationDirPath() + "/instrument-sim", arguments);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 2);
        QCOMPARE(sim.readAllStandardOutput(), QByteArray()); // no device line
    }
};

QTEST_GUILESS_MAIN(TestSimBus)
#include "test_sim_bus.moc"
