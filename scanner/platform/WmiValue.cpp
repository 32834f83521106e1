#include "scanner/platform/WmiValue.h"

#include <type_traits>

namespace gravelin {

namespace {

std::string elementText(const WmiValue& value);

std::string joined(const WmiArray& items) {
    std::string text;
    for (const auto& item : items) {
        if (!text.empty()) text += ", ";
        text += elementText(item);
    }
    return text;
}

std::string joinedBytes(const WmiBytes& bytes) {
    std::string text;
    for (auto byte : bytes) {
        if (!text.empty()) text += ", ";
        text += std::to_string(byte);
    }
    return text;
}

std::string scalar(const WmiValue& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return {};
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? "True" : "False";
            } else if constexpr (std::is_same_v<T, WmiSigned> || std::is_same_v<T, WmiUnsigned>) {
                return std::to_string(v.value);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<T, WmiArray>) {
                return joined(v);
            } else {
                return joinedBytes(v);
            }
        },
        value.data);
}

std::string elementText(const WmiValue& value) {
    return scalar(value);
}

}  // namespace

std::string wmiValueText(const WmiValue& value) {
    return scalar(value);
}

std::string wmiScalarText(const WmiValue& value) {
    // Arrays have no single-value text; the caller never asks for one without a destination.
    if (std::holds_alternative<WmiArray>(value.data) ||
        std::holds_alternative<WmiBytes>(value.data))
        return {};
    return scalar(value);
}

}  // namespace gravelin
