// Real-world layouts, one fixture tree each, checked property by property: NVMe native
// multipath, SCSI paths joined by dm-multipath, btrfs subvolumes, an arm64 big.LITTLE
// board, a Docker container, a root file system in memory.
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

// ---- btrfs -------------------------------------------------------------------------------

// Each btrfs file system shows one anonymous device number (0:N) for all its mounts: the
// root on LUKS with subvolumes at / and /home, a USB stick at /media/user/BACKUP with a
// snapshot subvolume below it. One object per file system, at its shortest mount point,
// with the identity of the device the mount source names.
TEST(Btrfs, OneVolumePerFileSystemWithTheDevicesIdentity) {
    FixtureTree tree{"btrfs"};
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 2U);
    const Expected btrfs = {{"FileSystem", "btrfs"}, {"SupportsFileBasedCompression", "True"}};
    // udev knows the LUKS mapping's label and UUID.
    expectObject(objects[0], "Win32_LogicalDisk",
                 with(with(volumeCommon("fedora"), btrfs),
                      {{"Caption", "/"},
                       {"Description", "Local Fixed Disk"},
                       {"DeviceID", "/"},
                       {"DriveType", "3"},
                       {"FreeSpace", "241664000000"},
                       {"MediaType", "12"},
                       {"Name", "/"},
                       {"Size", "491520000000"},
                       {"VolumeName", "fedora"},
                       {"VolumeSerialNumber", "6b8e3c1a-2f4d-4e5b-9c7a-1d2e3f4a5b6c"}}));
    // No udev record for the stick: /sys/fs/btrfs names its file system and label.
    expectObject(objects[1], "Win32_LogicalDisk",
                 with(with(volumeCommon("fedora"), btrfs),
                      {{"Caption", "/media/user/BACKUP"},
                       {"Description", "Removable Disk"},
                       {"DeviceID", "/media/user/BACKUP"},
                       {"DriveType", "2"},
                       {"FreeSpace", "36864000000"},
                       {"MediaType", "11"},
                       {"Name", "/media/user/BACKUP"},
                       {"Size", "61440000000"},
                       {"VolumeName", "BACKUP"},
                       {"VolumeSerialNumber", "c0ffee00-1234-4abc-8def-0123456789ab"}}));
    EXPECT_EQ(machine.system.statvfsAsked, (std::vector<std::string>{"/", "/media/user/BACKUP"}));
}

// A source that names no block device (gone, or not visible here) leaves the identity
// unknown instead of borrowing another device's.
TEST(Btrfs, SourceWithoutBlockDeviceKeepsOneVolumeWithoutIdentity) {
    FixtureTree tree{"btrfs"};
    tree.remove("/dev/mapper/luks-5d7e0c4a");
    tree.remove("/sys/class/block/dm-0");
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 2U);
    EXPECT_EQ(text(objects[0], "DeviceID"), "/");
    EXPECT_EQ(text(objects[0], "DriveType"), "3");
    EXPECT_TRUE(isNull(objects[0], "VolumeName"));
    EXPECT_TRUE(isNull(objects[0], "VolumeSerialNumber"));
    EXPECT_EQ(text(objects[1], "VolumeSerialNumber"), "c0ffee00-1234-4abc-8def-0123456789ab");
}

// ---- arm64 big.LITTLE --------------------------------------------------------------------

// Four Cortex-A53 and two Cortex-A72 in one package on a device tree: core ids restart in
// the second cluster (0-3, 0-1), so counting them gives 4 cores and implies SMT. The
// sibling sets give six cores of one thread each.
TEST(Arm64BigLittle, CoresCountedBySiblingSets) {
    FixtureTree tree{"arm64-biglittle"};
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_Processor");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_Processor",
                 {{"AddressWidth", "64"},
                  {"Architecture", "12"},
                  {"Availability", "3"},
                  {"Caption", "ARMv8 (64-bit) Family 8 Model D03 Revision 4"},
                  {"CpuStatus", "1"},
                  {"CreationClassName", "Win32_Processor"},
                  {"CurrentClockSpeed", "408"},
                  {"DataWidth", "64"},
                  {"Description", "ARMv8 (64-bit) Family 8 Model D03 Revision 4"},
                  {"DeviceID", "CPU0"},
                  {"L2CacheSize", "1536"},  // one 512 KiB and one 1 MiB cluster cache
                  {"L3CacheSize", "0"},
                  {"Level", "8"},
                  {"LoadPercentage", "30"},
                  {"Manufacturer", "ARM Limited"},
                  {"MaxClockSpeed", "1416"},
                  {"NumberOfCores", "6"},
                  {"NumberOfEnabledCore", "6"},
                  {"NumberOfLogicalProcessors", "6"},
                  {"PowerManagementSupported", "False"},
                  {"ProcessorType", "3"},
                  {"Role", "CPU"},
                  {"Status", "OK"},
                  {"StatusInfo", "3"},
                  {"SystemCreationClassName", "Win32_ComputerSystem"},
                  {"SystemName", "rockpi"},
                  {"ThreadCount", "6"}});
}

