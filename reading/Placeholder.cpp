#include "reading/Placeholder.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <set>

#include "shared/Text.h"

namespace gravelin::report {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::string normalisedValue(std::string_view value) {
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
        out += asciiUpper(c);
    }
    return out;
}

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
        digits += asciiUpper(c);
    }
    return digits;
}

namespace {

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

}  // namespace

std::string byteOrderFree(const std::string& digits) {
    return std::min(digits, byteSwapped(digits));
}

std::string dashedUuid(const std::string& digits) {
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" +
           digits.substr(16, 4) + "-" + digits.substr(20);
}

bool isPlaceholderUuid(const std::string& digits) {
    if (std::all_of(digits.begin(), digits.end(), [&](char c) { return c == digits[0]; }))
        return true;  // all 00, all FF and the like
    bool sameBytes = true;
    for (std::size_t i = 2; i < digits.size(); i += 2)
        sameBytes = sameBytes && digits.compare(i, 2, digits, 0, 2) == 0;
    if (sameBytes) return true;
    static constexpr std::array<std::string_view, 4> kKnown = {
        // bytes 00 02 00 03 ... 00 09: Windows shows it as 03000200-0400-0500-0006-000700080009
        "03000200040005000006000700080009",
        // the UUID a Dell firmware derives from an empty service tag
        "4C4C454400000010800000C04F000000",
        // what Wine's WMI answers when it has no firmware UUID
        "DEADDEADDEADDEADDEADDEADDEADDEAD",
        // one UUID that unrelated machines of several makers carry: a firmware default
        "6AB5B300538D10149FB5B0684D007B53",
    };
    const std::string free = byteOrderFree(digits);
    for (const auto known : kKnown) {
        if (free == byteOrderFree(std::string(known))) return true;
    }
    return false;
}

namespace {

// The values, compared by their letters and digits alone in upper case (see squeezed), so
// "To Be Filled By O.E.M.", "TO BE FILLED BY OEM" and "ToBeFilledByOEM" are one entry.
constexpr std::string_view kPlaceholders[] = {
    "To Be Filled By O.E.M.",
    "Default string",
    "Default",
    "System Manufacturer",
    "System Product Name",
    "System Version",
    "System Name",
    "None",
    "Null",
    "Empty",
    "Unknown",
    "Unknow",
    "Invalid",
    "N/A",
    "OEM",
    "OEM_Serial",
    "EVAL",
    "IATPASS",
    "Not Specified",
    "Not Available",
    "Not Applicable",
    "Not Present",
    "Not Settable",
    "Not Provided",
    "No Asset Information",
    "No Asset Tag",
    "Asset Tag",
    "Base Board Asset Tag",
    "Chassis Asset Tag",
    "SKU Number",
    "No Enclosure",
    "OEM Chassis Manufacturer",
    "Type2 - Board Vendor Name1",
    "Type2 - Board Product Name1",
    "Type2 - Board Asset Tag",
    "Serial",
    "SerNum",
    "9876543210",
};

// What firmware appends to a listed value: AMI's "To be filled by O.E.M. by More String".
constexpr std::string_view kSuffixes[] = {"by More String"};

// Letters and digits only, upper case: "To be filled by O.E.M." is "TOBEFILLEDBYOEM".
std::string squeezed(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (isAlnum(c)) out += asciiUpper(c);
    }
    return out;
}

bool isListed(std::string_view letters) {
    static const std::set<std::string, std::less<>> listed = [] {
        std::set<std::string, std::less<>> set;
        for (const auto value : kPlaceholders) set.insert(squeezed(value));
        return set;
    }();
    return listed.contains(letters);
}

// Counting digits: "0123456789", "1234567890", "BSN12345678901234567", and the short runs
// "12345" to "12345678", alone or after "SN".
bool isCounting(std::string_view letters) {
    if (letters.find("123456789") != std::string_view::npos) return true;
    if (letters.starts_with("SN")) letters.remove_prefix(2);
    return letters.size() >= 5 && std::string_view("12345678").starts_with(letters);
}

}  // namespace

bool isPlaceholder(std::string_view value) {
    if (const auto digits = uuidDigits(value)) return isPlaceholderUuid(*digits);
    const std::string letters = squeezed(value);
    // Empty, blank, or only punctuation: "", "   ", "..................", "/   /   /".
    if (letters.empty()) return true;
    // One character repeated: "0000000000000000", "XXXXXXXX".
    if (std::all_of(letters.begin(), letters.end(), [&](char c) { return c == letters[0]; }))
        return true;
    // The label in place of the value: "System Serial Number", "SystemSerialNumber", "Base
    // Board Serial Number", "Chassis Serial Number", "OEM Chassis Serial Number".
    if (letters.find("SERIALNUMBER") != std::string::npos) return true;
    if (isCounting(letters)) return true;
    if (isListed(letters)) return true;
    for (const auto suffix : kSuffixes) {
        const std::string tail = squeezed(suffix);
        if (letters.size() > tail.size() && letters.ends_with(tail) &&
            isListed(std::string_view(letters).substr(0, letters.size() - tail.size())))
            return true;
    }
    return false;
}

AddedPlaceholders::AddedPlaceholders(const std::vector<std::string>& values) {
    for (const std::string& value : values) {
        if (const auto digits = uuidDigits(value)) {
            uuids_.insert(byteOrderFree(*digits));
        } else if (std::string letters = squeezed(value); !letters.empty()) {
            letters_.insert(std::move(letters));
        }
    }
}

bool AddedPlaceholders::contains(std::string_view value) const {
    if (empty()) return false;
    if (const auto digits = uuidDigits(value)) return uuids_.contains(byteOrderFree(*digits));
    const std::string letters = squeezed(value);
    return !letters.empty() && letters_.contains(letters);
}

std::string addedPlaceholderProblem(std::string_view value) {
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "a placeholder may not hold control characters";
    if (squeezed(value).empty()) return "a placeholder needs a letter or digit";
    if (isPlaceholder(value))
        return "this value identifies nothing already (a built-in placeholder)";
    return {};
}

}  // namespace gravelin::report
