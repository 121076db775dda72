#include "mqtt_client.h"

#include "file_access.h"

#include <QRandomGenerator>
#include <QSocketNotifier>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <tuple>

namespace {

// Messages handed to libmosquitto and not yet acknowledged; libmosquitto's own limit for
// unacknowledged QoS 1 messages is the same, so it never holds back a message of ours.
constexpr size_t kWindow = 20;
constexpr int kMiscIntervalMs = 500;
// A connection that has not been accepted by then is given up (a host that does not answer).
constexpr int kConnectTimeoutMs = 15000;
constexpr int kStopWaitMs = 2000;
// Where the system keeps the certificate authorities it trusts (Debian's ca-certificates).
const char kSystemCertificates[] = "/etc/ssl/certs";
// A connection that lasted this long was a good one: the back-off starts again after it. One
// the broker closes sooner counts as a failed attempt, so that two clients under one id (each
// connection taking the other's over) slow down instead of flapping every second.
constexpr int64_t kGoodConnectionMs = 5000;

// What went wrong, in words: libmosquitto names some results "Unknown error".
std::string Reason(int rc, int savedErrno) {
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return std::strerror(savedErrno);
    case MOSQ_ERR_KEEPALIVE:
        return "the broker did not answer within the keepalive";
    case MOSQ_ERR_CONN_LOST:
        return "the connection was lost";
    case MOSQ_ERR_TLS:
        return "the TLS handshake failed (certificate, host name or protocol)";
    case MOSQ_ERR_EAI:
        return "the broker's name cannot be resolved";
    default:
        return mosquitto_strerror(rc);
    }
}

} // namespace

struct MqttClient::Beginning {
    std::mutex Mutex;
    MqttClient* Client = nullptr; // null once the client let go
    mosquitto* Mosq = nullptr;
    bool Done = false; // the thread has posted its result
};

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error) {
    std::string full = path;
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (!path.empty() && path.front() != '/' && credentials)
        full = std::string(credentials) + "/" + path;
    const FileContent file = ReadWholeFile(full, 4096);
    if (file.State != FileState::Read) {
        error = "cannot read the password file " + full;
        return std::nullopt;
    }
    return file.Bytes.substr(0, file.Bytes.find_first_of("\r\n"));
}

int64_t BackoffMs(int attempt, double jitter01) {
    const int64_t step =
        attempt >= 6 ? 60000 : std::min<int64_t>(60000, int64_t(1000) << std::max(attempt, 0));
    const double fraction = 0.8 + 0.2 * std::clamp(jitter01, 0.0, 1.0);
    return std::max<int64_t>(1000, int64_t(double(step) * fraction));
}

MqttClient::MqttClient(MqttConfig config, QObject* parent)
    : QObject(parent), m_settings(std::move(config)), m_connector(mosquitto_connect_async) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });

    m_miscTimer.setInterval(kMiscIntervalMs);
    connect(&m_miscTimer, &QTimer::timeout, this, [this] {
        const int rc = mosquitto_loop_misc(m_mosq);
        AfterCall(rc, errno);
    });
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &MqttClient::Connect);
    m_connectTimeout.setSingleShot(true);
    connect(&m_connectTimeout, &QTimer::timeout, this,
            [this] { Drop("no answer to the connection request"); });
    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, [this] { FinishStop(false); });
}

MqttClient::~MqttClient() {
    Teardown();
}

void MqttClient::Start() {
    if (m_started)
        return;
    m_started = true;
    Say("connecting to " + Where());
    Connect();
}

void MqttClient::Reconfigure(const MqttConfig& config) {
    const MqttConfig old = m_settings;
    m_settings = config;
    Trim();
    const auto connection = [](const MqttConfig& c) {
        return std::tie(c.Host, c.Port, c.ClientId, c.Base, c.KeepaliveS, c.Username,
                        c.PasswordFile, c.TlsCa, c.TlsCert, c.TlsKey);
    };
    if (connection(old) == connection(config) || !m_started || m_stopping)
        return;
    if (m_mosq) {
        Drop("the settings changed", true); // what was unacknowledged is queued again first
    } else {
        m_reconnectTimer.stop();
        m_attempt = 0;
        QTimer::singleShot(0, this, &MqttClient::Connect);
    }
    // Messages of the old base's status are not sent to the new one; what waits under the old
    // base goes out under the new one.
    std::erase_if(m_queue, [](const Message& m) { return m.Status; });
    if (old.Base != config.Base)
        for (Message& message : m_queue)
            if (message.Topic.starts_with(old.Base + '/'))
                message.Topic = config.Base + message.Topic.substr(old.Base.size());
}

