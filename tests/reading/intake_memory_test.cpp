// Hostile documents cost the intake no more memory than the text they come in: every
// allocation of this program (operator new and pugixml's own) is counted, and the peak
// while a hostile text is refused stays within the bytes the text itself needs. A
// document within bounds, whose tree is built, shows that the count sees a tree when there
// is one.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <new>
#include <string>

#include "scanner/core/Core.h"
#include "reading/Intake.h"

namespace {

std::size_t g_current = 0;
std::size_t g_peak = 0;

// Blocks are counted by their usable size, which the allocator knows on both ends. Not
// inlined: the compiler is not to reason about malloc'd blocks handed out by operator new.
[[gnu::noinline]] void* counted(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) return nullptr;
    g_current += malloc_usable_size(block);
    if (g_current > g_peak) g_peak = g_current;
    return block;
}

[[gnu::noinline]] void uncounted(void* block) {
    if (block == nullptr) return;
    g_current -= malloc_usable_size(block);
    std::free(block);
}

}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (void* p = counted(size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
    if (void* p = counted(size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { uncounted(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { uncounted(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }

namespace gravelin::testing {
namespace {

using report::IntakeLimits;
using report::receiveSealed;
using report::Rejection;

std::string repeated(std::string_view piece, std::size_t n) {
    std::string text;
    text.reserve(piece.size() * n);
    for (std::size_t i = 0; i < n; ++i) text += piece;
    return text;
}

std::string reportAround(const std::string& inner) {
    return "<HWInfo><Application><i0 OS=\"\" Name=\"\" Version=\"\" Errors=\"\"/></Application>" +
           inner + "</HWInfo>";
}

struct Measured {
    Rejection rejection;
    std::size_t peakBytes;  // above what was allocated before the call
};

Measured measure(const std::string& sealed, const IntakeLimits& limits) {
    const std::size_t before = g_current;
    g_peak = g_current;
    const auto result = receiveSealed(sealed, limits);
    return {result.rejection, g_peak - before};
}

class IntakeMemory : public ::testing::Test {
protected:
    static void SetUpTestSuite() { pugi::set_memory_management_functions(counted, uncounted); }
};

TEST_F(IntakeMemory, HostileDocumentsCostNoMoreThanTheirText) {
    IntakeLimits roomy;  // room for a million attributes in the sealed text
    roomy.maxSealedHexBytes = 64u << 20;
    std::string laughs = "<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"" +
                  repeated(i == 1 ? "&lol;" : "&lol" + std::to_string(i - 1) + ";", 10) + "\">";
    }
    laughs += "]>" + reportAround("<X><i0 A=\"&lol9;\"/></X>");
    std::string attributes = "<X><i0";
    for (int i = 0; i < 1000000; ++i) attributes += " a" + std::to_string(i) + "=\"\"";
    attributes += "/></X>";
    const struct {
        const char* name;
        std::string text;
        Rejection expected;
    } cases[] = {
        {"billion laughs", laughs, Rejection::Doctype},
        {"100,000 nested elements",
         reportAround(repeated("<a>", 100000) + repeated("</a>", 100000)), Rejection::TooDeep},
        {"a million attributes", reportAround(attributes), Rejection::TooManyAttributes},
        {"100,001 elements", reportAround("<X>" + repeated("<i/>", 100001) + "</X>"),
         Rejection::TooManyElements},
        {"an attribute value over the cap",
         reportAround("<X><i0 A=\"" + std::string((64u << 10) + 1, 'v') + "\"/></X>"),
         Rejection::AttributeTooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sealed = sealReportText(c.text);
        const auto m = measure(sealed, roomy);
        EXPECT_EQ(m.rejection, c.expected);
        // The unsealed bytes and their UTF-8 text: half the hex each.
        EXPECT_LE(m.peakBytes, sealed.size() + (64u << 10))
            << "peak " << m.peakBytes << " for " << sealed.size() << " hex digits";
    }
}

TEST_F(IntakeMemory, ADocumentWithinBoundsBuildsItsTree) {
    // The meter sees pugixml's tree: 90,000 elements cost far more than their text.
    const std::string sealed = sealReportText(reportAround("<X>" + repeated("<i/>", 90000) + "</X>"));
    const auto m = measure(sealed, {});
    EXPECT_EQ(m.rejection, Rejection::None);
    EXPECT_GT(m.peakBytes, 2 * sealed.size());
}

}  // namespace
}  // namespace gravelin::testing
