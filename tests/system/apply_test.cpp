// The apply pass of the real daemon against emulated drives: which disks get
// commands, which commands, and the lines the pass writes.
#include <algorithm>
#include <functional>

#include "sandbox.h"

using namespace sandbox;
using Lines = std::vector<std::string>;

namespace {

Lines Cat(std::initializer_list<Lines> parts)
{
    Lines out;
    for (const Lines &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::string MS10H = "5a 00 08 00 00 00 00 00 08 00";
const std::string MS10_36 = "5a 00 08 00 00 00 00 00 24 00";
const std::string ATA16 = "85 06 20 00 82 00 00 00 00 00 00 00 00 40 ef 00";
const std::string SYNC10 = "35 00 00 00 00 00 00 00 00 00";
const std::string SYNC16 = "91 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
const Lines READ = {MS10H, MS10_36};  // the Caching page, header first
const Lines SWITCH_BY_ATA = Cat({READ, {"hdio 0", ATA16}, READ});
const std::string PAGE_OFF = "ff ff ff ff 00 00 02 00 08 12 10 00 ff ff 00 00 ff ff ff ff 00 14 00 00 00 00 00 00";
const std::string MSEL10 = "55 10 00 00 00 00 00 00 24 00 > 00 00 00 00 00 00 00 08 " + PAGE_OFF;
const std::string MSEL6 = "15 10 00 00 20 00 > 00 00 00 08 " + PAGE_OFF;
// A SAS drive: the ATA command "succeeds" with fixed-format sense, WCE stays.
const Lines SAS_TO_SELECT = {MS10H, MS10_36, "hdio 0", ATA16, MS10H, MS10_36, MS10H, MS10_36, MSEL10};
const Lines SAS_REFUSED = Cat({SAS_TO_SELECT, {"1a 00 08 00 04 00", "1a 00 08 00 20 00", MSEL6}});
const Lines SAS_SELECTED = Cat({SAS_TO_SELECT, {MS10H, MS10_36}});  // confirmed by a reading

const char *const FSID[] = {"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", "1f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f1",
                            "2f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f2", "3f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f3",
                            "4f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f4"};

// The lines between the daemon's start and stop lines.
Lines PassLines()
{
    Lines all = LogMessages();
    EXPECT_GE(all.size(), 2u);
    if (all.size() < 2) return all;
    EXPECT_EQ(all.front(), "INFO ceph zarvel start");
    EXPECT_EQ(all.back(), "INFO ceph zarvel stop");
    return Lines(all.begin() + 1, all.end() - 1);
}

struct ApplyCase {
    const char *name;
    std::string drive;  // of sdc, a BlueStore data disk with block.db on sdf
    int rotational;
    std::string writeCache;
    Lines commands;
    Lines log;
    std::string writeCacheAfter;
};
void PrintTo(const ApplyCase &c, std::ostream *os) { *os << c.name; }

const Lines SWITCHED = {"INFO change config of sdc succeed", "INFO rescan dev sdc return 0",
                        "INFO sync device sdc return 0"};
const Lines REFUSED = {"WARNING SG IO excute failed 1 0 8.", "WARNING SG IO excute failed 1 0 8.",
                       "ERROR change config of sdc failed"};

const ApplyCase kApply[] = {
    // One visit per whole disk, whatever its partitions.
    {"switched_once_rescanned_flushed", "personality=sata", 1, "write back", Cat({SWITCH_BY_ATA, {SYNC10}}),
     SWITCHED, "write through"},
    // Anyone may write the kernel's view; only the drive's WCE counts.
    {"kernel_says_write_through_drive_caching", "personality=sata", 1, "write through",
     Cat({SWITCH_BY_ATA, {SYNC10}}), SWITCHED, "write through"},
    {"kernel_says_write_through_drive_off", "personality=sata wce=0", 1, "write through", READ, {},
     "write through"},
    {"not_rotational", "personality=sata", 0, "write back", {}, {}, "write back"},
    {"drive_already_off_kernel_stale", "personality=sata wce=0", 1, "write back", READ,
     {"INFO rescan dev sdc return 0"}, "write through"},
    {"flush_falls_back_to_sixteen", "personality=sata reject=35", 1, "write back",
     Cat({SWITCH_BY_ATA, {SYNC10, SYNC16}}),
     {"INFO change config of sdc succeed", "INFO rescan dev sdc return 0", "WARNING SG IO excute failed 1 0 8.",
      "INFO sync device sdc return 0"},
     "write through"},
    {"switch_fails_no_rescan_no_flush", "personality=sas reject=55,15", 1, "write back", SAS_REFUSED, REFUSED,
     "write back"},
    {"unopenable_node", "", 1, "write back", {}, {"ERROR open /dev/sdc failed"},
     "write back"},
};

class ApplyTest : public SandboxTest, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyTest, OneCycle)
{
    const ApplyCase &c = GetParam();
    AddDisk({"sdc", {"sdc1"}, c.rotational, c.writeCache, c.drive});
    AddDisk({"sdf", {"sdf1"}, 0, "write back", "personality=sata"});
    AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/sdc1", "/dev/sdf1"});
    Exit result = RunOneCycle(WithDrives());
    EXPECT_TRUE(result.exited && result.status == 0);
    EXPECT_EQ(DriveCommands("sdc"), c.commands);
    EXPECT_TRUE(DriveCommands("sdf").empty());
    EXPECT_EQ(PassLines(), c.log);
    EXPECT_EQ(ReadFile("/sys/block/sdc/queue/write_cache"), c.writeCacheAfter + "\n");
}
INSTANTIATE_TEST_SUITE_P(Disks, ApplyTest, ::testing::ValuesIn(kApply),
                         [](const auto &info) { return std::string(info.param.name); });

class ApplyPassTest : public SandboxTest {};

// Not targets: a disk of no OSD, and the data disk of a BlueStore OSD that
// keeps its block.db on the same device.
TEST_F(ApplyPassTest, NonTargetGetsNoCommand)
{
    AddDisk({"sdc", {}, 1, "write back", "personality=sata"});
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/sdd", ""});  // no separate block.db
    RunOneCycle(WithDrives());
    EXPECT_TRUE(DriveCommands("sdc").empty());
    EXPECT_TRUE(DriveCommands("sdd").empty());
    EXPECT_EQ(PassLines(), Lines{});
}

// A storage server as it is met in practice: exactly the rotational data
// disks of BlueStore OSDs with block.db elsewhere are switched, once; after
// that each visit of a target reads its Caching page and sends nothing else.
TEST_F(ApplyPassTest, RealisticServerAcrossTwoRuns)
{
    AddDisk({"sdb", {}, 1, "write back", "personality=sata"});             // LVM, db on SSD
    AddDisk({"sdc", {"sdc1", "sdc2"}, 1, "write back", "personality=sas"});  // partition, db on SSD
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});             // no separate db
    AddDisk({"sde", {"sde1"}, 1, "write back", "personality=sata"});       // filestore
    AddDisk({"sdf", {"sdf1", "sdf2", "sdf3"}, 0, "write back", "personality=sata"});  // the SSD
    AddDisk({"sdg", {}, 0, "write back", "personality=sata"});             // OSD on an SSD
    AddLv("ceph-a", "osd-block-0", {"sdb"});
    AddLv("ceph-db", "db-0", {"sdf1"});
    AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/ceph-a/osd-block-0", "/dev/ceph-db/db-0"});
    AddOsd({"ceph-1", FSID[1], "bluestore", "/dev/sdc2", "/dev/sdf2"});
    AddOsd({"ceph-2", FSID[2], "bluestore", "/dev/sdd", ""});
    AddOsd({"ceph-3", FSID[3], "filestore", "/dev/sde1", "/dev/sdf3"});
    AddOsd({"ceph-4", FSID[4], "bluestore", "/dev/sdg", "/dev/sdf3"});

