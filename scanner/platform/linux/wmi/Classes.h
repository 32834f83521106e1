// The WMI classes the Linux build answers, one unit each, and their property lists in
// WMI's order (non-system properties, sorted case-insensitively).
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "scanner/platform/Platform.h"
#include "scanner/platform/linux/wmi/WmiContext.h"

namespace gravelin::linuxwmi {

std::vector<WmiObject> queryBaseBoard(WmiContext& context);
std::vector<WmiObject> queryProcessor(WmiContext& context);
std::vector<WmiObject> queryOperatingSystem(WmiContext& context);
std::vector<WmiObject> queryPerfMemory(WmiContext& context);
std::vector<WmiObject> queryDiskDrive(WmiContext& context);
std::vector<WmiObject> queryLogicalDisk(WmiContext& context);
std::vector<WmiObject> queryComputerSystemProduct(WmiContext& context);
std::vector<WmiObject> queryControllers(WmiContext& context);
std::vector<WmiObject> queryRawSmbiosTables(WmiContext& context);

// A queryable class: its name as Windows spells it, its namespace, and its answer.
struct WmiClass {
    std::string_view name;
    std::string_view wmiNamespace;
    std::vector<WmiObject> (*query)(WmiContext&);
};
std::span<const WmiClass> wmiClasses();

// The full property list of a concrete class the provider emits; empty for others.
std::span<const std::string_view> classProperties(std::string_view className);

namespace properties {
extern const std::span<const std::string_view> kBaseBoard;
extern const std::span<const std::string_view> kProcessor;
extern const std::span<const std::string_view> kOperatingSystem;
extern const std::span<const std::string_view> kPerfMemory;
extern const std::span<const std::string_view> kDiskDrive;
extern const std::span<const std::string_view> kLogicalDisk;
extern const std::span<const std::string_view> kComputerSystemProduct;
extern const std::span<const std::string_view> kRawSmbiosTables;
// CIM_Controller subclasses.
extern const std::span<const std::string_view> kControllerWithManufacturer;  // USB, IDE, ...
extern const std::span<const std::string_view> kScsiController;
extern const std::span<const std::string_view> kVideoController;
extern const std::span<const std::string_view> kSerialPort;
extern const std::span<const std::string_view> kParallelPort;
}  // namespace properties

}  // namespace gravelin::linuxwmi
