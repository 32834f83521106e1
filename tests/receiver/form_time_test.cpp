// The form decoding both the public site (refusing broken escapes) and the console (keeping
// them) read bodies with, and the ISO times of the listings and exports.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "receiver/http/Form.h"
#include "receiver/http/Time.h"

namespace gravelin::server {
namespace {

std::optional<std::string> decoded(std::string_view in, BrokenEscape broken) {
    std::string out = "left over";
    if (!formDecode(in, out, broken)) return std::nullopt;
    return out;
}

TEST(FormDecode, EscapesAndBlanks) {
    struct Case {
        std::string in;
        std::optional<std::string> refused;  // with BrokenEscape::Refuse
        std::string kept;                    // with BrokenEscape::Keep
    };
    const std::vector<Case> cases = {
        {"", "", ""},
        {"0123ABCDEF", "0123ABCDEF", "0123ABCDEF"},
        {"a+b++c", "a b  c", "a b  c"},
        {"%41%62%2b%2B", "Ab++", "Ab++"},
        {"%00x%FF", std::string("\0x\xFF", 3), std::string("\0x\xFF", 3)},
        {"name%3Dvalue%26", "name=value&", "name=value&"},
        // A '%' without two hex digits after it: at the end, cut short, or not hex.
        {"100%", std::nullopt, "100%"},
        {"ab%4", std::nullopt, "ab%4"},
        {"%G1+x", std::nullopt, "%G1 x"},
        {"%%41", std::nullopt, "%A"},
        {"x%4g%41", std::nullopt, "x%4gA"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decoded(c.in, BrokenEscape::Refuse), c.refused) << c.in;
        EXPECT_EQ(decoded(c.in, BrokenEscape::Keep), c.kept) << c.in;
    }
}

TEST(IsoTime, WholeSecondsInUtc) {
    struct Case {
        std::int64_t ms;
        const char* text;
    };
    for (const auto& c : std::vector<Case>{{0, "1970-01-01T00:00:00Z"},
                                           {999, "1970-01-01T00:00:00Z"},
                                           {1'796'910'125'000, "2026-12-10T13:42:05Z"},
                                           {951'782'400'000, "2000-02-29T00:00:00Z"},
                                           {253'402'300'799'999, "9999-12-31T23:59:59Z"},
                                           {-1'000, "1969-12-31T23:59:59Z"}}) {
        EXPECT_EQ(isoTime(c.ms), c.text) << c.ms;
    }
}

// Days typed for a period: exactly YYYY-MM-DD of a day the calendar has, from 1970 on.
TEST(UtcDay, ReadsCalendarDaysOnly) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> ms;
    };
    for (const auto& c : std::vector<Case>{{"1970-01-01", 0},
                                           {"2026-12-10", 1'796'860'800'000},
                                           {"2000-02-29", 951'782'400'000},
                                           {"2100-02-29", std::nullopt},
                                           {"2026-02-30", std::nullopt},
                                           {"2026-13-01", std::nullopt},
                                           {"2026-00-10", std::nullopt},
                                           {"2026-12-00", std::nullopt},
                                           {"1969-12-31", std::nullopt},
                                           {"2026-12-1", std::nullopt},
                                           {"2026/12/10", std::nullopt},
                                           {"2026-12-10T00:00", std::nullopt},
                                           {"+026-12-10", std::nullopt},
                                           {"", std::nullopt},
                                           {"yesterday", std::nullopt}}) {
        EXPECT_EQ(utcDayStartMs(c.text), c.ms) << c.text;
    }
    EXPECT_EQ(isoTime(*utcDayStartMs("2026-12-10") + kDayMs - 1), "2026-12-10T23:59:59Z");
}

}  // namespace
}  // namespace gravelin::server
