// The survey's one value per dimension: processor names as firmware and Windows write them,
// memory and disk sizes at their bucket edges, module types, disk kinds, enclosures, the
// failed classes of an error text, and "unknown" wherever a report is silent.
#include <gtest/gtest.h>

#include <string>

#include "reading/SurveyFacets.h"
#include "shared/Vocabulary.h"

namespace gravelin::report::survey {
namespace {

constexpr std::uint64_t GiB = 1ULL << 30;

struct Named {
    const char* given;
    const char* expected;
};

TEST(SurveyFacets, ProcessorModelIsOneValuePerModel) {
    // Type 4 versions of the real tables and Win32_Processor names.
    const Named cases[] = {
        {"Intel(R) Xeon(R) CPU E3-1225 v5 @ 3.30GHz   ", "Intel Xeon E3-1225 v5"},
        {"Intel(R) Xeon(R) Silver 4114 CPU @ 2.20GHz", "Intel Xeon Silver 4114"},
        {"Intel(R) Core(TM) i7-7Y75 CPU @ 1.30GHz", "Intel Core i7-7Y75"},
        {"Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", "Intel Core2 Duo E8400"},
        {"Genuine Intel(R) CPU @ 3.10GH                  ", "Genuine Intel"},  // cut short
        {"Celeron(TM)                  ", "Celeron"},
        {"Pentium(R) 4                 ", "Pentium 4"},
        {"AMD Opteron(tm) Processor 6174                      ", "AMD Opteron 6174"},
        {"AMD Athlon(tm) II X2 240 Processor", "AMD Athlon II X2 240"},
        {"AMD Ryzen 7 5800X 8-Core Processor", "AMD Ryzen 7 5800X 8-Core"},
        {"Intel(r) Pentium(r) CPU G4560 @ 3.50GHz", "Intel Pentium G4560"},
        {"Intel\u00AE Core\u2122 i5-1135G7", "Intel Core i5-1135G7"},
        {"Intel(R) N100", "Intel N100"},
        {"pc-i440fx-7.2", "pc-i440fx-7.2"},  // QEMU names its machine type
        {"CPU-Z Test", "CPU-Z Test"},        // "CPU" inside a word stays
        {"Not Specified", ""},
        {"   ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(processorModel(c.given), c.expected) << c.given;
}

TEST(SurveyFacets, ProcessorMakerJoinsTheSpellingsOfOneMaker) {
    const Named cases[] = {
        {"GenuineIntel", "Intel"},
        {"Intel(R) Corporation", "Intel"},
        {"Intel            ", "Intel"},
        {"AuthenticAMD", "AMD"},
        {"AMD              ", "AMD"},
        {"Advanced Micro Devices, Inc.", "AMD"},
        {"QEMU", "QEMU"},
        {"Not Specified", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(processorMaker(c.given), c.expected) << c.given;
}

TEST(SurveyFacets, MemoryTotalBucketsByInstalledOrVisibleSize) {
    struct Case {
        std::uint64_t bytes;
        bool visibleOnly;
        const char* expected;
    };
    const Case cases[] = {
        {16 * GiB, false, "16 GiB"},
        {12 * GiB, false, "8 GiB"},                       // 8 + 4 installed: at least 8, under 16
        {16 * GiB - 100 * (1ULL << 20), false, "8 GiB"},  // installed is exact
        {16 * GiB - 100 * (1ULL << 20), true, "16 GiB"},  // visible: firmware keeps some
        {15 * GiB, true, "16 GiB"},
        {13 * GiB, true, "8 GiB"},  // too little of 16 to be 16 installed
        {4 * GiB, false, "4 GiB"},
        {4 * GiB - 1, false, "under 4 GiB"},
        {1 * GiB, false, "under 4 GiB"},
        {255 * GiB, false, "128 GiB"},
        {256 * GiB, false, "256 GiB or more"},
        {1024 * GiB, false, "256 GiB or more"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(memoryTotalBucket(c.bytes, c.visibleOnly), c.expected)
            << c.bytes << (c.visibleOnly ? " visible" : " installed");
    }
}

TEST(SurveyFacets, DiskTotalBucketsAsMakersCount) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {500105249280, "512 GB"},  // a "500 GB" disk
        {512110190592, "512 GB"},
        {480103981056, "512 GB"},
        {960197124096, "1 TB"},
        {1000204886016, "1 TB"},
        {120034123776, "128 GB"},
        {100000000000, "under 128 GB"},
        {500105249280 + 2000396321280, "2 TB"},
        {16000900661248, "16 TB or more"},
        {256060514304, "256 GB"},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(diskTotalBucket(bytes), expected) << bytes;
}

TEST(SurveyFacets, DiskKindFromInterfaceIdsAndModel) {
    struct Case {
        DiskSummary disk;
        const char* expected;
    };
    const auto disk = [](std::string model, std::string interface, std::string deviceId = {},
                         std::string pnp = {}) {
        DiskSummary d;
        d.model = std::move(model);
        d.interfaceType = std::move(interface);
        d.deviceId = std::move(deviceId);
        d.pnpDeviceId = std::move(pnp);
        return d;
    };
    const Case cases[] = {
        // Windows: an NVMe disk is "SCSI" with the vendor NVMe in its Plug and Play ID,
        // whatever its model says.
        {disk("Samsung SSD 970 EVO Plus 1TB", "SCSI", "\\\\.\\PHYSICALDRIVE0",
              "SCSI\\DISK&VEN_NVME&PROD_SAMSUNG_SSD_970\\5&1B4C4D2&0&000000"),
         "NVMe"},
        {disk("SAMSUNG MZVLB512HAJQ-000L7", "SCSI"), "NVMe"},
        {disk("INTEL SSDPEKNW512G8", "SCSI"), "NVMe"},
        {disk("KBG40ZNS256G NVMe KIOXIA 256GB", "SCSI"), "NVMe"},
        // Linux: the namespace's device.
        {disk("WD_BLACK SN770 1TB", "SCSI", "/dev/nvme0n1"), "NVMe"},
        {disk("Samsung SSD 860 EVO 500GB", "SCSI"), "SSD"},
        {disk("SAMSUNG MZ7LN256HMJP-000L7", "IDE"), "SSD"},
        {disk("WDC WDS500G2B0A-00SM50", "IDE"), "other"},  // nothing says SSD or a disk family
        {disk("ST2000DM008-2FR102", "IDE"), "HDD"},
        {disk("WDC WD10EZEX-08WN4A0", "IDE"), "HDD"},
        {disk("TOSHIBA MQ01ABD100", "IDE"), "HDD"},
        {disk("HGST HTS721010A9E630", "IDE"), "HDD"},
        {disk("Samsung SSD T7 USB Device", "USB"), "other"},  // external
        {disk("SD Card", "SCSI", "/dev/mmcblk0"), "other"},
        {disk("QEMU HARDDISK", "IDE"), "other"},
        {disk("", ""), "other"},
    };
    for (const auto& c : cases) EXPECT_EQ(diskKind(c.disk), c.expected) << c.disk.model;
}

TEST(SurveyFacets, EnclosureClasses) {
    const Named cases[] = {
        {"Desktop", "desktop"},
        {"Mini Tower", "desktop"},
        {"Notebook", "laptop"},
        {"Convertible", "laptop"},
        {"Tablet", "tablet"},
        {"Rack Mount Chassis", "server"},
        {"Main Server Chassis (chassis lock present)", "server"},
        {"Multi-system chassis", "server"},
        {"Embedded PC", "embedded"},
        {"Other", "other"},
        {"Unknown", "unknown"},  // what the table says for codes it does not list, too
        {"", "unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(enclosureClass(c.given), c.expected) << c.given;
}

TEST(SurveyFacets, FailedClassesOfAnErrorText) {
    using vocabulary::kEntryEnd;
    using vocabulary::kNoDataEntry;
    using vocabulary::kNoSmbiosEntry;
    using vocabulary::kSkippedNameEntry;
    const auto noData = [](std::string line) {
        return std::string(kNoDataEntry) + line + std::string(kEntryEnd);
    };
    EXPECT_EQ(failedClasses(""), "none");
    EXPECT_EQ(failedClasses(noData("SELECT * FROM Win32_Processor") +
                            noData("SELECT * FROM Win32_DiskDrive") +
                            noData("SELECT * FROM Win32_Processor")),
              "Win32_DiskDrive, Win32_Processor");  // sorted, once each
    EXPECT_EQ(failedClasses(std::string(kNoSmbiosEntry) +
                            noData("SELECT * FROM SMBIOS_Type017_MemoryDevice")),
              "SMBIOS table, SMBIOS_Type017_MemoryDevice");
    // A skipped name is no failed class; a text cut short still names its class.
    EXPECT_EQ(failedClasses(std::string(kSkippedNameEntry) + "1bad" + std::string(kEntryEnd) +
                            std::string(kNoDataEntry) + "select Name from Win32_BaseBoard\""),
              "Win32_BaseBoard");
}

Summary windowsLaptop() {
    Summary s;
    s.maker = "LENOVO";
    s.model = "20L8S07A14";
    s.enclosureType = "Notebook";
    ProcessorSummary cpu;
    cpu.model = "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz";
    cpu.maker = "GenuineIntel";
    s.processors = {cpu};
    s.cores = 4;
    s.threads = 8;
    MemorySlotSummary module;
    module.empty = false;
    module.sizeBytes = 8 * GiB;
    module.type = "DDR4";
    module.speedMTs = 2400;
    MemorySlotSummary slower = module;
    slower.speedMTs = 2133;
    MemorySlotSummary empty;
    empty.type = "Unknown";
    s.memory = {module, slower, empty};
    s.memoryVisibleBytes = 16 * GiB - 300 * (1ULL << 20);
    DiskSummary disk;
    disk.model = "SAMSUNG MZVLB512HAJQ-000L7";
    disk.interfaceType = "SCSI";
    disk.sizeBytes = 512110190592;
    DiskSummary usb;
    usb.model = "Generic USB Flash";
    usb.interfaceType = "USB";
    s.disks = {usb, disk};
    s.os = "Microsoft Windows 11 Pro";
    s.osVersion = "10.0.22631";
    s.programName = "gravelin-scanner";
    s.programVersion = "1.2.3.4";
    return s;
}

TEST(SurveyFacets, OneValuePerDimensionOfAWholeSummary) {
    const Facets f = facetsOf(windowsLaptop());
    const std::pair<Dimension, const char*> expected[] = {
        {Dimension::Os, "Windows 11 Pro 10.0.22631"},
        {Dimension::ProcessorMaker, "Intel"},
        {Dimension::ProcessorModel, "Intel Core i7-8650U"},
        {Dimension::Cores, "4"},
        {Dimension::Threads, "8"},
        {Dimension::MemoryTotal, "16 GiB"},
        {Dimension::MemoryType, "DDR4"},
        {Dimension::MemorySpeed, "2133 MT/s"},  // the slowest module's
        {Dimension::MemorySlotsFree, "1"},
        {Dimension::DiskCount, "2"},
        {Dimension::DiskTotal, "512 GB"},
        {Dimension::DiskKind, "NVMe"},  // the best kind the machine has
        {Dimension::Maker, "LENOVO"},
        {Dimension::Model, "20L8S07A14"},
        {Dimension::Enclosure, "laptop"},
        {Dimension::ScannerVersion, "1.2.3.4"},
        {Dimension::ScanErrors, "none"},
    };
    static_assert(std::size(expected) == kDimensionCount);
    for (const auto& [dimension, value] : expected)
        EXPECT_EQ(facet(f, dimension), value) << dimensionName(dimension);
}

TEST(SurveyFacets, EveryDimensionOfAnEmptySummaryIsUnknown) {
    const Facets f = facetsOf(Summary{});
    for (std::size_t i = 0; i < kDimensionCount; ++i)
        EXPECT_EQ(f[i], kUnknown) << kDimensionNames[i];
}

TEST(SurveyFacets, MixedAndPartlyKnownParts) {
    Summary s = windowsLaptop();
    // Two sockets of one model are one value; of two models, "mixed".
    ProcessorSummary second = s.processors[0];
    second.model = "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz   ";
    second.maker = "Intel(R) Corporation";
    s.processors.push_back(second);
    EXPECT_EQ(facet(facetsOf(s), Dimension::ProcessorModel), "Intel Core i7-8650U");
    EXPECT_EQ(facet(facetsOf(s), Dimension::ProcessorMaker), "Intel");
    s.processors[1].model = "Intel(R) Xeon(R) CPU E5-2630 v3 @ 2.40GHz";
    EXPECT_EQ(facet(facetsOf(s), Dimension::ProcessorModel), kMixed);

    // Module types: "Unknown" says nothing; two real types are "mixed".
    s.memory[1].type = "Unknown";
    EXPECT_EQ(facet(facetsOf(s), Dimension::MemoryType), "DDR4");
    s.memory[1].type = "DDR5";
    EXPECT_EQ(facet(facetsOf(s), Dimension::MemoryType), kMixed);

    // No module sizes: the visible memory decides, with its allowance.
    for (auto& slot : s.memory) slot.sizeBytes.reset();
    EXPECT_EQ(facet(facetsOf(s), Dimension::MemoryTotal), "16 GiB");
    // No slots listed at all: slots and type are unknown, not "0".
    s.memory.clear();
    EXPECT_EQ(facet(facetsOf(s), Dimension::MemorySlotsFree), kUnknown);
    EXPECT_EQ(facet(facetsOf(s), Dimension::MemoryType), kUnknown);
    EXPECT_EQ(facet(facetsOf(s), Dimension::MemorySpeed), kUnknown);

    // Placeholders are no maker or model; Linux names its release already.
    s.maker = "To Be Filled By O.E.M.";
    s.model = "System Product Name";
    s.os = "Debian GNU/Linux 12 (bookworm)";
    s.osVersion = "12";
    const Facets f = facetsOf(s);
    EXPECT_EQ(facet(f, Dimension::Maker), kUnknown);
    EXPECT_EQ(facet(f, Dimension::Model), kUnknown);
    EXPECT_EQ(facet(f, Dimension::Os), "Debian GNU/Linux 12 (bookworm)");
}

TEST(SurveyFacets, DimensionNamesRoundTrip) {
    for (std::size_t i = 0; i < kDimensionCount; ++i) {
        const auto dimension = static_cast<Dimension>(i);
        EXPECT_EQ(dimensionNamed(dimensionName(dimension)), dimension);
    }
    EXPECT_FALSE(dimensionNamed("memory"));
}

}  // namespace
}  // namespace gravelin::report::survey