    RunOneCycle(WithDrives());
    const Lines sata = Cat({SWITCH_BY_ATA, {SYNC10}});
    const Lines sas = Cat({SAS_SELECTED, {SYNC10}});  // each whole disk once, whatever its partitions
    EXPECT_EQ(DriveCommands("sdb"), sata);
    EXPECT_EQ(DriveCommands("sdc"), sas);
    for (const char *other : {"sdd", "sde", "sdf", "sdg"}) {
        EXPECT_TRUE(DriveCommands(other).empty()) << other;
        EXPECT_EQ(DriveWce(other), 1) << other;
    }
    Lines lines = PassLines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (Lines{"INFO change config of sdb succeed", "INFO change config of sdc succeed",
                            "INFO rescan dev sdb return 0", "INFO rescan dev sdc return 0",
                            "INFO sync device sdb return 0", "INFO sync device sdc return 0"}));

    RunOneCycle(WithDrives());
    EXPECT_EQ(DriveCommands("sdb"), Cat({sata, READ}));
    EXPECT_EQ(DriveCommands("sdc"), Cat({sas, READ}));
    for (const char *other : {"sdd", "sde", "sdf", "sdg"}) {
        EXPECT_TRUE(DriveCommands(other).empty()) << other;
    }
    EXPECT_EQ(LogMessages().size(), 10u);  // the second run adds only start and stop
}

