// The hardware of one report the way a technician reads it, and the changes between two
// reports. One summariser and one differ, shared by gravelin-report (summary, diff), the
// receiver (the searchable columns of a scan) and the console (the machine page).
#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin::report {

struct ProcessorSummary {
    std::string model, maker, socket;
    std::optional<std::uint32_t> cores, threads, maxClockMHz;
};

struct MemorySlotSummary {
    std::string locator, bankLocator;
    std::optional<std::uint64_t> sizeBytes;  // nothing or 0: the slot is empty
    std::string type;                        // "DDR5"
    std::string formFactor;                  // "DIMM", "SODIMM"
    std::optional<std::uint32_t> speedMTs;
    std::string maker, partNumber, serialNumber;
    bool empty = true;
};

struct DiskSummary {
    std::string model, serialNumber, deviceId, interfaceType, firmware;
    std::optional<std::uint64_t> sizeBytes;
    std::string pnpDeviceId{};  // the Plug and Play ID ("SCSI\DISK&VEN_NVME&PROD_..."): its kind
};

struct VolumeSummary {
    std::string deviceId, fileSystem, volumeName, volumeSerial;
    std::optional<std::uint64_t> sizeBytes, freeBytes;
    std::string driveType;  // "Local disk", "Removable disk", "Network drive", "CD/DVD", ...
};

struct ExpansionSlotSummary {
    std::string designation, type, usage;  // usage: "In use", "Available", ...
};

struct ControllerSummary {
    std::string name, kind, deviceId, maker;
    std::string pnpDeviceId;  // the Plug and Play ID ("PCI\VEN_8086&DEV_..."), when it differs
};

struct Summary {
    // The machine: Win32_ComputerSystemProduct, then the SMBIOS system and enclosure.
    std::string maker, model, serialNumber, uuid;
    // Win32_ComputerSystemProduct Version (SMBIOS type 1 Version): Lenovo names the product
    // here ("ThinkPad T430") while the model is the machine type ("2347A49"); most others
    // leave a placeholder or a revision number (see productName).
    std::string productVersion;
    std::string boardMaker, boardProduct, boardVersion, boardSerial;
    std::string enclosureMaker, enclosureType, enclosureSerial, enclosureAssetTag;
    std::vector<ProcessorSummary> processors;
    std::uint32_t cores = 0, threads = 0;  // totals over all processors
    std::uint64_t memoryBytes = 0;         // total installed
    std::vector<MemorySlotSummary> memory;
    std::vector<DiskSummary> disks;
    std::vector<VolumeSummary> volumes;
    std::vector<ExpansionSlotSummary> slots;
    std::vector<ControllerSummary> controllers;
    std::uint32_t memoryModules = 0;          // installed modules (non-empty slots)
    std::uint64_t memoryVisibleBytes = 0;     // Win32_OperatingSystem TotalVisibleMemorySize
    std::uint64_t diskBytes = 0;              // total over all disks of known size
    std::string os, osVersion;                // Win32_OperatingSystem Caption, Version
    std::string osBuild, osArchitecture;      // BuildNumber (Linux: kernel release), OSArchitecture
    std::string osDescription;                // Application/OS
    std::string programName, programVersion;  // Application/Name, Version
    std::string errors;                       // Application/Errors as sent
    std::vector<std::string> errorsExplained;  // the same said plainly
};

// Reads a parsed report (root HWInfo). Missing or garbled values stay empty; never throws
// on report content.
Summary summarise(const pugi::xml_document& report);

// The product version when it names the product: not a placeholder ("None", "System
// Version", "To Be Filled By O.E.M."), not a version number ("1.0", "Rev A01", "V1.00"),
// not the model again. Empty otherwise.
std::string productName(const Summary& summary);

// A readable plain-text rendering (gravelin-report summary).
std::string summaryText(const Summary& summary);

// The error text of a report's Application block said plainly, one sentence per kind of
// problem (summarise fills Summary::errorsExplained with it).
std::vector<std::string> explainErrors(std::string_view errorText);

// Every serial number and asset tag the summary holds that is not a placeholder, once each
// (for search).
std::vector<std::string> serialNumbers(const Summary& summary);

// How a memory slot is named to people: its locator, with the bank locator when that adds
// something ("DIMM1", "Controller0-ChannelA-DIMM0 / BANK 0").
std::string slotName(const MemorySlotSummary& slot);

// True for the values firmware writers leave in place of a real one: "To Be Filled By O.E.M.",
// "Default string", "None", "0123456789", runs of dots or zeros, blank text...

// Sizes for people: memory and volumes in binary units as the OS shows them ("16 GiB",
// "237.4 GiB"), disks in the decimal units their makers print ("500.1 GB").
enum class SizeUnits { Binary, Decimal };
std::string humanSize(std::uint64_t bytes, SizeUnits units = SizeUnits::Binary);

// One change between two scans of a machine, keyed by what identifies the component
// (serial number, locator, device ID), never by its position in the report.
struct Change {
    enum class Kind { Added, Removed, Changed };
    Kind kind = Kind::Changed;
    std::string component;  // "Memory", "Disk", "Processor", "Operating system", ...
    std::string key;        // what identifies it: "DIMM_A1", a disk serial, ...
    struct Field {
        std::string name, before, after;
    };
    std::vector<Field> fields;  // for Changed: what differs; values that move by themselves
                                // (free memory, free space, load, clocks, uptime) never appear
    std::string before, after;  // one-line descriptions of the component in each scan
    std::string note;           // for Changed, what a technician calls it: "moved", "replaced",
                                // "updated" (the OS), or empty
};

std::vector<Change> diff(const Summary& before, const Summary& after);
std::string diffText(const std::vector<Change>& changes);

}  // namespace gravelin::report
