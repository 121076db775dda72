#include "day_files.h"
#include "line_poller.h"
#include "mqtt_broker.h"
#include "mqtt_payloads.h"
#include "names.h"
#include "service_config.h"
#include "sim_core.h"
#include "sim_process.h"
#include "test_files.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kGoodLine = "[line a]\ndevice=/dev/ttyUSB0\nvariant=crc\naddresses=1\n";

QString Bin(const QString& program) {
    return QCoreApplication::applicationDirPath() + "/" + program;
}

// The service's stderr so far, waiting until it holds `text` (false after 20 s).
bool WaitForText(QProcess& process, QByteArray& seen, const QByteArray& text) {
    QElapsedTimer clock;
    clock.start();
    while (!seen.contains(text) && clock.elapsed() < 20000) {
        process.waitForReadyRead(200);
        seen += process.readAllStandardError();
    }
    return seen.contains(text);
}

QByteArray Config(const QString& dataDir, const QString& device, const QByteArray& extra = {}) {
    return "[service]\ndata_dir=" + dataDir.toUtf8() + "\n[line a]\ndevice=" + device.toUtf8() +
           "\nvariant=crc\nspeed=115200\ntimeout=50\naddresses=1,2\nperiod=100\n"
           "offline_after=2\n" +
           extra;
}

// A crc answer with a good checksum whose channel 1 holds `value` (the rest 0).
QByteArray Answer(const QByteArray& value) {
    QByteArray frame =
        "!" + QByteArray(21, '0') + ";00" + value + ";" + QByteArray("000;").repeated(11);
    return frame + QByteArray::number(InstrumentCrc(frame.toStdString())) + "\r";
}

// A log record of a crc request to `address` and its answer, for instrument-sim to replay.
QByteArray Record(int address, const QByteArray& answer) {
    const QByteArray stamp = "06 12 2026 14-03-00.000 \r\r\n";
    return "\r\r\n____________________________\r\r\n" + stamp +
           "Send:\r\r\n\xFF\xFF\xFF\xFF:" + QByteArray::number(address) + ";423;\r\r\r\n" + stamp +
           "exc time 20 mS\r\r\nAnsw:\r\r\n" + answer;
}

// The channel 1 values, in order, of a day file's rows (CSV) of network `address` that parsed.
QStringList CsvValues(const QByteArray& csv, const QByteArray& address) {
    QStringList values;
    for (const QByteArray& row : csv.split('\n'))
        if (row.split(',').value(2) == address && row.split(',').value(5) == "ok")
            values << row.split(',').value(6);
    return values;
}

// Runs the service on a line of the simulator until `until` holds for the rows of its day's
// log (reader-tool csv --raw: what crossed the line), at most 20 s; then the rows.
QList<QStringList> RunLine(SimProcess& sim, const QByteArray& line,
                           const std::function<bool(const QList<QStringList>&)>& until) {
    QTemporaryDir dir;
    WriteAll(dir.filePath("s.conf"), "[service]\ndata_dir=" + dir.filePath("data").toUtf8() +
                                         "\n[line a]\ndevice=" + sim.Device().toUtf8() +
                                         "\nvariant=crc\n" + line);
    QProcess service;
    service.start(Bin("reader-service"), {"--config", dir.filePath("s.conf")});
    const QString log =
        dir.filePath("data/a/" + QDate::currentDate().toString(Qt::ISODate) + ".log");
    QList<QStringList> rows;
    for (QElapsedTimer clock; clock.isValid() ? clock.elapsed() < 20000 : (clock.start(), true);) {
        QProcess tool;
        tool.start(Bin("reader-tool"), {"csv", "--raw", log});
        tool.waitForFinished(10000);
        rows.clear();
        for (const QByteArray& row : tool.readAllStandardOutput().trimmed().split('\n').mid(1))
            rows << QString::fromLatin1(row.trimmed()).split(',');
        if (until(rows))
            break;
        QTest::qWait(200);
    }
    service.terminate();
    service.waitForFinished(5000);
    return rows;
}

// The rows of instrument `address`.
QList<QStringList> Of(const QList<QStringList>& rows, int address) {
    QList<QStringList> mine;
    for (const QStringList& row : rows)
        if (row.value(2) == QString::number(address))
            mine << row;
    return mine;
}

// The `seq` of each state of instrument `address` an observer saw, in order, duplicates (QoS 1
// may deliver twice) left out; `started` gets the runs' start stamps.
QList<int> Seqs(Observer& observer, int address, QSet<QString>* started = nullptr) {
    QList<int> seqs;
    for (const QString& payload : observer.Payloads("t/a/" + QString::number(address) + "/state")) {
        const QJsonObject state = QJsonDocument::fromJson(payload.toUtf8()).object();
        if (started)
            *started << state["started"].toString();
        if (seqs.isEmpty() || seqs.last() != state["seq"].toInt())
            seqs << state["seq"].toInt();
    }
    return seqs;
}

// The topics a broker retains (a fresh subscriber's view), each with its payload.
std::map<QString, QByteArray> Retained(uint16_t port) {
    QProcess sub;
    sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(port), "-t", "#",
                                "--retained-only", "-v", "-W", "1"});
    sub.waitForFinished(10000);
    std::map<QString, QByteArray> retained;
    for (const QByteArray& line : sub.readAllStandardOutput().split('\n'))
        if (const qsizetype space = line.indexOf(' '); space > 0)
            retained[QString::fromUtf8(line.left(space))] = line.mid(space + 1);
    return retained;
}

// How many retained topics contain `part`.
int CountOf(const std::map<QString, QByteArray>& retained, const QString& part) {
    return int(std::count_if(retained.begin(), retained.end(),
                             [&](const auto& topic) { return topic.first.contains(part); }));
}

// A service process with its stderr kept.
struct Running {
    explicit Running(const QString& config, const QStringList& more = {}) {
        process.start(Bin("reader-service"), QStringList{"--config", config} + more);
    }
    ~Running() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    bool WaitFor(const QByteArray& text) { return WaitForText(process, told, text); }
    void Signal(int number) { ::kill(pid_t(process.processId()), number); }
    QProcess process;
    QByteArray told;
};

// A line of the simulator for a LinePoller of the test's own: offline after 2, no exchange log.
LineConfig PolledLine(const QString& device, std::vector<uint32_t> addresses, int64_t periodMs,
                      uint16_t timeoutMs) {
    LineConfig line;
    line.Name = "a";
    line.Device = device.toStdString();
    line.Addresses = std::move(addresses);
    line.PeriodMs = periodMs;
    line.TimeoutMs = timeoutMs;
    line.OfflineAfter = 2;
    line.ExchangeLog = false;
    return line;
}

