// The receiving side's intake: every way a sealed text can be wrong gets its own refusal,
// hostile documents are stopped before a tree is built, and real reports sealed by the
// scanner come back with their Application block, encoding and digest.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "RealReports.h"
#include "shared/Blowfish.h"
#include "reading/Intake.h"
#include "reading/Unseal.h"
#include "scanner/utils/Utils.h"

namespace gravelin::testing {
namespace {

using report::IntakeLimits;
using report::receiveSealed;
using report::receiveText;
using report::Rejection;

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Seals bytes under any key, as the scanner seals under its own: zero padding to whole
// blocks, Blowfish-ECB, upper-case hex.
std::string sealWithKey(std::string bytes, std::string_view key) {
    bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
    BlowfishContext context;
    blowfishInit(context, reinterpret_cast<const std::uint8_t*>(key.data()),
                 static_cast<std::uint32_t>(key.size()), {});
    auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
    blowfishEncrypt(context, data, data, static_cast<std::uint32_t>(bytes.size()), kBlowfishEcb);
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        hex += kHexDigits[b >> 4];
        hex += kHexDigits[b & 0xF];
    }
    return hex;
}

std::string lowerCased(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string sha256Hex(std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr),
              1);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += lowerCased(std::string(1, kHexDigits[digest[i] >> 4]));
        hex += lowerCased(std::string(1, kHexDigits[digest[i] & 0xF]));
    }
    return hex;
}

const std::string kApplication =
    "<Application><i0 OS=\"Test OS \" Name=\"scanner \" Version=\"1.0.0.0 \" Errors=\" \"/>"
    "</Application>";

std::string reportAround(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<HWInfo>" + kApplication + inner +
           "</HWInfo>\r\n";
}

std::string repeated(std::string_view piece, std::size_t n) {
    std::string text;
    text.reserve(piece.size() * n);
    for (std::size_t i = 0; i < n; ++i) text += piece;
    return text;
}

std::string manyAttributes(std::size_t n) {
    std::string text = "<i0";
    text.reserve(n * 10);
    for (std::size_t i = 0; i < n; ++i) text += " a" + std::to_string(i) + "=\"\"";
    return text + "/>";
}

struct BadInput {
    const char* name;
    std::string sealed;
    Rejection expected;
    IntakeLimits limits = {};
};

