// CIM_Controller: the objects of its concrete subclasses, each with its own property list.
// PCI functions by class code (USB, IDE/SATA, SCSI/NVMe/RAID/virtio storage, video,
// FireWire, floppy, PCMCIA, infrared; never sound or network devices), USB host
// controllers and display devices that are not on PCI, serial ports, parallel ports and
// legacy floppy controllers. Ordered by class name, then by address.
#include <algorithm>
#include <array>
#include <cstdio>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 23> kWithManufacturer = {"Availability",
                                                                "Caption",
                                                                "ConfigManagerErrorCode",
                                                                "ConfigManagerUserConfig",
                                                                "CreationClassName",
                                                                "Description",
                                                                "DeviceID",
                                                                "ErrorCleared",
                                                                "ErrorDescription",
                                                                "InstallDate",
                                                                "LastErrorCode",
                                                                "Manufacturer",
                                                                "MaxNumberControlled",
                                                                "Name",
                                                                "PNPDeviceID",
                                                                "PowerManagementCapabilities",
                                                                "PowerManagementSupported",
                                                                "ProtocolSupported",
                                                                "Status",
                                                                "StatusInfo",
                                                                "SystemCreationClassName",
                                                                "SystemName",
                                                                "TimeOfLastReset"};

constexpr std::array<std::string_view, 31> kScsi = {"Availability",
                                                    "Caption",
                                                    "ConfigManagerErrorCode",
                                                    "ConfigManagerUserConfig",
                                                    "ControllerTimeouts",
                                                    "CreationClassName",
                                                    "Description",
                                                    "DeviceID",
                                                    "DeviceMap",
                                                    "DriverName",
                                                    "ErrorCleared",
                                                    "ErrorDescription",
                                                    "HardwareVersion",
                                                    "Index",
                                                    "InstallDate",
                                                    "LastErrorCode",
                                                    "Manufacturer",
                                                    "MaxDataWidth",
                                                    "MaxNumberControlled",
                                                    "MaxTransferRate",
                                                    "Name",
                                                    "PNPDeviceID",
                                                    "PowerManagementCapabilities",
                                                    "PowerManagementSupported",
                                                    "ProtectionManagement",
                                                    "ProtocolSupported",
                                                    "Status",
                                                    "StatusInfo",
                                                    "SystemCreationClassName",
                                                    "SystemName",
                                                    "TimeOfLastReset"};

constexpr std::array<std::string_view, 59> kVideo = {"AcceleratorCapabilities",
                                                     "AdapterCompatibility",
                                                     "AdapterDACType",
                                                     "AdapterRAM",
                                                     "Availability",
                                                     "CapabilityDescriptions",
                                                     "Caption",
                                                     "ColorTableEntries",
                                                     "ConfigManagerErrorCode",
                                                     "ConfigManagerUserConfig",
                                                     "CreationClassName",
                                                     "CurrentBitsPerPixel",
                                                     "CurrentHorizontalResolution",
                                                     "CurrentNumberOfColors",
                                                     "CurrentNumberOfColumns",
                                                     "CurrentNumberOfRows",
                                                     "CurrentRefreshRate",
                                                     "CurrentScanMode",
                                                     "CurrentVerticalResolution",
                                                     "Description",
                                                     "DeviceID",
                                                     "DeviceSpecificPens",
                                                     "DitherType",
                                                     "DriverDate",
                                                     "DriverVersion",
                                                     "ErrorCleared",
                                                     "ErrorDescription",
                                                     "ICMIntent",
                                                     "ICMMethod",
                                                     "InfFilename",
                                                     "InfSection",
                                                     "InstallDate",
                                                     "InstalledDisplayDrivers",
                                                     "LastErrorCode",
                                                     "MaxMemorySupported",
                                                     "MaxNumberControlled",
                                                     "MaxRefreshRate",
                                                     "MinRefreshRate",
                                                     "Monochrome",
                                                     "Name",
                                                     "NumberOfColorPlanes",
                                                     "NumberOfVideoPages",
                                                     "PNPDeviceID",
                                                     "PowerManagementCapabilities",
                                                     "PowerManagementSupported",
                                                     "ProtocolSupported",
                                                     "ReservedSystemPaletteEntries",
                                                     "SpecificationVersion",
                                                     "Status",
                                                     "StatusInfo",
                                                     "SystemCreationClassName",
                                                     "SystemName",
                                                     "SystemPaletteEntries",
                                                     "TimeOfLastReset",
                                                     "VideoArchitecture",
                                                     "VideoMemoryType",
                                                     "VideoMode",
                                                     "VideoModeDescription",
                                                     "VideoProcessor"};

