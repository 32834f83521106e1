// Machine identity: placeholder values, the order of the rules, the 49 real tables (each
// the machine it is, the same machine twice being one), and the same machine scanned by
// the Windows and by the Linux build landing on one key.
#include "reading/Identity.h"

#include "reading/Fingerprint.h"
#include "reading/Summary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "reading/RealReports.h"
#include "reading/LinuxTableMachine.h"

namespace gravelin::testing {
namespace {

using identity::identify;
using identity::MachineIdentity;

MachineIdentity identityOf(const std::string& xml) {
    pugi::xml_document document;
    EXPECT_TRUE(document.load_string(xml.c_str())) << xml;
    return identify(document);
}

// ---- Rule order, on reports written by hand --------------------------------------------

// A machine's identifying values by field: uuid, serial, vendor, name, boardSerial,
// boardMaker, boardProduct, wmiBoardSerial, enclosureSerial; a field left out is absent.
using Machine = std::map<std::string, std::string>;

// A report as the scanner writes one: class nodes, one object "i0", every value followed
// by a blank and its (empty) unit.
std::string reportOf(const Machine& m) {
    const auto attr = [&](const char* name, const char* field) {
        const auto it = m.find(field);
        return it == m.end() ? std::string() : std::string(" ") + name + "=\"" + it->second + " \"";
    };
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<HWInfo>\n";
    xml += "<Application><i0 OS=\"x \" Name=\"x \" Version=\"x \" Errors=\" \"/></Application>";
    xml += "<Win32_ComputerSystemProduct><i0" + attr("IdentifyingNumber", "serial") +
           attr("Name", "name") + attr("UUID", "uuid") + attr("Vendor", "vendor") +
           "/></Win32_ComputerSystemProduct>";
    xml += "<SMBIOS_Type_3_SystemEnclosure><i0 Manufacturer=\"Maker \"" +
           attr("SerialNumber", "enclosureSerial") + "/></SMBIOS_Type_3_SystemEnclosure>";
    xml += "<SMBIOS_Type_2_BaseBoard><i0" + attr("Manufacturer", "boardMaker") +
           attr("ProductName", "boardProduct") + attr("SerialNumber", "boardSerial") +
           "/></SMBIOS_Type_2_BaseBoard>";
    xml += "<Win32_BaseBoard><i0" + attr("SerialNumber", "wmiBoardSerial") + "/></Win32_BaseBoard>";
    return xml + "</HWInfo>\n";
}

const std::string kUuid = "4C4C4544-0052-3010-8051-B2C04F324732";

TEST(Identity, RulesInOrder) {
    struct Case {
        const char* what;
        Machine machine;
        const char* rule;
    };
    const Case cases[] = {
        {"UUID and system serial",
         {{"uuid", kUuid},
          {"serial", "2R0Q2G2"},
          {"vendor", "Dell Inc."},
          {"name", "XPS 13"},
          {"boardSerial", "/2R0Q2G2/CN12/"}},
         "uuid+serial"},
        {"UUID, placeholder system serial, board serial",
         {{"uuid", kUuid},
          {"serial", "System Serial Number"},
          {"boardSerial", "/2R0Q2G2/CN12/"},
          {"enclosureSerial", "2R0Q2G2"}},
         "uuid+board"},
        {"UUID, enclosure serial only",
         {{"uuid", kUuid}, {"serial", "Not Specified"}, {"enclosureSerial", "28SXY01"}},
         "uuid+enclosure"},
        {"UUID and nothing else usable",
         {{"uuid", kUuid},
          {"serial", "1234567890"},
          {"boardSerial", "1234567890"},
          {"enclosureSerial", "1234567890."}},
         "uuid"},
        {"placeholder UUID falls back to the system serial",
         {{"uuid", "03000200-0400-0500-0006-000700080009"},
          {"serial", "BN1004GH10075"},
          {"vendor", "AZW"},
          {"name", "EQ"},
          {"boardSerial", "Default string"}},
         "serial"},
        {"no UUID at all, board serial",
         {{"serial", "To be filled by O.E.M."},
          {"boardSerial", "ZM159S017443"},
          {"boardMaker", "Supermicro"},
          {"boardProduct", "X10DAL-i"}},
         "board"},
        {"only the WMI board class has the serial",
         {{"uuid", "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"}, {"wmiBoardSerial", "L1HF9380025"}},
         "board"},
        {"enclosure serial only",
         {{"serial", "None"}, {"enclosureSerial", "35X1B11"}},
         "enclosure"},
        {"nothing usable",
         {{"uuid", "00000000-0000-0000-0000-000000000000"},
          {"serial", "To Be Filled By O.E.M."},
          {"vendor", "MSI"},
          {"name", "MS-7816"},
          {"boardSerial", "To be filled by O.E.M."},
          {"boardMaker", "MSI"},
          {"wmiBoardSerial", "Default string"},
          {"enclosureSerial", "Chassis Serial Number"}},
         "none"},
        {"a UUID that is not one", {{"uuid", "not-a-uuid"}}, "none"},
        {"an empty report", {}, "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto id = identityOf(reportOf(c.machine));
        EXPECT_EQ(id.rule, c.rule);
        EXPECT_EQ(id.key.empty(), std::string(c.rule) == "none") << id.key;
        if (!id.key.empty()) {
            EXPECT_TRUE(id.key.starts_with(id.rule + ":")) << id.key;
        }
        // Every rule the machine can be identified by is said in words to people.
        EXPECT_NE(identity::ruleInWords(id.rule), id.rule);
        EXPECT_EQ(std::count_if(std::begin(identity::kIdentityRules), std::end(identity::kIdentityRules),
                                [&](const identity::IdentityRule& r) { return r.name == id.rule; }),
                  1);
    }
    // A name another version stored is shown as it is rather than as nothing.
    EXPECT_EQ(identity::ruleInWords("asset-tag"), "asset-tag");
}

TEST(Identity, ClonesSharingAUuidStayApart) {
    const std::string shared = "C3E24D56-C0C3-E2E1-4622-554DC5EB6BA1";
    const auto a = identityOf(reportOf({{"uuid", shared}, {"serial", "SN-A"}}));
    const auto b = identityOf(reportOf({{"uuid", shared}, {"serial", "SN-B"}}));
    const auto c = identityOf(reportOf({{"uuid", shared}, {"boardSerial", "BOARD-C"}}));
    const auto d = identityOf(reportOf({{"uuid", shared}, {"boardSerial", "BOARD-D"}}));
    EXPECT_NE(a.key, b.key);
    EXPECT_NE(c.key, d.key);
    EXPECT_NE(a.key, c.key);
    // Machines sharing a placeholder UUID and without serials are not merged: no key.
    const auto e = identityOf(reportOf({{"uuid", "03000200-0400-0500-0006-000700080009"}}));
    EXPECT_EQ(e.rule, "none");
    EXPECT_TRUE(e.key.empty());
}

TEST(Identity, PlaceholderSerialsDoNotMergeMachinesOfOneModel) {
    // Two machines of one maker and model whose firmware left the same placeholder in the
    // system serial: each keeps its own key, from its board serial.
    const char* spellings[] = {
        "12345678",
        "12345",
        "SN-12345",
        "To be filled by O.E.M. by More String",
        "SystemSerialNumber",
        "EVAL",
        "OEM_Serial",
        "Unknow",
        "IATPASS",
    };
    for (const char* serial : spellings) {
        SCOPED_TRACE(serial);
        const auto machine = [&](const char* board) {
            return identityOf(reportOf({{"serial", serial},
                                        {"vendor", "Maker"},
                                        {"name", "Model 7"},
                                        {"boardSerial", board}}));
        };
        const auto a = machine("BOARD-A1");
        const auto b = machine("BOARD-B2");
        EXPECT_EQ(a.rule, "board") << a.key;
        EXPECT_NE(a.key, b.key);
    }
    // Machines that share the listed firmware-default UUID and nothing else have no key.
    const auto shared =
        identityOf(reportOf({{"uuid", "6AB5B300-538D-1014-9FB5-B0684D007B53"}, {"vendor", "Maker"}}));
    EXPECT_EQ(shared.rule, "none") << shared.key;
}

TEST(Identity, SpellingsOfOneValueGiveOneKey) {
    const auto base = identityOf(
        reportOf({{"uuid", "44454c4c-5400-1036-8034-b8c04f313231"}, {"serial", "8t64121"}}));
    // Upper case, surrounding blanks and dots, and the other byte order of the UUID's
    // first three fields (tables before SMBIOS 2.6).
    const auto other = identityOf(
        reportOf({{"uuid", "  4C4C4544-0054-3610-8034-B8C04F313231"}, {"serial", "..8T64121.  "}}));
    EXPECT_EQ(base.rule, "uuid+serial");
    EXPECT_EQ(base.key, other.key);
    const auto board1 = identityOf(reportOf({{"boardSerial", "..CN6970237M0012."}}));
    const auto board2 = identityOf(reportOf({{"boardSerial", "CN6970237M0012"}}));
    EXPECT_EQ(board1.rule, "board");
    EXPECT_EQ(board1.key, board2.key);
    EXPECT_NE(base.key, identityOf(reportOf({{"uuid", kUuid}, {"serial", "8T64121"}})).key);
}

// ---- The real tables ------------------------------------------------------------------

namespace fs = std::filesystem;

// The first structure of a type in a registry-layout table and its strings, read the way
// Windows' WMI reads them: strings as stored, the UUID's first three fields little-endian
// whatever the table's version.
struct RawStructure {
    std::vector<std::uint8_t> formatted;
    std::vector<std::string> strings;
    std::optional<std::string> string(std::size_t offset) const {
        if (offset >= formatted.size() || formatted[offset] == 0 ||
            formatted[offset] > strings.size())
            return std::nullopt;
        return strings[formatted[offset] - 1];
    }
};

std::optional<RawStructure> firstOfType(const std::vector<std::uint8_t>& registry,
                                        std::uint8_t type) {
    std::size_t at = 8;
    while (at + 4 <= registry.size()) {
        const std::size_t length = registry[at + 1];
        if (length < 4 || at + length > registry.size()) return std::nullopt;
        RawStructure s;
        s.formatted.assign(registry.begin() + static_cast<std::ptrdiff_t>(at),
                           registry.begin() + static_cast<std::ptrdiff_t>(at + length));
        std::size_t pos = at + length;
        std::string current;
        while (pos < registry.size()) {
            const char c = static_cast<char>(registry[pos++]);
            if (c != '\0') {
                current += c;
                continue;
            }
            if (current.empty()) break;
            s.strings.push_back(current);
            current.clear();
        }
        if (registry[at] == type) return s;
        if (registry[at] == 127) return std::nullopt;
        at = pos;
        // A structure without strings ends in two zeros.
        if (s.strings.empty() && at < registry.size() && registry[at] == 0) ++at;
    }
    return std::nullopt;
}

WmiObject windowsObject(
    const std::string& className,
    const std::vector<std::pair<std::string, std::optional<std::string>>>& values) {
    WmiObject object{className, {}};
    for (const auto& [name, value] : values)
        object.properties.emplace_back(name, value ? WmiValue(*value) : WmiValue());
    return object;
}

// Win32_ComputerSystemProduct as Windows' WMI reads it from the named real table.
std::optional<WmiObject> windowsProduct(const std::string& table) {
    const auto registry = realRegistryValue(table);
    const auto system = firstOfType(registry, 1);
    if (!system) return std::nullopt;
    std::optional<std::string> uuid;
    if (system->formatted.size() >= 0x18) {
        const auto* b = system->formatted.data() + 8;
        char text[40];
        std::snprintf(text, sizeof text,
                      "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                      b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11],
                      b[12], b[13], b[14], b[15]);
        uuid = text;
    }
    return windowsObject("Win32_ComputerSystemProduct",
                         {{"Caption", "Computer System Product"},
                          {"IdentifyingNumber", system->string(0x07)},
                          {"Name", system->string(0x05)},
                          {"UUID", uuid},
                          {"Vendor", system->string(0x04)},
                          {"Version", system->string(0x06)}});
}

// The scan of the named table on each build.
struct TwoBuilds {
    std::string linuxReport, windowsReport;
};

TwoBuilds scansOf(const std::string& table) {
    const std::string productLine = "SELECT * FROM Win32_ComputerSystemProduct";
    const std::string boardLine = "SELECT * FROM Win32_BaseBoard";
    TwoBuilds scans;
    {
        LinuxMachine machine(table);
        scans.linuxReport =
            scanRealTable(table, {{productLine, machine.query("Win32_ComputerSystemProduct")},
                                  {boardLine, machine.query("Win32_BaseBoard")}})
                .xml;
    }
    const auto registry = realRegistryValue(table);
    std::map<std::string, std::vector<WmiObject>, std::less<>> wmi;
    if (auto product = windowsProduct(table)) wmi[productLine] = {*std::move(product)};
    if (const auto board = firstOfType(registry, 2)) {
        wmi[boardLine] = {
            windowsObject("Win32_BaseBoard", {{"Manufacturer", board->string(0x04)},
                                              {"Product", board->string(0x05)},
                                              {"SerialNumber", board->string(0x07)}})};
    }
    scans.windowsReport = scanRealTable(table, wmi).xml;
    return scans;
}

// What each real table identifies by (checked against dmidecode's reading of the tables):
// "none" only where every UUID and serial in the table is a placeholder.
const std::map<std::string, std::string> kExpectedRules = {
    {"dell-libsmbios-ES3020", "uuid+serial"},
    {"dell-libsmbios-ES3040", "uuid+serial"},
    {"dell-libsmbios-PAweb110", "uuid+serial"},
    {"dell-libsmbios-PE0400", "uuid+serial"},
    {"dell-libsmbios-PE0420", "uuid+serial"},
    {"dell-libsmbios-PE0500", "uuid+enclosure"},  // system serial "Not Specified", no board
    {"dell-libsmbios-PE0650", "uuid+serial"},
    {"dell-libsmbios-PE1300", "uuid+enclosure"},
    {"dell-libsmbios-PE1650", "uuid+serial"},
    {"dell-libsmbios-PE1750_A00", "uuid+serial"},
    {"dell-libsmbios-PE1750_A07", "uuid+serial"},
    {"dell-libsmbios-PE2450", "uuid+enclosure"},
    {"dell-libsmbios-PE2500", "uuid+enclosure"},
    {"dell-libsmbios-PE2600", "uuid+serial"},
    {"dell-libsmbios-PE4400", "uuid+enclosure"},
    {"dell-libsmbios-PE4600", "uuid+serial"},
    {"dell-libsmbios-PE6600", "uuid+serial"},
    {"dell-libsmbios-PV755N", "uuid+enclosure"},
    {"dell-libsmbios-Precision_390", "uuid+serial"},
    {"dell-libsmbios-dimension_4400", "uuid+board"},  // blank system serial
    {"dell-libsmbios-latitude_D500", "uuid+serial"},
    {"dell-libsmbios-precisiont7600", "none"},  // empty-tag UUID, every serial a placeholder
    {"dell-libsmbios-xps9365", "uuid+serial"},
    {"infrasim-dell_c6320", "uuid+serial"},
    {"infrasim-dell_r630", "uuid+serial"},
    {"infrasim-dell_r640", "uuid+serial"},
    {"infrasim-dell_r730", "uuid+serial"},
    {"infrasim-quanta_d51", "uuid+serial"},
    {"infrasim-s2600kp", "uuid+serial"},
    {"infrasim-s2600wtt", "uuid+serial"},
    {"jcreekmore-Dell-Precision-3620", "uuid+serial"},
    {"jcreekmore-Supermicro-SuperServer", "uuid+board"},  // system serial 0123456789
    {"nimsmbios-Acer-Predator-PT515-51", "uuid+serial"},
    {"qemu-pc-bochsbios", "none"},
    {"qemu-pc-seabios", "none"},
    {"qemu-pc-seabios-2s", "none"},
    {"qemu-q35-seabios-ep64", "none"},
    {"siderolabs-Beelink-EQ12", "serial"},  // the 03000200-... UUID
    {"siderolabs-Dell-PowerEdge-R630-Dual-Xeon", "uuid+serial"},
    {"siderolabs-HyperV", "uuid+serial"},
    {"siderolabs-SuperMicro-Quad-Opteron", "uuid"},  // every serial 1234567890
    {"uroot-Asus-UX307LA", "uuid+serial"},
    {"uroot-Gigabyte-GA-MA74GMT-S2", "uuid"},  // blank serials
    {"uroot-Lenovo-ThinkPad-T480", "uuid+serial"},
    {"uroot-MSI-MS-7816", "none"},  // all-FF UUID, every serial "To be filled by O.E.M."
    {"uroot-SuperMicro-X9DBL", "uuid+serial"},
    {"uroot-Toshiba-SatellitePro-L70", "uuid+serial"},
    {"uroot-VMWare", "uuid+serial"},
    {"uroot-smbios_table", "uuid+serial"},
};

// Tables of one machine: the same firmware strings under another badge or BIOS version.
const std::vector<std::pair<std::string, std::string>> kSameMachine = {
    {"dell-libsmbios-ES3020", "dell-libsmbios-PE2600"},  // "a PE2600 in disguise"
    {"dell-libsmbios-PE1750_A00", "dell-libsmbios-PE1750_A07"},
};

TEST(Identity, EveryRealTableIsTheMachineItIsOnBothBuilds) {
    const auto names = realTableNames();
    ASSERT_EQ(names.size(), kExpectedRules.size());
    std::map<std::string, std::string> keys;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const auto scans = scansOf(name);
        const auto onLinux = identityOf(scans.linuxReport);
        const auto onWindows = identityOf(scans.windowsReport);
        ASSERT_TRUE(kExpectedRules.contains(name));
        EXPECT_EQ(onLinux.rule, kExpectedRules.at(name)) << onLinux.key;
        EXPECT_EQ(onWindows.key, onLinux.key);
        EXPECT_EQ(onWindows.rule, onLinux.rule);
        keys[name] = onLinux.key;
    }
    // The known pairs agree; every other two tables with a key differ.
    std::set<std::pair<std::string, std::string>> same(kSameMachine.begin(), kSameMachine.end());
    for (const auto& [a, b] : kSameMachine) EXPECT_EQ(keys[a], keys[b]) << a << " and " << b;
    for (auto i = keys.begin(); i != keys.end(); ++i) {
        for (auto j = std::next(i); j != keys.end(); ++j) {
            if (i->second.empty() || same.contains({i->first, j->first})) continue;
            EXPECT_NE(i->second, j->second) << i->first << " and " << j->first;
        }
    }
}

// The key of every real table as the rules gave it when the table was added (the Linux
// build's shape; the test above holds the Windows shape to the same key). A change to the
// rules or to the placeholder list that moves a real machine to another key would split
// its history in two: such a table must be listed here with the reason, and only a table
// whose lost value identifies nothing may be. GRAVELIN_RECORD_KEYS=1 rewrites the file.
const std::map<std::string, std::string> kExpectedKeyChanges = {};

fs::path recordedKeysFile() {
    return fs::path(GRAVELIN_IDENTITY_DATA_DIR) / "real-table-keys.tsv";
}

std::map<std::string, std::string> recordedKeys() {
    std::map<std::string, std::string> keys;
    std::istringstream in(fileBytes(recordedKeysFile()));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.starts_with('#')) continue;
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        keys[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return keys;
}

TEST(Identity, RealTablesKeepTheKeysTheyWereRecordedWith) {
    std::map<std::string, std::string> keys;
    for (const auto& name : realTableNames()) keys[name] = identityOf(scansOf(name).linuxReport).key;
    if (std::getenv("GRAVELIN_RECORD_KEYS") != nullptr) {
        std::string text = "# table\tidentity key (empty: no key), as recorded by identity_test\n";
        for (const auto& [name, key] : keys) text += name + "\t" + key + "\n";
        writeText(recordedKeysFile(), text);
        GTEST_SKIP() << "recorded " << keys.size() << " keys in " << recordedKeysFile();
    }
    const auto recorded = recordedKeys();
    ASSERT_EQ(recorded.size(), keys.size()) << "a real table without a recorded key";
    std::map<std::string, std::string> changed;
    for (const auto& [name, key] : keys) {
        ASSERT_TRUE(recorded.contains(name)) << name;
        if (recorded.at(name) != key) changed[name] = recorded.at(name) + " -> " + key;
    }
    for (const auto& [name, change] : changed) {
        EXPECT_TRUE(kExpectedKeyChanges.contains(name)) << name << ": " << change;
    }
    for (const auto& [name, why] : kExpectedKeyChanges) {
        EXPECT_TRUE(changed.contains(name)) << name << " was expected to change (" << why << ")";
    }
}

TEST(Identity, BothShapesOfOneMachineCarryTheSameValues) {
    // The check above is only as good as the two shapes: the Linux provider reads the
    // table as root, the Windows shape as WMI does, and the values reach the report.
    const auto scans = scansOf("dell-libsmbios-PE1750_A00");  // SMBIOS 2.3: byte orders differ
    pugi::xml_document linuxDoc, windowsDoc;
    ASSERT_TRUE(linuxDoc.load_string(scans.linuxReport.c_str()));
    ASSERT_TRUE(windowsDoc.load_string(scans.windowsReport.c_str()));
    const auto product = [](const pugi::xml_document& d, const char* name) {
        return std::string(d.child("HWInfo")
                               .child("Win32_ComputerSystemProduct")
                               .child("i0")
                               .attribute(name)
                               .value());
    };
    EXPECT_EQ(product(linuxDoc, "IdentifyingNumber"), "144S931 ");
    EXPECT_EQ(product(windowsDoc, "IdentifyingNumber"), "144S931 ");
    EXPECT_EQ(product(linuxDoc, "UUID"), "44454C4C-3400-1034-8053-B1C04F393331 ");
    EXPECT_EQ(product(windowsDoc, "UUID"), "4C4C4544-0034-3410-8053-B1C04F393331 ");
    EXPECT_EQ(linuxDoc.child("HWInfo")
                  .child("Win32_BaseBoard")
                  .child("i0")
                  .attribute("SerialNumber")
                  .value(),
              std::string("..CN6970237M0012. "));
}

// ---- Hardware fingerprints: a later scan of a machine, a forged claim of its identity ----

// The report of a real table with the WMI answers of a running machine: its product (the
// identity the report claims), a disk and a volume, the OS with its free memory. `moving`
// changes the values that move by themselves between two scans of one machine.
struct Claim {
    std::string uuid, serial;  // empty: the table's own
};

pugi::xml_document parsed(const std::string& xml) {
    pugi::xml_document document;
    EXPECT_TRUE(document.load_string(xml.c_str()));
    return document;
}

std::string runningReport(const std::string& table, int moving, const Claim& claim = {}) {
    const auto registry = realRegistryValue(table);
    std::map<std::string, std::vector<WmiObject>, std::less<>> wmi;
    if (auto product = windowsProduct(table)) {
        // A claim: the victim's UUID and serial in place of the table's own.
        for (auto& [name, value] : product->properties) {
            if (name == "UUID" && !claim.uuid.empty()) value = WmiValue(claim.uuid);
            if (name == "IdentifyingNumber" && !claim.serial.empty()) value = WmiValue(claim.serial);
        }
        wmi["SELECT * FROM Win32_ComputerSystemProduct"] = {*std::move(product)};
    }
    const std::string n = std::to_string(moving);
    wmi["SELECT * FROM Win32_DiskDrive"] = {windowsObject(
        "Win32_DiskDrive", {{"Model", "Disk of " + table},
                            {"SerialNumber", "DSK-" + table},
                            {"DeviceID", "\\\\.\\PHYSICALDRIVE0"},
                            {"Size", "512105932800"}})};
    wmi["SELECT * FROM Win32_LogicalDisk"] = {windowsObject(
        "Win32_LogicalDisk", {{"DeviceID", "C:"},
                              {"FileSystem", "NTFS"},
                              {"Size", "511000000000"},
                              {"FreeSpace", std::to_string(200000000000ULL + 7919ULL * moving)}})};
    wmi["SELECT * FROM Win32_OperatingSystem"] = {windowsObject(
        "Win32_OperatingSystem", {{"Caption", "Microsoft Windows 10 Pro"},
                                  {"FreePhysicalMemory", std::to_string(1000000 + 37 * moving)},
                                  {"LastBootUpTime", "20240101000" + n + "00.000000+000"}})};
    return scanRealTable(table, wmi).xml;
}

std::string fingerprintText(const std::string& xml) {
    const auto document = parsed(xml);
    return identity::encodeFingerprint(identity::fingerprintOf(report::summarise(document)));
}

TEST(Fingerprint, ASecondScanOfEveryRealTableIsTheSameHardware) {
    for (const auto& name : realTableNames()) {
        SCOPED_TRACE(name);
        const std::string first = runningReport(name, 1);
        const std::string again = runningReport(name, 1);
        const std::string later = runningReport(name, 2);
        ASSERT_NE(first, later) << "the moving values did not move";
        const std::string print = fingerprintText(first);
        EXPECT_FALSE(identity::fingerprintsConflict(print, fingerprintText(again)));
        EXPECT_FALSE(identity::fingerprintsConflict(print, fingerprintText(later)));
        EXPECT_EQ(print, fingerprintText(later)) << "a moving value is part of the fingerprint";
    }
}

// A report of other hardware carrying a victim's UUID and serial: the same identity, and
// the victim's hardware does not match it.
TEST(Fingerprint, AForgedClaimOfARealMachineConflictsWithItsHardware) {
    struct Case {
        const char* victim;
        const char* forger;
    };
    const Case cases[] = {
        {"uroot-Lenovo-ThinkPad-T480", "infrasim-dell_r640"},
        {"infrasim-dell_r630", "uroot-Asus-UX307LA"},
        {"dell-libsmbios-PE1650", "siderolabs-Dell-PowerEdge-R630-Dual-Xeon"},
        {"jcreekmore-Dell-Precision-3620", "dell-libsmbios-latitude_D500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.victim) + " claimed by " + c.forger);
        const std::string victim = runningReport(c.victim, 1);
        const auto victimDoc = parsed(victim);
        const report::Summary real = report::summarise(victimDoc);
        const std::string forged = runningReport(c.forger, 2, {real.uuid, real.serialNumber});
        const auto forgedDoc = parsed(forged);
        const auto claimed = identify(forgedDoc);
        ASSERT_FALSE(claimed.key.empty());
        ASSERT_EQ(claimed.key, identify(victimDoc).key) << "the claim does not reach the victim";
        const auto comparison = identity::compareFingerprints(
            identity::fingerprintOf(real), identity::fingerprintOf(report::summarise(forgedDoc)));
        std::string changed;
        for (const auto& part : comparison.changed) changed += part + " ";
        EXPECT_TRUE(comparison.conflicting) << "changed: " << changed << "of "
                                            << comparison.compared.size();
    }
}

// What a technician does to a machine is not another machine; most of it at once is.
TEST(Fingerprint, UpgradesAreTheSameMachineMostPartsAtOnceAreNot) {
    identity::Fingerprint base;
    base.boardSerial = "CN7475157N0560";
    base.processors = {"INTEL(R) XEON(R) CPU E5-2699 V3 @ 2.30GHZ"};
    base.memoryBytes = 32ULL << 30;
    base.moduleSerials = {"40F686C4", "40F687F4"};
    base.diskSerials = {"S3Z9NB0K", "WD-WCC4N"};
    struct Case {
        const char* what;
        std::function<void(identity::Fingerprint&)> change;
        bool conflicting;
    };
    const Case cases[] = {
        {"nothing", [](auto&) {}, false},
        {"memory replaced and doubled",
         [](auto& f) {
             f.memoryBytes = 64ULL << 30;
             f.moduleSerials = {"AAAA0001", "AAAA0002"};
         },
         false},
        {"a module added", [](auto& f) { f.moduleSerials.insert("AAAA0003"); f.memoryBytes += 16ULL << 30; }, false},
        {"every disk replaced", [](auto& f) { f.diskSerials = {"NEW-DISK"}; }, false},
        {"board and processor replaced",
         [](auto& f) {
             f.boardSerial = "OTHER";
             f.processors = {"AMD EPYC 7302"};
         },
         false},
        {"memory a little smaller (reserved by firmware)", [](auto& f) { f.memoryBytes -= 256ULL << 20; }, false},
        {"board, processor and memory",
         [](auto& f) {
             f.boardSerial = "OTHER";
             f.processors = {"AMD EPYC 7302"};
             f.memoryBytes = 8ULL << 30;
         },
         true},
        {"everything but the disks",
         [](auto& f) {
             f.boardSerial = "OTHER";
             f.processors = {"AMD EPYC 7302"};
             f.memoryBytes = 8ULL << 30;
             f.moduleSerials = {"BBBB"};
         },
         true},
        {"a machine that reports less: processor and memory only, both other",
         [](auto& f) {
             f = {};
             f.processors = {"AMD EPYC 7302"};
             f.memoryBytes = 8ULL << 30;
         },
         true},
        {"nothing comparable", [](auto& f) { f = {}; }, false},
    };
    for (const auto& c : cases) {
        identity::Fingerprint after = base;
        c.change(after);
        EXPECT_EQ(identity::compareFingerprints(base, after).conflicting, c.conflicting) << c.what;
        // The stored form compares the same.
        EXPECT_EQ(identity::fingerprintsConflict(identity::encodeFingerprint(base),
                                                 identity::encodeFingerprint(after)),
                  c.conflicting)
            << c.what;
    }
}

}  // namespace
}  // namespace gravelin::testing
