#include "programs/gravelin-report/ReportInput.h"

#include <cctype>
#include <pugixml.hpp>
#include <stdexcept>
#include <string_view>

#include "scanner/core/Core.h"
#include "scanner/platform/linux/LinuxPlatform.h"
#include "reading/Intake.h"
#include "reading/Unseal.h"
#include "scanner/platform/OfflinePlatform.h"
#include "scanner/platform/linux/TableFile.h"
#include "scanner/utils/Utils.h"

namespace gravelin {

namespace {

bool looksLikeSealedHex(std::string_view text) {
    bool digits = false;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits = true;
    }
    return digits;
}

report::Summary receivedSummary(const std::string& file, const report::IntakeResult& result) {
    if (result.rejection != report::Rejection::None)
        throw std::runtime_error(file + ": " + report::rejectionReason(result.rejection));
    return report::summarise(*result.report.document);
}

// A table dump decoded as decode does by default, with the system structure (type 1) too:
// the scanner takes maker, model, serial number and UUID from WMI, a bare table has only it.
report::Summary tableSummary(const std::string& file, const std::string& bytes) {
    TableFile table;
    try {
        table = parseTableFile(bytes);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(file + ": not a submit page, sealed text, report or table dump (" +
                                 e.what() + ")");
    }
    OfflinePlatform platform(std::move(table.registryValue), localeDecimalSeparator());
    CCore core(platform);
    core.loadSmbios();
    core.buildQueryList();
    core.runQuery("SELECT * FROM SMBIOS_Type001_System");
    for (const auto& line : core.queryList()) {
        if (line.find("SMBIOS_Type") != std::string::npos) core.runQuery(line);
    }
    pugi::xml_document document;
    const std::string xml = core.report().xmlText();
    if (!document.load_buffer(xml.data(), xml.size()))
        throw std::runtime_error(file + ": the decoded table gave no report");
    report::Summary summary = report::summarise(document);
    summary.errors = core.errorText();
    summary.errorsExplained = report::explainErrors(summary.errors);
    return summary;
}

}  // namespace

report::Summary summaryOfInput(const std::string& label, const std::string& bytes) {
    std::string_view text = bytes;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    // A submit page (its field can hold nothing a report's text holds: quotes in values are
    // escaped there) or a bare sealed text.
    if (report::holdsResultField(text) || looksLikeSealedHex(text)) {
        const auto sealed = report::sealedTextIn(text);
        if (!sealed) throw std::runtime_error(label + ": " + report::unclosedFieldError());
        return receivedSummary(label, report::receiveSealed(*sealed));
    }
    if (text.starts_with("<")) {
        auto result = report::receiveText(text);
        // A report saved as the machine sent it is in its code page.
        if (result.rejection == report::Rejection::NotXml)
            result = report::receiveText(windows1252().toUtf8(text));
        return receivedSummary(label, result);
    }
    return tableSummary(label, bytes);
}

}  // namespace gravelin
