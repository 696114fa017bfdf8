// Bad inventory input: broken OSD directories, odd /dev entries, a "pvs" that
// talks nonsense, and a fixture that changes under the daemon's feet. In every
// case the daemon finishes its cycle in order and only the real target disk
// (sdc) ever gets a command; the rotational disk sdd must never get one.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <regex>
#include <thread>

#include "fault.h"

using namespace sandbox;

namespace {

constexpr const char *kOsd1 = "/var/lib/ceph/osd/ceph-1";

void Osd1(const std::string &block, const std::string &blockDb, const std::string &type = "bluestore")
{
    AddOsd({"ceph-1", FsidOf(1), type, block, blockDb});
}

// A named pipe at path: opening it to read would wait for a writer.
void Fifo(const std::string &path)
{
    MakeDirs(path.substr(0, path.rfind('/')));
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
}

// Only root may read it; as a link target it must never be taken for the OSD's.
void Secret(const std::string &link, const std::string &content)
{
    WriteFile("/var/lib/zarvel-sandbox/secret", content, 0600);
    unlink(link.c_str());
    ASSERT_EQ(symlink("/var/lib/zarvel-sandbox/secret", link.c_str()), 0);
}

void Pvs(const std::string &script)
{
    WriteFile(std::string(kBinDir) + "/pvs", "#!/bin/sh\n" + script + "\n", 0755);
}

struct InventoryFault {
    const char *name;
    std::function<void()> make;
    bool sdcSwitched;
    bool quickDeadline = false;  // run the daemon whose commands have 2 s, not 30
    const char *loggedOnce = "";  // a line the cycle must log exactly once
};
void PrintTo(const InventoryFault &f, std::ostream *os) { *os << f.name; }

const InventoryFault kFaults[] = {
    {"block_link_dangles", [] { Osd1("/dev/sdq9", "/dev/sdz1"); }, true},
    {"block_link_loops", [] { Osd1(std::string(kOsd1) + "/block", "/dev/sdz1"); }, true},
    {"block_db_link_loops", [] { Osd1("/dev/sdd", std::string(kOsd1) + "/block.db"); }, true},
    {"block_links_to_a_directory", [] { Osd1("/dev", "/dev/sdz1"); }, true},
    {"block_link_of_refused_text", [] { Osd1("/dev/sdd;reboot", "/dev/sdz1"); }, true},
    {"type_is_a_directory", [] { Osd1("/dev/sdd", "/dev/sdz1", ""); MakeDirs(std::string(kOsd1) + "/type"); }, true},
    {"type_is_binary", [] { Osd1("/dev/sdd", "/dev/sdz1", std::string("blue\0store\xff", 11)); }, true},
    {"type_is_huge", [] { Osd1("/dev/sdd", "/dev/sdz1", std::string(300000, 'b')); }, true},
    {"fsid_is_a_directory", [] { MakeDirs(std::string(kOsd1) + "/fsid"); }, true},
    {"fsid_is_binary", [] { AddOsd({"ceph-1", std::string(36, '\0'), "bluestore", "", ""}); }, true},
    {"fsid_without_line_end_huge", [] { AddOsd({"ceph-1", std::string(1 << 20, 'f'), "bluestore", "", "", true}); },
     true},
    {"osd_entry_is_a_file", [] { WriteFile("/var/lib/ceph/osd/ceph-1", FsidOf(1) + "\n"); }, true},
    // sdd carries no label of the OSD, whatever its directory says.
    {"forged_directory_file_named_after_disk", [] {
         MakeDirs("/var/lib/ceph/osd/zz");
         WriteFile("/var/lib/ceph/osd/zz/sdd", "");
         AddOsd({"zz", "", "bluestore", "/var/lib/ceph/osd/zz/sdd", "/var/lib/ceph/osd/zz/type"});
     }, true},
    {"block_to_disk_without_label", [] { AddOsd({"ceph-1", FsidOf(1), "bluestore", "/dev/sdd", "/dev/sdz1", false, false}); },
     true},
    {"block_to_disk_with_label_of_another_osd", [] {
         AddOsd({"ceph-1", FsidOf(1), "bluestore", "/dev/sdd", "/dev/sdz1", false, false});
         WriteLabel("sdd", FsidOf(7));
     }, true},
    {"fsid_is_a_fifo", [] { Osd1("/dev/sdd", "/dev/sdz1"); unlink((std::string(kOsd1) + "/fsid").c_str());
                            Fifo(std::string(kOsd1) + "/fsid"); }, true},
    {"type_is_a_fifo", [] { Osd1("/dev/sdd", "/dev/sdz1", ""); Fifo(std::string(kOsd1) + "/type"); }, true},
    {"fsid_links_to_root_only_file", [] {
         Osd1("/dev/sdd", "/dev/sdz1");
         Secret(std::string(kOsd1) + "/fsid", FsidOf(1) + "\n");
     }, true},
    {"type_links_to_root_only_file", [] { Osd1("/dev/sdd", "/dev/sdz1", ""); Secret(std::string(kOsd1) + "/type", "bluestore\n"); },
     true},
    {"type_links_to_device_node", [] {
         Osd1("/dev/sdd", "/dev/sdz1", "");
         ASSERT_EQ(symlink("/dev/zero", (std::string(kOsd1) + "/type").c_str()), 0);
     }, true},
    // Names are only names: a space or a leading '-' reaches no command line.
    {"names_with_spaces_and_dashes", [] {
         AddOsd({"a - b", FsidOf(1), "filestore", "/dev/sdd", "/dev/sdz1"});
         AddOsd({"-x --version y", FsidOf(2), "bluestore", "/dev/sdz", ""});
     }, true},
    {"pvs_fails", [] { Pvs("echo 'pvs: no' >&2; exit 5"); }, true},
    {"pvs_missing", [] { Pvs("exit 127"); }, true},
    {"pvs_prints_random_bytes", [] { Pvs("head -c 200000 /dev/urandom"); }, true},
    {"pvs_prints_endless_line", [] { Pvs("head -c 100000 /dev/zero | tr '\\0' 'x'"); }, true},
    // A held LVM lock: every pvs waits for ever, and a child of its own too.
    {"pvs_hangs_past_the_deadline", [] { Pvs("sleep 3600; echo never"); }, true, true},
    // A device that never answers costs its own OSD only, and one line.
    {"block_reads_never_finish", [] { Osd1("/dev/sdd", "/dev/sdz1"); NeverAnswers("sdd"); }, true, false,
     "WARNING read label error:/var/lib/ceph/osd/ceph-1 on /dev/sdd return:110"},
    {"block_on_suspended_mapping", [] {
         Osd1("/dev/" + AddLv("ceph-x", "osd-block-1", {"sdd"}), "/dev/sdz1");
         WriteFile("/sys/block/dm-0/dm/suspended", "1\n");
         NeverAnswers("dm-0");
     }, true, false, "WARNING read label error:/var/lib/ceph/osd/ceph-1 on /dev/dm-0 return:16"},
    {"block_on_multipath_without_running_path", [] {
         Osd1("/dev/" + AddMapper({"mpath-3600a", "/dev/mapper/mpatha", {"sdd"}}), "/dev/sdz1");
         WriteFile("/sys/block/sdd/device/scsi_level", "7\n");
         WriteFile("/sys/block/sdd/device/state", "transport-offline\n");
         NeverAnswers("dm-0");
     }, true, false, "WARNING read label error:/var/lib/ceph/osd/ceph-1 on /dev/dm-0 return:16"},
    // A name that would start a line of its own, with a terminal command.
    {"osd_name_forges_log_lines", [] {
         std::string dir = "x\n[2026-12-06 01:45:12][process(1)][INFO][change config of sdd succeed\x1b[2J";
         AddOsd({dir, FsidOf(1), "bluestore", "", ""});
         WriteFile("/var/lib/ceph/osd/" + dir + "/block", "");  // not a link: its path is logged
     }, true},
    // Every disk a physical volume of a group named after it: the keys no
    // longer matter, the devices and the label tie sdc1 all the same.
    {"pvs_claims_every_disk", [] {
         Pvs("for d in sdc sdc1 sdd sdz sdz1; do echo \"  /dev/$d ceph-$d lvm2 a-- 1g 0\"; done; "
             "[ $# -gt 0 ] && echo \"  ceph-${4#/dev/}\" && echo '  second line'");
         Osd1("/dev/ceph-sdd/osd-block-1", "/dev/sdz1");
     }, true},
    {"pvs_vg_names_refused", [] {
         Pvs("echo '  /dev/sdd x'; [ $# -gt 0 ] && echo '  vg;$(reboot)'");
         Osd1("/dev/vg;$(reboot)/osd", "/dev/sdz1");
     }, true},
};

class FaultInventoryTest : public SandboxTest, public ::testing::WithParamInterface<InventoryFault> {};

TEST_P(FaultInventoryTest, OnlyTheTargetIsTouched)
{
    fault::AddTarget("sdc", "personality=sata");
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    AddPvs({});
    GetParam().make();
    RunOptions opts = WithDrives();
    opts.daemon = GetParam().quickDeadline ? QuickDaemonPath() : "";
    fault::Run run = fault::RunCycle(opts);
    fault::ExpectOrderlyCycle(run);
    EXPECT_EQ(DriveWce("sdc"), GetParam().sdcSwitched ? 0 : 1) << ::testing::PrintToString(LogMessages());
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
    EXPECT_EQ(DriveCommands("sdz"), std::vector<std::string>{});
    EXPECT_EQ(CatCalls(), 0);
    // Each line of the log is one whole entry without controls, and a line
    // that the README's grep takes for a deed names the disk that had one.
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(GetParam().loggedOnce[0] == '\0' || std::count(log.begin(), log.end(), GetParam().loggedOnce) == 1);
    const std::regex entry(R"(\[[0-9 :-]+\]\[process\([0-9]+\)\]\[(INFO|WARNING|ERROR)\]\[[^\x00-\x1f\x7f]*\])");
    const std::regex deed(R"(^\[[^\]]*\]\[process\([0-9]+\)\]\[[A-Z]+\]\[(change config of|rescan dev|sync device) (sd[a-z]+))");
    for (const std::string &line : LogLines()) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, entry)) << line;
        EXPECT_TRUE(!std::regex_search(line, m, deed) || m[2] == "sdc") << line;
    }
}
INSTANTIATE_TEST_SUITE_P(Inventory, FaultInventoryTest, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

// The cycle's own commands change the fixture: "pvs" (run while the device
// map is built) removes the target's nodes and OSD, or adds a new OSD and
// disk. The apply pass then meets a /dev that no longer fits the map.
struct MidCycle {
    const char *name;
    const char *mutation;  // shell run by the first "pvs"
};
void PrintTo(const MidCycle &m, std::ostream *os) { *os << m.name; }

const MidCycle kMidCycle[] = {
    {"target_nodes_vanish", "rm -f /dev/sdc /dev/sdc1"},
    {"target_osd_vanishes", "rm -rf /var/lib/ceph/osd/ceph-0"},
    {"all_of_dev_vanishes", "rm -rf /dev/sd*"},
    {"node_becomes_a_directory", "rm -f /dev/sdc && mkdir /dev/sdc"},
    {"new_osd_and_disk_appear", "mkdir -p /var/lib/ceph/osd/ceph-7 && cp /var/lib/ceph/osd/ceph-0/fsid "
                                "/var/lib/ceph/osd/ceph-7/ && ln -s /dev/sdd /var/lib/ceph/osd/ceph-7/block"},
};

class FaultMidCycleTest : public SandboxTest, public ::testing::WithParamInterface<MidCycle> {};

TEST_P(FaultMidCycleTest, CycleEndsInOrder)
{
    fault::AddTarget("sdc", "personality=sata");
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    AddPvs({});
    std::string flag = std::string(kSandboxDir) + "/mutated";
    std::string pvs = std::string(kBinDir) + "/pvs";
    ASSERT_EQ(rename(pvs.c_str(), (pvs + ".real").c_str()), 0);
    WriteFile(pvs,
              std::string("#!/bin/sh\n[ -e ") + flag + " ] || { touch " + flag + "; " + GetParam().mutation +
                  "; }\nexec " + pvs + ".real \"$@\"\n",
              0755);
    fault::ExpectOrderlyCycle(fault::RunCycle(WithDrives()));
    EXPECT_TRUE(Exists(flag)) << "the mutation never ran";
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
    fault::ExpectOrderlyCycle(fault::RunCycle(WithDrives()));  // and the next cycle copes too
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
}
INSTANTIATE_TEST_SUITE_P(Inventory, FaultMidCycleTest, ::testing::ValuesIn(kMidCycle),
                         [](const auto &info) { return std::string(info.param.name); });

// More OSD directories than one cycle reads (cephadm's root, read after the
// classic one, fills up): one line, and the cycle goes on with the first ones.
TEST_F(SandboxTest, TooManyOsdDirectoriesLogOnceAndGoOn)
{
    fault::AddTarget("sdc", "personality=sata");
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    AddPvs({});
    const std::string cluster = "/var/lib/ceph/5e1f0c2a-0d5b-4c1e-9a7e-1234567890ab/";
    MakeDirs(cluster);
    for (int i = 0; i < 4100; ++i) {
        std::string dir = cluster + "osd." + std::to_string(i);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        WriteFile(dir + "/fsid", FsidOf(100 + i) + "\n");
    }
    fault::Run run = fault::RunCycle(WithDrives());
    fault::ExpectOrderlyCycle(run);
    EXPECT_EQ(DriveWce("sdc"), 0);
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
    std::vector<std::string> log = LogMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(), "WARNING fsidNum is too many:4097"), 1);
    printf("a cycle over 4100 OSD directories took %.2f s\n", run.cycleSeconds);
}

