// Fixture machines for the Linux WMI classes: a copy of a tree under tests/scanner/linux/fixtures
// (what the kernel would show, symbolic links included) and, from its .fixture/env.ini,
// everything that is not a file: uname, host name, clock and time zone, effective user,
// statvfs answers, CPUID leaves, the address-space limit and the sample interval. The
// second sample of the rate counters is .fixture/sample2/<path>, else the same file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scanner/platform/linux/LinuxPlatform.h"
#include "scanner/platform/linux/LinuxWmiProvider.h"
#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/LinuxSystem.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::testing {

namespace fs = std::filesystem;

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeText(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// The machine a fixture tree describes.
class FixtureSystem : public LinuxSystem {
public:
    explicit FixtureSystem(const std::string& root) : root_(root) {
        std::istringstream env(readText(fs::path(root) / ".fixture/env.ini"));
        for (std::string line; std::getline(env, line);) {
            if (line.empty() || line.front() == '#') continue;
            const auto eq = line.find('=');
            if (eq != std::string::npos) env_[line.substr(0, eq)] = line.substr(eq + 1);
        }
        std::istringstream modes(readText(fs::path(root) / ".fixture/modes"));
        for (std::string line; std::getline(modes, line);) {
            std::istringstream words(line);
            std::string path, mode;
            if (line.empty() || line.front() == '#' || !(words >> path >> mode)) continue;
            if (mode == "0400" || mode == "0600") rootOnly_.push_back("/" + path);
        }
        ::setenv("TZ", get("tz", "UTC0").c_str(), 1);
        ::tzset();
    }

    std::string get(const std::string& key, const std::string& fallback = "") const {
        const auto it = env_.find(key);
        return it == env_.end() ? fallback : it->second;
    }

    UnameInfo uname() override {
        return {get("uname.sysname"), get("uname.nodename"), get("uname.release"),
                get("uname.version"), get("uname.machine")};
    }
    std::string hostName() override { return get("hostname"); }
    WallClock now() override {
        const std::string text = get("now", "0.0");
        const auto dot = text.find('.');
        return {std::stoll(text.substr(0, dot)),
                dot == std::string::npos ? 0 : std::stoi(text.substr(dot + 1))};
    }
    std::optional<LocalTime> localTime(std::int64_t epochSeconds) override {
        return host_.localTime(epochSeconds);
    }
    std::vector<FsStats> statvfs(const RootFs& /*fs*/, const std::vector<std::string>& points,
                                 std::chrono::milliseconds /*budget*/) override {
        std::vector<FsStats> stats;
        for (const auto& point : points) {
            statvfsAsked.push_back(point);
            FsStats s;
            const std::string text = get("statvfs." + point);
            if (text == "timeout") {
                s.state = FsStats::State::TimedOut;
            } else if (!text.empty()) {
                std::istringstream words(text);
                std::uint64_t bsize = 0;
                words >> bsize >> s.fragmentSize >> s.blocks >> s.freeBlocks >> s.availableBlocks >>
                    s.nameMax;
                s.state = words ? FsStats::State::Ok : FsStats::State::Failed;
            }
            stats.push_back(s);
        }
        return stats;
    }
    std::optional<std::int64_t> birthTime(const RootFs&, const std::string& path) override {
        const std::string text = get("statx.btime." + path);
        if (text.empty()) return std::nullopt;
        return std::stoll(text);
    }
    std::optional<std::array<std::uint32_t, 4>> cpuid(std::uint32_t leaf) override {
        const std::string text = get("cpuid." + std::to_string(leaf));
        if (text.empty()) return std::nullopt;
        std::istringstream words(text);
        std::array<std::uint32_t, 4> r{};
        for (auto& v : r) {
            std::string w;
            words >> w;
            v = static_cast<std::uint32_t>(std::stoul(w, nullptr, 16));
        }
        return r;
    }
    std::optional<std::uint64_t> addressSpaceLimit() override {
        const std::string text = get("rlimit.as");
        if (text.empty()) return std::nullopt;
        return std::stoull(text);
    }
    // The first reading at second 0, the second one sample.interval later.
    CounterReading firstCounterReading(const RootFs& fs) override {
        return {fs.read("/proc/stat"), fs.read("/proc/vmstat"), 0.0};
    }
    CounterReading secondCounterReading(const RootFs& fs, const CounterReading& first) override {
        ++intervalsWaited;
        const RootFs second(root_ + "/.fixture/sample2");
        const auto read = [&](std::string_view path) {
            auto text = second.read(path);
            return text ? text : fs.read(path);
        };
        return {read("/proc/stat"), read("/proc/vmstat"),
                first.seconds + std::stod(get("sample.interval", "1.0"))};
    }
    bool denies(std::string_view path) const override {
        if (get("uid", "0") == "0") return false;
        return std::find(rootOnly_.begin(), rootOnly_.end(), path) != rootOnly_.end();
    }

    std::vector<std::string> statvfsAsked;
    int intervalsWaited = 0;

private:
    std::string root_;
    std::map<std::string, std::string> env_;
    std::vector<std::string> rootOnly_;
    HostSystem host_;
};

// A fixture tree: read in place until the test changes it, then a private copy, removed
// at the end of the test.
class FixtureTree {
public:
    explicit FixtureTree(const std::string& scenario)
        : source_((fs::path(GRAVELIN_FIXTURES_DIR) / scenario).string()), root_(source_) {}
    ~FixtureTree() {
        std::error_code ignored;
        if (copied_) fs::remove_all(root_, ignored);
    }
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;

    // The tree's root; machines made before a change keep reading the tree they were given.
    [[nodiscard]] const std::string& root() const { return root_; }
    // The root of the private copy, for changes made directly.
    const std::string& mutableRoot() {
        if (!copied_) {
            char pattern[] = "/tmp/gravelin-wmi-XXXXXX";
            const char* dir = ::mkdtemp(pattern);
            if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
            fs::copy(source_, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            root_ = dir;
            copied_ = true;
        }
        return root_;
    }
    void write(const std::string& path, std::string_view text) {
        const fs::path target = fs::path(mutableRoot()) / fs::path(path).relative_path();
        fs::remove(target);  // a symbolic link is replaced, never written through
        writeText(target, text);
    }
    void remove(const std::string& path) {
        fs::remove_all(fs::path(mutableRoot()) / fs::path(path).relative_path());
    }
    // Changes one key of .fixture/env.ini.
    void setEnv(const std::string& key, const std::string& value) {
        const fs::path env = fs::path(mutableRoot()) / ".fixture/env.ini";
        std::istringstream in(readText(env));
        std::string out;
        bool replaced = false;
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with(key + "=")) {
                line = key + "=" + value;
                replaced = true;
            }
            out += line + "\n";
        }
        if (!replaced) out += key + "=" + value + "\n";
        fs::remove(env);
        writeText(env, out);
    }

private:
    std::string source_;
    std::string root_;
    bool copied_ = false;
};

