#include "scanner/platform/linux/wmi/WmiContext.h"

#include <algorithm>
#include <cstdio>

#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

// ---- mountinfo ---------------------------------------------------------------------------

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> mounts;
    for (const auto line : splitLines(text)) {
        const auto words = splitWords(line);
        // id, parent, major:minor, root, mount point, options, [optional...], "-", type, source
        if (words.size() < 9) continue;
        std::size_t separator = 6;
        while (separator < words.size() && words[separator] != "-") ++separator;
        if (separator + 2 >= words.size()) continue;
        const auto numbers = words[2];
        const auto colon = numbers.find(':');
        if (colon == std::string_view::npos) continue;
        const auto major = parseUnsigned(numbers.substr(0, colon));
        const auto minor = parseUnsigned(numbers.substr(colon + 1));
        if (!major || !minor || *major > 0xFFFFFFFFU || *minor > 0xFFFFFFFFU) continue;
        MountEntry entry;
        entry.major = static_cast<unsigned>(*major);
        entry.minor = static_cast<unsigned>(*minor);
        entry.root = octalUnescape(words[3]);
        entry.mountPoint = octalUnescape(words[4]);
        entry.options = std::string(words[5]);
        entry.fsType = std::string(words[separator + 1]);
        entry.source = octalUnescape(words[separator + 2]);
        if (separator + 3 < words.size()) entry.superOptions = std::string(words[separator + 3]);
        if (!entry.mountPoint.starts_with('/')) continue;
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

// ---- cpuinfo -----------------------------------------------------------------------------

CpuInfo parseCpuInfo(std::string_view text) {
    CpuInfo info;
    CpuInfo::Fields block;
    const auto flush = [&] {
        if (!block.empty()) info.blocks.push_back(std::move(block));
        block.clear();
    };
    for (const auto line : splitLines(text)) {
        if (trimmed(line).empty()) {
            flush();
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string key(trimmed(line.substr(0, colon)));
        if (key.empty()) continue;
        // A second "processor" line without a blank line between starts a new block.
        if (key == "processor" && block.contains(key)) flush();
        block.emplace(key, std::string(trimmed(line.substr(colon + 1))));
    }
    flush();
    return info;
}

const CpuInfo::Fields* CpuInfo::processor(unsigned n) const {
    for (const auto& block : blocks) {
        const auto it = block.find("processor");
        if (it == block.end()) continue;
        if (const auto number = parseUnsigned(it->second); number && *number == n) return &block;
    }
    return nullptr;
}

const CpuInfo::Fields* CpuInfo::first() const {
    return blocks.empty() ? nullptr : &blocks.front();
}

std::optional<std::string> cpuField(const CpuInfo::Fields* block, std::string_view key) {
    if (block == nullptr) return std::nullopt;
    const auto it = block->find(key);
    if (it == block->end() || it->second.empty()) return std::nullopt;
    return it->second;
}

std::vector<std::string> cpuFlags(const CpuInfo::Fields* block) {
    std::vector<std::string> flags;
    if (const auto text = cpuField(block, "flags")) {
        for (const auto word : splitWords(*text)) flags.emplace_back(word);
    }
    return flags;
}

// ---- SMBIOS ------------------------------------------------------------------------------

SmbiosTable::SmbiosTable(std::string entryPoint, std::string table)
    : entryPoint_(std::move(entryPoint)),
      table_(std::move(table)),
      version_(entryPointVersion(entryPoint_)),
      structures_({reinterpret_cast<const std::uint8_t*>(table_.data()), table_.size()}) {}

// ---- pci.ids -----------------------------------------------------------------------------

std::size_t PciNames::vendorLine(std::uint16_t vendor) const {
    if (!text_) return std::string::npos;
    char key[8];
    std::snprintf(key, sizeof key, "%04x  ", vendor);
    const std::string_view text = *text_;
    if (text.starts_with(key)) return 0;
    const auto at = text.find(std::string("\n") + key);
    return at == std::string_view::npos ? std::string::npos : at + 1;
}

std::optional<std::string> PciNames::vendor(std::uint16_t vendor) const {
    const auto at = vendorLine(vendor);
    if (at == std::string::npos) return std::nullopt;
    const std::string_view text = *text_;
    auto end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    return nonEmpty(std::string(text.substr(at + 6, end - at - 6)));
}

std::optional<std::string> PciNames::device(std::uint16_t vendor, std::uint16_t device) const {
    auto at = vendorLine(vendor);
    if (at == std::string::npos) return std::nullopt;
    const std::string_view text = *text_;
    char key[8];
    std::snprintf(key, sizeof key, "\t%04x  ", device);
    at = text.find('\n', at);
    while (at != std::string_view::npos && at + 1 < text.size()) {
        const std::size_t line = at + 1;
        auto end = text.find('\n', line);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view content = text.substr(line, end - line);
        if (!content.empty() && content.front() != '\t' && content.front() != '#') break;
        if (content.starts_with(key)) return nonEmpty(std::string(content.substr(7)));
        at = end < text.size() ? end : std::string_view::npos;
    }
    return std::nullopt;
}

// ---- context -----------------------------------------------------------------------------

std::optional<std::string> WmiContext::read(std::string_view path, std::size_t limit) const {
    return fs_.read(path, limit);
}

std::optional<std::string> WmiContext::value(std::string_view path) const {
    auto text = fs_.read(path, 1U << 16);
    if (!text) return std::nullopt;
    const auto end = text->find('\n');
    if (end != std::string::npos) text->resize(end);
    return nonEmpty(std::move(text));
}

std::optional<std::uint64_t> WmiContext::number(std::string_view path) const {
    const auto text = value(path);
    return text ? parseUnsigned(*text) : std::nullopt;
}

std::optional<std::uint64_t> WmiContext::hexNumber(std::string_view path) const {
    const auto text = value(path);
    return text ? parseHex(*text) : std::nullopt;
}

std::optional<std::string> WmiContext::privilegedValue(std::string_view path) const {
    if (system_.denies(path)) return std::nullopt;
    return value(path);
}

std::optional<std::string> WmiContext::linkName(std::string_view path) const {
    auto target = fs_.readLink(path);
    if (!target) return std::nullopt;
    while (!target->empty() && target->back() == '/') target->pop_back();
    const auto slash = target->rfind('/');
    if (slash != std::string::npos) target->erase(0, slash + 1);
    if (target->empty()) return std::nullopt;
    return target;
}

std::string WmiContext::resolve(std::string_view path) const {
    auto resolved = fs_.resolve(path);
    return resolved ? *resolved : std::string(path);
}

const std::string& WmiContext::hostName() {
    if (!hostName_) {
        std::string name = system_.hostName();
        if (const auto dot = name.find('.'); dot != std::string::npos && dot > 0) name.resize(dot);
        hostName_ = name;
    }
    return *hostName_;
}

const UnameInfo& WmiContext::uname() {
    if (!uname_) uname_ = system_.uname();
    return *uname_;
}

bool WmiContext::is64BitOs() {
    const std::string& machine = uname().machine;
    return machine == "x86_64" || machine == "aarch64" || machine == "arm64" ||
           machine.starts_with("ppc64") || machine == "s390x" || machine == "riscv64" ||
           machine == "loongarch64" || machine == "mips64" || machine == "sparc64" ||
           machine == "alpha" || machine == "ia64";
}

const std::vector<MountEntry>& WmiContext::mounts() {
    if (!mounts_) {
        const auto text = fs_.read("/proc/self/mountinfo", 4U << 20);
        mounts_ = text ? parseMountInfo(*text) : std::vector<MountEntry>{};
    }
    return *mounts_;
}

const CpuInfo& WmiContext::cpuInfo() {
    if (!cpuInfo_) {
        const auto text = fs_.read("/proc/cpuinfo", 16U << 20);
        cpuInfo_ = text ? parseCpuInfo(*text) : CpuInfo{};
    }
    return *cpuInfo_;
}

const CounterSamples& WmiContext::samples() {
    if (!samples_) {
        CounterReading first = system_.firstCounterReading(fs_);
        CounterReading second = system_.secondCounterReading(fs_, first);
        CounterSamples samples;
        samples.stat1 = std::move(first.stat);
        samples.vmstat1 = std::move(first.vmstat);
        samples.stat2 = std::move(second.stat);
        samples.vmstat2 = std::move(second.vmstat);
        samples.seconds = second.seconds - first.seconds;
        samples_ = std::move(samples);
    }
    return *samples_;
}

const SmbiosTable* WmiContext::smbios() {
    if (!smbiosRead_) {
        smbiosRead_ = true;
        if (!system_.denies(kSmbiosEntryPointPath) && !system_.denies(kSmbiosTablePath)) {
            auto entryPoint = fs_.read(kSmbiosEntryPointPath, 4096);
            auto table = fs_.read(kSmbiosTablePath, 64U << 20);
            if (entryPoint && table && !table->empty())
                smbios_ = std::make_unique<SmbiosTable>(std::move(*entryPoint), std::move(*table));
        }
    }
    return smbios_.get();
}

const PciNames& WmiContext::pciNames() {
    if (!pciNames_) {
        auto text = fs_.read("/usr/share/misc/pci.ids", 16U << 20);
        if (!text) text = fs_.read("/usr/share/hwdata/pci.ids", 16U << 20);
        pciNames_ = std::make_unique<PciNames>(std::move(text));
    }
    return *pciNames_;
}

std::map<std::string, std::string, std::less<>> WmiContext::udev(std::string_view deviceKey) const {
    if (deviceKey.empty() || deviceKey.find('/') != std::string_view::npos) return {};
    const auto text = fs_.read("/run/udev/data/" + std::string(deviceKey), 1U << 20);
    return text ? udevProperties(*text) : std::map<std::string, std::string, std::less<>>{};
}

std::optional<WmiContext::BlockDevice> WmiContext::blockDevice(unsigned major,
                                                               unsigned minor) const {
    const std::string link =
        "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    if (!fs_.readLink(link)) return std::nullopt;
    const std::string path = resolve(link);
    BlockDevice device;
    const auto slash = path.rfind('/');
    device.name = path.substr(slash + 1);
    device.diskName = device.name;
    device.diskPath = path;
    if (fs_.exists(path + "/partition") && slash != std::string::npos && slash > 0) {
        device.diskPath = path.substr(0, slash);
        device.diskName = device.diskPath.substr(device.diskPath.rfind('/') + 1);
    }
    if (device.name.empty()) return std::nullopt;
    return device;
}

}  // namespace gravelin::linuxwmi
