// The per-cycle refresh: lists in directory order, change detection, the
// rebuild only on a change, and everything released on a failure.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kOsd = "/var/lib/ceph/osd/";

std::vector<std::string> Slots(const char *list, int count, int slot)
{
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.emplace_back(list + static_cast<size_t>(i) * slot);
    }
    return out;
}

// Two LVM OSDs, one raw, a system disk: the layout most rows start from.
void StandardLayout()
{
    AddDisk({"sda", {"sda1", "sda2"}, 0});
    AddDisk({"sdb"});
    AddDisk({"sdc", {"sdc1"}});
    AddDisk({"sdd", {"sdd1", "sdd2"}});
    AddLv("ceph-a", "osd-block-0", {"sdb"});
    AddPvs({{"sdb", "ceph-a"}});
    AddOsd({"ceph-0", FsidOf(0), "bluestore", "/dev/ceph-a/osd-block-0", "/dev/sdd1"});
    AddOsd({"ceph-1", FsidOf(1), "bluestore", "/dev/sdc", "/dev/sdd2"});
    AddDisk({"sde"});
    AddOsd({"ceph-2", FsidOf(2), "bluestore", "/dev/sde", ""});
}

class RefreshTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        FreeDeviceInfo();
    }
    void TearDown() override { FreeDeviceInfo(); }
};

}  // namespace

TEST_F(RefreshTest, NothingThereAllocatesNothing)
{
    int popens = PopenCalls();
    EXPECT_EQ(UpdateDeviceInfo(), 0);
    MakeDirs("/var/lib/ceph/osd");
    EXPECT_EQ(UpdateDeviceInfo(), 0);
    EXPECT_EQ(g_fsidList, nullptr);
    EXPECT_EQ(g_devList, nullptr);
    EXPECT_EQ(devMap, nullptr);
    EXPECT_EQ(PopenCalls(), popens);
    EXPECT_TRUE(LogMessages().empty());
}

TEST_F(RefreshTest, ListsFollowDirectoryOrder)
{
    StandardLayout();
    WriteFile("/dev/sdx-not-a-node", "");
    AddBlockNode("nvme0n1");
    ASSERT_EQ(mknod("/dev/sdz", S_IFCHR | 0660, makedev(1, 3)), 0);  // not a block device
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    std::vector<std::string> names;
    for (const std::string &name : DirOrder("/dev")) {
        if (name.rfind("sd", 0) == 0 && name.find('-') == std::string::npos && name != "sdz") {
            names.push_back(name);
        }
    }
    EXPECT_EQ(Slots(g_devList, g_devNum, DEV_NAME_SLOT), names);
    std::vector<std::string> fsids;
    for (const std::string &dir : DirOrder("/var/lib/ceph/osd")) {
        fsids.push_back(FsidOf(dir.back() - '0'));
    }
    EXPECT_EQ(Slots(g_fsidList, g_fsidNum, FSID_SLOT), fsids);
    EXPECT_EQ(g_devMapNum, g_devNum);
}

TEST_F(RefreshTest, UnchangedListsStartNoChildAndKeepTheMap)
{
    StandardLayout();
    int popens = PopenCalls();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    ASSERT_GT(PopenCalls(), popens);
    const DevMapEntry *map = devMap;
    popens = PopenCalls();
    int pvs = PvsCalls();
    for (int cycle = 0; cycle < 3; ++cycle) {
        EXPECT_EQ(UpdateDeviceInfo(), 0);
    }
    EXPECT_EQ(PopenCalls(), popens);
    EXPECT_EQ(PvsCalls(), pvs);
    EXPECT_EQ(devMap, map);
    EXPECT_EQ(IsTargetDevice("sdb"), 1);
    EXPECT_EQ(IsTargetDevice("sdc"), 1);
    EXPECT_EQ(IsTargetDevice("sda"), 0);
    EXPECT_EQ(IsTargetDevice("sdd"), 0);
    EXPECT_TRUE(LogMessages().empty());
}

