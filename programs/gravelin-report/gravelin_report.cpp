// gravelin-report: for the people who receive and support the reports. Decodes an SMBIOS
// table dump into the report's XML, seals a report text as the scanner does, and unseals a
// sealed text or submit page.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "gravelin_config.h"
#include "scanner/platform/OfflinePlatform.h"
#include "programs/gravelin-report/ReportInput.h"
#include "scanner/platform/linux/TableFile.h"
#include "reading/Summary.h"
#include "reading/Unseal.h"
#include "scanner/core/Core.h"
#include "scanner/platform/linux/LinuxPlatform.h"
#include "scanner/utils/Utils.h"
#include "shared/Blowfish.h"

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
    "       gravelin-report --version\n"
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
    "FILE - or no FILE reads standard input. A table file may have at most 1 MiB, a report\n"
    "text 8 MiB, a sealed text or submit page 16 MiB and 64 KiB.\n"
    "Errors are one line on stderr and exit code 1.\n";

// A report text the scanner writes is 50 to 300 kB; 8 MiB is room for the largest machines
// and keeps a wrong input from growing without bound. Its sealed text is twice as long in
// hex, and a submit page adds less than a kilobyte of HTML around it.
constexpr std::size_t kMaxReportBytes = std::size_t{8} << 20;
constexpr std::size_t kMaxSealedInputBytes = 2 * kMaxReportBytes + (std::size_t{64} << 10);

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The name errors give for an input: the path, or "standard input".
std::string inputName(const std::string& path) {
    return path.empty() || path == "-" ? "standard input" : path;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ > STDERR_FILENO) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