std::vector<BadInput> badInputs() {
    const std::string realReport = scanRealTable("dell-libsmbios-PE1750_A00").xml;
    const std::string codePage = windows1252().fromUtf8(realReport);
    std::vector<BadInput> cases;
    cases.push_back({"empty", "", Rejection::Empty});
    cases.push_back({"whitespace only", " \r\n\t ", Rejection::Empty});
    cases.push_back({"not hex", "0123456789ABCDEG", Rejection::NotHex});
    cases.push_back({"not hex: a submit page", "<input name=\"scanResult\" value=\"00\">",
                     Rejection::NotHex});
    cases.push_back({"odd length", "0123456789ABCDE", Rejection::OddLength});
    cases.push_back({"not a whole block", "0123456789ABCDEF0123", Rejection::PartialBlock});
    // The cap is applied before anything looks at the digits.
    IntakeLimits small;
    small.maxSealedHexBytes = 1024;
    cases.push_back({"too large", std::string(1040, '0'), Rejection::TooLarge, small});
    cases.push_back({"too large and not hex", std::string(1025, 'x'), Rejection::TooLarge, small});
    cases.push_back({"too large at the default cap", std::string((8u << 20) + 16, '0'),
                     Rejection::TooLarge});
    cases.push_back(
        {"wrong key", sealWithKey(codePage, "not the fixed key"), Rejection::NotXml});
    cases.push_back({"padding only", sealReportText(""), Rejection::PaddingOnly});
    cases.push_back(
        {"padding only, many blocks", sealReportText(std::string(40, '\0')), Rejection::PaddingOnly});
    cases.push_back({"not XML", sealReportText("this is not a report"), Rejection::NotXml});
    cases.push_back({"truncated report", sealReportText(codePage.substr(0, codePage.size() / 2)),
                     Rejection::NotXml});
    cases.push_back({"text after the root", sealReportText(reportAround("") + "trailing"),
                     Rejection::NotXml});
    cases.push_back({"a control character inside a value",
                     sealReportText(reportAround("<X><i0 A=\"1\x01x\"/></X>")),
                     Rejection::NotXml});
    cases.push_back({"a second root", sealReportText(reportAround("") + "<HWInfo/>"),
                     Rejection::NotXml});
    cases.push_back({"a repeated attribute",
                     sealReportText(reportAround("<X><i0 A=\"1\" A=\"2\"/></X>")),
                     Rejection::NotXml});
    cases.push_back({"DOCTYPE with entities",
                     sealReportText("<?xml version=\"1.0\"?>\n<!DOCTYPE HWInfo [\n"
                                    "<!ENTITY os SYSTEM \"file:///etc/passwd\">\n]>\n"
                                    "<HWInfo><Application><i0 OS=\"&os;\" Name=\"\" Version=\"\" "
                                    "Errors=\"\"/></Application></HWInfo>"),
                     Rejection::Doctype});
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
    for (int i = 2; i <= 9; ++i) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"" +
                  repeated("&lol" + std::to_string(i - 1) + ";", 10) + "\">\n";
    }
    laughs += "]>\n<HWInfo>" + kApplication + "<X><i0 A=\"&lol9;\"/></X></HWInfo>";
    cases.push_back({"billion laughs", sealReportText(laughs), Rejection::Doctype});
    cases.push_back({"an entity declaration inside the root",
                     sealReportText(reportAround("<!ENTITY x \"y\">")), Rejection::Doctype});
    cases.push_back({"100,000 nested elements",
                     sealReportText(reportAround(repeated("<a>", 100000) +
                                                 repeated("</a>", 100000))),
                     Rejection::TooDeep});
    cases.push_back({"100,001 elements",
                     sealReportText(reportAround("<X>" + repeated("<i/>", 100001) + "</X>")),
                     Rejection::TooManyElements});
    // A million attributes need more than the default cap of hex; with the cap raised, the
    // attribute bound stops them, before any tree is built.
    IntakeLimits roomy;
    roomy.maxSealedHexBytes = 64u << 20;
    cases.push_back({"a million attributes",
                     sealReportText(reportAround("<X>" + manyAttributes(1000000) + "</X>")),
                     Rejection::TooManyAttributes, roomy});
    cases.push_back({"an attribute value over the cap",
                     sealReportText(reportAround("<X><i0 A=\"" + std::string((64u << 10) + 1, 'v') +
                                                 "\"/></X>")),
                     Rejection::AttributeTooLarge});
    cases.push_back({"no Application",
                     sealReportText("<?xml version=\"1.0\"?><HWInfo><X><i0 A=\"1 \"/></X></HWInfo>"),
                     Rejection::NotAReport});
    cases.push_back({"Application without Errors",
                     sealReportText("<HWInfo><Application><i0 OS=\"\" Name=\"\" Version=\"\"/>"
                                    "</Application></HWInfo>"),
                     Rejection::NotAReport});
    cases.push_back({"root not HWInfo",
                     sealReportText("<Report>" + kApplication + "</Report>"),
                     Rejection::NotAReport});
    return cases;
}

TEST(Intake, EveryBadInputGetsItsOwnRefusal) {
    for (const auto& c : badInputs()) {
        SCOPED_TRACE(c.name);
        const auto result = receiveSealed(c.sealed, c.limits);
        EXPECT_EQ(report::rejectionName(result.rejection), std::string(report::rejectionName(c.expected)));
        EXPECT_TRUE(result.report.text.empty()) << "nothing of a refused text is kept";
        EXPECT_EQ(result.report.document, nullptr);
    }
}

