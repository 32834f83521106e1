// Win32_LogicalDisk: one object per mounted volume, DeviceID = its mount point. "/" always;
// local file systems once each (the shortest mount point; btrfs shows one anonymous device
// number for all its subvolumes, its device is found from the mount source); removable
// media; network shares. Pseudo, ephemeral and image file systems, and files bind-mounted
// over files, are left out. Sizes come from statvfs, bounded by a time-out so that a share
// that does not answer costs only its sizes.
#include <algorithm>
#include <array>
#include <set>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 40> kNames = {"Access",
                                                     "Availability",
                                                     "BlockSize",
                                                     "Caption",
                                                     "Compressed",
                                                     "ConfigManagerErrorCode",
                                                     "ConfigManagerUserConfig",
                                                     "CreationClassName",
                                                     "Description",
                                                     "DeviceID",
                                                     "DriveType",
                                                     "ErrorCleared",
                                                     "ErrorDescription",
                                                     "ErrorMethodology",
                                                     "FileSystem",
                                                     "FreeSpace",
                                                     "InstallDate",
                                                     "LastErrorCode",
                                                     "MaximumComponentLength",
                                                     "MediaType",
                                                     "Name",
                                                     "NumberOfBlocks",
                                                     "PNPDeviceID",
                                                     "PowerManagementCapabilities",
                                                     "PowerManagementSupported",
                                                     "ProviderName",
                                                     "Purpose",
                                                     "QuotasDisabled",
                                                     "QuotasIncomplete",
                                                     "QuotasRebuilding",
                                                     "Size",
                                                     "Status",
                                                     "StatusInfo",
                                                     "SupportsDiskQuotas",
                                                     "SupportsFileBasedCompression",
                                                     "SystemCreationClassName",
                                                     "SystemName",
                                                     "VolumeDirty",
                                                     "VolumeName",
                                                     "VolumeSerialNumber"};

constexpr std::array<std::string_view, 14> kNetworkTypes = {
    "nfs", "nfs4", "cifs",      "smb3",           "smbfs", "fuse.sshfs",  "sshfs",
    "9p",  "ceph", "glusterfs", "fuse.glusterfs", "afs",   "fuse.rclone", "davfs"};

constexpr std::array<std::string_view, 30> kPseudoTypes = {
    "proc",    "sysfs",       "tmpfs",       "devtmpfs",        "ramfs",      "cgroup",
    "cgroup2", "devpts",      "securityfs",  "debugfs",         "tracefs",    "bpf",
    "pstore",  "efivarfs",    "configfs",    "fusectl",         "mqueue",     "hugetlbfs",
    "autofs",  "binfmt_misc", "nsfs",        "rpc_pipefs",      "overlay",    "squashfs",
    "nfsd",    "selinuxfs",   "fuse.portal", "fuse.gvfsd-fuse", "fuse.lxcfs", "tracefs"};