void MqttClient::Publish(const std::string& topic, const std::string& payload, bool retain,
                         int qos) {
    if (m_stopping) {
        ++m_dropped;
        return;
    }
    m_queue.push_back(Message{topic, payload, std::clamp(qos, 0, 2), retain, false, 0});
    Pump();
    Trim();
}

void MqttClient::Subscribe(const std::string& topic) {
    if (std::find(m_subscriptions.begin(), m_subscriptions.end(), topic) != m_subscriptions.end())
        return;
    m_subscriptions.push_back(topic);
    if (m_connected) {
        mosquitto_subscribe(m_mosq, nullptr, topic.c_str(), std::clamp(m_settings.Qos, 0, 2));
        UpdateWriteNotifier();
    }
}

void MqttClient::Unsubscribe(const std::string& topic) {
    std::erase(m_subscriptions, topic);
    if (m_connected) {
        mosquitto_unsubscribe(m_mosq, nullptr, topic.c_str());
        UpdateWriteNotifier();
    }
}

void MqttClient::Stop(std::function<void()> done) {
    if (m_stopping)
        return;
    m_stopping = true;
    m_stopDone = std::move(done);
    m_reconnectTimer.stop();
    if (!m_connected) {
        FinishStop(false);
        return;
    }
    // Behind what is already queued, so that it is the last word on the status topic.
    m_queue.push_back(Message{m_settings.Base + "/status", "offline", 1, true, true, 0});
    m_stopTimer.start(kStopWaitMs);
    Pump();
}

void MqttClient::Connect() {
    if (m_stopping || m_mosq)
        return;
    const char* id = m_settings.ClientId.empty() ? nullptr : m_settings.ClientId.c_str();
    m_mosq = mosquitto_new(id, true, this);
    if (!m_mosq) {
        Drop(Reason(MOSQ_ERR_ERRNO, errno));
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    const std::string status = m_settings.Base + "/status";
    int rc = mosquitto_will_set(m_mosq, status.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !m_settings.Username.empty()) {
        // Read at every connection: a password fixed or rotated in the file is taken without
        // a restart.
        std::string password, error;
        if (!m_settings.PasswordFile.empty()) {
            if (const auto read = ReadPasswordFile(m_settings.PasswordFile, error)) {
                password = *read;
            } else {
                Drop(error);
                return;
            }
        }
        rc = mosquitto_username_pw_set(m_mosq, m_settings.Username.c_str(),
                                       password.empty() ? nullptr : password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS &&
        !(m_settings.TlsCa.empty() && m_settings.TlsCert.empty() && m_settings.TlsKey.empty())) {
        // Never plain text once TLS is asked for: without a CA of its own the connection
        // checks the broker against the system's store.
        const auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
        rc = mosquitto_tls_set(m_mosq, orNull(m_settings.TlsCa),
                               m_settings.TlsCa.empty() ? kSystemCertificates : nullptr,
                               orNull(m_settings.TlsCert), orNull(m_settings.TlsKey), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Drop(Reason(rc, errno));
        return;
    }
    mosquitto_connect_callback_set(m_mosq, &MqttClient::ConnectCallback);
    mosquitto_disconnect_callback_set(m_mosq, &MqttClient::DisconnectCallback);
    mosquitto_publish_callback_set(m_mosq, &MqttClient::PublishCallback);
    mosquitto_message_callback_set(m_mosq, &MqttClient::MessageCallback);

    // The connection is begun on a thread of its own: resolving the broker's name may take
    // seconds, and the event loop polls the lines meanwhile. The client leaves m_mosq alone
    // until the thread reports back.
    auto beginning = std::make_shared<Beginning>();
    beginning->Client = this;
    beginning->Mosq = m_mosq;
    m_beginning = beginning;
    m_connectTimeout.start(kConnectTimeoutMs);
    std::thread([beginning, connector = m_connector, host = m_settings.Host,
                 port = int(m_settings.Port),
                 keepalive = std::clamp(m_settings.KeepaliveS, 5, 65535)] {
        const int rc = connector(beginning->Mosq, host.c_str(), port, keepalive);
        const int savedErrno = errno;
        const std::lock_guard lock(beginning->Mutex);
        beginning->Done = true;
        if (!beginning->Client) {
            mosquitto_destroy(beginning->Mosq);
            return;
        }
        QMetaObject::invokeMethod(
            beginning->Client,
            [client = beginning->Client, which = beginning.get(), rc, savedErrno] {
                client->Begun(which, rc, savedErrno);
            },
            Qt::QueuedConnection);
    }).detach();
}

void MqttClient::Abandon() {
    if (!m_beginning)
        return;
    const std::lock_guard lock(m_beginning->Mutex);
    if (m_beginning->Done) // its result waits in the event loop: it is dropped with the client
        mosquitto_destroy(m_beginning->Mosq);
    m_beginning->Client = nullptr;
    m_beginning.reset();
    m_mosq = nullptr;
}

void MqttClient::Begun(const Beginning* which, int rc, int savedErrno) {
    if (!m_beginning || m_beginning.get() != which)
        return; // one given up since: its thread has destroyed it
    m_beginning.reset();
    m_beginErrno = savedErrno;
    const int socket = mosquitto_socket(m_mosq);
    if (rc != MOSQ_ERR_SUCCESS || socket < 0) {
        Drop(Reason(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_NO_CONN : rc, savedErrno));
        return;
    }
    m_readNotifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] {
        if (ConnectFailed())
            return;
        const int result = mosquitto_loop_read(m_mosq, 1);
        AfterCall(result, errno);
    });
    m_writeNotifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { OnWritable(); });
    UpdateWriteNotifier();
    m_miscTimer.start();
}

