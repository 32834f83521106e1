// Real-world layouts, one fixture tree each, checked property by property: NVMe native
// multipath, btrfs subvolumes, an arm64 big.LITTLE board, a container.
#include <gtest/gtest.h>

#include "WmiFixture.h"

namespace gravelin::testing {
namespace {

Expected with(Expected base, const Expected& more) {
    for (const auto& [k, v] : more) base[k] = v;
    return base;
}

Expected diskCommon(const std::string& host) {
    return {{"BytesPerSector", "512"},
            {"Capabilities", "3, 4"},
            {"CapabilityDescriptions", "Random Access, Supports Writing"},
            {"ConfigManagerErrorCode", "0"},
            {"ConfigManagerUserConfig", "False"},
            {"CreationClassName", "Win32_DiskDrive"},
            {"Description", "Disk drive"},
            {"InterfaceType", "SCSI"},
            {"MediaLoaded", "True"},
            {"MediaType", "Fixed hard disk media"},
            {"SCSIBus", "0"},
            {"SCSITargetId", "0"},
            {"SectorsPerTrack", "63"},
            {"Status", "OK"},
            {"SystemCreationClassName", "Win32_ComputerSystem"},
            {"SystemName", host},
            {"TotalHeads", "255"},
            {"TracksPerCylinder", "255"}};
}

Expected volumeCommon(const std::string& host) {
    return {{"Access", "0"},
            {"Compressed", "False"},
            {"CreationClassName", "Win32_LogicalDisk"},
            {"MaximumComponentLength", "255"},
            {"SupportsDiskQuotas", "False"},
            {"SupportsFileBasedCompression", "False"},
            {"SystemCreationClassName", "Win32_ComputerSystem"},
            {"SystemName", host}};
}

// ---- NVMe native multipath ---------------------------------------------------------------

// A dual-port SSD with two namespaces, each reached through two controllers, and an NVMe
// over TCP disk: the visible namespaces live under the subsystem (a virtual device), the
// paths under the controllers are hidden.
TEST(NvmeMultipath, EachNamespaceOnceWithTheSubsystemsIdentity) {
    FixtureTree tree{"nvme-multipath"};
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_DiskDrive");
    ASSERT_EQ(objects.size(), 3U);
    const Expected ssd = {{"Caption", "KIOXIA KCM6DRUL3T84"},
                          {"FirmwareRevision", "0106"},
                          {"Model", "KIOXIA KCM6DRUL3T84"},
                          {"SCSIPort", "0"},
                          {"SerialNumber", "X1F0A0C1T8M8"}};
    expectObject(objects[0], "Win32_DiskDrive",
                 with(with(diskCommon("stor01"), ssd), {{"DeviceID", "/dev/nvme0n1"},
                                                        {"Index", "0"},
                                                        {"Name", "/dev/nvme0n1"},
                                                        {"Partitions", "1"},
                                                        {"SCSILogicalUnit", "0"},
                                                        {"Size", "3840753369600"},
                                                        {"TotalCylinders", "466945"},
                                                        {"TotalSectors", "7501471425"},
                                                        {"TotalTracks", "119070975"}}));
    // The second namespace: its own LUN (namespace id - 1), the same drive identity.
    expectObject(objects[1], "Win32_DiskDrive",
                 with(with(diskCommon("stor01"), ssd), {{"DeviceID", "/dev/nvme0n2"},
                                                        {"Index", "1"},
                                                        {"Name", "/dev/nvme0n2"},
                                                        {"Partitions", "0"},
                                                        {"SCSILogicalUnit", "1"},
                                                        {"Size", "199997683200"},
                                                        {"TotalCylinders", "24315"},
                                                        {"TotalSectors", "390620475"},
                                                        {"TotalTracks", "6200325"}}));
    expectObject(objects[2], "Win32_DiskDrive",
                 with(diskCommon("stor01"), {{"Caption", "Linux"},
                                             {"DeviceID", "/dev/nvme1n1"},
                                             {"FirmwareRevision", "6.8.0-45"},
                                             {"Index", "2"},
                                             {"Model", "Linux"},
                                             {"Name", "/dev/nvme1n1"},
                                             {"Partitions", "0"},
                                             {"SCSILogicalUnit", "0"},
                                             {"SCSIPort", "1"},
                                             {"SerialNumber", "8f1c2a5d0b7e4e11"},
                                             {"Size", "214745610240"},
                                             {"TotalCylinders", "26108"},
                                             {"TotalSectors", "419425020"},
                                             {"TotalTracks", "6657540"}}));
}

TEST(NvmeMultipath, VolumesOnMultipathNamespacesAreFixedDisks) {
    FixtureTree tree{"nvme-multipath"};
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 2U);
    expectObject(objects[0], "Win32_LogicalDisk",
                 with(volumeCommon("stor01"), {{"Caption", "/"},
                                               {"Description", "Local Fixed Disk"},
                                               {"DeviceID", "/"},
                                               {"DriveType", "3"},
                                               {"FileSystem", "ext4"},
                                               {"FreeSpace", "3112960000000"},
                                               {"MediaType", "12"},
                                               {"Name", "/"},
                                               {"Size", "3686400000000"},
                                               {"VolumeName", ""}}));
    expectObject(objects[1], "Win32_LogicalDisk",
                 with(volumeCommon("stor01"), {{"Caption", "/srv/fabric"},
                                               {"Description", "Local Fixed Disk"},
                                               {"DeviceID", "/srv/fabric"},
                                               {"DriveType", "3"},
                                               {"FileSystem", "xfs"},
                                               {"FreeSpace", "614400000000"},
                                               {"MediaType", "12"},
                                               {"Name", "/srv/fabric"},
                                               {"Size", "819200000000"},
                                               {"VolumeName", ""}}));
}

}  // namespace
}  // namespace gravelin::testing
