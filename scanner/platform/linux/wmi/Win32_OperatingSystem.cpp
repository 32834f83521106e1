// Win32_OperatingSystem: os-release for the distribution, uname for the kernel,
// /proc/meminfo for memory (kilobytes, as Windows counts), /proc/stat for the boot time,
// the mount table for the system device, the system locale file for language and code set.
#include <utmpx.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 64> kNames = {"BootDevice",
                                                     "BuildNumber",
                                                     "BuildType",
                                                     "Caption",
                                                     "CodeSet",
                                                     "CountryCode",
                                                     "CreationClassName",
                                                     "CSCreationClassName",
                                                     "CSDVersion",
                                                     "CSName",
                                                     "CurrentTimeZone",
                                                     "DataExecutionPrevention_32BitApplications",
                                                     "DataExecutionPrevention_Available",
                                                     "DataExecutionPrevention_Drivers",
                                                     "DataExecutionPrevention_SupportPolicy",
                                                     "Debug",
                                                     "Description",
                                                     "Distributed",
                                                     "EncryptionLevel",
                                                     "ForegroundApplicationBoost",
                                                     "FreePhysicalMemory",
                                                     "FreeSpaceInPagingFiles",
                                                     "FreeVirtualMemory",
                                                     "InstallDate",
                                                     "LargeSystemCache",
                                                     "LastBootUpTime",
                                                     "LocalDateTime",
                                                     "Locale",
                                                     "Manufacturer",
                                                     "MaxNumberOfProcesses",
                                                     "MaxProcessMemorySize",
                                                     "MUILanguages",
                                                     "Name",
                                                     "NumberOfLicensedUsers",
                                                     "NumberOfProcesses",
                                                     "NumberOfUsers",
                                                     "OperatingSystemSKU",
                                                     "Organization",
                                                     "OSArchitecture",
                                                     "OSLanguage",
                                                     "OSProductSuite",
                                                     "OSType",
                                                     "OtherTypeDescription",
                                                     "PAEEnabled",
                                                     "PlusProductID",
                                                     "PlusVersionNumber",
                                                     "PortableOperatingSystem",
                                                     "Primary",
                                                     "ProductType",
                                                     "RegisteredUser",
                                                     "SerialNumber",
                                                     "ServicePackMajorVersion",
                                                     "ServicePackMinorVersion",
                                                     "SizeStoredInPagingFiles",
                                                     "Status",
                                                     "SuiteMask",
                                                     "SystemDevice",
                                                     "SystemDirectory",
                                                     "SystemDrive",
                                                     "TotalSwapSpaceSize",
                                                     "TotalVirtualMemorySize",
                                                     "TotalVisibleMemorySize",
                                                     "Version",
                                                     "WindowsDirectory"};

// Windows' language identifier and telephone country code of a language_TERRITORY.
struct LocaleEntry {
    std::string_view name;
    std::uint32_t lcid;
    std::string_view countryCode;
};
constexpr std::array<LocaleEntry, 30> kLocales = {{
    {"ar_SA", 0x0401, "966"}, {"cs_CZ", 0x0405, "420"}, {"da_DK", 0x0406, "45"},
    {"de_AT", 0x0C07, "43"},  {"de_CH", 0x0807, "41"},  {"de_DE", 0x0407, "49"},
    {"el_GR", 0x0408, "30"},  {"en_AU", 0x0C09, "61"},  {"en_CA", 0x1009, "1"},
    {"en_GB", 0x0809, "44"},  {"en_IE", 0x1809, "353"}, {"en_US", 0x0409, "1"},
    {"es_ES", 0x0C0A, "34"},  {"es_MX", 0x080A, "52"},  {"fi_FI", 0x040B, "358"},
    {"fr_BE", 0x080C, "32"},  {"fr_CA", 0x0C0C, "1"},   {"fr_FR", 0x040C, "33"},
    {"hu_HU", 0x040E, "36"},  {"it_IT", 0x0410, "39"},  {"ja_JP", 0x0411, "81"},
    {"ko_KR", 0x0412, "82"},  {"nb_NO", 0x0414, "47"},  {"nl_NL", 0x0413, "31"},
    {"pl_PL", 0x0415, "48"},  {"pt_BR", 0x0416, "55"},  {"pt_PT", 0x0816, "351"},
    {"ru_RU", 0x0419, "7"},   {"sv_SE", 0x041D, "46"},  {"zh_CN", 0x0804, "86"},
}};