// Where the sibling sets are missing, a core id and then the CPU itself still tell cores
// apart; a sibling set that does not contain its own CPU is not believed.
TEST(Arm64BigLittle, FallbacksWhenSiblingSetsAreMissingOrWrong) {
    struct Case {
        const char* what;
        std::vector<std::string> removed;
        std::vector<std::pair<std::string, std::string>> written;
        const char* cores;
    };
    const std::string cpu = "/sys/devices/system/cpu/cpu";
    std::vector<std::string> coreCpusFiles, allSiblingFiles, allTopology;
    for (int i = 0; i < 6; ++i) {
        coreCpusFiles.push_back(cpu + std::to_string(i) + "/topology/core_cpus_list");
        allSiblingFiles.push_back(coreCpusFiles.back());
        allSiblingFiles.push_back(cpu + std::to_string(i) + "/topology/thread_siblings_list");
        allTopology.push_back(cpu + std::to_string(i) + "/topology");
    }
    const Case cases[] = {
        {"older kernel: thread_siblings_list only", coreCpusFiles, {}, "6"},
        {"no sibling sets: the core ids, which repeat", allSiblingFiles, {}, "4"},
        {"no topology at all: one core per CPU", allTopology, {}, "6"},
        {"a set without its own CPU falls back to the core id",
         {},
         {{cpu + "4/topology/core_cpus_list", "0\n"}},
         "6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FixtureTree tree{"arm64-biglittle"};
        for (const auto& path : c.removed) tree.remove(path);
        for (const auto& [path, text] : c.written) tree.write(path, text);
        FixtureMachine machine(tree);
        const auto objects = machine.query("Win32_Processor");
        ASSERT_EQ(objects.size(), 1U);
        EXPECT_EQ(text(objects[0], "NumberOfCores"), c.cores);
        EXPECT_EQ(text(objects[0], "NumberOfLogicalProcessors"), "6");
    }
}

// ---- Containers ----------------------------------------------------------------------------

// The container's one volume: its overlay root.
void checkContainerRoot(FixtureMachine& machine) {
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_LogicalDisk",
                 with(volumeCommon("3f2a9c1b7d4e"), {{"Caption", "/"},
                                                     {"Description", "Local Fixed Disk"},
                                                     {"DeviceID", "/"},
                                                     {"DriveType", "3"},
                                                     {"FileSystem", "overlay"},
                                                     {"FreeSpace", "43827200000"},
                                                     {"MediaType", "12"},
                                                     {"Name", "/"},
                                                     {"Size", "102400000000"}}));
}

// Docker bind-mounts /etc/hosts, /etc/hostname and /etc/resolv.conf as files from the
// host's disk: files, not volumes. The overlay root is the one volume. The same on a host
// whose disk is btrfs (an anonymous device number).
TEST(Container, FilesMountedFromTheHostAreNoVolumes) {
    for (const bool btrfsHost : {false, true}) {
        SCOPED_TRACE(btrfsHost ? "btrfs host" : "ext4 host");
        FixtureTree tree{"container"};
        if (btrfsHost) {
            std::string mountinfo = readText(fs::path(tree.root()) / "proc/self/mountinfo");
            for (auto at = mountinfo.find(" 8:1 "); at != std::string::npos;
                 at = mountinfo.find(" 8:1 ", at))
                mountinfo.replace(at, 5, " 0:34 ");
            for (auto at = mountinfo.find(" ext4 "); at != std::string::npos;
                 at = mountinfo.find(" ext4 ", at))
                mountinfo.replace(at, 6, " btrfs ");
            tree.write("/proc/self/mountinfo", mountinfo);
        }
        FixtureMachine machine(tree);
        checkContainerRoot(machine);
    }
}

// A directory from the host (docker run -v /srv/data:/data) is a volume on the host's disk.
TEST(Container, DirectoryMountedFromTheHostIsAVolume) {
    FixtureTree tree{"container"};
    const std::string mountinfo =
        readText(fs::path(tree.root()) / "proc/self/mountinfo") +
        "623 612 8:1 /srv/data /data rw,relatime - ext4 /dev/sda1 rw,errors=remount-ro\n";
    tree.write("/proc/self/mountinfo", mountinfo);
    tree.write("/data/.keep", "");
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 2U);
    EXPECT_EQ(text(objects[0], "DeviceID"), "/");
    expectObject(objects[1], "Win32_LogicalDisk",
                 with(volumeCommon("3f2a9c1b7d4e"), {{"Caption", "/data"},
                                                     {"Description", "Local Fixed Disk"},
                                                     {"DeviceID", "/data"},
                                                     {"DriveType", "3"},
                                                     {"FileSystem", "ext4"},
                                                     {"FreeSpace", "43827200000"},
                                                     {"MediaType", "12"},
                                                     {"Name", "/data"},
                                                     {"Size", "102400000000"},
                                                     {"VolumeName", ""}}));
}

