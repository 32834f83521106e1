#include "scanner/xmlfile/Xmlfile.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "shared/Utf8.h"
#include "shared/Vocabulary.h"

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

// NameChar and NameStartChar for the ASCII characters: bit 0 name character, bit 1 start.
constexpr std::array<std::uint8_t, 128> kAsciiName = [] {
    std::array<std::uint8_t, 128> table{};
    for (int c = 0; c < 128; ++c) {
        const bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool name = start || (c >= '0' && c <= '9') || c == '-' || c == '.';
        table[static_cast<std::size_t>(c)] =
            static_cast<std::uint8_t>((name ? 1 : 0) | (start ? 2 : 0));
    }
    return table;
}();

// A name without colons (NCName).
bool isNcName(std::string_view text) {
    if (text.empty()) return false;
    // Most names are ASCII: decided byte by byte, the same as by code point.
    bool ascii = true;
    for (std::size_t i = 0; i < text.size() && ascii; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            ascii = false;
        } else if ((kAsciiName[c] & (i == 0 ? 2 : 1)) == 0) {
            return false;
        }
    }
    if (ascii) return true;
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

// Text of printable ASCII, tabs and line ends is XML text as it stands.
bool isPlainText(std::string_view utf8) {
    return std::all_of(utf8.begin(), utf8.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return (c >= 0x20 && c < 0x80) || c == 0x9 || c == 0xA || c == 0xD;
    });
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
    if (isPlainText(utf8)) return std::string(utf8);
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
    root_ = document_.append_child(vocabulary::kReportRoot);
    cursor_ = root_;
    cursorMoved(false);
}

void XMLFile::cursorMoved(bool fresh) {
    namesSet_.fill(fresh ? 0 : ~std::uint64_t{0});
}

const XMLFile::AttributeName& XMLFile::safeAttributeName(std::string_view attributeName) {
    if (const auto known = names_.find(attributeName); known != names_.end()) return known->second;
    std::string name = makeXmlName(attributeName);
    if (!isValidXmlName(name) || name == "xmlns" || name.starts_with("xmlns:"))
        throw XmlNameError(name);
    if (names_.size() >= 4096) names_.clear();  // names from hostile sources stay bounded
    const std::size_t bit = NameHash{}(name) % (64 * namesSet_.size());
    return names_.emplace(std::string(attributeName), AttributeName{std::move(name), bit})
        .first->second;
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
    cursorMoved(true);
}

void XMLFile::goToParent() {
    if (cursor_ != root_) cursor_ = cursor_.parent();
    cursorMoved(false);
}

void XMLFile::goToRoot() {
    cursor_ = root_;
    cursorMoved(false);
}

void XMLFile::setAttribute(std::string_view attributeName, std::string_view value) {
    const AttributeName& name = safeAttributeName(attributeName);
    bindPrefix(name.safe);
    std::uint64_t& word = namesSet_[name.bit / 64];
    const std::uint64_t mask = std::uint64_t{1} << (name.bit % 64);
    pugi::xml_attribute attribute;
    if ((word & mask) != 0) attribute = cursor_.attribute(name.safe.c_str());
    if (!attribute) attribute = cursor_.append_attribute(name.safe.c_str());
    word |= mask;
    if (isPlainText(value)) {
        attribute.set_value(value.data(), value.size());
    } else {
        attribute.set_value(xmlSafeText(value).c_str());
    }
}

namespace {

// Takes the serialised text as the document model writes it and ends every line in CR LF
// on the way, so that the text is built once, in one string.
class CrLfWriter final : public pugi::xml_writer {
public:
    explicit CrLfWriter(std::string& out) : out_(out) {}

    void write(const void* data, std::size_t size) override {
        const char* text = static_cast<const char*>(data);
        const char* const end = text + size;
        while (text < end) {
            const auto* lineEnd = static_cast<const char*>(
                std::memchr(text, '\n', static_cast<std::size_t>(end - text)));
            if (lineEnd == nullptr) {
                out_.append(text, end);
                openLine_ = true;
                return;
            }
            out_.append(text, lineEnd);
            out_ += "\r\n";
            openLine_ = false;
            text = lineEnd + 1;
        }
    }

    // A last line without its line feed is ended too.
    void finish() {
        if (openLine_) out_ += "\r\n";
        openLine_ = false;
    }

private:
    std::string& out_;
    bool openLine_ = false;
};

}  // namespace

std::string XMLFile::xmlText() const {
    std::string text;
    CrLfWriter writer(text);
    document_.save(writer, "  ", pugi::format_indent, pugi::encoding_utf8);
    writer.finish();
    return text;
}

}  // namespace gravelin
