#pragma once

// The [mqtt] section of the service's configuration, as the broker client takes it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct MqttConfig {
    std::string Host; // empty: no MQTT
    uint16_t Port = 1883;
    std::string ClientId; // empty: libmosquitto makes one up
    std::string Base;     // "<Base>/status" carries online / offline
    int Qos = 1;
    bool Retain = true; // of the state messages
    int KeepaliveS = 60;
    std::string Username;
    std::string PasswordFile; // read at every connection
    std::string TlsCa, TlsCert, TlsKey;
    int DiagIntervalS = 60; // between two diag reports of a line
    bool Discovery = false;
    std::string DiscoveryPrefix = "homeassistant";
    size_t QueueLimit =
        10000; // messages waiting; beyond it the oldest are dropped (not in the file)
    bool operator==(const MqttConfig&) const = default;
};

// The broker password from [mqtt] password_file: a relative path names a file in systemd's
// credential directory ($CREDENTIALS_DIRECTORY, LoadCredential=); the file's first line is the
// password. nullopt, with the reason in `error`, when it cannot be read.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error);
