// The service's MQTT side against a real mosquitto broker: the status topic and last will,
// queueing across a broker restart, a clean stop; and the payloads it publishes.

#include "discovery.h"
#include "mqtt_broker.h"
#include "mqtt_client.h"
#include "mqtt_payloads.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <mosquitto.h>
#include <sys/resource.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>

namespace {

// Takes the messages that arrive on the client's subscriptions.
struct Commands : PublisherListener {
    void MessageArrived(const std::string& topic, const std::string& payload, bool) override {
        Seen << QString::fromStdString(topic + " " + payload);
    }
    QStringList Seen;
};

MqttConfig Local(uint16_t port, const std::string& base) {
    MqttConfig settings;
    settings.Host = "127.0.0.1";
    settings.Port = port;
    settings.Base = base;
    return settings;
}

QJsonObject Parse(const std::string& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << error.errorString() << text.c_str();
    return document.object();
}

// A certificate authority and a certificate it signed for "localhost", made for the test.
struct Certificates {
    Certificates() {
        QProcess openssl;
        openssl.setWorkingDirectory(Dir.path());
        openssl.start(
            "sh", {"-c", "set -e; ec='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
                         "openssl req -x509 $ec -keyout ca.key -out ca.pem -days 2 -subj /CN=ca\n"
                         "openssl req $ec -keyout key.pem -out cert.csr -subj /CN=localhost\n"
                         "echo subjectAltName=DNS:localhost > san\n"
                         "openssl x509 -req -in cert.csr -CA ca.pem -CAkey ca.key "
                         "-CAcreateserial -out cert.pem -days 2 -extfile san\n"
                         "chmod 644 *.pem *.key; chmod 755 ."});
        openssl.waitForFinished(30000);
        Made = openssl.exitCode() == 0;
    }
    std::string Path(const char* name) const { return Dir.filePath(name).toStdString(); }
    QByteArray Listener() const {
        return QByteArray("cafile ") + Path("ca.pem").c_str() + "\ncertfile " +
               Path("cert.pem").c_str() + "\nkeyfile " + Path("key.pem").c_str() + "\n";
    }
    QTemporaryDir Dir;
    bool Made = false;
};

// The process's CPU time so far, in ms.
qint64 CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

QStringList Numbered(int from, int to) {
    QStringList list;
    for (int i = from; i <= to; ++i)
        list << "m" + QString::number(i);
    return list;
}

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { mosquitto_lib_init(); }

    void backoff_data() {
        QTest::addColumn<int>("attempt");
        QTest::addColumn<double>("jitter");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("first, never below 1 s") << 0 << 0.0 << qint64(1000);
        QTest::newRow("second, top") << 1 << 1.0 << qint64(2000);
        QTest::newRow("fourth, middle") << 3 << 0.5 << qint64(7200);
        QTest::newRow("capped at 60 s") << 6 << 1.0 << qint64(60000);
        QTest::newRow("capped, bottom") << 6 << 0.0 << qint64(48000);
        QTest::newRow("far attempt, no overflow") << 1000 << 0.5 << qint64(54000);
        QTest::newRow("jitter out of range") << 2 << 7.0 << qint64(4000);
    }
    void backoff() {
        QFETCH(int, attempt);
        QFETCH(double, jitter);
        QFETCH(qint64, ms);
        QCOMPARE(BackoffMs(attempt, jitter), ms);
    }

