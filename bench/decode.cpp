// Decoding speed: the scan driver over real firmware tables held in memory (the registry
// value of an in-memory platform), from loading the table to the finished report tree.
//
//   QueryListSmbiosLines  the seven SMBIOS lines of the built-in query list
//   AllTypes              one query per structure type present (what `decode --all` runs)
//   AllTypesWithText      the same and the report's text
//   Walk255               one walk over every structure with a counting callback: the walker
//                         and the decoders alone, without the report tree
//   AllTablesAllTypes     AllTypesWithText over all the real tables in turn
//
// The large table is the VMware one (620 structures, 29 kB); the tables come from
// tests/data/smbios-tables (GRAVELIN_TABLES_DIR). A missing table skips the benchmark.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "scanner/core/Core.h"
#include "tests/FakePlatform.h"

namespace {

namespace fs = std::filesystem;
using gravelin::CCore;

const fs::path kTables = fs::path(GRAVELIN_TABLES_DIR);

std::vector<std::uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The registry value (8-byte header, then the table) of a real table, or nothing.
std::vector<std::uint8_t> registryValue(const std::string& name) {
    const fs::path path = kTables / (name + ".rsmb");
    return fs::exists(path) ? readFile(path) : std::vector<std::uint8_t>{};
}

std::string typeQuery(unsigned type) {
    char line[96];
    std::snprintf(line, sizeof line, "SELECT * FROM SMBIOS_Type%03u_", type);
    std::string text = line;
    for (char c : std::string(gravelin::smbiosTypeName(type))) text += c == ' ' ? '_' : c;
    return text;
}

std::vector<std::string> queryListSmbiosLines() {
    gravelin::testing::FakePlatform platform;
    CCore core(platform);
    core.buildQueryList();
    std::vector<std::string> lines;
    for (const auto& line : core.queryList()) {
        if (line.find("SMBIOS_Type") != std::string::npos) lines.push_back(line);
    }
    return lines;
}

struct Table {
    gravelin::testing::FakePlatform platform;
    std::size_t tableBytes = 0;
    explicit Table(std::vector<std::uint8_t> value) {
        tableBytes = value.size() > 8 ? value.size() - 8 : 0;
        platform.registryValue = std::move(value);
    }
};

void runAllTypes(CCore& core) {
    for (const unsigned type : core.smbios().typesPresent()) core.runQuery(typeQuery(type));
}

void QueryListSmbiosLines(benchmark::State& state, const std::string& name) {
    Table table(registryValue(name));
    if (table.tableBytes == 0) return state.SkipWithError(("no table " + name).c_str());
    const auto lines = queryListSmbiosLines();
    for (auto _ : state) {
        CCore core(table.platform);
        core.loadSmbios();
        for (const auto& line : lines) core.runQuery(line);
        benchmark::DoNotOptimize(core.report());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.tableBytes));
}

void AllTypes(benchmark::State& state, const std::string& name) {
    Table table(registryValue(name));
    if (table.tableBytes == 0) return state.SkipWithError(("no table " + name).c_str());
    for (auto _ : state) {
        CCore core(table.platform);
        core.loadSmbios();
        runAllTypes(core);
        benchmark::DoNotOptimize(core.report());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.tableBytes));
}

void AllTypesWithText(benchmark::State& state, const std::string& name) {
    Table table(registryValue(name));
    if (table.tableBytes == 0) return state.SkipWithError(("no table " + name).c_str());
    for (auto _ : state) {
        CCore core(table.platform);
        core.loadSmbios();
        runAllTypes(core);
        const std::string text = core.report().xmlText();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.tableBytes));
}

void Walk255(benchmark::State& state, const std::string& name) {
    Table table(registryValue(name));
    if (table.tableBytes == 0) return state.SkipWithError(("no table " + name).c_str());
    CCore core(table.platform);
    core.loadSmbios();
    std::size_t fields = 0;
    for (auto _ : state) {
        core.smbios().walk(
            255, "*",
            [&](std::string_view, std::string_view value, std::string_view) {
                fields += value.size();
            },
            [](std::string_view, std::int32_t) {});
    }
    benchmark::DoNotOptimize(fields);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.tableBytes));
}

void AllTablesAllTypes(benchmark::State& state) {
    std::vector<std::unique_ptr<Table>> tables;
    std::size_t bytes = 0;
    if (fs::is_directory(kTables)) {
        std::vector<fs::path> paths;
        for (const auto& entry : fs::directory_iterator(kTables)) {
            if (entry.path().extension() == ".rsmb") paths.push_back(entry.path());
        }
        std::sort(paths.begin(), paths.end());
        for (const auto& path : paths) {
            tables.push_back(std::make_unique<Table>(readFile(path)));
            bytes += tables.back()->tableBytes;
        }
    }
    if (tables.empty()) return state.SkipWithError("no tables");
    for (auto _ : state) {
        for (auto& table : tables) {
            CCore core(table->platform);
            core.loadSmbios();
            runAllTypes(core);
            const std::string text = core.report().xmlText();
            benchmark::DoNotOptimize(text.data());
        }
    }
    state.counters["tables"] = static_cast<double>(tables.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

const std::string kLarge = "uroot-VMWare";
const std::string kDesktop = "jcreekmore-Dell-Precision-3620";

BENCHMARK_CAPTURE(QueryListSmbiosLines, vmware, kLarge)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(AllTypes, vmware, kLarge)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(AllTypesWithText, vmware, kLarge)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Walk255, vmware, kLarge)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(QueryListSmbiosLines, desktop, kDesktop)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(AllTypesWithText, desktop, kDesktop)->Unit(benchmark::kMicrosecond);
BENCHMARK(AllTablesAllTypes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
