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

// The identifying values of a report, read once; built-in placeholders already left out.
struct IdentityValues {
    std::string uuid;  // byte-order-free, dashed, or empty
    std::string serial, maker, model;
    std::string boardSerial, boardMaker, boardProduct;           // SMBIOS
    std::string wmiBoardSerial, wmiBoardMaker, wmiBoardProduct;  // when SMBIOS has none
    std::string enclosureSerial, enclosureMaker;
};
IdentityValues identityValues(const pugi::xml_document& report);

// The rules over the values, with the UUID and the serials an admin declared placeholders
// (`added`) treated as absent.
MachineIdentity identify(const IdentityValues& values, const report::AddedPlaceholders& added);
MachineIdentity identify(const pugi::xml_document& report,
                         const report::AddedPlaceholders& added = {});

}  // namespace gravelin::identity
