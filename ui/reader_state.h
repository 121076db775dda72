#pragma once

#include "app_settings.h"
#include "exchange_counters.h"
#include "exchange_cycle.h"
#include "log_writer.h"
#include "serial_port.h"

// Everything one run of a reader program owns: the settings and where they live, the port, the
// instrument's reading, the exchange and its counters. Made by the entry point (or a test) and
// handed to the window.
struct ReaderState {
    explicit ReaderState(ProtocolVariant variant, std::function<LocalTime()> clock = LocalTimeNow,
                         std::string settingsPath = SettingsFilePath())
        : Variant(variant), SettingsPath(std::move(settingsPath)),
          Exchange(variant, Port, std::move(clock)), Counters(variant) {
        Exchange.AddListener(&Log);
        Exchange.AddListener(&Counters);
    }

    // Begins the exchange with the instrument the settings name, logged where they say.
    void BeginExchange(ExchangeCycle::Finished finished) {
        Log.SetPath(Settings.UseLogFile == 1 ? Settings.LogFileName : std::string());
        Exchange.Begin({uint32_t(Settings.NetAdrr), &Reading, {}}, std::move(finished));
    }

    ProtocolVariant Variant;
    std::string SettingsPath;
    AppSettings Settings;
    DeviceReading Reading;
    // A port name stands for the device the settings file's [PORTS] maps it to at that moment,
    // or the platform's own device of that name.
    SerialPort Port{[this](const std::string& portName) {
                        return DeviceForPortName(portName,
                                                 PortDeviceFromSettings(portName, SettingsPath));
                    },
                    {}};
    ExchangeCycle Exchange;
    ExchangeLogWriter Log;
    ExchangeCounters Counters;
    int32_t ExchangeActive = 0; // 1 while the operator has the exchange running
};
