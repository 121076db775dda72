#pragma once

// Home Assistant's sensor device classes and the units it takes for each (from its 2025.5
// release), so that --check refuses what Home Assistant would.

#include <optional>
#include <string>
#include <string_view>

// Why Home Assistant would refuse a sensor of this device class with this unit ("" for none),
// or nothing when it takes it. No device class takes any unit.
std::optional<std::string> CheckSensorUnit(std::string_view deviceClass, std::string_view unit);