TEST_F(RefreshTest, ChangesBetweenCycles)
{
    const struct {
        const char *what;
        std::function<void()> change;
        bool rebuilt;
        std::vector<std::string> targets;  // after the second cycle
    } rows[] = {
        {"nothing", [] {}, false, {"sdb", "sdc"}},
        {"a new partition", [] { AddBlockNode("sdb3"); }, true, {"sdb", "sdc"}},
        {"a disk removed", [] { unlink("/dev/sdc"); unlink("/dev/sdc1"); }, true, {"sdb"}},
        {"a new OSD", [] { AddOsd({"ceph-4", FsidOf(4), "bluestore", "/dev/sda2", "/dev/sdd1"}); }, true,
         {"sdb", "sdc"}},
        {"an fsid rewritten: no longer the label's", [] { WriteFile(kOsd + "ceph-1/fsid", FsidOf(7) + "\n"); }, true,
         {"sdb"}},
        {"all OSDs removed", [] { MakeDirs("/var/lib/zarvel-sandbox/x"); rename("/var/lib/ceph/osd", "/var/lib/zarvel-sandbox/x/osd"); },
         true, {}},
        {"type changed, fsid kept", [] { WriteFile(kOsd + "ceph-1/type", "filestore\n"); }, true, {"sdb"}},
        {"block.db removed, fsid kept", [] { unlink((kOsd + "ceph-1/block.db").c_str()); }, true, {"sdb"}},
        {"block.db added (new-db), fsid kept", [] { symlink("/dev/sdd1", (kOsd + "ceph-2/block.db").c_str()); }, true,
         {"sdb", "sdc", "sde"}},
        {"an OSD without fsid added", [] { AddOsd({"ceph-3", "", "bluestore", "/dev/sdc", ""}); }, false,
         {"sdb", "sdc"}},
        {"a non-sd block device added", [] { AddBlockNode("nvme0n1"); }, false, {"sdb", "sdc"}},
    };
    for (const auto &row : rows) {
        Reset();
        FreeDeviceInfo();
        StandardLayout();
        ASSERT_EQ(UpdateDeviceInfo(), 0) << row.what;
        row.change();
        int popens = PopenCalls();
        ASSERT_EQ(UpdateDeviceInfo(), 0) << row.what;
        EXPECT_EQ(PopenCalls() > popens || (devMap == nullptr && g_devNum > 0), row.rebuilt) << row.what;
        std::vector<std::string> targets;
        for (const char *disk : {"sda", "sdb", "sdc", "sdd", "sde"}) {
            if (IsTargetDevice(disk) == 1) targets.emplace_back(disk);
        }
        EXPECT_EQ(targets, row.targets) << row.what;
    }
}

TEST_F(RefreshTest, ChangedDirectoryOrderRebuilds)
{
    StandardLayout();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    std::vector<std::string> before = Slots(g_devList, g_devNum, DEV_NAME_SLOT);
    // Recreating the first and the last entry changes the directory order of
    // tmpfs, whether it lists newest or oldest first.
    for (const std::string &moved : {before.front(), before.back()}) {
        unlink(("/dev/" + moved).c_str());
        AddBlockNode(moved);
    }
    std::vector<std::string> order;
    for (const std::string &name : DirOrder("/dev")) {
        if (std::find(before.begin(), before.end(), name) != before.end()) order.push_back(name);
    }
    ASSERT_NE(order, before) << "recreating an entry did not change the order";
    int popens = PopenCalls();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    EXPECT_EQ(Slots(g_devList, g_devNum, DEV_NAME_SLOT), order);
    EXPECT_EQ(PopenCalls() - popens, g_devNum + 1);  // listings, one VG query
    for (int i = 0; i < g_devMapNum; ++i) {
        EXPECT_STREQ(devMap[i].name, order[i].c_str());
    }
}

