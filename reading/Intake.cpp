// The receiving side's checks on a sealed text, cheapest first: nothing costlier than a
// pass over the text runs before the text has shown that it is small, hexadecimal and made
// of whole blocks, and no XML tree is built before a linear scan of the text has shown that
// its depth, element count, attributes and attribute sizes are within bounds. pugixml
// builds a whole tree and leaves entity references unexpanded rather than refusing them, so
// DOCTYPE and entity declarations are refused here, before the parser sees them.
#include "reading/Intake.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "reading/Unseal.h"
#include "shared/CodePage.h"
#include "shared/Text.h"
#include "shared/Utf8.h"
#include "shared/Vocabulary.h"

namespace gravelin::report {

namespace {

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmedAscii(std::string_view text) {
    while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
    return text;
}

// SHA-256 of the hex text in upper case, in lower-case hex: by `sha256` when given, else by
// libsodium, with the text upper-cased a slice at a time so that the digest costs no copy
// of it. libsodium rather than libcrypto by default: the report tool then loads no OpenSSL
// at start-up (the receiver links libsodium anyway, and gives OpenSSL's, faster, here).
std::string sealedDigestOf(std::string_view hex, Sha256 sha256) {
    const auto upper = [](char c) {
        return (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
    };
    std::array<unsigned char, 32> digest{};
    if (sha256) {
        // A function of the whole text: the text itself when it is in upper case already (as
        // the scanner writes it), else an upper-cased copy.
        const bool lower = std::any_of(hex.begin(), hex.end(), [](char c) { return c >= 'a'; });
        if (lower) {
            std::string upperCased(hex.size(), '\0');
            std::transform(hex.begin(), hex.end(), upperCased.begin(), upper);
            digest = sha256(upperCased);
        } else {
            digest = sha256(hex);
        }
    } else {
        // sodium_init is itself thread-safe and idempotent; the static runs it once.
        static const bool sodiumReady = sodium_init() >= 0;
        if (!sodiumReady) throw std::runtime_error("SHA-256 is not available");
        static_assert(crypto_hash_sha256_BYTES == 32);
        crypto_hash_sha256_state state;
        crypto_hash_sha256_init(&state);
        std::array<unsigned char, 4096> slice{};
        for (std::size_t at = 0; at < hex.size(); at += slice.size()) {
            const std::size_t n = std::min(slice.size(), hex.size() - at);
            for (std::size_t i = 0; i < n; ++i)
                slice[i] = static_cast<unsigned char>(upper(hex[at + i]));
            crypto_hash_sha256_update(&state, slice.data(), n);
        }
        crypto_hash_sha256_final(&state, digest.data());
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const unsigned char b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

// The value of each byte as a hex digit (either case); kNotHexDigit for every other byte.
constexpr unsigned char kNotHexDigit = 0x10;
constexpr std::array<unsigned char, 256> kHexValue = [] {
    std::array<unsigned char, 256> table{};
    table.fill(kNotHexDigit);
    for (int c = 0; c < 256; ++c) {
        if (const int value = hexDigitValue(static_cast<char>(c)); value >= 0)
            table[c] = static_cast<unsigned char>(value);
    }
    return table;
}();

bool isValidUtf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // ASCII is the bulk of a report: step over it without decoding.
        if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
            ++pos;
            continue;
        }
        if (decodeUtf8(bytes, pos) == kInvalidCodePoint) return false;
    }
    return true;
}

// True for the characters XML allows in a document: tab, line feed, carriage return and
// everything from U+0020 on except the surrogates, U+FFFE and U+FFFF.
bool isXmlChar(std::uint64_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Character references in text or an attribute value ("&#27;", "&#x1B;") must name a
// character XML allows, as the raw characters must: pugixml would write "&#0;" as a NUL
// that ends the value early (the tree would then disagree with the stored text), and the
// others as control characters or surrogates that no report holds. A reference without
// digits or without its ';' is not XML either.
bool referencesAreXmlChars(std::string_view text) {
    for (auto at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at)) {
        at += 2;
        const bool hex = at < text.size() && text[at] == 'x';
        if (hex) ++at;
        std::uint64_t value = 0;
        std::size_t digits = 0;
        for (; at < text.size(); ++at, ++digits) {
            const unsigned char digit = kHexValue[static_cast<unsigned char>(text[at])];
            if (digit == kNotHexDigit || (!hex && digit > 9)) break;
            value = value * (hex ? 16 : 10) + digit;
            if (value > 0x10FFFF) value = 0x110000;  // too large whatever follows
        }
        if (digits == 0 || at >= text.size() || text[at] != ';' || !isXmlChar(value)) return false;
    }
    return true;
}

// A linear scan of the text, before any tree is built: one pass, no allocation, stops at
// the first bound crossed. It reads markup the way an XML parser must (quoted attribute
// values may hold '>', comments, CDATA and processing instructions are skipped whole), and
// refuses what pugixml would let through: text or a second element at document level, and
// any markup declaration ("<!DOCTYPE", "<!ENTITY", ...).
Rejection prescan(std::string_view t, const IntakeLimits& limits) {
    // XML has no place for control characters other than tab, line feed and carriage
    // return (the scanner replaces them): a NUL would also end pugixml's reading of a value
    // early, so that the tree and the stored text disagreed. The same characters written
    // as character references are refused below, where text and values are read.
    for (const char c : t) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 && c != '\t' && c != '\n' && c != '\r') return Rejection::NotXml;
    }
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    std::size_t i = t.starts_with(kBom) ? kBom.size() : 0;
    std::size_t depth = 0;
    std::size_t elements = 0;
    bool rootClosed = false;
    const auto skipPast = [&](std::size_t from, std::string_view end) {
        const auto at = t.find(end, from);
        if (at == std::string_view::npos) return false;
        i = at + end.size();
        return true;
    };
    while (i < t.size()) {
        if (t[i] != '<') {
            if (depth > 0) {
                const auto next = t.find('<', i);
                if (next == std::string_view::npos) return Rejection::NotXml;  // never closed
                if (!referencesAreXmlChars(t.substr(i, next - i))) return Rejection::NotXml;
                i = next;
                continue;
            }
            if (!isXmlSpace(t[i])) return Rejection::NotXml;  // text outside the root
            ++i;
            continue;
        }
        const std::string_view rest = t.substr(i);
        if (rest.starts_with("<?")) {
            if (!skipPast(i + 2, "?>")) return Rejection::NotXml;
        } else if (rest.starts_with("<!--")) {
            if (!skipPast(i + 4, "-->")) return Rejection::NotXml;
        } else if (rest.starts_with("<![CDATA[")) {
            if (depth == 0 || !skipPast(i + 9, "]]>")) return Rejection::NotXml;
        } else if (rest.starts_with("<!")) {
            return Rejection::Doctype;
        } else if (rest.starts_with("</")) {
            if (depth == 0 || !skipPast(i + 2, ">")) return Rejection::NotXml;
            if (--depth == 0) rootClosed = true;
        } else {
            if (depth == 0 && rootClosed) return Rejection::NotXml;  // a second root
            if (++elements > limits.maxElements) return Rejection::TooManyElements;
            if (++depth > limits.maxDepth) return Rejection::TooDeep;
            // The start tag: every quoted string in it is one attribute's value.
            std::size_t attributes = 0;
            std::size_t j = i + 1;
            while (j < t.size() && t[j] != '>') {
                const char c = t[j];
                if (c == '<') return Rejection::NotXml;
                if (c == '"' || c == '\'') {
                    const auto close = t.find(c, j + 1);
                    if (close == std::string_view::npos) return Rejection::NotXml;
                    if (++attributes > limits.maxAttributesPerElement)
                        return Rejection::TooManyAttributes;
                    if (close - j - 1 > limits.maxAttributeValueBytes)
                        return Rejection::AttributeTooLarge;
                    if (!referencesAreXmlChars(t.substr(j + 1, close - j - 1)))
                        return Rejection::NotXml;
                    j = close + 1;
                    continue;
                }
                ++j;
            }
            if (j >= t.size()) return Rejection::NotXml;
            if (t[j - 1] == '/') {  // <name .../>: closed at once
                if (--depth == 0) rootClosed = true;
            }
            i = j + 1;
        }
    }
    if (depth != 0 || !rootClosed) return Rejection::NotXml;
    return Rejection::None;
}

