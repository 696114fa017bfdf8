// The daemon under valgrind's memcheck, one cycle per run, over a sequence of
// ten inventories: no leak, no invalid access, no descriptor left open. The daemon
// sleeps 600 s per cycle, so each state is one run; the multi-cycle table
// handling runs under memcheck through the inventory unit tests instead.
// Runs only when ZARVEL_VALGRIND is set (scripts/test.d/20-valgrind.sh).
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace sandbox;

namespace {

const std::string kVgLog = std::string(kSandboxDir) + "/memcheck.log";

// Descriptors of the sleeping daemon, as "fd -> target" (pipe numbers left
// out), below valgrind's own reserved range at the top of the table.
std::vector<std::string> OpenFds(pid_t pid)
{
    std::vector<std::string> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string &fd : DirOrder(dir)) {
        if (std::stoi(fd) >= 1000) continue;
        char target[512] = {};
        ssize_t n = readlink((dir + "/" + fd).c_str(), target, sizeof(target) - 1);
        std::string text(target, n > 0 ? static_cast<size_t>(n) : 0);
        fds.push_back(fd + " -> " + text.substr(0, text.find(":[")));
    }
    return fds;
}

void Layout()
{
    AddDisk({"sda", {"sda1"}, 0});
    AddDisk({"sdb"});
    AddDisk({"sdc", {"sdc1"}});
    AddDisk({"sdd", {"sdd1", "sdd2"}, 0});
    AddLv("ceph-a", "osd-block-0", {"sdb"});
    AddOsd({"ceph-0", FsidOf(0), "bluestore", "/dev/ceph-a/osd-block-0", "/dev/sdd1"});
    AddOsd({"ceph-1", FsidOf(1), "bluestore", "/dev/sdc", "/dev/sdd2"});
    AddOsd({"ceph-2.old", FsidOf(2), "filestore", "/dev/sdc1", ""});
    AddOsd({"ceph-3", FsidOf(3).substr(2), "bluestore", "", ""});
    WriteFile("/var/lib/ceph/osd/ceph-3/block", "not a link");
}

}  // namespace

class ValgrindTest : public SandboxTest {};

TEST_F(ValgrindTest, OneCyclePerInventoryStateIsClean)
{
    if (getenv("ZARVEL_VALGRIND") == nullptr) {
        GTEST_SKIP() << "memcheck runs only with ZARVEL_VALGRIND set";
    }
    const struct {
        const char *what;
        std::function<void()> change;
    } states[] = {
        {"nothing at all", [] {}},
        {"LVM, raw, filestore, refused and broken OSDs", Layout},
        {"a new partition, an OSD gone",
         [] {
             AddBlockNode("sdb9");
             unlink("/var/lib/ceph/osd/ceph-1/fsid");
         }},
        {"the LV suspended", [] { WriteFile("/sys/block/dm-0/dm/suspended", "1\n"); }},
        {"OSD directory unreadable",
         [] {
             rename("/var/lib/ceph/osd", "/var/lib/ceph/away");
             WriteFile("/var/lib/ceph/osd", "");
         }},
        {"OSD directory back, one type file a directory",
         [] {
             unlink("/var/lib/ceph/osd");
             rename("/var/lib/ceph/away", "/var/lib/ceph/osd");
             unlink("/var/lib/ceph/osd/ceph-0/type");
             MakeDirs("/var/lib/ceph/osd/ceph-0/type");
         }},
        {"a Rook OSD on a host disk",
         [] { AddOsd({"/var/lib/rook/ns/" + FsidOf(8) + "_" + FsidOf(9), FsidOf(9), "bluestore", "/dev/sdb", "/dev/sdd2"}); }},
        {"block link loops, block.db dangles, new OSD",
         [] {
             AddOsd({"ceph-4", FsidOf(4), "bluestore", "/var/lib/ceph/osd/ceph-4/block", "/dev/sdq1"});
         }},
        {"nine partitions appear", [] {
             for (int i = 2; i <= 10; ++i) AddBlockNode("sdc" + std::to_string(i));
         }},
        {"every disk node gone", [] {
             for (const std::string &name : DirOrder("/dev")) {
                 if (name.rfind("sd", 0) == 0) unlink(("/dev/" + name).c_str());
             }
         }},
    };
    std::vector<std::string> baseline;
    for (const auto &state : states) {
        state.change();
        unlink(kVgLog.c_str());
        // Under valgrind a spawn is a plain fork: a command that is not
        // installed leaves a child that never reaches exec, and its exit
        // report (the parent's descriptors and heap) is not the daemon's.
        Process proc = Start({"/usr/bin/valgrind", "--quiet", "--leak-check=full", "--show-leak-kinds=all",
                              "--errors-for-leak-kinds=all", "--error-exitcode=99", "--track-fds=yes",
                              "--child-silent-after-fork=yes", "--log-file=" + kVgLog, DaemonPath()});
        ASSERT_TRUE(WaitUntilSleeping(proc.pid, 180000)) << state.what;
        // The first state opens nothing but the log, which it closes again:
        // every later cycle must end with exactly the descriptors it had.
        std::vector<std::string> fds = OpenFds(proc.pid);
        if (baseline.empty()) baseline = fds;
        EXPECT_EQ(fds, baseline) << state.what;
        Exit exit = Stop(proc, SIGTERM, 180000);
        EXPECT_TRUE(exit.exited) << state.what;
        EXPECT_EQ(exit.status, 0) << state.what << "\n" << ReadFile(kVgLog);
        // With --track-fds every descriptor open at exit is listed with where
        // it came from: all of them must have been inherited.
        std::string report = ReadFile(kVgLog);
        for (size_t at = report.find("Open file descriptor"); at != std::string::npos;
             at = report.find("Open file descriptor", at + 1)) {
            size_t next = report.find("Open file descriptor", at + 1);
            EXPECT_NE(report.substr(at, next - at).find("<inherited from parent>"), std::string::npos)
                << state.what << "\n" << report;
        }
        EXPECT_EQ(report.find("definitely lost"), std::string::npos) << state.what << "\n" << report;
        EXPECT_EQ(report.find("Invalid "), std::string::npos) << state.what << "\n" << report;
        EXPECT_EQ(LogMessages().back(), "INFO ceph zarvel stop") << state.what;
    }
}