TEST(Intake, CharacterReferencesNameOnlyCharactersXmlAllows) {
    struct Case {
        std::string reference;
        const char* raw;  // the character itself, where it can be written raw; refused too
    };
    const std::vector<Case> refused = {
        {"&#0;", "\x00"},     {"&#x0;", "\x00"},     {"&#1;", "\x01"},  {"&#7;", "\x07"},
        {"&#27;", "\x1B"},    {"&#x1b;", "\x1B"},    {"&#x1F;", "\x1F"}, {"&#0000031;", "\x1F"},
        {"&#xD800;", nullptr}, {"&#xDFFF;", nullptr}, {"&#xFFFE;", nullptr}, {"&#xFFFF;", nullptr},
        {"&#x110000;", nullptr},
        {"&#4294967296;", nullptr},  // 2^32: zero if the value wrapped
        {"&#x100000000000000000000;", nullptr},
        {"&#;", nullptr},      {"&#x;", nullptr},      {"&#X41;", nullptr}, {"&#65", nullptr},
        {"&#6 5;", nullptr},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.reference);
        const std::string inValue = reportAround("<X><i0 A=\"REAL" + c.reference + "HIDDEN \"/></X>");
        const std::string inText = reportAround("<X><i0>REAL" + c.reference + "HIDDEN</i0></X>");
        EXPECT_EQ(receiveSealed(sealReportText(inValue)).rejection, Rejection::NotXml);
        EXPECT_EQ(receiveSealed(sealReportText(inText)).rejection, Rejection::NotXml);
        EXPECT_EQ(receiveText(inValue).rejection, Rejection::NotXml);
        if (c.raw != nullptr) {
            const std::string raw(c.raw, 1);
            EXPECT_EQ(receiveSealed(sealReportText(reportAround("<X><i0 A=\"REAL" + raw + "HIDDEN \"/></X>")))
                          .rejection,
                      Rejection::NotXml);
        }
    }
    // The identity split the NUL reference made: keyed by "REAL", stored with "HIDDEN".
    EXPECT_EQ(receiveSealed(sealReportText(reportAround(
                                "<Win32_ComputerSystemProduct><i0 IdentifyingNumber=\"REAL&#0;HIDDEN \"/>"
                                "</Win32_ComputerSystemProduct>")))
                  .rejection,
              Rejection::NotXml);

    // References to characters XML allows are read as those characters.
    const std::vector<std::pair<std::string, std::string>> accepted = {
        {"&#9;", "\t"},          {"&#xA;", "\n"},           {"&#13;", "\r"},
        {"&#32;", " "},           {"&#0065;", "A"},           {"&#x000041;", "A"},
        {"&#x7F;", "\x7F"},       {"&#x9B;", "\xC2\x9B"},     {"&#xD7FF;", "\xED\x9F\xBF"},
        {"&#xE000;", "\xEE\x80\x80"}, {"&#xFFFD;", "\xEF\xBF\xBD"}, {"&#x10000;", "\xF0\x90\x80\x80"},
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"}, {"&amp;#0;", "&#0;"},
    };
    for (const auto& [reference, character] : accepted) {
        SCOPED_TRACE(reference);
        const auto result = receiveSealed(sealReportText(
            reportAround("<X><i0 A=\"a" + reference + "b \">a" + reference + "b</i0></X>")));
        ASSERT_EQ(result.rejection, Rejection::None);
        const auto object = result.report.document->child("HWInfo").child("X").child("i0");
        EXPECT_EQ(std::string(object.attribute("A").value()), "a" + character + "b ");
        EXPECT_EQ(std::string(object.text().get()), "a" + character + "b");
    }
}

TEST(Intake, RejectionNamesAndReasonsAreDistinctOneLiners) {
    std::set<std::string> names, reasons;
    for (int r = static_cast<int>(Rejection::None); r <= static_cast<int>(Rejection::NotAReport);
         ++r) {
        const std::string name = report::rejectionName(static_cast<Rejection>(r));
        const std::string reason = report::rejectionReason(static_cast<Rejection>(r));
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_TRUE(reasons.insert(reason).second) << reason;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos);
        EXPECT_EQ(reason.find('\n'), std::string::npos);
    }
    EXPECT_STREQ(report::rejectionName(Rejection::NotHex), "not_hex");
}

TEST(Intake, ARealScanComesBackWithItsApplicationBlock) {
    const auto scan = scanRealTable("dell-libsmbios-PE1750_A00");
    const auto result = receiveSealed(scan.sealed);
    ASSERT_EQ(result.rejection, Rejection::None) << report::rejectionName(result.rejection);
    const auto& r = result.report;
    EXPECT_EQ(r.osDescription, "Test OS 64Bit (kernel: 1.0)");
    EXPECT_EQ(r.programName, "gravelin-scanner");
    EXPECT_EQ(r.programVersion, "1.2.3.4");
    // No WMI on the test platform: every WMI line found nothing.
    EXPECT_TRUE(r.errors.starts_with("No data found for \"SELECT * FROM Win32_BaseBoard\", "))
        << r.errors;
    EXPECT_EQ(r.reportBytes, windows1252().fromUtf8(scan.xml));
    EXPECT_EQ(r.text, scan.xml);
    // "Intel® Xeon®" in the processor family: code-page bytes that are not UTF-8.
    EXPECT_EQ(r.encoding, "windows-1252");
    ASSERT_NE(r.document, nullptr);
    EXPECT_STREQ(r.document->document_element()
                     .child("SMBIOS_Type_2_BaseBoard")
                     .child("i0")
                     .attribute("SerialNumber")
                     .value(),
                 "..CN6970237M0012. ");
    EXPECT_EQ(r.sealedDigest, sha256Hex(scan.sealed));
}

