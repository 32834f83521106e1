// gravelin-report: for the people who receive and support the reports. Decodes an SMBIOS
// table dump into the report's XML, seals a report text as the scanner does, and unseals a
// sealed text or submit page.

#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Core.h"
#include "delivery/Blowfish.h"
#include "platform/linux/LinuxPlatform.h"
#include "report/Summary.h"
#include "tools/OfflinePlatform.h"
#include "tools/ReportInput.h"
#include "tools/TableFile.h"
#include "report/Unseal.h"
#include "utils/Utils.h"

namespace gravelin {

const AnsiCodePage& OfflinePlatform::ansiCodePage() {
    return windows1252();
}

namespace {

constexpr const char* kUsage =
    "usage: gravelin-report decode [--all] [--query LINE]... FILE\n"
    "       gravelin-report seal [FILE]\n"
    "       gravelin-report unseal [FILE]\n"
    "       gravelin-report summary FILE\n"
    "       gravelin-report diff BEFORE AFTER\n"
    "\n"
    "decode  Reads an SMBIOS table from FILE: a dmidecode --dump-bin file (an _SM_, _SM3_\n"
    "        or _DMI_ entry point at offset 0), the registry value SMBiosData (an 8-byte\n"
    "        header, then the table) or a bare table; the layout is detected from the\n"
    "        bytes. Runs the query lines (default: the scanner's SMBIOS lines) and prints\n"
    "        the report's XML text in UTF-8; the error text, if any, goes to stderr.\n"
    "        --query LINE  a query line such as \"SELECT * FROM SMBIOS_Type017_MemoryDevice\";\n"
    "                      may be repeated\n"
    "        --all         one query per structure type present in the table\n"
    "seal    Reads UTF-8 report text (FILE or stdin) and prints the sealed upper-case hex\n"
    "        text exactly as the scanner seals it.\n"
    "unseal  Reads a sealed hex text or a submit page (FILE or stdin; the value of\n"
    "        \"scanResult\" is taken), decrypts it, drops the zero padding and prints the\n"
    "        report in UTF-8.\n"
    "\n"
    "Errors are one line on stderr and exit code 1.\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string readInput(const std::string& path) {
    if (path.empty() || path == "-") {
        return {std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": " + std::strerror(errno));
    std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error(path + ": read error");
    return data;
}

std::string typeQuery(unsigned type) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%03u", type);
    std::string name(smbiosTypeName(type));
    for (char& c : name) {
        if (c == ' ') c = '_';
    }
    return std::string("SELECT * FROM SMBIOS_Type") + digits + "_" + name;
}

// Type filter 255 selects every structure, so the structures of type 255 itself get a walk
// of their own: every structure is stepped over, only those of type 255 reach the report.
void runOemType255Query(CCore& core, const std::string& line) {
    bool selected = false;
    std::int32_t found = 0;
    core.smbios().walk(
        255, "*",
        [&](std::string_view name, std::string_view value, std::string_view unit) {
            if (selected) core.addAttribute(name, value, unit);
        },
        [&](std::string_view nodeName, std::int32_t) {
            selected = nodeName.starts_with("SMBIOS_Type_255_");
            if (selected) core.startObject(nodeName, found++);
        });
    // As for every type, structures without a decoder count as nothing found.
    if (found == 0 || decoderFor(255) == nullptr) core.noteNoData(line);
}

int decode(const std::vector<std::string>& args) {
    std::vector<std::string> queries;
    bool all = false;
    std::string file;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--all") {
            all = true;
        } else if (args[i] == "--query") {
            if (i + 1 >= args.size()) throw UsageError("--query needs a query line");
            queries.push_back(args[++i]);
        } else if (args[i].starts_with("--")) {
            throw UsageError("unknown option " + args[i]);
        } else if (file.empty()) {
            file = args[i];
        } else {
            throw UsageError("decode takes one FILE");
        }
    }
    if (file.empty()) throw UsageError("decode needs a FILE");
    const std::string bytes = readInput(file);
    TableFile table;
    try {
        table = parseTableFile(bytes);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(file + ": " + e.what());
    }

    OfflinePlatform platform(std::move(table.registryValue), localeDecimalSeparator());
    CCore core(platform);
    core.loadSmbios();
    if (all) {
        for (unsigned type : core.smbios().typesPresent()) queries.push_back(typeQuery(type));
    } else if (queries.empty()) {
        core.buildQueryList();
        for (const auto& line : core.queryList()) {
            if (line.find("SMBIOS_Type") != std::string::npos) queries.push_back(line);
        }
    }
    for (const auto& line : queries) {
        if (line == typeQuery(255)) {
            runOemType255Query(core, line);
        } else {
            core.runQuery(line);
        }
    }
    std::cout << core.report().xmlText();
    if (!core.errorText().empty()) std::cerr << core.errorText() << "\n";
    return 0;
}

int seal(const std::vector<std::string>& args) {
    if (args.size() > 1) throw UsageError("seal takes at most one FILE");
    const std::string text = readInput(args.empty() ? "" : args[0]);
    std::cout << sealReportText(windows1252().fromUtf8(text)) << "\n";
    return 0;
}

int unseal(const std::vector<std::string>& args) {
    if (args.size() > 1) throw UsageError("unseal takes at most one FILE");
    const std::string input = readInput(args.empty() ? "" : args[0]);
    std::cout << windows1252().toUtf8(gravelin::report::unsealText(input));
    return 0;
}

int summary(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("summary takes one FILE");
    std::cout << report::summaryText(summaryOfInput(args[0], readInput(args[0])));
    return 0;
}

int diff(const std::vector<std::string>& args) {
    if (args.size() != 2) throw UsageError("diff takes two FILEs: BEFORE AFTER");
    if (args[0] == "-" && args[1] == "-")
        throw UsageError("diff reads at most one FILE from stdin");
    const report::Summary before = summaryOfInput(args[0], readInput(args[0]));
    const report::Summary after = summaryOfInput(args[1], readInput(args[1]));
    std::cout << report::diffText(report::diff(before, after));
    return 0;
}

}  // namespace

}  // namespace gravelin

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? std::cerr : std::cout) << gravelin::kUsage;
        return args.empty() ? 1 : 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "decode") return gravelin::decode(args);
        if (command == "seal") return gravelin::seal(args);
        if (command == "unseal") return gravelin::unseal(args);
        if (command == "summary") return gravelin::summary(args);
        if (command == "diff") return gravelin::diff(args);
        throw gravelin::UsageError("unknown command " + command);
    } catch (const gravelin::UsageError& e) {
        std::cerr << "gravelin-report: " << e.what() << " (see gravelin-report --help)\n";
    } catch (const std::exception& e) {
        std::cerr << "gravelin-report: " << e.what() << "\n";
    }
    return 1;
}
