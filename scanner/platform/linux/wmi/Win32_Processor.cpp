// Win32_Processor: one object per physical package among the online CPUs, from
// /proc/cpuinfo and /sys/devices/system/cpu; CPUID for ProcessorId; /proc/stat sampled
// twice for LoadPercentage; with root, the SMBIOS processor (type 4) and cache (type 7)
// structures for socket, family, voltage and the cache sizes Windows reports.
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <set>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 57> kNames = {"AddressWidth",
                                                     "Architecture",
                                                     "AssetTag",
                                                     "Availability",
                                                     "Caption",
                                                     "Characteristics",
                                                     "ConfigManagerErrorCode",
                                                     "ConfigManagerUserConfig",
                                                     "CpuStatus",
                                                     "CreationClassName",
                                                     "CurrentClockSpeed",
                                                     "CurrentVoltage",
                                                     "DataWidth",
                                                     "Description",
                                                     "DeviceID",
                                                     "ErrorCleared",
                                                     "ErrorDescription",
                                                     "ExtClock",
                                                     "Family",
                                                     "InstallDate",
                                                     "L2CacheSize",
                                                     "L2CacheSpeed",
                                                     "L3CacheSize",
                                                     "L3CacheSpeed",
                                                     "LastErrorCode",
                                                     "Level",
                                                     "LoadPercentage",
                                                     "Manufacturer",
                                                     "MaxClockSpeed",
                                                     "Name",
                                                     "NumberOfCores",
                                                     "NumberOfEnabledCore",
                                                     "NumberOfLogicalProcessors",
                                                     "OtherFamilyDescription",
                                                     "PartNumber",
                                                     "PNPDeviceID",
                                                     "PowerManagementCapabilities",
                                                     "PowerManagementSupported",
                                                     "ProcessorId",
                                                     "ProcessorType",
                                                     "Revision",
                                                     "Role",
                                                     "SecondLevelAddressTranslationExtensions",
                                                     "SerialNumber",
                                                     "SocketDesignation",
                                                     "Status",
                                                     "StatusInfo",
                                                     "Stepping",
                                                     "SystemCreationClassName",
                                                     "SystemName",
                                                     "ThreadCount",
                                                     "UniqueId",
                                                     "UpgradeMethod",
                                                     "Version",
                                                     "VirtualizationFirmwareEnabled",
                                                     "VMMonitorModeExtensions",
                                                     "VoltageCaps"};

const std::string kCpuDir = "/sys/devices/system/cpu/cpu";

struct Package {
    std::int64_t id = 0;
    std::vector<unsigned> cpus;  // online, ascending
    // One entry per core: the lowest CPU of its sibling set (kind 0), else its core id
    // (kind 1), else the CPU itself (kind 2).
    std::set<std::pair<int, std::int64_t>> cores;
};

