#include "app_settings.h"

#include "profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

class SettingsFile {
public:
    explicit SettingsFile(std::string path) : m_path(std::move(path)) {}

    uint16_t ReadInteger(const char* section, const char* key, int64_t defaultValue) const {
        const auto text = ProfileLookup(ReadProfileFile(m_path), section, key);
        const auto value = text ? ParseProfileInteger(*text) : std::nullopt;
        return static_cast<uint16_t>(value.value_or(defaultValue)); // the low 16 bits
    }

    std::string ReadText(const char* section, const char* key, const char* defaultValue) const {
        return ProfileLookup(ReadProfileFile(m_path), section, key).value_or(defaultValue);
    }

    void Write(const char* section, const char* key, const std::string& value) const {
        const std::string content = ProfileWrite(ReadProfileFile(m_path), section, key, value);
        if (!WriteProfileFile(m_path, content))
            throw SettingsWriteError(m_path);
    }

    void Write(const char* section, const char* key, int64_t value) const {
        Write(section, key, std::to_string(static_cast<uint32_t>(value)));
    }

private:
    std::string m_path;
};

} // namespace

std::string SettingsFilePath() {
    std::vector<char> buffer(4096);
    if (!getcwd(buffer.data(), buffer.size()))
        return "dev.dat";
    return std::string(buffer.data()) + "/dev.dat";
}

void LoadSettings(AppSettings& settings, const std::string& path) {
    // A read-only file is made writable so the write-backs below succeed.
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        chmod(path.c_str(), info.st_mode | S_IWUSR);

    const SettingsFile file(path);
    settings.Port = file.ReadInteger("COM_SETTINGS", "Port", 1);
    file.Write("COM_SETTINGS", "Port", settings.Port);
    settings.Spd = file.ReadInteger("COM_SETTINGS", "Spd", 7);
    file.Write("COM_SETTINGS", "Spd", settings.Spd);
    settings.Par = file.ReadInteger("COM_SETTINGS", "Par", 0);
    file.Write("COM_SETTINGS", "Par", settings.Par);
    settings.NetAdrr = file.ReadInteger("DEVICE", "NetAdrr", 1);
    if (settings.NetAdrr > 255)
        settings.NetAdrr = 1;
    file.Write("DEVICE", "NetAdrr", settings.NetAdrr);
    settings.TimeOut = file.ReadInteger("SETTINGS", "TimeOut", 1000);
    file.Write("SETTINGS", "TimeOut", settings.TimeOut);
    settings.UseLogFile = file.ReadInteger("LOG", "UseLogFile", 1);
    file.Write("LOG", "UseLogFile", settings.UseLogFile);
    settings.LogFileName = file.ReadText("LOG", "LogFileName", "COM.txt");
    file.Write("LOG", "LogFileName", settings.LogFileName);
}

void SaveSettings(AppSettings& settings, const std::string& path) {
    const SettingsFile file(path);
    file.Write("COM_SETTINGS", "Port", settings.Port);
    if (settings.Spd < 5 || settings.Spd > 8)
        settings.Spd = 7;
    file.Write("COM_SETTINGS", "Spd", settings.Spd);
    file.Write("COM_SETTINGS", "Par", settings.Par);
    file.Write("DEVICE", "NetAdrr", settings.NetAdrr);
    file.Write("LOG", "UseLogFile", settings.UseLogFile);
}

std::optional<std::string> PortDeviceFromSettings(const std::string& portName,
                                                  const std::string& path) {
    auto device = ProfileLookup(ReadProfileFile(path), "PORTS", portName);
    if (device && device->empty())
        return std::nullopt;
    return device;
}
