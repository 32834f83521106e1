// The two hand-off pages, byte for byte, and the page file's retries.
#include "scanner/delivery/Htmlgen.h"

#include <gtest/gtest.h>

#include "FakePlatform.h"
#include "gravelin_config.h"

namespace gravelin::testing {
namespace {

const std::string kHost = GRAVELIN_RESULT_HOST;

TEST(Pages, WaitingPageIsFourteenLines) {
    const std::string expected =
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
        "        <img src=\"https://" +
        kHost +
        "/kestal/loading-com.jpg\"></div>\r\n"
        "</body>\r\n"
        "</html>\r\n"
        "\r\n";
    EXPECT_EQ(progressPageText(), expected);
}

TEST(Pages, SubmitPageIsSevenLines) {
    const std::string expected =
        "<html>\r\n"
        "<body onload=\"scanForm.submit();\">\r\n"
        "<form id=\"scanForm\" action=\"https://" +
        kHost +
        "/kestal/scantest.php\" method=\"post\">\r\n"
        "    <input type=\"hidden\" name=\"scanResult\" value=\"00FF\">\r\n"
        "</form>\r\n"
        "</body>\r\n"
        "</html>\r\n";
    EXPECT_EQ(submitPageText("00FF"), expected);
    FakePlatform platform;
    writeSubmitPage(platform, "00FFAB", 4);  // only the given number of characters
    EXPECT_EQ(platform.files["gravelin-scanner.html"], expected);
    EXPECT_TRUE(platform.opened.empty()) << "the submit page is not opened again";
}

TEST(PageFile, RetriesThirtyTimesWithAWaitAfterEachFailure) {
    FakePlatform platform;
    platform.failingOpens = -1;
    writeProgressPage(platform);
    EXPECT_EQ(platform.createAttempts, 30);
    EXPECT_EQ(platform.sleeps, std::vector<unsigned>(30, 100));
    EXPECT_TRUE(platform.opened.empty()) << "no page, no browser";
    EXPECT_TRUE(platform.files.empty());
}

TEST(PageFile, OpensAtTheThirdAttemptAfterTwoWaits) {
    FakePlatform platform;
    platform.failingOpens = 2;
    writeProgressPage(platform);
    EXPECT_EQ(platform.createAttempts, 3);
    EXPECT_EQ(platform.sleeps, (std::vector<unsigned>{100, 100}));
    EXPECT_EQ(platform.files["gravelin-scanner.html"], progressPageText());
    EXPECT_EQ(platform.events,
              (std::vector<std::string>{"sleep", "sleep", "create", "close", "open"}));
}

}  // namespace
}  // namespace gravelin::testing