bool hasFlag(const std::vector<std::string>& flags, std::string_view flag) {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::optional<std::int64_t> topologyId(const WmiContext& context, unsigned cpu,
                                       std::string_view file) {
    const auto text =
        context.value(kCpuDir + std::to_string(cpu) + "/topology/" + std::string(file));
    return text ? parseSigned(*text) : std::nullopt;
}

// "1280K" -> 1280, "12M" -> 12288 (KiB).
std::optional<std::uint64_t> cacheSizeKiB(std::string_view text) {
    text = trimmed(text);
    std::uint64_t scale = 1;
    if (text.ends_with('K')) {
        text.remove_suffix(1);
    } else if (text.ends_with('M')) {
        text.remove_suffix(1);
        scale = 1024;
    }
    const auto value = parseUnsigned(text);
    if (!value || *value > (UINT64_MAX / scale)) return std::nullopt;
    return *value * scale;
}

// Sum of the sizes of the distinct caches of one level that the package's CPUs use;
// nothing when sysfs describes no caches at all.
std::optional<std::uint64_t> sysfsCacheSize(const WmiContext& context, const Package& package,
                                            unsigned level) {
    std::map<std::string, std::uint64_t> distinct;
    bool anyCache = false;
    for (const unsigned cpu : package.cpus) {
        const std::string dir = kCpuDir + std::to_string(cpu) + "/cache";
        for (const auto& index : context.fs().list(dir)) {
            if (!index.starts_with("index")) continue;
            const std::string base = dir + "/" + index + "/";
            const auto cacheLevel = context.number(base + "level");
            if (!cacheLevel) continue;
            anyCache = true;
            if (*cacheLevel != level) continue;
            const auto type = context.value(base + "type");
            if (type && *type == "Instruction") continue;
            const auto size = context.value(base + "size");
            const auto kib = size ? cacheSizeKiB(*size) : std::nullopt;
            if (!kib) continue;
            const auto shared = context.value(base + "shared_cpu_list");
            distinct[shared ? *shared : "cpu" + std::to_string(cpu)] = *kib;
        }
    }
    if (!anyCache) return std::nullopt;
    std::uint64_t sum = 0;
    for (const auto& [key, kib] : distinct) sum += kib;
    return sum;
}

// Installed size of an SMBIOS cache structure, in KiB.
std::optional<std::uint64_t> smbiosCacheSize(const SmbiosTable& table,
                                             std::optional<std::uint16_t> handle) {
    if (!handle || *handle == 0xFFFF) return std::nullopt;
    const auto* cache = table.byHandle(*handle);
    if (cache == nullptr || cache->type() != 7) return std::nullopt;
    const auto size = cache->word(0x09);
    if (!size) return std::nullopt;
    if (*size == 0xFFFF) {
        const auto size2 = cache->dword(0x17);
        if (!size2) return std::nullopt;
        return (*size2 & 0x80000000U) ? std::uint64_t{*size2 & 0x7FFFFFFFU} * 64 : *size2;
    }
    return (*size & 0x8000U) ? std::uint64_t{*size & 0x7FFFU} * 64 : *size;
}

// MHz from "... @ 3.70GHz" in a model name.
std::optional<std::uint64_t> nominalMhz(std::string_view name) {
    const auto at = name.rfind('@');
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = trimmed(name.substr(at + 1));
    std::uint64_t scale = 0;
    if (rest.ends_with("GHz")) {
        scale = 1000;
    } else if (rest.ends_with("MHz")) {
        scale = 1;
    } else {
        return std::nullopt;
    }
    rest = trimmed(rest.substr(0, rest.size() - 3));
    const auto dot = rest.find('.');
    const auto whole = parseUnsigned(rest.substr(0, dot));
    if (!whole || *whole > 1000000) return std::nullopt;
    std::uint64_t thousandths = 0;
    if (dot != std::string_view::npos) {
        const std::string_view fraction = rest.substr(dot + 1);
        std::uint64_t digits = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            const char c = i < fraction.size() ? fraction[i] : '0';
            if (c < '0' || c > '9') return std::nullopt;
            digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
        }
        thousandths = digits;
    }
    const std::uint64_t value = *whole * 1000 + thousandths;  // in thousandths of the unit
    return (value * scale + 500) / 1000;
}

std::optional<std::uint64_t> kHzToMHz(std::optional<std::uint64_t> kHz) {
    if (!kHz || *kHz == 0) return std::nullopt;
    return (*kHz + 500) / 1000;
}

// Windows' architecture codes by the kernel's machine name.
std::optional<std::uint64_t> architectureCode(const std::string& machine) {
    if (machine == "x86_64") return 9;
    if (machine.size() == 4 && machine[0] == 'i' && machine.ends_with("86")) return 0;
    if (machine == "aarch64" || machine == "arm64") return 12;
    if (machine.starts_with("arm")) return 5;
    if (machine == "ia64") return 6;
    if (machine.starts_with("ppc")) return 3;
    if (machine.starts_with("mips")) return 1;
    return std::nullopt;
}

