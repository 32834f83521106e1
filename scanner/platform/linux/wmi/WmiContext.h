// What the Linux WMI classes share during one run: the root-directory seam, the system
// seam, and readings several classes use (mount table, cpuinfo, counter samples, the raw
// SMBIOS table, PCI names), each read once on first use.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/platform/linux/RootFs.h"
#include "scanner/platform/linux/wmi/LinuxSystem.h"
#include "scanner/smbios/Smbios.h"

namespace gravelin::linuxwmi {

// One line of /proc/self/mountinfo.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;        // the mounted directory within its file system
    std::string mountPoint;  // escapes decoded
    std::string options;     // per-mount options
    std::string fsType;
    std::string source;  // escapes decoded
    std::string superOptions;
};
std::vector<MountEntry> parseMountInfo(std::string_view text);

// /proc/cpuinfo: one field map per "processor" block, in file order.
struct CpuInfo {
    using Fields = std::map<std::string, std::string, std::less<>>;
    std::vector<Fields> blocks;
    // The block whose "processor" field is n; else nothing.
    [[nodiscard]] const Fields* processor(unsigned n) const;
    // The first block, or nothing.
    [[nodiscard]] const Fields* first() const;
};
CpuInfo parseCpuInfo(std::string_view text);
// A field of a block, or nothing.
std::optional<std::string> cpuField(const CpuInfo::Fields* block, std::string_view key);
// The words of the "flags" field (x86), empty when absent.
std::vector<std::string> cpuFlags(const CpuInfo::Fields* block);

// The two samples of the rate counters and the seconds between them.
struct CounterSamples {
    std::optional<std::string> stat1, stat2;      // /proc/stat
    std::optional<std::string> vmstat1, vmstat2;  // /proc/vmstat
    double seconds = 0;
};

// The raw SMBIOS table as sysfs holds it, with its entry point's version and its
// structures as the SMBIOS walk finds them.
class SmbiosTable {
public:
    SmbiosTable(std::string entryPoint, std::string table);
    SmbiosTable(const SmbiosTable&) = delete;
    SmbiosTable& operator=(const SmbiosTable&) = delete;

    [[nodiscard]] const std::string& entryPoint() const { return entryPoint_; }
    [[nodiscard]] const std::string& table() const { return table_; }
    [[nodiscard]] std::uint8_t majorVersion() const { return version_.major; }
    [[nodiscard]] std::uint8_t minorVersion() const { return version_.minor; }
    [[nodiscard]] std::uint8_t dmiRevision() const { return version_.revision; }
    [[nodiscard]] std::vector<const TableStructure*> ofType(std::uint8_t type) const {
        return structures_.ofType(type);
    }
    [[nodiscard]] const TableStructure* byHandle(std::uint16_t handle) const {
        return structures_.byHandle(handle);
    }

private:
    std::string entryPoint_;
    std::string table_;
    EntryPointVersion version_;
    StructureTable structures_;  // views into table_
};

// Names of PCI vendors and devices from pci.ids.
class PciNames {
public:
    explicit PciNames(std::optional<std::string> pciIds) : text_(std::move(pciIds)) {}
    [[nodiscard]] std::optional<std::string> vendor(std::uint16_t vendor) const;
    [[nodiscard]] std::optional<std::string> device(std::uint16_t vendor,
                                                    std::uint16_t device) const;

private:
    // Offset of the vendor's line, or npos.
    [[nodiscard]] std::size_t vendorLine(std::uint16_t vendor) const;
    std::optional<std::string> text_;
};

class WmiContext {
public:
    WmiContext(const RootFs& fs, LinuxSystem& system) : fs_(fs), system_(system) {}

    [[nodiscard]] const RootFs& fs() const { return fs_; }
    [[nodiscard]] LinuxSystem& system() const { return system_; }

    // The whole file (at most 1 MiB unless said otherwise).
    [[nodiscard]] std::optional<std::string> read(std::string_view path,
                                                  std::size_t limit = 1U << 20) const;
    // The first line, trimmed; nothing when missing, unreadable or blank.
    [[nodiscard]] std::optional<std::string> value(std::string_view path) const;
    [[nodiscard]] std::optional<std::uint64_t> number(std::string_view path) const;
    [[nodiscard]] std::optional<std::uint64_t> hexNumber(std::string_view path) const;
    // As value(), for files only root may read.
    [[nodiscard]] std::optional<std::string> privilegedValue(std::string_view path) const;
    // The last component of a symbolic link's target.
    [[nodiscard]] std::optional<std::string> linkName(std::string_view path) const;
    [[nodiscard]] std::string resolve(std::string_view path) const;

    // Host name, short form (up to the first dot).
    const std::string& hostName();
    const UnameInfo& uname();
    bool is64BitOs();
    const std::vector<MountEntry>& mounts();
    const CpuInfo& cpuInfo();
    // Taken on first use: the first reading (from program start when there is one), then,
    // once the sample interval has passed since it, the second.
    const CounterSamples& samples();
    // The raw table when its files exist and may be read; nullptr otherwise.
    const SmbiosTable* smbios();
    const PciNames& pciNames();
    // udev database properties of a device ("b8:0", "+pci:0000:00:14.0").
    std::map<std::string, std::string, std::less<>> udev(std::string_view deviceKey) const;

    // A block device by number, from /sys/dev/block (e.g. 259:2 -> nvme0n1p2 on nvme0n1).
    struct BlockDevice {
        std::string name;      // kernel name
        std::string diskName;  // the whole disk (the device itself when not a partition)
        std::string diskPath;  // resolved sysfs directory of the whole disk
    };
    [[nodiscard]] std::optional<BlockDevice> blockDevice(unsigned major, unsigned minor) const;

private:
    const RootFs& fs_;
    LinuxSystem& system_;
    std::optional<std::string> hostName_;
    std::optional<UnameInfo> uname_;
    std::optional<std::vector<MountEntry>> mounts_;
    std::optional<CpuInfo> cpuInfo_;
    std::optional<CounterSamples> samples_;
    bool smbiosRead_ = false;
    std::unique_ptr<SmbiosTable> smbios_;
    std::unique_ptr<PciNames> pciNames_;
};

// SMBIOS table paths; both files are readable by root only.
inline constexpr std::string_view kSmbiosEntryPointPath =
    "/sys/firmware/dmi/tables/smbios_entry_point";
inline constexpr std::string_view kSmbiosTablePath = "/sys/firmware/dmi/tables/DMI";

}  // namespace gravelin::linuxwmi
