// MSSmBios_RawSMBiosTables (ROOT\wmi): the firmware's SMBIOS table as sysfs holds it, the
// same bytes the registry source reads. Both files are readable by root only; without them
// the class has no object.
#include <array>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 8> kNames = {
    "Active",     "DmiRevision",        "InstanceName",       "Size",
    "SMBiosData", "SmbiosMajorVersion", "SmbiosMinorVersion", "Used20CallingMethod"};

}  // namespace

namespace properties {
const std::span<const std::string_view> kRawSmbiosTables = kNames;
}

std::vector<WmiObject> queryRawSmbiosTables(WmiContext& context) {
    const SmbiosTable* table = context.smbios();
    if (table == nullptr || table->table().size() > 0xFFFFFFFFU) return {};
    ObjectBuilder object("MSSmBios_RawSMBiosTables", kNames);
    object.set("Active", true);
    object.set("DmiRevision", unsignedValue(table->dmiRevision()));
    object.set("InstanceName", "SMBiosData");
    object.set("Size", unsignedValue(table->table().size()));
    object.set("SMBiosData", WmiBytes(table->table().begin(), table->table().end()));
    object.set("SmbiosMajorVersion", unsignedValue(table->majorVersion()));
    object.set("SmbiosMinorVersion", unsignedValue(table->minorVersion()));
    object.set("Used20CallingMethod", false);
    std::vector<WmiObject> objects;
    objects.push_back(object.take());
    return objects;
}

}  // namespace gravelin::linuxwmi