constexpr std::array<std::string_view, 47> kSerial = {"Availability",
                                                      "Binary",
                                                      "Capabilities",
                                                      "CapabilityDescriptions",
                                                      "Caption",
                                                      "ConfigManagerErrorCode",
                                                      "ConfigManagerUserConfig",
                                                      "CreationClassName",
                                                      "Description",
                                                      "DeviceID",
                                                      "ErrorCleared",
                                                      "ErrorDescription",
                                                      "InstallDate",
                                                      "LastErrorCode",
                                                      "MaxBaudRate",
                                                      "MaximumInputBufferSize",
                                                      "MaximumOutputBufferSize",
                                                      "MaxNumberControlled",
                                                      "Name",
                                                      "OSAutoDiscovered",
                                                      "PNPDeviceID",
                                                      "PowerManagementCapabilities",
                                                      "PowerManagementSupported",
                                                      "ProtocolSupported",
                                                      "ProviderType",
                                                      "SettableBaudRate",
                                                      "SettableDataBits",
                                                      "SettableFlowControl",
                                                      "SettableParity",
                                                      "SettableParityCheck",
                                                      "SettableRLSD",
                                                      "SettableStopBits",
                                                      "Status",
                                                      "StatusInfo",
                                                      "Supports16BitMode",
                                                      "SupportsDTRDSR",
                                                      "SupportsElapsedTimeouts",
                                                      "SupportsIntTimeouts",
                                                      "SupportsParityCheck",
                                                      "SupportsRLSD",
                                                      "SupportsRTSCTS",
                                                      "SupportsSpecialCharacters",
                                                      "SupportsXOnXOff",
                                                      "SupportsXOnXOffSet",
                                                      "SystemCreationClassName",
                                                      "SystemName",
                                                      "TimeOfLastReset"};

constexpr std::array<std::string_view, 26> kParallel = {"Availability",
                                                        "Capabilities",
                                                        "CapabilityDescriptions",
                                                        "Caption",
                                                        "ConfigManagerErrorCode",
                                                        "ConfigManagerUserConfig",
                                                        "CreationClassName",
                                                        "Description",
                                                        "DeviceID",
                                                        "DMASupport",
                                                        "ErrorCleared",
                                                        "ErrorDescription",
                                                        "InstallDate",
                                                        "LastErrorCode",
                                                        "MaxNumberControlled",
                                                        "Name",
                                                        "OSAutoDiscovered",
                                                        "PNPDeviceID",
                                                        "PowerManagementCapabilities",
                                                        "PowerManagementSupported",
                                                        "ProtocolSupported",
                                                        "Status",
                                                        "StatusInfo",
                                                        "SystemCreationClassName",
                                                        "SystemName",
                                                        "TimeOfLastReset"};

// In-tree display drivers: their version is the kernel's.
constexpr std::array<std::string_view, 16> kInTreeDisplayDrivers = {
    "i915",      "xe",    "amdgpu", "radeon", "nouveau", "virtio-pci", "virtio_gpu", "qxl",
    "bochs-drm", "bochs", "vmwgfx", "ast",    "mgag200", "hyperv_drm", "simpledrm",  "cirrus"};

struct PciFunction {
    std::string address;  // "0000:00:14.0"
    std::string path;     // resolved sysfs directory
    std::uint32_t classCode = 0;
    std::uint16_t vendor = 0;
    std::uint16_t device = 0;
    std::uint16_t subsystemVendor = 0;
    std::uint16_t subsystemDevice = 0;
    std::uint8_t revision = 0;
    std::optional<std::string> driver;
    bool bootVga = false;
};

struct Found {
    std::string className;
    std::string sortKey;
    WmiObject object;
};

std::string pnpId(const PciFunction& f) {
    char text[96];
    std::snprintf(text, sizeof text, "PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X\\", f.vendor,
                  f.device, f.subsystemDevice, f.subsystemVendor, f.revision);
    return text + f.address;
}

