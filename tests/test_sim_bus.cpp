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
    if (write(fd, request.constData(), size_t(request.size())) != request.size())
        return "write failed";
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (!answer.endsWith('\r') && clock.elapsed() < ms) {
        pollfd in{fd, POLLIN, 0};
        char buffer[256];
        if (poll(&in, 1, int(ms - clock.elapsed())) > 0) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0)
                answer.append(buffer, n);
        }
    }
    return answer;
}

// Channel 1's value in an answer frame: its first field after the status, without the two
// digits of error code and state.
QByteArray Channel1(const QByteArray& answer) {
    const QList<QByteArray> fields = answer.split(';');
    return answer.startsWith('!') && answer.endsWith('\r') && fields.size() == 14
               ? fields[1].mid(2)
               : "not a frame: " + answer.toHex();
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
};

QTEST_GUILESS_MAIN(TestSimBus)
#include "test_sim_bus.moc"
