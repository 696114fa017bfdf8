// The device map as the first refresh builds it: which name is tied to
// which OSD, through LVM or the device name, and how many children it took.
// Fixture rows name only the fields that matter.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <sys/wait.h>

#include <algorithm>
#include <functional>
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

struct MapCase {
    const char *what;
    std::vector<Disk> disks;
    std::vector<Osd> osds;
    std::vector<Pv> pvs;                        // none: pvs lists nothing
    std::map<std::string, std::string> expect;  // "separateDb/osdType"; unlisted names "0/65535"
    std::vector<std::string> log;               // lines written to the log
    std::function<void()> before;               // devices, labels, files made before the OSDs
};

const std::string kDir = "/var/lib/ceph/osd/";
const std::string kCluster = "/var/lib/ceph/5e1f0c2a-0d5b-4c1e-9a7e-1234567890ab/";

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
        if (c.before) c.before();
        for (const Osd &osd : c.osds) AddOsd(osd);
        if (!c.pvs.empty()) AddPvs(c.pvs);
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

Osd Unlabelled(Osd osd)
{
    osd.labelled = false;
    return osd;
}

void Link(const std::string &path, const std::string &target)
{
    MakeDirs(path.substr(0, path.rfind('/')));
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

const std::string kLv = "/dev/ceph-a/osd-block-1";
void LvOn(const std::vector<std::string> &over) { AddLv("ceph-a", "osd-block-1", over); }

}  // namespace