// OSD directories and disk nodes come and go without pause while the daemon
// runs cycle after cycle. Each root is read once per refresh, so no refresh
// can find the set changed between two passes and give up its cycle.
TEST_F(SandboxTest, FixtureFlickersDuringManyCycles)
{
    fault::AddTarget("sdc", "personality=sata");
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    AddPvs({});
    for (int i = 1; i < 40; ++i) {
        AddOsd({"ceph-" + std::to_string(i), FsidOf(i), "bluestore", "", ""});
    }
    std::atomic<bool> stop{false};
    std::thread flicker([&stop] {
        for (unsigned n = 0; !stop; ++n) {
            std::string osd = "/var/lib/ceph/osd/ceph-" + std::to_string(1 + n % 39);
            rename(osd.c_str(), (osd + ".away").c_str());
            rename((osd + ".away").c_str(), osd.c_str());
            std::string node = "/dev/sdy" + std::string(1, static_cast<char>('a' + n % 26));
            if (mknod(node.c_str(), S_IFBLK | 0600, makedev(60, 200 + n % 26)) != 0) {
                unlink(node.c_str());
            }
            if (n % 64 == 0) {
                rename("/var/lib/ceph/osd", "/var/lib/ceph/osd.away");
                rename("/var/lib/ceph/osd.away", "/var/lib/ceph/osd");
            }
        }
    });
    constexpr int kRuns = 25;
    for (int i = 0; i < kRuns; ++i) {
        fault::ExpectOrderlyCycle(fault::RunCycle(WithDrives()));
    }
    stop = true;
    flicker.join();
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
    int races = 0;
    for (const std::string &line : LogMessages()) {
        races += line.find("get all fsid error") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(races, 0);
}

}  // namespace
