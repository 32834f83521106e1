// Win32_DiskDrive: one object per physical disk under /sys/block (no loop, RAM, zram,
// device-mapper, md, network block or optical devices), in kernel-name order. A disk reached
// over several paths is one object: an NVMe namespace under native multipath by its
// subsystem, a SCSI LUN joined by dm-multipath by its first path. Sizes use Windows'
// synthetic geometry: 255 heads, 63 sectors per track, whole cylinders.
#include <algorithm>
#include <array>
#include <set>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 51> kNames = {"Availability",
                                                     "BytesPerSector",
                                                     "Capabilities",
                                                     "CapabilityDescriptions",
                                                     "Caption",
                                                     "CompressionMethod",
                                                     "ConfigManagerErrorCode",
                                                     "ConfigManagerUserConfig",
                                                     "CreationClassName",
                                                     "DefaultBlockSize",
                                                     "Description",
                                                     "DeviceID",
                                                     "ErrorCleared",
                                                     "ErrorDescription",
                                                     "ErrorMethodology",
                                                     "FirmwareRevision",
                                                     "Index",
                                                     "InstallDate",
                                                     "InterfaceType",
                                                     "LastErrorCode",
                                                     "Manufacturer",
                                                     "MaxBlockSize",
                                                     "MaxMediaSize",
                                                     "MediaLoaded",
                                                     "MediaType",
                                                     "MinBlockSize",
                                                     "Model",
                                                     "Name",
                                                     "NeedsCleaning",
                                                     "NumberOfMediaSupported",
                                                     "Partitions",
                                                     "PNPDeviceID",
                                                     "PowerManagementCapabilities",
                                                     "PowerManagementSupported",
                                                     "SCSIBus",
                                                     "SCSILogicalUnit",
                                                     "SCSIPort",
                                                     "SCSITargetId",
                                                     "SectorsPerTrack",
                                                     "SerialNumber",
                                                     "Signature",
                                                     "Size",
                                                     "Status",
                                                     "StatusInfo",
                                                     "SystemCreationClassName",
                                                     "SystemName",
                                                     "TotalCylinders",
                                                     "TotalHeads",
                                                     "TotalSectors",
                                                     "TotalTracks",
                                                     "TracksPerCylinder"};

bool startsWithAny(std::string_view name, std::initializer_list<std::string_view> prefixes) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [name](std::string_view p) { return name.starts_with(p); });
}

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "nvme<c>n<n>" but not the hidden multipath paths "nvme<s>c<c>n<n>".
bool isNvmeNamespace(std::string_view name) {
    if (!name.starts_with("nvme")) return false;
    name.remove_prefix(4);
    const auto n = name.find('n');
    return n != std::string_view::npos && allDigits(name.substr(0, n)) &&
           allDigits(name.substr(n + 1));
}

bool isReportedDisk(std::string_view name) {
    if (isNvmeNamespace(name)) return true;
    if (name.starts_with("mmcblk")) {
        return name.find("boot") == std::string_view::npos &&
               name.find("rpmb") == std::string_view::npos;
    }
    return startsWithAny(name, {"sd", "vd", "xvd", "hd"});
}

struct Scsi {
    std::uint64_t host = 0, channel = 0, target = 0, lun = 0;
};
// "H:C:T:L" of a SCSI device directory name.
std::optional<Scsi> scsiAddress(std::string_view name) {
    std::array<std::uint64_t, 4> parts{};
    std::size_t start = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto end = i == 3 ? name.size() : name.find(':', start);
        if (end == std::string_view::npos) return std::nullopt;
        const auto v = parseUnsigned(name.substr(start, end - start));
        if (!v) return std::nullopt;
        parts[i] = *v;
        start = end + 1;
    }
    return Scsi{parts[0], parts[1], parts[2], parts[3]};
}

std::string joinTrimmed(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    std::string text;
    if (a) text = *a;
    if (b) text += (text.empty() ? "" : " ") + *b;
    return text;
}

// The dm-multipath map ("dm-0") a SCSI disk is one path of, or nothing.
std::optional<std::string> multipathMap(const WmiContext& context, const std::string& name) {
    for (const auto& holder : context.fs().list("/sys/block/" + name + "/holders")) {
        const auto uuid = context.value("/sys/block/" + holder + "/dm/uuid");
        if (uuid && uuid->starts_with("mpath-")) return holder;
    }
    return std::nullopt;
}