TEST_F(RefreshTest, FsidFirstLine)
{
    const std::string f36 = FsidOf(5);
    const struct {
        const char *what;
        std::string content;
        bool counted;
        std::string log;  // logged by each pass that reads the file
    } rows[] = {
        {"36 and a line feed", f36 + "\n", true, ""},
        {"36 and a line feed, more lines", f36 + "\nmore\n", true, ""},
        {"35 and a line feed", f36.substr(1) + "\n", false, "WARNING fsidlen error:36"},
        {"36 without line feed", f36, false, "WARNING fsidlen error:36"},
        {"37 without line feed", f36 + "9", true, ""},
        {"37 and a line feed", f36 + "9\n", false, "WARNING fsidlen error:38"},
        {"empty", "", false, "ERROR fgets error:/var/lib/ceph/osd/ceph-5/fsid"},
        {"no file", "-", false, ""},
    };
    for (const auto &row : rows) {
        Reset();
        FreeDeviceInfo();
        AddOsd({"ceph-1", FsidOf(1), "bluestore"});  // so that the filling pass runs
        MakeDirs(kOsd + "ceph-5");
        if (row.content != "-") WriteFile(kOsd + "ceph-5/fsid", row.content);
        ASSERT_EQ(UpdateDeviceInfo(), 0) << row.what;
        std::vector<std::string> stored = Slots(g_fsidList, g_fsidNum, FSID_SLOT);
        EXPECT_EQ(std::find(stored.begin(), stored.end(), f36) != stored.end(), row.counted) << row.what;
        EXPECT_EQ(g_fsidNum, row.counted ? 2 : 1) << row.what;
        EXPECT_EQ(LogMessages(), row.log.empty() ? std::vector<std::string>{} : std::vector<std::string>(1, row.log))
            << row.what;
    }
}

TEST_F(RefreshTest, ReadOsdFsidDestinations)
{
    AddOsd({"ceph-1", FsidOf(1) + "\n" + std::string(300, 'x'), "", "", "", true});
    char dest[300];
    const struct {
        const char *name;
        uint32_t destLen;
        int result;
        std::string stored;
    } rows[] = {
        {"ceph-1", FSID_SLOT, 0, FsidOf(1)},
        {"ceph-1", sizeof(dest), 0, FsidOf(1)},  // never more than the fsid
        {"ceph-1", 9, 0, FsidOf(1).substr(0, 8)},
        {".", FSID_SLOT, 1, ""},
        {"..", FSID_SLOT, 1, ""},
        {".ceph-1", FSID_SLOT, 1, ""},
        {"ceph-9", FSID_SLOT, 1, ""},
    };
    for (const auto &row : rows) {
        memset(dest, 0, sizeof(dest));
        EXPECT_EQ(ReadOsdFsid(row.name, dest, row.destLen), row.result) << row.name;
        EXPECT_EQ(std::string(dest), row.stored) << row.name;
    }
    EXPECT_EQ(ReadOsdFsid("ceph-1", nullptr, 0), 0);
    EXPECT_EQ(ReadOsdFsid("ceph-1", dest, 0), 1);
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"ERROR memcpy_s error:34"});
}

TEST_F(RefreshTest, FailureReleasesEverythingAndNextCycleRebuilds)
{
    StandardLayout();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    rename("/var/lib/ceph/osd", "/var/lib/ceph/osd-away");
    WriteFile("/var/lib/ceph/osd", "not a directory");
    int popens = PopenCalls();
    EXPECT_EQ(UpdateDeviceInfo(), 1);
    EXPECT_EQ(PopenCalls(), popens);
    EXPECT_EQ(g_fsidList, nullptr);
    EXPECT_EQ(g_fsidNum, 0);
    EXPECT_EQ(g_devList, nullptr);
    EXPECT_EQ(g_devNum, 0);
    EXPECT_EQ(devMap, nullptr);
    EXPECT_EQ(g_devMapNum, 0);
    EXPECT_EQ(IsTargetDevice("sdb"), 0);
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"ERROR opendir error:/var/lib/ceph/osd"});
    unlink("/var/lib/ceph/osd");
    rename("/var/lib/ceph/osd-away", "/var/lib/ceph/osd");
    EXPECT_EQ(UpdateDeviceInfo(), 0);
    EXPECT_GT(PopenCalls(), popens);
    EXPECT_EQ(IsTargetDevice("sdb"), 1);
}

// An OSD tree that cannot even be looked at fails the cycle where it shows
// instead of passing for a host without OSDs. A symlink loop stands in for
// a path without search permission, which root in the sandbox always has.
TEST_F(RefreshTest, UnreachableOsdTreeIsLoggedNotTakenForNone)
{
    StandardLayout();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    rename("/var/lib/ceph/osd", "/var/lib/ceph/osd-away");
    ASSERT_EQ(symlink("osd", "/var/lib/ceph/osd"), 0);
    EXPECT_EQ(UpdateDeviceInfo(), 1);
    EXPECT_EQ(IsTargetDevice("sdb"), 0);
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"ERROR opendir error:/var/lib/ceph/osd"});
}
