// The device map as the first refresh builds it: which name is tied to
// which OSD, through LVM or the device name, and how many children it took.
// Fixture rows name only the fields that matter.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "inventory/inventory.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

struct MapCase {
    const char *what;
    std::vector<Disk> disks;
    std::vector<Osd> osds;
    std::vector<Pv> pvs;                        // none: pvs lists nothing
    Files files;                                // extra files (link targets), path and content
    std::map<std::string, std::string> expect;  // "separateDb/osdType"; unlisted names "0/65535"
    int children;                               // processes the build starts
    std::vector<std::string> log;               // lines written to the log
    Files links;                                // extra symbolic links, path and target
};

const std::string kDir = "/var/lib/ceph/osd/";

std::string Row(const DevMapEntry &entry)
{
    return std::to_string(entry.separateDb) + "/" + std::to_string(entry.osdType);
}

class DevMapTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        FreeDeviceInfo();
    }
    void TearDown() override { FreeDeviceInfo(); }

    void Build(const MapCase &c)
    {
        for (const Disk &disk : c.disks) AddDisk(disk);
        for (const Osd &osd : c.osds) AddOsd(osd);
        if (!c.pvs.empty()) AddPvs(c.pvs);
        for (const auto &[path, content] : c.files) {
            MakeDirs(path.substr(0, path.rfind('/')));
            WriteFile(path, content);
        }
        for (const auto &[path, target] : c.links) {
            MakeDirs(path.substr(0, path.rfind('/')));
            ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        }
    }

    // devMap checked against the expectations, in g_devList order.
    void ExpectMap(const MapCase &c)
    {
        ASSERT_EQ(g_devMapNum, g_devNum) << c.what;
        for (int i = 0; i < g_devMapNum; ++i) {
            std::string name = g_devList + i * DEV_NAME_SLOT;
            EXPECT_EQ(std::string(devMap[i].name), name) << c.what;
            auto it = c.expect.find(name);
            EXPECT_EQ(Row(devMap[i]), it == c.expect.end() ? "0/65535" : it->second) << c.what << ": " << name;
        }
    }
};

Osd Bluestore(const std::string &dir, int n, const std::string &block, const std::string &db)
{
    return Osd{dir, FsidOf(n), "bluestore", block, db};
}

}  // namespace

