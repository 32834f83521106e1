#include "scanner/core/Core.h"

#include <charconv>

#include "scanner/delivery/Htmlgen.h"
#include "scanner/utils/Utils.h"
#include "shared/Text.h"

namespace gravelin {

namespace {

bool isQueryLine(std::string_view line) {
    return asciiUpperCased(line).starts_with("SELECT");
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
    // One heading line per group, a blank line between groups, then the group's queries.
    queryList_.clear();
    std::string_view group;
    for (const auto& query : vocabulary::kQueries) {
        if (query.group != group) {
            if (!group.empty()) queryList_.emplace_back();
            group = query.group;
            queryList_.push_back(std::string(vocabulary::kCommentMark).append(group));
        }
        queryList_.push_back(vocabulary::queryLine(query));
    }
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
    errorText_ += vocabulary::kNoDataEntry;
    errorText_ += line;
    errorText_ += vocabulary::kEntryEnd;
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
    const std::string upper = asciiUpperCased(line);
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
    errorText_ += vocabulary::kSkippedNameEntry;
    errorText_ += error.name();
    errorText_ += vocabulary::kEntryEnd;
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
        report_.enterNewChild(std::string(vocabulary::kInstancePrefix) + std::to_string(index));
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
    startObject(vocabulary::kApplicationBlock, 0);
    addAttribute(vocabulary::kApplicationOs, osDescription(platform_.osIdentity()), "");
    const auto cut = executablePath.find_last_of("\\:/");
    const std::string_view name =
        cut == std::string_view::npos ? executablePath : executablePath.substr(cut + 1);
    addAttribute(vocabulary::kApplicationName, name, "");
    addAttribute(vocabulary::kApplicationVersion,
                 programVersion(platform_.fileVersion(executablePath)), "");
    addAttribute(vocabulary::kApplicationErrors, errorText_, "");
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
