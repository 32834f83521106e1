#include "scanner/platform/linux/LinuxWmiProvider.h"

#include <algorithm>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin {

namespace {

bool isNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The next keyword or name at `pos` (after blanks), advancing past it.
std::string_view nextToken(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) <= ' ') ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && isNameChar(text[pos])) ++pos;
    return text.substr(start, pos - start);
}

}  // namespace

std::optional<WqlSelect> parseWqlSelect(std::string_view wql) {
    using linuxwmi::equalsIgnoreCase;
    std::size_t pos = 0;
    if (!equalsIgnoreCase(nextToken(wql, pos), "SELECT")) return std::nullopt;
    WqlSelect select;
    // The select list: "*" or names separated by commas.
    while (pos < wql.size() && static_cast<unsigned char>(wql[pos]) <= ' ') ++pos;
    if (pos < wql.size() && wql[pos] == '*') {
        ++pos;
    } else {
        while (true) {
            const auto name = nextToken(wql, pos);
            if (name.empty() || equalsIgnoreCase(name, "FROM")) return std::nullopt;
            select.properties.emplace_back(name);
            while (pos < wql.size() && static_cast<unsigned char>(wql[pos]) <= ' ') ++pos;
            if (pos < wql.size() && wql[pos] == ',') {
                ++pos;
                continue;
            }
            break;
        }
    }
    if (!equalsIgnoreCase(nextToken(wql, pos), "FROM")) return std::nullopt;
    const auto className = nextToken(wql, pos);
    if (className.empty()) return std::nullopt;
    select.className = std::string(className);
    // Nothing but blanks (or a closing semicolon) may follow: no WHERE clause is understood.
    while (pos < wql.size() && (static_cast<unsigned char>(wql[pos]) <= ' ' || wql[pos] == ';'))
        ++pos;
    if (pos != wql.size()) return std::nullopt;
    return select;
}

std::vector<WmiObject> LinuxWmiProvider::query(std::string_view wmiNamespace,
                                               std::string_view wql) {
    const auto select = parseWqlSelect(wql);
    if (!select) return {};
    for (const auto& wmiClass : linuxwmi::wmiClasses()) {
        if (!linuxwmi::equalsIgnoreCase(wmiClass.name, select->className) ||
            !linuxwmi::equalsIgnoreCase(wmiClass.wmiNamespace, wmiNamespace))
            continue;
        auto objects = wmiClass.query(context_);
        if (!select->properties.empty()) {
            for (auto& object : objects) {
                std::erase_if(object.properties, [&](const auto& property) {
                    return std::none_of(select->properties.begin(), select->properties.end(),
                                        [&](const std::string& wanted) {
                                            return linuxwmi::equalsIgnoreCase(wanted,
                                                                              property.first);
                                        });
                });
            }
        }
        return objects;
    }
    return {};
}

}  // namespace gravelin
