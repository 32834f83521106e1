// The two WMI queries against the system's own WMI service (Wine's, under Wine).
#include <gmock/gmock.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "WindowsTesting.h"
#include "scanner/platform/windows/WindowsPlatform.h"
#include "scanner/platform/windows/WindowsWmi.h"
#include "scanner/wmi/Wmi.h"

namespace gravelin::testing {
namespace {

[[maybe_unused]] auto* const com = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

const WmiValue* property(const WmiObject& object, std::string_view name) {
    for (const auto& [n, value] : object.properties) {
        if (n == name) return &value;
    }
    return nullptr;
}

TEST(WmiClassQuery, OperatingSystemIsOneObjectOfItsClass) {
    const auto objects = windows::queryWmiClass("SELECT * FROM Win32_OperatingSystem");
    ASSERT_EQ(objects.size(), 1U);
    EXPECT_EQ(objects[0].className, "Win32_OperatingSystem");
    const WmiValue* caption = property(objects[0], "Caption");
    ASSERT_NE(caption, nullptr);
    EXPECT_THAT(wmiValueText(*caption), ::testing::HasSubstr("Windows"));
}

TEST(WmiClassQuery, ItsVersionAgreesWithTheVersionRecord) {
    // Two independent routes to the same facts: WMI and RtlGetVersion.
    const auto objects = windows::queryWmiClass("SELECT * FROM Win32_OperatingSystem");
    ASSERT_EQ(objects.size(), 1U);
    const WindowsIdentity identity = windows::windowsIdentity();
    ASSERT_EQ(identity.source, WindowsIdentity::Source::RtlGetVersion);
    const auto& r = identity.record;
    const WmiValue* version = property(objects[0], "Version");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(wmiValueText(*version), std::to_string(r.major) + "." + std::to_string(r.minor) +
                                          "." + std::to_string(r.build));
    if (const WmiValue* productType = property(objects[0], "ProductType")) {
        // A CIM uint32: an unsigned value in decimal.
        EXPECT_TRUE(std::holds_alternative<WmiUnsigned>(productType->data));
        EXPECT_EQ(wmiValueText(*productType), std::to_string(r.productType));
    }
}

TEST(WmiClassQuery, EveryObjectOfAMultiObjectClassIsReported) {
    const auto objects = windows::queryWmiClass("SELECT * FROM Win32_LogicalDisk");
    ASSERT_FALSE(objects.empty());
    for (const auto& object : objects) {
        EXPECT_EQ(object.className, "Win32_LogicalDisk");
        EXPECT_TRUE(property(object, "DeviceID") || property(object, "DeviceId"));
        for (const auto& [name, value] : object.properties) {
            // No NUL padding leaks into a text.
            EXPECT_EQ(wmiValueText(value).find('\0'), std::string::npos) << name;
        }
    }
}

TEST(WmiClassQuery, AClassWmiDoesNotKnowGivesNoObjects) {
    EXPECT_TRUE(windows::queryWmiClass("SELECT * FROM SMBIOS_Type017_MemoryDevice").empty());
    EXPECT_TRUE(windows::queryWmiClass("SELEKT nonsense").empty());
}

TEST(WmiPropertyQuery, AnsweredWithTheFirstObjectsValue) {
    const WindowsIdentity identity = windows::windowsIdentity();
    const auto answer = windows::queryWmiProperty(
        "root\\cimv2", "SELECT * FROM Win32_OperatingSystem", "BuildNumber");
    EXPECT_EQ(answer.error, "");
    EXPECT_EQ(wmiScalarText(answer.value), std::to_string(identity.record.build));
}

TEST(WmiPropertyQuery, FailuresGiveTheirErrorTexts) {
    EXPECT_EQ(windows::queryWmiProperty("root\\no-such-namespace",
                                        "SELECT * FROM Win32_OperatingSystem", "Caption")
                  .error,
              "Error at Connecting Server");
    EXPECT_EQ(
        windows::queryWmiProperty("root\\cimv2", "SELECT * FROM Gravelin_NoSuchClass", "Caption")
            .error,
        "Error at pEnumerator->Next");
}

// The raw table's size as the WMI source reads it: a positive decimal, or nothing (an
// error text, or a null value as Wine gives on a host without DMI data).
std::optional<std::int32_t> rawTableSize(Platform& platform) {
    const auto size = platform.wmiQueryProperty(std::string(kRawSmbiosNamespace),
                                                std::string(kRawSmbiosQuery), "Size");
    if (!size.error.empty()) {
        EXPECT_EQ(size.error, "Error at pEnumerator->Next");
        return std::nullopt;
    }
    const std::string text = wmiScalarText(size.value);
    std::int32_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n <= 0) {
        EXPECT_TRUE(size.value.isNull()) << "Size is neither null nor a positive number: " << text;
        return std::nullopt;
    }
    return n;
}

TEST(WmiTableSource, TheWmiSourceLoadsExactlyWhatWmiHolds) {
    WindowsPlatform platform;
    const auto size = rawTableSize(platform);
    const std::uint8_t* table = nullptr;
    std::int32_t length = 0;
    const bool loaded = readSmbiosFromWmi(platform, table, length);
    if (!size) {
        EXPECT_FALSE(loaded);
        GTEST_SKIP() << "no raw SMBIOS table in WMI here";
    }
    ASSERT_TRUE(loaded);
    EXPECT_EQ(length, *size);
    // The same bytes as the property itself, starting with the first structure: a type
    // byte and a Length of at least 4.
    const auto data = platform.wmiQueryProperty(std::string(kRawSmbiosNamespace),
                                                std::string(kRawSmbiosQuery), "SMBiosData");
    const auto* bytes = std::get_if<WmiBytes>(&data.value.data);
    ASSERT_NE(bytes, nullptr);
    ASSERT_GE(length, 4);
    ASSERT_EQ(bytes->size(), static_cast<std::size_t>(length));
    EXPECT_TRUE(std::equal(bytes->begin(), bytes->end(), table));
    EXPECT_GE(table[1], 4);
    freeWmiBuffer();
}

}  // namespace
}  // namespace gravelin::testing
