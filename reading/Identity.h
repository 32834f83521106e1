// Who a machine is, across scans: ordered rules over the identifying values of a report,
// with the placeholder values firmware writers leave behind treated as absent.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "reading/Placeholder.h"

namespace gravelin::identity {

struct MachineIdentity {
    // A stable key such as "uuid+serial:<UUID>|<serial>"; empty when no rule matched, in
    // which case the scan becomes a machine of its own and is never merged with another.
    std::string key;
    std::string rule;  // the name of the rule that matched, "none" when none did
};

// Values that identify nothing are the report room's one list.
using report::isPlaceholder;

MachineIdentity identify(const pugi::xml_document& report);

}  // namespace gravelin::identity
