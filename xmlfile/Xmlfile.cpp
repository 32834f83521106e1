#include "xmlfile/Xmlfile.h"

#include <sstream>

#include "utils/Utf8.h"

namespace gravelin {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// XML 1.0 (fifth edition) NameStartChar, without the colon.
bool isNameStartChar(char32_t c) {
    return (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameChar(char32_t c) {
    return isNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// A name without colons (NCName).
bool isNcName(std::string_view text) {
    if (text.empty()) return false;
    std::size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        const char32_t c = decodeUtf8(text, pos);
        if (c == kInvalidCodePoint || !(first ? isNameStartChar(c) : isNameChar(c))) return false;
        first = false;
    }
    return true;
}

bool isXmlChar(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

}  // namespace

std::string makeXmlName(std::string_view text) {
    std::string name(text);
    for (char& c : name) {
        if (c == ' ' || c == '(' || c == ')' || c == '[' || c == ']') c = '_';
    }
    return name;
}

bool isValidXmlName(std::string_view utf8) {
    const auto colon = utf8.find(':');
    if (colon == std::string_view::npos) return isNcName(utf8);
    return isNcName(utf8.substr(0, colon)) && isNcName(utf8.substr(colon + 1));
}

std::string xmlSafeText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const std::size_t start = pos;
        const char32_t c = decodeUtf8(utf8, pos);
        if (c != kInvalidCodePoint && isXmlChar(c)) {
            out.append(utf8.substr(start, pos - start));
        } else {
            appendUtf8(out, kReplacement);
        }
    }
    return out;
}

XMLFile::XMLFile() {
    auto declaration = document_.prepend_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "utf-8";
    root_ = document_.append_child("HWInfo");
    cursor_ = root_;
}

// A prefixed name ("Count:_") is only well-formed for namespace-aware parsers when its
// prefix is bound; bind it once on the root so that such parsers read the report too.
void XMLFile::bindPrefix(std::string_view name) {
    const auto colon = name.find(':');
    if (colon == std::string_view::npos) return;
    const std::string prefix(name.substr(0, colon));
    const std::string attribute = "xmlns:" + prefix;
    if (root_.attribute(attribute.c_str())) return;
    root_.append_attribute(attribute.c_str()) = ("urn:gravelin-scanner:" + prefix).c_str();
}

void XMLFile::enterNewChild(std::string_view elementName) {
    const std::string name = makeXmlName(elementName);
    if (!isValidXmlName(name) || name.starts_with("xmlns:")) throw XmlNameError(name);
    bindPrefix(name);
    cursor_ = cursor_.prepend_child(name.c_str());
}

void XMLFile::goToParent() {
    if (cursor_ != root_) cursor_ = cursor_.parent();
}

void XMLFile::goToRoot() {
    cursor_ = root_;
}

void XMLFile::setAttribute(std::string_view attributeName, std::string_view value) {
    const std::string name = makeXmlName(attributeName);
    if (!isValidXmlName(name) || name == "xmlns" || name.starts_with("xmlns:"))
        throw XmlNameError(name);
    bindPrefix(name);
    const std::string text = xmlSafeText(value);
    if (auto existing = cursor_.attribute(name.c_str())) {
        existing.set_value(text.c_str());
    } else {
        cursor_.append_attribute(name.c_str()).set_value(text.c_str());
    }
}

std::string XMLFile::xmlText() const {
    std::ostringstream stream;
    document_.save(stream, "  ", pugi::format_indent, pugi::encoding_utf8);
    const std::string lf = stream.str();
    std::string text;
    text.reserve(lf.size() + lf.size() / 16);
    std::size_t start = 0;
    while (start < lf.size()) {
        auto end = lf.find('\n', start);
        if (end == std::string::npos) end = lf.size();
        text.append(lf, start, end - start);
        text += "\r\n";
        start = end + 1;
    }
    return text;
}

}  // namespace gravelin
