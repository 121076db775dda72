#include "mqtt_publisher.h"

#include "mqtt_client.h"

MqttPublisher::MqttPublisher(const MqttConfig& config, const std::string& password,
                             std::function<void(const std::string&)> log) {
    MqttSettings settings;
    settings.Host = config.Host;
    settings.Port = config.Port;
    settings.ClientId = config.ClientId;
    settings.Base = config.Base;
    settings.Qos = config.Qos;
    settings.Retain = config.Retain;
    settings.KeepaliveS = config.KeepaliveS;
    settings.Username = config.Username;
    settings.Password = password;
    settings.TlsCa = config.TlsCa;
    settings.TlsCert = config.TlsCert;
    settings.TlsKey = config.TlsKey;
    m_client = std::make_unique<MqttClient>(settings);
    m_client->Log = std::move(log);
    // The service sets its callbacks after construction: look them up at each call.
    m_client->OnConnected = [this] {
        if (OnConnected)
            OnConnected();
    };
    m_client->OnMessage = [this](const std::string& topic, const std::string& payload) {
        if (OnMessage)
            OnMessage(topic, payload);
    };
}

MqttPublisher::~MqttPublisher() = default;

void MqttPublisher::Start() {
    m_client->Start();
}

void MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain,
                            int qos) {
    m_client->Publish(topic, payload, retain, qos);
}

void MqttPublisher::Stop(std::function<void()> done) {
    m_client->Stop(std::move(done));
}

size_t MqttPublisher::QueueDepth() const {
    return m_client->QueueDepth();
}

uint64_t MqttPublisher::Dropped() const {
    return m_client->Dropped();
}

void MqttPublisher::Subscribe(const std::string& topic) {
    m_client->Subscribe(topic);
}
