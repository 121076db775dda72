#pragma once

#include "app_settings.h"
#include "exchange_cycle.h"
#include "serial_port.h"

// Everything one run of a reader program owns: the settings, the port, the latest reading and
// the exchange. Made by the entry point (or a test) and handed to the window.
struct ReaderState {
    explicit ReaderState(ProtocolVariant variant, std::function<LocalTime()> clock = LocalTimeNow)
        : Variant(variant), Exchange(variant, Settings, Port, Reading, std::move(clock)) {}

    ProtocolVariant Variant;
    AppSettings Settings;
    DeviceReading Reading;
    // A port name stands for the device dev.dat's [PORTS] maps it to at that moment, or the
    // platform's own device of that name.
    SerialPort Port{Settings,
                    [](const std::string& portName) {
                        return DeviceForPortName(portName, PortDeviceFromSettings(portName));
                    },
                    {}};
    ExchangeCycle Exchange;
};
