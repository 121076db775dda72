#pragma once

// The service's publisher on the MQTT client: configuration in, the client's queue, back-off,
// last will and clean stop underneath.

#include "publisher.h"
#include "service_config.h"

#include <functional>
#include <memory>
#include <string>

class MqttClient;

class MqttPublisher : public Publisher {
public:
    // `password` from [mqtt] password_file, already read; `log` takes the client's state changes.
    MqttPublisher(const MqttConfig& config, const std::string& password,
                  std::function<void(const std::string&)> log);
    ~MqttPublisher() override;

    void Start() override;
    void Publish(const std::string& topic, const std::string& payload, bool retain,
                 int qos) override;
    void Stop(std::function<void()> done) override;
    size_t QueueDepth() const override;
    uint64_t Dropped() const override;
    void Subscribe(const std::string& topic) override;

private:
    std::unique_ptr<MqttClient> m_client;
};
