// Who a machine is, across scans: ordered rules over the identifying values of a report,
// with the placeholder values firmware writers leave behind treated as absent.
#pragma once

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace gravelin::identity {

struct MachineIdentity {
    // A stable key such as "uuid+serial:<UUID>|<serial>"; empty when no rule matched, in
    // which case the scan becomes a machine of its own and is never merged with another.
    std::string key;
    std::string rule;  // the name of the rule that matched, "none" when none did
};

// True for values that identify nothing: empty, whitespace-only, "To Be Filled By O.E.M.",
// "Default string", all-zero or all-FF UUIDs, ...
bool isPlaceholder(std::string_view value);

MachineIdentity identify(const pugi::xml_document& report);

}  // namespace gravelin::identity
