#pragma once

// A mosquitto broker for a test: on 127.0.0.1, on a free ephemeral port, with a temporary
// configuration; started, stopped and started again on the same port. Never the machine's own
// broker nor port 1883.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

class MqttBroker {
public:
    // `listener`: more settings of its listener (TLS files, say).
    explicit MqttBroker(const QByteArray& listener = {}) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, 0))
            m_port = probe.serverPort();
        probe.close();
        {
            QFile config(m_dir.filePath("mosquitto.conf"));
            if (config.open(QIODevice::WriteOnly))
                config.write("listener " + QByteArray::number(m_port) + " 127.0.0.1\n" + listener +
                             "allow_anonymous true\npersistence false\n");
        }
        Start();
    }
    ~MqttBroker() { Stop(); }

    uint16_t Port() const { return m_port; }

    // Starts the broker and waits until it takes connections.
    bool Start() {
        m_process.start("/usr/sbin/mosquitto", {"-c", m_dir.filePath("mosquitto.conf")});
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 10000 && m_process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(200))
                return true;
            QThread::msleep(20);
        }
        return false;
    }
    // SIGTERM, as an administrator's restart does.
    void Stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    // A frozen broker reads nothing and acknowledges nothing; killing it loses what it had.
    void Freeze() { ::kill(pid_t(m_process.processId()), SIGSTOP); }
    void Thaw() { ::kill(pid_t(m_process.processId()), SIGCONT); }
    void Kill() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    uint16_t m_port = 0;
};

// A subscriber to everything, on libmosquitto's own thread, subscribed before it returns. It
// reconnects within 100 ms of a broker's restart and subscribes again, so it is there before
// any client that waits a second.
class Observer {
public:
    explicit Observer(uint16_t port) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false); // seconds: 100 ms is set below
        mosquitto_connect_callback_set(m_mosq, [](mosquitto* m, void*, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "#", 1);
        });
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* o = static_cast<Observer*>(self);
                const std::lock_guard lock(o->m_mutex);
                o->m_seen.append(
                    {QString::fromUtf8(m->topic),
                     QString::fromUtf8(static_cast<const char*>(m->payload), m->payloadlen)});
            });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Observer*>(self)->m_subscribed = true;
        });
        if (mosquitto_connect(m_mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
            return;
        m_thread = std::thread([this] {
            while (!m_stop) {
                if (mosquitto_loop(m_mosq, 50, 1) != MOSQ_ERR_SUCCESS && !m_stop) {
                    QThread::msleep(100);
                    mosquitto_reconnect(m_mosq);
                }
            }
        });
        QElapsedTimer waited;
        waited.start();
        while (!m_subscribed && waited.elapsed() < 5000)
            QThread::msleep(5);
    }
    ~Observer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        mosquitto_disconnect(m_mosq);
        mosquitto_destroy(m_mosq);
    }
    // The payloads seen on `topic`, or below it when it ends with '/'.
    QStringList Payloads(const QString& topic) {
        const std::lock_guard lock(m_mutex);
        QStringList payloads;
        for (const auto& [t, payload] : m_seen)
            if (t == topic || (topic.endsWith('/') && t.startsWith(topic)))
                payloads << payload;
        return payloads;
    }
    void Send(const char* topic, const char* payload) {
        mosquitto_publish(m_mosq, nullptr, topic, int(strlen(payload)), payload, 1, false);
    }

private:
    mosquitto* m_mosq = nullptr;
    std::atomic<bool> m_subscribed = false;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
    std::mutex m_mutex;
    QList<std::pair<QString, QString>> m_seen;
};
