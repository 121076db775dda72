// dev.dat and the log against crashes, FIFOs, links and a full disk.
#include "app_settings.h"
#include "exchange_log.h"
#include "file_access.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs `work` on a thread of its own; false when it has not returned after `ms`. A call that
// blocks for good is left behind on its thread rather than hanging the test.
bool FinishesWithin(int ms, std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

// Runs `work` in a child process and returns how it ended: its exit status, or 128 + signal.
int InChild(const std::function<void()>& work) {
    const pid_t child = fork();
    if (child == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

const char* g_killAt = nullptr;
void KillAtStep(const char* step) {
    if (std::strcmp(step, g_killAt) == 0)
        raise(SIGKILL);
}

} // namespace

class TestFileAccess : public QObject {
    Q_OBJECT
private slots:
    // The writer killed at each step of a save: dev.dat holds the old content or the new,
    // never a part of either or nothing.
    void killAtEveryStep_data() {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("temporary created") << "created" << false;
        QTest::newRow("written") << "written" << false;
        QTest::newRow("flushed to disk") << "synced" << false;
        QTest::newRow("closed") << "closed" << false;
        QTest::newRow("renamed") << "renamed" << true;
    }
    void killAtEveryStep() {
        QFETCH(QString, step);
        QFETCH(bool, replaced);
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        const QByteArray old = "[COM_SETTINGS]\nPort=3\n" + QByteArray(100000, ';') + "\n";
        WriteAll(path, old);
        const QByteArray stepName = step.toLatin1();
        const int ended = InChild([&] {
            g_killAt = stepName.constData();
            SetReplaceStepHook(KillAtStep);
            AppSettings settings;
            settings.Port = 5;
            SaveSettings(settings, path.toStdString());
        });
        QCOMPARE(ended, 128 + SIGKILL);
        const QByteArray now = ReadAll(path);
        if (replaced)
            QVERIFY(now.startsWith("[COM_SETTINGS]\nPort=5\n;") && now.endsWith("UseLogFile=1\n"));
        else
            QCOMPARE(now, old);
    }

    // A save that the disk cannot hold fails, keeps the old file and leaves nothing behind.
    void fullDiskKeepsTheOldFile() {
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        const QByteArray old = "[LOG]\nLogFileName=" + QByteArray(3000, 'x') + "\n";
        WriteAll(path, old);
        const int ended = InChild([&] {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1000, 1000}; // files may not grow past 1000 bytes
            setrlimit(RLIMIT_FSIZE, &limit);
            AppSettings settings;
            try {
                SaveSettings(settings, path.toStdString());
            } catch (const SettingsWriteError&) {
                _exit(3);
            }
        });
        QCOMPARE(ended, 3);
        QCOMPARE(ReadAll(path), old);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{"dev.dat"});
    }

    // A file that already holds every key as it would be written is not written at all.
    void normalisedFileIsNotRewritten() {
        QTemporaryDir folder;
        const std::string path = folder.filePath("dev.dat").toStdString();
        WriteAll(QString::fromStdString(path),
                 "[COM_SETTINGS]\nPort=1\nSpd=7\nPar=0\n[DEVICE]\nNetAdrr=1\n[SETTINGS]\nTimeOut="
                 "1000\n[LOG]\nUseLogFile=1\nLogFileName=COM.txt\n");
        struct stat before {};
        QCOMPARE(stat(path.c_str(), &before), 0);
        AppSettings settings;
        LoadSettings(settings, path);
        SaveSettings(settings, path);
        struct stat after {};
        QCOMPARE(stat(path.c_str(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino); // a replaced file would be a new one
    }

    // A link stays a link, its target gets the content; permission bits stay.
    void linkAndPermissionsStay() {
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir("real"));
        const QString target = folder.filePath("real/settings.ini");
        WriteAll(target, "[DEVICE]\nNetAdrr=9\n");
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup));
        const QString link = folder.filePath("dev.dat");
        QVERIFY(QFile::link("real/settings.ini", link));
        AppSettings settings;
        LoadSettings(settings, link.toStdString());
        QCOMPARE(settings.NetAdrr, 9);
        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
        QVERIFY(ReadAll(target).endsWith("LogFileName=COM.txt\n"));
        QCOMPARE(QFile::permissions(target) & 0x7777,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser | QFileDevice::ReadGroup);
    }

    // A FIFO named dev.dat is neither waited on nor replaced: defaults, then the write error.
    void fifoSettingsFile() {
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0644), 0);
        auto settings = std::make_shared<AppSettings>();
        auto failed = std::make_shared<bool>(false);
        QVERIFY(FinishesWithin(5000, [settings, failed, path] {
            try {
                LoadSettings(*settings, path.toStdString());
            } catch (const SettingsWriteError&) {
                *failed = true;
            }
            PortDeviceFromSettings("COM1", path.toStdString());
        }));
        QVERIFY(*failed);
        QCOMPARE(settings->Port, 1);
        QVERIFY(QFileInfo(path).exists() && !QFileInfo(path).isFile());
    }

    void logTargets_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("written");
        QTest::newRow("FIFO without a reader") << "fifo" << false;
        QTest::newRow("character device") << "/dev/null" << true;
        QTest::newRow("folder") << "folder" << false;
    }
    void logTargets() {
        QFETCH(QString, kind);
        QFETCH(bool, written);
        QTemporaryDir folder;
        QString path = folder.filePath("COM.txt");
        if (kind == "fifo")
            QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0644), 0);
        else if (kind == "folder")
            QVERIFY(QDir(folder.path()).mkdir("COM.txt"));
        else
            path = kind;
        auto result = std::make_shared<bool>(false);
        QVERIFY(FinishesWithin(
            5000, [result, path] { *result = AppendToLog(path.toStdString(), "part"); }));
        QCOMPARE(*result, written);
    }
};

QTEST_GUILESS_MAIN(TestFileAccess)
#include "test_file_access.moc"
