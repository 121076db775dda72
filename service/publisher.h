#pragma once

// Where the service's MQTT messages go. The service decides what is published when (topics,
// retain, QoS); a Publisher only carries messages to a broker. NullPublisher stands in when
// [mqtt] host is empty; the MQTT client plugs in behind this interface.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class Publisher {
public:
    virtual ~Publisher() = default;
    virtual void Start() {}
    virtual void Publish(const std::string& topic, const std::string& payload, bool retain,
                         int qos) = 0;
    // Publishes whatever a clean stop publishes (the service's offline status), then calls
    // `done` once everything that could go out has gone out, or at once.
    virtual void Stop(std::function<void()> done) { done(); }
    virtual size_t QueueDepth() const { return 0; }
    virtual uint64_t Dropped() const { return 0; }
    virtual void Subscribe(const std::string& /*topic*/) {}

    // Set by the service: after each connection to the broker, and for each message that
    // arrives on a subscribed topic.
    std::function<void()> OnConnected;
    std::function<void(const std::string& topic, const std::string& payload)> OnMessage;
};

class NullPublisher : public Publisher {
public:
    void Publish(const std::string&, const std::string&, bool, int) override {}
};