// CPUID leaf 1 EDX rebuilt from the kernel's flag names.
std::uint32_t edxFromFlags(const std::vector<std::string>& flags) {
    static constexpr std::array<std::pair<std::string_view, unsigned>, 30> kBits = {{
        {"fpu", 0},      {"vme", 1},  {"de", 2},    {"pse", 3},  {"tsc", 4},    {"msr", 5},
        {"pae", 6},      {"mce", 7},  {"cx8", 8},   {"apic", 9}, {"sep", 11},   {"mtrr", 12},
        {"pge", 13},     {"mca", 14}, {"cmov", 15}, {"pat", 16}, {"pse36", 17}, {"pn", 18},
        {"clflush", 19}, {"dts", 21}, {"acpi", 22}, {"mmx", 23}, {"fxsr", 24},  {"sse", 25},
        {"sse2", 26},    {"ss", 27},  {"ht", 28},   {"tm", 29},  {"ia64", 30},  {"pbe", 31},
    }};
    std::uint32_t edx = 0;
    for (const auto& [name, bit] : kBits) {
        if (hasFlag(flags, name)) edx |= 1U << bit;
    }
    return edx;
}

std::optional<std::string> armImplementer(std::optional<std::uint64_t> code) {
    if (!code) return std::nullopt;
    switch (*code) {
        case 0x41: return "ARM Limited";
        case 0x42: return "Broadcom Corporation";
        case 0x43: return "Cavium Inc.";
        case 0x46: return "Fujitsu Ltd.";
        case 0x48: return "HiSilicon Technologies Co., Ltd.";
        case 0x4E: return "NVIDIA Corporation";
        case 0x51: return "Qualcomm Inc.";
        case 0x61: return "Apple Inc.";
        case 0xC0: return "Ampere Computing";
        default: return std::nullopt;
    }
}

// Busy and total jiffies of the listed CPUs in one /proc/stat text.
struct Jiffies {
    std::uint64_t idle = 0;
    std::uint64_t total = 0;
};
std::optional<Jiffies> cpuJiffies(const std::optional<std::string>& stat,
                                  const std::vector<unsigned>& cpus) {
    if (!stat) return std::nullopt;
    std::map<unsigned, Jiffies> perCpu;
    for (const auto line : splitLines(*stat)) {
        const auto words = splitWords(line);
        if (words.size() < 5 || !words[0].starts_with("cpu") || words[0].size() == 3) continue;
        const auto cpu = parseUnsigned(words[0].substr(3));
        if (!cpu || *cpu > 0xFFFFFFFFU) continue;
        Jiffies j;
        // user nice system idle iowait irq softirq steal (guest time is inside user/nice)
        for (std::size_t i = 1; i < words.size() && i <= 8; ++i) {
            const auto v = parseUnsigned(words[i]);
            if (!v) return std::nullopt;
            j.total += *v;
            if (i == 4 || i == 5) j.idle += *v;
        }
        perCpu[static_cast<unsigned>(*cpu)] = j;
    }
    Jiffies sum;
    for (const unsigned cpu : cpus) {
        const auto it = perCpu.find(cpu);
        if (it == perCpu.end()) return std::nullopt;
        sum.idle += it->second.idle;
        sum.total += it->second.total;
    }
    return sum;
}

std::optional<std::uint64_t> loadPercentage(const CounterSamples& samples,
                                            const std::vector<unsigned>& cpus) {
    const auto first = cpuJiffies(samples.stat1, cpus);
    const auto second = cpuJiffies(samples.stat2, cpus);
    if (!first || !second || second->total <= first->total || second->idle < first->idle)
        return std::nullopt;
    const std::uint64_t total = second->total - first->total;
    const std::uint64_t idle = std::min(second->idle - first->idle, total);
    return ((total - idle) * 100 + total / 2) / total;
}

// The online CPUs: sysfs's list, else the processors cpuinfo names.
std::vector<unsigned> onlineCpus(WmiContext& context) {
    if (const auto text = context.value("/sys/devices/system/cpu/online")) {
        if (auto cpus = parseCpuList(*text); cpus && !cpus->empty()) return *cpus;
    }
    std::vector<unsigned> cpus;
    for (const auto& block : context.cpuInfo().blocks) {
        const auto it = block.find("processor");
        if (it == block.end()) continue;
        if (const auto n = parseUnsigned(it->second); n && *n < 65536)
            cpus.push_back(static_cast<unsigned>(*n));
    }
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    return cpus;
}

