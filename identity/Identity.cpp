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
#include "identity/Identity.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <string>

namespace gravelin::identity {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Trimmed of blanks, dots and slashes at either end, inner blanks collapsed, upper case.
std::string normalised(std::string_view value) {
    const auto isEdge = [](char c) { return isBlank(c) || c == '.' || c == '/'; };
    while (!value.empty() && isEdge(value.front())) value.remove_prefix(1);
    while (!value.empty() && isEdge(value.back())) value.remove_suffix(1);
    std::string out;
    out.reserve(value.size());
    bool blank = false;
    for (const char c : value) {
        if (isBlank(c)) {
            blank = true;
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += upper(c);
    }
    return out;
}

// A UUID as 32 upper-case hex digits, from "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (braces
// and either case allowed); nothing for anything else.
std::optional<std::string> uuidDigits(std::string_view value) {
    while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
    if (value.size() >= 2 && value.front() == '{' && value.back() == '}') {
        value.remove_prefix(1);
        value.remove_suffix(1);
    }
    if (value.size() != 36) return std::nullopt;
    std::string digits;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return std::nullopt;
            continue;
        }
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!hex) return std::nullopt;
        digits += upper(c);
    }
    return digits;
}

// The first three fields byte-reversed: the other reading of the same 16 bytes.
std::string byteSwapped(const std::string& digits) {
    std::string out = digits;
    const auto reverseBytes = [&](std::size_t at, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i) {
            out[at + 2 * i] = digits[at + 2 * (bytes - 1 - i)];
            out[at + 2 * i + 1] = digits[at + 2 * (bytes - 1 - i) + 1];
        }
    };
    reverseBytes(0, 4);
    reverseBytes(8, 2);
    reverseBytes(12, 2);
    return out;
}

std::string byteOrderFree(const std::string& digits) {
    return std::min(digits, byteSwapped(digits));
}

std::string dashed(const std::string& digits) {
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" +
           digits.substr(16, 4) + "-" + digits.substr(20);
}

// UUIDs that firmware writers leave in place of one, in either byte order.
bool isPlaceholderUuid(const std::string& digits) {
    if (std::all_of(digits.begin(), digits.end(), [&](char c) { return c == digits[0]; }))
        return true;  // all 00, all FF and the like
    bool sameBytes = true;
    for (std::size_t i = 2; i < digits.size(); i += 2)
        sameBytes = sameBytes && digits.compare(i, 2, digits, 0, 2) == 0;
    if (sameBytes) return true;
    static constexpr std::array<std::string_view, 3> kKnown = {
        // bytes 00 02 00 03 ... 00 09: Windows shows it as 03000200-0400-0500-0006-000700080009
        "03000200040005000006000700080009",
        // the UUID a Dell firmware derives from an empty service tag
        "4C4C454400000010800000C04F000000",
        // what Wine's WMI answers when it has no firmware UUID
        "DEADDEADDEADDEADDEADDEADDEADDEAD",
    };
    const std::string free = byteOrderFree(digits);
    for (const auto known : kKnown) {
        if (free == byteOrderFree(std::string(known))) return true;
    }
    return false;
}

// Compared after normalisation, so "To Be Filled By O.E.M." is "TO BE FILLED BY O.E.M".
constexpr std::string_view kPlaceholders[] = {
    "TO BE FILLED BY O.E.M",
    "TO BE FILLED BY OEM",
    "DEFAULT STRING",
    "DEFAULT",
    "SYSTEM MANUFACTURER",
    "SYSTEM PRODUCT NAME",
    "SYSTEM VERSION",
    "SYSTEM NAME",
    "NONE",
    "NULL",
    "EMPTY",
    "UNKNOWN",
    "INVALID",
    "N/A",
    "NA",
    "OEM",
    "O.E.M",
    "NOT SPECIFIED",
    "NOT AVAILABLE",
    "NOT APPLICABLE",
    "NOT PRESENT",
    "NOT SETTABLE",
    "NO ASSET INFORMATION",
    "NO ASSET TAG",
    "ASSET TAG",
    "BASE BOARD ASSET TAG",
    "CHASSIS ASSET TAG",
    "SKU NUMBER",
    "NO ENCLOSURE",
    "OEM CHASSIS MANUFACTURER",
    "TYPE2 - BOARD VENDOR NAME1",
    "TYPE2 - BOARD PRODUCT NAME1",
    "TYPE2 - BOARD ASSET TAG",
};

