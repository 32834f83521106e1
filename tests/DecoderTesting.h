// Running one decoder over raw bytes and looking at the fields it emits.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "scanner/smbios/Decoding.h"
#include "scanner/smbios/Smbios.h"

namespace gravelin::testing {

struct Field {
    std::string name;
    std::string value;
    std::string unit;
    bool operator==(const Field&) const = default;
};

inline void PrintTo(const Field& f, std::ostream* os) {
    *os << "{" << f.name << ", \"" << f.value << "\", \"" << f.unit << "\"}";
}

// A structure: its formatted area (type, Length and handle included, as given) followed by
// the string area built from `strings` (two zero bytes when there are none).
inline std::vector<std::uint8_t> structure(std::vector<std::uint8_t> formatted,
                                           std::initializer_list<std::string> strings = {}) {
    for (const auto& s : strings) {
        formatted.insert(formatted.end(), s.begin(), s.end());
        formatted.push_back(0);
    }
    if (strings.size() == 0) formatted.push_back(0);
    formatted.push_back(0);
    return formatted;
}

// Runs the decoder of the structure's type over `bytes` (the structure and whatever follows
// it up to the end of the table) and returns the emitted fields in order.
inline std::vector<Field> decode(const std::vector<std::uint8_t>& bytes,
                                 const StringList& strings = {}) {
    std::vector<Field> fields;
    const Decoder decoder = decoderFor(bytes.at(0));
    EXPECT_NE(decoder, nullptr) << "no decoder for type " << int(bytes.at(0));
    if (decoder == nullptr) return fields;
    const FieldSink sink = [&](std::string_view n, std::string_view v, std::string_view u) {
        fields.push_back({std::string(n), std::string(v), std::string(u)});
    };
    decoder(StructureView(bytes), strings, sink);
    return fields;
}

// The structure built from its formatted area and strings, decoded with those strings.
inline std::vector<Field> decodeStructure(std::vector<std::uint8_t> formatted,
                                          std::initializer_list<std::string> strings = {}) {
    return decode(structure(std::move(formatted), strings), StringList(strings));
}

// The value of the named field, or "<absent>".
inline std::string valueOf(const std::vector<Field>& fields, std::string_view name) {
    for (const auto& f : fields) {
        if (f.name == name) return f.value;
    }
    return "<absent>";
}

inline std::vector<std::string> namesOf(const std::vector<Field>& fields) {
    std::vector<std::string> names;
    for (const auto& f : fields) names.push_back(f.name);
    return names;
}

// Scoped decimal separator for floating-point tests.
class DecimalSeparatorScope {
public:
    explicit DecimalSeparatorScope(std::string separator) : saved_(decimalSeparator()) {
        setDecimalSeparator(std::move(separator));
    }
    ~DecimalSeparatorScope() { setDecimalSeparator(saved_); }

private:
    std::string saved_;
};

}  // namespace gravelin::testing