TEST_F(DevMapTest, NamesTiedToOsds)
{
    const std::string lv = "/dev/ceph-a/osd-block-1";
    const std::vector<MapCase> cases = {
        {"LVM OSD found through its volume group, not on the partition",
         {{"sdb", {"sdb1"}}, {"sdc", {"sdc1"}}}, {Bluestore("ceph-0", 0, lv, "/dev/sdc1")}, {{"sdb", "ceph-a"}},
         {{lv, ""}}, {{"sdb", "1/3"}}, 4 + 1 + 1, {}},
        {"volume group spanning two disks", {{"sdb"}, {"sdc"}, {"sdd"}},
         {Bluestore("ceph-0", 0, lv, "/dev/sdd")}, {{"sdb", "ceph-a"}, {"sdc", "ceph-a"}}, {{lv, ""}},
         {{"sdb", "1/3"}, {"sdc", "1/3"}}, 3 + 2 + 2, {}},
        {"raw OSD on the whole disk", {{"sdc", {"sdc2"}}, {"sdd", {"sdd1"}}},
         {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd1")}, {}, {}, {{"sdc", "1/3"}}, 4 + 1, {}},
        {"raw OSD on a partition", {{"sdc", {"sdc2"}}, {"sdd", {"sdd1"}}},
         {Bluestore("ceph-0", 0, "/dev/sdc2", "/dev/sdd1")}, {}, {}, {{"sdc2", "1/3"}}, 4 + 1, {}},
        {"physical volume in no volume group: the name is the key", {{"sdb"}, {"sdc"}},
         {Bluestore("ceph-0", 0, "/dev/sdb", "/dev/sdc")}, {{"sdb", ""}}, {}, {{"sdb", "1/3"}}, 2 + 1 + 1, {}},
        {"block.db absent", {{"sdc"}}, {Bluestore("ceph-0", 0, "/dev/sdc", "")}, {}, {}, {{"sdc", "0/3"}}, 2, {}},
        {"block.db on the same target", {{"sdc"}}, {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdc")}, {}, {},
         {{"sdc", "0/3"}}, 2, {}},
        {"block.db in the volume group of block is not separate", {{"sdb"}},
         {Bluestore("ceph-0", 0, lv, "/dev/ceph-a/osd-db-1")}, {{"sdb", "ceph-a"}},
         {{lv, ""}, {"/dev/ceph-a/osd-db-1", ""}}, {{"sdb", "0/3"}}, 1 + 1 + 1, {}},
        {"block.db on another partition of the same disk is not separate", {{"sdc", {"sdc1", "sdc2"}}},
         {Bluestore("ceph-0", 0, "/dev/sdc1", "/dev/sdc2")}, {}, {}, {{"sdc1", "0/3"}}, 3 + 1, {}},
        {"block through a by-partuuid link is found once resolved", {{"sdc", {"sdc1"}}, {"sdd"}},
         {Bluestore("ceph-0", 0, "/dev/disk/by-partuuid/5e1f", "/dev/disk/by-partuuid/77aa")}, {}, {},
         {{"sdc1", "1/3"}}, 3 + 1, {},
         {{"/dev/disk/by-partuuid/5e1f", "../../sdc1"}, {"/dev/disk/by-partuuid/77aa", "../../sdd"}}},
        {"block.db dangling counts as absent", {{"sdc"}}, {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdq")}, {}, {},
         {{"sdc", "0/3"}}, 2, {}},
        {"filestore", {{"sdc"}, {"sdd"}}, {Osd{"ceph-0", FsidOf(0), "filestore", "/dev/sdc", "/dev/sdd"}}, {}, {},
         {{"sdc", "1/2"}}, 3, {}},
        {"kvstore and memstore", {{"sdc"}, {"sdd"}, {"sde"}},
         {Osd{"ceph-0", FsidOf(0), "kvstore", "/dev/sdc", "/dev/sde"},
          Osd{"ceph-1", FsidOf(1), "memstore", "/dev/sdd", "/dev/sde"}},
         {}, {}, {{"sdc", "1/1"}, {"sdd", "1/0"}}, 3 + 2, {}},
        {"type is a prefix test", {{"sdc"}, {"sdd"}}, {Osd{"ceph-0", FsidOf(0), "bluestore2", "/dev/sdc", "/dev/sdd"}},
         {}, {}, {{"sdc", "1/3"}}, 3, {}},
        {"type in capitals is none", {{"sdc"}, {"sdd"}},
         {Osd{"ceph-0", FsidOf(0), "BlueStore", "/dev/sdc", "/dev/sdd"}}, {}, {}, {{"sdc", "1/65535"}}, 3, {}},
        {"empty type file", {{"sdc"}, {"sdd"}}, {Osd{"ceph-0", FsidOf(0), "", "/dev/sdc", "/dev/sdd"}}, {},
         {{kDir + "ceph-0/type", ""}}, {{"sdc", "1/65535"}}, 3, {}},
        {"no type file", {{"sdc"}, {"sdd"}}, {Osd{"ceph-0", FsidOf(0), "", "/dev/sdc", "/dev/sdd"}}, {}, {},
         {{"sdc", "1/65535"}}, 3, {}},
        {"a dot in the OSD name: type never read", {{"sdc"}, {"sdd"}},
         {Bluestore("ceph-0.old", 0, "/dev/sdc", "/dev/sdd")}, {}, {}, {{"sdc", "1/65535"}}, 2,
         {"WARNING reject dangerous cmd:\"cat /var/lib/ceph/osd/ceph-0.old/type\" "}},
        {"shell characters in the OSD name: no shell", {{"sdc"}, {"sdd"}},
         {Bluestore("ceph-0;pvs", 0, "/dev/sdc", "/dev/sdd"), Bluestore("$(pvs)", 1, "/dev/sdd", "/dev/sdc")}, {},
         {}, {{"sdc", "1/65535"}, {"sdd", "1/65535"}}, 2,
         {"WARNING reject dangerous cmd:\"cat /var/lib/ceph/osd/ceph-0;pvs/type\" ",
          "WARNING reject dangerous cmd:\"cat /var/lib/ceph/osd/$(pvs)/type\" "}},
        {"hidden and non-directory entries never examined", {{"sdc"}, {"sdd"}},
         {Bluestore(".ceph-0", 0, "/dev/sdc", "/dev/sdd"), Bluestore("ceph-1", 1, "/dev/sdz", "")}, {},
         {{kDir + "ceph-2", "a file"}, {"/var/lib/osd-elsewhere/fsid", FsidOf(3) + "\n"}}, {}, 2, {}},
        {"an OSD without a valid fsid is still scanned", {{"sdc"}, {"sdd"}},
         {Bluestore("ceph-0", 0, "/dev/sdz", ""), Osd{"ceph-1", "", "bluestore", "/dev/sdc", "/dev/sdd"}}, {}, {},
         {{"sdc", "1/3"}}, 3, {}},
        {"block is no link", {{"sdc"}}, {Bluestore("ceph-0", 0, "", "")}, {}, {{kDir + "ceph-0/block", ""}}, {}, 1,
         {"ERROR readlink error:/var/lib/ceph/osd/ceph-0/block return:22"}},
        {"no valid fsid at all: empty map, no child", {{"sdc"}, {"sdd"}},
         {Osd{"ceph-0", "", "bluestore", "/dev/sdc", "/dev/sdd"}}, {}, {}, {}, 0, {}},
        {"no OSD directory: empty map, no child", {{"sdc"}}, {}, {}, {}, {}, 0, {}},
    };
    for (const MapCase &c : cases) {
        Reset();
        FreeDeviceInfo();
        Build(c);
        symlink("/var/lib/osd-elsewhere", (kDir + "ceph-3").c_str());  // a link, never an OSD
        int popens = PopenCalls();
        ASSERT_EQ(UpdateDeviceInfo(), 0) << c.what;
        EXPECT_EQ(PopenCalls() - popens, c.children) << c.what;
        EXPECT_EQ(CatCalls() + PvsCalls(), c.children) << c.what;
        if (c.children == 0) {
            EXPECT_EQ(devMap, nullptr) << c.what;
            EXPECT_EQ(g_devMapNum, 0) << c.what;
        } else {
            ExpectMap(c);
        }
        // Lines follow the directory order of /dev, which the rows do not fix.
        std::vector<std::string> log = LogMessages();
        std::vector<std::string> want = c.log;
        std::sort(log.begin(), log.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(log, want) << c.what;
    }
}

TEST_F(DevMapTest, WithoutPvsEveryKeyIsTheName)
{
    MapCase c = {"no pvs command", {{"sdb"}, {"sdc"}, {"sdd"}},
                 {Bluestore("ceph-0", 0, "/dev/ceph-a/osd-block-1", "/dev/sdd"),
                  Bluestore("ceph-1", 1, "/dev/sdc", "/dev/sdd")},
                 {{"sdb", "ceph-a"}}, {{"/dev/ceph-a/osd-block-1", ""}}, {{"sdc", "1/3"}}, 3 + 1, {}};
    Build(c);
    unlink((std::string(kBinDir) + "/pvs").c_str());
    int popens = PopenCalls();
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    EXPECT_EQ(PopenCalls() - popens, c.children);  // a shell per listing, finding nothing
    EXPECT_EQ(PvsCalls(), 0);
    ExpectMap(c);
}

TEST_F(DevMapTest, FirstOsdInDirectoryOrderDecides)
{
    AddDisk({"sdc"});
    AddDisk({"sdd"});
    AddOsd(Osd{"ceph-a", FsidOf(1), "filestore", "/dev/sdc", "/dev/sdd"});
    AddOsd(Osd{"ceph-b", FsidOf(2), "bluestore", "/dev/sdc", ""});
    std::vector<std::string> order = DirOrder("/var/lib/ceph/osd");
    ASSERT_EQ(order.size(), 2U);
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    int slot = std::string(g_devList) == "sdc" ? 0 : 1;
    EXPECT_EQ(Row(devMap[slot]), order[0] == "ceph-a" ? "1/2" : "0/3");
    EXPECT_EQ(CatCalls(), 1);
}

// The stand-in answers as LVM 2.03 does; the map build relies on exactly this.
TEST_F(DevMapTest, StandInPvsAnswersAsLvm)
{
    AddPvs({{"sdb", "ceph-a"}, {"sdc", ""}});
    const struct {
        const char *cmd;
        std::vector<std::string> rows;
    } rows[] = {
        {"pvs", {"  PV         VG     Fmt  Attr PSize   PFree", "  /dev/sdb      ceph-a lvm2 a--  <10.00g    0 ",
                 "  /dev/sdc             lvm2 a--  <10.00g    0 "}},
        {"pvs --noheadings -o vg_name /dev/sdb", {"  ceph-a"}},
        {"pvs --noheadings -o vg_name /dev/sdc", {"    "}},
        {"pvs --noheadings -o vg_name /dev/sdd 2>/dev/null", {}},
    };
    for (const auto &row : rows) {
        FILE *pipe = popen(row.cmd, "r");  // plain popen: the last row needs a redirection
        ASSERT_NE(pipe, nullptr);
        std::vector<std::string> lines;
        for (char line[256]; fgets(line, sizeof(line), pipe) != nullptr;) {
            lines.emplace_back(line, strcspn(line, "\n"));
        }
        int status = pclose(pipe);
        EXPECT_EQ(lines, row.rows) << row.cmd;
        EXPECT_EQ(WEXITSTATUS(status), row.rows.empty() ? 5 : 0) << row.cmd;
    }
}
