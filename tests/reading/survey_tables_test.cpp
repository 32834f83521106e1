// The survey's values of the real tables, computed twice: once through the whole chain (the
// scan of a machine with that firmware table, its report, the summary, the survey's values),
// once here straight from the table's raw structures read by offset (types 1, 3, 4 and 17),
// with nothing of the decoders or the summariser. Every dimension the table determines must
// agree, table by table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "reading/LinuxTableMachine.h"
#include "reading/Placeholder.h"
#include "reading/SummaryTesting.h"
#include "reading/SurveyFacets.h"

namespace gravelin::testing {
namespace {

using report::survey::Dimension;
using report::survey::Facets;

// One structure of the table: its formatted bytes and its strings as stored.
struct Raw {
    std::vector<std::uint8_t> formatted;
    std::vector<std::string> strings;

    [[nodiscard]] std::size_t length() const { return formatted.size(); }
    [[nodiscard]] std::optional<std::uint8_t> byte(std::size_t at) const {
        if (at >= formatted.size()) return std::nullopt;
        return formatted[at];
    }
    [[nodiscard]] std::optional<std::uint16_t> word(std::size_t at) const {
        if (at + 2 > formatted.size()) return std::nullopt;
        return static_cast<std::uint16_t>(formatted[at] | (formatted[at + 1] << 8));
    }
    [[nodiscard]] std::optional<std::uint32_t> dword(std::size_t at) const {
        if (at + 4 > formatted.size()) return std::nullopt;
        return static_cast<std::uint32_t>(*word(at)) |
               (static_cast<std::uint32_t>(*word(at + 2)) << 16);
    }
    [[nodiscard]] std::string string(std::size_t at) const {
        const auto number = byte(at);
        if (!number || *number == 0 || *number > strings.size()) return {};
        return strings[*number - 1];
    }
};

// Every structure of the registry-layout table (8-byte header), up to the end-of-table
// structure or the first one the table cannot hold.
std::vector<std::pair<std::uint8_t, Raw>> structuresOf(const std::vector<std::uint8_t>& table) {
    std::vector<std::pair<std::uint8_t, Raw>> all;
    std::size_t at = 8;
    while (at + 4 <= table.size()) {
        const std::uint8_t type = table[at];
        const std::size_t length = table[at + 1];
        if (length < 4 || at + length > table.size()) break;
        Raw raw;
        raw.formatted.assign(table.begin() + static_cast<std::ptrdiff_t>(at),
                             table.begin() + static_cast<std::ptrdiff_t>(at + length));
        // The string area: strings each ending in a zero, then one more zero; two zeros
        // when there is no string.
        std::size_t pos = at + length;
        if (pos + 2 > table.size()) break;
        if (table[pos] == 0 && table[pos + 1] == 0) {
            pos += 2;
        } else {
            std::string current;
            bool ended = false;
            while (pos < table.size()) {
                const char c = static_cast<char>(table[pos++]);
                if (c != '\0') {
                    current += c;
                    continue;
                }
                raw.strings.push_back(current);
                current.clear();
                if (pos < table.size() && table[pos] == 0) {
                    ++pos;
                    ended = true;
                    break;
                }
            }
            if (!ended) break;
        }
        all.emplace_back(type, std::move(raw));
        if (type == 127) break;
        at = pos;
    }
    return all;
}

std::vector<Raw> ofType(const std::vector<std::pair<std::uint8_t, Raw>>& all, std::uint8_t type) {
    std::vector<Raw> found;
    for (const auto& [t, raw] : all) {
        if (t == type) found.push_back(raw);
    }
    return found;
}

std::string unknown() {
    return std::string(report::survey::kUnknown);
}

std::string oneOf(const std::set<std::string>& values) {
    if (values.empty()) return unknown();
    if (values.size() > 1) return std::string(report::survey::kMixed);
    return *values.begin();
}

// A text of the table as a value: blanks trimmed and collapsed, unknown when it says nothing.
std::string tableText(const std::string& text) {
    std::istringstream words(text);
    std::string word, joined;
    while (words >> word) joined += (joined.empty() ? "" : " ") + word;
    if (joined.empty() || report::isPlaceholder(joined)) return unknown();
    return joined;
}

// The chassis types (type 3, offset 5, without the lock bit) by class.
std::string enclosureOfCode(unsigned code) {
    static const std::map<unsigned, const char*> kClasses{
        {0x01, "other"},    {0x03, "desktop"},  {0x04, "desktop"}, {0x05, "desktop"},
        {0x06, "desktop"},  {0x07, "desktop"},  {0x08, "laptop"},  {0x09, "laptop"},
        {0x0A, "laptop"},   {0x0B, "tablet"},   {0x0C, "other"},   {0x0D, "desktop"},
        {0x0E, "laptop"},   {0x0F, "desktop"},  {0x10, "desktop"}, {0x11, "server"},
        {0x12, "other"},    {0x13, "other"},    {0x14, "other"},   {0x15, "other"},
        {0x16, "server"},   {0x17, "server"},   {0x18, "desktop"}, {0x19, "server"},
        {0x1A, "embedded"}, {0x1B, "embedded"}, {0x1C, "server"},  {0x1D, "server"},
        {0x1E, "tablet"},   {0x1F, "laptop"},   {0x20, "laptop"},  {0x21, "embedded"},
        {0x22, "embedded"}, {0x23, "desktop"},  {0x24, "desktop"},
    };
    const auto found = kClasses.find(code);
    return found == kClasses.end() ? unknown() : found->second;
}

// Memory device types (type 17, offset 0x12) that name a kind of memory.
std::optional<std::string> memoryTypeOfCode(unsigned code) {
    static const std::map<unsigned, const char*> kTypes{
        {0x03, "DRAM"},   {0x04, "EDRAM"},        {0x05, "VRAM"},   {0x06, "SRAM"},
        {0x07, "RAM"},    {0x08, "ROM"},          {0x09, "FLASH"},  {0x0A, "EEPROM"},
        {0x0B, "FEPROM"}, {0x0C, "EPROM"},        {0x0D, "CDRAM"},  {0x0E, "3DRAM"},
        {0x0F, "SDRAM"},  {0x10, "SGRAM"},        {0x11, "RDRAM"},  {0x12, "DDR"},
        {0x13, "DDR2"},   {0x14, "DDR2 FB-DIMM"}, {0x18, "DDR3"},   {0x19, "FBD2"},
        {0x1A, "DDR4"},   {0x1B, "LPDDR"},        {0x1C, "LPDDR2"}, {0x1D, "LPDDR3"},
        {0x1E, "LPDDR4"}, {0x20, "HBM"},          {0x21, "HBM2"},   {0x22, "DDR5"},
        {0x23, "LPDDR5"}, {0x24, "HBM3"},
    };
    const auto found = kTypes.find(code);
    if (found == kTypes.end()) return std::nullopt;
    return found->second;
}

// What the table alone says for the dimensions it determines.
std::map<Dimension, std::string> fromTable(const std::string& name) {
    const auto all = structuresOf(realRegistryValue(name));
    std::map<Dimension, std::string> expected;

    // Processors: the populated sockets the firmware did not disable (status bits 0-2:
    // 2 disabled by the user, 3 by the firmware).
    std::set<std::string> makers, models;
    std::uint64_t cores = 0, threads = 0;
    for (const auto& cpu : ofType(all, 4)) {
        const auto status = cpu.byte(0x18);
        if (status && (((*status & 0x40) == 0) || (*status & 0x07) == 2 || (*status & 0x07) == 3))
            continue;
        if (auto maker = report::survey::processorMaker(cpu.string(0x07)); !maker.empty())
            makers.insert(maker);
        if (auto model = report::survey::processorModel(cpu.string(0x10)); !model.empty())
            models.insert(model);
        // The byte, or the word further on when the byte is 0xFF (SMBIOS 3.0).
        const auto count = [&](std::size_t byteAt, std::size_t wordAt) -> std::uint64_t {
            const auto small = cpu.byte(byteAt);
            if (!small) return 0;
            if (*small == 0xFF) return cpu.word(wordAt).value_or(0);
            return *small;
        };
        cores += count(0x23, 0x2A);
        threads += count(0x25, 0x2E);
    }
    expected[Dimension::ProcessorMaker] = oneOf(makers);
    expected[Dimension::ProcessorModel] = oneOf(models);
    expected[Dimension::Cores] = cores ? std::to_string(cores) : unknown();
    expected[Dimension::Threads] = threads ? std::to_string(threads) : unknown();

    // Memory devices: size 0 is an empty slot; 0x7FFF sends to the extended size (MB);
    // bit 15 counts in kB; 0xFFFF is a module of unknown size.
    const auto devices = ofType(all, 17);
    std::uint64_t installed = 0;
    std::uint64_t empty = 0;
    std::set<std::string> types;
    std::optional<std::uint32_t> slowest;
    for (const auto& device : devices) {
        const auto size = device.word(0x0C);
        if (!size || *size == 0) {
            ++empty;
            continue;
        }
        if (*size == 0x7FFF) {
            installed += static_cast<std::uint64_t>(device.dword(0x1C).value_or(0) & 0x7FFFFFFF)
                         << 20;
        } else if (*size != 0xFFFF) {
            installed += (*size & 0x8000) ? std::uint64_t{*size & 0x7FFFU} << 10
                                          : std::uint64_t{*size} << 20;
        }
        if (const auto code = device.byte(0x12)) {
            if (auto type = memoryTypeOfCode(*code)) types.insert(*type);
        }
        // 0xFFFF sends to the extended speed (SMBIOS 3.3); 0 is unknown.
        std::optional<std::uint32_t> speed = device.word(0x15);
        if (speed == 0xFFFF) speed = device.dword(0x54);
        if (speed && *speed != 0 && (!slowest || *speed < *slowest)) slowest = speed;
    }
    expected[Dimension::MemoryTotal] =
        installed ? report::survey::memoryTotalBucket(installed, false) : unknown();
    expected[Dimension::MemoryType] = oneOf(types);
    expected[Dimension::MemorySpeed] = slowest ? std::to_string(*slowest) + " MT/s" : unknown();
    expected[Dimension::MemorySlotsFree] = devices.empty() ? unknown() : std::to_string(empty);

    // The machine and its enclosure: the first system and enclosure structures.
    const auto systems = ofType(all, 1);
    expected[Dimension::Maker] = systems.empty() ? unknown() : tableText(systems[0].string(0x04));
    expected[Dimension::Model] = systems.empty() ? unknown() : tableText(systems[0].string(0x05));
    const auto enclosures = ofType(all, 3);
    const auto chassis = enclosures.empty() ? std::nullopt : enclosures[0].byte(0x05);
    expected[Dimension::Enclosure] = chassis ? enclosureOfCode(*chassis & 0x7FU) : unknown();
    return expected;
}

// The survey's values of the report a Linux machine with this table makes when scanned as
// root: the machine's maker and model come from its WMI provider, the rest from the table.
Facets fromReport(const std::string& name) {
    const std::string productLine = "SELECT * FROM Win32_ComputerSystemProduct";
    LinuxMachine machine(name);
    const auto scan =
        scanRealTable(name, {{productLine, machine.query("Win32_ComputerSystemProduct")}});
    return report::survey::facetsOf(summaryOfXml(scan.xml));
}

TEST(SurveyOfRealTables, EveryDimensionTheTableDeterminesAgrees) {
    GRAVELIN_NEED_REAL_TABLES();
    const auto names = realTableNames();
    ASSERT_FALSE(names.empty());
    std::map<Dimension, std::size_t> known;  // tables with a value other than unknown
    for (const auto& name : names) {
        const auto expected = fromTable(name);
        const Facets facets = fromReport(name);
        for (const auto& [dimension, value] : expected) {
            EXPECT_EQ(report::survey::facet(facets, dimension), value)
                << name << ": " << report::survey::dimensionName(dimension);
            if (value != unknown()) ++known[dimension];
        }
    }
    // Not a comparison of unknowns: most tables say most things.
    for (const auto& [dimension, count] : known) {
        EXPECT_GE(count, names.size() / 2) << report::survey::dimensionName(dimension);
    }
    EXPECT_EQ(known.size(), 11u);
}

}  // namespace
}  // namespace gravelin::testing
