// The service's MQTT side against a real mosquitto broker: the status topic and last will,
// queueing across a broker restart, a clean stop; and the payloads it publishes.

#include "mqtt_broker.h"
#include "mqtt_client.h"
#include "mqtt_payloads.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <mosquitto.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>

namespace {

// Takes the messages that arrive on the client's subscriptions.
struct Commands : PublisherListener {
    void MessageArrived(const std::string& topic, const std::string& payload) override {
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

    // Names cleaned into topics and ids; every entity checked, one of each kind in detail.
    void discovery() {
        const QString device = "instrument_reader_scada_local_line_2_a__17";
        const QString topic = "ir/plant1/line_2_a_/17";
        const auto messages = DiscoveryMessages(
            {"homeassistant", "ir/plant1", "scada.local", "line 2/a+", 17, 15500});
        QCOMPARE(messages.size(), size_t(12 + 16 + 4));
        QSet<QString> uniqueIds;
        for (size_t i = 0; i < messages.size(); ++i) {
            const QJsonObject o = Parse(messages[i].second);
            const QString id = o["unique_id"].toString();
            uniqueIds << id;
            QCOMPARE(
                QString::fromStdString(messages[i].first),
                QString("homeassistant/%1/%2/config").arg(i < 12 ? "sensor" : "binary_sensor", id));
            QCOMPARE(o["state_topic"].toString(), topic + "/state");
            QCOMPARE(o["expire_after"].toInt(), 47);
            QCOMPARE(o["availability"].toArray(),
                     (QJsonArray{QJsonObject{{"topic", "ir/plant1/status"}},
                                 QJsonObject{{"topic", topic + "/availability"}}}));
            QCOMPARE(o["availability_mode"].toString(), "all");
            QCOMPARE(o["device"]["identifiers"].toArray(), QJsonArray{device});
            QCOMPARE(o["device"]["name"].toString(), "Instrument line 2/a+ 17");
        }
        QCOMPARE(uniqueIds.size(), 32);
        QCOMPARE(ExpireAfterS(0), 30); // back to back: not below 30 s
        const QJsonObject sensor = Parse(messages[2].second);
        QCOMPARE(sensor["unique_id"].toString(), device + "_ch3");
        QCOMPARE(sensor["value_template"].toString(), "{{ value_json.channels[2].value }}");
        QCOMPARE(sensor["state_class"].toString(), "measurement");
        const QJsonObject input = Parse(messages[31].second);
        QCOMPARE(input["unique_id"].toString(), device + "_input4");
        QCOMPARE(input["value_template"].toString(),
                 "{{ 'true' if value_json.inputs[3] else 'false' }}");
        QCOMPARE(input["payload_on"].toString(), "true");
        QCOMPARE(input["payload_off"].toString(), "false");
        QCOMPARE(Parse(messages[12].second)["value_template"].toString(),
                 "{{ 'true' if value_json.relays[0] else 'false' }}");
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

    // A clean stop: what was queued goes first, then "offline", then the callback.
    void stopPublishesOffline() {
        MqttBroker broker;
        MqttClient client(Local(broker.Port(), "s"));
        client.Start();
        QTRY_VERIFY(client.Connected());
        Observer observer(broker.Port());
        client.Publish("s/x", "last", true, 1);
        bool done = false;
        client.Stop([&] { done = true; });
        QTRY_VERIFY(done);
        QVERIFY(!client.Connected());
        QCOMPARE(observer.Payloads("s/"), (QStringList{"online", "last", "offline"}));
    }

    // A host that does not answer: Start returns at once, messages wait, Stop is immediate.
    void startNeverBlocks() {
        MqttConfig settings = Local(9, "n");
        settings.Host = "192.0.2.1"; // reserved for documentation: never answers
        MqttClient client(settings);
        QElapsedTimer elapsed;
        elapsed.start();
        client.Start();
        client.Publish("n/a", "1", false, 1);
        QVERIFY2(elapsed.elapsed() < 1000, qPrintable(QString::number(elapsed.elapsed())));
        QTest::qWait(200);
        QVERIFY(!client.Connected());
        QCOMPARE(client.QueueDepth(), size_t(1));
        bool done = false;
        client.Stop([&] { done = true; });
        QTRY_VERIFY(done);
    }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "test_mqtt.moc"
