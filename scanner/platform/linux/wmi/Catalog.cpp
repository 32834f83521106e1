#include <array>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"
#include "shared/Vocabulary.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::string_view kCimV2 = "root\\cimv2";
constexpr std::string_view kWmi = "root\\wmi";

constexpr std::array<WmiClass, 9> kClasses = {{
    {vocabulary::kWin32BaseBoard, kCimV2, queryBaseBoard},
    {vocabulary::kWin32Processor, kCimV2, queryProcessor},
    {vocabulary::kWin32OperatingSystem, kCimV2, queryOperatingSystem},
    {vocabulary::kWin32PerfMemory, kCimV2, queryPerfMemory},
    {vocabulary::kWin32DiskDrive, kCimV2, queryDiskDrive},
    {vocabulary::kWin32LogicalDisk, kCimV2, queryLogicalDisk},
    {vocabulary::kWin32ComputerSystemProduct, kCimV2, queryComputerSystemProduct},
    {vocabulary::kCimController, kCimV2, queryControllers},
    {vocabulary::kRawSmbiosTables, kWmi, queryRawSmbiosTables},
}};

}  // namespace

std::span<const WmiClass> wmiClasses() {
    return kClasses;
}

std::span<const std::string_view> classProperties(std::string_view className) {
    using namespace properties;
    if (className == vocabulary::kWin32BaseBoard) return kBaseBoard;
    if (className == vocabulary::kWin32Processor) return kProcessor;
    if (className == vocabulary::kWin32OperatingSystem) return kOperatingSystem;
    if (className == vocabulary::kWin32PerfMemory) return kPerfMemory;
    if (className == vocabulary::kWin32DiskDrive) return kDiskDrive;
    if (className == vocabulary::kWin32LogicalDisk) return kLogicalDisk;
    if (className == vocabulary::kWin32ComputerSystemProduct) return kComputerSystemProduct;
    if (className == vocabulary::kRawSmbiosTables) return kRawSmbiosTables;
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
