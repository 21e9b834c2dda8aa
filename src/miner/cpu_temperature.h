// The CPU package temperature, from the kernel's sensors under sysfs. Found once at start-up:
// hwmon's coretemp (Intel, one "Package id N" per socket), k10temp or zenpower (AMD, the die's
// Tdie where the chip has it, else Tctl, which may carry an offset for fan control), and else a
// thermal zone of type x86_pkg_temp. With several packages the reading is the hottest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo::qel {

inline constexpr char SYSFS_ROOT[] = "/sys";

// What is looked for, in the order it is preferred; named in the refusal of a --max-temp that no
// sensor can serve.
inline constexpr char TEMPERATURE_SOURCES[] =
    "hwmon coretemp \"Package id N\", k10temp or zenpower Tdie/Tctl, thermal_zone x86_pkg_temp";

struct TemperatureSensor {
    // What was found, for the start-up line: "hwmon coretemp Package id 0, Package id 1".
    std::string description;
    std::vector<std::string> inputs;  // files holding millidegrees Celsius
};

// The preferred source under `sysfs_root` (class/hwmon, class/thermal); nothing when the machine
// has none of them (virtual machines and containers often have none).
std::optional<TemperatureSensor> find_temperature_sensor(
    const std::string& sysfs_root = SYSFS_ROOT);

// The hottest input in millidegrees Celsius; nothing when any input gives no number.
std::optional<int32_t> read_temperature_mc(const TemperatureSensor& sensor);

}  // namespace orvo::qel
