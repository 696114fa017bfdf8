// The apply pass of the real daemon against emulated drives: which disks get
// commands, which commands, and the lines the pass writes.
#include <algorithm>

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
const Lines SWITCH_BY_ATA = {MS10H, MS10_36, "hdio 0", ATA16, MS10H, MS10_36};
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
    {"switched_once_rescanned_flushed", "personality=sata", 1, "write back", Cat({SWITCH_BY_ATA, {SYNC10}}),
     SWITCHED, "write through"},
    {"kernel_says_write_through", "personality=sata", 1, "write through", {}, {}, "write through"},
    {"not_rotational", "personality=sata", 0, "write back", {}, {}, "write back"},
    {"drive_already_off_kernel_stale", "personality=sata wce=0", 1, "write back", {MS10H, MS10_36},
     {"INFO rescan dev sdc return 0"}, "write through"},
    {"flush_falls_back_to_sixteen", "personality=sata reject=35", 1, "write back",
     Cat({SWITCH_BY_ATA, {SYNC10, SYNC16}}),
     {"INFO change config of sdc succeed", "INFO rescan dev sdc return 0", "WARNING SG IO excute failed 1 0 8.",
      "INFO sync device sdc return 0"},
     "write through"},
    // Nothing changes the kernel's view, so the partition's visit tries again.
    {"switch_fails_no_rescan_no_flush", "personality=sas reject=55,15", 1, "write back",
     Cat({SAS_REFUSED, SAS_REFUSED}), Cat({REFUSED, REFUSED}),
     "write back"},
    {"unopenable_node", "", 1, "write back", {}, {"ERROR open /dev/sdc failed", "ERROR open /dev/sdc failed"},
     "write back"},
};

class ApplyTest : public SandboxTest, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyTest, OneCycle)
{
    const ApplyCase &c = GetParam();
    AddDisk({"sdc", {"sdc1"}, c.rotational, c.writeCache, c.drive});
    AddDisk({"sdf", {"sdf1"}, 0, "write back", "personality=sata"});
    AddPvs({});
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
    AddPvs({});
    AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/sdd", ""});  // no separate block.db
    RunOneCycle(WithDrives());
    EXPECT_TRUE(DriveCommands("sdc").empty());
    EXPECT_TRUE(DriveCommands("sdd").empty());
    EXPECT_EQ(PassLines(), Lines{});
}

// A storage server as it is met in practice: exactly the rotational data
// disks of BlueStore OSDs with block.db elsewhere are switched, once.
TEST_F(ApplyPassTest, RealisticServerAcrossTwoRuns)
{
    AddDisk({"sdb", {}, 1, "write back", "personality=sata"});             // LVM, db on SSD
    AddDisk({"sdc", {"sdc1", "sdc2"}, 1, "write back", "personality=sas"});  // partition, db on SSD
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});             // no separate db
    AddDisk({"sde", {"sde1"}, 1, "write back", "personality=sata"});       // filestore
    AddDisk({"sdf", {"sdf1", "sdf2", "sdf3"}, 0, "write back", "personality=sata"});  // the SSD
    AddDisk({"sdg", {}, 0, "write back", "personality=sata"});             // OSD on an SSD
    AddPvs({{"sdb", "ceph-a"}, {"sdf1", "ceph-db"}});
    for (const char *lv : {"/dev/ceph-a/osd-block-0", "/dev/ceph-db/db-0"}) {  // the LVs' nodes
        MakeDirs(std::string(lv).substr(0, std::string(lv).rfind('/')));
        WriteFile(lv, "");
    }
    AddOsd({"ceph-0", FSID[0], "bluestore", "/dev/ceph-a/osd-block-0", "/dev/ceph-db/db-0"});
    AddOsd({"ceph-1", FSID[1], "bluestore", "/dev/sdc2", "/dev/sdf2"});
    AddOsd({"ceph-2", FSID[2], "bluestore", "/dev/sdd", ""});
    AddOsd({"ceph-3", FSID[3], "filestore", "/dev/sde1", "/dev/sdf3"});
    AddOsd({"ceph-4", FSID[4], "bluestore", "/dev/sdg", "/dev/sdf3"});

    RunOneCycle(WithDrives());
    const Lines sas = Cat({SAS_SELECTED, {SYNC10}});
    EXPECT_EQ(DriveCommands("sdb"), Cat({SWITCH_BY_ATA, {SYNC10}}));
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
    EXPECT_EQ(DriveCommands("sdb").size(), 7u);
    EXPECT_EQ(DriveCommands("sdc").size(), sas.size());
    for (const char *other : {"sdd", "sde", "sdf", "sdg"}) {
        EXPECT_TRUE(DriveCommands(other).empty()) << other;
    }
    EXPECT_EQ(LogMessages().size(), 10u);  // the second run adds only start and stop
}

}  // namespace