// The disks to report, in the order their indexes follow.
std::vector<std::string> reportedDisks(WmiContext& context) {
    std::vector<std::string> disks;
    for (const auto& name : context.fs().list("/sys/block")) {
        if (!isReportedDisk(name)) continue;
        // Virtual block devices are no drives, except the namespaces of NVMe native
        // multipath: their parent is the NVMe subsystem, one disk for all its paths.
        const std::string path = context.resolve("/sys/block/" + name);
        if (path.find("/devices/virtual/") != std::string::npos &&
            path.find("/devices/virtual/nvme-subsystem/") == std::string::npos)
            continue;
        disks.push_back(name);
    }
    std::sort(disks.begin(), disks.end(), diskNameLess);
    // A LUN reached over several SCSI paths that dm-multipath joins is one drive: its
    // first path stands for it.
    std::set<std::string> maps;
    std::erase_if(disks, [&](const std::string& name) {
        if (!name.starts_with("sd")) return false;
        const auto map = multipathMap(context, name);
        return map && !maps.insert(*map).second;
    });
    return disks;
}

// Capabilities, interface and media type.
void setMedia(ObjectBuilder& object, WmiContext& context, const std::string& base,
              const std::string& path) {
    const bool usb = path.find("/usb") != std::string::npos;
    const auto removable = context.number(base + "/removable");
    const auto readOnly = context.number(base + "/ro");
    WmiArray capabilities{unsignedValue(3)};
    WmiArray descriptions{WmiValue("Random Access")};
    if (readOnly != std::uint64_t{1}) {
        capabilities.push_back(unsignedValue(4));
        descriptions.emplace_back("Supports Writing");
    }
    if (removable == std::uint64_t{1}) {
        capabilities.push_back(unsignedValue(7));
        descriptions.emplace_back("Supports Removable Media");
    }
    object.set("Capabilities", std::move(capabilities));
    object.set("CapabilityDescriptions", std::move(descriptions));

    std::string interfaceType = "SCSI";
    if (usb) {
        interfaceType = "USB";
    } else if (path.find("/ata") != std::string::npos) {
        interfaceType = "IDE";
    } else if (path.find("/firewire") != std::string::npos ||
               path.find("/fw") != std::string::npos) {
        interfaceType = "1394";
    }
    object.set("InterfaceType", interfaceType);
    if (removable == std::uint64_t{1}) {
        object.set("MediaType", "Removable Media");
    } else if (usb) {
        object.set("MediaType", "External hard disk media");
    } else {
        object.set("MediaType", "Fixed hard disk media");
    }
}

// Model, serial number, firmware revision and maker.
void setIdentity(ObjectBuilder& object, WmiContext& context, const std::string& name,
                 const std::string& base) {
    const bool nvme = isNvmeNamespace(name);
    const std::string device = base + "/device";
    const auto dev = context.value(base + "/dev");
    const auto udev = context.udev(dev ? "b" + *dev : std::string());
    const auto udevValue = [&udev](std::string_view key) -> std::optional<std::string> {
        const auto it = udev.find(key);
        if (it == udev.end()) return std::nullopt;
        return nonEmpty(udevUnescape(it->second));
    };
    std::optional<std::string> model;
    std::optional<std::string> serial;
    std::optional<std::string> firmware;
    std::optional<std::string> manufacturer;
    if (nvme) {
        model = context.value(device + "/model");
        serial = context.value(device + "/serial");
        firmware = context.value(device + "/firmware_rev");
    } else if (name.starts_with("mmcblk")) {
        model = context.value(device + "/name");
        serial = context.value(device + "/serial");
        firmware = context.value(device + "/fwrev");
    } else if (name.starts_with("vd")) {
        serial = context.value(base + "/serial");
    } else {
        const auto vendor = context.value(device + "/vendor");
        const auto scsiModel = context.value(device + "/model");
        firmware = context.value(device + "/rev");
        if (vendor && *vendor == "ATA") {
            model = udevValue("ID_MODEL_ENC");
            if (!model) model = scsiModel;
        } else {
            manufacturer = vendor;
            model = nonEmpty(joinTrimmed(vendor, scsiModel));
        }
        serial = udevValue("ID_SERIAL_SHORT");
        if (!serial) {
            if (const auto page = context.read(device + "/vpd_pg80", 4096);
                page && page->size() > 4)
                serial = nonEmpty(page->substr(4));
        }
    }
    object.set("Model", optionalText(model));
    object.set("Caption", optionalText(model));
    object.set("SerialNumber", optionalText(serial));
    object.set("FirmwareRevision", optionalText(firmware));
    object.set("Manufacturer", optionalText(manufacturer));
}

