#include "scanner/core/Core.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "shared/Blowfish.h"
#include "scanner/delivery/Htmlgen.h"
#include "scanner/utils/Utils.h"

namespace gravelin {

namespace {

constexpr std::array<std::string_view, 22> kQueryList = {
    "// System and baseboard",
    "SELECT * FROM Win32_BaseBoard",
    "SELECT * FROM SMBIOS_Type002_Baseboard_Module",
    "SELECT * FROM SMBIOS_Type003_SystemEnclosure",
    "SELECT * FROM SMBIOS_Type004_Processor",
    "SELECT * FROM SMBIOS_Type005_MemoryController",
    "SELECT * FROM SMBIOS_Type006_MemoryModule",
    "SELECT * FROM SMBIOS_Type017_MemoryDevice",
    "SELECT * FROM Win32_Processor",
    "",
    "// Operating System",
    "SELECT * FROM Win32_OperatingSystem",
    "",
    "// Performance",
    "SELECT * FROM Win32_PerfFormattedData_PerfOS_Memory",
    "",
    "// Disk drives and partitions",
    "SELECT * FROM Win32_DiskDrive",
    "SELECT * FROM Win32_LogicalDisk",
    "SELECT * FROM SMBIOS_Type009_SystemSlot",
    "SELECT * FROM Win32_ComputerSystemProduct",
    "SELECT * FROM CIM_Controller",
};

// Upper-cases ASCII letters only: the searched keywords are ASCII, and byte positions stay
// those of the line as stored.
std::string upperCased(std::string_view line) {
    std::string upper(line);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

bool isQueryLine(std::string_view line) {
    return upperCased(line).starts_with("SELECT");
}

std::string_view trimmed(std::string_view text) {
    const auto isBlankOrControl = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && isBlankOrControl(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlankOrControl(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

CCore::CCore(Platform& platform) : platform_(platform), smbios_(platform) {
    setDecimalSeparator(platform.decimalSeparator());
}

void CCore::buildQueryList() {
    queryList_.assign(kQueryList.begin(), kQueryList.end());
}

void CCore::loadSmbios() {
    smbios_.load(0);
    if (!smbios_.isAvailable()) errorText_ += kNoSmbiosError;
}

void CCore::scan() {
    buildQueryList();
    loadSmbios();
    writeProgressPage(platform_);
    errorText_ += platform_.takeHandOffErrors();
}

void CCore::runQuery(std::string_view line) {
    if (!isQueryLine(line)) return;
    if (queryWmi(line) != 0) return;
    if (querySmbios(line) != 0) return;
    noteNoData(line);
}

void CCore::noteNoData(std::string_view line) {
    errorText_ += "No data found for \"";
    errorText_ += line;
    errorText_ += "\", ";
}

void CCore::runQueries(const ProgressCallback& progress) {
    const std::size_t total = queryList_.size();
    for (std::size_t i = 0; i < total; ++i) {
        runQuery(queryList_[i]);
        if (progress) progress(i + 1, total);
    }
}

std::int32_t CCore::queryWmi(std::string_view line) {
    const auto objects = platform_.wmiQueryClass(line);
    std::int32_t index = 0;
    for (const auto& object : objects) {
        startObject(object.className, index);
        for (const auto& [name, value] : object.properties)
            addAttribute(name, wmiValueText(value), "");
        ++index;
    }
    return index;
}

std::int32_t CCore::querySmbios(std::string_view line) {
    const std::string upper = upperCased(line);
    std::string selectList = "*";
    const auto select = upper.find("SELECT ");
    const auto from = upper.find(" FROM ");
    if (select != std::string::npos && from != std::string::npos) {
        const auto start = select + 7;
        selectList = from >= start ? std::string(trimmed(line.substr(start, from - start))) : "";
    }
    std::int32_t type = -1;
    if (const auto marker = upper.find(" SMBIOS_TYPE"); marker != std::string::npos) {
        const std::string_view digits = std::string_view(line).substr(marker + 12, 3);
        std::int32_t value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.size() == 3 && ec == std::errc() && end == digits.data() + digits.size())
            type = value;
    }
    if (!smbios_.isAvailable()) type = -1;
    if (type == -1) return 0;
    return smbios_.walk(
        type, selectList,
        [this](std::string_view name, std::string_view value, std::string_view unit) {
            addAttribute(name, value, unit);
        },
        [this](std::string_view nodeName, std::int32_t index) { startObject(nodeName, index); });
}

void CCore::noteSkippedName(const XmlNameError& error) {
    errorText_ += "Skipped invalid XML name \"";
    errorText_ += error.name();
    errorText_ += "\", ";
}

void CCore::startObject(std::string_view nodeName, std::int32_t index) {
    objectSkipped_ = false;
    try {
        if (index == 0) {
            report_.goToRoot();
            report_.enterNewChild(nodeName);
        } else {
            report_.goToParent();
        }
        report_.enterNewChild("i" + std::to_string(index));
    } catch (const XmlNameError& error) {
        // The class node's name is unusable: leave the cursor on the root and drop this
        // object's fields, so that nothing lands on a wrong node.
        noteSkippedName(error);
        report_.goToRoot();
        objectSkipped_ = true;
    }
}

void CCore::addAttribute(std::string_view name, std::string_view value, std::string_view unit) {
    if (objectSkipped_) return;
    std::string text;
    text.reserve(value.size() + 1 + unit.size());
    text.append(value).append(" ").append(unit);
    try {
        report_.setAttribute(name, text);
    } catch (const XmlNameError& error) {
        noteSkippedName(error);
    }
}

void CCore::addApplicationInfo(std::string_view executablePath) {
    startObject("Application", 0);
    addAttribute("OS", osDescription(platform_.osIdentity()), "");
    const auto cut = executablePath.find_last_of("\\:/");
    const std::string_view name =
        cut == std::string_view::npos ? executablePath : executablePath.substr(cut + 1);
    addAttribute("Name", name, "");
    addAttribute("Version", programVersion(platform_.fileVersion(executablePath)), "");
    addAttribute("Errors", errorText_, "");
}

std::string sealReportText(std::string_view codePageBytes) {
    static constexpr std::array<std::uint8_t, 8> kZeroVector{};
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    const std::size_t n = codePageBytes.size();
    if (n > kMaxSealableBytes)
        throw std::length_error("a report of " + std::to_string(n) +
                                " bytes is too large to seal (at most " +
                                std::to_string(kMaxSealableBytes) + ")");
    // Whole 8-byte blocks; the empty text is one block of zeros.
    const std::size_t padded = n == 0 ? 8 : (n + 7) / 8 * 8;
    BlowfishContext context;
    blowfishInit(context, kSealingKey.data(), kSealingKey.size(), kZeroVector);

    std::string block(padded, '\0');
    codePageBytes.copy(block.data(), codePageBytes.size());
    auto* bytes = reinterpret_cast<std::uint8_t*>(block.data());
    blowfishEncrypt(context, bytes, bytes, static_cast<std::uint32_t>(padded), kBlowfishEcb);

    // Two hex digits per byte from one table look-up.
    static const auto kPairs = [] {
        std::array<std::array<char, 2>, 256> pairs{};
        for (std::size_t i = 0; i < pairs.size(); ++i)
            pairs[i] = {kHexDigits[i >> 4], kHexDigits[i & 0xF]};
        return pairs;
    }();
    std::string hexText(padded * 2, '\0');
    char* out = hexText.data();
    for (std::size_t i = 0; i < padded; ++i, out += 2) std::memcpy(out, kPairs[bytes[i]].data(), 2);
    return hexText;
}

void CCore::sealAndHandOff() {
    sealedResult_ = sealReportText(platform_.ansiCodePage().fromUtf8(report_.xmlText()));
    writeSubmitPage(platform_, sealedResult_, sealedResult_.size());
}

int runScanner(Platform& platform) {
    try {
        CCore core(platform);
        core.scan();
        core.runQueries();
        core.addApplicationInfo(platform.executablePath());
        core.sealAndHandOff();
    } catch (...) {
        // The run ends quietly; the waiting page stays in the browser.
    }
    return 0;
}

}  // namespace gravelin
