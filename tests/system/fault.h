// Helpers shared by the fault tests (fault_*_test.cpp): one daemon run with
// the checks every fault case makes, whatever the fault: the daemon reaches
// its sleep with no descriptor of its own left open, stops on SIGTERM with
// status 0 and its stop line, and leaves no process behind.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>
#include <string>
#include <vector>

#include "sandbox.h"

namespace fault {

// Descriptors of pid above stderr, as "fd -> target", but for those it got
// from this process (open here without close-on-exec).
inline std::vector<std::string> ExtraFds(pid_t pid)
{
    std::vector<std::string> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string &name : sandbox::DirOrder(dir)) {
        int fd = std::stoi(name);
        int flags = fcntl(fd, F_GETFD);
        if (fd > 2 && (flags < 0 || (flags & FD_CLOEXEC) != 0)) {
            char target[512] = {};
            ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof(target) - 1);
            std::string to(target, n > 0 ? static_cast<size_t>(n) : 0);
            // The wait's own sources stay open for life.
            if (to.rfind("socket:", 0) != 0 && to != "anon_inode:inotify" && to.find("/mountinfo") == std::string::npos)
                fds.push_back(name + " -> " + to);
        }
    }
    return fds;
}

// Processes whose parent is pid.
inline std::vector<pid_t> Children(pid_t pid)
{
    std::vector<pid_t> kids;
    for (const std::string &name : sandbox::DirOrder("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string stat = sandbox::ReadFile("/proc/" + name + "/stat");
        size_t close = stat.rfind(')');
        if (close != std::string::npos && std::stoi(stat.substr(close + 4)) == pid) {
            kids.push_back(std::stoi(name));
        }
    }
    return kids;
}

struct Run {
    bool slept = false;
    double cycleSeconds = 0;          // start to the first sleep
    std::vector<std::string> fds;     // left open at the sleep
    sandbox::Exit exit;
};

// One cycle of the daemon, then SIGTERM; the test process adopts orphans so
// that a child the daemon leaves behind is seen (and reaped) here.
inline Run RunCycle(const sandbox::RunOptions &opts = {}, int timeoutMs = 120000)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    Run run;
    auto start = std::chrono::steady_clock::now();
    sandbox::Process proc = sandbox::StartDaemon(opts);
    run.slept = sandbox::WaitUntilSleeping(proc.pid, timeoutMs);
    run.cycleSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.fds = ExtraFds(proc.pid);  // but the ring of a label read the kernel still owns:
    std::erase_if(run.fds, [](const std::string &fd) { return fd.ends_with("anon_inode:[io_uring]"); });
    EXPECT_TRUE(Children(proc.pid).empty()) << "a child outlives its command";
    run.exit = sandbox::Stop(proc, SIGTERM);
    return run;
}

// The checks of every fault case.
inline void ExpectOrderlyCycle(const Run &run)
{
    EXPECT_TRUE(run.slept) << "no sleep: hung or died in the cycle";
    EXPECT_EQ(run.fds, std::vector<std::string>{}) << "descriptors left open";
    EXPECT_TRUE(run.exit.exited) << "ended by signal " << run.exit.signal;
    EXPECT_EQ(run.exit.status, 0);
    // What a killed command had started died with it and came here as a
    // zombie: reap those; nothing may be left alive.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    EXPECT_EQ(Children(getpid()), std::vector<pid_t>{}) << "processes left behind";
}

// A BlueStore OSD whose data is on the rotational disk (partition 1) and its
// block.db on an SSD: the disk is a target, the SSD is not.
inline void AddTarget(const std::string &disk, const std::string &drive, const std::string &ssd = "sdz",
                      int osd = 0)
{
    sandbox::AddDisk({disk, {disk + "1"}, 1, "write back", drive});
    if (!sandbox::Exists("/dev/" + ssd)) {
        sandbox::AddDisk({ssd, {ssd + "1"}, 0, "write back", "personality=sata"});
    }
    sandbox::AddOsd({"ceph-" + std::to_string(osd), sandbox::FsidOf(osd), "bluestore", "/dev/" + disk + "1",
                     "/dev/" + ssd + "1"});
}

}  // namespace fault