// A provider over a fixture tree, with the fixture system it asks.
struct FixtureMachine {
    explicit FixtureMachine(const FixtureTree& tree)
        : fs(tree.root()), system(tree.root()), provider(fs, system) {}
    std::vector<WmiObject> query(std::string_view wmiClass) {
        return provider.query("root\\cimv2", "SELECT * FROM " + std::string(wmiClass));
    }
    RootFs fs;
    FixtureSystem system;
    LinuxWmiProvider provider;
};

// ---- SMBIOS table assembly ---------------------------------------------------------------

// One structure: type, handle, the formatted bytes after the 4-byte header, the strings.
inline std::string smbiosStructure(std::uint8_t type, std::uint16_t handle,
                                   const std::vector<std::uint8_t>& body,
                                   const std::vector<std::string>& strings) {
    std::string s;
    s += static_cast<char>(type);
    s += static_cast<char>(body.size() + 4);
    s += static_cast<char>(handle & 0xFF);
    s += static_cast<char>(handle >> 8);
    for (auto b : body) s += static_cast<char>(b);
    for (const auto& text : strings) s += text + std::string(1, '\0');
    if (strings.empty()) s += std::string(1, '\0');
    s += std::string(1, '\0');
    return s;
}

// A 24-byte SMBIOS 3 entry point.
inline std::string smbios3EntryPoint(std::uint8_t major, std::uint8_t minor, std::uint8_t docrev) {
    std::string e = "_SM3_";
    e += std::string(1, '\0');  // checksum (not checked)
    e += static_cast<char>(0x18);
    e += static_cast<char>(major);
    e += static_cast<char>(minor);
    e += static_cast<char>(docrev);
    e += static_cast<char>(1);
    e += std::string(13, '\0');
    return e;
}

