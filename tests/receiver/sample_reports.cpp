// gravelin-sample-reports: sealed reports of real machines for the receiver's tests and load
// benchmark. Runs the Linux build's scan over a root directory whose firmware table is the
// given real table (so Win32_ComputerSystemProduct and Win32_BaseBoard come from the table, as
// on a machine scanned as root), adds the Application block and seals the report the way the
// scanner does. With --count N it writes N reports that differ only in the system serial
// number (IdentifyingNumber gets "-<n>" appended): distinct sealed texts of one real machine.
//
// usage: gravelin-sample-reports TABLE [--count N] [--out DIR] [--xml]
//   without --out the sealed texts go to stdout, one a line; --xml prints the report text.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "scanner/core/Core.h"
#include "scanner/platform/linux/LinuxPlatform.h"
#include "scanner/platform/linux/TableFile.h"
#include "scanner/utils/Utils.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot read");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error(path.string() + ": cannot write");
}

// A root directory holding only the firmware table, as sysfs shows it: an SMBIOS 3 entry
// point carrying the version, and the table.
fs::path tableRoot(const std::vector<std::uint8_t>& registryValue) {
    char pattern[] = "/tmp/gravelin-sample-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    const fs::path root(pattern);
    std::string entry(24, '\0');
    entry.replace(0, 5, "_SM3_");
    entry[6] = 0x18;
    entry[7] = static_cast<char>(registryValue.at(1));
    entry[8] = static_cast<char>(registryValue.at(2));
    entry[9] = static_cast<char>(registryValue.at(3));
    entry[10] = 1;
    const std::uint32_t length = static_cast<std::uint32_t>(registryValue.size() - 8);
    for (int i = 0; i < 4; ++i) entry[12 + static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i));
    unsigned sum = 0;
    for (char c : entry) sum += static_cast<unsigned char>(c);
    entry[5] = static_cast<char>((0x100 - (sum & 0xFF)) & 0xFF);
    writeFile(root / "sys/firmware/dmi/tables/smbios_entry_point", entry);
    writeFile(root / "sys/firmware/dmi/tables/DMI",
              std::string(registryValue.begin() + 8, registryValue.end()));
    return root;
}

// The report text with "-<n>" appended to the first IdentifyingNumber value.
std::string withSerialSuffix(const std::string& xml, std::size_t n) {
    constexpr std::string_view kAttribute = "IdentifyingNumber=\"";
    const auto at = xml.find(kAttribute);
    if (at == std::string::npos) throw std::runtime_error("the report has no IdentifyingNumber");
    auto end = xml.find('"', at + kAttribute.size());
    // Values end with the scanner's unit separator, a space: keep it last.
    if (end > at + kAttribute.size() && xml[end - 1] == ' ') --end;
    std::string out = xml;
    out.insert(end, "-" + std::to_string(n));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::string table;
        std::size_t count = 1;
        std::string outDir;
        bool xmlOnly = false;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--count" && i + 1 < argc) {
                count = std::stoul(argv[++i]);
            } else if (arg == "--out" && i + 1 < argc) {
                outDir = argv[++i];
            } else if (arg == "--xml") {
                xmlOnly = true;
            } else if (table.empty() && !arg.starts_with("--")) {
                table = arg;
            } else {
                std::cerr << "usage: gravelin-sample-reports TABLE [--count N] [--out DIR] [--xml]\n";
                return 2;
            }
        }
        if (table.empty()) throw std::runtime_error("no TABLE given");
        const auto value = gravelin::parseTableFile(readFile(table)).registryValue;
        const fs::path root = tableRoot(value);
        std::string xml;
        {
            gravelin::LinuxPlatform platform(root.string());
            gravelin::CCore core(platform);
            core.buildQueryList();
            core.loadSmbios();
            core.runQueries();
            core.addApplicationInfo("gravelin-scanner");
            xml = core.report().xmlText();
        }
        fs::remove_all(root);
        if (xmlOnly) {
            std::cout << xml;
            return 0;
        }
        const std::string stem = fs::path(table).stem().string();
        for (std::size_t n = 0; n < count; ++n) {
            const std::string text = count == 1 ? xml : withSerialSuffix(xml, n);
            const std::string sealed =
                gravelin::sealReportText(gravelin::windows1252().fromUtf8(text));
            if (outDir.empty()) {
                std::cout << sealed << "\n";
            } else {
                writeFile(fs::path(outDir) / (stem + "-" + std::to_string(n) + ".hex"), sealed);
            }
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "gravelin-sample-reports: " << e.what() << "\n";
        return 1;
    }
}
