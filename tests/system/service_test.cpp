// The real daemon in the sandbox: start, stop, signals.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <csignal>
#include <ctime>
#include <regex>
#include <thread>

#include "fault.h"
#include "sandbox.h"
#include "service/service.h"
#include "wcache/wcache.h"

using namespace sandbox;

namespace {

class ServiceTest : public SandboxTest {};

// The daemon runs in a zone 5:30 east of UTC, so a line stamped in UTC is
// caught as well as a malformed one.
constexpr const char *kZone = "TZ=ZRV-5:30";
constexpr time_t kZoneOffset = 5 * 3600 + 30 * 60;

// Checks one line of the log against the full format and returns its time.
time_t CheckLine(const std::string &line, pid_t pid, const std::string &message)
{
    static const std::regex format(R"(\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\])"
                                   R"(\[process\((\d+)\)\]\[INFO\]\[(.*)\])");
    std::smatch m;
    if (!std::regex_match(line, m, format)) {
        ADD_FAILURE() << "malformed line: " << line;
        return 0;
    }
    EXPECT_EQ(m[7].str(), std::to_string(pid));
    EXPECT_EQ(m[8].str(), message);
    struct tm local = {};
    local.tm_year = std::stoi(m[1]) - 1900;
    local.tm_mon = std::stoi(m[2]) - 1;
    local.tm_mday = std::stoi(m[3]);
    local.tm_hour = std::stoi(m[4]);
    local.tm_min = std::stoi(m[5]);
    local.tm_sec = std::stoi(m[6]);
    return timegm(&local) - kZoneOffset;
}

TEST_F(ServiceTest, StartAndStopLinesCarryLocalTimeAndPid)
{
    time_t before = time(nullptr);
    RunOptions opts;
    opts.env = {kZone};
    Process proc = StartDaemon(opts);
    ASSERT_TRUE(WaitUntilSleeping(proc.pid));
    pid_t pid = proc.pid;
    Exit result = Stop(proc, SIGTERM);
    time_t after = time(nullptr);

    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "") << "stdout carries only notices";
    std::string text = ReadFile("/var/log/ceph-zarvel.log");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u) << text;
    time_t start = CheckLine(lines[0], pid, "ceph zarvel start");
    time_t stop = CheckLine(lines[1], pid, "ceph zarvel stop");
    EXPECT_GE(start, before);
    EXPECT_LE(start, stop);
    EXPECT_LE(stop, after);
}

struct SignalCase {
    const char *name;
    int sig;
    bool exited;  // exit status 0; otherwise killed by sig
    std::vector<std::string> log;
};

TEST_F(ServiceTest, OnlySigtermStopsInOrder)
{
    const SignalCase cases[] = {
        {"SIGTERM", SIGTERM, true, {"INFO ceph zarvel start", "INFO ceph zarvel stop"}},
        {"SIGINT", SIGINT, false, {"INFO ceph zarvel start"}},
        {"SIGHUP", SIGHUP, false, {"INFO ceph zarvel start"}},
    };
    for (const SignalCase &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Process proc = StartDaemon();
        ASSERT_TRUE(WaitUntilSleeping(proc.pid));
        // The sleep lasts 600 s; ending within Stop's timeout means at once.
        Exit result = Stop(proc, c.sig);
        EXPECT_EQ(result.exited, c.exited);
        EXPECT_EQ(result.exited ? result.status : result.signal, c.exited ? 0 : c.sig);
        EXPECT_EQ(LogMessages(), c.log);
    }
}

// A change ends the wait once quiet, capped in a storm, never within a
// second of a cycle's start; times are ms after the cycle that ran from
// 9500 to 10000.
struct WakeCase {
    const char *what;
    std::vector<int64_t> changes;
    int64_t now;
    int64_t left;
};

TEST(WakeTest, WhenAChangeStartsACycle)
{
    const WakeCase cases[] = {
        {"no change: the full period", {}, 1000, 599000},
        {"no change, period over", {}, 600000, 0},
        {"one change waits for quiet", {5000}, 5000, 200},
        {"a burst waits for its last step", {5000, 5100, 5150}, 5200, 150},
        {"a storm is capped after its first change", {5000, 5190, 5380, 5570, 5760, 5950}, 5950, 50},
        {"what the cycle stirred up waits out the gap", {10, 20}, 220, 280},
        {"a change never delays the period", {599900}, 599950, 50},
    };
    for (const WakeCase &c : cases) {
        WakeState wake = {};
        NoteCycle(&wake, 9500, 10000);
        for (int64_t at : c.changes) NoteChange(&wake, 10000 + at);
        EXPECT_EQ(MsUntilCycle(&wake, 10000 + c.now), c.left) << c.what;
    }
}

struct UeventCase {
    std::string msg;  // '|' stands for the NUL after each field
    bool matters;
};

