#pragma once

// The optional [PORTS] section of dev.dat: the device a port name "COMn" stands for. The
// readers read it at each opening and never write it; reader-tool lists it (ports) and writes
// it (map). Plain text rules, no file access.

#include <optional>
#include <string>
#include <string_view>

// The device mapped to portName; nullopt when the entry is missing or empty.
std::optional<std::string> MappedPortDevice(std::string_view content, const std::string& portName);

// What a device text reads back as once stored: blanks around it and enclosing quotes go.
std::string StoredDeviceText(const std::string& text);

// The content with portName mapped to device; nullopt when the entry would not read back as
// device.
std::optional<std::string> WithPortMapping(std::string_view content, const std::string& portName,
                                           const std::string& device);
