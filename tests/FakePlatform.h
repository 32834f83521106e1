// A platform for tests: every answer is a field the test sets, every call is recorded.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "scanner/platform/Platform.h"
#include "scanner/utils/Utils.h"

namespace gravelin::testing {

class FakePlatform : public Platform {
public:
    // Registry: the SMBIOS value, or nothing.
    std::optional<std::vector<std::uint8_t>> registryValue;
    // WMI classes by query line.
    std::map<std::string, std::vector<WmiObject>, std::less<>> wmiClasses;
    // Single-property answers by property name (namespace and query are recorded).
    std::map<std::string, WmiPropertyAnswer, std::less<>> wmiProperties;
    std::string wmiPropertyDefaultError = "Error at CoCreateInstance";
    // How many createFile calls fail before one succeeds (-1: all fail).
    int failingOpens = 0;
    OsIdentity identity = LinuxIdentity{"Test OS", true, "1.0"};
    std::optional<FileVersion> version = FileVersion{0x00010002, 0x00030004};
    std::string exePath = "/opt/gravelin/gravelin-scanner";
    std::string separator = ".";

    // What happened.
    int registryReads = 0;
    std::vector<std::string> wmiClassQueries;
    std::vector<std::string> wmiPropertyQueries;  // "namespace|query|property"
    std::vector<std::string> opened;              // shellOpen arguments
    std::vector<unsigned> sleeps;
    int createAttempts = 0;
    std::map<std::string, std::string> files;  // file name -> last content written
    std::vector<std::string> events;           // "create", "close", "open", "sleep" in order

    std::optional<std::vector<std::uint8_t>> registryBinaryValue(std::string_view,
                                                                 std::string_view) override {
        ++registryReads;
        return registryValue;
    }
    std::vector<WmiObject> wmiQueryClass(std::string_view wql) override {
        wmiClassQueries.emplace_back(wql);
        const auto it = wmiClasses.find(wql);
        return it == wmiClasses.end() ? std::vector<WmiObject>{} : it->second;
    }
    WmiPropertyAnswer wmiQueryProperty(std::string_view ns, std::string_view wql,
                                       std::string_view property) override {
        wmiPropertyQueries.push_back(std::string(ns) + "|" + std::string(wql) + "|" +
                                     std::string(property));
        const auto it = wmiProperties.find(property);
        if (it == wmiProperties.end()) return {wmiPropertyDefaultError, {}};
        return it->second;
    }
    void shellOpen(std::string_view fileName) override {
        opened.emplace_back(fileName);
        events.emplace_back("open");
    }
    void sleepMs(unsigned ms) override {
        sleeps.push_back(ms);
        events.emplace_back("sleep");
    }
    std::unique_ptr<OutputFile> createFile(std::string_view name) override {
        ++createAttempts;
        if (failingOpens < 0 || createAttempts <= failingOpens) return nullptr;
        events.emplace_back("create");
        return std::make_unique<File>(*this, std::string(name));
    }
    std::string executablePath() override { return exePath; }
    OsIdentity osIdentity() override { return identity; }
    std::optional<FileVersion> fileVersion(std::string_view) override { return version; }
    const AnsiCodePage& ansiCodePage() override { return windows1252(); }
    std::string decimalSeparator() override { return separator; }

private:
    class File : public OutputFile {
    public:
        File(FakePlatform& owner, std::string name) : owner_(owner), name_(std::move(name)) {
            owner_.files[name_].clear();
        }
        ~File() override { owner_.events.emplace_back("close"); }
        bool write(std::string_view bytes) override {
            owner_.files[name_].append(bytes);
            return true;
        }

    private:
        FakePlatform& owner_;
        std::string name_;
    };
};

// A registry value (8-byte header, then the table) for the given table bytes.
inline std::vector<std::uint8_t> registryValueFor(const std::vector<std::uint8_t>& table) {
    const auto n = static_cast<std::uint32_t>(table.size());
    std::vector<std::uint8_t> value(8 + table.size());
    value[1] = 3;  // major version
    for (std::size_t i = 0; i < 4; ++i) value[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    std::copy(table.begin(), table.end(), value.begin() + 8);
    return value;
}

}  // namespace gravelin::testing
