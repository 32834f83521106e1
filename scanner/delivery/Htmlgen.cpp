#include "scanner/delivery/Htmlgen.h"

#include "gravelin_config.h"
#include "shared/Vocabulary.h"

namespace gravelin {

namespace {

constexpr int kOpenAttempts = 30;
constexpr unsigned kRetryWaitMs = 100;

constexpr std::string_view kProgressHead =
    "<html>\r\n"
    "<head>\r\n"
    "    <script type=\"text/javascript\">\r\n"
    "        function waitForScan(timeoutPeriod) {\r\n"
    "            setTimeout(\"location.reload(true);\",timeoutPeriod);\r\n"
    "        }\r\n"
    "    </script>\r\n"
    "</head>\r\n"
    "<body onload='javascipt:waitForScan(3000);' style=\"background-color:#e6e6e6\">\r\n"
    "    <div style=\"text-align:center;margin-top:100px;\">\r\n"
    "        <img src=\"";
constexpr std::string_view kProgressTail =
    "\"></div>\r\n"
    "</body>\r\n"
    "</html>\r\n"
    "\r\n";

constexpr std::string_view kSubmitHead =
    "<html>\r\n"
    "<body onload=\"scanForm.submit();\">\r\n"
    "<form id=\"scanForm\" action=\"";
constexpr std::string_view kSubmitFieldStart =
    "\" method=\"post\">\r\n"
    "    <input type=\"hidden\" name=\"";
constexpr std::string_view kSubmitFieldValue = "\" value=\"";
constexpr std::string_view kSubmitTail =
    "\">\r\n"
    "</form>\r\n"
    "</body>\r\n"
    "</html>\r\n";

}  // namespace

const std::string& resultEndpointAddress() {
    static const std::string address =
        std::string("https://") + GRAVELIN_RESULT_HOST + std::string(vocabulary::kResultPath);
    return address;
}

const std::string& waitingImageAddress() {
    static const std::string address =
        std::string("https://") + GRAVELIN_RESULT_HOST + std::string(vocabulary::kWaitingImagePath);
    return address;
}

std::string progressPageText() {
    std::string page;
    page.append(kProgressHead).append(waitingImageAddress()).append(kProgressTail);
    return page;
}

std::string submitPageText(std::string_view hexText) {
    std::string page;
    page.reserve(kSubmitHead.size() + kSubmitFieldStart.size() + vocabulary::kResultField.size() +
                 kSubmitFieldValue.size() + kSubmitTail.size() + resultEndpointAddress().size() +
                 hexText.size());
    page.append(kSubmitHead)
        .append(resultEndpointAddress())
        .append(kSubmitFieldStart)
        .append(vocabulary::kResultField)
        .append(kSubmitFieldValue)
        .append(hexText)
        .append(kSubmitTail);
    return page;
}

std::unique_ptr<OutputFile> openPageFile(Platform& platform) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (auto file = platform.createFile(kPageFileName)) return file;
        platform.sleepMs(kRetryWaitMs);
    }
    return nullptr;
}

void writeProgressPage(Platform& platform) {
    {
        auto file = openPageFile(platform);
        if (!file) return;
        file->write(progressPageText());
    }  // closed before the browser is asked to show it
    platform.shellOpen(kPageFileName);
}

void writeSubmitPage(Platform& platform, std::string_view hexText, std::size_t length) {
    auto file = openPageFile(platform);
    if (!file) return;
    file->write(submitPageText(hexText.substr(0, length)));
}

}  // namespace gravelin