bool hasDuplicateAttribute(pugi::xml_node element) {
    std::size_t count = 0;
    for (auto a = element.first_attribute(); a; a = a.next_attribute()) ++count;
    if (count < 2) return false;
    if (count <= 16) {
        for (auto a = element.first_attribute(); a; a = a.next_attribute()) {
            for (auto b = a.next_attribute(); b; b = b.next_attribute()) {
                if (std::string_view(a.name()) == b.name()) return true;
            }
        }
        return false;
    }
    std::unordered_set<std::string_view> seen;
    seen.reserve(count);
    for (auto a = element.first_attribute(); a; a = a.next_attribute()) {
        if (!seen.insert(a.name()).second) return true;
    }
    return false;
}

// The tree as pugixml built it, checked again against the same bounds: the scan above and
// the parser must not disagree about what they read. Iterative, so no input sets the depth
// of the call stack.
Rejection walk(const pugi::xml_document& document, const IntakeLimits& limits) {
    std::size_t elements = 0;
    std::size_t topLevelElements = 0;
    for (auto node = document.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_doctype) return Rejection::Doctype;
        if (node.type() == pugi::node_element) ++topLevelElements;
    }
    if (topLevelElements != 1) return Rejection::NotXml;

    std::vector<pugi::xml_node> stack{document.document_element()};
    std::vector<std::size_t> depths{1};
    while (!stack.empty()) {
        const pugi::xml_node node = stack.back();
        const std::size_t depth = depths.back();
        stack.pop_back();
        depths.pop_back();
        if (node.type() == pugi::node_doctype) return Rejection::Doctype;
        if (node.type() != pugi::node_element) continue;
        if (++elements > limits.maxElements) return Rejection::TooManyElements;
        if (depth > limits.maxDepth) return Rejection::TooDeep;
        std::size_t attributes = 0;
        for (auto a = node.first_attribute(); a; a = a.next_attribute()) {
            if (++attributes > limits.maxAttributesPerElement) return Rejection::TooManyAttributes;
            if (std::string_view(a.value()).size() > limits.maxAttributeValueBytes)
                return Rejection::AttributeTooLarge;
        }
        if (hasDuplicateAttribute(node)) return Rejection::NotXml;
        for (auto child = node.first_child(); child; child = child.next_sibling()) {
            stack.push_back(child);
            depths.push_back(depth + 1);
        }
    }
    return Rejection::None;
}