template <std::size_t N>
bool among(const std::array<std::string_view, N>& list, std::string_view value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

bool under(std::string_view path, std::string_view dir) {
    return path == dir ||
           (path.starts_with(dir) && path.size() > dir.size() && path[dir.size()] == '/');
}

enum class Kind { Excluded, Local, Network };

Kind kindOf(const MountEntry& m) {
    if (m.mountPoint == "/") return Kind::Local;
    if (among(kNetworkTypes, m.fsType)) return Kind::Network;
    if (among(kPseudoTypes, m.fsType)) return Kind::Excluded;
    if (m.source.starts_with("/dev/loop")) return Kind::Excluded;  // mounted images
    if (under(m.mountPoint, "/proc") || under(m.mountPoint, "/sys") ||
        under(m.mountPoint, "/dev") ||
        (under(m.mountPoint, "/run") && !under(m.mountPoint, "/run/media")))
        return Kind::Excluded;
    if (m.major != 0 || m.source.starts_with("/dev/") || m.fsType == "zfs") return Kind::Local;
    return Kind::Excluded;
}

std::string fileSystemName(const MountEntry& m, const std::string& fsVersion) {
    const std::string& t = m.fsType;
    if (t == "vfat") return (fsVersion == "FAT12" || fsVersion == "FAT16") ? "FAT" : "FAT32";
    if (t == "msdos") return "FAT";
    if (t == "ntfs" || t == "ntfs3") return "NTFS";
    if (t == "fuseblk" && fsVersion.empty()) return "NTFS";
    if (t == "exfat") return "exFAT";
    if (t == "iso9660") return "CDFS";
    if (t == "udf") return "UDF";
    return t;
}

std::string upperCased(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// Windows' volume serial number of a file system UUID; other UUIDs as they are.
std::string volumeSerial(const std::string& uuid, const std::string& fsType) {
    if ((fsType == "vfat" || fsType == "exfat" || fsType == "msdos") && uuid.size() == 9 &&
        uuid[4] == '-')
        return upperCased(uuid.substr(0, 4) + uuid.substr(5));
    if ((fsType == "ntfs" || fsType == "ntfs3" || fsType == "fuseblk") && uuid.size() == 16)
        return upperCased(uuid.substr(8));
    return uuid;
}

// The name of a /dev/disk/by-* link whose target is the device; escapes decoded.
std::optional<std::string> linkNamingDevice(const WmiContext& context, std::string_view dir,
                                            const std::string& kernelName) {
    for (const auto& entry : context.fs().list(dir)) {
        const auto target = context.linkName(std::string(dir) + "/" + entry);
        if (target && *target == kernelName) return udevUnescape(entry);
    }
    return std::nullopt;
}

// The block device a mount stands on and its udev key ("b8:1"): by the mount's device
// number, or, when that is anonymous (btrfs shows 0:N, one per file system), by the mount
// source when it names a block device (/dev/sda1, /dev/mapper/root -> dm-0).
struct VolumeDevice {
    WmiContext::BlockDevice device;
    std::string udevKey;
};
std::optional<VolumeDevice> volumeDevice(const WmiContext& context, const MountEntry& m) {
    std::uint64_t major = m.major;
    std::uint64_t minor = m.minor;
    if (major == 0) {
        if (!m.source.starts_with("/dev/")) return std::nullopt;
        const std::string resolved = context.resolve(m.source);
        const std::string name = resolved.substr(resolved.rfind('/') + 1);
        if (name.empty() || name == "." || name == "..") return std::nullopt;
        const auto numbers = context.value("/sys/class/block/" + name + "/dev");
        const auto colon = numbers ? numbers->find(':') : std::string::npos;
        if (colon == std::string::npos) return std::nullopt;
        const auto ma = parseUnsigned(std::string_view(*numbers).substr(0, colon));
        const auto mi = parseUnsigned(std::string_view(*numbers).substr(colon + 1));
        if (!ma || !mi || *ma == 0 || *ma > 0xFFFFFFFFU || *mi > 0xFFFFFFFFU) return std::nullopt;
        major = *ma;
        minor = *mi;
    }
    auto device = context.blockDevice(static_cast<unsigned>(major), static_cast<unsigned>(minor));
    if (!device) return std::nullopt;
    return VolumeDevice{std::move(*device),
                        "b" + std::to_string(major) + ":" + std::to_string(minor)};
}

// A btrfs file system's UUID and label from /sys/fs/btrfs, by one of its devices.
struct BtrfsIdentity {
    std::string uuid;
    std::optional<std::string> label;
};
std::optional<BtrfsIdentity> btrfsIdentity(const WmiContext& context,
                                           const std::string& deviceName) {
    for (const auto& uuid : context.fs().list("/sys/fs/btrfs")) {
        const std::string dir = "/sys/fs/btrfs/" + uuid;
        if (context.fs().exists(dir + "/devices/" + deviceName))
            return BtrfsIdentity{uuid, context.value(dir + "/label")};
    }
    return std::nullopt;
}

// A file bind-mounted over a file (a container's /etc/hosts, /etc/hostname and
// /etc/resolv.conf, taken from the host's disk) is no volume. Only bind mounts of a
// block-backed file system (a device number, or btrfs's anonymous one with a /dev source)
// are looked at: a stat there cannot wait on a server.
bool isFileMount(const WmiContext& context, const MountEntry& m) {
    if (m.root == "/" || kindOf(m) != Kind::Local) return false;
    if (m.major == 0 && !m.source.starts_with("/dev/")) return false;
    return context.fs().exists(m.mountPoint) && !context.fs().isDirectory(m.mountPoint);
}

bool hasQuotaOption(const MountEntry& m) {
    for (const auto* options : {&m.options, &m.superOptions}) {
        std::size_t start = 0;
        while (start <= options->size()) {
            auto end = options->find(',', start);
            if (end == std::string::npos) end = options->size();
            const std::string_view o = std::string_view(*options).substr(start, end - start);
            if (o == "usrquota" || o == "grpquota" || o == "prjquota" || o == "quota" ||
                o == "usrjquota" || o == "grpjquota" || o.starts_with("usrjquota=") ||
                o.starts_with("grpjquota="))
                return true;
            start = end + 1;
        }
    }
    return false;
}

// The local and network file systems to report, the root first, then by mount point.
std::vector<const MountEntry*> reportedVolumes(WmiContext& context) {
    // The mounts in effect: a later mount on the same point hides an earlier one.
    std::vector<const MountEntry*> chosen;
    for (const auto& m : context.mounts()) {
        if (kindOf(m) == Kind::Excluded || isFileMount(context, m)) continue;
        std::erase_if(chosen, [&m](const MountEntry* c) { return c->mountPoint == m.mountPoint; });
        chosen.push_back(&m);
    }
    // One object per local file system (its device number; btrfs shows one anonymous
    // number for all its subvolumes): bind mounts and subvolumes keep the shortest mount
    // point, the first mounted among equally short ones.
    std::vector<const MountEntry*> volumes;
    for (const auto* m : chosen) {
        const bool local = kindOf(*m) == Kind::Local;
        const auto same = std::find_if(volumes.begin(), volumes.end(), [&](const MountEntry* v) {
            return local && kindOf(*v) == Kind::Local && v->major == m->major &&
                   v->minor == m->minor;
        });
        if (same == volumes.end()) {
            volumes.push_back(m);
        } else if (m->mountPoint.size() < (*same)->mountPoint.size()) {
            *same = m;
        }
    }
    std::sort(volumes.begin(), volumes.end(), [](const MountEntry* a, const MountEntry* b) {
        if ((a->mountPoint == "/") != (b->mountPoint == "/")) return a->mountPoint == "/";
        return a->mountPoint < b->mountPoint;
    });
    return volumes;
}

// Windows' drive type: 2 removable, 3 fixed, 4 network, 5 optical, 6 RAM disk.
std::uint64_t driveTypeOf(WmiContext& context, const MountEntry& m, bool network,
                          const WmiContext::BlockDevice* device) {
    std::uint64_t driveType = 3;
    if (network) {
        driveType = 4;
    } else if (m.fsType == "tmpfs" || m.fsType == "ramfs" || m.fsType == "rootfs") {
        // rootfs: the initramfs a diskless system runs from, in memory like tmpfs
        driveType = 6;
    } else if (device && (m.fsType == "iso9660" || m.fsType == "udf") &&
               device->diskName.starts_with("sr")) {
        driveType = 5;
    } else if (device && (context.number(device->diskPath + "/removable") == std::uint64_t{1} ||
                          device->diskPath.find("/usb") != std::string::npos)) {
        driveType = 2;
    }
    return driveType;
}

// The udev property, or nothing when it is missing or empty.
std::optional<std::string> propertyOf(const std::map<std::string, std::string, std::less<>>& udev,
                                      std::string_view key) {
    const auto it = udev.find(key);
    if (it == udev.end() || it->second.empty()) return std::nullopt;
    return it->second;
}

// VolumeName and VolumeSerialNumber of a file system on a block device.
void setVolumeIdentity(ObjectBuilder& object, WmiContext& context, const MountEntry& m,
                       const WmiContext::BlockDevice& device,
                       const std::map<std::string, std::string, std::less<>>& udev) {
    const auto btrfs = m.fsType == "btrfs" ? btrfsIdentity(context, device.name) : std::nullopt;
    const auto udevValue = [&udev](std::string_view key) { return propertyOf(udev, key); };
    std::optional<std::string> label;
    if (const auto encoded = udevValue("ID_FS_LABEL_ENC")) {
        label = udevUnescape(*encoded);
    } else if (const auto plain = udevValue("ID_FS_LABEL")) {
        label = plain;
    } else if (btrfs) {
        label = btrfs->label;
    } else {
        label = linkNamingDevice(context, "/dev/disk/by-label", device.name);
    }
    object.set("VolumeName", label.value_or(""));
    auto uuid = udevValue("ID_FS_UUID");
    if (!uuid && btrfs) uuid = btrfs->uuid;
    if (!uuid) uuid = linkNamingDevice(context, "/dev/disk/by-uuid", device.name);
    if (uuid) object.set("VolumeSerialNumber", volumeSerial(*uuid, m.fsType));
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kLogicalDisk = kNames;
}

std::vector<WmiObject> queryLogicalDisk(WmiContext& context) {
    const auto volumes = reportedVolumes(context);
    std::vector<std::string> points;
    for (const auto* v : volumes) points.push_back(v->mountPoint);
    const auto stats = context.system().statvfs(context.fs(), points, kStatvfsTimeout);

    std::vector<WmiObject> objects;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        const MountEntry& m = *volumes[i];
        const bool network = kindOf(m) == Kind::Network;
        const auto volume = network ? std::nullopt : volumeDevice(context, m);
        const auto* device = volume ? &volume->device : nullptr;
        const auto udev = volume ? context.udev(volume->udevKey)
                                 : std::map<std::string, std::string, std::less<>>{};
        const std::uint64_t driveType = driveTypeOf(context, m, network, device);

        ObjectBuilder object("Win32_LogicalDisk", kNames);
        object.set("Access", unsignedValue(0));
        object.set("Caption", m.mountPoint);
        object.set("DeviceID", m.mountPoint);
        object.set("Name", m.mountPoint);
        object.set("Compressed", false);
        object.set("CreationClassName", "Win32_LogicalDisk");
        object.set("SystemCreationClassName", "Win32_ComputerSystem");
        object.set("SystemName", context.hostName());
        object.set("DriveType", unsignedValue(driveType));
        static constexpr std::array<std::string_view, 7> kDescriptions = {"",
                                                                          "",
                                                                          "Removable Disk",
                                                                          "Local Fixed Disk",
                                                                          "Network Connection",
                                                                          "CD-ROM Disc",
                                                                          "RAM Disk"};
        object.set("Description", std::string(kDescriptions[driveType]));
        if (driveType == 3) object.set("MediaType", unsignedValue(12));
        if (driveType == 2 || driveType == 5) object.set("MediaType", unsignedValue(11));
        object.set("FileSystem", fileSystemName(m, propertyOf(udev, "ID_FS_VERSION").value_or("")));
        object.set("SupportsDiskQuotas", hasQuotaOption(m));
        object.set("SupportsFileBasedCompression",
                   m.fsType == "btrfs" || m.fsType == "ntfs" || m.fsType == "ntfs3");
        if (network) object.set("ProviderName", m.source);

        const FsStats& s = stats[i];
        if (s.state == FsStats::State::Ok) {
            const auto product = [](std::uint64_t a, std::uint64_t b) -> WmiValue {
                if (a != 0 && b > UINT64_MAX / a) return {};
                return unsignedValue(a * b);
            };
            object.set("Size", product(s.blocks, s.fragmentSize));
            object.set("FreeSpace", product(s.availableBlocks, s.fragmentSize));
            object.set("MaximumComponentLength", unsignedValue(s.nameMax));
        }

        if (device) setVolumeIdentity(object, context, m, *device, udev);
        objects.push_back(object.take());
    }
    return objects;
}

}  // namespace gravelin::linuxwmi