// The core a CPU belongs to. The kernel's sibling sets (the CPUs sharing the core) hold on
// every architecture; core ids do not: on arm64 device-tree systems they restart at 0 in
// every cluster of a big.LITTLE chip while the package id stays 0.
std::pair<int, std::int64_t> coreKey(const WmiContext& context, unsigned cpu,
                                     const CpuInfo::Fields* block) {
    const std::string topology = kCpuDir + std::to_string(cpu) + "/topology/";
    for (const char* file : {"core_cpus_list", "thread_siblings_list"}) {
        const auto text = context.value(topology + file);
        const auto siblings = text ? parseCpuList(*text) : std::nullopt;
        if (siblings && !siblings->empty() &&
            std::find(siblings->begin(), siblings->end(), cpu) != siblings->end())
            return {0, *std::min_element(siblings->begin(), siblings->end())};
    }
    auto core = topologyId(context, cpu, "core_id");
    if (!core) {
        const auto field = cpuField(block, "core id");
        core = field ? parseSigned(*field) : std::nullopt;
    }
    if (core) return {1, *core};
    return {2, static_cast<std::int64_t>(cpu)};
}

std::vector<Package> packages(WmiContext& context) {
    std::map<std::int64_t, Package> byId;
    const CpuInfo& info = context.cpuInfo();
    for (const unsigned cpu : onlineCpus(context)) {
        const auto* block = info.processor(cpu);
        auto package = topologyId(context, cpu, "physical_package_id");
        if (!package) {
            const auto field = cpuField(block, "physical id");
            package = field ? parseSigned(*field) : std::nullopt;
        }
        const std::int64_t id = package.value_or(0);
        Package& p = byId[id];
        p.id = id;
        p.cpus.push_back(cpu);
        p.cores.insert(coreKey(context, cpu, block));
    }
    std::vector<Package> list;
    for (auto& [id, p] : byId) list.push_back(std::move(p));
    return list;
}

std::optional<std::uint64_t> smbiosCount(const TableStructure* s, std::size_t offset,
                                         std::size_t offset2) {
    if (s == nullptr) return std::nullopt;
    const auto count = s->byte(offset);
    if (!count || *count == 0) return std::nullopt;
    if (*count == 0xFF) {  // 255 or more: the 16-bit field says how many
        const auto count2 = s->word(offset2);
        if (count2 && *count2 != 0 && *count2 != 0xFFFF) return *count2;
        return std::nullopt;
    }
    return *count;
}

// What cpuinfo says about one package's lead CPU.
struct CpuFacts {
    const CpuInfo::Fields* block = nullptr;
    std::string machine;
    bool os64 = false;
    std::optional<std::string> vendor;
    std::optional<std::string> steppingText;
    std::optional<std::uint64_t> familyValue;
    // Plain numbers and a flag: the signature is known only as a whole.
    bool signature = false;
    std::uint64_t family = 0;
    std::uint64_t model = 0;
    std::uint64_t stepping = 0;
    bool x86 = false;
    std::vector<std::string> flags;
};

CpuFacts cpuFacts(const CpuInfo::Fields* block, const std::string& machine, bool os64) {
    CpuFacts facts;
    facts.block = block;
    facts.machine = machine;
    facts.os64 = os64;
    facts.vendor = cpuField(block, "vendor_id");
    const auto familyText = cpuField(block, "cpu family");
    const auto modelText = cpuField(block, "model");
    facts.steppingText = cpuField(block, "stepping");
    facts.familyValue = familyText ? parseUnsigned(*familyText) : std::nullopt;
    const auto modelValue = modelText ? parseUnsigned(*modelText) : std::nullopt;
    const auto steppingValue =
        facts.steppingText ? parseUnsigned(*facts.steppingText) : std::nullopt;
    facts.signature = facts.familyValue && modelValue && steppingValue;
    facts.family = facts.familyValue.value_or(0);
    facts.model = modelValue.value_or(0);
    facts.stepping = steppingValue.value_or(0);
    facts.x86 = facts.vendor.has_value() || machine == "x86_64" ||
                (machine.size() == 4 && machine[0] == 'i' && machine.ends_with("86"));
    facts.flags = cpuFlags(block);
    return facts;
}

