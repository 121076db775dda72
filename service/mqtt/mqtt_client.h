#pragma once

// An MQTT client on libmosquitto, driven from the Qt event loop (socket notifiers on its socket,
// a timer for its housekeeping), without a thread of its own. It reconnects for ever with
// back-off, keeps what is published while the broker is away in a bounded queue, sends again
// what the broker had not acknowledged when the connection dropped, and keeps the order.

#include "mqtt_config.h"
#include "publisher.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

// Milliseconds to wait before reconnection attempt `attempt` (0 for the first after a failure):
// 1 s doubling up to 60 s, the upper fifth of each step chosen by `jitter01` in [0, 1], never
// below 1 s.
int64_t BackoffMs(int attempt, double jitter01);

class MqttClient : public QObject, public Publisher {
public:
    explicit MqttClient(MqttConfig config, QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting and returns at once; reconnects for ever until Stop. The socket never
    // blocks, and the connection is begun (the broker's name resolved, which may take long) on a
    // short-lived thread of its own while the event loop goes on; the name stays the one TLS
    // checks the broker's certificate against.
    void Start() override;
    // Takes new settings. The queue stays (what waits under the old base goes out under the
    // new one): when the broker, the identity or the base changed, the connection is dropped
    // without a goodbye (so the old broker publishes the old base's last will) and made again at
    // once with the new settings, and what was unacknowledged goes out again first.
    void Reconfigure(const MqttConfig& config);
    // Queues a message; it goes out in order as soon as the connection and the window of
    // unacknowledged messages allow.
    void Publish(const std::string& topic, const std::string& payload, bool retain,
                 int qos) override;
    // Subscribes now if connected, and again after every reconnection.
    void Subscribe(const std::string& topic) override;
    void Unsubscribe(const std::string& topic) override;

    // How a connection is begun (libmosquitto's mosquitto_connect_async); a test slows it down.
    using Connector = std::function<int(mosquitto*, const char* host, int port, int keepalive)>;
    void SetConnector(Connector connector) { m_connector = std::move(connector); }
    // Publishes "offline" to <Base>/status, waits at most about 2 s for the broker to take it
    // (with what was queued before it), disconnects and calls `done` from the event loop. If it
    // cannot be delivered the connection is dropped without a goodbye, so the broker publishes
    // the last will instead.
    void Stop(std::function<void()> done) override;

    bool Connected() const { return m_connected; }
    // Connection attempts that failed since the last good one.
    int FailedAttempts() const { return m_attempt; }
    uint64_t Dropped() const override { return m_dropped; }
    // Messages not yet acknowledged: waiting, and sent but not confirmed.
    size_t QueueDepth() const override { return m_queue.size() + m_inFlight.size(); }

    // Where the client's state changes are told, one line each ("MQTT: connected to ...").
    std::function<void(const std::string&)> Log;

private:
    struct Message {
        std::string Topic;
        std::string Payload;
        int Qos = 0;
        bool Retain = false;
        bool Status = false; // "online" / "offline": never sent again after a reconnection
        int Mid = 0;         // while in flight
    };
    // What libmosquitto's callbacks report; handled once its call has returned.
    struct Event {
        enum Kind { Connack, Published, Received, Disconnected } What;
        int Code = 0;
        std::string Topic, Payload;
        bool Retained = false;
    };
    // A connection being begun on its thread; the client lets go of it when it gives up first.
    struct Beginning;

    void Connect();
    // The thread has begun the connection `which`: rc is libmosquitto's result.
    void Begun(const Beginning* which, int rc, int savedErrno);
    // Lets go of a connection still being begun: its thread destroys it.
    void Abandon();
    void OnWritable();
    // The connection being made has failed: dropped, true.
    bool ConnectFailed();
    // Closes the connection and schedules the next attempt; `soon` skips the back-off.
    void Drop(const std::string& reason, bool soon = false);
    void Teardown();
    void AfterCall(int rc, int savedErrno);
    void HandleEvents();
    void Pump();
    void UpdateWriteNotifier();
    void FinishStop(bool delivered);
    void Say(const std::string& line);
    std::string Where() const;
    void Trim();

    static void ConnectCallback(mosquitto*, void* self, int rc);
    static void DisconnectCallback(mosquitto*, void* self, int rc);
    static void PublishCallback(mosquitto*, void* self, int mid);
    static void MessageCallback(mosquitto*, void* self, const mosquitto_message* message);

    MqttConfig m_settings;
    Connector m_connector;
    std::shared_ptr<Beginning> m_beginning; // while a thread begins the connection
    mosquitto* m_mosq = nullptr;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer m_miscTimer;
    QTimer m_reconnectTimer;
    QTimer m_connectTimeout;
    QTimer m_stopTimer;
    QElapsedTimer m_connectedFor; // since the latest CONNACK

    std::deque<Message> m_queue;
    std::deque<Message> m_inFlight;
    std::vector<std::string> m_subscriptions;
    std::vector<Event> m_events;

    bool m_started = false;
    bool m_connected = false;
    bool m_failing = false; // the last attempt failed and that was logged
    bool m_stopping = false;
    bool m_handling = false;
    bool m_loggedBadMessage = false;
    bool m_loggedShortConnections = false;
    int m_attempt = 0;
    int m_beginErrno = 0; // errno where the connection was begun
    int m_stopMid = -1;
    uint64_t m_dropped = 0;
    std::function<void()> m_stopDone;
};