TEST_F(DevMapTest, NamesTiedToOsds)
{
    const std::string crypt = "/dev/mapper/" + FsidOf(0) + "-sdc2-block-dmcrypt";
    const std::vector<MapCase> cases = {
        {.what = "LVM on a whole disk, not its partition", .disks = {{"sdb", {"sdb1"}}, {"sdc", {"sdc1"}}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdc1")}, .pvs = {{"sdb", "ceph-a"}}, .expect = {{"sdb", "1/3"}},
         .before = [] { LvOn({"sdb"}); }},
        {.what = "LVM on a partition", .disks = {{"sdb", {"sdb1"}}, {"sdc"}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdc")}, .pvs = {{"sdb1", "ceph-a"}},
         .expect = {{"sdb1", "1/3"}}, .before = [] { LvOn({"sdb1"}); }},
        {.what = "volume group spanning two disks", .disks = {{"sdb"}, {"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdd")}, .pvs = {{"sdb", "ceph-a"}, {"sdc", "ceph-a"}},
         .expect = {{"sdb", "1/3"}, {"sdc", "1/3"}}, .before = [] { LvOn({"sdb", "sdc"}); }},
        {.what = "dm-crypt over an LV (lvm --dmcrypt)", .disks = {{"sdb"}, {"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/mapper/aB3dE-lv-uuid", "/dev/sdc")}, .pvs = {{"sdb", "ceph-a"}},
         .expect = {{"sdb", "1/3"}},
         .before = [] { AddMapper({"CRYPT-LUKS2-1-aB3dE", "/dev/mapper/aB3dE-lv-uuid", {AddLv("ceph-a", "osd-block-1", {"sdb"})}}); }},
        {.what = "an LV over dm-crypt", .disks = {{"sdb"}, {"sdc"}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdc")}, .expect = {{"sdb", "1/3"}},
         .before = [] { LvOn({AddMapper({"CRYPT-PLAIN-sdb", "/dev/mapper/sdb_crypt", {"sdb"}})}); }},
        {.what = "multipath over two paths: both paths tied", .disks = {{"sdb"}, {"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/mapper/mpatha", "/dev/sdd")},
         .expect = {{"sdb", "1/3"}, {"sdc", "1/3"}},
         .before = [] { AddMapper({"mpath-3600a0b80001", "/dev/mapper/mpatha", {"sdb", "sdc"}}); }},
        {.what = "raw on the whole disk", .disks = {{"sdc", {"sdc2"}}, {"sdd", {"sdd1"}}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd1")}, .expect = {{"sdc", "1/3"}}},
        {.what = "raw on a partition", .disks = {{"sdc", {"sdc2"}}, {"sdd", {"sdd1"}}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc2", "/dev/sdd1")}, .expect = {{"sdc2", "1/3"}}},
        {.what = "raw with dm-crypt", .disks = {{"sdc", {"sdc2"}}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, crypt, "/dev/sdd")}, .expect = {{"sdc2", "1/3"}},
         .before = [crypt] { AddMapper({"CRYPT-LUKS2-2-sdc2", crypt, {"sdc2"}}); }},
        {.what = "cephadm root, a name with a dot", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore(kCluster + "osd.3", 3, "/dev/sdc", "/dev/sdd")}, .expect = {{"sdc", "1/3"}}},
        {.what = "cephadm root: only osd.<id> directories", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore(kCluster + "mon.a", 3, "/dev/sdc", "/dev/sdd"), Bluestore("/var/lib/ceph/x/osd.4", 4, "/dev/sdd", "/dev/sdc")}},
        {.what = "physical volume in no volume group", .disks = {{"sdb"}, {"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdb", "/dev/sdc")}, .pvs = {{"sdb", ""}},
         .expect = {{"sdb", "1/3"}}},
        {.what = "block.db absent", .disks = {{"sdc"}}, .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "")},
         .expect = {{"sdc", "0/3"}}},
        {.what = "block.db dangling counts as absent", .disks = {{"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdq")}, .expect = {{"sdc", "0/3"}}},
        {.what = "block.db on the same device", .disks = {{"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdc")}, .expect = {{"sdc", "0/3"}}},
        {.what = "block.db in the volume group of block", .disks = {{"sdb"}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/ceph-a/osd-db-1")}, .pvs = {{"sdb", "ceph-a"}},
         .expect = {{"sdb", "0/3"}}, .before = [] { LvOn({"sdb"}); AddLv("ceph-a", "osd-db-1", {"sdb"}); }},
        {.what = "block.db on another partition of the same disk", .disks = {{"sdc", {"sdc1", "sdc2"}}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc1", "/dev/sdc2")}, .expect = {{"sdc1", "0/3"}}},
        {.what = "block.db carrying another OSD's label", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd")}, .expect = {{"sdc", "0/3"}},
         .before = [] { WriteLabel("sdd", FsidOf(7)); }},
        {.what = "block.db carrying the OSD's own label", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd")}, .expect = {{"sdc", "1/3"}},
         .before = [] { WriteLabel("sdd", FsidOf(0)); }},
        {.what = "block.db on dm-crypt over another disk", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/mapper/db-crypt")}, .expect = {{"sdc", "1/3"}},
         .before = [] { AddMapper({"CRYPT-LUKS2-3-sdd", "/dev/mapper/db-crypt", {"sdd"}}); }},
        {.what = "block.db a regular file: the text rule", .disks = {{"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/var/lib/db")}, .expect = {{"sdc", "1/3"}},
         .before = [] { MakeDirs("/var/lib"); WriteFile("/var/lib/db", ""); }},
        {.what = "block through a by-partuuid link", .disks = {{"sdc", {"sdc1"}}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/disk/by-partuuid/5e1f", "/dev/disk/by-partuuid/77aa")},
         .expect = {{"sdc1", "1/3"}},
         .before = [] { Link("/dev/disk/by-partuuid/5e1f", "../../sdc1"); Link("/dev/disk/by-partuuid/77aa", "../../sdd"); }},
        {.what = "block -> /dev/sdc without a label",
         .disks = {{"sdc", {}, 1, "write back", "personality=sata"}, {"sdd"}},
         .osds = {Unlabelled(Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd"))}},
        {.what = "the label of another OSD", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Unlabelled(Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd"))},
         .before = [] { WriteLabel("sdc", FsidOf(1)); }},
        {.what = "the forged directory: a file named after the disk", .disks = {{"sda"}, {"sdc"}},
         .osds = {Osd{"zz", "", "bluestore", kDir + "zz/sda", kDir + "zz/type"}, Bluestore("ceph-1", 1, kDir + "ceph-1/sdc", "/dev/sda")},
         .before = [] { MakeDirs(kDir + "zz"); MakeDirs(kDir + "ceph-1"); WriteFile(kDir + "zz/sda", ""); WriteFile(kDir + "ceph-1/sdc", ""); }},
        {.what = "a volume group named by a file", .disks = {{"sdb"}, {"sdc"}},
         .osds = {Bluestore("ceph-0", 0, kDir + "ceph-0/ceph-a", "/dev/sdc")}, .pvs = {{"sdb", "ceph-a"}},
         .before = [] { MakeDirs(kDir + "ceph-0"); WriteFile(kDir + "ceph-0/ceph-a", ""); }},
        {.what = "filestore", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "filestore", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/2"}}},
        {.what = "kvstore and memstore", .disks = {{"sdc"}, {"sdd"}, {"sde"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "kvstore", "/dev/sdc", "/dev/sde"}, Osd{"ceph-1", FsidOf(1), "memstore", "/dev/sdd", "/dev/sde"}},
         .expect = {{"sdc", "1/1"}, {"sdd", "1/0"}}},
        {.what = "type is a prefix test", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "bluestore2", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/3"}}},
        {.what = "type in capitals is none", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "BlueStore", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/65535"}}},
        {.what = "no type file", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/65535"}}},
        {.what = "shell characters and dots in OSD names are only names", .disks = {{"sdc"}, {"sdd"}, {"sde"}},
         .osds = {Bluestore("ceph-0;pvs", 0, "/dev/sdc", "/dev/sde"), Bluestore("$(pvs).old", 1, "/dev/sdd", "/dev/sde")},
         .expect = {{"sdc", "1/3"}, {"sdd", "1/3"}}},
        {.what = "hidden and non-directory entries never examined", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore(".ceph-0", 0, "/dev/sdc", "/dev/sdd")},
         .before = [] { MakeDirs(kDir); WriteFile(kDir + "ceph-2", "a file"); }},
        {.what = "an OSD without a valid fsid is never scanned", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdz", ""), Osd{"ceph-1", "", "bluestore", "/dev/sdc", "/dev/sdd"}}},
        {.what = "block is no link", .disks = {{"sdc"}}, .osds = {Bluestore("ceph-0", 0, "", "")},
         .log = {"ERROR readlink error:/var/lib/ceph/osd/ceph-0/block return:22"},
         .before = [] { MakeDirs(kDir + "ceph-0"); WriteFile(kDir + "ceph-0/block", ""); }},
        {.what = "a block device that cannot be read", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Unlabelled(Bluestore("ceph-0", 0, "/dev/sdx", "/dev/sdd"))},
         .log = {"WARNING read label error:/var/lib/ceph/osd/ceph-0 on /dev/sdx return:6"},
         .before = [] { AddBlockNode("sdx"); }},
        {.what = "no valid fsid at all: empty map", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", "", "bluestore", "/dev/sdc", "/dev/sdd"}}},
        {.what = "no OSD directory: empty map", .disks = {{"sdc"}}},
};
    for (const MapCase &c : cases) {
        Reset();
        FreeDeviceInfo();
        Build(c);
        int pvs = PvsCalls();
        ASSERT_EQ(UpdateDeviceInfo(), 0) << c.what;
        // A listing per name and a query per physical volume, at most; no cat.
        EXPECT_LE(PvsCalls() - pvs, 2 * g_devNum) << c.what;
        EXPECT_EQ(CatCalls(), 0) << c.what;
        if (g_fsidNum == 0) {
            EXPECT_EQ(devMap, nullptr) << c.what;
            EXPECT_EQ(g_devMapNum, 0) << c.what;
            EXPECT_EQ(PvsCalls(), 0) << c.what;
        } else {
            ExpectMap(c);
        }
        std::vector<std::string> log = LogMessages();
        EXPECT_EQ(log, c.log) << c.what;
    }
}

// The report's MATCH column: how a name was tied, or which OSD claimed it
// and failed the proof.
TEST_F(DevMapTest, MatchSaysHow)
{
    AddDisk({"sdb"});
    AddDisk({"sdc", {"sdc1", "sdc2"}});
    AddDisk({"sdd"});
    AddDisk({"sde"});
    AddDisk({"sdf"});
    AddPvs({{"sdb", "ceph-a"}, {"sde", "ceph-e"}});
    AddLv("ceph-a", "osd-block-1", {"sdb"});
    AddMapper({"CRYPT-LUKS2-1-x", "/dev/mapper/x", {AddLv("ceph-e", "osd-block-2", {"sde"})}});
    AddOsd(Bluestore("ceph-0", 0, kLv, "/dev/sdf"));
    AddOsd(Bluestore("ceph-1", 1, "/dev/sdc2", "/dev/sdc1"));
    AddOsd(Bluestore("ceph-2", 2, "/dev/mapper/x", "/dev/sdf"));
    AddOsd(Unlabelled(Bluestore("ceph-3", 3, "/dev/sdd", "/dev/sdf")));
    MakeDirs(kDir + "ceph-4");
    WriteFile(kDir + "ceph-4/sdf", "");
    AddOsd(Bluestore("ceph-4", 4, kDir + "ceph-4/sdf", ""));
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    const struct {
        const char *name;
        std::string osd, how;
        int32_t proof, db;
    } rows[] = {
        {"sdb", "ceph-0", "vg:ceph-a", PROOF_LABEL, DB_SEPARATE},
        {"sdc2", "ceph-1", "device", PROOF_LABEL, DB_SAME_DISK},
        {"sde", "ceph-2", "dm-crypt>lv>sde", PROOF_LABEL, DB_SEPARATE},
        {"sdd", "ceph-3", "device", PROOF_NO_LABEL, DB_NONE},
        {"sdf", "ceph-4", "link text", PROOF_NOT_BLOCK, DB_NONE},
        {"sdc1", "", "", 0, 0},
    };
    for (const auto &row : rows) {
        DevMapEntry entry = {};
        DevMatch match = {};
        char slot[DEV_NAME_SLOT] = {};
        strncpy(slot, row.name, sizeof(slot) - 1);
        ASSERT_EQ(MatchDevName(slot, &entry, &match), 0);
        EXPECT_EQ(match.osdDir + std::string("|") + match.how, row.osd + "|" + row.how) << row.name;
        EXPECT_EQ(match.proof, row.proof) << row.name;
        EXPECT_EQ(match.db, row.db) << row.name;
    }
}

// Without LVM's tools the devices still say where an LV lies.
TEST_F(DevMapTest, WithoutPvsTheDevicesStillTie)
{
    MapCase c = {"no pvs command", {{"sdb"}, {"sdc"}, {"sdd"}},
                 {Bluestore("ceph-0", 0, kLv, "/dev/sdd"), Bluestore("ceph-1", 1, "/dev/sdc", "/dev/sdd")},
                 {{"sdb", "ceph-a"}}, {{"sdb", "1/3"}, {"sdc", "1/3"}}, {}, [] { LvOn({"sdb"}); }};
    Build(c);
    unlink((std::string(kBinDir) + "/pvs").c_str());
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    EXPECT_EQ(PvsCalls(), 0);
    ExpectMap(c);
}

// A copied OSD directory (same fsid, so the same label): the first in
// directory order decides.
TEST_F(DevMapTest, FirstOsdInDirectoryOrderDecides)
{
    AddDisk({"sdc"});
    AddDisk({"sdd"});
    AddOsd(Osd{"ceph-a", FsidOf(1), "filestore", "/dev/sdc", "/dev/sdd"});
    AddOsd(Osd{"ceph-b", FsidOf(1), "bluestore", "/dev/sdc", ""});
    std::vector<std::string> order = DirOrder("/var/lib/ceph/osd");
    ASSERT_EQ(order.size(), 2U);
    ASSERT_EQ(UpdateDeviceInfo(), 0);
    int slot = std::string(g_devList) == "sdc" ? 0 : 1;
    EXPECT_EQ(Row(devMap[slot]), order[0] == "ceph-a" ? "1/2" : "0/3");
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
