// SIGTERM at a random moment of a busy cycle (children running, drives
// answering), then a second one once the daemon sleeps: every run must end
// with status 0 and the stop line, with no process left behind.
#include <random>

#include "fault.h"

using namespace sandbox;

namespace {

// True once pid has a handler for SIGTERM (its SigCgt mask has bit 15).
bool HandlesSigterm(pid_t pid)
{
    for (int i = 0; i < 4000; ++i) {
        std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
        size_t at = status.find("SigCgt:");
        if (at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

TEST_F(SandboxTest, SigtermAtRandomMomentsOfACycle)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int i = 0; i < 4; ++i) {
        fault::AddTarget("sd" + std::string(1, static_cast<char>('c' + i)), "personality=sata", "sdz", i);
    }
    // How long a cycle takes here, so that the signals spread over all of it.
    fault::Run first = fault::RunCycle(WithDrives());
    fault::ExpectOrderlyCycle(first);
    int cycleUs = static_cast<int>(first.cycleSeconds * 1e6);
    std::mt19937 rng(12345);
    constexpr int kRuns = 100;
    int duringCycle = 0;
    for (int run = 0; run < kRuns; ++run) {
        unlink("/var/log/ceph-zarvel.log");
        unlink("/var/lib/zarvel-sandbox/drives/sdc.state");  // WCE back on: the pass has work
        Process proc = StartDaemon(WithDrives());
        ASSERT_TRUE(HandlesSigterm(proc.pid));
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % static_cast<unsigned>(cycleUs + 1)));
        kill(proc.pid, SIGTERM);
        duringCycle += fault::ExtraFds(proc.pid).empty() ? 0 : 1;
        // A signal that came during the sleep has already ended the daemon.
        (void)WaitUntilSleeping(proc.pid, 60000);
        Exit exit = Stop(proc, SIGTERM);
        EXPECT_TRUE(exit.exited && exit.status == 0) << "run " << run << " signal " << exit.signal;
        std::vector<std::string> log = LogMessages();
        EXPECT_TRUE(!log.empty() && log.back() == "INFO ceph zarvel stop") << "run " << run;
        EXPECT_EQ(fault::Children(getpid()), std::vector<pid_t>{}) << "run " << run;
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    printf("%d of %d first signals caught the daemon with a descriptor open mid-cycle\n", duringCycle, kRuns);
}

}  // namespace