// SMBIOS processor structures of populated sockets, in table order.
std::vector<const TableStructure*> populatedSockets(const SmbiosTable* table) {
    std::vector<const TableStructure*> sockets;
    if (table) {
        for (const auto* s : table->ofType(4)) {
            const auto status = s->byte(0x18);
            if (status && (*status & 0x40) != 0) sockets.push_back(s);
        }
    }
    return sockets;
}

// Caption and Description: "Intel64 Family 6 Model 142 Stepping 10" and its ARM form.
void setCaption(ObjectBuilder& object, const CpuFacts& cpu) {
    std::optional<std::string> caption;
    const auto armPart = cpuField(cpu.block, "CPU part");
    if (cpu.x86 && cpu.signature) {
        const char* arch =
            !cpu.os64 ? "x86" : (cpu.vendor == "GenuineIntel" ? "Intel64" : "AMD64");
        caption = std::string(arch) + " Family " + std::to_string(cpu.family) + " Model " +
                  std::to_string(cpu.model) + " Stepping " + std::to_string(cpu.stepping);
    } else if (armPart && (cpu.machine == "aarch64" || cpu.machine == "arm64")) {
        const auto part = parseHex(*armPart);
        const auto revisionText = cpuField(cpu.block, "CPU revision");
        const auto revision = revisionText ? parseUnsigned(*revisionText) : std::nullopt;
        if (part && revision) {
            char text[96];
            std::snprintf(text, sizeof text, "ARMv8 (64-bit) Family 8 Model %llX Revision %llX",
                          static_cast<unsigned long long>(*part),
                          static_cast<unsigned long long>(*revision));
            caption = text;
        }
    }
    object.set("Caption", optionalText(caption));
    object.set("Description", optionalText(caption));
}

// ProcessorId: CPUID leaf 1 EDX and EAX; else rebuilt from cpuinfo.
std::optional<std::string> processorId(WmiContext& context, const CpuFacts& cpu) {
    if (const auto leaf = context.system().cpuid(1)) {
        char text[24];
        std::snprintf(text, sizeof text, "%08X%08X", (*leaf)[3], (*leaf)[0]);
        return std::string(text);
    }
    if (cpu.signature && !cpu.flags.empty() && cpu.family < 15 + 256 && cpu.model <= 0xFF &&
        cpu.stepping <= 0xF) {
        const auto f = static_cast<std::uint32_t>(cpu.family);
        const auto m = static_cast<std::uint32_t>(cpu.model);
        const std::uint32_t eax = static_cast<std::uint32_t>(cpu.stepping) | (m & 0xF) << 4 |
                                  (f < 15 ? f : 15) << 8 | ((m >> 4) & 0xF) << 16 |
                                  (f < 15 ? 0 : f - 15) << 20;
        char text[24];
        std::snprintf(text, sizeof text, "%08X%08X", edxFromFlags(cpu.flags), eax);
        return std::string(text);
    }
    return std::nullopt;
}

// Level, Manufacturer, Revision, Stepping, the virtualisation flags and ProcessorId of an
// x86 processor.
void setX86Fields(ObjectBuilder& object, WmiContext& context, const CpuFacts& cpu) {
    if (cpu.familyValue) object.set("Level", unsignedValue(cpu.family));
    object.set("Manufacturer", optionalText(cpu.vendor));
    if (cpu.signature && cpu.model <= 0xFF && cpu.stepping <= 0xFF)
        object.set("Revision", unsignedValue((cpu.model << 8) | cpu.stepping));
    object.set("Stepping", optionalText(cpu.steppingText));
    if (!cpu.flags.empty()) {
        const auto& flags = cpu.flags;
        const bool vmx = hasFlag(flags, "vmx") || hasFlag(flags, "svm");
        object.set("DataWidth", unsignedValue(hasFlag(flags, "lm") ? 64 : 32));
        object.set("VMMonitorModeExtensions", vmx);
        object.set("VirtualizationFirmwareEnabled", vmx && !hasFlag(flags, "hypervisor"));
        const auto vmxFlags = cpuField(cpu.block, "vmx flags");
        const bool slat = hasFlag(flags, "ept") || hasFlag(flags, "npt") ||
                          (vmxFlags && vmxFlags->find("ept") != std::string::npos);
        object.set("SecondLevelAddressTranslationExtensions", slat);
    }
    object.set("ProcessorId", optionalText(processorId(context, cpu)));
}

