#include "app_settings.h"

#include "ports_section.h"

#include "file_access.h"
#include "line_choices.h"
#include "profile.h"

#include <filesystem>
#include <system_error>

namespace {

// A settings file this large is not one the program wrote: it is left alone rather than held in
// memory.
constexpr size_t kMaxSettingsBytes = size_t(256) << 20;
// Room for the keys a load or save may add, so that no edit copies a large file.
constexpr size_t kSpareBytes = 8 * (kMaxProfileText + 64);

// dev.dat read once; every read and write of a load or save works on the bytes in memory, and
// Commit writes them back at most once, as a whole.
class SettingsFile {
public:
    explicit SettingsFile(std::string path)
        : m_path(std::move(path)), m_file(ReadWholeFile(m_path, kMaxSettingsBytes, kSpareBytes)) {}

    // Reads the key and writes `normalise(value)` straight back, as the private-profile calls
    // would; returns the value stored.
    template <class Normalise>
    uint16_t ReadAndWriteInteger(const char* section, const char* key, int64_t defaultValue,
                                 Normalise normalise) {
        const ProfilePlace place = ProfileFind(m_file.Bytes, section, key);
        const auto parsed = place.Value ? ParseProfileInteger(*place.Value) : std::nullopt;
        const uint16_t value = normalise(static_cast<uint16_t>(parsed.value_or(defaultValue)));
        Set(place, section, key, std::to_string(value));
        return value;
    }

    std::string ReadAndWriteText(const char* section, const char* key, const char* defaultValue) {
        const ProfilePlace place = ProfileFind(m_file.Bytes, section, key);
        std::string value = place.Value.value_or(defaultValue);
        Set(place, section, key, value);
        return value;
    }

    void WriteInteger(const char* section, const char* key, uint32_t value) {
        Set(ProfileFind(m_file.Bytes, section, key), section, key, std::to_string(value));
    }

    // False when the bytes could not be written; an unchanged file needs no write, only the
    // right to write it.
    bool Commit() const {
        if (m_file.State == FileState::Unusable)
            return false;
        if (!m_changed)
            return IsWritableFile(m_path);
        return ReplaceFileContent(m_path, m_file.Bytes);
    }

private:
    void Set(const ProfilePlace& place, const char* section, const char* key,
             const std::string& value) {
        if (place.KeyFound &&
            std::string_view(m_file.Bytes).substr(place.KeyBegin, place.KeyEnd - place.KeyBegin) ==
                std::string(key) + "=" + value)
            return; // the line already reads so
        ProfileSet(m_file.Bytes, place, section, key, value);
        m_changed = true;
    }

    std::string m_path;
    FileContent m_file;
    bool m_changed = false;
};

uint16_t AsIs(uint16_t value) {
    return value;
}

} // namespace

std::string SettingsFilePath() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::current_path(error);
    if (error)
        return "dev.dat";
    return (folder / "dev.dat").string();
}

void LoadSettings(AppSettings& settings, const std::string& path) {
    // A read-only file is made writable so the write-backs below succeed.
    MakeOwnerWritable(path);

    SettingsFile file(path);
    AppSettings loaded = settings;
    loaded.Port = file.ReadAndWriteInteger("COM_SETTINGS", "Port", kDefaultPort, AsIs);
    loaded.Spd = file.ReadAndWriteInteger("COM_SETTINGS", "Spd", kDefaultSpeedIndex, AsIs);
    loaded.Par = file.ReadAndWriteInteger("COM_SETTINGS", "Par", 0, AsIs);
    loaded.NetAdrr = file.ReadAndWriteInteger(
        "DEVICE", "NetAdrr", 1, [](uint16_t value) { return value > 255 ? uint16_t(1) : value; });
    loaded.TimeOut = file.ReadAndWriteInteger("SETTINGS", "TimeOut", 1000, AsIs);
    loaded.UseLogFile = file.ReadAndWriteInteger("LOG", "UseLogFile", 1, AsIs);
    loaded.LogFileName = file.ReadAndWriteText("LOG", "LogFileName", "COM.txt");
    if (!file.Commit()) {
        // As when the first write-back, the port's, fails: later keys keep their values.
        settings.Port = loaded.Port;
        throw SettingsWriteError(path);
    }
    settings = loaded;
}

void SaveSettings(AppSettings& settings, const std::string& path) {
    SettingsFile file(path);
    file.WriteInteger("COM_SETTINGS", "Port", settings.Port);
    if (!IsListedSpeed(settings.Spd)) // a speed the window's list cannot show
        settings.Spd = kDefaultSpeedIndex;
    file.WriteInteger("COM_SETTINGS", "Spd", settings.Spd);
    file.WriteInteger("COM_SETTINGS", "Par", settings.Par);
    file.WriteInteger("DEVICE", "NetAdrr", uint32_t(settings.NetAdrr));
    file.WriteInteger("LOG", "UseLogFile", uint32_t(settings.UseLogFile));
    if (!file.Commit())
        throw SettingsWriteError(path);
}

std::optional<std::string> PortDeviceFromSettings(const std::string& portName,
                                                  const std::string& path) {
    return MappedPortDevice(ReadWholeFile(path, kMaxSettingsBytes).Bytes, portName);
}
