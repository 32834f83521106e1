// Win32_BaseBoard: the board's strings from /sys/class/dmi/id; with root, the SMBIOS
// baseboard structure (type 2) adds the serial number and feature flags, and the system
// configuration options (type 12) the jumper settings.
#include <array>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 29> kNames = {"Caption",
                                                     "ConfigOptions",
                                                     "CreationClassName",
                                                     "Depth",
                                                     "Description",
                                                     "Height",
                                                     "HostingBoard",
                                                     "HotSwappable",
                                                     "InstallDate",
                                                     "Manufacturer",
                                                     "Model",
                                                     "Name",
                                                     "OtherIdentifyingInfo",
                                                     "PartNumber",
                                                     "PoweredOn",
                                                     "Product",
                                                     "Removable",
                                                     "Replaceable",
                                                     "RequirementsDescription",
                                                     "RequiresDaughterBoard",
                                                     "SerialNumber",
                                                     "SKU",
                                                     "SlotLayout",
                                                     "SpecialRequirements",
                                                     "Status",
                                                     "Tag",
                                                     "Version",
                                                     "Weight",
                                                     "Width"};

constexpr std::string_view kDmi = "/sys/class/dmi/id/";

std::optional<std::string> dmiValue(const WmiContext& context, std::string_view file) {
    return context.value(std::string(kDmi) + std::string(file));
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kBaseBoard = kNames;
}

std::vector<WmiObject> queryBaseBoard(WmiContext& context) {
    const SmbiosTable* table = context.smbios();
    const auto boards = table ? table->ofType(2) : std::vector<const TableStructure*>{};
    const TableStructure* board = boards.empty() ? nullptr : boards.front();
    // Without firmware tables there is no board to describe.
    if (!context.fs().isDirectory("/sys/class/dmi/id") && board == nullptr) return {};

    ObjectBuilder object("Win32_BaseBoard", kNames);
    object.set("Caption", "Base Board");
    object.set("CreationClassName", "Win32_BaseBoard");
    object.set("Description", "Base Board");
    object.set("Name", "Base Board");
    object.set("PoweredOn", true);
    object.set("Status", "OK");
    object.set("Tag", "Base Board");

    const auto pick = [&](std::size_t offset, std::string_view file) {
        std::optional<std::string> fromTable;
        if (board) fromTable = nonEmpty(board->string(offset));
        return fromTable ? fromTable : dmiValue(context, file);
    };
    object.set("Manufacturer", optionalText(pick(0x04, "board_vendor")));
    object.set("Product", optionalText(pick(0x05, "board_name")));
    object.set("Version", optionalText(pick(0x06, "board_version")));
    std::optional<std::string> serial;
    if (board) serial = nonEmpty(board->string(0x07));
    if (!serial) serial = context.privilegedValue(std::string(kDmi) + "board_serial");
    object.set("SerialNumber", optionalText(serial));

    // The board observed here is the machine's main board, unless its flags say otherwise.
    const auto flags = board ? board->byte(0x09) : std::nullopt;
    object.set("HostingBoard", flags ? WmiValue((*flags & 0x01) != 0) : WmiValue(true));
    if (flags) {
        object.set("RequiresDaughterBoard", (*flags & 0x02) != 0);
        object.set("Removable", (*flags & 0x04) != 0);
        object.set("Replaceable", (*flags & 0x08) != 0);
        object.set("HotSwappable", (*flags & 0x10) != 0);
    }

    if (table) {
        const auto options = table->ofType(12);
        if (!options.empty()) {
            WmiArray texts;
            for (const auto* structure : options) {
                for (const auto& text : structure->strings()) texts.emplace_back(text);
            }
            object.set("ConfigOptions", std::move(texts));
        }
    }

    std::vector<WmiObject> objects;
    objects.push_back(object.take());
    return objects;
}

}  // namespace gravelin::linuxwmi
