#include "app_settings.h"
#include "profile.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Folder {
    QTemporaryDir dir;
    QString file() const { return dir.filePath("dev.dat"); }
    std::string path() const { return file().toStdString(); }
};

// The settings in memory as "|Key=value|..." in dev.dat's order.
QString Loaded(const AppSettings& s) {
    return QString::asprintf("|Port=%u|Spd=%u|Par=%u|NetAdrr=%d|TimeOut=%u|UseLogFile=%d|"
                             "LogFileName=%s|",
                             s.Port, s.Spd, s.Par, s.NetAdrr, s.TimeOut, s.UseLogFile,
                             s.LogFileName.c_str());
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void integers_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("value"); // -999 = no number
        QTest::newRow("decimal") << QByteArray("300") << 300ll;
        QTest::newRow("leading blanks") << QByteArray("  \t12") << 12ll;
        QTest::newRow("plus") << QByteArray("+5") << 5ll;
        QTest::newRow("minus") << QByteArray("-1") << -1ll;
        QTest::newRow("0x") << QByteArray("0x3E8") << 1000ll;
        QTest::newRow("0X lower digits") << QByteArray("0X3e8") << 1000ll;
        QTest::newRow("dollar") << QByteArray("$3E8") << 1000ll;
        QTest::newRow("largest") << QByteArray("2147483647") << 2147483647ll;
        QTest::newRow("smallest") << QByteArray("-2147483648") << -2147483648ll;
        QTest::newRow("largest hex") << QByteArray("0x7FFFFFFF") << 2147483647ll;
        QTest::newRow("hex above int32") << QByteArray("$80000000") << -999ll;
        QTest::newRow("above int32") << QByteArray("2147483648") << -999ll;
        QTest::newRow("below int32") << QByteArray("-2147483649") << -999ll;
        QTest::newRow("huge") << QByteArray(400, '9') << -999ll;
        QTest::newRow("word") << QByteArray("yes") << -999ll;
        QTest::newRow("trailing text") << QByteArray("12abc") << -999ll;
        QTest::newRow("empty") << QByteArray("") << -999ll;
        QTest::newRow("bare prefix") << QByteArray("0x") << -999ll;
        QTest::newRow("signed hex") << QByteArray("-0x10") << -999ll;
        QTest::newRow("sign only") << QByteArray("-") << -999ll;
    }
    void integers() {
        QFETCH(QByteArray, text);
        QFETCH(qint64, value);
        const auto parsed = ParseProfileInteger(text.toStdString());
        QCOMPARE(parsed.has_value(), value != -999);
        if (parsed)
            QCOMPARE(*parsed, value);
    }

    void lookup_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("value"); // "<missing>" when absent
        QTest::newRow("plain") << QByteArray("[LOG]\nName=a.txt\n") << QByteArray("a.txt");
        QTest::newRow("any case") << QByteArray("[log]\nNAME=a\n") << QByteArray("a");
        QTest::newRow("crlf, blanks")
            << QByteArray("[ LOG ]\r\n  Name =  a b  \r\n") << QByteArray("a b");
        QTest::newRow("quoted") << QByteArray("[LOG]\nName=\" x \"\n") << QByteArray(" x ");
        QTest::newRow("empty value") << QByteArray("[LOG]\nName=\n") << QByteArray("");
        QTest::newRow("first of duplicates")
            << QByteArray("[LOG]\nName=1\nName=2\n[LOG]\nName=3\n") << QByteArray("1");
        QTest::newRow("other section")
            << QByteArray("[X]\nName=1\n[LOG]\nOther=2\n") << QByteArray("<missing>");
        QTest::newRow("comment") << QByteArray("[LOG]\n;Name=1\n") << QByteArray("<missing>");
        QTest::newRow("stray CRs") << QByteArray("[LOG\r\r\nName=x\r\r\n") << QByteArray("x");
        QTest::newRow("line without =") << QByteArray("[LOG]\nName\nName=2") << QByteArray("2");
        QTest::newRow("no newline at end") << QByteArray("[LOG]\nName=z") << QByteArray("z");
        QTest::newRow("long value cut")
            << "[LOG]\nName=" + QByteArray(5000, 'v') << QByteArray(1023, 'v');
        QTest::newRow("binary") << QByteArray("\0\xFF[LOG\n\0=\n", 10) << QByteArray("<missing>");
        QTest::newRow("empty file") << QByteArray() << QByteArray("<missing>");
    }
    void lookup() {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, value);
        const auto found = ProfileLookup(content.toStdString(), "LOG", "Name");
        QCOMPARE(found ? QByteArray::fromStdString(*found) : QByteArray("<missing>"), value);
    }

    // Every section in order with its keys: leading keys, comments and blank lines are not
    // listed, a repeated section is listed twice, values are unquoted.
    void sectionsListed() {
        QStringList listed;
        for (const ProfileSection& section :
             ProfileSections("top=1\r\n[a]\r\n; c=3\r\n k = \"v w\" \r\n\r\n[ line x "
                             "]\nd=\n[a]\nno equals\n")) {
            listed << QString::fromStdString(section.Name) + ":";
            for (const auto& [key, value] : section.Keys)
                listed.last() += QString::fromStdString(" " + key + "=" + value);
        }
        QCOMPARE(listed, (QStringList{"a: k=v w", "line x: d=", "a:"}));
    }

    // Writes of Name=v into [LOG]; "crlf new" rows ask for CR LF in a new file (Windows), the
    // others for LF (POSIX): only a file made from nothing takes it, one with lines keeps its own.
    void write_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("empty file") << QByteArray() << QByteArray("[LOG]\nName=v\n");
        QTest::newRow("crlf new: empty file") << QByteArray() << QByteArray("[LOG]\r\nName=v\r\n");
        QTest::newRow("crlf new: LF file")
            << QByteArray("[X]\nB=2\n") << QByteArray("[X]\nB=2\n[LOG]\nName=v\n");
        QTest::newRow("replace in place")
            << QByteArray("; note\n[log]\nNAME=old\nKeep=1\n[X]\nName=x\n")
            << QByteArray("; note\n[log]\nName=v\nKeep=1\n[X]\nName=x\n");
        QTest::newRow("keeps crlf of the line") << QByteArray("[LOG]\r\nName=old\r\nB=2\r\n")
                                                << QByteArray("[LOG]\r\nName=v\r\nB=2\r\n");
        QTest::newRow("add at end of section before blanks")
            << QByteArray("[LOG]\nA=1\n\n[X]\nB=2\n")
            << QByteArray("[LOG]\nA=1\nName=v\n\n[X]\nB=2\n");
        QTest::newRow("add section, crlf file")
            << QByteArray("[X]\r\nB=2") << QByteArray("[X]\r\nB=2\r\n[LOG]\r\nName=v\r\n");
        QTest::newRow("section without newline")
            << QByteArray("[LOG]") << QByteArray("[LOG]\nName=v\n");
        QTest::newRow("last line ends in a bare CR")
            << QByteArray("[LOG]\r") << QByteArray("[LOG]\r\nName=v\n");
        QTest::newRow("first of duplicate keys")
            << QByteArray("[LOG]\nName=1\nName=2\n") << QByteArray("[LOG]\nName=v\nName=2\n");
        QTest::newRow("section line with a stray CR, crlf file")
            << QByteArray("[X]\r\n[LOG\r") << QByteArray("[X]\r\n[LOG\r\r\nName=v\r\n");
    }
    void write() {
        QFETCH(QByteArray, before);
        const bool crlfNew = QByteArray(QTest::currentDataTag()).startsWith("crlf new");
        const std::string written = ProfileWrite(before.toStdString(), "LOG", "Name", "v",
                                                 crlfNew ? LineEnding::CrLf : LineEnding::Lf);
        QTEST(QByteArray::fromStdString(written), "after");
    }

    // One stored key at a time: the value loaded, and the line written back, are `writtenBack`.
    void loadNormalises_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("writtenBack");
        QTest::newRow("NetAdrr 300") << QByteArray("[DEVICE]\nNetAdrr=300") << "NetAdrr=1";
        QTest::newRow("NetAdrr 65541") << QByteArray("[DEVICE]\nNetAdrr=65541") << "NetAdrr=5";
        QTest::newRow("NetAdrr -1") << QByteArray("[DEVICE]\nNetAdrr=-1") << "NetAdrr=1";
        QTest::newRow("NetAdrr 255") << QByteArray("[DEVICE]\nNetAdrr=255") << "NetAdrr=255";
        QTest::newRow("Port -1") << QByteArray("[COM_SETTINGS]\nPort=-1") << "Port=65535";
        QTest::newRow("Port 65541") << QByteArray("[COM_SETTINGS]\nPort=65541") << "Port=5";
        QTest::newRow("TimeOut 70000") << QByteArray("[SETTINGS]\nTimeOut=70000") << "TimeOut=4464";
        QTest::newRow("TimeOut $3E7") << QByteArray("[SETTINGS]\nTimeOut=$3E7") << "TimeOut=999";
        QTest::newRow("UseLogFile yes") << QByteArray("[LOG]\nUseLogFile=yes") << "UseLogFile=1";
        QTest::newRow("Spd 9 kept") << QByteArray("[COM_SETTINGS]\nSpd=9") << "Spd=9";
        QTest::newRow("empty LogFileName") << QByteArray("[LOG]\nLogFileName=") << "LogFileName=";
        QTest::newRow("missing LogFileName") << QByteArray("[LOG]\n") << "LogFileName=COM.txt";
        QTest::newRow("quoted LogFileName")
            << QByteArray("[LOG]\nLogFileName=  \"my log.txt\"  ") << "LogFileName=my log.txt";
    }
    void loadNormalises() {
        QFETCH(QByteArray, stored);
        QFETCH(QString, writtenBack);
        Folder folder;
        WriteAll(folder.file(), stored + "\n");
        AppSettings settings;
        LoadSettings(settings, folder.path());
        const QString after = QString::fromUtf8(ReadAll(folder.file()));
        QVERIFY2(after.contains("\n" + writtenBack + "\n"), qPrintable(after));
        const QString key = writtenBack.left(writtenBack.indexOf('='));
        QCOMPARE(after.count("\n" + key + "="), 1); // no second line for the key
        const QString loaded = Loaded(settings);
        QVERIFY2(loaded.contains("|" + writtenBack + "|"), qPrintable(loaded));
    }

    // Keys read and written back one after the other in memory: each write sees the ones before
    // it (a key added to a section, a line end added before an appended section).
    void loadedFileBytes_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("loaded");
        QTest::newRow("duplicate sections")
            << QByteArray("[DEVICE]\nNetAdrr=7\n[DEVICE]\nNetAdrr=8\n")
            << QByteArray(
                   "[DEVICE]\nNetAdrr=7\n[DEVICE]\nNetAdrr=8\n[COM_SETTINGS]\nPort=1\nSpd=7\n"
                   "Par=0\n[SETTINGS]\nTimeOut=1000\n[LOG]\nUseLogFile=1\n"
                   "LogFileName=COM.txt\n");
        QTest::newRow("CR LF, odd case, no line end at the end")
            << QByteArray("[com_settings]\r\nSPD=9\r\n[Log]\r\nlogfilename = a.txt")
            << QByteArray("[com_settings]\r\nSpd=9\r\nPort=1\r\nPar=0\r\n[Log]\r\n"
                          "LogFileName=a.txt\r\nUseLogFile=1\r\n[DEVICE]\r\nNetAdrr=1\r\n"
                          "[SETTINGS]\r\nTimeOut=1000\r\n");
    }
    void loadedFileBytes() {
        QFETCH(QByteArray, stored);
        Folder folder;
        WriteAll(folder.file(), stored);
        AppSettings settings;
        LoadSettings(settings, folder.path());
        QTEST(ReadAll(folder.file()), "loaded");
    }

    void unknownContentSurvives() {
        Folder folder;
        const QByteArray before = "; written by hand\r\n[PORTS]\r\nCOM1=/dev/ttyUSB0\r\n\r\n"
                                  "[com_settings]\r\nPORT=3\r\nExtra=keep me\r\n[Other]\r\nx=y\r\n";
        WriteAll(folder.file(), before);
        AppSettings settings;
        LoadSettings(settings, folder.path());
        QCOMPARE(settings.Port, 3);
        const QByteArray after = ReadAll(folder.file());
        QVERIFY2(after.startsWith("; written by hand\r\n[PORTS]\r\nCOM1=/dev/ttyUSB0\r\n\r\n"
                                  "[com_settings]\r\nPort=3\r\nExtra=keep me\r\nSpd=7\r\nPar=0\r\n"
                                  "[Other]\r\nx=y\r\n[DEVICE]\r\nNetAdrr=1\r\n"),
                 after);
        QCOMPARE(PortDeviceFromSettings("COM1", folder.path()),
                 std::optional<std::string>("/dev/ttyUSB0"));
        QCOMPARE(PortDeviceFromSettings("COM2", folder.path()), std::nullopt);
    }

    void saveWritesFiveKeys_data() {
        QTest::addColumn<int>("spd");
        QTest::addColumn<int>("saved");
        QTest::newRow("9 saved as 7") << 9 << 7;
        QTest::newRow("4 saved as 7") << 4 << 7;
        QTest::newRow("5 kept") << 5 << 5;
        QTest::newRow("8 kept") << 8 << 8;
    }
    void saveWritesFiveKeys() {
        QFETCH(int, spd);
        QFETCH(int, saved);
        Folder folder;
        // The file as loading left it, then changed by an editor while the program ran.
        QByteArray edited = kFreshDevDat;
        edited.replace("TimeOut=1000", "TimeOut=250").replace("Port=1", "Port=6");
        WriteAll(folder.file(), edited.replace("Par=0", "Par=5"));
        // Port, Spd, Par, NetAdrr, TimeOut, UseLogFile, LogFileName in memory:
        AppSettings settings{2, uint16_t(spd), 0, 200, 1000, 0, "ignored.txt"};
        SaveSettings(settings, folder.path());
        QCOMPARE(settings.Spd, saved);
        QCOMPARE(ReadAll(folder.file()),
                 "[COM_SETTINGS]\nPort=2\nSpd=" + QByteArray::number(saved) +
                     "\nPar=0\n[DEVICE]\nNetAdrr=200\n[SETTINGS]\nTimeOut=250\n[LOG]\n"
                     "UseLogFile=0\nLogFileName=COM.txt\n");
    }

    void readOnlyFileIsMadeWritable() {
        Folder folder;
        WriteAll(folder.file(), "[DEVICE]\nNetAdrr=7\n");
        QVERIFY(QFile::setPermissions(folder.file(), QFileDevice::ReadOwner));
        AppSettings settings;
        LoadSettings(settings, folder.path());
        QCOMPARE(settings.NetAdrr, 7);
        QVERIFY(QFile::permissions(folder.file()) & QFileDevice::WriteOwner);
        QVERIFY(ReadAll(folder.file()).contains("LogFileName=COM.txt"));
    }

    // dev.dat that cannot be written (a folder of that name): the first write fails, later
    // fields keep their values from before loading, the message names the full path.
    void failedWriteStopsLoading() {
        Folder folder;
        QVERIFY(QDir(folder.dir.path()).mkdir("dev.dat"));
        AppSettings settings;
        try {
            LoadSettings(settings, folder.path());
            QFAIL("no error raised");
        } catch (const SettingsWriteError& error) {
            QCOMPARE(QString(error.what()), "Unable to write to " + folder.file());
        }
        QCOMPARE(Loaded(settings),
                 "|Port=1|Spd=0|Par=0|NetAdrr=1|TimeOut=0|UseLogFile=1|LogFileName=com_log|");
        QVERIFY_THROWS_EXCEPTION(SettingsWriteError, SaveSettings(settings, folder.path()));
    }

    void damagedFileLoadsDefaults() {
        Folder folder;
        QByteArray garbage;
        for (int i = 0; i < 20000; ++i)
            garbage += char((i * 7919) % 256);
        WriteAll(folder.file(), garbage);
        AppSettings settings;
        LoadSettings(settings, folder.path());
        QCOMPARE(Loaded(settings),
                 "|Port=1|Spd=7|Par=0|NetAdrr=1|TimeOut=1000|UseLogFile=1|LogFileName=COM.txt|");
        QVERIFY(ReadAll(folder.file()).startsWith(garbage)); // nothing of it is lost
    }

    // A first start in the current folder: the defaults, written there.
    void pathFollowsCurrentDirectory() {
        Folder folder;
        const QString old = QDir::currentPath();
        QVERIFY(QDir::setCurrent(folder.dir.path()));
        AppSettings settings;
        LoadSettings(settings);
        QDir::setCurrent(old);
        QCOMPARE(QString::fromStdString(SettingsFilePath()), QDir::currentPath() + "/dev.dat");
        QCOMPARE(ReadAll(folder.file()), kFreshDevDat);
        QCOMPARE(Loaded(settings),
                 "|Port=1|Spd=7|Par=0|NetAdrr=1|TimeOut=1000|UseLogFile=1|LogFileName=COM.txt|");
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