// ---- Roots in memory ---------------------------------------------------------------------

// A diskless machine runs from its initramfs (rootfs) or a tmpfs root: a RAM disk, not a
// fixed disk.
TEST(MemoryRoot, RootfsAndTmpfsRootsAreRamDisks) {
    for (const std::string type : {"rootfs", "tmpfs"}) {
        SCOPED_TRACE(type);
        FixtureTree tree{"container"};
        tree.write("/proc/self/mountinfo", "1 1 0:2 / / rw - " + type + " " + type +
                                               " rw,size=8000000k\n"
                                               "22 1 0:21 / /proc rw,relatime - proc proc rw\n");
        FixtureMachine machine(tree);
        const auto objects = machine.query("Win32_LogicalDisk");
        ASSERT_EQ(objects.size(), 1U);
        expectObject(objects[0], "Win32_LogicalDisk",
                     with(volumeCommon("3f2a9c1b7d4e"), {{"Caption", "/"},
                                                         {"Description", "RAM Disk"},
                                                         {"DeviceID", "/"},
                                                         {"DriveType", "6"},
                                                         {"FileSystem", type},
                                                         {"FreeSpace", "43827200000"},
                                                         {"Name", "/"},
                                                         {"Size", "102400000000"}}));
    }
}

// ---- dm-multipath ------------------------------------------------------------------------

// A storage array's LUN over two Fibre Channel paths (sdb, sdc) joined into mpatha: one
// drive, at its first path, beside the local disk.
TEST(DmMultipath, OneDrivePerLunAtItsFirstPath) {
    FixtureTree tree{"dm-multipath"};
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_DiskDrive");
    ASSERT_EQ(objects.size(), 2U);
    expectObject(objects[0], "Win32_DiskDrive",
                 with(diskCommon("app01"), {{"Caption", "Micron_5300_MTFDDAK480TDS"},
                                            {"DeviceID", "/dev/sda"},
                                            {"FirmwareRevision", "U001"},
                                            {"Index", "0"},
                                            {"InterfaceType", "IDE"},
                                            {"Model", "Micron_5300_MTFDDAK480TDS"},
                                            {"Name", "/dev/sda"},
                                            {"Partitions", "2"},
                                            {"SCSILogicalUnit", "0"},
                                            {"SCSIPort", "0"},
                                            {"SerialNumber", "2034291A8C3F"},
                                            {"Size", "480101368320"},
                                            {"TotalCylinders", "58369"},
                                            {"TotalSectors", "937697985"},
                                            {"TotalTracks", "14884095"}}));
    expectObject(objects[1], "Win32_DiskDrive",
                 with(diskCommon("app01"), {{"Caption", "NETAPP LUN C-Mode"},
                                            {"DeviceID", "/dev/sdb"},
                                            {"FirmwareRevision", "9800"},
                                            {"Index", "1"},
                                            {"Manufacturer", "NETAPP"},
                                            {"Model", "NETAPP LUN C-Mode"},
                                            {"Name", "/dev/sdb"},
                                            {"Partitions", "0"},
                                            {"SCSILogicalUnit", "1"},
                                            {"SCSIPort", "1"},
                                            {"SerialNumber", "81Dx3E-Ey-1z"},
                                            {"Size", "2199020382720"},
                                            {"TotalCylinders", "267349"},
                                            {"TotalSectors", "4294961685"},
                                            {"TotalTracks", "68173995"}}));
}

// A device-mapper holder that is no multipath map (LVM, LUKS) keeps its disks apart.
TEST(DmMultipath, OtherDeviceMapperHoldersJoinNothing) {
    FixtureTree tree{"dm-multipath"};
    tree.write("/sys/devices/virtual/block/dm-0/dm/uuid", "LVM-Xk2b9Wq0\n");
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_DiskDrive");
    ASSERT_EQ(objects.size(), 3U);
    EXPECT_EQ(text(objects[1], "DeviceID"), "/dev/sdb");
    EXPECT_EQ(text(objects[2], "DeviceID"), "/dev/sdc");
    EXPECT_EQ(text(objects[2], "Index"), "2");
}

}  // namespace
}  // namespace gravelin::testing
