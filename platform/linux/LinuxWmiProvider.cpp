#include "platform/linux/LinuxWmiProvider.h"

namespace gravelin {

std::vector<WmiObject> LinuxWmiProvider::query(std::string_view /*wmiNamespace*/,
                                               std::string_view /*wql*/) const {
    return {};
}

}  // namespace gravelin
