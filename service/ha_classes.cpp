#include "ha_classes.h"

#include <algorithm>
#include <array>
#include <string>

namespace {

// Home Assistant 2025.5: the sensor device classes and the units each takes ("" for none,
// "*" for any: a currency). Kept as Home Assistant's sensor/const.py has them, so that a unit
// Home Assistant would refuse is refused by --check instead.
struct SensorClass {
    std::string_view Name;
    std::string_view Units; // separated by '|'
};
constexpr std::array kSensorClasses = {
    SensorClass{"apparent_power", "VA"},
    SensorClass{"aqi", ""},
    SensorClass{"area", "m²|cm²|km²|mm²|in²|ft²|yd²|mi²|ac|ha"},
    SensorClass{"atmospheric_pressure", "Pa|hPa|kPa|bar|cbar|mbar|mmHg|inHg|psi"},
    SensorClass{"battery", "%"},
    SensorClass{"blood_glucose_concentration", "mg/dL|mmol/L"},
    SensorClass{"carbon_dioxide", "ppm"},
    SensorClass{"carbon_monoxide", "ppm"},
    SensorClass{"conductivity", "S/cm|µS/cm|mS/cm"},
    SensorClass{"current", "mA|A"},
    SensorClass{"data_rate", "bit/s|kbit/s|Mbit/s|Gbit/s|B/s|kB/s|MB/s|GB/s|KiB/s|MiB/s|GiB/s"},
    SensorClass{"data_size",
                "bit|kbit|Mbit|Gbit|B|kB|MB|GB|TB|PB|EB|ZB|YB|KiB|MiB|GiB|TiB|PiB|EiB|ZiB|YiB"},
    SensorClass{"date", ""},
    SensorClass{"distance", "mm|cm|m|km|in|ft|yd|mi|nmi"},
    SensorClass{"duration", "d|h|min|s|ms|μs"},
    SensorClass{"energy", "J|kJ|MJ|GJ|mWh|Wh|kWh|MWh|GWh|TWh|cal|kcal|Mcal|Gcal"},
    SensorClass{"energy_distance", "kWh/100km|mi/kWh|km/kWh"},
    SensorClass{"energy_storage", "J|kJ|MJ|GJ|mWh|Wh|kWh|MWh|GWh|TWh|cal|kcal|Mcal|Gcal"},
    SensorClass{"enum", ""},
    SensorClass{"frequency", "Hz|kHz|MHz|GHz"},
    SensorClass{"gas", "CCF|ft³|m³|L"},
    SensorClass{"humidity", "%"},
    SensorClass{"illuminance", "lx"},
    SensorClass{"irradiance", "W/m²|BTU/(h⋅ft²)"},
    SensorClass{"moisture", "%"},
    SensorClass{"monetary", "*"},
    SensorClass{"nitrogen_dioxide", "µg/m³"},
    SensorClass{"nitrogen_monoxide", "µg/m³"},
    SensorClass{"nitrous_oxide", "µg/m³"},
    SensorClass{"ozone", "µg/m³"},
    SensorClass{"ph", ""},
    SensorClass{"pm1", "µg/m³"},
    SensorClass{"pm10", "µg/m³"},
    SensorClass{"pm25", "µg/m³"},
    SensorClass{"power", "mW|W|kW|MW|GW|TW"},
    SensorClass{"power_factor", "%|"},
    SensorClass{"precipitation", "in|mm|cm"},
    SensorClass{"precipitation_intensity", "in/d|in/h|mm/d|mm/h"},
    SensorClass{"pressure", "Pa|hPa|kPa|bar|cbar|mbar|mmHg|inHg|psi"},
    SensorClass{"reactive_power", "var|kvar"},
    SensorClass{"signal_strength", "dB|dBm"},
    SensorClass{"sound_pressure", "dB|dBA"},
    SensorClass{"speed", "Beaufort|ft/s|in/s|m/s|km/h|kn|mph|mm/s|in/d|in/h|mm/d|mm/h"},
    SensorClass{"sulphur_dioxide", "µg/m³"},
    SensorClass{"temperature", "°C|°F|K"},
    SensorClass{"timestamp", ""},
    SensorClass{"volatile_organic_compounds", "µg/m³"},
    SensorClass{"volatile_organic_compounds_parts", "ppb|ppm"},
    SensorClass{"voltage", "µV|mV|V|kV|MV"},
    SensorClass{"volume", "ft³|CCF|m³|L|mL|gal|fl. oz."},
    SensorClass{"volume_flow_rate", "m³/h|m³/s|ft³/min|L/h|L/min|L/s|gal/min|mL/s"},
    SensorClass{"volume_storage", "ft³|CCF|m³|L|mL|gal|fl. oz."},
    SensorClass{"water", "CCF|ft³|m³|gal|L"},
    SensorClass{"weight", "g|kg|mg|µg|oz|lb|st"},
    SensorClass{"wind_direction", "°"},
    SensorClass{"wind_speed", "Beaufort|ft/s|in/s|m/s|km/h|kn|mph|mm/s"},
};

} // namespace

std::optional<std::string> CheckSensorUnit(std::string_view deviceClass, std::string_view unit) {
    if (deviceClass.empty())
        return std::nullopt; // any unit, or none
    const auto found = std::find_if(kSensorClasses.begin(), kSensorClasses.end(),
                                    [&](const SensorClass& c) { return c.Name == deviceClass; });
    if (found == kSensorClasses.end())
        return "device class \"" + std::string(deviceClass) +
               "\" is none Home Assistant knows for sensors";
    if (found->Units == "*")
        return std::nullopt;
    std::string_view units = found->Units;
    std::string allowed;
    while (true) {
        const size_t bar = units.find('|');
        const std::string_view one = units.substr(0, bar);
        if (one == unit)
            return std::nullopt;
        allowed +=
            (allowed.empty() ? "" : ", ") + (one.empty() ? std::string("none") : std::string(one));
        if (bar == std::string_view::npos)
            break;
        units.remove_prefix(bar + 1);
    }
    return "unit \"" + std::string(unit) + "\" is not one Home Assistant takes for device class " +
           std::string(deviceClass) + " (" + allowed + ")";
}