bool isPciAddress(std::string_view name) {
    // dddd:bb:dd.f
    if (name.size() != 12 || name[4] != ':' || name[7] != ':' || name[10] != '.') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11}) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::vector<PciFunction> pciFunctions(const WmiContext& context) {
    std::vector<PciFunction> functions;
    for (const auto& address : context.fs().list("/sys/bus/pci/devices")) {
        if (!isPciAddress(address)) continue;
        PciFunction f;
        f.address = address;
        f.path = context.resolve("/sys/bus/pci/devices/" + address);
        const auto classCode = context.hexNumber(f.path + "/class");
        const auto vendor = context.hexNumber(f.path + "/vendor");
        const auto device = context.hexNumber(f.path + "/device");
        if (!classCode || !vendor || !device || *classCode > 0xFFFFFF || *vendor > 0xFFFF ||
            *device > 0xFFFF)
            continue;
        f.classCode = static_cast<std::uint32_t>(*classCode);
        f.vendor = static_cast<std::uint16_t>(*vendor);
        f.device = static_cast<std::uint16_t>(*device);
        f.subsystemVendor =
            static_cast<std::uint16_t>(context.hexNumber(f.path + "/subsystem_vendor").value_or(0));
        f.subsystemDevice =
            static_cast<std::uint16_t>(context.hexNumber(f.path + "/subsystem_device").value_or(0));
        f.revision = static_cast<std::uint8_t>(context.hexNumber(f.path + "/revision").value_or(0));
        f.driver = context.linkName(f.path + "/driver");
        f.bootVga = context.number(f.path + "/boot_vga") == std::uint64_t{1};
        functions.push_back(std::move(f));
    }
    return functions;
}

// The concrete class a PCI function belongs to, or "" when it is no controller.
std::string_view pciClassName(std::uint32_t classCode) {
    const std::uint32_t subclass = classCode >> 8;
    const std::uint32_t progIf = classCode & 0xFF;
    switch (subclass) {
        case 0x0C03: return progIf == 0xFE ? "" : "Win32_USBController";
        case 0x0101:
        case 0x0105:
        case 0x0106: return "Win32_IDEController";
        case 0x0100:
        case 0x0103:
        case 0x0104:
        case 0x0107:
        case 0x0108:
        case 0x0109:
        case 0x0180: return "Win32_SCSIController";
        case 0x0102: return "Win32_FloppyController";
        case 0x0C00: return "Win32_1394Controller";
        case 0x0605:
        case 0x0607: return "Win32_PCMCIAController";
        case 0x0D00:
        case 0x0D01: return "Win32_InfraredDevice";
        default: break;
    }
    if ((classCode >> 16) == 0x03) return "Win32_VideoController";
    return "";
}

struct PciNamesOf {
    std::optional<std::string> vendor;
    std::optional<std::string> device;
};

PciNamesOf namesOf(WmiContext& context, const PciFunction& f) {
    const auto udev = context.udev("+pci:" + f.address);
    PciNamesOf names;
    if (const auto it = udev.find("ID_VENDOR_FROM_DATABASE"); it != udev.end())
        names.vendor = nonEmpty(it->second);
    if (const auto it = udev.find("ID_MODEL_FROM_DATABASE"); it != udev.end())
        names.device = nonEmpty(it->second);
    if (!names.vendor) names.vendor = context.pciNames().vendor(f.vendor);
    if (!names.device) names.device = context.pciNames().device(f.vendor, f.device);
    return names;
}

// The properties every controller class has.
void setCommon(ObjectBuilder& object, WmiContext& context, std::string_view className,
               const std::string& name, bool driverBound) {
    object.set("Caption", name);
    object.set("Description", name);
    object.set("Name", name);
    object.set("ConfigManagerErrorCode", unsignedValue(driverBound ? 0 : 28));
    object.set("ConfigManagerUserConfig", false);
    object.set("CreationClassName", std::string(className));
    object.set("Status", driverBound ? "OK" : "Error");
    object.set("SystemCreationClassName", "Win32_ComputerSystem");
    object.set("SystemName", context.hostName());
}

std::optional<std::uint64_t> protocolOf(std::string_view className) {
    if (className == "Win32_USBController") return 16;
    if (className == "Win32_IDEController") return 37;
    if (className == "Win32_1394Controller") return 12;
    if (className == "Win32_PCMCIAController") return 15;
    return std::nullopt;
}

