// libFuzzer target: arbitrary bytes as the firmware's SMBIOS table, through the whole SMBIOS
// path of a scan: the registry source, the walker (one query per structure type present, one
// with type filter 255 that selects every structure, one with a select list), every decoder,
// the report tree and its text, and the sealing of that text.
//
// Input: byte 0 holds options, the rest is the table.
//   bit 0: the user's decimal separator is a comma instead of a full stop
//   bit 1: the rest is the whole registry value (header included, so its length field is
//          arbitrary too) instead of a table that gets a header announcing all its bytes
//   bit 2: the report text is sealed and unsealed as well (the cipher is slow under the
//          fuzzer's instrumentation, so only inputs that ask for it pay for it)
//
// A finding is a sanitizer report or a failed check: the string area measured without
// reading it must have the size that reading it gives, the report text must be well-formed
// XML (pugixml), valid UTF-8, with every prefixed name bound on the root element, and
// (bit 2) unsealing the sealed text must give the report's code-page bytes back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "reading/Unseal.h"
#include "scanner/core/Core.h"
#include "scanner/smbios/Smbios.h"
#include "scanner/utils/Utils.h"
#include "shared/Utf8.h"
#include "shared/Vocabulary.h"
#include "tests/FakePlatform.h"

namespace {

using namespace gravelin;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "finding: %s %.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

std::string typeQuery(unsigned type) {
    char line[64];
    std::snprintf(line, sizeof line, "SELECT * FROM SMBIOS_Type%03u_Fuzz", type);
    return line;
}

bool validUtf8(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (decodeUtf8(text, pos) == kInvalidCodePoint) return false;
    }
    return true;
}

void checkNames(const pugi::xml_node& node, const std::set<std::string>& bound) {
    const auto prefixBound = [&](std::string_view name) {
        const auto colon = name.find(':');
        if (colon == std::string_view::npos) return true;
        if (name.substr(0, colon) == "xmlns") return node.parent().type() == pugi::node_document;
        return bound.count(std::string(name.substr(0, colon))) != 0 &&
               name.find(':', colon + 1) == std::string_view::npos && colon + 1 < name.size();
    };
    if (!prefixBound(node.name())) fail("unbound element prefix", node.name());
    for (const auto& attribute : node.attributes()) {
        if (!prefixBound(attribute.name())) fail("unbound attribute prefix", attribute.name());
    }
    for (const auto& child : node.children()) {
        if (child.type() == pugi::node_element) checkNames(child, bound);
    }
}

void checkReport(const std::string& text) {
    if (!validUtf8(text)) fail("report text is not UTF-8");
    pugi::xml_document document;
    const auto parsed = document.load_string(text.c_str());
    if (!parsed) fail("report text does not parse:", parsed.description());
    const auto root = document.document_element();
    if (std::string_view(root.name()) != vocabulary::kReportRoot) fail("root element", root.name());
    std::set<std::string> bound;
    for (const auto& attribute : root.attributes()) {
        const std::string_view name = attribute.name();
        if (name.starts_with("xmlns:")) bound.emplace(name.substr(6));
    }
    checkNames(root, bound);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t options = data[0];
    const std::vector<std::uint8_t> rest(data + 1, data + size);
    std::vector<std::uint8_t> value;
    if ((options & 0x02U) != 0) {
        value = rest;
    } else {
        value.assign(8, 0);
        value[1] = 3;
        const auto length = static_cast<std::uint32_t>(rest.size());
        for (int i = 0; i < 4; ++i) value[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
        value.insert(value.end(), rest.begin(), rest.end());
    }
    // The walker measures string areas without reading them: the two must always agree.
    StringList strings;
    if (stringAreaSize(rest) != readStringSet(rest, strings, windows1252()))
        fail("stringAreaSize and readStringSet disagree");

    testing::FakePlatform platform;
    platform.registryValue = std::move(value);
    platform.separator = (options & 0x01U) != 0 ? "," : ".";

    CCore core(platform);
    core.loadSmbios();
    // Every type present, then every structure at once (type 255), then a select list.
    for (const unsigned type : core.smbios().typesPresent()) core.runQuery(typeQuery(type));
    core.runQuery(typeQuery(255));
    core.runQuery("SELECT Size, Speed, Count: , Handle FROM SMBIOS_Type017_MemoryDevice");
    core.addApplicationInfo("C:\\gravelin\\gravelin-scanner.exe");

    const std::string text = core.report().xmlText();
    checkReport(text);

    if ((options & 0x04U) == 0) return 0;
    const std::string codePage = windows1252().fromUtf8(text);
    const std::string sealed = sealReportText(codePage);
    if (report::unsealText(sealed) != codePage) fail("unsealing does not give the report back");
    return 0;
}
