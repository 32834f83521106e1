#include <array>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::string_view kCimV2 = "root\\cimv2";
constexpr std::string_view kWmi = "root\\wmi";

constexpr std::array<WmiClass, 9> kClasses = {{
    {"Win32_BaseBoard", kCimV2, queryBaseBoard},
    {"Win32_Processor", kCimV2, queryProcessor},
    {"Win32_OperatingSystem", kCimV2, queryOperatingSystem},
    {"Win32_PerfFormattedData_PerfOS_Memory", kCimV2, queryPerfMemory},
    {"Win32_DiskDrive", kCimV2, queryDiskDrive},
    {"Win32_LogicalDisk", kCimV2, queryLogicalDisk},
    {"Win32_ComputerSystemProduct", kCimV2, queryComputerSystemProduct},
    {"CIM_Controller", kCimV2, queryControllers},
    {"MSSmBios_RawSMBiosTables", kWmi, queryRawSmbiosTables},
}};

}  // namespace

std::span<const WmiClass> wmiClasses() {
    return kClasses;
}

std::span<const std::string_view> classProperties(std::string_view className) {
    using namespace properties;
    if (className == "Win32_BaseBoard") return kBaseBoard;
    if (className == "Win32_Processor") return kProcessor;
    if (className == "Win32_OperatingSystem") return kOperatingSystem;
    if (className == "Win32_PerfFormattedData_PerfOS_Memory") return kPerfMemory;
    if (className == "Win32_DiskDrive") return kDiskDrive;
    if (className == "Win32_LogicalDisk") return kLogicalDisk;
    if (className == "Win32_ComputerSystemProduct") return kComputerSystemProduct;
    if (className == "MSSmBios_RawSMBiosTables") return kRawSmbiosTables;
    if (className == "Win32_SCSIController") return kScsiController;
    if (className == "Win32_VideoController") return kVideoController;
    if (className == "Win32_SerialPort") return kSerialPort;
    if (className == "Win32_ParallelPort") return kParallelPort;
    if (className == "Win32_USBController" || className == "Win32_IDEController" ||
        className == "Win32_1394Controller" || className == "Win32_FloppyController" ||
        className == "Win32_PCMCIAController" || className == "Win32_InfraredDevice")
        return kControllerWithManufacturer;
    return {};
}

}  // namespace gravelin::linuxwmi
