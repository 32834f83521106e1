// WMI values as report text, and the single-property query's results.
#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "scanner/wmi/Wmi.h"

namespace gravelin::testing {
namespace {

TEST(WmiValueText, DataModel) {
    EXPECT_EQ(wmiValueText(WmiValue{}), "");
    EXPECT_EQ(wmiValueText(true), "True");
    EXPECT_EQ(wmiValueText(false), "False");
    EXPECT_EQ(wmiValueText(WmiSigned{-5}), "-5");
    EXPECT_EQ(wmiValueText(WmiUnsigned{4294967295U}), "4294967295");
    EXPECT_EQ(wmiValueText("20240101120000.000000+060"), "20240101120000.000000+060");
    EXPECT_EQ(wmiValueText(WmiArray{"a", "b"}), "a, b");
    EXPECT_EQ(wmiValueText(WmiArray{"", "b"}), "b") << "leading empty elements leave no separator";
    EXPECT_EQ(wmiValueText(WmiArray{"a", "", "c"}), "a, , c");
    EXPECT_EQ(wmiValueText(WmiArray{WmiUnsigned{3}, WmiUnsigned{4}}), "3, 4");
    EXPECT_EQ(wmiValueText(WmiArray{}), "");
}

TEST(QueryWmiProperty, TextDestinationAndErrors) {
    FakePlatform platform;
    platform.wmiProperties["Size"] = {"", WmiUnsigned{3472}};
    platform.wmiProperties["SMBiosData"] = {"", WmiBytes{1, 2, 3, 4, 5}};
    EXPECT_EQ(queryWmiProperty(platform, "ROOT\\wmi", "q", "Size"), "3472");
    std::uint8_t buffer[3] = {};
    std::size_t copied = 0;
    EXPECT_EQ(queryWmiProperty(platform, "ROOT\\wmi", "q", "SMBiosData", buffer, 3, &copied), "");
    EXPECT_EQ(copied, 3U) << "never more than the capacity";
    EXPECT_EQ(buffer[2], 3);
    for (const std::string error :
         {"Error at CoCreateInstance", "Error at Connecting Server", "Error at CoSetProxyBlanket",
          "Error at ExecQuery", "Error at pEnumerator->Next"}) {
        platform.wmiPropertyDefaultError = error;
        EXPECT_EQ(queryWmiProperty(platform, "root\\cimv2", "q", "Missing"), error);
    }
}

}  // namespace
}  // namespace gravelin::testing
