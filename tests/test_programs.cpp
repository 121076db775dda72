// Each program as the operator starts it: in an empty folder, ended by SIGTERM as by the
// window's close box.
#include "sim_process.h"
#include "test_files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

namespace {

void Start(QProcess& process, const QString& folder, const QString& program) {
    process.setWorkingDirectory(folder);
    process.setProgram(QCoreApplication::applicationDirPath() + "/" + program);
    process.start();
}

// SIGTERM, then how long the program took to exit (-1: it did not within 10 s).
qint64 TerminateAndTime(QProcess& process) {
    QElapsedTimer timer;
    timer.start();
    ::kill(pid_t(process.processId()), SIGTERM);
    return process.waitForFinished(10000) ? timer.elapsed() : -1;
}
} // namespace

class TestPrograms : public QObject {
    Q_OBJECT
private slots:
    void startAndClose_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("devDat"); // null: no file at start
        QTest::newRow("reader-crc, empty folder") << "reader-crc" << QByteArray();
        QTest::newRow("reader-sum, empty folder") << "reader-sum" << QByteArray();
        QTest::newRow("reader-crc, port that cannot open")
            << "reader-crc" << QByteArray("[PORTS]\nCOM1=/nonexistent/tty\n");
    }
    void startAndClose() {
        QFETCH(QString, program);
        QFETCH(QByteArray, devDat);
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        if (!devDat.isNull())
            WriteAll(path, devDat);
        QProcess process;
        process.setArguments({"--ignored", "arguments"}); // the programs read no command line
        Start(process, folder.path(), program);
        QVERIFY(process.waitForStarted(5000));
        // Start-up writes every key back; the last one written is LogFileName.
        QTRY_VERIFY_WITH_TIMEOUT(ReadAll(path).contains("LogFileName="), 10000);
        QVERIFY(CatchesSignal(process.processId(), SIGTERM));
        QVERIFY(TerminateAndTime(process) >= 0);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QByteArray saved = ReadAll(path);
        if (devDat.isNull())
            QCOMPARE(saved, kFreshDevDat);
        else
            QVERIFY(saved.startsWith(devDat) && saved.endsWith("LogFileName=COM.txt\n"));
    }

    // SIGTERM in the middle of a silent read (34.8 s long) ends the run at once: the cycle's
    // answer part is logged, dev.dat is saved, the exit status is 0.
    void signalDuringSilentRead() {
        SimProcess sim({"--fault", "silence"});
        QTemporaryDir folder;
        QVERIFY(WritePortsFile(folder.path(), {sim.Device()}, "[SETTINGS]\nTimeOut=30000\n"));
        QProcess process;
        Start(process, folder.path(), "reader_started");
        const QString log = folder.filePath("COM.txt");
        QTRY_COMPARE_WITH_TIMEOUT(sim.Requests().size(), 1, 10000); // the read has begun
        const qint64 exitMs = TerminateAndTime(process);
        QVERIFY2(exitMs >= 0 && exitMs < 2000, QByteArray::number(exitMs));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray bytes = ReadAll(log);
        QCOMPARE(bytes.count("Send:"), 1);
        QCOMPARE(bytes.count("Answ:"), 1);
        QVERIFY(ReadAll(folder.filePath("dev.dat")).endsWith("LogFileName=COM.txt\n"));
    }

    // dev.dat that cannot be written (a FIFO): the program neither hangs on it nor replaces it.
    // A save that fails after SIGTERM is told on stderr; no box waits for a second signal.
    void signalWithUnwritableSettings() {
        QTemporaryDir folder;
        QCOMPARE(mkfifo(folder.filePath("dev.dat").toLocal8Bit().constData(), 0644), 0);
        QProcess process;
        Start(process, folder.path(), "reader-sum");
        QVERIFY(process.waitForStarted(5000));
        // A signal from now on is taken by the event loop, which the start-up's box runs.
        QVERIFY(CatchesSignal(process.processId(), SIGTERM));
        QVERIFY(TerminateAndTime(process) >= 0);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardError().contains("Unable to write to " +
                                                        folder.filePath("dev.dat").toUtf8()));
    }

    // Without a display the run fails with a fixed line, the platform's reason after it, and
    // status 1, not a crash.
    void noDisplay_data() {
        QTest::addColumn<QString>("display"); // empty: no display variable at all
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("no display set") << "" << QByteArray("could not connect to display \n");
        QTest::newRow("display that does not answer")
            << ":4242" << QByteArray("could not connect to display :4242\n");
    }
    void noDisplay() {
        QFETCH(QString, display);
        QFETCH(QByteArray, reason);
        QTemporaryDir folder;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        if (!display.isEmpty())
            environment.insert("DISPLAY", display);
        QProcess process;
        process.setProcessEnvironment(environment);
        Start(process, folder.path(), "reader-sum");
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        const QByteArray told = process.readAllStandardError();
        QVERIFY2(told.startsWith("cannot open a window: no display\n") && told.endsWith(reason),
                 told);
        QVERIFY(!QFile::exists(folder.filePath("dev.dat")));
    }
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "test_programs.moc"
