// Reports built from the real firmware tables the way the scanner builds them: the scan
// driver over a platform whose registry holds the table, the Application block, the
// scanner's own sealing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "scanner/core/Core.h"
#include "scanner/platform/linux/TableFile.h"

namespace gravelin::testing {

inline std::filesystem::path realTablesDir() {
    return std::filesystem::path(GRAVELIN_TABLES_DIR);
}

inline std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The table names of MANIFEST.tsv, in its order.
inline std::vector<std::string> realTableNames() {
    std::vector<std::string> names;
    std::istringstream in(fileBytes(realTablesDir() / "MANIFEST.tsv"));
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos && tab > 0) names.push_back(line.substr(0, tab));
    }
    return names;
}

// The table as the registry value SMBiosData holds it (8-byte header, then the table).
inline std::vector<std::uint8_t> realRegistryValue(const std::string& name) {
    return parseTableFile(fileBytes(realTablesDir() / (name + ".rsmb"))).registryValue;
}

struct ScannedReport {
    std::string xml;     // the report text (UTF-8)
    std::string sealed;  // what the scanner hands to the browser
};

// A whole scan as the scanner runs it: the query list against the platform (its WMI
// answers and its SMBIOS table), the Application block, the sealing.
inline ScannedReport scanWith(FakePlatform& platform) {
    CCore core(platform);
    core.scan();
    core.runQueries();
    core.addApplicationInfo(platform.executablePath());
    core.sealAndHandOff();
    return {core.report().xmlText(), core.sealedResult()};
}

// The scan of a machine whose firmware table is the named real table; WMI answers with
// the given objects (by query line), nothing else.
inline ScannedReport scanRealTable(
    const std::string& name,
    const std::map<std::string, std::vector<WmiObject>, std::less<>>& wmi = {}) {
    FakePlatform platform;
    platform.registryValue = realRegistryValue(name);
    platform.wmiClasses = wmi;
    return scanWith(platform);
}

}  // namespace gravelin::testing
