// What the Linux WMI classes do with what they cannot trust: garbled, empty, missing or
// planted files, hostile SMBIOS tables, a network share whose statvfs never answers, and
// the query texts they are given. Also the property lists' order and the text helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "WmiFixture.h"
#include "shared/Vocabulary.h"

namespace gravelin::testing {
namespace {

using namespace std::chrono_literals;

// ---- Property lists ----------------------------------------------------------------------

TEST(WmiPropertyLists, SortedCaseInsensitivelyWithoutDuplicatesAndComplete) {
    const std::vector<std::pair<std::string, std::size_t>> classes = {
        {"Win32_BaseBoard", 29},
        {"Win32_Processor", 57},
        {"Win32_OperatingSystem", 64},
        {"Win32_PerfFormattedData_PerfOS_Memory", 45},
        {"Win32_DiskDrive", 51},
        {"Win32_LogicalDisk", 40},
        {"Win32_ComputerSystemProduct", 8},
        {"MSSmBios_RawSMBiosTables", 8},
        {"Win32_USBController", 23},
        {"Win32_IDEController", 23},
        {"Win32_SCSIController", 31},
        {"Win32_VideoController", 59},
        {"Win32_SerialPort", 47},
        {"Win32_ParallelPort", 26},
        {"Win32_1394Controller", 23},
        {"Win32_FloppyController", 23},
        {"Win32_PCMCIAController", 23},
        {"Win32_InfraredDevice", 23}};
    for (const auto& [name, count] : classes) {
        const auto names = linuxwmi::classProperties(name);
        EXPECT_EQ(names.size(), count) << name;
        for (std::size_t i = 1; i < names.size(); ++i)
            EXPECT_TRUE(linuxwmi::lessIgnoreCase(names[i - 1], names[i]))
                << name << ": " << names[i - 1] << " before " << names[i];
    }
    // Spots where case-insensitive and byte order differ.
    const auto memory = linuxwmi::classProperties("Win32_PerfFormattedData_PerfOS_Memory");
    const auto pages = std::find(memory.begin(), memory.end(), "PagesPersec");
    ASSERT_NE(pages, memory.end());
    EXPECT_EQ(*(pages + 1), "PageWritesPersec");
}

TEST(WmiPropertyLists, EveryWmiClassOfTheQueryListHasALinuxProvider) {
    // A class added to the scanner's query list without a provider would be "No data found"
    // on every Linux machine.
    for (const auto& query : vocabulary::kQueries) {
        if (query.source != vocabulary::QuerySource::Wmi) continue;
        const auto classes = linuxwmi::wmiClasses();
        EXPECT_TRUE(std::any_of(classes.begin(), classes.end(),
                                [&](const auto& c) { return c.name == query.wmiClass; }))
            << query.wmiClass;
    }
}

// ---- Queries -----------------------------------------------------------------------------

TEST(WqlSelect, KeywordsAndClassCaseInsensitiveNothingElseUnderstood) {
    struct Case {
        const char* wql;
        bool understood;
        const char* className;
        std::size_t properties;
    };
    const Case cases[] = {
        {"SELECT * FROM Win32_Processor", true, "Win32_Processor", 0},
        {"select * from win32_processor", true, "win32_processor", 0},
        {"  Select *   From CIM_Controller ;", true, "CIM_Controller", 0},
        {"SELECT Name, DeviceID FROM Win32_Processor", true, "Win32_Processor", 2},
        {"SELECT * FROM Win32_Processor WHERE DeviceID = 'CPU0'", false, "", 0},
        {"SELECT * FROM", false, "", 0},
        {"SELECT FROM Win32_Processor", false, "", 0},
        {"DELETE * FROM Win32_Processor", false, "", 0},
        {"", false, "", 0},
        {"SELECT * FROM Win32_Processor, Win32_BaseBoard", false, "", 0},
    };
    for (const auto& c : cases) {
        const auto parsed = parseWqlSelect(c.wql);
        EXPECT_EQ(parsed.has_value(), c.understood) << c.wql;
        if (parsed && c.understood) {
            EXPECT_EQ(parsed->className, c.className) << c.wql;
            EXPECT_EQ(parsed->properties.size(), c.properties) << c.wql;
        }
    }
}

TEST(WmiProvider, ClassesAnswerOnlyInTheirNamespaceAndUnknownClassesHaveNoObjects) {
    FixtureTree tree("microvm");
    FixtureMachine machine(tree);
    EXPECT_EQ(machine.provider.query("ROOT\\CIMV2", "select * from win32_processor").size(), 1U);
    EXPECT_TRUE(machine.provider.query("root\\wmi", "SELECT * FROM Win32_Processor").empty());
    EXPECT_TRUE(machine.query("Win32_SoundDevice").empty());
    EXPECT_TRUE(machine.query("SMBIOS_Type017_MemoryDevice").empty());
    // A select list keeps the named properties, in WMI's order.
    const auto objects =
        machine.provider.query("root\\cimv2", "SELECT name, DeviceID FROM Win32_Processor");
    ASSERT_EQ(objects.size(), 1U);
    ASSERT_EQ(objects[0].properties.size(), 2U);
    EXPECT_EQ(objects[0].properties[0].first, "DeviceID");
    EXPECT_EQ(objects[0].properties[1].first, "Name");
}

// ---- Bad files ---------------------------------------------------------------------------

const char* const kAllClasses[] = {"Win32_BaseBoard",
                                   "Win32_Processor",
                                   "Win32_OperatingSystem",
                                   "Win32_PerfFormattedData_PerfOS_Memory",
                                   "Win32_DiskDrive",
                                   "Win32_LogicalDisk",
                                   "Win32_ComputerSystemProduct",
                                   "CIM_Controller"};

std::map<std::string, std::vector<WmiObject>> queryAll(FixtureMachine& machine) {
    std::map<std::string, std::vector<WmiObject>> all;
    for (const char* c : kAllClasses) all[c] = machine.query(c);
    return all;
}

// One damaged file costs only the values it gives: the check names one value lost and one
// value of the same class that stays.
TEST(WmiBadFiles, AGarbledFileCostsOnlyItsValues) {
    struct Case {
        const char* path;
        std::string content;  // "<missing>" removes the file
        const char* wmiClass;
        const char* lost;
        const char* kept;
        const char* keptValue;
    };
    const std::string junk("\x01\xff garbage: -12 0x \x00\n", 21);
    const Case cases[] = {
        {"/proc/meminfo", junk, "Win32_OperatingSystem", "TotalVisibleMemorySize", "Caption",
         "Ubuntu 24.04.1 LTS"},
        {"/proc/meminfo", "", "Win32_PerfFormattedData_PerfOS_Memory", "AvailableBytes",
         "PageFaultsPersec", "7204"},
        {"/proc/meminfo",
         "MemTotal: 18446744073709551615 kB\nMemAvailable: 18446744073709551615 kB\n",
         "Win32_PerfFormattedData_PerfOS_Memory", "AvailableBytes", "AvailableKBytes",
         "18446744073709551615"},
        {"/proc/vmstat", "<missing>", "Win32_PerfFormattedData_PerfOS_Memory", "PageFaultsPersec",
         "AvailableKBytes", "12345678"},
        {"/.fixture/sample2/proc/vmstat", "pgfault 5\n", "Win32_PerfFormattedData_PerfOS_Memory",
         "PageFaultsPersec", "CommitLimit", "18842447872"},  // a counter that went backwards
        {"/proc/cpuinfo", "", "Win32_Processor", "Caption", "NumberOfLogicalProcessors", "4"},
        {"/proc/cpuinfo", junk, "Win32_Processor", "Name", "L3CacheSize", "12288"},
        // The online list falls back to cpuinfo's processors.
        {"/sys/devices/system/cpu/online", "0-4294967295", "Win32_Processor", "<none>",
         "NumberOfLogicalProcessors", "4"},
        {"/sys/devices/system/cpu/online", junk, "Win32_Processor", "<none>", "NumberOfCores", "2"},
        {"/sys/devices/system/cpu/cpu0/cpufreq/base_frequency", "zero", "Win32_Processor", "<none>",
         "MaxClockSpeed", "3700"},  // the model name's nominal clock
        {"/proc/stat", "cpu0 1 2 x\n", "Win32_Processor", "LoadPercentage", "DeviceID", "CPU0"},
        {"/proc/stat", "<missing>", "Win32_OperatingSystem", "LastBootUpTime", "OSType", "36"},
        {"/etc/os-release", "<missing>", "Win32_OperatingSystem", "Manufacturer", "Caption",
         "Linux"},
        {"/etc/default/locale", "LANG=xx_YY.KOI-9\n", "Win32_OperatingSystem", "Locale",
         "MUILanguages", "xx-YY"},
        {"/proc/self/mountinfo", "28 1 259:2 / / rw - ext4", "Win32_LogicalDisk", "<none>",
         "<count>", "0"},
        {"/proc/self/mountinfo",
         "28 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n30 28 2",
         "Win32_LogicalDisk", "<none>", "<count>", "1"},
        {"/sys/block/nvme0n1/size", "abc", "Win32_DiskDrive", "Size", "Model",
         "Samsung SSD 990 PRO 2TB"},
        {"/sys/block/nvme0n1/size", "18446744073709551615", "Win32_DiskDrive", "TotalCylinders",
         "MediaLoaded", "True"},
        {"/sys/block/nvme0n1/queue/logical_block_size", "0", "Win32_DiskDrive", "BytesPerSector",
         "Size", "2000396321280"},
        {"/sys/bus/pci/devices/0000:00:17.0/class", "0xZZ", "CIM_Controller", "<none>", "<count>",
         "5"},
        {"/sys/class/graphics/fb0/bits_per_pixel", "64", "CIM_Controller", "<none>", "<count>",
         "6"},
        {"/sys/class/dmi/id/board_vendor", "   \n", "Win32_BaseBoard", "Manufacturer", "Product",
         "PRIME Z370-A"},
        {"/run/udev/data/b259:1", std::string(300000, 'E'), "Win32_LogicalDisk", "<none>",
         "<count>", "4"},
        {"/usr/share/misc/pci.ids", "8086", "CIM_Controller", "<none>", "<count>", "6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " -> " + c.wmiClass);
        FixtureTree tree("laptop");
        if (c.content == "<missing>") {
            tree.remove(c.path);
        } else {
            tree.write(c.path, c.content);
        }
        FixtureMachine machine(tree);
        const auto all = queryAll(machine);  // every class survives
        const auto& objects = all.at(c.wmiClass);
        if (std::string_view(c.kept) == "<count>") {
            EXPECT_EQ(std::to_string(objects.size()), c.keptValue);
            continue;
        }
        ASSERT_FALSE(objects.empty());
        if (std::string_view(c.lost) != "<none>") {
            EXPECT_TRUE(isNull(objects[0], c.lost)) << c.lost << " = " << text(objects[0], c.lost);
        }
        EXPECT_EQ(text(objects[0], c.kept), c.keptValue);
    }
}

TEST(WmiBadFiles, PlantedFifosDirectoriesAndLinkLoopsDoNotHang) {
    FixtureTree tree("laptop");
    tree.remove("/proc/meminfo");
    ASSERT_EQ(::mkfifo((tree.mutableRoot() + "/proc/meminfo").c_str(), 0600), 0);
    tree.remove("/proc/sys/kernel/pid_max");
    fs::create_directories(tree.root() + "/proc/sys/kernel/pid_max");
    fs::create_symlink("loop_b", tree.root() + "/sys/block/loop_a");
    fs::create_symlink("loop_a", tree.root() + "/sys/block/loop_b");
    fs::create_symlink("sdz", tree.root() + "/sys/block/sdz");
    const auto start = std::chrono::steady_clock::now();
    FixtureMachine machine(tree);
    const auto all = queryAll(machine);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(isNull(all.at("Win32_OperatingSystem")[0], "TotalVisibleMemorySize"));
    EXPECT_TRUE(isNull(all.at("Win32_OperatingSystem")[0], "MaxNumberOfProcesses"));
    // The self-linked "sdz" is a disk name, so it is listed, with nothing known about it.
    ASSERT_EQ(all.at("Win32_DiskDrive").size(), 3U);
    EXPECT_EQ(text(all.at("Win32_DiskDrive")[2], "DeviceID"), "/dev/sdz");
    EXPECT_TRUE(isNull(all.at("Win32_DiskDrive")[2], "Size"));
}

TEST(WmiBadFiles, AnEmptyRootAnswersWithoutObjectsWhereNothingIsObserved) {
    char pattern[] = "/tmp/gravelin-empty-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    writeText(root + "/.fixture/env.ini", "uname.machine=x86_64\nuid=1000\n");
    {
        RootFs fs(root);
        FixtureSystem system(root);
        LinuxWmiProvider provider(fs, system);
        for (const char* c : {"Win32_BaseBoard", "Win32_Processor", "Win32_DiskDrive",
                              "Win32_LogicalDisk", "Win32_ComputerSystemProduct", "CIM_Controller"})
            EXPECT_TRUE(provider.query("root\\cimv2", std::string("SELECT * FROM ") + c).empty())
                << c;
        // The operating system and the memory counters are one object each, mostly null.
        const auto os = provider.query("root\\cimv2", "SELECT * FROM Win32_OperatingSystem");
        ASSERT_EQ(os.size(), 1U);
        EXPECT_EQ(text(os[0], "Caption"), "Linux");
        EXPECT_TRUE(isNull(os[0], "TotalVisibleMemorySize"));
        EXPECT_EQ(
            provider.query("root\\cimv2", "SELECT * FROM Win32_PerfFormattedData_PerfOS_Memory")
                .size(),
            1U);
    }
    fs::remove_all(root);
}

// ---- Hostile SMBIOS tables ---------------------------------------------------------------

TEST(WmiHostileSmbios, TablesThatLieCostOnlyTheirFields) {
    const std::string good = laptopSmbiosTable();
    const std::string type4Short = smbiosStructure(
        4, 0x0004,
        {1, 0x03, 0xC6, 2, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0x8C, 100, 0, 0, 0, 0, 0, 0x41, 0x41},
        {"SOCKET"});
    struct Case {
        const char* what;
        std::string table;
        const char* boardSerial;  // expected BaseBoard.SerialNumber
        const char* socket;       // expected Processor.SocketDesignation ("" for null)
    };
    const Case cases[] = {
        {"cut in the middle of a structure", good.substr(0, 70), "SN-BOARD-0001", ""},
        {"cut in a string area", good.substr(0, 40), "SN-BOARD-0001", ""},
        {"length below the header", std::string("\x02\x02\x00\x00", 4) + good, "SN-BOARD-0001", ""},
        {"length past the end", std::string("\x02\xff\x02\x00\x01", 5), "SN-BOARD-0001", ""},
        {"processor cut at 0x1A, cache handles missing", type4Short, "SN-BOARD-0001", "SOCKET"},
        {"string numbers beyond the list",
         smbiosStructure(2, 2, {9, 9, 9, 9, 9, 0x1F, 9, 0, 0, 0x0A, 0}, {"only"}) +
             smbiosStructure(4, 4, std::vector<std::uint8_t>(44, 0xFF), {}),
         "SN-BOARD-0001", ""},
        {"no string terminator at all", good.substr(0, good.size() - 1) + "xyz", "SN-BOARD-0001",
         "U3E1"},
        {"empty table", "", "SN-BOARD-0001", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FixtureTree tree("laptop");
        makeLaptopRoot(tree, c.table);
        FixtureMachine machine(tree);
        const auto all = queryAll(machine);
        ASSERT_EQ(all.at("Win32_BaseBoard").size(), 1U);
        EXPECT_EQ(text(all.at("Win32_BaseBoard")[0], "SerialNumber"), c.boardSerial);
        ASSERT_EQ(all.at("Win32_Processor").size(), 1U);
        const auto& cpu = all.at("Win32_Processor")[0];
        EXPECT_EQ(text(cpu, "SocketDesignation"), c.socket);
        // The kernel's counts and caches stand whatever the table says.
        EXPECT_EQ(text(cpu, "NumberOfLogicalProcessors"), "4");
        EXPECT_EQ(text(cpu, "L3CacheSize"), "12288");
        if (std::string_view(c.socket) == "SOCKET") {
            EXPECT_EQ(text(cpu, "CurrentVoltage"), "12");
            EXPECT_TRUE(isNull(cpu, "Characteristics"));  // beyond the structure's length
            EXPECT_EQ(text(cpu, "ThreadCount"), "4");
        }
        const auto raw =
            machine.provider.query("ROOT\\wmi", "SELECT * FROM MSSmBios_RawSMBiosTables");
        if (c.table.empty()) {
            EXPECT_TRUE(raw.empty());
        } else {
            ASSERT_EQ(raw.size(), 1U);
            EXPECT_EQ(text(raw[0], "Size"), std::to_string(c.table.size()));
        }
    }
}

// ---- A network share that never answers ---------------------------------------------------

// The machine's own statvfs plumbing, with a share whose call blocks until the test ends.
class HangingShareSystem : public HostSystem {
public:
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        std::atomic<int> finished{0};
    };
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();

protected:
    StatvfsCall statvfsCall() override {
        return [gate = gate](const std::string& hostPath) {
            FsStats stats;
            if (hostPath.ends_with("/mnt/nas")) {
                std::unique_lock lock(gate->mutex);
                gate->opened.wait(lock, [&] { return gate->open; });
            } else {
                stats = {FsStats::State::Ok, 4096, 1000, 500, 400, 255};
            }
            ++gate->finished;
            return stats;
        };
    }
};

TEST(WmiStatvfsTimeout, AHungShareCostsOnlyItsSizesAndTheScanGoesOn) {
    FixtureTree tree("laptop");
    RootFs fs(tree.root());
    HangingShareSystem system;
    LinuxWmiProvider provider(fs, system);
    const auto start = std::chrono::steady_clock::now();
    const auto objects = provider.query("root\\cimv2", "SELECT * FROM Win32_LogicalDisk");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, kStatvfsTimeout - 100ms);
    EXPECT_LT(took, kStatvfsTimeout + 2s);
    ASSERT_EQ(objects.size(), 4U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(text(objects[i], "Size"), "4096000") << text(objects[i], "DeviceID");
        EXPECT_EQ(text(objects[i], "FreeSpace"), "1638400");
    }
    EXPECT_EQ(text(objects[3], "DeviceID"), "/mnt/nas");
    EXPECT_TRUE(isNull(objects[3], "Size"));
    EXPECT_TRUE(isNull(objects[3], "FreeSpace"));
    EXPECT_TRUE(isNull(objects[3], "MaximumComponentLength"));
    EXPECT_EQ(text(objects[3], "ProviderName"), "nas:/export");

    // The abandoned call may still answer later: it writes only into state it shares.
    {
        const std::lock_guard lock(system.gate->mutex);
        system.gate->open = true;
    }
    system.gate->opened.notify_all();
    for (int i = 0; i < 200 && system.gate->finished < 4; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(system.gate->finished, 4);
    std::this_thread::sleep_for(20ms);
}

// ---- Root-directory seam -----------------------------------------------------------------

TEST(RootFsResolve, LinksResolveInsideTheRoot) {
    FixtureTree tree("microvm");
    const RootFs fs(tree.mutableRoot());
    fs::create_symlink("/sys/devices/pci0000:00", tree.root() + "/abs");
    fs::create_symlink("../../../../..", tree.root() + "/sys/up");
    fs::create_symlink("self", tree.root() + "/sys/self");
    EXPECT_EQ(fs.resolve("/sys/block/vda"),
              std::optional<std::string>("/sys/devices/pci0000:00/0000:00:02.0/virtio1/block/vda"));
    EXPECT_EQ(fs.resolve("/abs/0000:00:02.0"),
              std::optional<std::string>("/sys/devices/pci0000:00/0000:00:02.0"));
    EXPECT_EQ(fs.resolve("/sys/up/etc"), std::optional<std::string>("/etc"));
    EXPECT_EQ(
        fs.resolve("/sys/./block/../block/vda/../nothing"),
        std::optional<std::string>("/sys/devices/pci0000:00/0000:00:02.0/virtio1/block/nothing"));
    EXPECT_EQ(fs.resolve("/sys/self"), std::nullopt);
}

// ---- Text helpers ------------------------------------------------------------------------

class FixedClockSystem : public HostSystem {
public:
    explicit FixedClockSystem(LocalTime t) : t_(t) {}
    std::optional<LocalTime> localTime(std::int64_t) override { return t_; }

private:
    LocalTime t_;
};

TEST(CimDateTime, OffsetInMinutesAlwaysThreeDigitsWithSign) {
    struct Case {
        LocalTime t;
        std::int32_t micros;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {{2023, 8, 4, 23, 3, 21, -300}, 499708, "20230804230321.499708-300"},
        {{2024, 3, 31, 3, 0, 0, 60}, 0, "20240331030000.000000+060"},
        {{1999, 12, 31, 23, 59, 59, 0}, 999999, "19991231235959.999999+000"},
        {{2024, 1, 1, 0, 0, 0, 345}, 0, "20240101000000.000000+345"},
        {{2024, 1, 1, 0, 0, 0, -45}, 0, "20240101000000.000000-045"},
        {{12024, 1, 1, 0, 0, 0, 0}, 0, std::nullopt},
        {{2024, 1, 1, 0, 0, 0, 0}, 1000000, std::nullopt},
    };
    for (const auto& c : cases) {
        FixedClockSystem system(c.t);
        EXPECT_EQ(linuxwmi::cimDateTime(system, 0, c.micros), c.text);
    }
}

TEST(TextHelpers, CpuListsKernelNamesAndEscapes) {
    using linuxwmi::parseCpuList;
    EXPECT_EQ(parseCpuList("0-3,8-9"), (std::vector<unsigned>{0, 1, 2, 3, 8, 9}));
    EXPECT_EQ(parseCpuList("5\n"), (std::vector<unsigned>{5}));
    EXPECT_EQ(parseCpuList(""), std::vector<unsigned>{});
    for (const char* bad : {"3-1", "0-", "-1", "a", "0,,1", "0-65536", "1 2"})
        EXPECT_EQ(parseCpuList(bad), std::nullopt) << bad;

    std::vector<std::string> names = {"sdaa",    "sdb", "nvme10n1", "sda",
                                      "nvme2n1", "vda", "nvme2n10"};
    std::sort(names.begin(), names.end(), linuxwmi::naturalLess);
    EXPECT_EQ(names, (std::vector<std::string>{"nvme2n1", "nvme2n10", "nvme10n1", "sda", "sdaa",
                                               "sdb", "vda"}));
    // Disks of one family in the kernel's order: sdz before sdaa.
    std::vector<std::string> disks = {"sdaa",     "vdb", "sdb",     "mmcblk0", "sdz",
                                      "nvme10n1", "sda", "nvme2n1", "xvda",    "vda"};
    std::sort(disks.begin(), disks.end(), linuxwmi::diskNameLess);
    EXPECT_EQ(disks, (std::vector<std::string>{"mmcblk0", "nvme2n1", "nvme10n1", "sda", "sdb",
                                               "sdz", "sdaa", "vda", "vdb", "xvda"}));

    EXPECT_EQ(linuxwmi::octalUnescape("/media/My\\040Disk\\134x\\0"), "/media/My Disk\\x\\0");
    EXPECT_EQ(linuxwmi::udevUnescape("My\\x20Stick\\x2f\\xZZ\\x2"), "My Stick/\\xZZ\\x2");
    EXPECT_EQ(linuxwmi::parseRoundedDecimal("2445.5"), std::optional<std::uint64_t>(2446));
    EXPECT_EQ(linuxwmi::parseRoundedDecimal("2445.4999"), std::optional<std::uint64_t>(2445));
    EXPECT_EQ(linuxwmi::parseRoundedDecimal("-1"), std::nullopt);
    EXPECT_EQ(linuxwmi::parseHex("0x0c0330\n"), std::optional<std::uint64_t>(0x0c0330));
    EXPECT_EQ(linuxwmi::parseHex("0x"), std::nullopt);
}

}  // namespace
}  // namespace gravelin::testing
