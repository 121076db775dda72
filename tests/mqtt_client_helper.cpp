// A service stand-in for test_mqtt: connects an MqttClient to 127.0.0.1:PORT with base topic
// BASE, prints "connected" once it is, and runs until it is killed.

#include "mqtt_client.h"

#include <QCoreApplication>

#include <cstdio>

struct SayConnected : PublisherListener {
    void Connected() override {
        std::puts("connected");
        std::fflush(stdout);
    }
};

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    MqttConfig settings;
    settings.Host = "127.0.0.1";
    settings.Port = uint16_t(std::atoi(argv[1]));
    settings.Base = argv[2];
    MqttClient client(settings);
    SayConnected listener;
    client.SetListener(&listener);
    client.Log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    client.Start();
    return app.exec();
}
