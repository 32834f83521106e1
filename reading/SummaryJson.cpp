#include "reading/SummaryJson.h"

namespace gravelin::report {

namespace {

using nlohmann::json;

template <typename T>
json optional(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

// Readers that keep the default unless the member is there with the right type.
void read(const json& object, const char* name, std::string& target) {
    if (const auto it = object.find(name); it != object.end() && it->is_string())
        target = it->get<std::string>();
}

template <typename T>
void read(const json& object, const char* name, T& target) requires std::is_unsigned_v<T> {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number_unsigned()) return;
    const auto value = it->get<std::uint64_t>();
    if (value <= std::numeric_limits<T>::max()) target = static_cast<T>(value);
}

template <typename T>
void read(const json& object, const char* name, std::optional<T>& target) {
    T value{};
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number_unsigned()) return;
    read(object, name, value);
    if (it->get<std::uint64_t>() <= std::numeric_limits<T>::max()) target = value;
}

void read(const json& object, const char* name, bool& target) {
    if (const auto it = object.find(name); it != object.end() && it->is_boolean())
        target = it->get<bool>();
}

template <typename Item, typename Reader>
void readList(const json& object, const char* name, std::vector<Item>& target, Reader reader) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_array()) return;
    for (const auto& element : *it) {
        if (!element.is_object()) continue;
        Item item;
        reader(element, item);
        target.push_back(std::move(item));
    }
}

const char* kindName(Change::Kind kind) {
    switch (kind) {
        case Change::Kind::Added: return "added";
        case Change::Kind::Removed: return "removed";
        case Change::Kind::Changed: return "changed";
    }
    return "changed";
}

}  // namespace

json toJson(const Summary& s) {
    json processors = json::array();
    for (const auto& p : s.processors) {
        processors.push_back({{"model", p.model},
                              {"maker", p.maker},
                              {"socket", p.socket},
                              {"cores", optional(p.cores)},
                              {"threads", optional(p.threads)},
                              {"maxClockMHz", optional(p.maxClockMHz)}});
    }
    json memory = json::array();
    for (const auto& m : s.memory) {
        memory.push_back({{"locator", m.locator},
                          {"bankLocator", m.bankLocator},
                          {"sizeBytes", optional(m.sizeBytes)},
                          {"type", m.type},
                          {"formFactor", m.formFactor},
                          {"speedMTs", optional(m.speedMTs)},
                          {"maker", m.maker},
                          {"partNumber", m.partNumber},
                          {"serialNumber", m.serialNumber},
                          {"empty", m.empty}});
    }
    json disks = json::array();
    for (const auto& d : s.disks) {
        disks.push_back({{"model", d.model},
                         {"serialNumber", d.serialNumber},
                         {"deviceId", d.deviceId},
                         {"interfaceType", d.interfaceType},
                         {"firmware", d.firmware},
                         {"sizeBytes", optional(d.sizeBytes)}});
    }
    json volumes = json::array();
    for (const auto& v : s.volumes) {
        volumes.push_back({{"deviceId", v.deviceId},
                           {"fileSystem", v.fileSystem},
                           {"volumeName", v.volumeName},
                           {"volumeSerial", v.volumeSerial},
                           {"sizeBytes", optional(v.sizeBytes)},
                           {"freeBytes", optional(v.freeBytes)},
                           {"driveType", v.driveType}});
    }
    json slots = json::array();
    for (const auto& e : s.slots) {
        slots.push_back({{"designation", e.designation}, {"type", e.type}, {"usage", e.usage}});
    }
    json controllers = json::array();
    for (const auto& c : s.controllers) {
        controllers.push_back({{"name", c.name},
                               {"kind", c.kind},
                               {"deviceId", c.deviceId},
                               {"maker", c.maker},
                               {"pnpDeviceId", c.pnpDeviceId}});
    }
    return {{"maker", s.maker},
            {"model", s.model},
            {"serialNumber", s.serialNumber},
            {"uuid", s.uuid},
            {"boardMaker", s.boardMaker},
            {"boardProduct", s.boardProduct},
            {"boardVersion", s.boardVersion},
            {"boardSerial", s.boardSerial},
            {"enclosureMaker", s.enclosureMaker},
            {"enclosureType", s.enclosureType},
            {"enclosureSerial", s.enclosureSerial},
            {"enclosureAssetTag", s.enclosureAssetTag},
            {"processors", std::move(processors)},
            {"cores", s.cores},
            {"threads", s.threads},
            {"memoryBytes", s.memoryBytes},
            {"memoryModules", s.memoryModules},
            {"memoryVisibleBytes", s.memoryVisibleBytes},
            {"memory", std::move(memory)},
            {"disks", std::move(disks)},
            {"diskBytes", s.diskBytes},
            {"volumes", std::move(volumes)},
            {"slots", std::move(slots)},
            {"controllers", std::move(controllers)},
            {"os", s.os},
            {"osVersion", s.osVersion},
            {"osBuild", s.osBuild},
            {"osArchitecture", s.osArchitecture},
            {"osDescription", s.osDescription},
            {"programName", s.programName},
            {"programVersion", s.programVersion},
            {"errors", s.errors},
            {"errorsExplained", s.errorsExplained}};
}

