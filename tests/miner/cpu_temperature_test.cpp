// The CPU temperature from fake sysfs trees, and the --max-temp guard's edges.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "miner/cpu_temperature.h"
#include "miner/temperature_guard.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::TempDir;
using test_support::write_file;

// A tree of files, path (relative to the sysfs root) to content.
using Tree = std::map<std::string, std::string>;

void plant(const TempDir& dir, const Tree& tree) {
    for (const auto& [path, content] : tree) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(path)).parent_path());
        write_file(dir.file(path), content);
    }
}

TEST(CpuTemperature, SourcesFromFakeTrees) {
    const Tree acpi = {{"class/hwmon/hwmon0/name", "acpitz\n"},
                       {"class/hwmon/hwmon0/temp1_input", "27800\n"}};
    struct Case {
        const char* name;
        Tree tree;
        const char* description;  // nullptr: no sensor
        int32_t reading_mc;
    } cases[] = {
        {"one coretemp package",
         {{"class/hwmon/hwmon1/name", "coretemp\n"},
          {"class/hwmon/hwmon1/temp1_label", "Package id 0\n"},
          {"class/hwmon/hwmon1/temp1_input", "61000\n"},
          {"class/hwmon/hwmon1/temp2_label", "Core 0\n"},
          {"class/hwmon/hwmon1/temp2_input", "99000\n"}},  // a core, not the package
         "hwmon coretemp Package id 0",
         61000},
        {"two coretemp packages, the hottest counts",
         {{"class/hwmon/hwmon2/name", "coretemp\n"},
          {"class/hwmon/hwmon2/temp1_label", "Package id 0\n"},
          {"class/hwmon/hwmon2/temp1_input", "55000\n"},
          {"class/hwmon/hwmon10/name", "coretemp\n"},
          {"class/hwmon/hwmon10/temp1_label", "Package id 1\n"},
          {"class/hwmon/hwmon10/temp1_input", "72500\n"}},
         "hwmon coretemp Package id 0, Package id 1",
         72500},
        {"k10temp with Tctl only",
         {{"class/hwmon/hwmon3/name", "k10temp\n"},
          {"class/hwmon/hwmon3/temp1_label", "Tctl\n"},
          {"class/hwmon/hwmon3/temp1_input", "48250\n"}},
         "hwmon k10temp Tctl",
         48250},
        {"k10temp with Tdie: the die, not the offset Tctl",
         {{"class/hwmon/hwmon3/name", "k10temp\n"},
          {"class/hwmon/hwmon3/temp1_label", "Tctl\n"},
          {"class/hwmon/hwmon3/temp1_input", "70000\n"},
          {"class/hwmon/hwmon3/temp2_label", "Tdie\n"},
          {"class/hwmon/hwmon3/temp2_input", "50000\n"}},
         "hwmon k10temp Tdie",
         50000},
        {"zenpower",
         {{"class/hwmon/hwmon4/name", "zenpower\n"},
          {"class/hwmon/hwmon4/temp1_label", "Tdie\n"},
          {"class/hwmon/hwmon4/temp1_input", "44000\n"}},
         "hwmon zenpower Tdie",
         44000},
        {"a thermal zone only",
         {{"class/thermal/thermal_zone0/type", "acpitz\n"},
          {"class/thermal/thermal_zone0/temp", "90000\n"},
          {"class/thermal/thermal_zone1/type", "x86_pkg_temp\n"},
          {"class/thermal/thermal_zone1/temp", "66000\n"}},
         "thermal_zone1 x86_pkg_temp",
         66000},
        {"none: only a board sensor", acpi, nullptr, 0},
        {"none at all", {}, nullptr, 0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        plant(dir, acpi);
        plant(dir, c.tree);
        const std::optional<TemperatureSensor> sensor = find_temperature_sensor(dir.path());
        ASSERT_EQ(sensor.has_value(), c.description != nullptr) << c.name;
        if (!sensor) continue;
        EXPECT_EQ(sensor->description, c.description) << c.name;
        EXPECT_EQ(read_temperature_mc(*sensor), c.reading_mc) << c.name;
        // A reading that vanishes (the driver unloaded, or a read error) is no reading, and so is
        // one package's of several: the others' need not be the hottest.
        std::filesystem::remove(sensor->inputs.back());
        EXPECT_EQ(read_temperature_mc(*sensor), std::nullopt) << c.name;
    }
}

// A limit of 90 °C: paused at 90.000, resumed at 85.000 and not above; ten silent seconds pause.
TEST(TemperatureGuard, HysteresisAndSilence) {
    using Clock = TemperatureGuard::Clock;
    const Clock::time_point t0{};
    const auto at = [&](int s) { return t0 + std::chrono::seconds(s); };
    struct Step {
        int second;
        std::optional<int32_t> reading_mc;
        bool paused;
        const char* why;
    } steps[] = {
        {1, 89999, false, "CPU at 90.0 °C, limit 90 °C"},
        {2, 90000, true, "CPU at 90.0 °C, limit 90 °C"},
        {3, 85001, true, "CPU at 85.0 °C, limit 90 °C"},
        {4, 85000, false, "CPU at 85.0 °C, limit 90 °C"},
        {5, 89000, false, "CPU at 89.0 °C, limit 90 °C"},
        {14, std::nullopt, false, "CPU at 89.0 °C, limit 90 °C"},  // silent for 9 s
        {15, std::nullopt, true, "no reading from the sensor for 10 s"},
        {16, 86000, true, "CPU at 86.0 °C, limit 90 °C"},  // back, but not cool enough
        {17, 60000, false, "CPU at 60.0 °C, limit 90 °C"},
    };
    RunControl control;
    control.pause(PauseReason::api);  // another reason is left alone
    TemperatureGuard guard(90, t0);
    for (const Step& s : steps) {
        guard.update(s.reading_mc, at(s.second), control);
        EXPECT_EQ(
            (control.pause_reasons() & static_cast<PauseReasons>(PauseReason::temperature)) != 0,
            s.paused)
            << s.second;
        EXPECT_EQ(guard.why(), s.why) << s.second;
        EXPECT_TRUE(control.pause_reasons() & static_cast<PauseReasons>(PauseReason::api));
    }
    // Silent from the start: paused after ten seconds too.
    RunControl quiet;
    TemperatureGuard blind(90, t0);
    blind.update(std::nullopt, at(9), quiet);
    EXPECT_FALSE(quiet.paused());
    blind.update(std::nullopt, at(10), quiet);
    EXPECT_TRUE(quiet.paused());
}

}  // namespace
}  // namespace orvo::qel