// Level, Manufacturer and DataWidth of any other processor.
void setOtherFields(ObjectBuilder& object, const CpuFacts& cpu) {
    if (cpu.machine == "aarch64" || cpu.machine == "arm64") object.set("Level", unsignedValue(8));
    const auto implementer = cpuField(cpu.block, "CPU implementer");
    object.set("Manufacturer",
               optionalText(armImplementer(implementer ? parseHex(*implementer) : std::nullopt)));
    object.set("DataWidth", unsignedValue(cpu.os64 ? 64 : 32));
}

// The nominal clock speed, in MHz: the base frequency, the model name's, the SMBIOS
// socket's, the highest the kernel may set, or the current one cpuinfo shows.
std::optional<std::uint64_t> maxClockSpeed(WmiContext& context, const std::string& cpuDir,
                                           const std::optional<std::string>& modelName,
                                           const TableStructure* socket,
                                           std::optional<std::uint64_t> cpuMhz) {
    if (auto base = kHzToMHz(context.number(cpuDir + "/cpufreq/base_frequency"))) return base;
    if (modelName) {
        if (auto nominal = nominalMhz(*modelName)) return nominal;
    }
    if (socket) {
        if (const auto speed = socket->word(0x16); speed && *speed != 0)
            return std::uint64_t{*speed};
    }
    if (auto highest = kHzToMHz(context.number(cpuDir + "/cpufreq/cpuinfo_max_freq")))
        return highest;
    return cpuMhz;
}

// Clock speeds, in MHz.
void setClockSpeeds(ObjectBuilder& object, WmiContext& context, const CpuFacts& cpu,
                    const std::string& cpuDir, const std::optional<std::string>& modelName,
                    const TableStructure* socket) {
    const auto cpuMhzText = cpuField(cpu.block, "cpu MHz");
    const auto cpuMhz = cpuMhzText ? parseRoundedDecimal(*cpuMhzText) : std::nullopt;
    const auto current = kHzToMHz(context.number(cpuDir + "/cpufreq/scaling_cur_freq"));
    object.set("CurrentClockSpeed", optionalUnsigned(current ? current : cpuMhz));
    object.set("MaxClockSpeed",
               optionalUnsigned(maxClockSpeed(context, cpuDir, modelName, socket, cpuMhz)));
}

// Core and thread counts, and the cache sizes in KiB: SMBIOS when root may read it, else
// the kernel's topology.
void setCountsAndCaches(ObjectBuilder& object, WmiContext& context, const Package& package,
                        const SmbiosTable* table, const TableStructure* socket) {
    const auto logical = static_cast<std::uint64_t>(package.cpus.size());
    const auto cores = static_cast<std::uint64_t>(package.cores.size());
    object.set("NumberOfCores", unsignedValue(cores));
    object.set("NumberOfLogicalProcessors", unsignedValue(logical));
    object.set("NumberOfEnabledCore",
               unsignedValue(smbiosCount(socket, 0x24, 0x2C).value_or(cores)));
    object.set("ThreadCount", unsignedValue(smbiosCount(socket, 0x25, 0x2E).value_or(logical)));

    std::optional<std::uint64_t> l2;
    std::optional<std::uint64_t> l3;
    if (socket && table) {
        l2 = smbiosCacheSize(*table, socket->word(0x1C));
        l3 = smbiosCacheSize(*table, socket->word(0x1E));
    }
    if (!l2) l2 = sysfsCacheSize(context, package, 2);
    if (!l3) l3 = sysfsCacheSize(context, package, 3);
    object.set("L2CacheSize", optionalUnsigned(l2));
    object.set("L3CacheSize", optionalUnsigned(l3));
}

