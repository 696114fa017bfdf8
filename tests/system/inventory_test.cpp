// The daemon's inventory in the sandbox: exactly the lines it should log, in
// one cycle per run. Every disk's
// drive already reports WCE 0, so the apply pass only reads its Caching page;
// the drive also serves its first bytes (a label, or none).
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace sandbox;

namespace {

void Disks(const std::vector<Disk> &disks)
{
    for (Disk disk : disks) {
        disk.writeCache = "write through";
        disk.drive = "personality=sata wce=0";
        AddDisk(disk);
    }
}

// The lines between the start and the stop line, sorted: their order follows
// the directory order, which the fixture does not fix.
std::vector<std::string> CycleLines(const Exit &exit)
{
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    std::vector<std::string> log = LogMessages();
    EXPECT_GE(log.size(), 2U);
    if (log.size() < 2) return log;
    EXPECT_EQ(log.front(), "INFO ceph zarvel start");
    EXPECT_EQ(log.back(), "INFO ceph zarvel stop");
    std::vector<std::string> middle(log.begin() + 1, log.end() - 1);
    std::sort(middle.begin(), middle.end());
    return middle;
}

class InventorySystemTest : public SandboxTest {};

}  // namespace

TEST_F(InventorySystemTest, SeveralOsdsLogOnlyWhatIsWrong)
{
    Disks({{"sda", {"sda1", "sda2"}, 0}, {"sdb"}, {"sdc"}, {"sdd", {"sdd1"}}, {"sde"},
           {"sdf", {"sdf1", "sdf2", "sdf3"}, 0}});
    AddLv("ceph-a", "osd-block-0", {"sdb"});
    AddOsd({"ceph-0", FsidOf(0), "bluestore", "/dev/ceph-a/osd-block-0", "/dev/sdf1"});
    AddOsd({"ceph-1", FsidOf(1), "bluestore", "/dev/sdc", "/dev/sdf2"});
    AddOsd({"ceph-2", FsidOf(2), "filestore", "/dev/sdd1", ""});
    AddOsd({"ceph-3.old", FsidOf(3), "bluestore", "/dev/sde", "/dev/sdf3"});
    AddOsd({"ceph-4", FsidOf(4).substr(1), "bluestore", "", ""});
    AddOsd({".ceph-5", FsidOf(5), "bluestore", "/dev/sdb", "/dev/sdf1"});
    EXPECT_EQ(CycleLines(RunOneCycle(WithDrives())), std::vector<std::string>{"WARNING fsidlen error:36"});
}

TEST_F(InventorySystemTest, ShellCharactersInOsdNameStartNoShell)
{
    Disks({{"sdc"}, {"sdd"}});
    AddOsd({"ceph-9;cat", FsidOf(9), "bluestore", "/dev/sdc", "/dev/sdd"});
    AddOsd({"$(cat)", FsidOf(8), "bluestore", "/dev/sdd", "/dev/sdc"});
    EXPECT_EQ(CycleLines(RunOneCycle(WithDrives())), std::vector<std::string>{});
}

TEST_F(InventorySystemTest, QuietWhenThereIsNothingToDo)
{
    const struct {
        const char *what;
        bool osd;
    } rows[] = {
        {"no OSD directory", false},
        {"an OSD without block.db", true},
    };
    for (const auto &row : rows) {
        Reset();
        Disks({{"sdb", {"sdb1"}}});
        if (row.osd) AddOsd({"ceph-0", FsidOf(0), "bluestore", "/dev/sdb", ""});
        EXPECT_TRUE(CycleLines(RunOneCycle(WithDrives())).empty()) << row.what;
    }
}

TEST_F(InventorySystemTest, OsdRootThatIsNoDirectoryIsLogged)
{
    Disks({{"sdb"}});
    MakeDirs("/var/lib/ceph");
    WriteFile("/var/lib/ceph/osd", "");
    EXPECT_EQ(CycleLines(RunOneCycle(WithDrives())), std::vector<std::string>{"ERROR opendir error:/var/lib/ceph/osd"});
}
