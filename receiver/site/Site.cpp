#include "receiver/site/Site.h"

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <kainjow/mustache.hpp>
#include <memory>
#include <stdexcept>

#include "reading/Fingerprint.h"
#include "reading/Identity.h"
#include "reading/SummaryJson.h"
#include "receiver/http/Form.h"

namespace gravelin::server {

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t microsSince(Clock::time_point start) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (const auto& part : parts) {
        if (part.empty()) continue;
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

std::string sizeText(std::uint64_t bytes) {
    char text[32];
    if (bytes >= 1000ULL * 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.0f GB", static_cast<double>(bytes) / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(bytes) / 1e6);
    }
    return text;
}

std::string mediaType(std::string_view contentType) {
    const auto semicolon = contentType.find(';');
    std::string_view type = contentType.substr(0, semicolon);
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    std::string out(type);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

constexpr const char* kPageStyle =
    "body{font-family:sans-serif;max-width:36em;margin:3em auto;padding:0 1em;color:#222}"
    "h1{font-size:1.4em}.receipt{font-family:monospace;font-size:1.4em;letter-spacing:.05em}";

constexpr const char* kReceiptPage =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<title>Scan received</title><style>{{{style}}}</style></head><body>\n"
    "<h1>Your scan was received</h1>\n"
    "<p>Machine: {{maker}} {{model}}</p>\n"
    "<p>Receipt number: <span class=\"receipt\">{{receipt}}</span></p>\n"
    "<p>Quote this number when you contact support about this scan.</p>\n"
    "</body></html>\n";

// The page's Content-Security-Policy: nothing but its own inline style, by hash.
std::string pagePolicy() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    const std::string style = kPageStyle;
    EVP_Digest(style.data(), style.size(), digest, &length, EVP_sha256(), nullptr);
    unsigned char encoded[2 * EVP_MAX_MD_SIZE];
    const int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(length));
    return "default-src 'none'; style-src 'sha256-" +
           std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n)) +
           "'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

Response plain(int status, const std::string& text) {
    return {status,
            {{"Content-Type", "text/plain; charset=utf-8"}, {"Cache-Control", "no-store"}},
            text + "\n"};
}

}  // namespace

void IntakeCounters::count(const std::string& name) {
    std::lock_guard lock(mutex_);
    ++counts_[name];
}

std::map<std::string, std::uint64_t> IntakeCounters::snapshot() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

std::array<unsigned char, 32> sha256(std::string_view bytes) {
    // Fetched once: EVP_sha256() would look the implementation up again at every call.
    static EVP_MD* const kSha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    std::array<unsigned char, 32> digest{};
    unsigned length = 0;
    if (kSha256 == nullptr ||
        EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, kSha256, nullptr) != 1 ||
        length != digest.size())
        throw std::runtime_error("SHA-256 is not available");
    return digest;
}

std::string receiptFor(std::string_view sealedDigest) {
    std::string receipt;
    for (std::size_t i = 0; i < 12 && i < sealedDigest.size(); ++i) {
        if (i > 0 && i % 4 == 0) receipt += '-';
        char c = sealedDigest[i];
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        receipt += c;
    }
    return receipt;
}

storage::ScanColumns columnsOf(const report::Summary& summary) {
    storage::ScanColumns columns;
    columns.maker = summary.maker;
    columns.model = summary.model;
    columns.product = report::productName(summary);
    std::vector<std::string> processors;
    for (const auto& processor : summary.processors) processors.push_back(processor.model);
    columns.processor = joined(processors, "; ");
    columns.cores = summary.cores;
    columns.threads = summary.threads;
    columns.memoryBytes = summary.memoryBytes;
    std::vector<std::string> serials = {summary.serialNumber, summary.boardSerial,
                                        summary.enclosureSerial};
    for (const auto& slot : summary.memory) {
        if (!slot.empty) ++columns.memoryModules;
        serials.push_back(slot.serialNumber);
    }
    std::vector<std::string> disks;
    for (const auto& disk : summary.disks) {
        std::string text = disk.model.empty() ? disk.deviceId : disk.model;
        if (disk.sizeBytes) {
            text += " (" + sizeText(*disk.sizeBytes) + ")";
            columns.diskBytes += *disk.sizeBytes;
        }
        disks.push_back(text);
        serials.push_back(disk.serialNumber);
    }
    columns.disks = joined(disks, "; ");
    columns.os = summary.os.empty() ? summary.osDescription : summary.os;
    columns.serialNumbers = joined(serials, " ");
    columns.uuid = summary.uuid;
    return columns;
}

