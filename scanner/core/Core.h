// The scan driver: runs the fixed query list against WMI and the SMBIOS table, collects
// every answer in the report, adds the "Application" block, seals the report and hands it
// to the browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/platform/Platform.h"
#include "scanner/smbios/Smbios.h"
#include "scanner/xmlfile/Xmlfile.h"
#include "shared/Seal.h"
#include "shared/Vocabulary.h"

namespace gravelin {

// Called after each line of the query list with (lines handled so far, total lines).
using ProgressCallback = std::function<void(std::size_t handled, std::size_t total)>;

inline constexpr std::string_view kNoSmbiosError = vocabulary::kNoSmbiosEntry;

class CCore {
public:
    explicit CCore(Platform& platform);
    CCore(const CCore&) = delete;
    CCore& operator=(const CCore&) = delete;

    void scan();
    void buildQueryList();
    void runQueries(const ProgressCallback& progress = nullptr);
    std::int32_t queryWmi(std::string_view line);
    std::int32_t querySmbios(std::string_view line);
    void startObject(std::string_view nodeName, std::int32_t index);
    void addAttribute(std::string_view name, std::string_view value, std::string_view unit);
    void addApplicationInfo(std::string_view executablePath);
    void sealAndHandOff();

    // Loads the SMBIOS table (registry, else WMI) and notes a missing one.
    void loadSmbios();
    // Runs one line as runQueries does; non-query lines do nothing.
    void runQuery(std::string_view line);
    // Appends the "No data found" entry for a query line.
    void noteNoData(std::string_view line);

    [[nodiscard]] const std::string& errorText() const { return errorText_; }
    [[nodiscard]] const XMLFile& report() const { return report_; }
    [[nodiscard]] const SMBIOS& smbios() const { return smbios_; }
    [[nodiscard]] SMBIOS& smbios() { return smbios_; }
    [[nodiscard]] const std::vector<std::string>& queryList() const { return queryList_; }
    [[nodiscard]] const std::string& sealedResult() const { return sealedResult_; }

private:
    void noteSkippedName(const XmlNameError& error);

    Platform& platform_;
    std::string errorText_;
    XMLFile report_;
    SMBIOS smbios_;
    std::vector<std::string> queryList_;
    std::string sealedResult_;
    // Set when the open object's node could not be made: its fields go nowhere.
    bool objectSkipped_ = false;
};

// The program: scan, queries, Application block, sealing and hand-off; exceptions end the
// run quietly. Always returns 0.
int runScanner(Platform& platform);

}  // namespace gravelin