TEST(UeventTest, WhichUeventsEndTheWait)
{
    const UeventCase cases[] = {
        {"add@/block/sdc|ACTION=add|DEVPATH=/block/sdc|SUBSYSTEM=block|DEVTYPE=disk|", true},
        {"change@/block/sdc|ACTION=change|SUBSYSTEM=block|", true},
        {"remove@/block/dm-3|ACTION=remove|SUBSYSTEM=block|DEVTYPE=disk|", true},
        {"bind@/block/sdc|ACTION=bind|SUBSYSTEM=block|", false},
        {"change@/x|ACTION=change|SUBSYSTEM=scsi|DEVTYPE=scsi_device|SDEV_UA=POWER_ON_RESET_OCCURRED|", true},
        {"change@/x|ACTION=change|SUBSYSTEM=scsi|DEVTYPE=scsi_device|SDEV_UA=MODE_PARAMETERS_CHANGED|", true},
        {"change@/x|ACTION=change|SUBSYSTEM=scsi|DEVTYPE=scsi_device|SDEV_MEDIA_CHANGE=1|", false},
        {"change@/x|ACTION=change|SUBSYSTEM=scsi|DEVTYPE=scsi_device|SDEV_UA=|", false},
        {"change@/x|ACTION=change|SUBSYSTEM=scsi|DEVTYPE=scsi_host|SDEV_UA=POWER_ON_RESET_OCCURRED|", false},
        {"change@/x|ACTION=changed|SUBSYSTEM=block|", false},
        {"change@/x|ACTION=change|SUBSYSTEM=blockx|", false},
        {"change@/x|ACTION=change|SUBSYSTEM=blo", false},  // cut short
        {"", false},
    };
    for (const UeventCase &c : cases) {
        std::string msg = c.msg;
        std::replace(msg.begin(), msg.end(), '|', '\0');
        std::vector<char> exact(msg.begin(), msg.end());  // nothing past them may be read
        EXPECT_EQ(UeventMatters(exact.data(), exact.size()), c.matters) << c.msg;
    }
}

// systemd's socket (here an abstract name; the system guest has its path):
// READY=1 after the first cycle, the status line with it.
TEST_F(ServiceTest, TellsSystemdWhenReady)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {AF_UNIX, "\0zarvel-notify-test"};
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), offsetof(sockaddr_un, sun_path) + 19), 0);
    RunOptions opts;
    opts.env = {"NOTIFY_SOCKET=@zarvel-notify-test"};
    Process proc = StartDaemon(opts);
    ASSERT_TRUE(WaitUntilSleeping(proc.pid));
    char got[256] = {};
    EXPECT_GT(recv(fd, got, sizeof(got) - 1, MSG_DONTWAIT), 0);
    EXPECT_STREQ(got, "READY=1\nSTATUS=0 disks guarded, 0 off; next full check in 600 s\n");
    Stop(proc, SIGTERM);
    close(fd);
}

// An OSD that appears while the daemon waits is switched within seconds.
TEST_F(ServiceTest, ChangeEndsTheWait)
{
    Process proc = StartDaemon(WithDrives());
    ASSERT_TRUE(WaitUntilSleeping(proc.pid));
    fault::AddTarget("sdc", "personality=sata");
    for (int i = 0; i < 400 && ReadFile("/var/log/ceph-zarvel.log").find("sync device sdc") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(WaitUntilSleeping(proc.pid));
    Exit result = Stop(proc, SIGTERM);
    EXPECT_TRUE(result.exited && result.status == 0);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"INFO ceph zarvel start", "INFO change config of sdc succeed",
                                                        "INFO rescan dev sdc return 0", "INFO sync device sdc return 0",
                                                        "INFO ceph zarvel stop"}));
}

// An argument answers or is refused before a line, a command or a disk command.
TEST_F(ServiceTest, ArgumentsAnswerOrRefuseAndTouchNothing)
{
    const std::vector<std::string> cases[] = {{"--help"}, {"--version"}, {"--foreground"}, {"--help", "--version"}};
    const std::string answers[] = {"usage: ceph-zarvel", "ceph-zarvel 0.1.0\n", "", ""};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].back());
        Reset();
        fault::AddTarget("sdc", "personality=sata");
        std::vector<std::string> argv = {DaemonPath()};
        argv.insert(argv.end(), cases[i].begin(), cases[i].end());
        Exit run;
        Captured got = CaptureOutput([&] { Process proc = Start(argv, WithDrives()); run = Stop(proc, 0); });
        EXPECT_EQ(run.exited ? run.status : -1, answers[i].empty() ? 2 : 0);
        EXPECT_EQ(answers[i].empty() ? run.out : run.out.substr(0, answers[i].size()), answers[i]);
        EXPECT_EQ(got.err.find("usage: ceph-zarvel"), answers[i].empty() ? 0 : std::string::npos);
        EXPECT_TRUE(!Exists("/var/log/ceph-zarvel.log") && DriveCommands("sdc").empty());
    }
}

bool Alive(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// The stop line waits for the file lock, which the test holds; a second
// SIGTERM meanwhile must neither kill the process nor break the lock wait.
TEST_F(ServiceTest, SecondSigtermWhileStoppingIsHarmless)
{
    Process proc = StartDaemon();
    ASSERT_TRUE(WaitUntilSleeping(proc.pid));
    int lockFd = open("/var/log/ceph-zarvel.log", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lockFd, 0);
    ASSERT_EQ(flock(lockFd, LOCK_EX), 0);

    kill(proc.pid, SIGTERM);
    EXPECT_TRUE(WaitInSyscall(proc.pid, {SYS_flock})) << "the stop line does not wait for the lock";
    kill(proc.pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Alive(proc.pid));
    EXPECT_TRUE(WaitInSyscall(proc.pid, {SYS_flock}, 1000)) << "the lock wait was not resumed";
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"INFO ceph zarvel start"});

    flock(lockFd, LOCK_UN);
    close(lockFd);
    Exit result = Stop(proc, 0);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"INFO ceph zarvel start", "INFO ceph zarvel stop"}));
}

}  // namespace