// Reads a whole input of at most `limit` bytes; `what` names the kind of input in the error
// ("a table file"). Past the limit it stops at once: a regular file by its size, anything
// else (a pipe, /dev/zero) after limit + 1 bytes. Every error names the input.
std::string readInput(const std::string& path, std::size_t limit, const char* what) {
    const std::string name = inputName(path);
    const bool standardInput = name == "standard input";
    FileDescriptor fd(standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw std::runtime_error(name + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw std::runtime_error(name + ": " + std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw std::runtime_error(name + ": " + std::strerror(EISDIR));
    const auto tooLarge = [&](const std::string& size) {
        return std::runtime_error(name + ": " + size + "more than the " + std::to_string(limit) +
                                  " bytes " + what + " may have");
    };
    if (S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) > limit)
        throw tooLarge(std::to_string(info.st_size) + " bytes, ");
    std::string data;
    char buffer[65536];
    while (true) {
        const ::ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(name + ": " + std::strerror(errno));
        }
        if (got == 0) break;
        if (data.size() + static_cast<std::size_t>(got) > limit) throw tooLarge("");
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

// Flushes standard output; a failed write (a full disk) is an error.
int finishOutput() {
    std::cout.flush();
    if (!std::cout) {
        const int error = errno;
        throw std::runtime_error(std::string("standard output: ") +
                                 (error != 0 ? std::strerror(error) : "write error"));
    }
    return 0;
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

struct DecodeOptions {
    std::vector<std::string> queries;
    bool all = false;
    std::vector<std::string> files;
};

int decode(DecodeOptions options) {
    if (options.files.empty()) throw UsageError("decode needs a FILE");
    if (options.files.size() > 1) throw UsageError("decode takes one FILE");
    const std::string& file = options.files.front();
    auto& queries = options.queries;
    const std::string bytes = readInput(file, kMaxTableFileBytes, "a table file");
    TableFile table;
    try {
        table = parseTableFile(bytes);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(file + ": " + e.what());
    }

    OfflinePlatform platform(std::move(table.registryValue), localeDecimalSeparator());
    CCore core(platform);
    core.loadSmbios();
    if (options.all) {
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
    return finishOutput();
}

int seal(const std::vector<std::string>& args) {
    if (args.size() > 1) throw UsageError("seal takes at most one FILE");
    const std::string path = args.empty() ? "" : args[0];
    const std::string text = readInput(path, kMaxReportBytes, "a report text");
    std::string sealed;
    try {
        sealed = sealReportText(windows1252().fromUtf8(text));
    } catch (const std::exception& e) {
        throw std::runtime_error(inputName(path) + ": " + e.what());
    }
    std::cout << sealed << "\n";
    return finishOutput();
}

int unseal(const std::vector<std::string>& args) {
    if (args.size() > 1) throw UsageError("unseal takes at most one FILE");
    const std::string path = args.empty() ? "" : args[0];
    const std::string input = readInput(path, kMaxSealedInputBytes, "a sealed text");
    std::string report;
    try {
        report = windows1252().toUtf8(gravelin::report::unsealText(input));
    } catch (const std::exception& e) {
        throw std::runtime_error(inputName(path) + ": " + e.what());
    }
    std::cout << report;
    return finishOutput();
}

// Summary and diff read any of the four input forms; the largest allowed is a sealed text.
report::Summary summaryOfFile(const std::string& path) {
    return summaryOfInput(inputName(path),
                          readInput(path, kMaxSealedInputBytes, "a report, sealed text or table"));
}

int summary(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("summary takes one FILE");
    std::cout << report::summaryText(summaryOfFile(args[0]));
    return finishOutput();
}

int diff(const std::vector<std::string>& args) {
    if (args.size() != 2) throw UsageError("diff takes two FILEs: BEFORE AFTER");
    if (args[0] == "-" && args[1] == "-")
        throw UsageError("diff reads at most one FILE from stdin");
    const report::Summary before = summaryOfFile(args[0]);
    const report::Summary after = summaryOfFile(args[1]);
    std::cout << report::diffText(report::diff(before, after));
    return finishOutput();
}

// What is left over on a subcommand's line: an unknown option.
void refuseOptions(const CLI::App& command) {
    for (const auto& extra : command.remaining(false)) {
        if (extra.starts_with("-") && extra != "-") throw UsageError("unknown option " + extra);
    }
}

// --help gives the overview on the program, CLI11's list of options on a subcommand.
class Help : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (app->get_parent() == nullptr) return kUsage;
        return CLI::Formatter::make_help(app, std::move(name), mode);
    }
};

using Command = std::function<int()>;

// A subcommand over FILE arguments whose count `run` checks, with its own usage errors.
void addFileCommand(CLI::App& program, Command& chosen, const char* name, const char* help,
                    const char* files,
                    const std::function<int(const std::vector<std::string>&)>& run) {
    auto* command = program.add_subcommand(name, help);
    command->allow_extras();
    auto paths = std::make_shared<std::vector<std::string>>();
    command->add_option(files, *paths, "- reads standard input");
    command->callback([command, paths, run, &chosen] {
        chosen = [command, paths, run] {
            refuseOptions(*command);
            return run(*paths);
        };
    });
}

void addCommands(CLI::App& program, Command& chosen) {
    auto* decodeCommand =
        program.add_subcommand("decode", "Decodes an SMBIOS table dump into the report's XML text");
    decodeCommand->allow_extras();
    auto decoding = std::make_shared<DecodeOptions>();
    decodeCommand->add_flag("--all", decoding->all,
                            "one query per structure type present in the table");
    decodeCommand
        ->add_option("--query", decoding->queries,
                     "a query line such as \"SELECT * FROM SMBIOS_Type017_MemoryDevice\"; "
                     "may be repeated")
        ->option_text("LINE")
        ->allow_extra_args(false);
    decodeCommand->add_option("FILE", decoding->files, "the table dump; - reads standard input");
    decodeCommand->callback([decodeCommand, decoding, &chosen] {
        chosen = [decodeCommand, decoding] {
            refuseOptions(*decodeCommand);
            return decode(*decoding);
        };
    });
    addFileCommand(program, chosen, "seal", "Seals a report text as the scanner does", "FILE",
                   seal);
    addFileCommand(program, chosen, "unseal",
                   "Unseals a sealed text or submit page and prints the report", "FILE", unseal);
    addFileCommand(program, chosen, "summary", "Summarises a report, sealed text or table", "FILE",
                   summary);
    addFileCommand(program, chosen, "diff", "What changed between two scans' summaries",
                   "BEFORE AFTER", diff);
}

}  // namespace

}  // namespace gravelin

int main(int argc, char** argv) {
    using namespace gravelin;
    if (argc < 2) {
        std::cerr << kUsage;
        return 1;
    }
    CLI::App program("", "gravelin-report");
    program.formatter(std::make_shared<Help>());
    program.set_version_flag("--version", "gravelin-report " GRAVELIN_VERSION);
    program.require_subcommand(0, 1);
    program.allow_extras();
    Command chosen;
    addCommands(program, chosen);
    try {
        try {
            if (argc == 2 && std::string_view(argv[1]) == "help") throw CLI::CallForHelp();
            program.parse(argc, argv);
        } catch (const CLI::CallForHelp&) {
            std::cout << program.help();
            return finishOutput();
        } catch (const CLI::CallForVersion& version) {
            std::cout << version.what() << "\n";
            return finishOutput();
        } catch (const CLI::ParseError& e) {
            throw UsageError(e.what());
        }
        if (!chosen) {
            const auto extras = program.remaining();
            throw UsageError("unknown command " + (extras.empty() ? "" : extras.front()));
        }
        return chosen();
    } catch (const UsageError& e) {
        std::cerr << "gravelin-report: " << e.what() << " (see gravelin-report --help)\n";
    } catch (const std::exception& e) {
        std::cerr << "gravelin-report: " << e.what() << "\n";
    }
    return 1;
}
