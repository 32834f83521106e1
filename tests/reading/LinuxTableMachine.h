// The Linux build over a machine whose firmware table is one of the real tables, run as
// root: what its WMI provider answers for a class there (the identity and survey tests put
// those answers into the reports they scan).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "reading/RealReports.h"
#include "scanner/linux/WmiFixture.h"

namespace gravelin::testing {

// The Linux build's answers for a class on a machine whose firmware table is the named
// real table, run as root: /sys/firmware/dmi/tables holds the entry point and the table.
class LinuxMachine {
public:
    explicit LinuxMachine(const std::string& table) {
        char pattern[] = "/tmp/gravelin-identity-XXXXXX";
        const char* dir = ::mkdtemp(pattern);
        if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = dir;
        const std::string bin = fileBytes(realTablesDir() / (table + ".bin"));
        const std::size_t entryLength = bin.starts_with("_SM3_")
                                            ? static_cast<unsigned char>(bin[6])
                                            : static_cast<unsigned char>(bin[5]);
        const auto registry = realRegistryValue(table);
        writeText(root_ / "sys/firmware/dmi/tables/smbios_entry_point", bin.substr(0, entryLength));
        writeText(root_ / "sys/firmware/dmi/tables/DMI",
                  std::string(registry.begin() + 8, registry.end()));
        writeText(root_ / ".fixture/env.ini", "uid=0\n");
    }
    ~LinuxMachine() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    LinuxMachine(const LinuxMachine&) = delete;
    LinuxMachine& operator=(const LinuxMachine&) = delete;

    std::vector<WmiObject> query(const std::string& wmiClass) {
        RootFs rootFs(root_.string());
        FixtureSystem system(root_.string());
        LinuxWmiProvider provider(rootFs, system);
        return provider.query("root\\cimv2", "SELECT * FROM " + wmiClass);
    }

private:
    std::filesystem::path root_;
};

}  // namespace gravelin::testing
