// Bad inventory input: broken OSD directories and roots, odd /dev entries,
// devices that never answer, and a fixture that changes under the daemon's feet. In every
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

struct InventoryFault {
    const char *name;
    std::function<void()> make;
    bool sdcSwitched;
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
    // The classic root a loop: the target, now an OSD on a Rook PVC, still counts.
    {"osd_root_is_a_link_loop", [] { MakeDirs("/var/lib/rook/ns"); rename("/var/lib/ceph/osd", "/var/lib/rook/ns/pvc-0");
                                      symlink("osd", "/var/lib/ceph/osd"); }, true},
    {"block_device_suspended", [] { AddMapper({"CRYPT-PLAIN-sdd", "/dev/mapper/held", {"sdd"}}); Osd1("/dev/mapper/held", "/dev/sdz1");
                                    WriteFile("/sys/block/dm-0/dm/suspended", "1\n"); }, true},
    // A device that never answers costs its own OSD only, and one line.
    {"block_reads_never_finish", [] { Osd1("/dev/sdd", "/dev/sdz1"); NeverAnswers("sdd"); }, true,
     "WARNING device does not answer:/var/lib/ceph/osd/ceph-1 on /dev/sdd"},
    {"block_on_multipath_without_running_path", [] {
         Osd1("/dev/" + AddMapper({"mpath-3600a", "/dev/mapper/mpatha", {"sdd"}}), "/dev/sdz1");
         WriteFile("/sys/block/sdd/device/scsi_level", "7\n");
         WriteFile("/sys/block/sdd/device/state", "transport-offline\n");
         NeverAnswers("dm-0");
     }, true, "WARNING device does not answer:/var/lib/ceph/osd/ceph-1 on /dev/dm-0"},
    // A name that would start a line of its own, with a terminal command.
    {"osd_name_forges_log_lines", [] {
         std::string dir = "x\n[2026-12-06 01:45:12][process(1)][INFO][change config of sdd succeed\x1b[2J";
         AddOsd({dir, FsidOf(1), "bluestore", "", ""});
         WriteFile("/var/lib/ceph/osd/" + dir + "/block", "");  // not a link: its path is logged
     }, true},
};

class FaultInventoryTest : public SandboxTest, public ::testing::WithParamInterface<InventoryFault> {};

TEST_P(FaultInventoryTest, OnlyTheTargetIsTouched)
{
    fault::AddTarget("sdc", "personality=sata");
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    GetParam().make();
    fault::Run run = fault::RunCycle(WithDrives());
    fault::ExpectOrderlyCycle(run);
    EXPECT_EQ(DriveWce("sdc"), GetParam().sdcSwitched ? 0 : 1) << ::testing::PrintToString(LogMessages());
    EXPECT_EQ(DriveCommands("sdd"), std::vector<std::string>{});
    EXPECT_EQ(DriveCommands("sdz"), std::vector<std::string>{});
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

// More OSD directories than one cycle reads in one root: one line, and the
// other roots still count (the target's OSD is cephadm's, read after).
TEST_F(SandboxTest, TooManyOsdDirectoriesLogOnceAndGoOn)
{
    fault::AddTarget("sdc", "personality=sata");
    AddDisk({"sdd", {}, 1, "write back", "personality=sata"});
    const std::string cluster = "/var/lib/ceph/5e1f0c2a-0d5b-4c1e-9a7e-1234567890ab/";
    MakeDirs(cluster);
    ASSERT_EQ(rename("/var/lib/ceph/osd/ceph-0", (cluster + "osd.0").c_str()), 0);
    for (int i = 0; i < 4100; ++i) {
        std::string dir = "/var/lib/ceph/osd/flood-" + std::to_string(i);
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
