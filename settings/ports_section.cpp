#include "ports_section.h"

#include "profile.h"

namespace {
constexpr std::string_view kSection = "PORTS";
}

std::optional<std::string> MappedPortDevice(std::string_view content, const std::string& portName) {
    auto device = ProfileLookup(content, kSection, portName);
    if (device && device->empty())
        return std::nullopt;
    return device;
}

std::string StoredDeviceText(const std::string& text) {
    return ProfileLookup("[PORTS]\nCOM1=" + text, kSection, "COM1").value_or("");
}

std::optional<std::string> WithPortMapping(std::string_view content, const std::string& portName,
                                           const std::string& device) {
    std::string written = ProfileWrite(content, kSection, portName, device);
    if (ProfileLookup(written, kSection, portName) != device)
        return std::nullopt;
    return written;
}
