// A summary as the rows of the machine page: each part of the machine (board, processors,
// memory, disks, volumes, expansion slots, controllers, system, errors) in the fields its
// template reads.

#include <algorithm>

#include "receiver/console/ConsoleInternal.h"

namespace gravelin::console::detail {

namespace {

template <typename T>
std::string numberOrDash(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "—";
}

// Text order with runs of digits compared as numbers: "DIMM 2" < "DIMM 10".
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] == '0') ++ei;
            while (ej < b.size() && b[ej] == '0') ++ej;
            std::size_t ni = ei, nj = ej;
            while (ni < a.size() && a[ni] >= '0' && a[ni] <= '9') ++ni;
            while (nj < b.size() && b[nj] >= '0' && b[nj] <= '9') ++nj;
            if (ni - ei != nj - ej) return ni - ei < nj - ej;
            const int c = a.compare(ei, ni - ei, b, ej, nj - ej);
            if (c != 0) return c < 0;
            i = ni;
            j = nj;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

Data summaryData(const report::Summary& s) {
    Data d = objectData();
    const auto pair = [](const std::string& label, const std::string& value) {
        Data p = objectData();
        p.set("label", label);
        p.set("value", orDash(value));
        return p;
    };
    Data board = listData();
    board.push_back(pair("Maker", s.maker));
    board.push_back(pair("Model", s.model));
    board.push_back(pair("Serial number", s.serialNumber));
    board.push_back(pair("UUID", s.uuid));
    board.push_back(
        pair("Board", s.boardMaker + (s.boardProduct.empty() ? "" : " " + s.boardProduct)));
    board.push_back(pair("Board version", s.boardVersion));
    board.push_back(pair("Board serial", s.boardSerial));
    board.push_back(
        pair("Enclosure",
             s.enclosureMaker + (s.enclosureType.empty() ? "" : " (" + s.enclosureType + ")")));
    board.push_back(pair("Enclosure serial", s.enclosureSerial));
    board.push_back(pair("Asset tag", s.enclosureAssetTag));
    d.set("board", board);

    Data processors = listData();
    for (const auto& p : s.processors) {
        Data row = objectData();
        row.set("model", orDash(p.model));
        row.set("maker", orDash(p.maker));
        row.set("socket", orDash(p.socket));
        row.set("cores", numberOrDash(p.cores));
        row.set("threads", numberOrDash(p.threads));
        row.set("clock", p.maxClockMHz ? std::to_string(*p.maxClockMHz) + " MHz" : "—");
        processors.push_back(row);
    }
    d.set("processors", processors);
    d.set("hasProcessors", !s.processors.empty());

    // Slots in the order people count them (DIMM_2 before DIMM_10), not report order.
    std::vector<const report::MemorySlotSummary*> slotsInOrder;
    for (const auto& m : s.memory) slotsInOrder.push_back(&m);
    std::stable_sort(slotsInOrder.begin(), slotsInOrder.end(), [](const auto* a, const auto* b) {
        return naturalLess(a->bankLocator + " " + a->locator, b->bankLocator + " " + b->locator);
    });
    Data memory = listData();
    std::size_t used = 0;
    for (const auto* slot : slotsInOrder) {
        const auto& m = *slot;
        Data row = objectData();
        row.set("locator", orDash(m.locator));
        row.set("bank", orDash(m.bankLocator));
        const bool empty = m.empty || !m.sizeBytes || *m.sizeBytes == 0;
        row.set("empty", empty);
        if (!empty) {
            ++used;
            row.set("size", memorySize(*m.sizeBytes));
            row.set("type", orDash(m.type));
            row.set("formFactor", orDash(m.formFactor));
            row.set("speed", m.speedMTs ? std::to_string(*m.speedMTs) + " MT/s" : "—");
            row.set("maker", orDash(m.maker));
            row.set("partNumber", orDash(m.partNumber));
            row.set("serial", orDash(m.serialNumber));
        }
        memory.push_back(row);
    }
    d.set("memory", memory);
    d.set("hasMemory", !s.memory.empty());
    d.set("memoryTotal", s.memoryBytes ? memorySize(s.memoryBytes) : "—");
    d.set("slotsUsed",
          std::to_string(used) + " of " + std::to_string(s.memory.size()) + " slots in use");

    Data disks = listData();
    for (const auto& disk : s.disks) {
        Data row = objectData();
        row.set("model", orDash(disk.model));
        row.set("size", disk.sizeBytes ? diskSize(*disk.sizeBytes) : "—");
        row.set("interface", orDash(disk.interfaceType));
        row.set("serial", orDash(disk.serialNumber));
        row.set("firmware", orDash(disk.firmware));
        row.set("device", orDash(disk.deviceId));
        disks.push_back(row);
    }
    d.set("disks", disks);
    d.set("hasDisks", !s.disks.empty());

    Data volumes = listData();
    for (const auto& v : s.volumes) {
        Data row = objectData();
        row.set("device", orDash(v.deviceId));
        row.set("fileSystem", orDash(v.fileSystem));
        row.set("name", orDash(v.volumeName));
        row.set("driveType", orDash(v.driveType));
        row.set("size", v.sizeBytes ? diskSize(*v.sizeBytes) : "—");
        row.set("free", v.freeBytes ? diskSize(*v.freeBytes) : "—");
        if (v.sizeBytes && *v.sizeBytes > 0 && v.freeBytes && *v.freeBytes <= *v.sizeBytes) {
            const auto usedBytes = *v.sizeBytes - *v.freeBytes;
            const auto percent = static_cast<unsigned>(
                // NOLINTNEXTLINE(bugprone-integer-division): half the size, whole bytes
                (static_cast<long double>(usedBytes) * 100 + *v.sizeBytes / 2) / *v.sizeBytes);
            Data bar = objectData();
            bar.set("percent", std::to_string(percent));
            bar.set("level", percent >= 90 ? "full" : percent >= 75 ? "high" : "ok");
            row.set("usage", bar);
        }
        volumes.push_back(row);
    }
    d.set("volumes", volumes);
    d.set("hasVolumes", !s.volumes.empty());

    Data slots = listData();
    for (const auto& slot : s.slots) {
        Data row = objectData();
        row.set("designation", orDash(slot.designation));
        row.set("type", orDash(slot.type));
        row.set("usage", orDash(slot.usage));
        row.set("inUse", lowerCase(slot.usage).find("in use") != std::string::npos);
        slots.push_back(row);
    }
    d.set("slots", slots);
    d.set("hasSlots", !s.slots.empty());

    Data controllers = listData();
    for (const auto& c : s.controllers) {
        Data row = objectData();
        row.set("name", orDash(c.name));
        row.set("kind", orDash(c.kind));
        row.set("maker", orDash(c.maker));
        row.set("device", orDash(c.deviceId));
        controllers.push_back(row);
    }
    d.set("controllers", controllers);
    d.set("hasControllers", !s.controllers.empty());

    Data system = listData();
    system.push_back(pair("Operating system", s.os));
    system.push_back(pair("OS version", s.osVersion));
    system.push_back(pair("Reported by the scanner", s.osDescription));
    system.push_back(pair("Program", s.programName));
    system.push_back(pair("Program version", s.programVersion));
    d.set("system", system);

    Data explained = listData();
    for (const auto& e : s.errorsExplained) explained.push_back(Data(e));
    d.set("errorsExplained", explained);
    d.set("hasExplained", !s.errorsExplained.empty());
    d.set("hasErrors", !s.errors.empty() || !s.errorsExplained.empty());
    d.set("errorsRaw", s.errors);
    d.set("hasErrorsRaw", !s.errors.empty());
    return d;
}

}  // namespace gravelin::console::detail
