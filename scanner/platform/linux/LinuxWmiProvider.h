// WMI classes answered on Linux from procfs and sysfs, under their Windows names.
#pragma once

#include <string_view>
#include <vector>

#include "scanner/platform/Platform.h"
#include "scanner/platform/linux/RootFs.h"
#include "scanner/platform/linux/wmi/LinuxSystem.h"
#include "scanner/platform/linux/wmi/WmiContext.h"

namespace gravelin {

class LinuxWmiProvider {
public:
    // Reads files through `fs` and asks `system` for the rest; both must outlive it.
    LinuxWmiProvider(const RootFs& fs, LinuxSystem& system) : context_(fs, system) {}

    // The objects of the class a "SELECT <list> FROM <class>" query names in namespace
    // `wmiNamespace` (keywords, class and namespace case-insensitive; <list> is "*" or
    // property names separated by commas); none for a class this provider does not answer
    // or a query it does not understand. Readings shared by several classes are taken on
    // first use and kept for the provider's life, so that one scan sees one machine state.
    std::vector<WmiObject> query(std::string_view wmiNamespace, std::string_view wql);

private:
    linuxwmi::WmiContext context_;
};

// The class name and select list of a "SELECT <list> FROM <class>" query; nothing when the
// text is not one. An empty list means "*".
struct WqlSelect {
    std::string className;
    std::vector<std::string> properties;
};
std::optional<WqlSelect> parseWqlSelect(std::string_view wql);

}  // namespace gravelin
