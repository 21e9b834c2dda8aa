#include "miner/cpu_temperature.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace orvo::qel {
namespace {

namespace fs = std::filesystem;

// The first line of a small sysfs file, without its newline; empty when it cannot be read.
std::string first_line(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The entries of `dir` whose names start with `prefix`, in the kernel's numeric order (hwmon10
// after hwmon9), so the same machine always gives the same description.
std::vector<fs::path> numbered_entries(const fs::path& dir, const std::string& prefix) {
    std::vector<std::pair<long, fs::path>> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        found.emplace_back(std::strtol(name.c_str() + prefix.size(), nullptr, 10), it->path());
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> paths;
    for (auto& entry : found) paths.push_back(std::move(entry.second));
    return paths;
}

// The temperature channels of one hwmon device: (label, input file), by channel number.
std::vector<std::pair<std::string, fs::path>> labelled_inputs(const fs::path& hwmon) {
    std::vector<std::pair<std::string, fs::path>> channels;
    for (const fs::path& label : numbered_entries(hwmon, "temp")) {
        const std::string name = label.filename().string();
        const size_t suffix = name.rfind("_label");
        if (suffix == std::string::npos || suffix + 6 != name.size()) continue;
        const fs::path input = hwmon / (name.substr(0, suffix) + "_input");
        if (fs::exists(input)) channels.emplace_back(first_line(label), input);
    }
    return channels;
}

// A device's package channels: every "Package id N" of coretemp; Tdie, else Tctl, of the AMD
// drivers (an unlabelled temp1 on kernels that name no channel).
std::vector<std::pair<std::string, fs::path>> package_inputs(const std::string& driver,
                                                             const fs::path& hwmon) {
    const auto channels = labelled_inputs(hwmon);
    std::vector<std::pair<std::string, fs::path>> chosen;
    if (driver == "coretemp") {
        for (const auto& channel : channels) {
            if (channel.first.rfind("Package id ", 0) == 0) chosen.push_back(channel);
        }
        return chosen;
    }
    for (const char* label : {"Tdie", "Tctl"}) {
        for (const auto& channel : channels) {
            if (channel.first == label) return {channel};
        }
    }
    if (channels.empty() && fs::exists(hwmon / "temp1_input")) {
        return {{"temp1", hwmon / "temp1_input"}};
    }
    return chosen;
}

}  // namespace

std::optional<TemperatureSensor> find_temperature_sensor(const std::string& sysfs_root) {
    const fs::path root(sysfs_root);
    const std::vector<fs::path> hwmons = numbered_entries(root / "class" / "hwmon", "hwmon");
    for (const char* driver : {"coretemp", "k10temp", "zenpower"}) {
        TemperatureSensor sensor;
        std::string labels;
        for (const fs::path& hwmon : hwmons) {
            if (first_line(hwmon / "name") != driver) continue;
            for (const auto& [label, input] : package_inputs(driver, hwmon)) {
                labels += (labels.empty() ? " " : ", ") + label;
                sensor.inputs.push_back(input.string());
            }
        }
        if (sensor.inputs.empty()) continue;
        sensor.description = std::string("hwmon ") + driver + labels;
        return sensor;
    }
    TemperatureSensor zones;
    for (const fs::path& zone : numbered_entries(root / "class" / "thermal", "thermal_zone")) {
        if (first_line(zone / "type") != "x86_pkg_temp" || !fs::exists(zone / "temp")) continue;
        zones.description += (zones.description.empty() ? "" : ", ") + zone.filename().string();
        zones.inputs.push_back((zone / "temp").string());
    }
    if (zones.inputs.empty()) return std::nullopt;
    zones.description += " x86_pkg_temp";
    return zones;
}

std::optional<int32_t> read_temperature_mc(const TemperatureSensor& sensor) {
    std::optional<int32_t> hottest;
    for (const std::string& input : sensor.inputs) {
        std::ifstream in(input);
        long value = 0;
        // A sensor the driver cannot read fails the read (EIO, ENODATA) rather than giving text.
        // One package without a reading makes the whole reading unknown: the packages that do
        // answer need not be the hottest, and a guard must not go on by them.
        if (!(in >> value) || value < -273'000 || value > 1'000'000) return std::nullopt;
        const int32_t mc = static_cast<int32_t>(value);
        if (!hottest || mc > *hottest) hottest = mc;
    }
    return hottest;
}

}  // namespace orvo::qel