bool MqttClient::ConnectFailed() {
    if (m_connected)
        return false;
    // A connection still being made that failed (refused, unreachable) leaves its socket
    // readable and writable with an error: told at once, rather than read and written in a
    // loop until the time-out.
    const int socket = mosquitto_socket(m_mosq);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
        Drop(std::strerror(error));
        return true;
    }
    // With TLS the handshake's first write may have met the error already (on the thread that
    // began the connection): the socket then has no peer.
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 ||
        errno != ENOTCONN)
        return false;
    const bool known = m_beginErrno == ECONNREFUSED || m_beginErrno == ENETUNREACH ||
                       m_beginErrno == EHOSTUNREACH || m_beginErrno == ECONNRESET ||
                       m_beginErrno == ETIMEDOUT;
    Drop(known ? std::strerror(m_beginErrno) : "the connection could not be made");
    return true;
}

void MqttClient::OnWritable() {
    if (ConnectFailed())
        return;
    const int result = mosquitto_loop_write(m_mosq, 1);
    AfterCall(result, errno);
}

void MqttClient::AfterCall(int rc, int savedErrno) {
    HandleEvents();
    if (!m_mosq)
        return;
    if (rc != MOSQ_ERR_SUCCESS) {
        Drop(Reason(rc, savedErrno));
        return;
    }
    UpdateWriteNotifier();
    // A QoS 0 message may have been written (and reported) at once.
    HandleEvents();
}

void MqttClient::HandleEvents() {
    // Reentered from Pump or from the owner's callbacks: the outer call takes the new events.
    if (m_handling)
        return;
    m_handling = true;
    while (!m_events.empty() && m_mosq) {
        const Event event = std::move(m_events.front());
        m_events.erase(m_events.begin());
        switch (event.What) {
        case Event::Connack:
            if (event.Code != 0) {
                Drop(std::string("refused: ") + mosquitto_connack_string(event.Code));
                break;
            }
            m_connected = true;
            m_connectedFor.start();
            m_failing = false;
            m_connectTimeout.stop();
            Say("connected to " + Where());
            m_queue.push_front(Message{m_settings.Base + "/status", "online", 1, true, true, 0});
            for (const std::string& topic : m_subscriptions)
                mosquitto_subscribe(m_mosq, nullptr, topic.c_str(),
                                    std::clamp(m_settings.Qos, 0, 2));
            Pump();
            if (m_connected && m_listener)
                m_listener->Connected();
            break;
        case Event::Published: {
            const auto it = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                         [&](const Message& m) { return m.Mid == event.Code; });
            if (it == m_inFlight.end())
                break;
            m_inFlight.erase(it);
            if (m_stopping && event.Code == m_stopMid) {
                FinishStop(true);
                break;
            }
            Pump();
            break;
        }
        case Event::Received:
            if (m_listener)
                m_listener->MessageArrived(event.Topic, event.Payload, event.Retained);
            break;
        case Event::Disconnected:
            Drop(event.Code == 0 ? "disconnected" : Reason(event.Code, 0));
            break;
        }
    }
    m_handling = false;
}

void MqttClient::Pump() {
    while (m_connected && m_mosq && !m_queue.empty() && m_inFlight.size() < kWindow) {
        Message message = std::move(m_queue.front());
        m_queue.pop_front();
        int mid = 0;
        const int rc =
            mosquitto_publish(m_mosq, &mid, message.Topic.c_str(), int(message.Payload.size()),
                              message.Payload.data(), message.Qos, message.Retain);
        const int savedErrno = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            message.Mid = mid;
            if (m_stopping && message.Status)
                m_stopMid = mid;
            m_inFlight.push_back(std::move(message));
            continue;
        }
        if (rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_MALFORMED_UTF8 ||
            rc == MOSQ_ERR_QOS_NOT_SUPPORTED || rc == MOSQ_ERR_OVERSIZE_PACKET) {
            // The message itself cannot be sent: it would block the queue for ever.
            ++m_dropped;
            if (!m_loggedBadMessage)
                Say("dropped a message the broker cannot take (topic \"" + message.Topic +
                    "\"): " + mosquitto_strerror(rc));
            m_loggedBadMessage = true;
            continue;
        }
        m_queue.push_front(std::move(message));
        Drop(Reason(rc, savedErrno));
        return;
    }
    UpdateWriteNotifier();
    // A QoS 0 message may have been written (and reported) at once.
    HandleEvents();
}