// A report value as the scanner writes it: the value, a blank, the unit. The Application
// fields have no unit; the blank before it is dropped.
std::string applicationField(pugi::xml_attribute attribute) {
    std::string_view value = attribute.value();
    if (value.ends_with(' ')) value.remove_suffix(1);
    return std::string(value);
}

// Parses UTF-8 text under the bounds and fills the parsed parts of the report.
Rejection parseReport(std::string_view utf8, const IntakeLimits& limits, ReceivedReport& report) {
    if (const Rejection r = prescan(utf8, limits); r != Rejection::None) return r;

    auto document = std::make_shared<pugi::xml_document>();
    constexpr unsigned kOptions =
        pugi::parse_default | pugi::parse_declaration | pugi::parse_doctype;
    const pugi::xml_parse_result parsed =
        document->load_buffer(utf8.data(), utf8.size(), kOptions, pugi::encoding_utf8);
    if (!parsed) return Rejection::NotXml;
    if (const Rejection r = walk(*document, limits); r != Rejection::None) return r;

    const pugi::xml_node root = document->document_element();
    if (std::string_view(root.name()) != vocabulary::kReportRoot) return Rejection::NotAReport;
    const pugi::xml_node application =
        root.child(vocabulary::kApplicationBlock).child(vocabulary::kFirstInstance);
    const auto os = application.attribute(vocabulary::kApplicationOs);
    const auto name = application.attribute(vocabulary::kApplicationName);
    const auto version = application.attribute(vocabulary::kApplicationVersion);
    const auto errors = application.attribute(vocabulary::kApplicationErrors);
    if (!os || !name || !version || !errors) return Rejection::NotAReport;
    report.osDescription = applicationField(os);
    report.programName = applicationField(name);
    report.programVersion = applicationField(version);
    report.errors = applicationField(errors);
    report.document = std::move(document);
    return Rejection::None;
}

// The most UTF-8 text a sealed text within the cap can give: every byte of Windows-1252
// takes at most three bytes in UTF-8.
std::size_t maxTextBytes(const IntakeLimits& limits) {
    return limits.maxSealedHexBytes / 2 * 3;
}

}  // namespace

const char* rejectionName(Rejection r) {
    switch (r) {
        case Rejection::None: return "none";
        case Rejection::Empty: return "empty";
        case Rejection::TooLarge: return "too_large";
        case Rejection::NotHex: return "not_hex";
        case Rejection::OddLength: return "odd_length";
        case Rejection::PartialBlock: return "partial_block";
        case Rejection::PaddingOnly: return "padding_only";
        case Rejection::NotXml: return "not_xml";
        case Rejection::Doctype: return "doctype";
        case Rejection::TooDeep: return "too_deep";
        case Rejection::TooManyElements: return "too_many_elements";
        case Rejection::TooManyAttributes: return "too_many_attributes";
        case Rejection::AttributeTooLarge: return "attribute_too_large";
        case Rejection::NotAReport: return "not_a_report";
    }
    return "unknown";
}

