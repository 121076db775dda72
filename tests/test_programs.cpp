// Each program as the operator starts it: in an empty folder, ended by SIGTERM as by the
// window's close box.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {
const QByteArray kFreshFile =
    "[COM_SETTINGS]\nPort=1\nSpd=7\nPar=0\n[DEVICE]\nNetAdrr=1\n"
    "[SETTINGS]\nTimeOut=1000\n[LOG]\nUseLogFile=1\nLogFileName=COM.txt\n";
}

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
        QTest::newRow("reader-sum, port that cannot open")
            << "reader-sum" << QByteArray("[PORTS]\nCOM1=/nonexistent/tty\n");
    }
    void startAndClose() {
        QFETCH(QString, program);
        QFETCH(QByteArray, devDat);
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        if (!devDat.isNull()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(devDat);
        }
        QProcess process;
        process.setWorkingDirectory(folder.path());
        process.setProgram(QCoreApplication::applicationDirPath() + "/" + program);
        process.setArguments({"--ignored", "arguments"}); // the programs read no command line
        process.start();
        QVERIFY(process.waitForStarted(5000));
        // Start-up writes every key back; the last one written is LogFileName.
        QTRY_VERIFY_WITH_TIMEOUT(
            QFile(path).exists() &&
                [&] {
                    QFile file(path);
                    return file.open(QIODevice::ReadOnly) &&
                           file.readAll().contains("LogFileName=");
                }(),
            10000);
        QTest::qWait(300);
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray saved = file.readAll();
        if (devDat.isNull())
            QCOMPARE(saved, kFreshFile);
        else
            QVERIFY(saved.startsWith(devDat) && saved.endsWith("LogFileName=COM.txt\n"));
    }
};

QTEST_GUILESS_MAIN(TestPrograms)
#include "test_programs.moc"