std::span<const std::string_view> namesFor(std::string_view className) {
    if (className == "Win32_SCSIController") return kScsi;
    if (className == "Win32_VideoController") return kVideo;
    if (className == "Win32_SerialPort") return kSerial;
    if (className == "Win32_ParallelPort") return kParallel;
    return kWithManufacturer;
}

// Video properties of the console frame buffer that shows this device, if any.
void setDisplayMode(ObjectBuilder& object, WmiContext& context, const std::string& devicePath) {
    for (const auto& fb : context.fs().list("/sys/class/graphics")) {
        const std::string base = "/sys/class/graphics/" + fb;
        if (!context.fs().readLink(base + "/device")) continue;
        if (context.resolve(base + "/device") != devicePath) continue;
        const auto size = context.value(base + "/virtual_size");
        const auto bits = context.number(base + "/bits_per_pixel");
        if (!size || !bits || *bits == 0 || *bits > 63) return;
        const auto comma = size->find(',');
        if (comma == std::string::npos) return;
        const auto width = parseUnsigned(size->substr(0, comma));
        const auto height = parseUnsigned(size->substr(comma + 1));
        if (!width || !height || *width > 0xFFFFFFFFU || *height > 0xFFFFFFFFU) return;
        const std::uint64_t colors = std::uint64_t{1} << *bits;
        object.set("CurrentBitsPerPixel", unsignedValue(*bits));
        object.set("CurrentHorizontalResolution", unsignedValue(*width));
        object.set("CurrentVerticalResolution", unsignedValue(*height));
        object.set("CurrentNumberOfColors", unsignedValue(colors));
        object.set("CurrentNumberOfColumns", unsignedValue(0));
        object.set("CurrentNumberOfRows", unsignedValue(0));
        object.set("CurrentScanMode", unsignedValue(4));
        object.set("VideoModeDescription", std::to_string(*width) + " x " +
                                               std::to_string(*height) + " x " +
                                               std::to_string(colors) + " colors");
        return;
    }
}

void setVideo(ObjectBuilder& object, WmiContext& context, const std::string& devicePath,
              const std::optional<std::string>& driver, const PciNamesOf& names, bool pci) {
    object.set("DitherType", unsignedValue(0));
    object.set("Monochrome", false);
    object.set("VideoMemoryType", unsignedValue(2));
    object.set("VideoArchitecture", unsignedValue(pci && driver ? 5 : 2));
    if (driver) object.set("Availability", unsignedValue(3));
    object.set("AdapterCompatibility", optionalText(names.vendor));
    object.set("VideoProcessor", optionalText(names.device));
    object.set("InstalledDisplayDrivers", optionalText(driver));
    if (driver) {
        auto version = context.value("/sys/module/" + *driver + "/version");
        if (!version && std::find(kInTreeDisplayDrivers.begin(), kInTreeDisplayDrivers.end(),
                                  *driver) != kInTreeDisplayDrivers.end())
            version = nonEmpty(context.uname().release);
        object.set("DriverVersion", optionalText(version));
    }
    if (const auto vram = context.number(devicePath + "/mem_info_vram_total"))
        object.set("AdapterRAM", unsignedValue(std::min<std::uint64_t>(*vram, 0xFFF00000U)));
    setDisplayMode(object, context, devicePath);
}

// The USB device (the directory with idVendor) above a sysfs path.
std::optional<std::string> usbDeviceAbove(const WmiContext& context, std::string path) {
    for (int depth = 0; depth < 8 && path.size() > 1; ++depth) {
        if (context.fs().exists(path + "/idVendor")) return path;
        path = path.substr(0, path.rfind('/'));
    }
    return std::nullopt;
}