    // Ids, entity ids and names as values: an instrument of a line whose name needs cleaning,
    // on a host whose name does, with a few names and units set.
    void discovery() {
        LineConfig line;
        line.Name = "line 2/a+";
        line.PeriodMs = 15500;
        InstrumentNaming naming;
        naming.Name = "Boiler 2";
        naming.Channels[0] = {"Supply temperature", "°C", "temperature", "", 1, true};
        naming.Channels[11].Enabled = false;
        naming.Relays[2].Name = "Pump";
        naming.Keys[9].Enabled = true;
        const DiscoveryContext context{"homeassistant", "ir/plant1", "scada.local", "1.2.3"};
        std::map<QString, QJsonObject> byId;
        for (const auto& [topic, payload] : InstrumentDiscovery(context, line, 17, naming)) {
            const QJsonObject o = Parse(payload);
            const QString id = o["unique_id"].toString();
            QCOMPARE(QString::fromStdString(topic),
                     "homeassistant/" + o["default_entity_id"].toString().section('.', 0, 0) + "/" +
                         id + "/config");
            QCOMPARE(o["device"]["identifiers"].toArray(),
                     QJsonArray{"instrument_reader_scada_local_line_2_a__17"});
            QCOMPARE(o["device"]["via_device"].toString(), "instrument_reader_scada_local");
            QCOMPARE(o["device"]["name"].toString(), "Boiler 2");
            QVERIFY(byId.emplace(id.mid(43), o).second); // every id once
        }
        QCOMPARE(byId.size(), size_t(12 * 2 + 16 + 4 + 2 + 10 + 4));
        const auto entity = [&](const char* id, const char* key) {
            return byId[id][key].toVariant();
        };
        QCOMPARE(entity("ch1", "name").toString(), "Supply temperature");
        QCOMPARE(entity("ch1", "unit_of_measurement").toString(), "°C");
        QCOMPARE(entity("ch1", "suggested_display_precision").toInt(), 1);
        QCOMPARE(entity("ch1", "default_entity_id").toString(),
                 "sensor.scada_local_line_2_a_17_ch1");
        QCOMPARE(entity("ch1", "expire_after").toInt(), 47);
        QCOMPARE(entity("ch2", "name").toString(), "Channel 2");
        QCOMPARE(entity("ch12", "enabled_by_default").toBool(), false);
        QCOMPARE(entity("ch3_problem", "device_class").toString(), "problem");
        QCOMPARE(entity("relay1", "name").toString(), "Relay 1");
        QCOMPARE(entity("relay1", "enabled_by_default").toBool(), false);
        QCOMPARE(entity("relay3", "name").toString(), "Pump");
        QVERIFY(!byId["relay3"].contains("enabled_by_default"));
        QCOMPARE(entity("key10", "default_entity_id").toString(),
                 "binary_sensor.scada_local_line_2_a_17_key10");
        QVERIFY(!byId["key10"].contains("enabled_by_default"));
        QCOMPARE(entity("connectivity", "state_topic").toString(),
                 "ir/plant1/line_2_a_/17/availability");
        QCOMPARE(byId["connectivity"]["availability"].toArray().size(), 1);
        QCOMPARE(entity("last_seen", "entity_category").toString(), "diagnostic");
        QCOMPARE(ExpireAfterS(0), 30); // back to back: not below 30 s
        const auto bridge = Parse(LineDiscovery(context, line).front().second);
        QCOMPARE(bridge["device"]["identifiers"].toArray(),
                 QJsonArray{"instrument_reader_scada_local"});
        QCOMPARE(bridge["device"]["sw_version"].toString(), "1.2.3");
        QCOMPARE(bridge["state_topic"].toString(), "ir/plant1/line_2_a_/diag");
    }

    // The templates as Home Assistant renders them (Jinja2): a channel's value is unknown
    // ("None") while it reports a break or an error, and its problem sensor says so.
    void templates_data() {
        QTest::addColumn<QString>("channel"); // channel 1 of the state
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("problem");
        QTest::newRow("good") << R"({"value":25.5,"error":0,"break":false})"
                              << "25.5"
                              << "OFF";
        QTest::newRow("break") << R"({"value":20,"error":0,"break":true})"
                               << "None"
                               << "ON";
        QTest::newRow("error 11") << R"({"value":36.13,"error":11,"break":false})"
                                  << "None"
                                  << "ON";
        QTest::newRow("no value") << R"({"value":null,"error":0,"break":false})"
                                  << "None"
                                  << "OFF";
    }
    void templates() {
        QFETCH(QString, channel);
        const auto announced = InstrumentDiscovery({"homeassistant", "b", "h", "1"}, LineConfig{},
                                                   1, InstrumentNaming{});
        const QJsonObject value = Parse(announced[0].second), problem = Parse(announced[1].second);
        QProcess jinja;
        jinja.start("python3",
                    {"-c",
                     "import jinja2, json, sys\n"
                     "state = {'value_json': json.loads(sys.argv[1])}\n"
                     "for t in sys.argv[2:]: print(jinja2.Template(t).render(state))",
                     "{\"channels\":[" + channel + "]}", value["value_template"].toString(),
                     problem["value_template"].toString()});
        QVERIFY(jinja.waitForFinished(10000));
        const QList<QByteArray> lines = jinja.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QTEST(QString(lines[0]), "value");
        QTEST(QString(lines[1]), "problem");
    }

