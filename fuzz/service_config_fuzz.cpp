// libFuzzer target: any reader-service configuration. Parsing never crashes or hangs; a
// configuration it takes has what the service relies on: a line with a device and addresses,
// names fit for topics and folders, values no longer than the parser allows.
#include "names.h"
#include "service_config.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const ConfigCheck check = ParseServiceConfig(content, "fuzz.host");
    if (!check.Errors.empty())
        return 0;
    const ServiceConfig& config = check.Config;
    if (config.Lines.empty() || config.Mqtt.Base.size() > 1023)
        __builtin_trap();
    for (const LineConfig& line : config.Lines)
        if (line.Device.empty() || line.Addresses.empty() || line.Name.empty() ||
            !std::all_of(line.Name.begin(), line.Name.end(), IsNameChar))
            __builtin_trap();
    return 0;
}
