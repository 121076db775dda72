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
#include <fcntl.h>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// In a child: files may not grow past `bytes`; a write beyond fails, or with `killed` the
// process gets the default SIGXFSZ.
void LimitFileSize(rlim_t bytes, bool killed = false) {
    if (!killed)
        signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
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
        QTest::newRow("temporary created") << "created";
        QTest::newRow("written") << "written";
        QTest::newRow("flushed to disk") << "synced";
        QTest::newRow("closed") << "closed";
        QTest::newRow("renamed") << "renamed"; // the only step after which the new content is in
    }
    void killAtEveryStep() {
        QFETCH(QString, step);
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
        if (step == "renamed")
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
            LimitFileSize(1000);
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

    // The rewrite for a folder that takes no new file. A disk that refuses the new bytes
    // part-way gets the old ones back; a writer killed there leaves the new bytes over the old,
    // never a file cut short.
    void rewriteInPlace_data() {
        QTest::addColumn<int>("newSize"); // over 3000 old bytes
        QTest::addColumn<int>("limit");   // files may not grow past it; 0: no limit
        QTest::addColumn<int>("result");  // 0 done: new; 3 failed: old; 128 + SIGXFSZ killed: a mix
        QTest::newRow("shorter") << 100 << 0 << 0;
        QTest::newRow("longer") << 5000 << 0 << 0;
        QTest::newRow("disk full part-way") << 5000 << 4000 << 3;
        QTest::newRow("killed part-way") << 5000 << 1000 << 128 + SIGXFSZ;
    }
    void rewriteInPlace() {
        QFETCH(int, newSize);
        QFETCH(int, limit);
        QFETCH(int, result);
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        const QByteArray old(3000, 'o');
        const QByteArray fresh(newSize, 'n');
        WriteAll(path, old);
        const int ended = InChild([&] {
            if (limit > 0)
                LimitFileSize(rlim_t(limit), result == 128 + SIGXFSZ);
            if (!RewriteFileInPlace(path.toStdString(), fresh.toStdString()))
                _exit(3);
        });
        QCOMPARE(ended, result);
        // Killed at the limit: the new bytes up to it over the old, never a file cut short.
        QCOMPARE(ReadAll(path), result == 0   ? fresh
                                : result == 3 ? old
                                              : fresh.left(limit) + old.mid(limit));
    }

    // An exchange log part is appended whole or not at all: a part cut short by a full disk
    // would read as a real, shorter exchange.
    void logPartWholeOrNothing() {
        QTemporaryDir folder;
        const QString path = folder.filePath("COM.txt");
        const QByteArray before(500, 'a');
        WriteAll(path, before);
        const int ended = InChild([&] {
            LimitFileSize(510);
            if (!AppendInOneWrite(path.toStdString(), std::string(116, 'b')))
                _exit(3);
        });
        QCOMPARE(ended, 3);
        QCOMPARE(ReadAll(path), before);
    }

    // Temporaries of earlier saves beside dev.dat: one of this very process id (a container
    // starts the reader as the same pid each time) and those of crashed processes older than a
    // minute are removed; one that may belong to a save under way stays.
    void staleTemporaries() {
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        WriteAll(path, "[DEVICE]\nNetAdrr=2\n");
        const pid_t gone = fork();
        if (gone == 0)
            _exit(0);
        waitpid(gone, nullptr, 0);
        struct Planted {
            QString suffix;
            bool old;
            bool stays;
        };
        const QList<Planted> planted = {
            {QString::number(getpid()), false, false},  // this process: left by a crash
            {QString::number(gone), true, false},       // a dead process, a minute old
            {QString::number(gone) + "0", false, true}, // too young to judge
            {QString::number(getppid()), true, true},   // a live process
            {"x1", true, true},                         // not a temporary's name
        };
        for (const Planted& p : planted) {
            const QString name = path + ".tmp" + p.suffix;
            WriteAll(name, "stale");
            if (p.old) {
                const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 120, 0}};
                QCOMPARE(utimensat(AT_FDCWD, name.toLocal8Bit().constData(), times, 0), 0);
            }
        }
        AppSettings settings;
        LoadSettings(settings, path.toStdString());
        settings.NetAdrr = 3;
        SaveSettings(settings, path.toStdString());
        QVERIFY(ReadAll(path).contains("NetAdrr=3"));
        for (const Planted& p : planted)
            QVERIFY2(QFileInfo::exists(path + ".tmp" + p.suffix) == p.stays, qPrintable(p.suffix));
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

    // A device named dev.dat (an endless /dev/zero) is neither read nor replaced: defaults, then
    // the write error. (TestPrograms::signalWithUnwritableSettings has a FIFO named so.)
    void deviceAsSettingsFile() {
        QTemporaryDir folder;
        const QString path = folder.filePath("dev.dat");
        if (mknod(path.toLocal8Bit().constData(), S_IFCHR | 0666, makedev(1, 5)) != 0)
            QSKIP("cannot make a device node here");
        QCOMPARE(ReadWholeFile(path.toStdString(), 1 << 20).State, FileState::Unusable);
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
    }
    void logTargets() {
        QFETCH(QString, kind);
        QFETCH(bool, written);
        QTemporaryDir folder;
        QString path = folder.filePath("COM.txt");
        if (kind == "fifo")
            QCOMPARE(mkfifo(path.toLocal8Bit().constData(), 0644), 0);
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