Outcome Intake::refuse(int status, std::string counter, std::string reason) const {
    counters_.count(counter);
    Outcome outcome;
    outcome.status = status;
    outcome.counter = std::move(counter);
    outcome.reason = std::move(reason);
    return outcome;
}

Outcome Intake::submit(std::string_view sealedHex, const std::string& remoteAddress) const {
    Checked checked = check(sealedHex, remoteAddress);
    if (checked.refused) return *checked.refused;
    return store(std::move(checked));
}

Checked Intake::check(std::string_view sealedHex, const std::string& remoteAddress) const {
    Checked checked;
    auto started = Clock::now();
    auto received = report::receiveSealed(sealedHex, limits_, &sha256);
    counters_.checkMicros += microsSince(started);
    if (received.rejection != report::Rejection::None) {
        checked.refused = refuse(received.rejection == report::Rejection::TooLarge ? 413 : 400,
                                 report::rejectionName(received.rejection),
                                 report::rejectionReason(received.rejection));
        return checked;
    }
    auto& report = received.report;

    started = Clock::now();
    checked.identityValues = identity::identityValues(*report.document);
    const auto summary = report::summarise(*report.document);
    storage::NewScan& scan = checked.scan;
    scan.receivedAtMs = nowMs();
    scan.remoteAddress = remoteAddress;
    scan.sealedDigest = report.sealedDigest;
    scan.receipt = receiptFor(report.sealedDigest);
    scan.reportBytes = std::move(report.reportBytes);
    scan.encoding = report.encoding;
    scan.osDescription = report.osDescription;
    scan.programName = report.programName;
    scan.programVersion = report.programVersion;
    scan.errors = report.errors;
    scan.columns = columnsOf(summary);
    scan.summaryJson = report::toJsonText(summary);
    scan.surveyFacets = report::survey::facetsOf(summary);
    scan.fingerprint = identity::encodeFingerprint(identity::fingerprintOf(summary));
    checked.maker = summary.maker;
    checked.model = summary.model;
    counters_.analyseMicros += microsSince(started);
    return checked;
}

std::shared_ptr<const report::AddedPlaceholders> Intake::placeholders() const {
    std::lock_guard lock(placeholdersMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!placeholders_ || now - placeholdersRead_ >= kPlaceholderRefresh) {
        try {
            std::vector<std::string> values;
            for (const auto& p : store_.placeholders()) values.push_back(p.value);
            placeholders_ = std::make_shared<const report::AddedPlaceholders>(values);
        } catch (const std::exception&) {
            // The store cannot answer: the scan will most likely not be stored either; the
            // last list read stays in use until it can.
            if (!placeholders_) placeholders_ = std::make_shared<const report::AddedPlaceholders>();
        }
        placeholdersRead_ = now;
    }
    return placeholders_;
}

Outcome Intake::store(Checked checked) const {
    const auto started = Clock::now();
    const auto identity = identity::identify(checked.identityValues, *placeholders());
    checked.scan.identityKey = identity.key;
    checked.scan.identityRule = identity.rule;
    storage::AddResult added;
    try {
        added = store_.addScan(checked.scan);
    } catch (const std::exception&) {
        counters_.storeMicros += microsSince(started);
        return refuse(503, "storage_unavailable",
                      "the report could not be stored; please send it again later");
    }
    counters_.storeMicros += microsSince(started);

    Outcome outcome;
    outcome.duplicate = added.duplicate;
    outcome.counter = added.duplicate ? "duplicate" : "stored";
    counters_.count(outcome.counter);
    // Stored, but claiming a machine whose hardware it does not share: the console shows it
    // apart until someone accepts it; the poster is answered as for any stored scan.
    if (added.conflicting) counters_.count("conflicting");
    outcome.receipt = added.receipt.empty() ? checked.scan.receipt : added.receipt;
    outcome.maker = std::move(checked.maker);
    outcome.model = std::move(checked.model);
    return outcome;
}