TEST(Intake, EveryRealTableScanIsAccepted) {
    std::size_t largest = 0;
    for (const auto& name : realTableNames()) {
        SCOPED_TRACE(name);
        const auto scan = scanRealTable(name);
        largest = std::max(largest, scan.sealed.size());
        const auto result = receiveSealed(scan.sealed);
        EXPECT_EQ(report::rejectionName(result.rejection), std::string("none"));
        EXPECT_EQ(result.report.text, scan.xml);
    }
    // The default cap is several times the largest real report.
    EXPECT_GT(IntakeLimits{}.maxSealedHexBytes, 8 * largest);
}

TEST(Intake, TheDigestIgnoresCaseAndSurroundingWhitespace) {
    const auto scan = scanRealTable("uroot-Lenovo-ThinkPad-T480");
    const auto upper = receiveSealed(scan.sealed);
    const auto lower = receiveSealed(lowerCased(scan.sealed));
    const auto padded = receiveSealed(" \r\n\t" + lowerCased(scan.sealed) + "\r\n");
    ASSERT_EQ(upper.rejection, Rejection::None);
    ASSERT_EQ(lower.rejection, Rejection::None);
    ASSERT_EQ(padded.rejection, Rejection::None);
    EXPECT_EQ(upper.report.sealedDigest, sha256Hex(scan.sealed));
    EXPECT_EQ(lower.report.sealedDigest, upper.report.sealedDigest);
    EXPECT_EQ(padded.report.sealedDigest, upper.report.sealedDigest);
    EXPECT_EQ(lower.report.text, upper.report.text);

    const auto other = receiveSealed(scanRealTable("uroot-smbios_table").sealed);
    ASSERT_EQ(other.rejection, Rejection::None);
    EXPECT_NE(other.report.sealedDigest, upper.report.sealedDigest);
}

// A fixed vector, independent of any library the code links: the sealed text of this report
// (zero-padded, Blowfish-ECB under the fixed key, upper-case hex, 5712 characters: more than
// one slice of the digest's upper-casing) was made with `openssl enc -bf-ecb -nopad` and its
// SHA-256 taken with coreutils' sha256sum. The same text in lower case digests alike.
TEST(Intake, TheDigestOfAKnownSealedTextIsItsSha256) {
    const std::string sealed =
        sealReportText(reportAround(repeated("<X><i0 A=\"0123456789\"/></X>", 100)));
    ASSERT_EQ(sealed.size(), 5712u);
    constexpr std::string_view kExpected =
        "654d0236f1665b66e00a8ea026a38bd3c85cf322cc99d7591bce6a5c4bdd35a5";
    for (const std::string& text : {sealed, lowerCased(sealed)}) {
        const auto result = receiveSealed(text);
        ASSERT_EQ(result.rejection, Rejection::None) << report::rejectionName(result.rejection);
        EXPECT_EQ(result.report.sealedDigest, kExpected);
    }
}

TEST(Intake, AWindows1252ReportIsReadInItsCodePage) {
    FakePlatform platform;
    platform.registryValue = realRegistryValue("qemu-pc-seabios");
    // Every printable character of the upper half, the euro sign and the typographic
    // quotes among them.
    std::string upperHalf;
    for (int b = 0x80; b <= 0xFF; ++b) {
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;
        upperHalf += static_cast<char>(b);
    }
    const std::string vendorUtf8 = windows1252().toUtf8(upperHalf);
    platform.wmiClasses["SELECT * FROM Win32_ComputerSystemProduct"] = {
        {"Win32_ComputerSystemProduct", {{"Vendor", vendorUtf8}, {"Name", "Überbook – “Pro”"}}}};
    const auto scan = scanWith(platform);
    const auto result = receiveSealed(scan.sealed);
    ASSERT_EQ(result.rejection, Rejection::None) << report::rejectionName(result.rejection);
    EXPECT_EQ(result.report.encoding, "windows-1252");
    EXPECT_NE(result.report.reportBytes.find(upperHalf), std::string::npos)
        << "the sealed bytes are the code page's";
    const auto product =
        result.report.document->document_element().child("Win32_ComputerSystemProduct").child("i0");
    EXPECT_EQ(std::string(product.attribute("Vendor").value()), vendorUtf8 + " ");
    EXPECT_EQ(std::string(product.attribute("Name").value()), "Überbook – “Pro” ");
    EXPECT_NE(result.report.text.find("\xE2\x82\xAC"), std::string::npos) << "the euro sign";
}

