#pragma once

// Where the service's MQTT messages go. The service's MQTT output decides what is published
// when (topics, retain, QoS); a Publisher carries messages to a broker, keeps them in order
// while it is away, and tells its listener of each connection and each message that arrives on
// a subscribed topic.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class PublisherListener {
public:
    virtual ~PublisherListener() = default;
    // After each (re)connection, once the service's "online" status is on its way.
    virtual void Connected() {}
    // `retained`: the broker kept it and sends it because of a new subscription.
    virtual void MessageArrived(const std::string& /*topic*/, const std::string& /*payload*/,
                                bool /*retained*/) {}
};

class Publisher {
public:
    virtual ~Publisher() = default;
    virtual void Start() = 0;
    virtual void Publish(const std::string& topic, const std::string& payload, bool retain,
                         int qos) = 0;
    // Subscribes now if connected, and again after every reconnection.
    virtual void Subscribe(const std::string& topic) = 0;
    virtual void Unsubscribe(const std::string& topic) = 0;
    // Publishes what a clean stop publishes (the service's offline status) behind everything
    // queued, then calls `done` once it has gone out or could not.
    virtual void Stop(std::function<void()> done) = 0;
    // Messages not yet acknowledged, and those dropped to keep the queue bounded.
    virtual size_t QueueDepth() const = 0;
    virtual uint64_t Dropped() const = 0;

    void SetListener(PublisherListener* listener) { m_listener = listener; }

protected:
    PublisherListener* m_listener = nullptr;
};
