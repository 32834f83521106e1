// The receiving side's intake: a real report accepted (hex, unsealing, code page, bounded
// parse, digest) and hostile documents refused, per call.
#include "reading/Intake.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "scanner/core/Core.h"
#include "scanner/platform/OfflinePlatform.h"
#include "scanner/platform/linux/TableFile.h"
#include "scanner/utils/Utils.h"

namespace gravelin {
const AnsiCodePage& OfflinePlatform::ansiCodePage() {
    return windows1252();
}
}  // namespace gravelin

namespace {

using gravelin::report::IntakeLimits;
using gravelin::report::receiveSealed;

// The largest real table's report (620 structures), sealed as the scanner seals it.
const std::string& realSealed() {
    static const std::string sealed = [] {
        std::ifstream in(std::string(GRAVELIN_TABLES_DIR) + "/uroot-VMWare.rsmb", std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        auto table = gravelin::parseTableFile(bytes);
        gravelin::OfflinePlatform platform(std::move(table.registryValue), ".");
        gravelin::CCore core(platform);
        core.loadSmbios();
        core.buildQueryList();
        core.runQueries();
        core.addApplicationInfo("/opt/gravelin/gravelin-scanner");
        return gravelin::sealReportText(gravelin::windows1252().fromUtf8(core.report().xmlText()));
    }();
    return sealed;
}

void BM_ReceiveRealReport(benchmark::State& state) {
    const std::string& sealed = realSealed();
    for (auto _ : state) {
        auto result = receiveSealed(sealed);
        if (result.rejection != gravelin::report::Rejection::None) state.SkipWithError("refused");
        benchmark::DoNotOptimize(result.report.document.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(sealed.size()));
}
BENCHMARK(BM_ReceiveRealReport)->Unit(benchmark::kMicrosecond);

std::string repeated(std::string_view piece, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += piece;
    return text;
}

std::string around(const std::string& inner) {
    return "<HWInfo><Application><i0 OS=\"\" Name=\"\" Version=\"\" Errors=\"\"/></Application>" +
           inner + "</HWInfo>";
}

const std::string& hostile(std::int64_t which) {
    static const std::string cases[] = {
        gravelin::sealReportText(around(repeated("<a>", 100000) + repeated("</a>", 100000))),
        gravelin::sealReportText(around("<X><i0" +
                                        [] {
                                            std::string a;
                                            for (int i = 0; i < 1000000; ++i)
                                                a += " a" + std::to_string(i) + "=\"\"";
                                            return a;
                                        }() +
                                        "/></X>")),
        gravelin::sealReportText(around("<X>" + repeated("<i/>", 100001) + "</X>")),
    };
    return cases[which];
}

// 0: 100,000 nested elements; 1: a million attributes; 2: 100,001 elements.
void BM_RefuseHostile(benchmark::State& state) {
    const std::string& sealed = hostile(state.range(0));
    IntakeLimits roomy;
    roomy.maxSealedHexBytes = 64u << 20;
    for (auto _ : state) {
        auto result = receiveSealed(sealed, roomy);
        if (result.rejection == gravelin::report::Rejection::None) state.SkipWithError("accepted");
        benchmark::DoNotOptimize(result.rejection);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(sealed.size()));
}
BENCHMARK(BM_RefuseHostile)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
