// The live machine: the WMI classes answered from this machine's /proc and /sys, compared
// with independent readings (nproc, /proc/meminfo read directly, df, lsblk), and the whole
// scanner run end to end with its sealed report opened again.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "WmiFixture.h"

namespace gravelin::testing {
namespace {

// Standard output of a shell command, or nothing when it failed.
std::optional<std::string> run(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    const int status = ::pclose(pipe);
    if (status != 0) return std::nullopt;
    return out;
}

std::uint64_t number(const std::string& text) {
    return std::stoull(text);
}

class LiveTest : public ::testing::Test {
protected:
    RootFs fs{"/"};
    HostSystem system;
    LinuxWmiProvider provider{fs, system};

    std::vector<WmiObject> query(const std::string& wmiClass) {
        return provider.query("root\\cimv2", "SELECT * FROM " + wmiClass);
    }
};

TEST_F(LiveTest, LogicalProcessorsMatchNproc) {
    const auto nproc = run("nproc");
    if (!nproc) GTEST_SKIP() << "nproc is not available";
    const auto processors = query("Win32_Processor");
    ASSERT_FALSE(processors.empty());
    std::uint64_t logical = 0;
    for (std::size_t i = 0; i < processors.size(); ++i) {
        EXPECT_EQ(text(processors[i], "DeviceID"), "CPU" + std::to_string(i));
        logical += number(text(processors[i], "NumberOfLogicalProcessors"));
        EXPECT_FALSE(isNull(processors[i], "Caption"));
        EXPECT_FALSE(isNull(processors[i], "MaxClockSpeed"));
    }
    EXPECT_EQ(logical, number(*nproc));
}

TEST_F(LiveTest, TotalVisibleMemoryIsMemTotal) {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t memTotal = 0;
    while (meminfo >> key) {
        if (key == "MemTotal:") {
            meminfo >> memTotal;
            break;
        }
        meminfo.ignore(1 << 16, '\n');
    }
    ASSERT_GT(memTotal, 0U);
    const auto os = query("Win32_OperatingSystem");
    ASSERT_EQ(os.size(), 1U);
    EXPECT_EQ(text(os[0], "TotalVisibleMemorySize"), std::to_string(memTotal));
    EXPECT_LE(number(text(os[0], "FreePhysicalMemory")), memTotal);
    const auto memory = query("Win32_PerfFormattedData_PerfOS_Memory");
    ASSERT_EQ(memory.size(), 1U);
    EXPECT_FALSE(isNull(memory[0], "PageFaultsPersec"));  // two real samples were taken
}

TEST_F(LiveTest, RootFileSystemSizeAndFreeSpaceMatchDf) {
    const auto df = run("df -B1 --output=size,avail /");
    if (!df) GTEST_SKIP() << "df is not available";
    std::istringstream lines(*df);
    std::string header;
    std::getline(lines, header);
    std::uint64_t size = 0;
    std::uint64_t avail = 0;
    ASSERT_TRUE(lines >> size >> avail) << *df;
    const auto disks = query("Win32_LogicalDisk");
    ASSERT_FALSE(disks.empty());
    ASSERT_EQ(text(disks[0], "DeviceID"), "/");
    EXPECT_EQ(text(disks[0], "Size"), std::to_string(size));
    // Others write to the disk meanwhile: free space agrees within 1 GiB.
    const std::uint64_t free = number(text(disks[0], "FreeSpace"));
    const std::uint64_t gap = free > avail ? free - avail : avail - free;
    EXPECT_LT(gap, 1ULL << 30) << free << " vs df " << avail;
}

TEST_F(LiveTest, DiskDrivesAreLsblksPhysicalDisks) {
    const auto lsblk = run("lsblk -b -d -n -o NAME,SIZE,TYPE");
    if (!lsblk) GTEST_SKIP() << "lsblk is not available";
    std::map<std::string, std::uint64_t> expected;
    std::istringstream lines(*lsblk);
    std::string name, type;
    std::uint64_t size = 0;
    while (lines >> name >> size >> type) {
        // Virtual block devices are no disk drives.
        if (type != "disk" || name.starts_with("loop") || name.starts_with("zram") ||
            name.starts_with("ram") || name.starts_with("nbd"))
            continue;
        expected["/dev/" + name] = size;
    }
    const auto disks = query("Win32_DiskDrive");
    std::map<std::string, std::uint64_t> found;
    for (std::size_t i = 0; i < disks.size(); ++i) {
        EXPECT_EQ(text(disks[i], "Index"), std::to_string(i));
        const std::string sizeText = text(disks[i], "Size");
        found[text(disks[i], "DeviceID")] = sizeText.empty() ? 0 : number(sizeText);
    }
    ASSERT_EQ(found.size(), expected.size()) << *lsblk;
    for (const auto& [device, bytes] : expected) {
        ASSERT_TRUE(found.contains(device)) << device;
        // Whole cylinders of 255 x 63 x 512 bytes, at most one cylinder less than the disk.
        EXPECT_LE(found[device], bytes) << device;
        EXPECT_LT(bytes - found[device], 255ULL * 63 * 4096) << device;
    }
}

TEST(LiveScan, TheScannerReportsThisMachinesClasses) {
    char pattern[] = "/tmp/gravelin-live-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    // No browser: a PATH without xdg-open.
    const std::string command = "cd " + dir +
                                " && env PATH=/nonexistent " GRAVELIN_SCANNER_EXE
                                " && " GRAVELIN_REPORT_EXE " unseal gravelin-scanner.html";
    const auto report = run(command);
    fs::remove_all(dir);
    ASSERT_TRUE(report.has_value());
    const auto nproc = run("nproc");
    for (const char* node : {"<Win32_Processor>", "<Win32_OperatingSystem>",
                             "<Win32_PerfFormattedData_PerfOS_Memory>", "<Win32_LogicalDisk>"})
        EXPECT_NE(report->find(node), std::string::npos) << node;
    if (nproc) {
        const std::string logical =
            "NumberOfLogicalProcessors=\"" + std::to_string(number(*nproc)) + " \"";
        EXPECT_NE(report->find(logical), std::string::npos);
    }
}

}  // namespace
}  // namespace gravelin::testing