// The system locale (not this process's): LANG of /etc/default/locale or /etc/locale.conf.
std::optional<std::string> systemLocale(const WmiContext& context) {
    for (const auto* path : {"/etc/default/locale", "/etc/locale.conf"}) {
        const auto text = context.read(path, 65536);
        if (!text) continue;
        const auto values = shellAssignments(*text);
        for (const auto* key : {"LC_ALL", "LANG"}) {
            const auto it = values.find(key);
            if (it != values.end() && !it->second.empty()) return it->second;
        }
    }
    return std::nullopt;
}

// Windows code page of a locale's code set ("en_US.UTF-8" -> 65001).
std::optional<std::string> codePage(const std::string& locale) {
    const auto dot = locale.find('.');
    if (dot == std::string::npos) {
        if (locale == "C" || locale == "POSIX") return "20127";
        return std::nullopt;
    }
    std::string set;
    for (std::size_t i = dot + 1; i < locale.size() && locale[i] != '@'; ++i) {
        const char c = locale[i];
        if (c == '-' || c == '_') continue;
        set += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (set == "utf8") return "65001";
    if (set == "iso88591") return "28591";
    if (set == "iso885915") return "28605";
    if (set == "iso88592") return "28592";
    if (set == "ansix3.41968" || set == "ascii") return "20127";
    if (set == "koi8r") return "20866";
    if (set == "eucjp") return "20932";
    if (set == "gb2312") return "936";
    if (set == "big5") return "950";
    return std::nullopt;
}

const LocaleEntry* localeEntry(const std::string& locale) {
    const std::string name = locale.substr(0, locale.find_first_of(".@"));
    for (const auto& entry : kLocales) {
        if (entry.name == name) return &entry;
    }
    return nullptr;
}

const MountEntry* mountAt(const std::vector<MountEntry>& mounts, std::string_view point) {
    const MountEntry* found = nullptr;
    for (const auto& m : mounts) {
        if (m.mountPoint == point) found = &m;  // the last one is the one in effect
    }
    return found;
}

// USER_PROCESS records in the utmp file.
std::optional<std::uint64_t> loggedInUsers(const WmiContext& context) {
    const auto data = context.read("/run/utmp", 4U << 20);
    if (!data) return std::nullopt;
    std::uint64_t users = 0;
    for (std::size_t at = 0; at + sizeof(utmpx) <= data->size(); at += sizeof(utmpx)) {
        utmpx record{};
        std::memcpy(&record, data->data() + at, sizeof record);
        if (record.ut_type == USER_PROCESS) ++users;
    }
    return users;
}

std::optional<std::uint64_t> numberOfProcesses(const WmiContext& context) {
    const auto names = context.fs().list("/proc");
    std::uint64_t count = 0;
    for (const auto& name : names) {
        if (parseUnsigned(name)) ++count;
    }
    if (names.empty()) return std::nullopt;
    return count;
}

// Caption, Manufacturer, Version and ProductType from os-release; returns the caption.
std::string setDistribution(ObjectBuilder& object, WmiContext& context) {
    const UnameInfo& uname = context.uname();
    auto osRelease = context.read("/etc/os-release", 65536);
    if (!osRelease) osRelease = context.read("/usr/lib/os-release", 65536);
    const auto release = osRelease ? shellAssignments(*osRelease)
                                   : std::map<std::string, std::string, std::less<>>{};
    const auto field = [&release](std::string_view key) -> std::optional<std::string> {
        const auto it = release.find(key);
        if (it == release.end() || it->second.empty()) return std::nullopt;
        return it->second;
    };
    std::string caption = "Linux";
    if (const auto pretty = field("PRETTY_NAME")) {
        caption = *pretty;
    } else if (const auto name = field("NAME")) {
        caption = *name;
        if (const auto version = field("VERSION")) caption += " " + *version;
    }
    object.set("Caption", caption);
    auto manufacturer = field("VENDOR_NAME");
    if (!manufacturer) manufacturer = field("NAME");
    object.set("Manufacturer", optionalText(manufacturer));
    auto version = field("VERSION_ID");
    if (!version) version = field("BUILD_ID");
    if (!version && !uname.release.empty()) version = uname.release;
    object.set("Version", optionalText(version));
    if (const auto variant = field("VARIANT_ID")) {
        if (*variant == "server") object.set("ProductType", unsignedValue(3));
        if (*variant == "workstation" || *variant == "desktop")
            object.set("ProductType", unsignedValue(1));
    }
    return caption;
}

// What the running kernel tells: build, architecture, process limits and counts.
void setKernel(ObjectBuilder& object, WmiContext& context) {
    const UnameInfo& uname = context.uname();
    LinuxSystem& system = context.system();
    object.set("BuildNumber", optionalText(nonEmpty(uname.release)));
    object.set("BuildType", optionalText(nonEmpty(uname.version)));
    object.set("OSArchitecture", context.is64BitOs() ? "64-bit" : "32-bit");
    if (const auto pidMax = context.number("/proc/sys/kernel/pid_max");
        pidMax && *pidMax <= 0xFFFFFFFFU)
        object.set("MaxNumberOfProcesses", unsignedValue(*pidMax));
    std::optional<std::uint64_t> maxProcessKiB;
    if (const auto limit = system.addressSpaceLimit()) {
        maxProcessKiB = *limit / 1024;
    } else if (uname.machine == "x86_64") {
        maxProcessKiB = ((std::uint64_t{1} << 47) - 4096) / 1024;
    } else if (uname.machine == "aarch64") {
        maxProcessKiB = (std::uint64_t{1} << 48) / 1024;
    } else if (!context.is64BitOs() && !uname.machine.empty()) {
        maxProcessKiB = (std::uint64_t{3} << 30) / 1024;
    }
    object.set("MaxProcessMemorySize", optionalUnsigned(maxProcessKiB));
    object.set("NumberOfProcesses", optionalUnsigned(numberOfProcesses(context)));
    object.set("NumberOfUsers", optionalUnsigned(loggedInUsers(context)));
}

// Constants of the object model that hold on Linux as on Windows, and the description.
void setConstants(ObjectBuilder& object, WmiContext& context) {
    object.set("CreationClassName", "Win32_OperatingSystem");
    object.set("CSCreationClassName", "Win32_ComputerSystem");
    object.set("CSName", context.hostName());
    object.set("Debug", false);
    object.set("Distributed", false);
    object.set("OSType", unsignedValue(36));  // LINUX in the CIM enumeration
    object.set("Primary", true);
    object.set("Status", "OK");
    object.set("SystemDrive", "/");

    const auto machineInfo = context.read("/etc/machine-info", 65536);
    std::string description;
    if (machineInfo) {
        const auto values = shellAssignments(*machineInfo);
        if (const auto it = values.find("PRETTY_HOSTNAME"); it != values.end())
            description = it->second;
    }
    object.set("Description", description);
}

// Data execution prevention follows the processor's NX bit.
void setDataExecutionPrevention(ObjectBuilder& object, WmiContext& context) {
    const UnameInfo& uname = context.uname();
    const auto flags = cpuFlags(context.cpuInfo().first());
    std::optional<bool> nx;
    if (!flags.empty()) {
        nx = std::find(flags.begin(), flags.end(), "nx") != flags.end();
    } else if (uname.machine == "aarch64" || uname.machine == "arm64") {
        nx = true;
    }
    object.set("DataExecutionPrevention_32BitApplications", optionalFlag(nx));
    object.set("DataExecutionPrevention_Available", optionalFlag(nx));
    object.set("DataExecutionPrevention_Drivers", optionalFlag(nx));
}

// Memory, in kilobytes.
void setMemory(ObjectBuilder& object, WmiContext& context) {
    if (const auto text = context.read("/proc/meminfo")) {
        const auto mem = counterFields(*text);
        const auto get = [&mem](std::string_view key) -> std::optional<std::uint64_t> {
            const auto it = mem.find(key);
            return it == mem.end() ? std::nullopt : std::optional<std::uint64_t>(it->second);
        };
        const auto total = get("MemTotal");
        auto available = get("MemAvailable");
        if (!available && get("MemFree") && get("Buffers") && get("Cached"))
            available = *get("MemFree") + *get("Buffers") + *get("Cached");
        const auto swapTotal = get("SwapTotal");
        const auto swapFree = get("SwapFree");
        object.set("TotalVisibleMemorySize", optionalUnsigned(total));
        object.set("FreePhysicalMemory", optionalUnsigned(available));
        object.set("SizeStoredInPagingFiles", optionalUnsigned(swapTotal));
        object.set("FreeSpaceInPagingFiles", optionalUnsigned(swapFree));
        if (total && swapTotal)
            object.set("TotalVirtualMemorySize", unsignedValue(*total + *swapTotal));
        if (available && swapFree)
            object.set("FreeVirtualMemory", unsignedValue(*available + *swapFree));
    }
}

// Clock, time zone, boot and installation times.
void setTimes(ObjectBuilder& object, WmiContext& context) {
    LinuxSystem& system = context.system();
    const WallClock now = system.now();
    if (const auto local = system.localTime(now.seconds))
        object.set("CurrentTimeZone", signedValue(local->offsetMinutes));
    object.set("LocalDateTime",
               optionalText(cimDateTime(system, now.seconds, (now.micros / 1000) * 1000)));
    if (const auto stat = context.read("/proc/stat", 4U << 20)) {
        for (const auto line : splitLines(*stat)) {
            const auto words = splitWords(line);
            if (words.size() == 2 && words[0] == "btime") {
                if (const auto boot = parseUnsigned(words[1]); boot && *boot < (1ULL << 40))
                    object.set("LastBootUpTime",
                               optionalText(cimDateTime(system, static_cast<std::int64_t>(*boot))));
            }
        }
    }
    if (const auto born = system.birthTime(context.fs(), "/"))
        object.set("InstallDate", optionalText(cimDateTime(system, *born)));
}

// Code set, locale, language and country.
void setLocale(ObjectBuilder& object, WmiContext& context) {
    if (const auto locale = systemLocale(context)) {
        object.set("CodeSet", optionalText(codePage(*locale)));
        if (const auto* entry = localeEntry(*locale)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%04x", entry->lcid);
            object.set("Locale", hex);
            object.set("OSLanguage", unsignedValue(entry->lcid));
            object.set("CountryCode", std::string(entry->countryCode));
        }
        const std::string name = locale->substr(0, locale->find_first_of(".@"));
        if (name != "C" && name != "POSIX" && !name.empty()) {
            std::string tag = name;
            for (char& c : tag) {
                if (c == '_') c = '-';
            }
            object.set("MUILanguages", WmiArray{WmiValue(tag)});
        }
    }
}

// The system's devices, from the mount table.
void setDevices(ObjectBuilder& object, WmiContext& context, const std::string& caption) {
    const auto& mounts = context.mounts();
    const MountEntry* root = mountAt(mounts, "/");
    if (root) {
        const bool blockSource = root->source.starts_with("/dev/");
        const std::string systemDevice = blockSource ? root->source : root->fsType;
        object.set("SystemDevice", systemDevice);
        object.set("Name", caption + "|/|" + systemDevice);
        if (const auto device = context.blockDevice(root->major, root->minor)) {
            object.set("PortableOperatingSystem",
                       device->diskPath.find("/usb") != std::string::npos);
        } else if (blockSource || root->major != 0) {
            object.set("PortableOperatingSystem", false);
        }
    }
    const MountEntry* boot = mountAt(mounts, "/boot/efi");
    if (!boot) boot = mountAt(mounts, "/boot");
    if (!boot) boot = root;
    if (boot && boot->source.starts_with("/dev/")) object.set("BootDevice", boot->source);
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kOperatingSystem = kNames;
}

std::vector<WmiObject> queryOperatingSystem(WmiContext& context) {
    ObjectBuilder object("Win32_OperatingSystem", kNames);
    const std::string caption = setDistribution(object, context);
    setKernel(object, context);
    setConstants(object, context);
    setDataExecutionPrevention(object, context);
    setMemory(object, context);
    setTimes(object, context);
    setLocale(object, context);
    setDevices(object, context, caption);

    std::vector<WmiObject> objects;
    objects.push_back(object.take());
    return objects;
}

}  // namespace gravelin::linuxwmi
