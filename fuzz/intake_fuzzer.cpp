// libFuzzer target: arbitrary bytes through the receiving side's intake, under small bounds
// so that every bound is within the fuzzer's reach.
//
// Input: byte 0 holds options, the rest is the text.
//   bit 0: the rest is a sealed hex text as posted (receiveSealed on it as it is)
//   otherwise: the rest is report bytes; receiveText reads them when they are UTF-8, and
//   (bit 1) they are also sealed as the scanner seals them and received as a post
//
// A finding is a sanitizer report or a failed check: an accepted report's tree is within
// every bound (counted here, independently of the intake), its root is HWInfo, its
// Application fields are those of the tree; a text and the same text sealed get the same
// answer; the digest is 64 lower-case hex digits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reading/Intake.h"
#include "scanner/core/Core.h"
#include "shared/Utf8.h"
#include "shared/Vocabulary.h"

namespace {

using namespace gravelin;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "finding: %s %.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

report::IntakeLimits smallLimits() {
    report::IntakeLimits limits;
    limits.maxSealedHexBytes = 1u << 16;
    limits.maxDepth = 6;
    limits.maxElements = 40;
    limits.maxAttributesPerElement = 5;
    limits.maxAttributeValueBytes = 24;
    return limits;
}

bool isUtf8(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (decodeUtf8(text, pos) == kInvalidCodePoint) return false;
    }
    return true;
}

void checkAccepted(const report::ReceivedReport& r, const report::IntakeLimits& limits) {
    if (!r.document) fail("accepted without a document");
    if (!isUtf8(r.text)) fail("accepted text is not UTF-8");
    if (r.encoding != "utf-8" && r.encoding != "windows-1252") fail("encoding", r.encoding);
    const pugi::xml_node root = r.document->document_element();
    if (std::string_view(root.name()) != vocabulary::kReportRoot)
        fail("root is not the report's", root.name());
    const pugi::xml_node app =
        root.child(vocabulary::kApplicationBlock).child(vocabulary::kFirstInstance);
    std::string os = app.attribute(vocabulary::kApplicationOs).value();
    if (!os.empty() && os.back() == ' ') os.pop_back();
    if (os != r.osDescription) fail("OS field differs from the tree");
    // Bounds, counted here.
    std::size_t elements = 0;
    std::vector<std::pair<pugi::xml_node, std::size_t>> stack{{root, 1}};
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        if (node.type() == pugi::node_doctype) fail("a DOCTYPE node was accepted");
        if (node.type() != pugi::node_element) continue;
        if (++elements > limits.maxElements) fail("too many elements accepted");
        if (depth > limits.maxDepth) fail("too deep accepted");
        std::size_t attributes = 0;
        for (auto a = node.first_attribute(); a; a = a.next_attribute()) {
            if (++attributes > limits.maxAttributesPerElement) fail("too many attributes accepted");
            if (std::string_view(a.value()).size() > limits.maxAttributeValueBytes)
                fail("attribute too large accepted");
        }
        for (auto child = node.first_child(); child; child = child.next_sibling())
            stack.emplace_back(child, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned options = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const report::IntakeLimits limits = smallLimits();

    if ((options & 0x01U) != 0) {
        const auto result = report::receiveSealed(text, limits);
        if (result.rejection == report::Rejection::None) {
            checkAccepted(result.report, limits);
            const std::string& d = result.report.sealedDigest;
            if (d.size() != 64 || d.find_first_not_of("0123456789abcdef") != std::string::npos)
                fail("digest", d);
        }
        return 0;
    }

    const bool utf8 = isUtf8(text);
    report::IntakeResult asText;
    if (utf8) {
        asText = report::receiveText(text, limits);
        if (asText.rejection == report::Rejection::None) checkAccepted(asText.report, limits);
    }
    if ((options & 0x02U) != 0) {
        const auto asPost = report::receiveSealed(sealReportText(text), limits);
        if (asPost.rejection == report::Rejection::None) checkAccepted(asPost.report, limits);
        // Sealing drops nothing but trailing zero bytes: a UTF-8 text without them gets the
        // same answer posted as read (blank text is "empty" read, "not XML" posted; sizes
        // are capped in hex digits posted, in bytes read).
        const bool trailingZero = !text.empty() && text.back() == '\0';
        const auto skipped = [](report::Rejection r) {
            return r == report::Rejection::Empty || r == report::Rejection::TooLarge ||
                   r == report::Rejection::PaddingOnly;
        };
        if (utf8 && !trailingZero && !skipped(asText.rejection) && !skipped(asPost.rejection) &&
            asPost.rejection != asText.rejection) {
            fail("posted and read differ", report::rejectionName(asPost.rejection));
        }
    }
    return 0;
}
