// libFuzzer target: arbitrary bytes as a report's XML through the summariser, the error
// wording, the plain-text rendering, the differ and the JSON form, as the receiver and the
// console run them on every stored scan.
//
// A finding is a sanitizer report, an exception, or a failed check: a scan compared with
// itself has no change; a summary read back from its JSON text gives the same JSON text;
// the plain text holds no control character but line feeds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "reading/Summary.h"
#include "reading/SummaryJson.h"

namespace {

using namespace gravelin;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "finding: %s %.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

void checkText(const std::string& text) {
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F)
            fail("control character in the plain text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pugi::xml_document document;
    if (!document.load_buffer(data, size)) return 0;
    try {
        const report::Summary summary = report::summarise(document);
        checkText(report::summaryText(summary));
        if (const auto changes = report::diff(summary, summary); !changes.empty())
            fail("a scan differs from itself", report::diffText(changes));
        const auto added = report::diff(report::Summary{}, summary);
        checkText(report::diffText(added));
        checkText(report::diffText(report::diff(summary, report::Summary{})));
        const std::string json = report::toJsonText(summary);
        if (report::toJsonText(report::summaryFromJsonText(json)) != json)
            fail("the JSON form does not read back", json);
        (void)report::toJsonText(added);
        (void)report::serialNumbers(summary);
    } catch (const std::exception& e) {
        fail("exception", e.what());
    }
    return 0;
}
