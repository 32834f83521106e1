// The report: one XML document with root "HWInfo" and a cursor element. New children go in
// front of their siblings; names are made safe; values are kept valid XML.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace gravelin {

// Raised when a name is not a valid XML name even after makeXmlName.
class XmlNameError : public std::runtime_error {
public:
    explicit XmlNameError(const std::string& name)
        : std::runtime_error("invalid XML name"), name_(name) {}
    [[nodiscard]] const std::string& name() const { return name_; }

private:
    std::string name_;
};

// Replaces every blank, "(", ")", "[" and "]" by "_"; nothing else changes.
std::string makeXmlName(std::string_view text);

// True when the UTF-8 text is a name that namespace-aware XML parsers accept: an XML 1.0
// Name with at most one colon, which then separates two non-empty parts.
bool isValidXmlName(std::string_view utf8);

// The UTF-8 text with every character that XML 1.0 forbids (control characters other than
// tab, line feed and carriage return, U+FFFE, U+FFFF, surrogates, malformed UTF-8) replaced
// by U+FFFD; everything else is kept.
std::string xmlSafeText(std::string_view utf8);

class XMLFile {
public:
    XMLFile();
    XMLFile(const XMLFile&) = delete;
    XMLFile& operator=(const XMLFile&) = delete;

    // Throws XmlNameError when the safe name is still not a valid name; the tree is then
    // unchanged.
    void enterNewChild(std::string_view elementName);
    void goToParent();
    void goToRoot();
    void setAttribute(std::string_view attributeName, std::string_view value);

    // The whole document, declaration first, every line ended by CR LF.
    [[nodiscard]] std::string xmlText() const;

private:
    // An attribute name as given, made safe and checked once: the report sets the same few
    // hundred names over and over.
    struct AttributeName {
        std::string safe;
        std::size_t bit;  // its place in namesSet_
    };
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>{}(name);
        }
    };

    void bindPrefix(std::string_view name);
    const AttributeName& safeAttributeName(std::string_view attributeName);
    // The cursor moved to a new, empty element (fresh) or to one that may have attributes.
    void cursorMoved(bool fresh);

    pugi::xml_document document_;
    pugi::xml_node root_;
    pugi::xml_node cursor_;
    std::unordered_map<std::string, AttributeName, NameHash, std::equal_to<>> names_;
    // A filter of the names set on the cursor element: a clear bit proves that no attribute
    // of a name with that bit is there yet, so it is appended without a search.
    std::array<std::uint64_t, 4> namesSet_{};
};

}  // namespace gravelin
