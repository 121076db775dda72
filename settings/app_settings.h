#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

// The settings kept in dev.dat. The initial values are those in force before loading; they
// stay only when loading is cut short by a failed write.
struct AppSettings {
    uint16_t Port = 0;      // [COM_SETTINGS] Port, default 1: 1 = "COM1"
    uint16_t Spd = 0;       // [COM_SETTINGS] Spd, default 7: speed index, 7 = 19200 baud
    uint16_t Par = 0;       // [COM_SETTINGS] Par, default 0: kept, not used by the port
    int32_t NetAdrr = 1;    // [DEVICE] NetAdrr, default 1: 0-255 after loading
    uint16_t TimeOut = 0;   // [SETTINGS] TimeOut, default 1000: reply time-out in ms
    int32_t UseLogFile = 1; // [LOG] UseLogFile, default 1: log when exactly 1
    std::string LogFileName = "com_log"; // [LOG] LogFileName, default "COM.txt"
};

// A settings value could not be written; what() is "Unable to write to <full path>".
class SettingsWriteError : public std::runtime_error {
public:
    explicit SettingsWriteError(const std::string& path)
        : std::runtime_error("Unable to write to " + path) {}
};

// The settings file in the current directory, as the directory is at the moment of the call.
std::string SettingsFilePath();

// Reads each key in turn and writes its value straight back, so the file ends up holding all
// seven keys, normalised. Throws SettingsWriteError at the first failed write; the fields of
// later keys keep their values.
void LoadSettings(AppSettings& settings, const std::string& path = SettingsFilePath());

// Writes Port, Spd (set to 7 first when outside 5-8), Par, NetAdrr and UseLogFile.
// TimeOut and LogFileName stay as the file has them. Throws SettingsWriteError.
void SaveSettings(AppSettings& settings, const std::string& path = SettingsFilePath());

// The device that port name "COMn" stands for, from the optional [PORTS] section
// (key COMn, value a device path). Never written by the program.
std::optional<std::string> PortDeviceFromSettings(const std::string& portName,
                                                  const std::string& path = SettingsFilePath());
