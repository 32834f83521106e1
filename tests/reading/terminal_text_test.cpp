// What the receiver's commands print: every character a terminal would act on is shown as
// an escape, in plain text and in JSON, and nothing else changes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "reading/TerminalText.h"

namespace gravelin::testing {
namespace {

using report::terminalJson;
using report::terminalText;

// Strings with what a hostile firmware string or an old database row may hold, and their
// plain-text form.
// clang-format off
const std::vector<std::pair<std::string, std::string>> kCases = {
    {"Dell Inc.", "Dell Inc."},
    {"C:\\path", "C:\\path"},                          // backslashes kept
    {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x84\xA2", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x84\xA2"},  // UTF-8 kept
    {"\x1B]0;owned\x07", "\\x1B]0;owned\\x07"},      // window title and bell
    {"\x1B[2J\x1B[H", "\\x1B[2J\\x1B[H"},            // clear the screen
    {"a\tb\nc\rd", "a\\x09b\\x0Ac\\x0Dd"},          // no value splits a line or a column
    {std::string("nul\0x", 5), "nul\\x00x"},
    {"del\x7F", "del\\x7F"},
    {"csi\xC2\x9B" "31m", "csi\\u009B31m"},          // C1 CSI in UTF-8
    {"nel\xC2\x85", "nel\\u0085"},
    {"\xE2\x80\xAE" "txt.exe", "\\u202Etxt.exe"},     // right-to-left override
    {"\xE2\x81\xA6" "x\xE2\x81\xA9", "\\u2066x\\u2069"},  // isolates
    {"raw \x9B byte", "raw \\x9B byte"},            // not UTF-8: an 8-bit CSI
    {"cut \xE2\x80", "cut \\xE2\\x80"},
    {"", ""},
};
// clang-format on

TEST(TerminalText, EscapesWhatATerminalWouldActOn) {
    for (const auto& [value, shown] : kCases) {
        EXPECT_EQ(terminalText(value), shown) << value;
    }
}

TEST(TerminalText, JsonKeepsItsValuesAndCarriesNoTerminalControl) {
    using nlohmann::json;
    for (const auto& [value, shown] : kCases) {
        SCOPED_TRACE(shown);
        const json document = {{"maker", value}, {"list", {value, 1}}};
        const std::string dumped = document.dump(2, ' ', false, json::error_handler_t::replace);
        const std::string safe = terminalJson(dumped);
        // Nothing a terminal acts on is left but the layout's line feeds.
        for (std::size_t i = 0; i < safe.size(); ++i) {
            const auto b = static_cast<unsigned char>(safe[i]);
            EXPECT_FALSE((b < 0x20 && b != '\n') || b == 0x7F) << "byte " << int(b) << " at " << i;
            EXPECT_FALSE(b == 0xC2 && i + 1 < safe.size() &&
                         static_cast<unsigned char>(safe[i + 1]) < 0xA0)
                << "C1 at " << i;
        }
        EXPECT_EQ(safe.find("\xE2\x80\xAE"), std::string::npos);
        EXPECT_EQ(safe.find("\xE2\x81\xA6"), std::string::npos);
        // The same JSON value: what the library read back is what it wrote.
        EXPECT_EQ(json::parse(safe), json::parse(dumped));
    }
}

}  // namespace
}  // namespace gravelin::testing