void addSerialPorts(std::vector<Found>& found, WmiContext& context,
                    const std::vector<PciFunction>& pci) {
    for (const auto& tty : context.fs().list("/sys/class/tty")) {
        const std::string base = "/sys/class/tty/" + tty;
        const bool legacy = tty.starts_with("ttyS");
        const bool usbSerial = tty.starts_with("ttyUSB") || tty.starts_with("ttyACM");
        if (!legacy && !usbSerial && !tty.starts_with("ttyAMA")) continue;
        if (!context.fs().readLink(base + "/device")) continue;
        if (legacy) {
            // The 8250 driver registers ports that have no hardware behind them: type 0.
            const auto type = context.number(base + "/type");
            if (!type || *type == 0) continue;
        }
        const std::string device = context.resolve(base + "/device");
        std::string name = "Communications Port (" + tty + ")";
        std::optional<std::string> pnp;
        if (const auto usb = usbSerial ? usbDeviceAbove(context, device) : std::nullopt) {
            if (const auto product = context.value(*usb + "/product"))
                name = *product + " (" + tty + ")";
            const auto vid = context.hexNumber(*usb + "/idVendor");
            const auto pid = context.hexNumber(*usb + "/idProduct");
            if (vid && pid && *vid <= 0xFFFF && *pid <= 0xFFFF) {
                char text[40];
                std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\",
                              static_cast<unsigned>(*vid), static_cast<unsigned>(*pid));
                const auto serial = context.value(*usb + "/serial");
                pnp = text + serial.value_or(usb->substr(usb->rfind('/') + 1));
            }
        } else {
            for (const auto& f : pci) {
                if (f.path == device) pnp = pnpId(f);
            }
        }
        ObjectBuilder object("Win32_SerialPort", kSerial);
        setCommon(object, context, "Win32_SerialPort", name, true);
        object.set("DeviceID", tty);
        object.set("PNPDeviceID", optionalText(pnp));
        object.set("OSAutoDiscovered", true);
        if (!usbSerial) object.set("ProviderType", "RS232 Serial Port");
        if (legacy) {
            if (const auto clock = context.number(base + "/uartclk"); clock && *clock >= 16)
                object.set("MaxBaudRate",
                           unsignedValue(std::min<std::uint64_t>(*clock / 16, 0xFFFFFFFFU)));
        }
        found.push_back({"Win32_SerialPort", tty, object.take()});
    }
}

void addParallelPorts(std::vector<Found>& found, WmiContext& context) {
    for (const auto& port : context.fs().list("/sys/class/parport")) {
        if (!port.starts_with("parport")) continue;
        ObjectBuilder object("Win32_ParallelPort", kParallel);
        setCommon(object, context, "Win32_ParallelPort", "Printer Port (" + port + ")", true);
        object.set("DeviceID", port);
        object.set("OSAutoDiscovered", true);
        if (const auto dma = context.value("/proc/sys/dev/parport/" + port + "/dma"))
            object.set("DMASupport", *dma != "-1");
        found.push_back({"Win32_ParallelPort", port, object.take()});
    }
}

void addPnpFloppies(std::vector<Found>& found, WmiContext& context) {
    for (const auto& dev : context.fs().list("/sys/bus/pnp/devices")) {
        const std::string base = "/sys/bus/pnp/devices/" + dev;
        const auto ids = context.read(base + "/id", 4096);
        if (!ids || ids->find("PNP0700") == std::string::npos) continue;
        const bool bound = context.fs().readLink(base + "/driver").has_value();
        ObjectBuilder object("Win32_FloppyController", kWithManufacturer);
        setCommon(object, context, "Win32_FloppyController", "Standard floppy disk controller",
                  bound);
        object.set("DeviceID", "ACPI\\PNP0700\\" + dev);
        object.set("PNPDeviceID", "ACPI\\PNP0700\\" + dev);
        found.push_back({"Win32_FloppyController", "pnp:" + dev, object.take()});
    }
}

