// The real daemon in the sandbox: start, stop, signals.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <regex>
#include <thread>

#include "fault.h"
#include "sandbox.h"

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
