#include "receiver/console/Csv.h"

#include "receiver/console/Web.h"

namespace gravelin::console {

std::string csvField(std::string_view raw) {
    // No control character reaches a spreadsheet but the line breaks a quoted field may hold.
    const std::string visible = visibleControls(raw);
    const std::string_view value = visible;
    std::string text;
    text.reserve(value.size() + 3);
    if (!value.empty()) {
        const char first = value.front();
        if (first == '=' || first == '+' || first == '-' || first == '@' || first == '\t' ||
            first == '\r') {
            text += '\'';
        }
    }
    text.append(value);
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

void appendCsvRecord(std::string& out, const std::vector<std::string>& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ',';
        out += csvField(fields[i]);
    }
    out += "\r\n";
}

}  // namespace gravelin::console
