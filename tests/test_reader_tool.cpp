// reader-tool on logs the exchange cycle wrote against instrument-sim, and instrument-sim
// replaying such a log.
#include "reader_state.h"
#include "sim_process.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Cycles against the simulator with the exchange log on: each entry is a simulator command for
// that cycle (or none). Speed index 11 leaves no gap limit, so each read takes everything that
// comes within TimeOut.
void RunCycles(const QString& folder, SimProcess& sim, const QStringList& commands) {
    QVERIFY(WritePortsFile(folder, {sim.Device()},
                           "[COM_SETTINGS]\nSpd=11\n[SETTINGS]\nTimeOut=250\n"));
    const QString old = QDir::currentPath();
    QDir::setCurrent(folder); // dev.dat and the log are the current folder's
    ReaderState state(ProtocolVariant::Crc);
    LoadSettings(state.Settings);
    state.Port.ReopenPort(state.Settings.Spd, state.Settings.Port);
    for (const QString& command : commands) {
        if (!command.isEmpty())
            QVERIFY(sim.Command(command));
        state.Exchange.Begin({[](const char*) {}, [] {}}, [] {});
        while (state.Exchange.InFlight())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QDir::setCurrent(old);
}

// reader-tool's output and exit status.
QByteArray Tool(const QStringList& arguments, int* exitCode = nullptr) {
    QProcess tool;
    tool.start(QCoreApplication::applicationDirPath() + "/reader-tool", arguments);
    tool.waitForFinished(30000);
    if (exitCode)
        *exitCode = tool.exitCode();
    return tool.readAllStandardOutput();
}

// The CSV rows (header left out), split into fields.
QList<QStringList> Rows(const QByteArray& csv) {
    QList<QStringList> rows;
    const QList<QByteArray> lines = csv.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i)
        if (!lines[i].trimmed().isEmpty())
            rows << QString::fromLatin1(lines[i].trimmed()).split(',');
    return rows;
}

// Columns of a row: 1 exchange_ms, 5 outcome, 6 + 3n channel n+1's value, 42 keys, 47 relays,
// 48 request hex, 49 answer hex.
constexpr int kOutcome = 5, kKeys = 42, kRelays = 47, kAnswerHex = 49;

} // namespace

class TestReaderTool : public QObject {
    Q_OBJECT
private slots:
    void roundTripAndReplay() {
        QTemporaryDir first, second;
        struct Step {
            QString command, outcome;
        };
        const QList<Step> steps = {
            {"reading example", "ok"},
            {"channel 2 0 4 12.5", "ok"},
            {"reading live", "ok"},
            {"next silence", "no-answer"},
            {"next badsum", "checksum-mismatch"},
            {"next short", "too-short"},
            {"next noise", "ok"},
            {"next split 50", "ok"},
            {"next delay 50", "ok"},
            {"next long", "no-frame"},
            {"next garbage", "no-frame"},
        };
        QStringList commands;
        for (const Step& step : steps)
            commands << step.command;
        SimProcess sim({"--reading", "zero"});
        RunCycles(first.path(), sim, commands);
        const QStringList sent = sim.Answers();
        QCOMPARE(sent.size(), steps.size());

        const QList<QStringList> rows = Rows(Tool({"csv", "--raw", first.filePath("COM.txt")}));
        QCOMPARE(rows.size(), steps.size());
        for (qsizetype i = 0; i < steps.size(); ++i) {
            QCOMPARE(rows[i][kOutcome], steps[i].outcome);
            // Byte for byte what the simulator sent, of which a read takes 200 bytes at most.
            QCOMPARE(rows[i][kAnswerHex], sent[i].left(400));
        }
        QCOMPARE(rows[0][6], QString("25.5")); // channel 1 of the example
        QCOMPARE(rows[0][kKeys], QString("129"));
        QCOMPARE(rows[0][kRelays], QString("769"));
        QCOMPARE(rows[1].mid(9, 3), (QStringList{"12.5", "0", "4"})); // channel 2 as set
        QVERIFY(rows[3][6].isEmpty());                                // no answer: no reading

        // The log played again: the same answers, so the same readings.
        SimProcess replay({"--replay", first.filePath("COM.txt")});
        RunCycles(second.path(), replay, QStringList(steps.size(), QString()));
        const QList<QStringList> again = Rows(Tool({"csv", "--raw", second.filePath("COM.txt")}));
        QCOMPARE(again.size(), rows.size());
        for (qsizetype i = 0; i < rows.size(); ++i)
            QCOMPARE(again[i].mid(kOutcome), rows[i].mid(kOutcome));
    }

    // Every command explains itself; a log that cannot be read stops the job with status 2 and
    // leaves nothing at -o; map writes its line and keeps the rest.
    void commandLine() {
        int status = -1;
        for (const char* command : {"csv", "stats", "plot", "ports", "map"}) {
            QVERIFY(Tool({command, "--help"}, &status).startsWith("usage: reader-tool"));
            QCOMPARE(status, 0);
        }
        QCOMPARE(Tool({"--version"}), QByteArray("reader-tool " READER_VERSION "\n"));
        QTemporaryDir folder;
        const QString out = folder.filePath("out.csv");
        Tool({"csv", "-o", out, folder.filePath("missing.txt")}, &status);
        QCOMPARE(status, 2);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList());

        const QString devDat = folder.filePath("dev.dat");
        QFile file(devDat);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("; mine\n[PORTS]\nCOM1=/dev/ttyS0\n");
        file.close();
        Tool({"map", "com2", "/dev/serial/by-id/usb-adapter", "--file", devDat}, &status);
        QCOMPARE(status, 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(
            file.readAll(),
            QByteArray("; mine\n[PORTS]\nCOM1=/dev/ttyS0\nCOM2=/dev/serial/by-id/usb-adapter\n"));
        Tool({"map", "COM17", "/dev/ttyS1", "--file", devDat}, &status);
        QCOMPARE(status, 2);
    }
};

QTEST_GUILESS_MAIN(TestReaderTool)
#include "test_reader_tool.moc"