TEST(Intake, AUtf8ReportIsKeptAsUtf8) {
    // A machine whose code page is UTF-8 seals UTF-8 bytes; they stay as they are.
    const std::string text = reportAround(
        "<Win32_BaseBoard><i0 Manufacturer=\"Société Générale – € \"/></Win32_BaseBoard>");
    const auto result = receiveSealed(sealReportText(text));
    ASSERT_EQ(result.rejection, Rejection::None) << report::rejectionName(result.rejection);
    EXPECT_EQ(result.report.encoding, "utf-8");
    EXPECT_EQ(result.report.text, text);
    EXPECT_EQ(result.report.reportBytes, text);
    EXPECT_STREQ(result.report.document->document_element()
                     .child("Win32_BaseBoard")
                     .child("i0")
                     .attribute("Manufacturer")
                     .value(),
                 "Société Générale – € ");
}

TEST(Intake, TheSubmitPageTheScannerLeavesHoldsTheSealedText) {
    FakePlatform platform;
    platform.registryValue = realRegistryValue("uroot-smbios_table");
    const auto scan = scanWith(platform);
    std::string page;
    for (const auto& [name, content] : platform.files) {
        if (content.find("scanResult") != std::string::npos) page = content;
    }
    ASSERT_FALSE(page.empty()) << "the scanner wrote no submit page";
    const auto sealed = report::sealedTextIn(page);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(*sealed, scan.sealed);
    EXPECT_EQ(receiveSealed(*sealed).rejection, Rejection::None);
    // A bare sealed text is its own; a page cut inside the value holds none.
    EXPECT_EQ(report::sealedTextIn("\r\n" + scan.sealed + "\n"), scan.sealed);
    EXPECT_EQ(report::sealedTextIn(page.substr(0, page.find(scan.sealed) + 100)), std::nullopt);
}

TEST(Intake, ReportTextGoesThroughTheSameBounds) {
    const auto scan = scanRealTable("uroot-VMWare");
    const auto accepted = receiveText(scan.xml);
    ASSERT_EQ(accepted.rejection, Rejection::None);
    EXPECT_EQ(accepted.report.encoding, "utf-8");
    EXPECT_EQ(accepted.report.programName, "gravelin-scanner");

    EXPECT_EQ(receiveText("").rejection, Rejection::Empty);
    EXPECT_EQ(receiveText(reportAround("\xFF")).rejection, Rejection::NotXml)
        << "text promised as UTF-8 that is not";
    EXPECT_EQ(receiveText(reportAround(repeated("<a>", 100) + repeated("</a>", 100))).rejection,
              Rejection::TooDeep);
    IntakeLimits small;
    small.maxSealedHexBytes = 64;
    EXPECT_EQ(receiveText(scan.xml, small).rejection, Rejection::TooLarge);
}

TEST(Intake, BoundsAreTheLimitsGiven) {
    // Exactly at each bound passes, one over fails: the limits are the ones asked for.
    IntakeLimits limits;
    limits.maxDepth = 5;  // HWInfo, X, a, a, a
    limits.maxElements = 6;
    limits.maxAttributesPerElement = 4;
    limits.maxAttributeValueBytes = 8;
    const std::string app = "<Application><i0 OS=\"\" Name=\"\" Version=\"\" Errors=\"\"/></Application>";
    const auto at = [&](const std::string& inner) {
        return receiveText("<HWInfo>" + app + inner + "</HWInfo>", limits).rejection;
    };
    EXPECT_EQ(at("<X><a><a/></a></X>"), Rejection::None);
    EXPECT_EQ(at("<X><a><a><a/></a></a></X>"), Rejection::TooManyElements);
    limits.maxElements = 100;
    EXPECT_EQ(at("<X><a><a><a/></a></a></X>"), Rejection::None);
    EXPECT_EQ(at("<X><a><a><a><a/></a></a></a></X>"), Rejection::TooDeep);
    EXPECT_EQ(at("<X a=\"1\" b=\"2\" c=\"3\" d=\"4\"/>"), Rejection::None);
    EXPECT_EQ(at("<X a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\"/>"), Rejection::TooManyAttributes);
    EXPECT_EQ(at("<X a=\"12345678\"/>"), Rejection::None);
    EXPECT_EQ(at("<X a='123456789'/>"), Rejection::AttributeTooLarge);
    // Markup inside quoted values, comments and CDATA is not markup.
    EXPECT_EQ(at("<X a=\"&lt;a>\"/><!-- <a><a><a><a> --><Y><![CDATA[<a><a><a>]]></Y>"),
              Rejection::None);
}

}  // namespace
}  // namespace gravelin::testing
