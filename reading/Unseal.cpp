#include "reading/Unseal.h"

#include <stdexcept>

#include "shared/Vocabulary.h"

namespace gravelin::report {

namespace {

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The field's start in a submit page; its value follows.
const std::string& resultFieldStart() {
    static const std::string start =
        "name=\"" + std::string(vocabulary::kResultField) + "\" value=\"";
    return start;
}

}  // namespace

bool holdsResultField(std::string_view input) {
    return input.find(resultFieldStart()) != std::string_view::npos;
}

std::optional<std::string_view> sealedTextIn(std::string_view input) {
    const std::string& field = resultFieldStart();
    if (const auto at = input.find(field); at != std::string_view::npos) {
        input.remove_prefix(at + field.size());
        const auto end = input.find('"');
        if (end == std::string_view::npos) return std::nullopt;
        input = input.substr(0, end);
    }
    while (!input.empty() && isAsciiSpace(input.front())) input.remove_prefix(1);
    while (!input.empty() && isAsciiSpace(input.back())) input.remove_suffix(1);
    return input;
}

std::string unclosedFieldError() {
    return "submit page: the " + std::string(vocabulary::kResultField) +
           " value has no closing quote";
}

std::string unsealText(std::string_view input) {
    const auto found = sealedTextIn(input);
    if (!found) throw std::runtime_error(unclosedFieldError());
    return unsealReportText(*found);
}

}  // namespace gravelin::report