std::string scanResultField(std::string_view body, std::string& error) {
    static const std::string kOneField =
        "the form must hold exactly one field, " + std::string(vocabulary::kResultField);
    std::string value;
    std::size_t fields = 0;
    std::string name;
    while (!body.empty()) {
        const auto amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view{} : body.substr(amp + 1);
        if (pair.empty()) continue;
        const auto eq = pair.find('=');
        if (!formDecode(pair.substr(0, eq), name, BrokenEscape::Refuse)) {
            error = "the form body has a broken percent escape";
            return {};
        }
        if (name != vocabulary::kResultField || ++fields > 1) {
            error = kOneField;
            return {};
        }
        if (!formDecode(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1),
                        value, BrokenEscape::Refuse)) {
            error = "the form body has a broken percent escape";
            return {};
        }
    }
    if (fields == 0) error = kOneField;
    return value;
}

Router makeSite(const Intake& intake, SiteOptions options) {
    const std::string policy = pagePolicy();
    return [&intake, options = std::move(options), policy](const Request& request) -> Reply {
        if (request.path == kImagePath) {
            if (request.method != "GET") {
                Response response = plain(405, "method not allowed");
                response.headers.emplace_back("Allow", "GET");
                return Reply(std::move(response));
            }
            Response image;
            image.headers = {{"Content-Type", "image/jpeg"},
                             {"Cache-Control", "public, max-age=86400"},
                             {"Content-Security-Policy", "default-src 'none'"}};
            image.body = std::string(loadingImage());
            return Reply(std::move(image));
        }
        if (request.path != kPostPath) return Reply(plain(404, "not found"));
        if (request.method != "POST") {
            Response response = plain(405, "method not allowed");
            response.headers.emplace_back("Allow", "POST");
            return Reply(std::move(response));
        }
        const std::string type = mediaType(request.header("content-type"));
        if (type != "application/x-www-form-urlencoded") {
            const auto outcome =
                intake.refuse(415, "wrong_content_type",
                              "the report must be posted as application/x-www-form-urlencoded");
            return Reply(plain(outcome.status, outcome.reason));
        }
        std::string error;
        const std::string sealed = scanResultField(request.body, error);
        if (!error.empty()) {
            const auto outcome = intake.refuse(400, "bad_form", error);
            return Reply(plain(outcome.status, outcome.reason));
        }
        std::string remote = request.remoteAddress;
        if (!options.trustedProxy.empty() && remote == options.trustedProxy) {
            const std::string forwarded = request.header("x-forwarded-for");
            const auto comma = forwarded.rfind(',');
            std::string last = forwarded.substr(comma == std::string::npos ? 0 : comma + 1);
            while (!last.empty() && last.front() == ' ') last.erase(0, 1);
            if (!last.empty() && last.size() <= 64) remote = last;
        }
        auto checked = std::make_shared<Checked>(intake.check(sealed, remote));
        if (checked->refused)
            return Reply(plain(checked->refused->status, checked->refused->reason));

        // Only the store may wait: it runs on the workers.
        return Reply(Handler([&intake, checked, policy](const Request&) -> Response {
            const Outcome outcome = intake.store(std::move(*checked));
            if (outcome.status != 200) return plain(outcome.status, outcome.reason);
            // The template is parsed once per worker thread (rendering is not const).
            thread_local kainjow::mustache::mustache page(kReceiptPage);
            kainjow::mustache::data data;
            data.set("style", kPageStyle);
            data.set("maker",
                     outcome.maker.empty() ? std::string("(maker not reported)") : outcome.maker);
            data.set("model", outcome.model);
            data.set("receipt", outcome.receipt);
            return {200,
                    {{"Content-Type", "text/html; charset=utf-8"},
                     {"Cache-Control", "no-store"},
                     {"Content-Security-Policy", policy}},
                    page.render(data)};
        }));
    };
}

}  // namespace gravelin::server