// USB host controllers and display devices that sit on no PCI function (SoCs, Hyper-V).
void addPlatformDevices(std::vector<Found>& found, WmiContext& context,
                        const std::vector<PciFunction>& pci, std::vector<Found>& video) {
    const auto onPci = [&pci](const std::string& path) {
        return std::any_of(pci.begin(), pci.end(),
                           [&path](const PciFunction& f) { return f.path == path; });
    };
    std::vector<std::string> seen;
    for (const auto& hub : context.fs().list("/sys/bus/usb/devices")) {
        if (!hub.starts_with("usb")) continue;
        const std::string path = context.resolve("/sys/bus/usb/devices/" + hub);
        const auto slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0) continue;
        const std::string controller = path.substr(0, slash);
        if (onPci(controller)) continue;
        if (std::find(seen.begin(), seen.end(), controller) != seen.end()) continue;
        seen.push_back(controller);
        const std::string device = controller.substr(controller.rfind('/') + 1);
        const auto driver = context.linkName(controller + "/driver");
        std::optional<std::string> name;
        if (const auto compatible = context.read(controller + "/of_node/compatible", 4096))
            name = nonEmpty(compatible->substr(0, compatible->find('\0')));  // the first entry
        if (!name) name = driver;
        if (!name) name = device;
        ObjectBuilder object("Win32_USBController", kWithManufacturer);
        setCommon(object, context, "Win32_USBController", *name, driver.has_value());
        object.set("DeviceID", "PLATFORM\\" + device);
        object.set("PNPDeviceID", "PLATFORM\\" + device);
        object.set("ProtocolSupported", unsignedValue(16));
        found.push_back({"Win32_USBController", "platform:" + controller, object.take()});
    }
    for (const auto& card : context.fs().list("/sys/class/drm")) {
        if (!card.starts_with("card") || card.find('-') != std::string::npos) continue;
        const std::string link = "/sys/class/drm/" + card + "/device";
        if (!context.fs().readLink(link)) continue;
        const std::string device = context.resolve(link);
        if (onPci(device)) continue;
        const auto driver = context.linkName(device + "/driver");
        const std::string deviceName = device.substr(device.rfind('/') + 1);
        const std::string name = driver.value_or(deviceName);
        ObjectBuilder object("Win32_VideoController", kVideo);
        setCommon(object, context, "Win32_VideoController", name, driver.has_value());
        object.set("PNPDeviceID", "PLATFORM\\" + deviceName);
        setVideo(object, context, device, driver, {}, false);
        video.push_back({"Win32_VideoController", "2:platform:" + device, object.take()});
    }
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kControllerWithManufacturer = kWithManufacturer;
const std::span<const std::string_view> kScsiController = kScsi;
const std::span<const std::string_view> kVideoController = kVideo;
const std::span<const std::string_view> kSerialPort = kSerial;
const std::span<const std::string_view> kParallelPort = kParallel;
}  // namespace properties

std::vector<WmiObject> queryControllers(WmiContext& context) {
    const auto pci = pciFunctions(context);
    std::vector<Found> found;
    std::vector<Found> video;
    std::uint64_t scsiIndex = 0;
    for (const auto& f : pci) {
        const std::string_view className = pciClassName(f.classCode);
        if (className.empty()) continue;
        const auto names = namesOf(context, f);
        char fallback[40];
        std::snprintf(fallback, sizeof fallback, "PCI device %04x:%04x", f.vendor, f.device);
        const std::string name = names.device.value_or(fallback);
        const bool bound = f.driver.has_value();

        ObjectBuilder object(className, namesFor(className));
        setCommon(object, context, className, name, bound);
        object.set("PNPDeviceID", pnpId(f));
        if (className == "Win32_VideoController") {
            setVideo(object, context, f.path, f.driver, names, true);
            video.push_back({std::string(className),
                             std::string(f.bootVga ? "0:" : "1:") + f.address, object.take()});
            continue;
        }
        object.set("DeviceID", pnpId(f));
        object.set("Manufacturer", optionalText(names.vendor));
        object.set("ProtocolSupported", optionalUnsigned(protocolOf(className)));
        if (className == "Win32_SCSIController") {
            object.set("DriverName", optionalText(f.driver));
            object.set("Index", unsignedValue(scsiIndex++));
        }
        found.push_back({std::string(className), f.address, object.take()});
    }
    addPlatformDevices(found, context, pci, video);

    // Display adapters are numbered VideoController1, 2, ... with the boot display first.
    std::stable_sort(video.begin(), video.end(),
                     [](const Found& a, const Found& b) { return a.sortKey < b.sortKey; });
    for (std::size_t i = 0; i < video.size(); ++i) {
        const std::string id = "VideoController" + std::to_string(i + 1);
        for (auto& [name, value] : video[i].object.properties) {
            if (name == "DeviceID") value = WmiValue(id);
        }
        found.push_back(std::move(video[i]));
    }
    addSerialPorts(found, context, pci);
    addParallelPorts(found, context);
    addPnpFloppies(found, context);

    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.className != b.className) return a.className < b.className;
        return naturalLess(a.sortKey, b.sortKey);
    });
    std::vector<WmiObject> objects;
    objects.reserve(found.size());
    for (auto& f : found) objects.push_back(std::move(f.object));
    return objects;
}

}  // namespace gravelin::linuxwmi