json toJson(const std::vector<Change>& changes) {
    json list = json::array();
    for (const auto& change : changes) {
        json fields = json::array();
        for (const auto& field : change.fields) {
            fields.push_back(
                {{"name", field.name}, {"before", field.before}, {"after", field.after}});
        }
        list.push_back({{"kind", kindName(change.kind)},
                        {"component", change.component},
                        {"key", change.key},
                        {"note", change.note},
                        {"fields", std::move(fields)},
                        {"before", change.before},
                        {"after", change.after}});
    }
    return list;
}

Summary summaryFromJson(const json& j) {
    Summary s;
    if (!j.is_object()) return s;
    read(j, "maker", s.maker);
    read(j, "model", s.model);
    read(j, "serialNumber", s.serialNumber);
    read(j, "uuid", s.uuid);
    read(j, "boardMaker", s.boardMaker);
    read(j, "boardProduct", s.boardProduct);
    read(j, "boardVersion", s.boardVersion);
    read(j, "boardSerial", s.boardSerial);
    read(j, "enclosureMaker", s.enclosureMaker);
    read(j, "enclosureType", s.enclosureType);
    read(j, "enclosureSerial", s.enclosureSerial);
    read(j, "enclosureAssetTag", s.enclosureAssetTag);
    readList(j, "processors", s.processors, [](const json& o, ProcessorSummary& p) {
        read(o, "model", p.model);
        read(o, "maker", p.maker);
        read(o, "socket", p.socket);
        read(o, "cores", p.cores);
        read(o, "threads", p.threads);
        read(o, "maxClockMHz", p.maxClockMHz);
    });
    read(j, "cores", s.cores);
    read(j, "threads", s.threads);
    read(j, "memoryBytes", s.memoryBytes);
    read(j, "memoryModules", s.memoryModules);
    read(j, "memoryVisibleBytes", s.memoryVisibleBytes);
    readList(j, "memory", s.memory, [](const json& o, MemorySlotSummary& m) {
        read(o, "locator", m.locator);
        read(o, "bankLocator", m.bankLocator);
        read(o, "sizeBytes", m.sizeBytes);
        read(o, "type", m.type);
        read(o, "formFactor", m.formFactor);
        read(o, "speedMTs", m.speedMTs);
        read(o, "maker", m.maker);
        read(o, "partNumber", m.partNumber);
        read(o, "serialNumber", m.serialNumber);
        read(o, "empty", m.empty);
    });
    readList(j, "disks", s.disks, [](const json& o, DiskSummary& d) {
        read(o, "model", d.model);
        read(o, "serialNumber", d.serialNumber);
        read(o, "deviceId", d.deviceId);
        read(o, "interfaceType", d.interfaceType);
        read(o, "firmware", d.firmware);
        read(o, "sizeBytes", d.sizeBytes);
    });
    read(j, "diskBytes", s.diskBytes);
    readList(j, "volumes", s.volumes, [](const json& o, VolumeSummary& v) {
        read(o, "deviceId", v.deviceId);
        read(o, "fileSystem", v.fileSystem);
        read(o, "volumeName", v.volumeName);
        read(o, "volumeSerial", v.volumeSerial);
        read(o, "sizeBytes", v.sizeBytes);
        read(o, "freeBytes", v.freeBytes);
        read(o, "driveType", v.driveType);
    });
    readList(j, "slots", s.slots, [](const json& o, ExpansionSlotSummary& e) {
        read(o, "designation", e.designation);
        read(o, "type", e.type);
        read(o, "usage", e.usage);
    });
    readList(j, "controllers", s.controllers, [](const json& o, ControllerSummary& c) {
        read(o, "name", c.name);
        read(o, "kind", c.kind);
        read(o, "deviceId", c.deviceId);
        read(o, "maker", c.maker);
        read(o, "pnpDeviceId", c.pnpDeviceId);
    });
    read(j, "os", s.os);
    read(j, "osVersion", s.osVersion);
    read(j, "osBuild", s.osBuild);
    read(j, "osArchitecture", s.osArchitecture);
    read(j, "osDescription", s.osDescription);
    read(j, "programName", s.programName);
    read(j, "programVersion", s.programVersion);
    read(j, "errors", s.errors);
    if (const auto it = j.find("errorsExplained"); it != j.end() && it->is_array()) {
        for (const auto& line : *it) {
            if (line.is_string()) s.errorsExplained.push_back(line.get<std::string>());
        }
    }
    return s;
}

std::string toJsonText(const Summary& summary) {
    return toJson(summary).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string toJsonText(const std::vector<Change>& changes) {
    return toJson(changes).dump(-1, ' ', false, json::error_handler_t::replace);
}

Summary summaryFromJsonText(const std::string& text) {
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return {};
    return summaryFromJson(parsed);
}

}  // namespace gravelin::report