// The laptop's table: system (1), baseboard (2), processor (4) with its L2 and L3 caches
// (7), jumper settings (12), end of table (127).
inline std::string laptopSmbiosTable(std::uint16_t l2KiB = 512) {
    const std::string oem = "To Be Filled By O.E.M.";
    std::string t;
    t += smbiosStructure(1, 0x0001,
                         {1, 2, 3, 4,
                          // UUID 4C4C4544-0052-3310-8058-B3C04F4D3232, first fields little-endian
                          0x44, 0x45, 0x4C, 0x4C, 0x52, 0x00, 0x10, 0x33, 0x80, 0x58, 0xB3, 0xC0,
                          0x4F, 0x4D, 0x32, 0x32, 0x06, 5, 6},
                         {"System manufacturer", "System Product Name", "System Version",
                          "SN-SYS-0001", "SKU", "To be filled by O.E.M."});
    t += smbiosStructure(2, 0x0002, {1, 2, 3, 4, 5, 0x09, 6, 0x03, 0x00, 0x0A, 0},
                         {"ASUSTeK COMPUTER INC.", "PRIME Z370-A", "Rev X.0x", "SN-BOARD-0001",
                          "Default string", "Default string"});
    const auto lo = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); };
    const auto hi = [](unsigned v) { return static_cast<std::uint8_t>(v >> 8); };
    t += smbiosStructure(
        4, 0x0004,
        {1,       0x03,    0xC6,    2,                                            // socket..manuf
         0xEA,    0x06,    0x09,    0x00,    0xFF,     0xFB,     0xEB,     0xBF,  // ID
         3,       0x8C,    lo(100), hi(100), lo(4700), hi(4700), lo(3700), hi(3700),  // version..
         0x41,    0x41,                                       // status, upgrade
         0x00,    0x07,    0x01,    0x07,    0x02,     0x07,  // L1 L2 L3
         4,       4,       4,       2,       2,        4,        lo(252),  hi(252),
         lo(198), hi(198),  // .. family 2
         2,       0,       2,       0,       4,        0},
        {"U3E1", "Intel(R) Corporation", "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz", oem});
    t += smbiosStructure(7, 0x0701,
                         {1, 0x81, 0x01, lo(l2KiB), hi(l2KiB), lo(l2KiB), hi(l2KiB), 0x20, 0x00,
                          0x20, 0x00, 0, 5, 5, 7},
                         {"L2 Cache"});
    t += smbiosStructure(
        7, 0x0702, {1, 0x82, 0x01, 0x00, 0x30, 0x00, 0x30, 0x20, 0x00, 0x20, 0x00, 0, 5, 5, 8},
        {"L3 Cache"});
    t += smbiosStructure(12, 0x000C, {1}, {"JP2: 1-2 Clear CMOS"});
    t += smbiosStructure(127, 0xFFFF, {}, {});
    return t;
}

// Runs the laptop as root: readable 0400 files and the SMBIOS table.
inline void makeLaptopRoot(FixtureTree& tree, const std::string& table = laptopSmbiosTable()) {
    tree.setEnv("uid", "0");
    tree.write("/sys/firmware/dmi/tables/smbios_entry_point", smbios3EntryPoint(3, 2, 0));
    tree.write("/sys/firmware/dmi/tables/DMI", table);
}

// ---- Looking at objects ------------------------------------------------------------------

inline const WmiValue* property(const WmiObject& object, std::string_view name) {
    for (const auto& [key, value] : object.properties) {
        if (key == name) return &value;
    }
    return nullptr;
}

// The report text of a property; "<absent>" when the object lacks it.
inline std::string text(const WmiObject& object, std::string_view name) {
    const WmiValue* value = property(object, name);
    return value ? wmiValueText(*value) : std::string("<absent>");
}

inline bool isNull(const WmiObject& object, std::string_view name) {
    const WmiValue* value = property(object, name);
    return value != nullptr && value->isNull();
}

}  // namespace gravelin::testing

namespace gravelin::testing {

using Expected = std::map<std::string, std::string>;

// The object is of the class, lists exactly the class's properties in WMI's order, has the
// expected value texts, and every property not expected is null.
inline void expectObject(const WmiObject& object, std::string_view className,
                         const Expected& expected) {
    SCOPED_TRACE(std::string(className));
    EXPECT_EQ(object.className, className);
    const auto names = linuxwmi::classProperties(className);
    ASSERT_EQ(object.properties.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(object.properties[i].first, names[i]) << "at position " << i;
    for (const auto& [name, value] : expected) EXPECT_EQ(text(object, name), value) << name;
    for (const auto& [name, value] : object.properties) {
        if (!expected.contains(name)) {
            EXPECT_TRUE(value.isNull())
                << name << " should be null, is \"" << wmiValueText(value) << "\"";
        }
    }
}

}  // namespace gravelin::testing