struct Values {
    std::string uuid;  // byte-order-free digits, or empty
    std::string serial, maker, model;
    std::string boardSerial, boardMaker, boardProduct;
    std::string enclosureSerial, enclosureMaker;
};

std::string_view attribute(pugi::xml_node node, const char* name) {
    return node.attribute(name).value();
}

// The normalised value, or empty when it is a placeholder.
std::string usable(std::string_view value) {
    return isPlaceholder(value) ? std::string() : normalised(value);
}

Values valuesOf(const pugi::xml_document& report) {
    const pugi::xml_node root = report.child("HWInfo");
    const pugi::xml_node product = root.child("Win32_ComputerSystemProduct").child("i0");
    const pugi::xml_node board = root.child("SMBIOS_Type_2_BaseBoard").child("i0");
    const pugi::xml_node wmiBoard = root.child("Win32_BaseBoard").child("i0");
    const pugi::xml_node enclosure = root.child("SMBIOS_Type_3_SystemEnclosure").child("i0");

    Values v;
    if (const auto digits = uuidDigits(attribute(product, "UUID"));
        digits && !isPlaceholderUuid(*digits)) {
        v.uuid = dashed(byteOrderFree(*digits));
    }
    v.serial = usable(attribute(product, "IdentifyingNumber"));
    v.maker = usable(attribute(product, "Vendor"));
    v.model = usable(attribute(product, "Name"));
    v.boardSerial = usable(attribute(board, "SerialNumber"));
    v.boardMaker = usable(attribute(board, "Manufacturer"));
    v.boardProduct = usable(attribute(board, "ProductName"));
    if (v.boardSerial.empty()) {
        v.boardSerial = usable(attribute(wmiBoard, "SerialNumber"));
        v.boardMaker = usable(attribute(wmiBoard, "Manufacturer"));
        v.boardProduct = usable(attribute(wmiBoard, "Product"));
    }
    v.enclosureSerial = usable(attribute(enclosure, "SerialNumber"));
    v.enclosureMaker = usable(attribute(enclosure, "Manufacturer"));
    return v;
}

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

bool isPlaceholder(std::string_view value) {
    if (const auto digits = uuidDigits(value)) return isPlaceholderUuid(*digits);
    const std::string n = normalised(value);
    // Empty, blank, or only punctuation: "", "   ", "..................", "/   /   /".
    if (std::none_of(n.begin(), n.end(), isAlnum)) return true;
    // One character repeated: "0000000000000000", "XXXXXXXX".
    std::string alnum;
    std::copy_if(n.begin(), n.end(), std::back_inserter(alnum), isAlnum);
    if (std::all_of(alnum.begin(), alnum.end(), [&](char c) { return c == alnum[0]; }))
        return true;
    // The label in place of the value: "System Serial Number", "Base Board Serial
    // Number", "Chassis Serial Number", "OEM Chassis Serial Number".
    if (n.find("SERIAL NUMBER") != std::string::npos) return true;
    // Counting digits: "0123456789", "1234567890", "BSN12345678901234567".
    if (n.find("123456789") != std::string::npos) return true;
    return std::find(std::begin(kPlaceholders), std::end(kPlaceholders), n) !=
           std::end(kPlaceholders);
}

MachineIdentity identify(const pugi::xml_document& report) {
    const Values v = valuesOf(report);
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
