// The hardware of one report the way a technician reads it, and the changes between two
// reports. One summariser and one differ, shared by gravelin-report (summary, diff), the
// receiver (the searchable columns of a scan) and the console (the machine page).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <pugixml.hpp>

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
};

struct VolumeSummary {
    std::string deviceId, fileSystem, volumeName, volumeSerial;
    std::optional<std::uint64_t> sizeBytes, freeBytes;
};

struct ExpansionSlotSummary {
    std::string designation, type, usage;  // usage: "In use", "Available", ...
};

struct ControllerSummary {
    std::string name, kind, deviceId, maker;
};

struct Summary {
    // The machine: Win32_ComputerSystemProduct, then the SMBIOS system and enclosure.
    std::string maker, model, serialNumber, uuid;
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
    std::string os, osVersion;                 // Win32_OperatingSystem Caption, Version
    std::string osDescription;                 // Application/OS
    std::string programName, programVersion;  // Application/Name, Version
    std::string errors;                        // Application/Errors as sent
    std::vector<std::string> errorsExplained;  // the same said plainly
};

// Reads a parsed report (root HWInfo). Missing or garbled values stay empty; never throws
// on report content.
Summary summarise(const pugi::xml_document& report);

// A readable plain-text rendering (gravelin-report summary).
std::string summaryText(const Summary& summary);

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
};

std::vector<Change> diff(const Summary& before, const Summary& after);
std::string diffText(const std::vector<Change>& changes);

}  // namespace gravelin::report