    // A broker name that takes seconds to resolve never holds the event loop: timers run on time
    // meanwhile, and a stop during it ends at once.
    void slowResolver() {
        MqttBroker broker;
        const auto late = [](mosquitto* m, const char* host, int port, int keepalive) {
            QThread::sleep(2);
            return mosquitto_connect_async(m, host, port, keepalive);
        };
        MqttClient client(Local(broker.Port(), "r"));
        client.SetConnector(late);
        QElapsedTimer clock;
        qint64 last = 0, longest = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        clock.start();
        tick.start(10);
        client.Start();
        QTRY_VERIFY_WITH_TIMEOUT(client.Connected(), 10000);
        QVERIFY(clock.elapsed() >= 2000);
        QVERIFY2(longest < 1000, qPrintable(QString::number(longest)));
        MqttClient stopped(Local(broker.Port(), "s"));
        stopped.SetConnector(late);
        stopped.Start();
        bool done = false;
        clock.restart();
        stopped.Stop([&] { done = true; });
        QTRY_VERIFY(done);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }

    // TLS: a good connection; a certificate for another name refused; a refused connection
    // told at once and costing no CPU; a client key without a CA still TLS, never plain text.
    void tls_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("ownCa");
        QTest::addColumn<bool>("brokerTls");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QString>("told");
        QTest::newRow("good") << "localhost" << true << true << true << true << "connected";
        QTest::newRow("another name") << "127.0.0.1" << true << true << true << false << "TLS";
        QTest::newRow("refused") << "localhost" << true << true << false << false
                                 << "Connection refused";
        QTest::newRow("a key, no CA, a plain broker")
            << "localhost" << false << false << true << false << "cannot connect";
    }
    void tls() {
        QFETCH(QString, host);
        QFETCH(bool, ownCa);
        QFETCH(bool, brokerTls);
        QFETCH(bool, listening);
        QFETCH(bool, connects);
        const Certificates certificates;
        QVERIFY(certificates.Made);
        MqttBroker broker(brokerTls ? certificates.Listener() : QByteArray());
        if (!listening)
            broker.Stop();
        MqttConfig config = Local(broker.Port(), "t");
        config.Host = host.toStdString();
        config.TlsCa = ownCa ? certificates.Path("ca.pem") : "";
        config.TlsCert = certificates.Path("cert.pem");
        config.TlsKey = certificates.Path("key.pem");
        MqttClient client(config);
        QStringList log;
        client.Log = [&](const std::string& line) { log << QString::fromStdString(line); };
        const qint64 cpu = CpuMs();
        client.Start();
        QFETCH(QString, told);
        QTRY_VERIFY2_WITH_TIMEOUT(log.join("\n").contains(told), qPrintable(log.join("\n")), 10000);
        QTest::qWait(connects ? 0 : 1500); // further tries, for the CPU they take
        QCOMPARE(client.Connected(), connects);
        if (!listening)
            QVERIFY2(CpuMs() - cpu < 300, qPrintable(QString::number(CpuMs() - cpu)));
    }

    // "online" retained once connected; killed without a word, the broker publishes the will.
    void onlineThenLastWill() {
        MqttBroker broker;
        QProcess helper;
        helper.start(QCoreApplication::applicationDirPath() + "/mqtt_client_helper",
                     {QString::number(broker.Port()), "w"});
        QVERIFY(helper.waitForReadyRead(10000));
        QCOMPARE(helper.readLine().trimmed(), "connected");
        Observer observer(broker.Port());
        QTRY_COMPARE(observer.Payloads("w/status"), QStringList{"online"});
        helper.kill();
        helper.waitForFinished(5000);
        QTRY_COMPARE(observer.Payloads("w/status"), (QStringList{"online", "offline"}));
        Observer late(broker.Port());
        QTRY_COMPARE(late.Payloads("w/status"), QStringList{"offline"});
    }

    // Broker gone for a few seconds: messages unacknowledged when it went and those published
    // meanwhile arrive after the reconnection, in order, up to the queue's limit.
    void brokerRestart_data() {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("inFlight"); // published to a frozen broker, then killed
        QTest::addColumn<int>("meanwhile");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("dropped");
        QTest::addColumn<int>("logLines");
        QTest::newRow("none lost") << 100 << 5 << 5 << Numbered(1, 10) << 0 << 4;
        QTest::newRow("oldest dropped") << 3 << 0 << 5 << Numbered(3, 5) << 2 << 3;
    }
    void brokerRestart() {
        QFETCH(int, limit);
        QFETCH(int, inFlight);
        QFETCH(int, meanwhile);
        QFETCH(QStringList, expected);
        QFETCH(int, dropped);
        QFETCH(int, logLines);
        MqttBroker broker;
        MqttConfig settings = Local(broker.Port(), "r");
        settings.QueueLimit = size_t(limit);
        MqttClient client(settings);
        QStringList log;
        client.Log = [&](const std::string& line) { log << QString::fromStdString(line); };
        Commands commands;
        client.SetListener(&commands);
        client.Subscribe("cmd/#");
        int n = 0;
        if (inFlight == 0)
            broker.Stop();
        client.Start();
        if (inFlight > 0) {
            QTRY_VERIFY(client.Connected());
            QTRY_COMPARE(client.QueueDepth(), size_t(0)); // "online" acknowledged
            broker.Freeze();
            while (n < inFlight)
                client.Publish("t/a", "m" + std::to_string(++n), false, 1);
            QTest::qWait(300);
            QCOMPARE(client.QueueDepth(), size_t(inFlight));
            broker.Kill();
        }
        QTRY_VERIFY(!client.Connected());
        for (int i = 0; i < meanwhile; ++i)
            client.Publish("t/a", "m" + std::to_string(++n), false, 1);
        QCOMPARE(client.Dropped(), uint64_t(dropped));
        QCOMPARE(client.QueueDepth(), size_t(expected.size()));
        QTRY_VERIFY_WITH_TIMEOUT(client.FailedAttempts() >= 2, 10000); // they wait meanwhile

        QVERIFY(broker.Start());
        Observer observer(broker.Port());
        QTRY_COMPARE_WITH_TIMEOUT(observer.Payloads("t/a"), expected, 20000);
        QCOMPARE(observer.Payloads("r/status"), QStringList{"online"});
        QTRY_COMPARE(client.QueueDepth(), size_t(0));
        // The subscription came back with the connection.
        observer.Send("cmd/x", "go");
        QTRY_COMPARE(commands.Seen, QStringList{"cmd/x go"});
        QCOMPARE(log.size(), logLines);
    }

    // A clean stop with more queued than the window of unacknowledged messages, the broker
    // frozen meanwhile: everything arrives once it thaws, then "offline", then the callback.
    void stopPublishesOffline() {
        MqttBroker broker;
        MqttClient client(Local(broker.Port(), "s"));
        client.Start();
        QTRY_VERIFY(client.Connected());
        Observer observer(broker.Port());
        broker.Freeze();
        for (int i = 1; i <= 50; ++i)
            client.Publish("s/x", "m" + std::to_string(i), false, 1);
        bool done = false;
        client.Stop([&] { done = true; });
        broker.Thaw();
        QTRY_VERIFY(done);
        QVERIFY(!client.Connected());
        QTRY_COMPARE(observer.Payloads("s/status"), (QStringList{"online", "offline"}));
        QCOMPARE(observer.Payloads("s/x"), Numbered(1, 50));
    }

    // After a good connection the back-off starts again: a broker that was away for several
    // tries, then up for a while, then killed, is reconnected to within about 2 s.
    void backoffStartsAgain() {
        MqttBroker broker;
        broker.Stop();
        MqttClient client(Local(broker.Port(), "b"));
        client.Start();
        QTRY_VERIFY_WITH_TIMEOUT(client.FailedAttempts() >= 2, 20000);
        QVERIFY(broker.Start());
        QTRY_VERIFY_WITH_TIMEOUT(client.Connected(), 20000);
        QTest::qWait(5500); // a good connection
        broker.Kill();
        QTRY_VERIFY(!client.Connected());
        QVERIFY(broker.Start());
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(client.Connected(), 10000);
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "test_mqtt.moc"