const char* rejectionReason(Rejection r) {
    switch (r) {
        case Rejection::None: return "accepted";
        case Rejection::Empty: return "the sealed text is empty";
        case Rejection::TooLarge: return "the sealed text is larger than this endpoint accepts";
        case Rejection::NotHex: return "the sealed text is not hexadecimal";
        case Rejection::OddLength: return "the sealed text has an odd number of hex digits";
        case Rejection::PartialBlock:
            return "the sealed text is not a whole number of 8-byte blocks";
        case Rejection::PaddingOnly: return "the sealed text holds nothing but padding";
        case Rejection::NotXml: return "the unsealed text is not a well-formed XML document";
        case Rejection::Doctype: return "the report holds a DOCTYPE or entity declaration";
        case Rejection::TooDeep: return "the report nests elements too deeply";
        case Rejection::TooManyElements: return "the report has too many elements";
        case Rejection::TooManyAttributes:
            return "an element of the report has too many attributes";
        case Rejection::AttributeTooLarge: return "an attribute value of the report is too large";
        case Rejection::NotAReport:
            return "the document is not a hardware report (no HWInfo root with an Application "
                   "block)";
    }
    return "refused";
}

IntakeResult receiveSealed(std::string_view sealedHex, const IntakeLimits& limits, Sha256 sha256) {
    IntakeResult result;
    const std::string_view hex = trimmedAscii(sealedHex);
    // Size first: nothing below runs on a text over the cap.
    if (hex.empty()) {
        result.rejection = Rejection::Empty;
        return result;
    }
    if (hex.size() > limits.maxSealedHexBytes) {
        result.rejection = Rejection::TooLarge;
        return result;
    }
    // One pass decodes and checks the digits of a text of whole blocks; any other length
    // is refused, as not hex when a digit is wrong, else for its length.
    if (hex.size() % 16 != 0) {
        const bool allHex = std::all_of(hex.begin(), hex.end(), [](char c) {
            return kHexValue[static_cast<unsigned char>(c)] != kNotHexDigit;
        });
        result.rejection = !allHex               ? Rejection::NotHex
                           : hex.size() % 2 != 0 ? Rejection::OddLength
                                                 : Rejection::PartialBlock;
        return result;
    }
    std::string bytes(hex.size() / 2, '\0');
    unsigned char wrong = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char high = kHexValue[static_cast<unsigned char>(hex[2 * i])];
        const unsigned char low = kHexValue[static_cast<unsigned char>(hex[2 * i + 1])];
        wrong |= static_cast<unsigned char>(high | low);
        bytes[i] = static_cast<char>((high << 4) | (low & 0x0F));
    }
    if (wrong & kNotHexDigit) {
        result.rejection = Rejection::NotHex;
        return result;
    }
    unsealBlocks(bytes);
    if (bytes.find_first_not_of('\0') == std::string::npos) {
        result.rejection = Rejection::PaddingOnly;
        return result;
    }

    ReceivedReport& report = result.report;
    if (isValidUtf8(bytes)) {
        report.encoding = "utf-8";
        report.text = bytes;
    } else {
        report.encoding = "windows-1252";
        report.text = windows1252().toUtf8(bytes);
    }
    report.reportBytes = std::move(bytes);
    result.rejection = parseReport(report.text, limits, report);
    if (result.rejection != Rejection::None) {
        result.report = {};
        return result;
    }
    report.sealedDigest = sealedDigestOf(hex, sha256);
    return result;
}

IntakeResult receiveText(std::string_view utf8Text, const IntakeLimits& limits) {
    IntakeResult result;
    if (trimmedAscii(utf8Text).empty()) {
        result.rejection = Rejection::Empty;
        return result;
    }
    if (utf8Text.size() > maxTextBytes(limits)) {
        result.rejection = Rejection::TooLarge;
        return result;
    }
    if (!isValidUtf8(utf8Text)) {
        result.rejection = Rejection::NotXml;  // the text was promised as UTF-8
        return result;
    }
    ReceivedReport& report = result.report;
    report.text = std::string(utf8Text);
    report.reportBytes = report.text;
    report.encoding = "utf-8";
    result.rejection = parseReport(report.text, limits, report);
    if (result.rejection != Rejection::None) result.report = {};
    return result;
}

}  // namespace gravelin::report