// What only the SMBIOS processor structure tells.
void setSocketFields(ObjectBuilder& object, const TableStructure& socket) {
    object.set("SocketDesignation", optionalText(nonEmpty(socket.string(0x04))));
    if (const auto type = socket.byte(0x05); type && *type != 0)
        object.set("ProcessorType", unsignedValue(*type));
    if (auto familyCode = socket.byte(0x06)) {
        std::optional<std::uint64_t> code = *familyCode;
        if (*familyCode == 0xFE) code = socket.word(0x28);
        object.set("Family", optionalUnsigned(code));
    }
    if (const auto voltage = socket.byte(0x11); voltage && *voltage != 0) {
        if (*voltage & 0x80) {
            object.set("CurrentVoltage", unsignedValue(*voltage & 0x7F));
        } else {
            object.set("VoltageCaps", unsignedValue(*voltage & 0x0F));
        }
    }
    if (const auto ext = socket.word(0x12); ext && *ext != 0)
        object.set("ExtClock", unsignedValue(*ext));
    if (const auto status = socket.byte(0x18))
        object.set("CpuStatus", unsignedValue(*status & 0x07));
    object.set("UpgradeMethod", optionalUnsigned(socket.byte(0x19)));
    object.set("SerialNumber", optionalText(nonEmpty(socket.string(0x20))));
    object.set("AssetTag", optionalText(nonEmpty(socket.string(0x21))));
    object.set("PartNumber", optionalText(nonEmpty(socket.string(0x22))));
    object.set("Characteristics", optionalUnsigned(socket.word(0x26)));
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kProcessor = kNames;
}

std::vector<WmiObject> queryProcessor(WmiContext& context) {
    const auto list = packages(context);
    if (list.empty()) return {};
    const CpuInfo& info = context.cpuInfo();
    const std::string& machine = context.uname().machine;
    const bool os64 = context.is64BitOs();
    const SmbiosTable* table = context.smbios();
    const auto sockets = populatedSockets(table);

    std::vector<WmiObject> objects;
    for (std::size_t index = 0; index < list.size(); ++index) {
        const Package& package = list[index];
        const unsigned lead = package.cpus.front();
        const auto* block = info.processor(lead);
        if (block == nullptr) block = info.first();
        const auto* socket = index < sockets.size() ? sockets[index] : nullptr;
        const std::string cpuDir = kCpuDir + std::to_string(lead);
        const CpuFacts cpu = cpuFacts(block, machine, os64);

        ObjectBuilder object("Win32_Processor", kNames);
        object.set("AddressWidth", unsignedValue(os64 ? 64 : 32));
        object.set("Architecture", optionalUnsigned(architectureCode(machine)));
        object.set("Availability", unsignedValue(3));
        object.set("CreationClassName", "Win32_Processor");
        object.set("DeviceID", "CPU" + std::to_string(index));
        object.set("PowerManagementSupported", false);
        object.set("Role", "CPU");
        object.set("Status", "OK");
        object.set("StatusInfo", unsignedValue(3));
        object.set("SystemCreationClassName", "Win32_ComputerSystem");
        object.set("SystemName", context.hostName());
        setCaption(object, cpu);
        if (cpu.x86) {
            setX86Fields(object, context, cpu);
        } else {
            setOtherFields(object, cpu);
        }
        const auto modelName = cpuField(block, "model name");
        object.set("Name", optionalText(modelName ? modelName
                                                  : (socket ? nonEmpty(socket->string(0x10))
                                                            : std::nullopt)));
        setClockSpeeds(object, context, cpu, cpuDir, modelName, socket);
        setCountsAndCaches(object, context, package, table, socket);
        object.set("LoadPercentage",
                   optionalUnsigned(loadPercentage(context.samples(), package.cpus)));
        object.set("CpuStatus", unsignedValue(1));
        object.set("ProcessorType", unsignedValue(3));
        if (socket) setSocketFields(object, *socket);
        objects.push_back(object.take());
    }
    return objects;
}

}  // namespace gravelin::linuxwmi