void MqttClient::Trim() {
    while (m_queue.size() > m_settings.QueueLimit) {
        m_queue.pop_front();
        ++m_dropped;
    }
}

void MqttClient::UpdateWriteNotifier() {
    if (m_writeNotifier && m_mosq)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttClient::Drop(const std::string& reason, bool soon) {
    const bool wasConnected = m_connected;
    const bool good = wasConnected && m_connectedFor.elapsed() >= kGoodConnectionMs;
    Teardown();
    m_connected = false;
    // What the broker had not acknowledged goes out again first, in its order; the status
    // messages are renewed by the next connection instead.
    for (auto it = m_inFlight.rbegin(); it != m_inFlight.rend(); ++it)
        if (!it->Status)
            m_queue.push_front(std::move(*it));
    m_inFlight.clear();
    std::erase_if(m_queue, [](const Message& m) { return m.Status; });
    Trim();
    if (m_stopping) {
        FinishStop(false);
        return;
    }
    if (soon) {
        Say("reconnecting to " + Where() + ": " + reason);
        m_attempt = 0;
        m_failing = false;
        m_reconnectTimer.start(0);
        return;
    }
    if (good) {
        m_attempt = 0;
        m_loggedShortConnections = false;
    }
    if (wasConnected && !good && m_attempt > 0 && !m_loggedShortConnections) {
        Say("the broker closed the connection again right after accepting it: another client "
            "may use the client id \"" +
            m_settings.ClientId + "\"; waiting longer between tries");
        m_loggedShortConnections = true;
    } else if (wasConnected && !m_loggedShortConnections) {
        Say("connection to " + Where() + " lost (" + reason + "); reconnecting");
    } else if (!wasConnected && !m_failing) {
        Say("cannot connect to " + Where() + " (" + reason + "); retrying");
    }
    m_failing = true;
    m_reconnectTimer.start(int(BackoffMs(m_attempt, QRandomGenerator::global()->generateDouble())));
    m_attempt = std::min(m_attempt + 1, 64);
}

void MqttClient::Teardown() {
    m_miscTimer.stop();
    m_connectTimeout.stop();
    m_events.clear();
    Abandon();
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier})
        if (*notifier) {
            // Off before libmosquitto closes the socket: the descriptor may be reused at once.
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
}

void MqttClient::FinishStop(bool delivered) {
    if (!m_stopping)
        return;
    m_stopTimer.stop();
    const bool wasConnected = m_connected;
    if (m_mosq && delivered) {
        mosquitto_disconnect(m_mosq);
        if (mosquitto_want_write(m_mosq))
            mosquitto_loop_write(m_mosq, 1);
    }
    Teardown();
    m_connected = false;
    if (wasConnected)
        Say(delivered ? "disconnected from " + Where()
                      : "stopped before " + Where() + " took \"offline\"; it has the last will");
    if (std::function<void()> done = std::exchange(m_stopDone, nullptr))
        QTimer::singleShot(0, std::move(done));
}

void MqttClient::Say(const std::string& line) {
    if (Log)
        Log("MQTT: " + line);
}

std::string MqttClient::Where() const {
    return m_settings.Host + ':' + std::to_string(m_settings.Port);
}

void MqttClient::ConnectCallback(mosquitto*, void* self, int rc) {
    static_cast<MqttClient*>(self)->m_events.push_back(Event{Event::Connack, rc, {}, {}});
}

void MqttClient::DisconnectCallback(mosquitto*, void* self, int rc) {
    static_cast<MqttClient*>(self)->m_events.push_back(Event{Event::Disconnected, rc, {}, {}});
}

void MqttClient::PublishCallback(mosquitto*, void* self, int mid) {
    static_cast<MqttClient*>(self)->m_events.push_back(Event{Event::Published, mid, {}, {}});
}

void MqttClient::MessageCallback(mosquitto*, void* self, const mosquitto_message* message) {
    static_cast<MqttClient*>(self)->m_events.push_back(
        Event{Event::Received, 0, message->topic ? message->topic : "",
              std::string(static_cast<const char*>(message->payload),
                          size_t(std::max(message->payloadlen, 0))),
              message->retain});
}