// Layouts as ceph-volume, cephadm and multipathd leave them: the disks that
// get switched. sdb and sdc are rotational, sdf is the SSD of the block.dbs.
struct Layout {
    const char *name;
    std::function<void()> make;
    Lines switched;  // disks with "change config ... succeed", one of them for a second path
    size_t switches;
};
void PrintTo(const Layout &l, std::ostream *os) { *os << l.name; }

const std::string kCephadm = "/var/lib/ceph/5e1f0c2a-0d5b-4c1e-9a7e-1234567890ab/osd.3";

const Layout kLayouts[] = {
    {"lvm_dmcrypt", [] {
         AddMapper({"CRYPT-LUKS2-1-x", "/dev/mapper/x", {AddLv("ceph-a", "osd-block-0", {"sdb"})}});
         AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/mapper/x", "/dev/sdf1"});
     }, {"sdb"}, 1},
    {"lv_over_dmcrypt", [] {
         AddLv("ceph-a", "osd-block-0", {AddMapper({"CRYPT-PLAIN-sdb", "/dev/mapper/sdb_crypt", {"sdb"}})});
         AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/ceph-a/osd-block-0", "/dev/sdf1"});
     }, {"sdb"}, 1},
    {"raw_dmcrypt_on_partition", [] {
         std::string link = std::string("/dev/mapper/ceph-") + FSID[1] + "-sdc2-block-dmcrypt";
         AddMapper({"CRYPT-LUKS2-2-y", link, {"sdc2"}});
         AddOsd({"ceph-1", FSID[1], "bluestore", link, "/dev/sdf2"});
     }, {"sdc"}, 1},
    {"cephadm_root", [] { AddOsd({kCephadm, FSID[3], "bluestore", "/dev/sdc2", "/dev/sdf1"}); }, {"sdc"}, 1},
    {"multipath_two_paths_one_switch", [] {
         WriteFile(std::string(kSandboxDir) + "/drives/sdc", "same=sdb");
         AddMapper({"mpath-3600a0b8000", "/dev/mapper/mpatha", {"sdb", "sdc"}});
         AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/mapper/mpatha", "/dev/sdf1"});
     }, {"sdb", "sdc"}, 1},
    {"db_in_the_same_volume_group", [] {
         AddLv("ceph-a", "osd-block-0", {"sdb"});
         AddLv("ceph-a", "osd-db-0", {"sdb"});
         AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/ceph-a/osd-block-0", "/dev/ceph-a/osd-db-0"});
     }, {}, 0},
};

class LayoutTest : public SandboxTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(LayoutTest, SwitchedDisks)
{
    AddDisk({"sdb", {}, 1, "write back", "personality=sata"});
    AddDisk({"sdc", {"sdc1", "sdc2"}, 1, "write back", "personality=sata"});
    AddDisk({"sdf", {"sdf1", "sdf2"}, 0, "write back", "personality=sata"});
    GetParam().make();
    RunOneCycle(WithDrives());
    Lines switched;
    for (const std::string &line : PassLines()) {
        if (line.rfind("INFO change config of ", 0) == 0) switched.push_back(line.substr(22, 3));
        EXPECT_EQ(line.find("ERROR"), std::string::npos) << line;
    }
    EXPECT_EQ(switched.size(), GetParam().switches) << ::testing::PrintToString(switched);
    for (const std::string &disk : switched) {
        EXPECT_NE(std::find(GetParam().switched.begin(), GetParam().switched.end(), disk), GetParam().switched.end())
            << disk;
        EXPECT_EQ(DriveWce(disk), 0) << disk;
    }
    EXPECT_TRUE(DriveCommands("sdf").empty());
}
INSTANTIATE_TEST_SUITE_P(Identity, LayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
