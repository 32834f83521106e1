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

// The rules, most telling first, by the name stored with each machine and in words for
// people. A rule's name is what identify() answers; the words are what the console shows.
struct IdentityRule {
    std::string_view name, words;
};
inline constexpr IdentityRule kIdentityRules[] = {
    {"uuid+serial", "UUID and serial number"},
    {"uuid+board", "UUID and board serial number"},
    {"uuid+enclosure", "UUID and enclosure serial number"},
    {"uuid", "UUID alone"},
    {"serial", "maker, model and serial number"},
    {"board", "board maker, product and serial number"},
    {"enclosure", "enclosure serial number, with maker and model"},
    {"none", "nothing it reported (a machine of its own)"},
};
// The rule's words; a name this version does not know, as it is.
std::string ruleInWords(std::string_view rule);

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
