// A platform with no machine behind it: the SMBIOS table comes from a file, WMI answers
// nothing, no file is written and no browser opened.
#pragma once

#include "scanner/platform/Platform.h"

namespace gravelin {

class OfflinePlatform final : public Platform {
public:
    explicit OfflinePlatform(std::vector<std::uint8_t> registryValue, std::string decimalSeparator)
        : registryValue_(std::move(registryValue)),
          decimalSeparator_(std::move(decimalSeparator)) {}

    std::optional<std::vector<std::uint8_t>> registryBinaryValue(std::string_view,
                                                                 std::string_view) override {
        return registryValue_;
    }
    std::vector<WmiObject> wmiQueryClass(std::string_view) override { return {}; }
    WmiPropertyAnswer wmiQueryProperty(std::string_view, std::string_view,
                                       std::string_view) override {
        return {"Error at pEnumerator->Next", {}};
    }
    void shellOpen(std::string_view) override {}
    void sleepMs(unsigned) override {}
    std::unique_ptr<OutputFile> createFile(std::string_view) override { return nullptr; }
    std::string executablePath() override { return "gravelin-report"; }
    OsIdentity osIdentity() override { return LinuxIdentity{}; }
    std::optional<FileVersion> fileVersion(std::string_view) override { return std::nullopt; }
    const AnsiCodePage& ansiCodePage() override;
    std::string decimalSeparator() override { return decimalSeparator_; }

private:
    std::vector<std::uint8_t> registryValue_;
    std::string decimalSeparator_;
};

}  // namespace gravelin
