// The registry read against real keys: a scratch key under HKEY_LOCAL_MACHINE\SOFTWARE.
#include <gmock/gmock.h>

#include "WindowsTesting.h"
#include "scanner/platform/windows/WindowsPlatform.h"

namespace gravelin::testing {
namespace {

class RegistryRead : public ::testing::Test {
protected:
    void SetUp() override {
        keyName_ = L"SOFTWARE\\GravelinTest-" + std::to_wstring(::GetCurrentProcessId()) +
                   L"\\Pr\u00fcfung";
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key_, nullptr) != ERROR_SUCCESS)
            GTEST_SKIP() << "cannot create a key under HKEY_LOCAL_MACHINE\\SOFTWARE here";
    }
    void TearDown() override {
        if (key_ != nullptr) ::RegCloseKey(key_);
        ::RegDeleteTreeW(
            HKEY_LOCAL_MACHINE,
            (L"SOFTWARE\\GravelinTest-" + std::to_wstring(::GetCurrentProcessId())).c_str());
    }

    void setValue(const wchar_t* name, DWORD type, const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(
            ::RegSetValueExW(key_, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
    }

    [[nodiscard]] std::string key() const { return windows::narrow(keyName_); }

    std::wstring keyName_;
    HKEY key_ = nullptr;
    WindowsPlatform platform_;
};

TEST_F(RegistryRead, ABinaryValueComesBackByteForByte) {
    // Larger than anything a command-line import handles, as big tables are.
    std::vector<std::uint8_t> bytes(100000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    setValue(L"SMBiosData", REG_BINARY, bytes);
    EXPECT_EQ(platform_.registryBinaryValue(key(), "SMBiosData"), bytes);
}

TEST_F(RegistryRead, AnEmptyValueIsEmptyNotMissing) {
    setValue(L"Empty", REG_BINARY, {});
    const auto value = platform_.registryBinaryValue(key(), "Empty");
    ASSERT_TRUE(value.has_value());
    EXPECT_TRUE(value->empty());
}

TEST_F(RegistryRead, AMissingValueOrKeyGivesNothingAndCreatesNothing) {
    EXPECT_EQ(platform_.registryBinaryValue(key(), "Absent"), std::nullopt);
    const std::string missingKey = key() + "\\Missing";
    EXPECT_EQ(platform_.registryBinaryValue(missingKey, "SMBiosData"), std::nullopt);
    HKEY probe = nullptr;
    EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, windows::widen(missingKey).c_str(), 0, KEY_READ,
                              &probe),
              ERROR_FILE_NOT_FOUND)
        << "the read created the key";
    if (probe != nullptr) ::RegCloseKey(probe);
}

}  // namespace
}  // namespace gravelin::testing