// The availability changes an output is told, as "ADDRESS online|offline".
struct AvailabilityLog : Output, QStringList {
    void Exchanged(const ExchangeRecord&, const InstrumentState&) override {}
    void AvailabilityChanged(const InstrumentState& instrument) override {
        *this << QString("%1 %2")
                     .arg(instrument.Address)
                     .arg(*instrument.Online ? "online" : "offline");
        if (!*instrument.Online) // after how many failed visits in a row
            last() += QString("@%1").arg(instrument.FailuresInRow);
    }
};

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    // Each kind of mistake gives one line naming its section and key.
    void configErrors_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");
        QTest::newRow("variant") << kGoodLine + "variant=x\n"
                                 << "[line a] variant: given twice";
        QTest::newRow("unknown variant")
            << QByteArray("[line a]\ndevice=d\nvariant=rtu\naddresses=1\n")
            << "[line a] variant: \"rtu\" is neither crc nor sum";
        QTest::newRow("speed") << kGoodLine + "speed=19000\n"
                               << "[line a] speed: \"19000\" is not one of 110, 300, 600, 1200, "
                                  "2400, 4800, 9600, 19200, 38400, 57600, 115200";
        QTest::newRow("address range")
            << QByteArray("[line a]\ndevice=d\nvariant=sum\naddresses=1,256\n")
            << "[line a] addresses: \"1,256\" is not a list of addresses 0-255 like 1,2,5-8 "
               "(each once)";
        QTest::newRow("negative period") << kGoodLine + "period=-1\n"
                                         << "[line a] period: \"-1\" is not a number from 0 to "
                                            "86400000";
        QTest::newRow("yes/no") << kGoodLine + "exchange_log=maybe\n"
                                << "[line a] exchange_log: \"maybe\" is neither yes nor no";
        QTest::newRow("missing device")
            << QByteArray("[line a]\nvariant=crc\naddresses=1\n")
            << "[line a] device: missing: the serial device, e.g. /dev/serial/by-id/...";
        QTest::newRow("keepalive 0") << kGoodLine + "[mqtt]\nkeepalive=0\n"
                                     << "[mqtt] keepalive: \"0\" is not a number from 5 to 65535";
        QTest::newRow("qos 2") << kGoodLine + "[mqtt]\nqos=2\n"
                               << "[mqtt] qos: \"2\" is not a number from 0 to 1";
        QTest::newRow("unsafe name")
            << QByteArray("[line a/b]\ndevice=d\nvariant=crc\naddresses=1\n")
            << "[line a/b] the line's name must be 1 to 64 letters, digits, '-' or '_' (it "
               "names topics and folders)";
        QTest::newRow("unknown key") << kGoodLine + "perod=5\n"
                                     << "[line a] perod: unknown key";
        QTest::newRow("unknown section") << kGoodLine + "[lines b]\n"
                                         << "[lines b] unknown section";
        QTest::newRow("no line") << QByteArray("[service]\nkeep_days=3\n")
                                 << "[line NAME] missing: no serial line to poll";
        QTest::newRow("certificate without key")
            << kGoodLine + "[mqtt]\ntls_cert=c.pem\n"
            << "[mqtt] tls_key: tls_cert and tls_key go together";
        QTest::newRow("key without certificate")
            << kGoodLine + "[mqtt]\ntls_key=k.pem\n"
            << "[mqtt] tls_cert: tls_cert and tls_key go together";
        QTest::newRow("value too long")
            << kGoodLine + "[mqtt]\nbase=" + QByteArray(1100, 'x') + "\n"
            << "[mqtt] base: longer than 1023 bytes";
        QTest::newRow("base not UTF-8") << kGoodLine + "[mqtt]\nbase=plant\xff\n"
                                        << "[mqtt] base: is not UTF-8, which MQTT topics must be";
        QTest::newRow("password without user")
            << kGoodLine + "[mqtt]\npassword_file=p\n"
            << "[mqtt] password_file: given without username: the broker would never get it";
        QTest::newRow("unit the class refuses")
            << kGoodLine + "[instrument a 1]\nch2.device_class=temperature\nch2.unit=bar\n"
            << "[instrument a 1] ch2: unit \"bar\" is not one Home Assistant takes for device "
               "class temperature (°C, °F, K)";
        QTest::newRow("unknown device class")
            << kGoodLine + "[instrument a 1]\nch1.device_class=warmth\n"
            << "[instrument a 1] ch1: device class \"warmth\" is none Home Assistant knows for "
               "sensors";
        QTest::newRow("instrument not polled")
            << kGoodLine + "[instrument a 2]\nname=x\n"
            << "[instrument a 2] no such instrument: no line of that name polls that address";
        QTest::newRow("precision") << kGoodLine + "[instrument a 1]\nch12.precision=7\n"
                                   << "[instrument a 1] ch12.precision: \"7\" is not a number "
                                      "from 0 to 6";
        QTest::newRow("relay 17") << kGoodLine + "[instrument a 1]\nrelay17.name=x\n"
                                  << "[instrument a 1] relay17.name: unknown key (name, chN.name, "
                                     ".unit, .device_class, .state_class, .precision, .enabled; "
                                     "relayN, inputN, controlN, keyN .name, .enabled)";
        const QByteArray two = "[line a]\ndevice=/dev/a\nvariant=crc\naddresses=1,2\n"
                               "[line b]\ndevice=/dev/b\nvariant=sum\naddresses=2\n[modbus]\n";
        QTest::newRow("unit id clash")
            << two
            << "[modbus] unit ids: unit id 2 is both [line a] address 2 and [line b] address 2 "
               "(give the line its own with unit_ids.b)";
        QTest::newRow("unit id outside 1-247")
            << two + "unit_ids.b=248\n"
            << "[modbus] unit_ids.b: \"248\" is not a list of unit ids 1-247 like 11,12,15-18 "
               "(each once)";
        QTest::newRow("address 0 as unit id")
            << QByteArray("[line a]\ndevice=d\nvariant=crc\naddresses=0\n[modbus]\n")
            << "[modbus] unit ids: [line a] address 0 would be unit id 0, outside 1-247 (give the "
               "line its own with unit_ids.a)";
        QTest::newRow("unit id count")
            << two + "unit_ids.a=5\nunit_ids.b=6\n"
            << "[modbus] unit_ids.a: 1 unit ids for the line's 2 addresses";
        QTest::newRow("device twice")
            << kGoodLine + "[line b]\ndevice=/dev/ttyUSB0\nvariant=sum\naddresses=2\n"
            << "[line b] device: already used by [line a]";
    }
    void configErrors() {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        const ConfigCheck check = ParseServiceConfig(content.toStdString(), "host");
        QCOMPARE(check.Errors.size(), size_t(1));
        QCOMPARE(QString::fromStdString(check.Errors[0]), error);
    }

    // Where a listener takes connections and from whom.
    void listeners_data() {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QStringList>("allowed"); // peers let in; one prefixed by ! kept out
        QTest::addColumn<QString>("error");       // the one error, or empty
        QTest::newRow("defaults") << QByteArray("[http]\n")
                                  << QStringList{"127.0.0.1", "127.9.0.1", "::1", "!10.0.0.1",
                                                 "!::2"}
                                  << "";
        QTest::newRow("networks")
            << QByteArray("[modbus]\nlisten=0.0.0.0:502\nallow= 10.1.0.0/16 , fd00::/8,192.0.2.7\n")
            << QStringList{"10.1.255.1", "!10.2.0.1",  "fd12::5",   "!fe80::1",
                           "192.0.2.7",  "!192.0.2.8", "!127.0.0.1"}
            << "";
        QTest::newRow("everyone") << QByteArray("[http]\nallow=0.0.0.0/0,::/0\n")
                                  << QStringList{"203.0.113.9", "2001:db8::1"} << "";
        QTest::newRow("IPv6 listen")
            << QByteArray("[http]\nlisten=[::1]:8047\n") << QStringList{} << "";
        QTest::newRow("bad listen") << QByteArray("[http]\nlisten=::1:8047\n") << QStringList{}
                                    << "[http] listen: \"::1:8047\" is not ADDRESS:PORT (an IPv6 "
                                       "address in brackets: [::1]:PORT)";
        QTest::newRow("prefix too long")
            << QByteArray("[modbus]\nallow=10.0.0.0/33\n") << QStringList{}
            << "[modbus] allow: \"10.0.0.0/33\" is not a list of addresses and networks like "
               "10.0.0.0/8, ::1";
    }
    void listeners() {
        QFETCH(QByteArray, section);
        QFETCH(QStringList, allowed);
        QFETCH(QString, error);
        const ConfigCheck check = ParseServiceConfig((kGoodLine + section).toStdString(), "h");
        QCOMPARE(check.Errors.empty() ? QString() : QString::fromStdString(check.Errors.front()),
                 error);
        const ListenConfig& listener =
            section.startsWith("[http]") ? check.Config.Http.Listen : check.Config.Modbus.Listen;
        for (QString peer : allowed) {
            const bool in = !peer.startsWith('!');
            peer.remove('!');
            sockaddr_storage address{};
            if (peer.contains(':')) {
                auto* six = reinterpret_cast<sockaddr_in6*>(&address);
                six->sin6_family = AF_INET6;
                QVERIFY(inet_pton(AF_INET6, peer.toLatin1().constData(), &six->sin6_addr) == 1);
            } else {
                auto* four = reinterpret_cast<sockaddr_in*>(&address);
                four->sin_family = AF_INET;
                QVERIFY(inet_pton(AF_INET, peer.toLatin1().constData(), &four->sin_addr) == 1);
            }
            QVERIFY2(IsAllowed(listener.Allow, reinterpret_cast<sockaddr*>(&address)) == in,
                     qPrintable(peer));
        }
    }

    // Two names of one device (a link, as under /dev/serial/by-id) are one device.
    void deviceThroughLink() {
        QTemporaryDir dir;
        WriteAll(dir.filePath("ttyUSB0"), "");
        QVERIFY(QFile::link(dir.filePath("ttyUSB0"), dir.filePath("by-id")));
        const ConfigCheck check = ParseServiceConfig(
            "[line a]\ndevice=" + dir.filePath("by-id").toStdString() +
                "\nvariant=crc\naddresses=1\n[line b]\nvariant=crc\naddresses=2\ndevice=" +
                dir.filePath("ttyUSB0").toStdString() + "\n",
            "host");
        QCOMPARE(check.Errors,
                 std::vector<std::string>{"[line b] device: already used by [line a]"});
    }

    void goodConfig() {
        const ConfigCheck check = ParseServiceConfig(
            "[Service]\ndata_dir=/srv/r\nkeep_days=30\n"
            "[line north-1]\nDevice=/dev/serial/by-id/x\nvariant=SUM\nspeed=9600\ntimeout=250\n"
            "byte_gap=7\naddresses=7,1-3\nperiod=0\ngap=5\noffline_after=4\nexchange_log=no\n"
            "[line b]\ndevice=/dev/ttyS1\nvariant=crc\naddresses=0\n"
            "[instrument b 0]\nname=Boiler 2\nCh1.Name=Supply\nch1.unit=°C\nch1.precision=1\n"
            "ch1.device_class=temperature\nch3.enabled=no\nrelay2.name=Pump\nkey10.enabled=yes\n"
            "[mqtt]\nhost=broker\nport=8883\nqos=0\nretain=no\nkeepalive=30\ndiscovery=yes\n"
            "[modbus]\nunit_ids.B=12\n",
            "a.very-long.host.name.example");
        QVERIFY(check.Errors.empty());
        ServiceConfig expected;
        expected.DataDir = "/srv/r";
        expected.KeepDays = 30;
        expected.Lines.push_back({"north-1",
                                  "/dev/serial/by-id/x",
                                  ProtocolVariant::Sum,
                                  9600,
                                  6,
                                  250,
                                  7,
                                  {7, 1, 2, 3},
                                  0,
                                  5,
                                  4,
                                  false});
        expected.Lines.push_back(
            {"b", "/dev/ttyS1", ProtocolVariant::Crc, 19200, 7, 300, 24, {0}, 1000, 0, 3, true});
        InstrumentNaming naming;
        naming.Line = "b";
        naming.Name = "Boiler 2";
        naming.Channels[0] = {"Supply", "°C", "temperature", "", 1, true};
        naming.Channels[2].Enabled = false;
        naming.Relays[1].Name = "Pump";
        naming.Keys[9].Enabled = true;
        expected.Instruments.push_back(naming);
        expected.Mqtt.Host = "broker";
        expected.Mqtt.Port = 8883;
        expected.Mqtt.Qos = 0;
        expected.Mqtt.Retain = false;
        expected.Mqtt.KeepaliveS = 30;
        expected.Mqtt.Discovery = true;
        expected.Mqtt.ClientId = "reader-a_very-lo-8743ce"; // the whole name in its hash
        expected.Mqtt.Base = "instrument-reader/a_very-long_host_name_example";
        expected.Modbus = check.Config.Modbus; // its listener's keys are in listeners()
        QVERIFY(check.Config == expected);
        QCOMPARE(UnitIdsOf(check.Config.Modbus, check.Config.Lines[1]), std::vector<uint32_t>{12});
    }

    // A write that fails is reported once, and once more when writing works again; the
    // folder is made again and the new CSV file starts with its header.
    void failedWritesReportedOnce() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("a");
        WriteAll(folder, "in the way");
        QStringList reports;
        DayFiles files(folder.toStdString(), true, [&](const std::string& message) {
            reports << QString::fromStdString(message);
        });
        ExchangeRecord record;
        record.Address = 1;
        record.Variant = ProtocolVariant::Crc;
        record.Sent = {2026, 12, 1, 7, 23, 59, 59, 990, -1, -1};
        record.Received = {2026, 12, 1, 8, 0, 0, 0, 20, -1, -1};
        record.ExchangeMs = 30;
        record.Request = "\xFF\xFF\xFF\xFF:1;423;\r";
        const InstrumentState instrument;
        for (int i = 0; i < 2; ++i)
            files.Exchanged(record, instrument);
        QVERIFY(QFile::remove(folder));
        files.Exchanged(record, instrument);
        QCOMPARE(reports,
                 QStringList({"cannot write " + folder + "/2026-12-07.log: Not a directory",
                              "writing " + folder + " again"}));
        QVERIFY(ReadAll(folder + "/2026-12-07.csv").startsWith("sent,exchange_ms,network,"));
        // One file alone that cannot be written (a folder in its place) is told, once, and the
        // exchange goes into none of the three.
        reports.clear();
        QVERIFY(QFile::remove(folder + "/2026-12-07.jsonl") &&
                QDir(folder).mkdir("2026-12-07.jsonl"));
        const QByteArray csv = ReadAll(folder + "/2026-12-07.csv");
        for (int i = 0; i < 2; ++i)
            files.Exchanged(record, instrument);
        QCOMPARE(reports,
                 QStringList{"cannot write " + folder + "/2026-12-07.jsonl: Is a directory"});
        QCOMPARE(ReadAll(folder + "/2026-12-07.csv"), csv);
        QVERIFY(ReadAll(folder + "/2026-12-07.csv")
                    .endsWith("\r\n2026-12-07T23:59:59.990,30,1,crc,0,no-answer" +
                              QByteArray(42, ',') + "\r\n"));
    }

    // Nothing outside the line's folder is written or removed: not through a link planted at a
    // day file, not through a line folder that is a link.
    void linksInDataFolder() {
        QTemporaryDir dir;
        const QString outside = dir.filePath("outside"), folder = dir.filePath("data/w");
        QVERIFY(QDir().mkpath(outside) && QDir().mkpath(dir.filePath("data")));
        WriteAll(outside + "/1999-12-31.jsonl", "theirs\n");
        QVERIFY(QFile::link(outside, folder));
        QCOMPARE(DayFiles::Prune(folder.toStdString(), 5, QDate(2026, 12, 7)), 0);
        QVERIFY(QFile::remove(folder) && QDir().mkpath(folder));
        QVERIFY(QFile::link(outside + "/1999-12-31.jsonl", folder + "/2026-12-01.csv"));
        QVERIFY(QFile::link(outside + "/1999-12-31.jsonl", folder + "/1999-12-30.jsonl"));
        WriteAll(folder + "/1999-12-29.log", "old\n");
        QStringList reports;
        DayFiles files(folder.toStdString(), true, [&](const std::string& message) {
            reports << QString::fromStdString(message);
        });
        ExchangeRecord record;
        record.Sent = {2026, 12, 0, 1, 10, 0, 0, 0, -1, -1};
        files.Exchanged(record, InstrumentState());
        QCOMPARE(reports, QStringList{"cannot write " + folder +
                                      "/2026-12-01.csv: a symbolic link (the service writes "
                                      "through none)"});
        QCOMPARE(ReadAll(folder + "/2026-12-01.log"), QByteArray()); // all three or none
        QCOMPARE(DayFiles::Prune(folder.toStdString(), 10, QDate(2026, 12, 7)), 1);
        QVERIFY(!QFile::exists(folder + "/1999-12-29.log"));
        QVERIFY(QFileInfo(folder + "/1999-12-30.jsonl").isSymLink());
        QCOMPARE(ReadAll(outside + "/1999-12-31.jsonl"), QByteArray("theirs\n"));
    }

    // A disk that fills (a file-size limit here): every exchange is in all three files or in
    // none, so they agree, and the message names the cause of that write's failure.
    void fullDisk() {
        QTemporaryDir dir;
        QStringList reports;
        DayFiles files(dir.filePath("a").toStdString(), true, [&](const std::string& message) {
            reports << QString::fromStdString(message);
        });
        const std::string answer = ComposeAnswer(ProtocolVariant::Crc, ExampleReading());
        ReceiveBuffer buffer{};
        std::copy(answer.begin(), answer.end(), buffer.begin());
        DeviceReading reading;
        QCOMPARE(ParseResponse(ProtocolVariant::Crc, buffer, uint32_t(answer.size()), reading), 0);
        ExchangeRecord record;
        record.Address = 1;
        record.Variant = ProtocolVariant::Crc;
        record.Sent = record.Received = {2026, 12, 0, 7, 10, 0, 0, 0, -1, -1};
        record.Request = "\xFF\xFF\xFF\xFF:1;423;\r";
        record.Answer = answer;
        record.Outcome = ExchangeOutcome::Ok;
        record.Reading = &reading;
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = 30000;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        for (int i = 0; i < 100; ++i) {
            record.Sent.Milliseconds = uint16_t(i);
            files.Exchanged(record, InstrumentState());
        }
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &old), 0);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(reports, QStringList{"cannot write " + dir.filePath("a/2026-12-07.jsonl") +
                                      ": File too large"});
        const QString stem = dir.filePath("a/2026-12-07");
        for (const QString format : {"csv", "jsonl"}) {
            QProcess tool;
            tool.start(Bin("reader-tool"),
                       QStringList{"csv", stem + ".log"} +
                           (format == "jsonl" ? QStringList{"--jsonl"} : QStringList()));
            QVERIFY(tool.waitForFinished(10000));
            QCOMPARE(tool.readAllStandardOutput(), ReadAll(stem + "." + format));
        }
        QVERIFY(ReadAll(stem + ".csv").count('\n') > 10);
    }

    // The diag report counts what happened since the previous one.
    void diagPayload() {
        LineFigures before, now; // by outcome: ok, too short, no frame, mismatch, no answer, port
        before.Outcomes = {10, 0, 0, 1, 2, 0};
        now.Outcomes = {40, 0, 1, 1, 5, 2};
        before.Overruns = 3;
        now.Overruns = 4;
        now.Reopenings = 1;
        QCOMPARE(DiagJson(now, before, 4.0, 7, 2),
                 std::string("{\"outcomes\":{\"ok\":30,\"too-short\":0,\"no-frame\":1,"
                             "\"checksum-mismatch\":0,\"no-answer\":3,\"port-failure\":2},"
                             "\"exchanges_per_s\":9.00,\"overruns\":1,\"port_reopenings\":1,"
                             "\"queue_depth\":7,\"dropped\":2}"));
    }

    // A silent instrument goes offline at exactly its offline_after-th failure in a row and
    // online at its next answer; the others stay online throughout.
    void availability() {
        SimProcess sim({"--address", "1,2", "--fault", "2:silence"});
        QVERIFY(!sim.Device().isEmpty());
        QTemporaryDir dir;
        const LineConfig line = PolledLine(sim.Device(), {1, 2}, 100, 50);
        AvailabilityLog changes;
        std::vector<InstrumentState> states(2);
        states[0].Address = 1;
        states[1].Address = 2;
        LinePoller poller(line, {&states[0], &states[1]}, {&changes});
        poller.Start();
        QTRY_VERIFY_WITH_TIMEOUT(changes.contains("2 offline@2"), 20000);
        QVERIFY(sim.Command("@2 fault none"));
        QTRY_VERIFY_WITH_TIMEOUT(changes.contains("2 online"), 20000);
        poller.Stop();
        QCOMPARE(QStringList(changes), QStringList({"1 online", "2 offline@2", "2 online"}));
        // A third visit may have begun before the command reached the simulator.
        QVERIFY(poller.Figures().Outcomes[size_t(ExchangeOutcome::NoAnswer)] >= 2);
    }

    // An instrument that fails every other visit is never offline (offline_after=2).
    void alternatingNeverOffline() {
        QTemporaryDir dir;
        QByteArray log;
        for (int i = 0; i < 20; ++i)
            log += Record(1, Answer("1")) + Record(1, "");
        WriteAll(dir.filePath("replay.txt"), log);
        SimProcess sim({"--replay", dir.filePath("replay.txt")});
        const LineConfig line = PolledLine(sim.Device(), {1}, 50, 300);
        AvailabilityLog changes;
        InstrumentState state;
        state.Address = 1;
        LinePoller poller(line, {&state}, {&changes});
        poller.Start();
        QTRY_VERIFY_WITH_TIMEOUT(state.Outcomes[size_t(ExchangeOutcome::NoAnswer)] >= 6, 20000);
        poller.Stop();
        QCOMPARE(QStringList(changes), QStringList{"1 online"});
    }

    // A device that is not there: every instrument of the line is published offline at once,
    // and the opening is tried again after 1, 2, 4 s (counted on a FIFO standing in for the
    // device: each try opens it, and it is no serial device).
    void missingDevice() {
        MqttBroker broker;
        Observer observer(broker.Port());
        QTemporaryDir dir;
        const QString fifo = dir.filePath("tty");
        QCOMPARE(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(inotify_add_watch(watch, dir.path().toLocal8Bit().constData(), IN_OPEN) >= 0);
        WriteAll(dir.filePath("s.conf"), Config(dir.filePath("data"), fifo) +
                                             "[mqtt]\nhost=127.0.0.1\nport=" +
                                             QByteArray::number(broker.Port()) + "\nbase=t\n");
        QElapsedTimer clock;
        clock.start();
        QList<qint64> opens;
        Running service(dir.filePath("s.conf"));
        const auto told = [&](const char* topic) { // each payload once: sent again on connecting
            QStringList payloads = observer.Payloads(topic);
            payloads.removeDuplicates();
            return payloads;
        };
        for (const char* topic : {"t/a/1/availability", "t/a/2/availability"})
            QTRY_COMPARE_WITH_TIMEOUT(told(topic), QStringList{"offline"}, 10000);
        QCOMPARE(told("t/status"), QStringList{"online"});
        while (clock.elapsed() < 7600) {
            char events[4096];
            for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                    if (QByteArray(event->name) == "tty")
                        opens << clock.elapsed();
                    at += ssize_t(sizeof(inotify_event) + event->len);
                }
            QTest::qWait(20);
        }
        close(watch);
        QCOMPARE(observer.Payloads("t/a/1/state"), QStringList()); // no reading, no state
        QCOMPARE(opens.size(), 4);                                 // at about 0, 1, 3 and 7 s
        for (qsizetype i = 2; i < opens.size(); ++i)
            QVERIFY2(opens[i] - opens[i - 1] > 3 * (opens[i - 1] - opens[i - 2]) / 2,
                     qPrintable(QString::number(opens[i] - opens[i - 1])));
    }

    // keep_days=7 keeps the files of the 7 days before today, removes older day files, and
    // leaves every other name alone.
    void keepDays() {
        QTemporaryDir dir;
        const QDate today(2026, 12, 7);
        const QStringList kept{"2026-11-30.log", "2026-11-30.csv",     "2026-12-07.jsonl",
                               "notes.txt",      "2026-11-29.csv.bak", "2026-02-30.log"};
        for (const QString& name : kept + QStringList{"2026-11-29.log", "2026-11-29.jsonl"})
            WriteAll(dir.filePath(name), "x");
        QCOMPARE(DayFiles::Prune(dir.path().toStdString(), 7, today), 2);
        QStringList left = QDir(dir.path()).entryList(QDir::Files);
        QStringList expected = kept;
        std::sort(left.begin(), left.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(left, expected);
    }

    // A silent instrument costs its time-out, not everyone's period: the others keep theirs.
    void silentInstrumentCostsItsTimeout() {
        SimProcess sim({"--address", "1,2,3", "--fault", "3:silence"});
        const auto rows = RunLine(sim, "addresses=1,2,3\nperiod=400\ntimeout=100\n",
                                  [](const auto& rows) { return Of(rows, 1).size() >= 8; });
        const QList<QStringList> first = Of(rows, 1);
        QVERIFY(first.size() >= 8);
        QList<qint64> periods;
        for (qsizetype i = 1; i < first.size(); ++i)
            periods << QDateTime::fromString(first[i - 1][0], Qt::ISODateWithMs)
                           .msecsTo(QDateTime::fromString(first[i][0], Qt::ISODateWithMs));
        std::sort(periods.begin(), periods.end());
        QVERIFY2(qAbs(periods[periods.size() / 2] - 400) <= 20,
                 qPrintable(QString::number(periods[periods.size() / 2])));
    }

    // Garbage is a failure like silence: the instrument is visited less and less often.
    void garbageBacksOff() {
        SimProcess sim({"--address", "1,2", "--fault", "2:garbage"});
        const auto rows = RunLine(sim, "addresses=1,2\nperiod=100\ntimeout=100\n",
                                  [](const auto& rows) { return Of(rows, 1).size() >= 40; });
        QVERIFY(Of(rows, 1).size() >= 40);
        QVERIFY2(Of(rows, 2).size() <= 15, qPrintable(QString::number(Of(rows, 2).size())));
    }

    // An answer in two parts 80 ms apart: the line is drained of its tail, so the instrument
    // polled next reads its own answer, whole, every time.
    void splitAnswerIsDrained() {
        SimProcess sim({"--address", "1,2,3", "--fault", "2:split:80"});
        const auto rows = RunLine(sim, "addresses=1,2,3\nperiod=0\ntimeout=200\n",
                                  [](const auto& rows) { return Of(rows, 3).size() >= 10; });
        QVERIFY(Of(rows, 3).size() >= 10);
        for (const QStringList& row : Of(rows, 3)) {
            QCOMPARE(row[5], QString("ok"));
            QVERIFY2(row.last().startsWith("21"), qPrintable(row.last())); // its '!' first
        }
    }

    // A port that opens and fails at once (the line hangs up at each request) is opened again
    // with growing waits, and told once.
    void failingPortBacksOff() {
        QTemporaryDir dir;
        SimProcess sim({"--link", dir.filePath("tty"), "--fault", "hangup"});
        WriteAll(dir.filePath("s.conf"), Config(dir.filePath("data"), dir.filePath("tty")));
        QProcess service;
        service.start(Bin("reader-service"), {"--config", dir.filePath("s.conf")});
        QTest::qWait(7500); // tries at about 0, 1, 3 and 7 s
        service.terminate();
        QVERIFY(service.waitForFinished(5000));
        QVERIFY2(sim.Requests().size() <= 5, qPrintable(QString::number(sim.Requests().size())));
        const QByteArray told = service.readAllStandardError();
        QCOMPARE(told.count("failed ("), 1);
        QCOMPARE(told.count("open again"), 0);
    }

    void once() {
        SimProcess sim({"--address", "1,2,3"});
        QTemporaryDir dir;
        WriteAll(dir.filePath("s.conf"), Config(dir.filePath("data"), sim.Device()) +
                                             "[line b]\ndevice=" + dir.filePath("none").toUtf8() +
                                             "\nvariant=sum\naddresses=4\n");
        QProcess service;
        service.start(Bin("reader-service"), {"--config", dir.filePath("s.conf"), "--once"});
        QVERIFY(service.waitForFinished(20000));
        QCOMPARE(service.exitCode(), 1); // line b has no device
        QList<QByteArray> lines = service.readAllStandardOutput().trimmed().split('\n');
        std::sort(lines.begin(), lines.end()); // the two lines run side by side
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].startsWith("a 1 ok "));
        QVERIFY(lines[1].startsWith("a 2 ok "));
        QCOMPARE(lines[0].split(' ').size(), 15); // the twelve channel values
        QCOMPARE(lines[2], QByteArray("b 4 port-failure"));
        // An answer with a bad checksum: its outcome, no values, exit status 1.
        SimProcess bad({"--fault", "badsum"});
        WriteAll(
            dir.filePath("bad.conf"),
            Config(dir.filePath("data"), bad.Device()).replace("addresses=1,2", "addresses=1"));
        service.start(Bin("reader-service"), {"--config", dir.filePath("bad.conf"), "--once"});
        QVERIFY(service.waitForFinished(20000));
        QCOMPARE(service.exitCode(), 1);
        QCOMPARE(service.readAllStandardOutput(), QByteArray("a 1 checksum-mismatch\n"));
    }

    // The running service: the port vanishing and coming back at the same path; SIGHUP with a
    // bad and with a changed configuration; SIGTERM.
    void running() {
        QTemporaryDir dir;
        const QString link = dir.filePath("dev");
        auto sim = std::make_unique<SimProcess>(QStringList{"--address", "1,2", "--link", link});
        const QString config = dir.filePath("s.conf");
        WriteAll(config, Config(dir.filePath("data"), link));
        QProcess service;
        service.start(Bin("reader-service"), {"--config", config});
        QByteArray seen;
        QVERIFY(WaitForText(service, seen, "a/2 online"));

        sim.reset();
        QVERIFY(WaitForText(service, seen, "a/1 offline"));
        sim = std::make_unique<SimProcess>(QStringList{"--address", "1,2", "--link", link});
        QVERIFY(WaitForText(service, seen, "open again"));
        seen = seen.mid(seen.indexOf("open again"));
        QVERIFY(WaitForText(service, seen, "a/2 online"));

        WriteAll(config, "[line a]\nspeed=1\n");
        ::kill(pid_t(service.processId()), SIGHUP);
        QVERIFY(WaitForText(service, seen, "the configuration in force is kept"));
        WriteAll(config, Config(dir.filePath("data2"), link));
        ::kill(pid_t(service.processId()), SIGHUP);
        QVERIFY(WaitForText(service, seen, "configuration read again"));
        const QString day = QDate::currentDate().toString(Qt::ISODate);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("data2/a/" + day + ".csv")), 10000);

        service.terminate();
        QVERIFY(service.waitForFinished(5000));
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 0);
    }

    // One record feeds the files and MQTT, so they agree even where reader-tool, reading a day's
    // log alone, cannot: two instruments on the line, instrument 1 answering with a good
    // checksum but a channel 1 value that does not convert after its first answer, across
    // local midnight. The new day's rows carry the 10 of instrument 1's earlier answer, as its
    // states do; reader-tool starts that day from nothing.
    void filesAndStatesAgree() {
        QTemporaryDir dir;
        QByteArray log = Record(1, Answer("10")) + Record(2, Answer("20"));
        for (int i = 0; i < 100; ++i) // 10 s of answers: midnight comes within 4 s
            log += Record(1, Answer("x")) + Record(2, Answer(QByteArray::number(21 + i % 50)));
        WriteAll(dir.filePath("replay.txt"), log);
        SimProcess sim({"--replay", dir.filePath("replay.txt")});
        MqttBroker broker;
        QProcess sub;
        sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(broker.Port()), "-t",
                                    "t/+/+/state", "-v", "-q", "1"});
        QVERIFY(sub.waitForStarted());
        QTest::qWait(300); // subscribed
        const QString config = dir.filePath("s.conf");
        WriteAll(config,
                 Config(dir.filePath("data"), sim.Device()).replace("timeout=50", "timeout=2000") +
                     "[mqtt]\nhost=127.0.0.1\nport=" + QByteArray::number(broker.Port()) +
                     "\nbase=t\n");
        // A time zone whose midnight is three seconds away.
        const qint64 utcMsOfDay = QDateTime::currentMSecsSinceEpoch() % 86400000;
        const qint64 offset = ((86400000 - 3000 - utcMsOfDay) % 86400000 + 86400000) % 86400000;
        const QString zone = QString::asprintf("TST-%02lld:%02lld:%02lld", offset / 3600000,
                                               offset / 60000 % 60, offset / 1000 % 60);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TZ", zone);
        QProcess service;
        service.setProcessEnvironment(environment);
        service.start(Bin("reader-service"), {"--config", config});
        const QDateTime now = QDateTime::currentDateTimeUtc().addMSecs(offset);
        const QString newDay =
            dir.filePath("data/a/" + now.addDays(1).date().toString(Qt::ISODate));
        QTRY_VERIFY_WITH_TIMEOUT(CsvValues(ReadAll(newDay + ".csv"), "1").size() >= 3, 15000);
        service.terminate();
        QVERIFY(service.waitForFinished(5000));
        sub.terminate();
        sub.waitForFinished();
        QStringList published;
        for (const QByteArray& line : sub.readAllStandardOutput().split('\n'))
            if (line.startsWith("t/a/1/state "))
                published << QString::number(QJsonDocument::fromJson(line.mid(12))
                                                 .object()["channels"]
                                                 .toArray()
                                                 .at(0)
                                                 .toObject()["value"]
                                                 .toDouble());
        const QString oldDay = dir.filePath("data/a/" + now.date().toString(Qt::ISODate));
        const QStringList written =
            CsvValues(ReadAll(oldDay + ".csv"), "1") + CsvValues(ReadAll(newDay + ".csv"), "1");
        QVERIFY(written.size() >= 4);
        QCOMPARE(published, written);
        QCOMPARE(written, QStringList(written.size(), "10"));
        QProcess tool;
        tool.start(Bin("reader-tool"), {"csv", "--network", "1", newDay + ".log"});
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(CsvValues(tool.readAllStandardOutput(), "1").value(0), QString("0"));
    }

    // The broker away for a while, with or without a change of [mqtt] by SIGHUP meanwhile:
    // every reading arrives once it is back, in order, the numbers going on from before.
    void brokerOutage_data() {
        QTest::addColumn<bool>("reload");
        QTest::newRow("the broker restarts") << false;
        QTest::newRow("[mqtt] changed meanwhile") << true;
    }
    void brokerOutage() {
        QFETCH(bool, reload);
        MqttBroker broker;
        Observer observer(broker.Port());
        QTemporaryDir dir;
        SimProcess sim({"--address", "1,2,3"});
        const QByteArray mqtt =
            "[mqtt]\nhost=127.0.0.1\nport=" + QByteArray::number(broker.Port()) + "\nbase=t\n";
        const QString config = dir.filePath("s.conf");
        WriteAll(config, Config(dir.filePath("data"), sim.Device()) + mqtt);
        Running service(config);
        QTRY_VERIFY_WITH_TIMEOUT(Seqs(observer, 1).size() >= 3, 20000);
        broker.Stop();
        QVERIFY(service.WaitFor("lost"));
        if (reload) {
            WriteAll(config, Config(dir.filePath("data"), sim.Device()) + mqtt + "keepalive=30\n");
            service.Signal(SIGHUP);
            QVERIFY(service.WaitFor("configuration read again"));
        }
        QTest::qWait(1500); // readings wait in the queue
        const int before = Seqs(observer, 1).size();
        QVERIFY(broker.Start());
        QTRY_VERIFY_WITH_TIMEOUT(Seqs(observer, 1).size() >= before + 20, 20000);
        // A broker that lost its retained messages has every availability again (behind the
        // readings that waited).
        const auto availabilities = [&] {
            const auto retained = Retained(broker.Port());
            return retained.count("t/a/1/availability") + retained.count("t/a/2/availability");
        };
        QTRY_COMPARE_WITH_TIMEOUT(availabilities(), size_t(2), 10000);
        QSet<QString> started;
        const QList<int> seqs = Seqs(observer, 1, &started);
        for (qsizetype i = 0; i < seqs.size(); ++i)
            QCOMPARE(seqs[i], int(i + 1));
        QCOMPARE(started.size(), 1);
    }

    // What Home Assistant finds retained follows the configuration: an instrument added by a
    // reload is announced, one removed loses its configs, its state and its availability, a
    // changed period is announced again, and a restart with a smaller configuration clears the
    // rest. Another host's config and another program's topics stay.
    void discoveryLifecycle() {
        MqttBroker broker;
        const QString own =
            "instrument_reader_" +
            QString::fromStdString(CleanName(QSysInfo::machineHostName().toStdString()));
        const QString port = QString::number(broker.Port());
        QProcess plant;
        plant.start("sh",
                    {"-c", "mosquitto_pub -p " + port +
                               " -r -t ha/sensor/instrument_reader_other_a_3_ch1/config -m "
                               "'{\"state_topic\":\"other/a/3/state\"}' && mosquitto_pub -p " +
                               port + " -r -t x/a/1/state -m theirs"});
        QVERIFY(plant.waitForFinished(10000));
        QTemporaryDir dir;
        SimProcess sim({"--address", "1-3"});
        const QString config = dir.filePath("s.conf");
        const auto write = [&](const QByteArray& addresses, const QByteArray& period) {
            WriteAll(config, Config(dir.filePath("data"), sim.Device())
                                     .replace("addresses=1,2", "addresses=" + addresses)
                                     .replace("period=100", "period=" + period) +
                                 "[mqtt]\nhost=127.0.0.1\nport=" + port.toUtf8() +
                                 "\nbase=t\ndiscovery=yes\ndiscovery_prefix=ha\n");
        };
        write("1,2", "100");
        auto service = std::make_unique<Running>(config);
        QTRY_VERIFY_WITH_TIMEOUT(CountOf(Retained(broker.Port()), own + "_a_2_") == 60, 20000);
        write("1,3", "20000");
        service->Signal(SIGHUP);
        QVERIFY(service->WaitFor("configuration read again"));
        QTRY_VERIFY_WITH_TIMEOUT(CountOf(Retained(broker.Port()), own + "_a_2_") == 0, 20000);
        auto retained = Retained(broker.Port());
        QCOMPARE(CountOf(retained, own + "_a_3_"), 60);
        QCOMPARE(CountOf(retained, "t/a/2/"), 0);
        const QString host =
            QString::fromStdString(CleanName(QSysInfo::machineHostName().toStdString()));
        QVERIFY(retained["ha/sensor/" + own + "_a_1_ch1/config"].contains("\"expire_after\":60"));
        service.reset();
        write("1", "100");
        service = std::make_unique<Running>(config);
        QTRY_VERIFY_WITH_TIMEOUT(CountOf(Retained(broker.Port()), own + "_a_3_") == 0, 20000);
        retained = Retained(broker.Port());
        QCOMPARE(CountOf(retained, "t/a/3/"), 0);
        QCOMPARE(CountOf(retained, own + "_a_1_"), 60);
        QCOMPARE(retained["x/a/1/state"], QByteArray("theirs"));
        QCOMPARE(CountOf(retained, "instrument_reader_other_a_3_ch1"), 1);
    }

    // Each diag report covers its own interval, not the run so far; a reload that moves to
    // another broker and base is followed there.
    void diagAndMove() {
        MqttBroker first, second;
        Observer before(first.Port()), after(second.Port());
        QTemporaryDir dir;
        SimProcess sim({"--address", "1,2"});
        const QString config = dir.filePath("s.conf");
        const auto mqtt = [](uint16_t port, const char* base) {
            return "[mqtt]\nhost=127.0.0.1\nport=" + QByteArray::number(port) + "\nbase=" + base +
                   "\ndiag_interval=1\n";
        };
        WriteAll(config, Config(dir.filePath("data"), sim.Device()) + mqtt(first.Port(), "t"));
        Running service(config);
        QTRY_VERIFY_WITH_TIMEOUT(before.Payloads("t/a/diag").size() >= 3, 20000);
        QList<int> ok;
        for (const QString& diag : before.Payloads("t/a/diag"))
            ok << QJsonDocument::fromJson(diag.toUtf8())["outcomes"]["ok"].toInt();
        // Two instruments every 100 ms: about 20 a second, whichever report it is.
        for (qsizetype i = 1; i < ok.size(); ++i)
            QVERIFY2(ok[i] >= 10 && ok[i] <= 30, qPrintable(QString::number(ok[i])));
        WriteAll(config, Config(dir.filePath("data"), sim.Device()) + mqtt(second.Port(), "u"));
        service.Signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(after.Payloads("u/a/1/state").size() >= 2, 20000);
        QCOMPARE(after.Payloads("t/a/1/state"), QStringList());
    }

    // A reload waits for the exchange in flight; a stop ends it, writes it to the files as the
    // line gave it, and counts it against nobody: a healthy instrument is never reported
    // offline for either, even with offline_after=1.
    void exchangeInFlight_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("reload") << int(SIGHUP);
        QTest::newRow("stop") << int(SIGTERM);
    }
    void exchangeInFlight() {
        QFETCH(int, signal);
        MqttBroker broker;
        Observer observer(broker.Port());
        QTemporaryDir dir;
        SimProcess sim({"--fault", "delay:400"});
        const QString config = dir.filePath("s.conf");
        WriteAll(config, Config(dir.filePath("data"), sim.Device())
                                 .replace("addresses=1,2", "addresses=1")
                                 .replace("timeout=50", "timeout=1000")
                                 .replace("offline_after=2", "offline_after=1") +
                             "[mqtt]\nhost=127.0.0.1\nport=" + QByteArray::number(broker.Port()) +
                             "\nbase=t\n");
        Running service(config);
        QTRY_VERIFY_WITH_TIMEOUT(observer.Payloads("t/a/1/state").size() >= 1, 20000);
        const qsizetype asked = sim.Requests().size();
        QTRY_VERIFY_WITH_TIMEOUT(sim.Requests().size() > asked, 5000); // one is in flight
        service.Signal(signal);
        if (signal == SIGHUP) {
            QVERIFY(service.WaitFor("configuration read again"));
            QTRY_VERIFY_WITH_TIMEOUT(observer.Payloads("t/a/1/state").size() >= 3, 20000);
            service.Signal(SIGTERM);
        }
        QVERIFY(service.process.waitForFinished(5000));
        QCOMPARE(service.process.exitCode(), 0);
        QCOMPARE(observer.Payloads("t/a/1/availability"), QStringList{"online"});
        QTRY_VERIFY(observer.Payloads("t/status").endsWith("offline")); // the stop told
        const QString stem = dir.filePath("data/a/" + QDate::currentDate().toString(Qt::ISODate));
        const QByteArray csv = ReadAll(stem + ".csv");
        QProcess tool;
        tool.start(Bin("reader-tool"), {"csv", stem + ".log"});
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(csv, tool.readAllStandardOutput()); // the stopped exchange's rows included
        const QList<QByteArray> rows = csv.trimmed().split('\n');
        // Only the stop's own exchange may lack its answer.
        for (qsizetype i = 1; i + 1 < rows.size(); ++i)
            QVERIFY2(rows[i].contains(",ok,"), rows[i].constData());
    }

    // Whoever reads the service's standard error may go away: polling goes on, a reload is
    // told into the void, and the stop is clean. --once into a closed pipe fails with 2.
    void closedPipes() {
        QTemporaryDir dir;
        SimProcess sim({"--address", "1,2"});
        const QString config = dir.filePath("s.conf");
        WriteAll(config, Config(dir.filePath("data"), sim.Device()));
        Running service(config);
        QVERIFY(service.WaitFor("started"));
        service.process.closeReadChannel(QProcess::StandardError);
        service.Signal(SIGHUP);
        QTest::qWait(500);
        QCOMPARE(service.process.state(), QProcess::Running);
        service.Signal(SIGTERM);
        QVERIFY(service.process.waitForFinished(5000));
        QCOMPARE(service.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.process.exitCode(), 0);

        QProcess once;
        once.start("bash", {"-c", "'" + Bin("reader-service") + "' --config '" + config +
                                      "' --once 2>/dev/null | true; echo \"${PIPESTATUS[0]}\""});
        QVERIFY(once.waitForFinished(20000));
        QCOMPARE(once.readAllStandardOutput().trimmed(), QByteArray("2"));
    }

    // Two services under one client id take each other's connection over; they slow down
    // instead of flapping every second, and each says once why.
    void sameClientId() {
        MqttBroker broker;
        QTemporaryDir dir;
        SimProcess first, second;
        const QByteArray mqtt =
            "[mqtt]\nhost=127.0.0.1\nport=" + QByteArray::number(broker.Port()) +
            "\nclient_id=twin\n";
        WriteAll(dir.filePath("1.conf"), Config(dir.filePath("d1"), first.Device()) + mqtt);
        WriteAll(dir.filePath("2.conf"), Config(dir.filePath("d2"), second.Device()) + mqtt);
        Running one(dir.filePath("1.conf")), two(dir.filePath("2.conf"));
        QTest::qWait(9000);
        QVERIFY(one.WaitFor("started") && two.WaitFor("started"));
        const QByteArray told = one.told + two.told;
        QVERIFY2(told.count("MQTT: connected") <= 8, told.constData());
        QCOMPARE(told.count("another client may use the client id \"twin\""), 2);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
