// A WMI property value, independent of the platform's variant type, and its report text.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace gravelin {

struct WmiValue;

// Integers keep their CIM signedness so that an unsigned 32-bit 4294967295 never renders
// as -1.
struct WmiSigned {
    std::int64_t value;
};
struct WmiUnsigned {
    std::uint64_t value;
};
using WmiArray = std::vector<WmiValue>;
using WmiBytes = std::vector<std::uint8_t>;  // an array of unsigned bytes (VT_ARRAY | VT_UI1)

struct WmiValue {
    // std::monostate is null; std::string is a string, a datetime or a uint64 as WMI gives it.
    std::variant<std::monostate, bool, WmiSigned, WmiUnsigned, std::string, WmiArray, WmiBytes>
        data;

    WmiValue() = default;
    WmiValue(bool b) : data(b) {}                      // NOLINT(google-explicit-constructor)
    WmiValue(WmiSigned v) : data(v) {}                 // NOLINT(google-explicit-constructor)
    WmiValue(WmiUnsigned v) : data(v) {}               // NOLINT(google-explicit-constructor)
    WmiValue(std::string s) : data(std::move(s)) {}    // NOLINT(google-explicit-constructor)
    WmiValue(const char* s) : data(std::string(s)) {}  // NOLINT(google-explicit-constructor)
    WmiValue(WmiArray a) : data(std::move(a)) {}       // NOLINT(google-explicit-constructor)
    WmiValue(WmiBytes b) : data(std::move(b)) {}       // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool isNull() const { return std::holds_alternative<std::monostate>(data); }
};

// The value's text in the report: strings unchanged, integers in decimal, booleans
// "True"/"False", null as "", arrays as their elements' texts joined with ", " (no
// separator while the text built so far is empty).
std::string wmiValueText(const WmiValue& value);

// The value's text as a single value (the single-property query): arrays are not joined.
std::string wmiScalarText(const WmiValue& value);

}  // namespace gravelin
