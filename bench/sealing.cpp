// Sealing throughput on a 1 MiB report, beside OpenSSL's Blowfish-ECB on the same bytes.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "scanner/core/Core.h"
#include "shared/Blowfish.h"

#ifdef GRAVELIN_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

constexpr std::size_t kReportSize = 1U << 20;

// A report-like text: printable ASCII in lines.
const std::string& reportText() {
    static const std::string text = [] {
        std::string t(kReportSize, ' ');
        std::mt19937 random(42);
        for (std::size_t i = 0; i < t.size(); ++i)
            t[i] = (i % 80 == 79) ? '\n' : static_cast<char>(' ' + random() % 95);
        return t;
    }();
    return text;
}

void BM_BlowfishEcb(benchmark::State& state) {
    gravelin::BlowfishContext context;
    gravelin::blowfishInit(context, gravelin::kSealingKey.data(), 16, {});
    std::vector<std::uint8_t> in(reportText().begin(), reportText().end());
    std::vector<std::uint8_t> out(in.size());
    for (auto _ : state) {
        gravelin::blowfishEncrypt(context, in.data(), out.data(),
                                  static_cast<std::uint32_t>(in.size()), gravelin::kBlowfishEcb);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.size()));
}
BENCHMARK(BM_BlowfishEcb);

// The whole sealing step: key set-up, padding, ECB and the hex text.
void BM_SealReportText(benchmark::State& state) {
    for (auto _ : state) {
        auto sealed = gravelin::sealReportText(reportText());
        benchmark::DoNotOptimize(sealed.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kReportSize));
}
BENCHMARK(BM_SealReportText);

#ifdef GRAVELIN_HAVE_OPENSSL
void BM_OpenSslBlowfishEcb(benchmark::State& state) {
    static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER* base = OSSL_PROVIDER_load(nullptr, "default");
    if (legacy == nullptr || base == nullptr) {
        state.SkipWithError("OpenSSL's legacy provider is not available");
        return;
    }
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "BF-ECB", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::vector<unsigned char> in(reportText().begin(), reportText().end());
    std::vector<unsigned char> out(in.size() + 8);
    int keyLength = 16;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_int("keylen", &keyLength),
                           OSSL_PARAM_construct_end()};
    EVP_EncryptInit_ex2(ctx, cipher, gravelin::kSealingKey.data(), nullptr, params);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int n = 0;
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.size()));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}
BENCHMARK(BM_OpenSslBlowfishEcb);
#endif

}  // namespace

BENCHMARK_MAIN();
