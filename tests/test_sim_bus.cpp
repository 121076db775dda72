// instrument-sim refuses options that are not numbers, lists or faults of its bus. (The bus
// itself is read through the exchange in test_serial_port.)

#include "sim_process.h"

#include <QTest>

class TestSimBus : public QObject {
    Q_OBJECT
private slots:
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
