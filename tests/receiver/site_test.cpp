// The public site's router over a real store: what it answers at once (on the listener's
// network thread) and what it leaves to the workers. Only storing a report that passed its
// checks may wait for the database; the image and every refusal must not, or a stalled
// database would hold them up behind the posts it is holding.
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "reading/RealReports.h"
#include "receiver/site/Site.h"
#include "receiver/storage/Store.h"

namespace gravelin::server {
namespace {

class SiteTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_);
        store_ = storage::openStore({dir_.string(), {}});
    }
    void TearDown() override {
        store_.reset();
        std::filesystem::remove_all(dir_);
    }

    static Request request(std::string method, std::string path, std::string contentType = {},
                           std::string body = {}) {
        Request r;
        r.method = std::move(method);
        r.path = std::move(path);
        if (!contentType.empty()) r.headers.emplace_back("content-type", std::move(contentType));
        r.body = std::move(body);
        r.remoteAddress = "192.0.2.7";
        return r;
    }

    std::size_t storedScans() const { return store_->scans(std::nullopt, 100, 0).size(); }

    std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                                 ("gravelin-site-" + std::to_string(::getpid()));
    std::unique_ptr<storage::Store> store_;
    IntakeCounters counters_;
};

TEST_F(SiteTest, OnlyStoringACheckedReportWaitsForTheWorkers) {
    const Intake intake(*store_, report::IntakeLimits{}, counters_);
    const Router site = makeSite(intake);
    const std::string form = "application/x-www-form-urlencoded";
    const struct {
        const char* name;
        Request request;
        int status;
    } atOnce[] = {
        {"the waiting image", request("GET", std::string(kImagePath)), 200},
        {"the image posted to", request("POST", std::string(kImagePath)), 405},
        {"another address", request("GET", "/kestal/"), 404},
        {"the post address read", request("GET", std::string(kPostPath)), 405},
        {"another content type", request("POST", std::string(kPostPath), "text/plain", "scanResult=AB"), 415},
        {"another field", request("POST", std::string(kPostPath), form, "other=1"), 400},
        {"not hex", request("POST", std::string(kPostPath), form, "scanResult=XYZ0"), 400},
        {"odd length", request("POST", std::string(kPostPath), form, "scanResult=ABC"), 400},
    };
    for (const auto& c : atOnce) {
        const Reply reply = site(c.request);
        EXPECT_FALSE(reply.rest) << c.name << ": left to the workers";
        EXPECT_EQ(reply.response.status, c.status) << c.name << ": " << reply.response.body;
    }

    const std::string sealed = testing::scanRealTable("dell-libsmbios-PE0400").sealed;
    const Request post = request("POST", std::string(kPostPath), form, "scanResult=" + sealed);
    const Reply reply = site(post);
    ASSERT_TRUE(reply.rest) << reply.response.status << " " << reply.response.body;
    EXPECT_EQ(storedScans(), 0u);  // checked, not yet stored
    const Response stored = reply.rest(post);
    EXPECT_EQ(stored.status, 200) << stored.body;
    EXPECT_NE(stored.body.find("Receipt number"), std::string::npos);
    EXPECT_EQ(storedScans(), 1u);
    EXPECT_EQ(counters_.snapshot().at("stored"), 1u);
}

// The site digests sealed texts with OpenSSL, the report tool with libsodium: a report's
// receipt is the one the report tool names, whatever the case and blanks it was posted in,
// and the same text posted again is the same scan.
TEST_F(SiteTest, TheReceiptIsTheSealedTextsDigestWhateverItsCase) {
    const Intake intake(*store_, report::IntakeLimits{}, counters_);
    const Router site = makeSite(intake);
    const std::string sealed = testing::scanRealTable("dell-libsmbios-PE0400").sealed;
    const auto byDefault = report::receiveSealed(sealed);
    ASSERT_EQ(byDefault.rejection, report::Rejection::None);
    const std::string receipt = receiptFor(byDefault.report.sealedDigest);
    std::string lower = sealed;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const struct {
        const char* name;
        std::string text;
    } posts[] = {{"as sealed", sealed}, {"in lower case, with blanks", "%20" + lower + "%0D%0A"}};
    for (const auto& p : posts) {
        const Request post = request("POST", std::string(kPostPath),
                                     "application/x-www-form-urlencoded", "scanResult=" + p.text);
        const Reply reply = site(post);
        ASSERT_TRUE(reply.rest) << p.name << ": " << reply.response.body;
        const Response answer = reply.rest(post);
        EXPECT_EQ(answer.status, 200) << p.name;
        EXPECT_NE(answer.body.find(receipt), std::string::npos) << p.name << ": " << answer.body;
    }
    const auto rows = store_->scans(std::nullopt, 100, 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].receipt, receipt);
    EXPECT_EQ(counters_.snapshot().at("duplicate"), 1u);
}

}  // namespace
}  // namespace gravelin::server
