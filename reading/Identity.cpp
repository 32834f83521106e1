// Who a machine is, across scans.
//
// The values read, by report node (every node's first object, "i0"; both builds of the
// scanner write these names):
//   Win32_ComputerSystemProduct  UUID, IdentifyingNumber (the system serial), Vendor, Name
//   SMBIOS_Type_2_BaseBoard      SerialNumber, Manufacturer, ProductName
//   Win32_BaseBoard              SerialNumber, Manufacturer, Product (when the SMBIOS
//                                baseboard node has no usable serial)
//   SMBIOS_Type_3_SystemEnclosure SerialNumber, Manufacturer
//
// The rules, in order; the first whose values are all usable gives the key:
//   1 uuid+serial     UUID and system serial
//   2 uuid+board      UUID and baseboard serial
//   3 uuid+enclosure  UUID and enclosure serial
//   4 uuid            UUID alone
//   5 serial          system serial, with maker and model
//   6 board           baseboard serial, with the board's maker and product and the
//                     enclosure serial when there is one
//   7 enclosure       enclosure serial, with the enclosure's maker, maker and model
//   none              nothing usable: no key, the scan is a machine of its own
// A UUID is never used alone while a serial is there: clones share UUIDs (copied virtual
// machines, boards a maker left with one UUID), and the serial keeps them apart.
//
// Values are normalised before use: surrounding blanks, dots and slashes go
// ("..CN6970237M0012." is "CN6970237M0012"), runs of blanks become one, letters are
// upper-cased. A UUID is keyed in a byte-order-free form: tables before SMBIOS 2.6 store
// the first three fields in either order and the two builds read them differently, so
// the key takes the smaller of the UUID and its byte-swapped form.
#include "reading/Identity.h"

#include <string>

#include "reading/Placeholder.h"
#include "shared/Vocabulary.h"

namespace gravelin::identity {

namespace {

using report::byteOrderFree;
using report::dashedUuid;
using report::isPlaceholderUuid;
using report::normalisedValue;
using report::uuidDigits;

std::string_view attribute(pugi::xml_node node, const char* name) {
    return node.attribute(name).value();
}

// The normalised value, or empty when it is a placeholder.
std::string usable(std::string_view value) {
    return isPlaceholder(value) ? std::string() : normalisedValue(value);
}

}  // namespace

IdentityValues identityValues(const pugi::xml_document& report) {
    using namespace vocabulary;
    const pugi::xml_node root = report.child(kReportRoot);
    const pugi::xml_node product = root.child(kWin32ComputerSystemProduct).child(kFirstInstance);
    const pugi::xml_node board = root.child(kSmbiosBaseBoardNode).child(kFirstInstance);
    const pugi::xml_node wmiBoard = root.child(kWin32BaseBoard).child(kFirstInstance);
    const pugi::xml_node enclosure = root.child(kSmbiosEnclosureNode).child(kFirstInstance);

    IdentityValues v;
    if (const auto digits = uuidDigits(attribute(product, "UUID"));
        digits && !isPlaceholderUuid(*digits)) {
        v.uuid = dashedUuid(byteOrderFree(*digits));
    }
    v.serial = usable(attribute(product, "IdentifyingNumber"));
    v.maker = usable(attribute(product, "Vendor"));
    v.model = usable(attribute(product, "Name"));
    v.boardSerial = usable(attribute(board, "SerialNumber"));
    v.boardMaker = usable(attribute(board, "Manufacturer"));
    v.boardProduct = usable(attribute(board, "ProductName"));
    v.wmiBoardSerial = usable(attribute(wmiBoard, "SerialNumber"));
    v.wmiBoardMaker = usable(attribute(wmiBoard, "Manufacturer"));
    v.wmiBoardProduct = usable(attribute(wmiBoard, "Product"));
    v.enclosureSerial = usable(attribute(enclosure, "SerialNumber"));
    v.enclosureMaker = usable(attribute(enclosure, "Manufacturer"));
    return v;
}

namespace {

MachineIdentity keyed(std::string rule, std::initializer_list<std::string_view> parts) {
    std::string key = rule + ":";
    bool first = true;
    for (const auto part : parts) {
        if (!first) key += '|';
        key += part;
        first = false;
    }
    return {std::move(key), std::move(rule)};
}

}  // namespace

std::string ruleInWords(std::string_view rule) {
    for (const IdentityRule& known : kIdentityRules)
        if (known.name == rule) return std::string(known.words);
    return std::string(rule);
}

MachineIdentity identify(const pugi::xml_document& report, const report::AddedPlaceholders& added) {
    return identify(identityValues(report), added);
}

MachineIdentity identify(const IdentityValues& values, const report::AddedPlaceholders& added) {
    IdentityValues v = values;
    for (std::string* value :
         {&v.uuid, &v.serial, &v.boardSerial, &v.wmiBoardSerial, &v.enclosureSerial})
        if (added.contains(*value)) value->clear();
    // The board as SMBIOS gives it, or as WMI does when SMBIOS has no usable serial.
    if (v.boardSerial.empty()) {
        v.boardSerial = v.wmiBoardSerial;
        v.boardMaker = v.wmiBoardMaker;
        v.boardProduct = v.wmiBoardProduct;
    }
    if (!v.uuid.empty()) {
        if (!v.serial.empty()) return keyed("uuid+serial", {v.uuid, v.serial});
        if (!v.boardSerial.empty()) return keyed("uuid+board", {v.uuid, v.boardSerial});
        if (!v.enclosureSerial.empty()) return keyed("uuid+enclosure", {v.uuid, v.enclosureSerial});
        return keyed("uuid", {v.uuid});
    }
    if (!v.serial.empty()) return keyed("serial", {v.maker, v.model, v.serial});
    if (!v.boardSerial.empty()) {
        return keyed("board", {v.boardMaker, v.boardProduct, v.boardSerial, v.enclosureSerial});
    }
    if (!v.enclosureSerial.empty()) {
        return keyed("enclosure", {v.enclosureMaker, v.maker, v.model, v.enclosureSerial});
    }
    return {"", "none"};
}

}  // namespace gravelin::identity
