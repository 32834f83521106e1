// The differ: what changed between two scans of one machine.
//
// Components are paired first by what identifies the part itself (a serial number that is no
// placeholder and unique in its scan), then by where it sits (memory locator and bank, disk
// and volume device ID, processor socket, slot designation, controller device ID), never by
// the object's position in the report. A part found by its serial in another place is one
// change, "moved"; another part in the same place is one change, "replaced"; what remains is
// Added or Removed. Values that move by themselves between scans (free space, free memory,
// load, clocks, uptime, dates) are not in the compared fields at all.
#include <algorithm>
#include <map>
#include <set>

#include "reading/Summary.h"

#include "reading/Placeholder.h"

namespace gravelin::report {

namespace {

struct Item {
    std::string identity;                                     // serial number, or empty
    std::string place;                                        // locator, device ID, socket...
    std::vector<std::pair<std::string, std::string>> fields;  // compared, in display order
    std::string line;                                         // one-line description
};

std::string sizeText(const std::optional<std::uint64_t>& bytes, SizeUnits units) {
    return bytes ? humanSize(*bytes, units) : std::string();
}

template <typename T>
std::string numberText(const std::optional<T>& value) {
    return value ? std::to_string(*value) : std::string();
}

// Joins the non-empty pieces with a blank.
std::string joined(std::initializer_list<std::string> pieces, std::string_view separator = " ") {
    std::string text;
    for (const auto& piece : pieces) {
        if (piece.empty()) continue;
        if (!text.empty()) text += separator;
        text += piece;
    }
    return text;
}

std::vector<Item> memoryItems(const Summary& s) {
    std::vector<Item> items;
    for (const auto& slot : s.memory) {
        if (slot.empty) continue;
        Item item;
        item.identity = slot.serialNumber;
        item.place = slotName(slot);
        item.fields = {{"Slot", item.place},
                       {"Size", sizeText(slot.sizeBytes, SizeUnits::Binary)},
                       {"Type", slot.type},
                       {"Form factor", slot.formFactor},
                       {"Speed", slot.speedMTs ? std::to_string(*slot.speedMTs) + " MT/s" : ""},
                       {"Maker", slot.maker},
                       {"Part number", slot.partNumber},
                       {"Serial number", slot.serialNumber}};
        item.line =
            joined({sizeText(slot.sizeBytes, SizeUnits::Binary), slot.type, slot.formFactor,
                    slot.speedMTs ? std::to_string(*slot.speedMTs) + " MT/s" : "", slot.maker,
                    slot.partNumber, slot.serialNumber.empty() ? "" : "serial " + slot.serialNumber,
                    "in " + item.place});
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<Item> diskItems(const Summary& s) {
    std::vector<Item> items;
    for (const auto& disk : s.disks) {
        Item item;
        item.identity = disk.serialNumber;
        item.place = disk.deviceId;
        item.fields = {{"Device ID", disk.deviceId},
                       {"Model", disk.model},
                       {"Serial number", disk.serialNumber},
                       {"Interface", disk.interfaceType},
                       {"Firmware", disk.firmware},
                       {"Size", sizeText(disk.sizeBytes, SizeUnits::Decimal)}};
        item.line =
            joined({disk.model, disk.interfaceType.empty() ? "" : "(" + disk.interfaceType + ")",
                    sizeText(disk.sizeBytes, SizeUnits::Decimal),
                    disk.serialNumber.empty() ? "" : "serial " + disk.serialNumber,
                    disk.deviceId.empty() ? "" : "at " + disk.deviceId});
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<Item> volumeItems(const Summary& s) {
    std::vector<Item> items;
    for (const auto& volume : s.volumes) {
        Item item;
        item.identity = volume.volumeSerial;
        item.place = volume.deviceId;
        item.fields = {{"Device ID", volume.deviceId},
                       {"File system", volume.fileSystem},
                       {"Name", volume.volumeName},
                       {"Volume serial", volume.volumeSerial},
                       {"Size", sizeText(volume.sizeBytes, SizeUnits::Binary)},
                       {"Drive type", volume.driveType}};
        item.line = joined({volume.deviceId, volume.fileSystem,
                            volume.volumeName.empty() ? "" : "\"" + volume.volumeName + "\"",
                            sizeText(volume.sizeBytes, SizeUnits::Binary), volume.driveType});
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<Item> processorItems(const Summary& s) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < s.processors.size(); ++i) {
        const auto& processor = s.processors[i];
        Item item;
        item.place =
            processor.socket.empty() ? "processor " + std::to_string(i + 1) : processor.socket;
        // The clock is left out: on machines without frequency scaling data the maximum is
        // the current clock, which moves.
        item.fields = {{"Socket", processor.socket},
                       {"Model", processor.model},
                       {"Maker", processor.maker},
                       {"Cores", numberText(processor.cores)},
                       {"Threads", numberText(processor.threads)}};
        item.line = joined(
            {processor.model, processor.cores ? std::to_string(*processor.cores) + " cores" : "",
             processor.threads ? std::to_string(*processor.threads) + " threads" : "",
             processor.socket.empty() ? "" : "in " + processor.socket});
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<Item> slotItems(const Summary& s) {
    std::vector<Item> items;
    for (const auto& slot : s.slots) {
        Item item;
        item.place = slot.designation;
        item.fields = {
            {"Designation", slot.designation}, {"Type", slot.type}, {"Usage", slot.usage}};
        item.line = joined({slot.designation, slot.type, slot.usage}, ", ");
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<Item> controllerItems(const Summary& s) {
    std::vector<Item> items;
    for (const auto& controller : s.controllers) {
        Item item;
        item.place = controller.pnpDeviceId.empty() ? controller.deviceId : controller.pnpDeviceId;
        item.fields = {{"Device ID", item.place},
                       {"Kind", controller.kind},
                       {"Name", controller.name},
                       {"Maker", controller.maker}};
        item.line = joined({controller.kind, controller.name,
                            controller.maker.empty() ? "" : "(" + controller.maker + ")"});
        items.push_back(std::move(item));
    }
    return items;
}

// Serials that are placeholders or shared by two parts of one scan identify nothing; places
// that repeat get their occurrence number.
void prepare(std::vector<Item>& items) {
    std::map<std::string, int> identities, places;
    for (const auto& item : items) {
        if (!isPlaceholder(item.identity)) ++identities[item.identity];
    }
    for (auto& item : items) {
        if (isPlaceholder(item.identity) || identities[item.identity] > 1)
            item.identity.clear();
        const int seen = ++places[item.place];
        if (seen > 1) item.place += " #" + std::to_string(seen);
    }
}

std::vector<Change::Field> differingFields(const Item& before, const Item& after) {
    std::vector<Change::Field> fields;
    for (std::size_t i = 0; i < after.fields.size() && i < before.fields.size(); ++i) {
        if (before.fields[i].second != after.fields[i].second) {
            fields.push_back(
                {after.fields[i].first, before.fields[i].second, after.fields[i].second});
        }
    }
    return fields;
}

void compareLists(const std::string& component, std::vector<Item> before, std::vector<Item> after,
                  std::vector<Change>& changes) {
    prepare(before);
    prepare(after);
    // After prepare, identities and places are unique within a scan: one look-up each.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::map<std::string_view, std::size_t> afterByIdentity, afterByPlace;
    for (std::size_t a = 0; a < after.size(); ++a) {
        if (!after[a].identity.empty()) afterByIdentity.emplace(after[a].identity, a);
        afterByPlace.emplace(after[a].place, a);
    }
    std::vector<std::size_t> pairOf(before.size(), kNone);  // index into after
    std::vector<bool> taken(after.size(), false);
    std::vector<bool> byIdentity(before.size(), false);
    // First the parts themselves, then the places.
    for (std::size_t b = 0; b < before.size(); ++b) {
        if (before[b].identity.empty()) continue;
        const auto found = afterByIdentity.find(before[b].identity);
        if (found == afterByIdentity.end() || taken[found->second]) continue;
        pairOf[b] = found->second;
        taken[found->second] = true;
        byIdentity[b] = true;
    }
    for (std::size_t b = 0; b < before.size(); ++b) {
        if (pairOf[b] != kNone) continue;
        const auto found = afterByPlace.find(before[b].place);
        if (found == afterByPlace.end() || taken[found->second]) continue;
        pairOf[b] = found->second;
        taken[found->second] = true;
    }
    std::vector<Change> found;
    for (std::size_t b = 0; b < before.size(); ++b) {
        if (pairOf[b] == kNone) {
            Change removed;
            removed.kind = Change::Kind::Removed;
            removed.component = component;
            removed.key = before[b].place.empty() ? before[b].identity : before[b].place;
            removed.before = before[b].line;
            found.push_back(std::move(removed));
            continue;
        }
        const Item& now = after[pairOf[b]];
        auto fields = differingFields(before[b], now);
        if (fields.empty()) continue;
        Change changed;
        changed.kind = Change::Kind::Changed;
        changed.component = component;
        const bool samePlace = before[b].place == now.place;
        changed.key = samePlace || before[b].identity.empty() ? now.place : now.identity;
        if (byIdentity[b] && !samePlace) {
            changed.note = "moved";
        } else if (!byIdentity[b] && !before[b].identity.empty() && !now.identity.empty()) {
            changed.note = "replaced";
        } else if (!byIdentity[b] && before[b].identity != now.identity &&
                   std::any_of(fields.begin(), fields.end(), [](const Change::Field& f) {
                       return f.name == "Model" || f.name == "Part number";
                   })) {
            changed.note = "replaced";
        }
        changed.fields = std::move(fields);
        changed.before = before[b].line;
        changed.after = now.line;
        found.push_back(std::move(changed));
    }
    for (std::size_t a = 0; a < after.size(); ++a) {
        if (taken[a]) continue;
        Change added;
        added.kind = Change::Kind::Added;
        added.component = component;
        added.key = after[a].place.empty() ? after[a].identity : after[a].place;
        added.after = after[a].line;
        found.push_back(std::move(added));
    }
    changes.insert(changes.end(), found.begin(), found.end());
}

// A component of which a machine has one.
void compareSingle(const std::string& component,
                   const std::vector<std::pair<std::string, std::string>>& before,
                   const std::vector<std::pair<std::string, std::string>>& after,
                   std::vector<Change>& changes, const char* note = "") {
    const auto blank = [](const auto& fields) {
        return std::all_of(fields.begin(), fields.end(),
                           [](const auto& f) { return f.second.empty(); });
    };
    const auto line = [](const auto& fields) {
        std::string text;
        for (const auto& [name, value] : fields) {
            if (value.empty()) continue;
            if (!text.empty()) text += ", ";
            text += name + " " + value;
        }
        return text;
    };
    Change change;
    change.component = component;
    change.before = line(before);
    change.after = line(after);
    if (blank(before) && blank(after)) return;
    if (blank(before)) {
        change.kind = Change::Kind::Added;
    } else if (blank(after)) {
        change.kind = Change::Kind::Removed;
    } else {
        Item b{{}, {}, before, {}}, a{{}, {}, after, {}};
        change.fields = differingFields(b, a);
        if (change.fields.empty()) return;
        change.kind = Change::Kind::Changed;
        change.note = note;
    }
    changes.push_back(std::move(change));
}

}  // namespace

std::vector<Change> diff(const Summary& before, const Summary& after) {
    std::vector<Change> changes;
    compareSingle("System",
                  {{"Maker", before.maker},
                   {"Model", before.model},
                   {"Serial number", before.serialNumber},
                   {"UUID", before.uuid}},
                  {{"Maker", after.maker},
                   {"Model", after.model},
                   {"Serial number", after.serialNumber},
                   {"UUID", after.uuid}},
                  changes);
    compareSingle("Board",
                  {{"Maker", before.boardMaker},
                   {"Product", before.boardProduct},
                   {"Version", before.boardVersion},
                   {"Serial number", before.boardSerial}},
                  {{"Maker", after.boardMaker},
                   {"Product", after.boardProduct},
                   {"Version", after.boardVersion},
                   {"Serial number", after.boardSerial}},
                  changes, before.boardSerial != after.boardSerial ? "replaced" : "");
    compareSingle("Enclosure",
                  {{"Maker", before.enclosureMaker},
                   {"Type", before.enclosureType},
                   {"Serial number", before.enclosureSerial},
                   {"Asset tag", before.enclosureAssetTag}},
                  {{"Maker", after.enclosureMaker},
                   {"Type", after.enclosureType},
                   {"Serial number", after.enclosureSerial},
                   {"Asset tag", after.enclosureAssetTag}},
                  changes);
    compareLists("Processor", processorItems(before), processorItems(after), changes);
    compareLists("Memory", memoryItems(before), memoryItems(after), changes);
    compareLists("Disk", diskItems(before), diskItems(after), changes);
    compareLists("Volume", volumeItems(before), volumeItems(after), changes);
    compareLists("Slot", slotItems(before), slotItems(after), changes);
    compareLists("Controller", controllerItems(before), controllerItems(after), changes);
    compareSingle("Operating system",
                  {{"Name", before.os},
                   {"Version", before.osVersion},
                   {"Build", before.osBuild},
                   {"Architecture", before.osArchitecture}},
                  {{"Name", after.os},
                   {"Version", after.osVersion},
                   {"Build", after.osBuild},
                   {"Architecture", after.osArchitecture}},
                  changes, "updated");
    compareSingle("Program", {{"Name", before.programName}, {"Version", before.programVersion}},
                  {{"Name", after.programName}, {"Version", after.programVersion}}, changes,
                  "updated");
    return changes;
}

}  // namespace gravelin::report
