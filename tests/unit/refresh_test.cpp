// The per-cycle refresh: the whole inventory anew each cycle, so that every
// change (and a device that appears late) counts in the first cycle that sees it.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kOsd = "/var/lib/ceph/osd/";

// Two LVM OSDs, one raw, a system disk: the layout most rows start from.
void StandardLayout()
{
    AddDisk({"sda", {"sda1", "sda2"}, 0});
    AddDisk({"sdb"});
    AddDisk({"sdc", {"sdc1"}});
    AddDisk({"sdd", {"sdd1", "sdd2"}});
    AddLv("ceph-a", "osd-block-0", {"sdb"});
    AddOsd({"ceph-0", FsidOf(0), "bluestore", "/dev/ceph-a/osd-block-0", "/dev/sdd1"});
    AddOsd({"ceph-1", FsidOf(1), "bluestore", "/dev/sdc", "/dev/sdd2"});
    AddDisk({"sde"});
    AddOsd({"ceph-2", FsidOf(2), "bluestore", "/dev/sde", ""});
}

bool Target(const char *disk)
{
    return TargetRule(FindRow(disk)) == TARGET_SELECTED;
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
    EXPECT_EQ(g_osdList, nullptr);
    EXPECT_EQ(g_devList, nullptr);
    EXPECT_EQ(g_rows, nullptr);
    EXPECT_EQ(PopenCalls(), popens);
    EXPECT_TRUE(LogMessages().empty());
}

TEST_F(RefreshTest, ChangesBetweenCycles)
{
    const struct {
        const char *what;
        std::function<void()> change;
        std::vector<std::string> targets;  // after the second cycle
    } rows[] = {
        {"nothing", [] {}, {"sdb", "sdc"}},
        {"a new partition", [] { AddBlockNode("sdb3"); }, {"sdb", "sdc"}},
        {"a disk removed", [] { std::filesystem::remove_all("/sys/block/sdc"); }, {"sdb"}},
        {"a new OSD", [] { AddOsd({"ceph-4", FsidOf(4), "bluestore", "/dev/sda2", "/dev/sdd1"}); },
         {"sdb", "sdc"}},
        {"an fsid rewritten: no longer the label's", [] { WriteFile(kOsd + "ceph-1/fsid", FsidOf(7) + "\n"); },
         {"sdb"}},
        {"all OSDs removed", [] { MakeDirs("/var/lib/zarvel-sandbox/x"); rename("/var/lib/ceph/osd", "/var/lib/zarvel-sandbox/x/osd"); }, {}},
        {"type changed, fsid kept", [] { WriteFile(kOsd + "ceph-1/type", "filestore\n"); }, {"sdb"}},
        {"block.db removed, fsid kept", [] { unlink((kOsd + "ceph-1/block.db").c_str()); }, {"sdb"}},
        {"block.db added (new-db), fsid kept", [] { symlink("/dev/sda2", (kOsd + "ceph-2/block.db").c_str()); WriteLabel("sda2", FsidOf(2), "bluefs db"); },
         {"sdb", "sdc", "sde"}},
        {"an OSD without fsid added", [] { AddOsd({"ceph-3", "", "bluestore", "/dev/sdc", ""}); },
         {"sdb", "sdc"}},
        {"a non-sd block device added", [] { AddBlockNode("nvme0n1"); }, {"sdb", "sdc"}},
        {"a late LV", [] { AddDisk({"sdf"}); AddOsd({"ceph-5", FsidOf(5), "bluestore", "/dev/ceph-f/osd-block-5", "/dev/sda2"});
                           UpdateDeviceInfo(); AddLv("ceph-f", "osd-block-5", {"sdf"}); WriteLabel("dm-1", FsidOf(5)); }, {"sdb", "sdc", "sdf"}},
    };
    for (const auto &row : rows) {
        Reset();
        FreeDeviceInfo();
        StandardLayout();
        ASSERT_EQ(UpdateDeviceInfo(), 0) << row.what;
        row.change();
        ASSERT_EQ(UpdateDeviceInfo(), 0) << row.what;
        std::vector<std::string> targets;
        for (const char *disk : {"sda", "sdb", "sdc", "sdd", "sde", "sdf"}) {
            if (Target(disk)) targets.emplace_back(disk);
        }
        EXPECT_EQ(targets, row.targets) << row.what;
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
        EXPECT_EQ(g_osdNum, row.counted ? 2 : 1) << row.what;
        EXPECT_EQ(std::string(g_osdList[0].fsid) == f36 || std::string(g_osdList[g_osdNum - 1].fsid) == f36, row.counted) << row.what;
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
    };
    auto read = [](const char *name, char *to, uint32_t len) {
        int fd = open((kOsd + name).c_str(), O_RDONLY | O_DIRECTORY);
        int rc = ReadFsidAt(fd, (kOsd + name).c_str(), to, len);
        close(fd);
        return rc;
    };
    for (const auto &row : rows) {
        memset(dest, 0, sizeof(dest));
        EXPECT_EQ(read(row.name, dest, row.destLen), row.result) << row.name;
        EXPECT_EQ(std::string(dest), row.stored) << row.name;
    }
    EXPECT_EQ(read("ceph-1", nullptr, 0), 0);
    EXPECT_EQ(read("ceph-1", dest, 0), 1);
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"ERROR memcpy_s error:34"});
}
