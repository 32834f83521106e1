// WMI classes answered on Linux from procfs and sysfs, under their Windows names.
#pragma once

#include <string_view>
#include <vector>

#include "platform/Platform.h"
#include "platform/linux/RootFs.h"

namespace gravelin {

class LinuxWmiProvider {
public:
    explicit LinuxWmiProvider(const RootFs& fs) : fs_(fs) {}

    // The objects of the class a "SELECT ... FROM <class>" query names in namespace
    // `wmiNamespace`; none for a class this provider does not answer.
    std::vector<WmiObject> query(std::string_view wmiNamespace, std::string_view wql) const;

private:
    const RootFs& fs_;
};

}  // namespace gravelin
