// Values that identify nothing: what firmware writers leave in place of a serial number,
// an asset tag or a UUID. One list, read by the machine identity, the summary's serial
// numbers and the differ's pairing of components.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin::report {

// True for values that identify nothing: empty, whitespace-only or punctuation-only, one
// character repeated, "To Be Filled By O.E.M.", "Default string", a label in place of the
// value ("System Serial Number"), counting digits ("12345", "1234567890"), all-zero or
// all-FF UUIDs, ... Listed values are compared by their letters and digits alone, in any
// case ("SystemSerialNumber", "TO BE FILLED BY OEM"), and may carry a suffix that firmware
// appends ("To be filled by O.E.M. by More String").
bool isPlaceholder(std::string_view value);

// Trimmed of blanks, dots and slashes at either end, inner blanks collapsed, upper case:
// Values an admin declared as identifying nothing, beyond the built-in ones: compared as the
// built-in values are (letters and digits alone, in any case), a UUID as a UUID in either byte
// order.
class AddedPlaceholders {
public:
    AddedPlaceholders() = default;
    explicit AddedPlaceholders(const std::vector<std::string>& values);
    bool contains(std::string_view value) const;
    bool empty() const { return letters_.empty() && uuids_.empty(); }
    bool operator==(const AddedPlaceholders&) const = default;

private:
    std::set<std::string, std::less<>> letters_;
    std::set<std::string, std::less<>> uuids_;  // byte-order-free digits
};

// Why `value` cannot be added as a placeholder ("" when it can): it holds no letter or
// digit, or is one already.
std::string addedPlaceholderProblem(std::string_view value);

// "..CN6970237M0012." is "CN6970237M0012".
std::string normalisedValue(std::string_view value);

// A UUID as 32 upper-case hex digits, from "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (braces
// and either case allowed); nothing for anything else.
std::optional<std::string> uuidDigits(std::string_view value);

// UUID digits that firmware writers leave in place of one, in either byte order.
bool isPlaceholderUuid(const std::string& digits);

// The smaller of the digits and their first three fields byte-reversed: tables before
// SMBIOS 2.6 store those fields in either order, and readers differ.
std::string byteOrderFree(const std::string& digits);

// 32 digits as "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx".
std::string dashedUuid(const std::string& digits);

}  // namespace gravelin::report