// SCSI address and partition count.
void setAddressing(ObjectBuilder& object, WmiContext& context, const std::string& name,
                   const std::string& base) {
    const bool nvme = isNvmeNamespace(name);
    const std::string device = base + "/device";
    std::uint64_t port = 0, bus = 0, target = 0, lun = 0;
    if (nvme) {
        const auto n = name.find('n', 4);
        port = parseUnsigned(std::string_view(name).substr(4, n - 4)).value_or(0);
        if (const auto nsid = context.number(base + "/nsid"); nsid && *nsid > 0)
            lun = *nsid - 1;
    } else if (const auto link = context.linkName(device)) {
        if (const auto scsi = scsiAddress(*link)) {
            port = scsi->host, bus = scsi->channel, target = scsi->target, lun = scsi->lun;
        }
    }
    object.set("SCSIPort", unsignedValue(port));
    object.set("SCSIBus", unsignedValue(bus));
    object.set("SCSITargetId", unsignedValue(target));
    object.set("SCSILogicalUnit", unsignedValue(lun));

    std::uint64_t partitions = 0;
    for (const auto& entry : context.fs().list(base)) {
        if (entry.starts_with(name) && context.fs().exists(base + "/" + entry + "/partition"))
            ++partitions;
    }
    object.set("Partitions", unsignedValue(partitions));
}

// Size, in whole cylinders of 255 x 63 sectors; sysfs counts 512-byte units.
// A sector size is a power of two from 512 to 64 KiB; anything else is not one.
void setSize(ObjectBuilder& object, WmiContext& context, const std::string& base) {
    auto sectorSize = context.number(base + "/queue/logical_block_size");
    if (sectorSize &&
        (*sectorSize < 512 || *sectorSize > 65536 || (*sectorSize & (*sectorSize - 1)) != 0))
        sectorSize.reset();
    object.set("BytesPerSector", optionalUnsigned(sectorSize));
    const auto units = context.number(base + "/size");
    object.set("MediaLoaded", units ? WmiValue(*units > 0) : WmiValue{});
    const std::uint64_t bytesPerSector = sectorSize.value_or(512);
    if (units && *units > 0 && *units <= (UINT64_MAX / 512)) {
        const std::uint64_t bytes = *units * 512;
        const std::uint64_t cylinders = bytes / (255 * 63 * bytesPerSector);
        object.set("TotalCylinders", unsignedValue(cylinders));
        object.set("TotalTracks", unsignedValue(cylinders * 255));
        object.set("TotalSectors", unsignedValue(cylinders * 255 * 63));
        object.set("Size", unsignedValue(cylinders * 255 * 63 * bytesPerSector));
    }
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kDiskDrive = kNames;
}

std::vector<WmiObject> queryDiskDrive(WmiContext& context) {
    const auto disks = reportedDisks(context);
    std::vector<WmiObject> objects;
    for (std::size_t index = 0; index < disks.size(); ++index) {
        const std::string& name = disks[index];
        const std::string base = "/sys/block/" + name;
        const std::string path = context.resolve(base);

        ObjectBuilder object("Win32_DiskDrive", kNames);
        object.set("ConfigManagerErrorCode", unsignedValue(0));
        object.set("ConfigManagerUserConfig", false);
        object.set("CreationClassName", "Win32_DiskDrive");
        object.set("Description", "Disk drive");
        object.set("DeviceID", "/dev/" + name);
        object.set("Name", "/dev/" + name);
        object.set("Index", unsignedValue(index));
        object.set("SectorsPerTrack", unsignedValue(63));
        object.set("TotalHeads", unsignedValue(255));
        object.set("TracksPerCylinder", unsignedValue(255));
        object.set("Status", "OK");
        object.set("SystemCreationClassName", "Win32_ComputerSystem");
        object.set("SystemName", context.hostName());
        setMedia(object, context, base, path);
        setIdentity(object, context, name, base);
        setAddressing(object, context, name, base);
        setSize(object, context, base);
        objects.push_back(object.take());
    }
    return objects;
}

}  // namespace gravelin::linuxwmi
