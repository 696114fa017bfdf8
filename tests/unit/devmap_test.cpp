// The inventory's rows as a refresh builds them: which whole disk is tied
// to which OSD, through which stack, from every root.
// Fixture rows name only the fields that matter.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <sys/stat.h>
#include <sys/sysmacros.h>

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
    std::map<std::string, std::string> expect;  // "separateDb/osdType" per disk; unlisted disks "0/65535"
    std::vector<std::string> log;               // lines written to the log
    std::function<void()> before;               // devices, labels, files made before the OSDs
};

const std::string kDir = "/var/lib/ceph/osd/";
const std::string kCluster = "/var/lib/ceph/5e1f0c2a-0d5b-4c1e-9a7e-1234567890ab/";

std::string Row(const InventoryRow &row)
{
    bool tied = row.osd >= 0 && row.proof == PROOF_LABEL;
    int separate = tied && OsdRule(row.proof, row.db, OSD_TYPE_BLUESTORE) == TARGET_SELECTED;
    return std::to_string(separate) + "/" + std::to_string(tied ? row.osdType : OSD_TYPE_NONE);
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
    }

    void ExpectMap(const MapCase &c)
    {
        for (int i = 0; i < g_rowNum; ++i) {
            auto it = c.expect.find(g_rows[i].name);
            EXPECT_EQ(Row(g_rows[i]), it == c.expect.end() ? "0/65535" : it->second) << c.what << ": " << g_rows[i].name;
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

// As Rook's PVC activation copies it (cp --archive --dereference): the node itself.
void NodeOf(const std::string &path, const std::string &dev)
{
    struct stat st;
    MakeDirs(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(stat(dev.c_str(), &st) == 0 && mknod(path.c_str(), S_IFBLK | 0660, st.st_rdev) == 0) << path;
}

const std::string kRook = "/var/lib/rook/rook-ceph/";
std::vector<Disk> Disks(int n) { std::vector<Disk> d; for (int i = 0; i < n; ++i) d.push_back({std::string("sd") + char('b' + i)}); return d; }

}  // namespace

TEST_F(DevMapTest, NamesTiedToOsds)
{
    const std::string crypt = "/dev/mapper/" + FsidOf(0) + "-sdc2-block-dmcrypt";
    const std::vector<MapCase> cases = {
        {.what = "LVM on a whole disk, not its partition", .disks = {{"sdb", {"sdb1"}}, {"sdc", {"sdc1"}}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdc1")}, .expect = {{"sdb", "1/3"}},
         .before = [] { LvOn({"sdb"}); }},
        {.what = "LVM on a partition", .disks = {{"sdb", {"sdb1"}}, {"sdc"}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdc")},
         .expect = {{"sdb", "1/3"}}, .before = [] { LvOn({"sdb1"}); }},
        {.what = "volume group spanning two disks", .disks = {{"sdb"}, {"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdd")},
         .expect = {{"sdb", "1/3"}, {"sdc", "1/3"}}, .before = [] { LvOn({"sdb", "sdc"}); }},
        {.what = "dm-crypt over an LV (lvm --dmcrypt)", .disks = {{"sdb"}, {"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/mapper/aB3dE-lv-uuid", "/dev/sdc")},
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
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc2", "/dev/sdd1")}, .expect = {{"sdc", "1/3"}}},
        {.what = "raw with dm-crypt", .disks = {{"sdc", {"sdc2"}}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, crypt, "/dev/sdd")}, .expect = {{"sdc", "1/3"}},
         .before = [crypt] { AddMapper({"CRYPT-LUKS2-2-sdc2", crypt, {"sdc2"}}); }},
        {.what = "cephadm root, a name with a dot", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore(kCluster + "osd.3", 3, "/dev/sdc", "/dev/sdd")}, .expect = {{"sdc", "1/3"}}},
        {.what = "cephadm root: only osd.<id> directories", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore(kCluster + "mon.a", 3, "/dev/sdc", "/dev/sdd"), Bluestore("/var/lib/ceph/x/osd.4", 4, "/dev/sdd", "/dev/sdc")}},
        {.what = "block.db absent", .disks = {{"sdc"}}, .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "")},
         .expect = {{"sdc", "0/3"}}},
        {.what = "block.db dangling counts as absent", .disks = {{"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdq")}, .expect = {{"sdc", "0/3"}}},
        {.what = "block.db on the same device", .disks = {{"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdc")}, .expect = {{"sdc", "0/3"}}},
        {.what = "block.db in the volume group of block", .disks = {{"sdb"}},
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/ceph-a/osd-db-1")},
         .expect = {{"sdb", "0/3"}}, .before = [] { LvOn({"sdb"}); AddLv("ceph-a", "osd-db-1", {"sdb"}); }},
        {.what = "block.db on another partition of the same disk", .disks = {{"sdc", {"sdc1", "sdc2"}}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc1", "/dev/sdc2")}, .expect = {{"sdc", "0/3"}}},
        {.what = "block.db carrying another OSD's label", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd")}, .expect = {{"sdc", "0/3"}},
         .before = [] { WriteLabel("sdd", FsidOf(7)); }},
        {.what = "block.db carrying the OSD's own label", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd")}, .expect = {{"sdc", "1/3"}},
         .before = [] { WriteLabel("sdd", FsidOf(0), "bluefs db"); }},
        {.what = "block.db carrying the OSD's data label", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/sdd")}, .expect = {{"sdc", "0/3"}},
         .before = [] { WriteLabel("sdd", FsidOf(0)); }},
        {.what = "block.db suspended: doubt; block suspended: only its OSD", .disks = Disks(4),
         .osds = {Bluestore("ceph-0", 0, "/dev/mapper/db", "/dev/sde"), Bluestore("ceph-1", 1, "/dev/sdc", "/dev/mapper/db")},
         .expect = {{"sdc", "1/3"}}, .log = {"WARNING device does not answer:/var/lib/ceph/osd/ceph-1 on /dev/dm-0"},
         .before = [] { AddMapper({"CRYPT-LUKS2-4-sdb", "/dev/mapper/db", {"sdb"}}); WriteFile("/sys/block/dm-0/dm/suspended", "1\n"); }},
        {.what = "a striped LV over 16 disks", .disks = Disks(17),
         .osds = {Bluestore("ceph-0", 0, kLv, "/dev/sdr")},
         .expect = {{"sdb", "1/3"}, {"sdc", "1/3"}, {"sdd", "1/3"}, {"sde", "1/3"}, {"sdf", "1/3"}, {"sdg", "1/3"}, {"sdh", "1/3"}, {"sdi", "1/3"},
                    {"sdj", "1/3"}, {"sdk", "1/3"}, {"sdl", "1/3"}, {"sdm", "1/3"}, {"sdn", "1/3"}, {"sdo", "1/3"}, {"sdp", "1/3"}, {"sdq", "1/3"}},
         .before = [] { LvOn({"sdb", "sdc", "sdd", "sde", "sdf", "sdg", "sdh", "sdi", "sdj", "sdk", "sdl", "sdm", "sdn", "sdo", "sdp", "sdq"}); }},
        {.what = "a shadow fsid without block.db hides no database", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-9", 3, "/dev/sdc", ""), Bluestore(kCluster + "osd.3", 3, "/dev/sdc", "/dev/sdd")},
         .expect = {{"sdc", "1/3"}}, .before = [] { WriteLabel("sdd", FsidOf(3), "bluefs db"); }},
        {.what = "Rook on a host disk, LVM mode", .disks = {{"sdb"}, {"sdc"}},
         .osds = {Bluestore(kRook + "5e1f0c2a-0d5b-4c1e-9a7e-1234567890ab_" + FsidOf(6), 6, kLv, "/dev/sdc")},
         .expect = {{"sdb", "1/3"}}, .before = [] { LvOn({"sdb"}); }},
        {.what = "Rook on PVCs: block and block.db are nodes", .disks = {{"sdb"}, {"sdc"}},
         .osds = {Bluestore(kRook + "set1-data-0/ceph-1", 1, "", "")}, .expect = {{"sdb", "1/3"}},
         .before = [] { NodeOf(kRook + "set1-data-0/ceph-1/block", "/dev/sdb"); NodeOf(kRook + "set1-data-0/ceph-1/block.db", "/dev/sdc");
                        WriteLabel("sdb", FsidOf(1)); WriteLabel("sdc", FsidOf(1), "bluefs db"); }},
        {.what = "a root that is a link is skipped, the others count", .disks = {{"sdc"}, {"sdd"}, {"sde"}},
         .osds = {Bluestore("/var/lib/elsewhere/ceph-0", 0, "/dev/sdc", "/dev/sdd"), Bluestore(kCluster + "osd.1", 1, "/dev/sdd", "/dev/sde")},
         .expect = {{"sdd", "1/3"}}, .log = {"ERROR opendir error:/var/lib/ceph/osd"},
         .before = [] { MakeDirs("/var/lib/ceph"); symlink("/var/lib/elsewhere", "/var/lib/ceph/osd"); }},
        {.what = "block.db on dm-crypt over another disk", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/dev/mapper/db-crypt")}, .expect = {{"sdc", "1/3"}},
         .before = [] { AddMapper({"CRYPT-LUKS2-3-sdd", "/dev/mapper/db-crypt", {"sdd"}}); }},
        {.what = "block.db a regular file: doubt", .disks = {{"sdc"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdc", "/var/lib/db")}, .expect = {{"sdc", "1/3"}},
         .before = [] { MakeDirs("/var/lib"); WriteFile("/var/lib/db", ""); }},
        {.what = "block through a by-partuuid link", .disks = {{"sdc", {"sdc1"}}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/disk/by-partuuid/5e1f", "/dev/disk/by-partuuid/77aa")},
         .expect = {{"sdc", "1/3"}},
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
         .osds = {Bluestore("ceph-0", 0, kDir + "ceph-0/ceph-a", "/dev/sdc")},
         .before = [] { MakeDirs(kDir + "ceph-0"); WriteFile(kDir + "ceph-0/ceph-a", ""); }},
        {.what = "filestore", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "filestore", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/2"}}},
        {.what = "kvstore and memstore", .disks = {{"sdc"}, {"sdd"}, {"sde"}, {"sdf"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "kvstore", "/dev/sdc", "/dev/sde"}, Osd{"ceph-1", FsidOf(1), "memstore", "/dev/sdd", "/dev/sdf"}},
         .expect = {{"sdc", "1/1"}, {"sdd", "1/0"}}},
        {.what = "type is a prefix test", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "bluestore2", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/3"}}},
        {.what = "type in capitals is none", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "BlueStore", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/65535"}}},
        {.what = "no type file", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", FsidOf(0), "", "/dev/sdc", "/dev/sdd"}}, .expect = {{"sdc", "1/65535"}}},
        {.what = "shell characters and dots in OSD names are only names", .disks = {{"sdc"}, {"sdd"}, {"sde"}, {"sdf"}},
         .osds = {Bluestore("ceph-0;pvs", 0, "/dev/sdc", "/dev/sde"), Bluestore("$(pvs).old", 1, "/dev/sdd", "/dev/sdf")},
         .expect = {{"sdc", "1/3"}, {"sdd", "1/3"}}},
        {.what = "hidden and non-directory entries never examined", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore(".ceph-0", 0, "/dev/sdc", "/dev/sdd")},
         .before = [] { MakeDirs(kDir); WriteFile(kDir + "ceph-2", "a file"); }},
        {.what = "an OSD without a valid fsid is never scanned", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Bluestore("ceph-0", 0, "/dev/sdz", ""), Osd{"ceph-1", "", "bluestore", "/dev/sdc", "/dev/sdd"}}},
        {.what = "block is no link", .disks = {{"sdc"}}, .osds = {Bluestore("ceph-0", 0, "", "")},
         .before = [] { MakeDirs(kDir + "ceph-0"); WriteFile(kDir + "ceph-0/block", ""); }},
        {.what = "a block device that cannot be read", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Unlabelled(Bluestore("ceph-0", 0, "/dev/sdx", "/dev/sdd"))},
         .log = {"WARNING read label error:/var/lib/ceph/osd/ceph-0 on 60:32 return:19"},
         .before = [] { AddBlockNode("sdx"); }},
        {.what = "no valid fsid at all: empty map", .disks = {{"sdc"}, {"sdd"}},
         .osds = {Osd{"ceph-0", "", "bluestore", "/dev/sdc", "/dev/sdd"}}},
        {.what = "no OSD directory: empty map", .disks = {{"sdc"}}},
};
    for (const MapCase &c : cases) {
        Reset();
        FreeDeviceInfo();
        Build(c);
        ASSERT_EQ(UpdateDeviceInfo(), 0) << c.what;
        ExpectMap(c);
        std::vector<std::string> log = LogMessages();
        EXPECT_EQ(log, c.log) << c.what;
    }
}

// The report's MATCH column: how a disk was tied, or which OSD's block
// stands on it and failed the proof.
TEST_F(DevMapTest, MatchSaysHow)
{
    AddDisk({"sdb"});
    AddDisk({"sdc", {"sdc1", "sdc2"}});
    AddDisk({"sdd"});
    AddDisk({"sde"});
    AddDisk({"sdf"});
    AddLv("ceph-a", "osd-block-1", {"sdb"});
    AddMapper({"CRYPT-LUKS2-1-x", "/dev/mapper/x", {AddLv("ceph-e", "osd-block-2", {"sde"})}});
    AddOsd(Bluestore("ceph-0", 0, kLv, "/dev/sdf"));
    AddOsd(Bluestore("ceph-1", 1, "/dev/sdc2", "/dev/sdc1"));
    AddDisk({"sdg"});
    AddOsd(Bluestore("ceph-2", 2, "/dev/mapper/x", "/dev/sdg"));
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
        {"sdc", "ceph-1", "device", PROOF_LABEL, DB_SAME_DISK},
        {"sde", "ceph-2", "dm-crypt>lv>sde", PROOF_LABEL, DB_SEPARATE},
        {"sdd", "ceph-3", "device", PROOF_NO_LABEL, DB_NONE},
        {"sdf", "", "", 0, 0},
    };
    for (const auto &row : rows) {
        const InventoryRow *disk = FindRow(row.name);
        ASSERT_NE(disk, nullptr) << row.name;
        char how[MATCH_TEXT_SLOT];
        DescribeRow(disk, how);
        EXPECT_EQ((disk->osd < 0 ? "" : g_osdList[disk->osd].name) + std::string("|") + how, row.osd + "|" + row.how) << row.name;
        EXPECT_EQ(disk->proof, row.proof) << row.name;
        EXPECT_EQ(disk->db, row.db) << row.name;
    }
    // What a watcher must watch: the roots there and every OSD directory read.
    std::vector<std::string> dirs;
    for (int i = 0; i < InventoryDirCount(); ++i) dirs.emplace_back(InventoryDir(i));
    std::sort(dirs.begin(), dirs.end());
    EXPECT_EQ(dirs, (std::vector<std::string>{"/var/lib/ceph", kDir.substr(0, kDir.size() - 1), kDir + "ceph-0", kDir + "ceph-1",
                                               kDir + "ceph-2", kDir + "ceph-3", kDir + "ceph-4"}));
}
