// The log in trouble: whatever happens to /var/log, the daemon goes on with
// its job (the target disk is still switched), says so on standard output,
// and stops in order.
#include <sys/mount.h>
#include <sys/stat.h>

#include <functional>
#include <regex>

#include "fault.h"

using namespace sandbox;

namespace {

struct LogFault {
    const char *name;
    std::function<void()> make;
    const char *notice;   // expected on standard output ("" = none)
    bool fileHasStop;     // the stop line reaches /var/log/ceph-zarvel.log
    bool stdoutUnread = false;  // nobody reads the notices: a pipe without reader
};
void PrintTo(const LogFault &f, std::ostream *os) { *os << f.name; }

constexpr const char *kLog = "/var/log/ceph-zarvel.log";

std::string Entries(size_t bytes)  // whole log entries, at least bytes of them
{
    std::string entry = "[2026-12-07 00:00:00][process(1)][INFO][" + std::string(60, 'x') + "]\n", log;
    while (log.size() < bytes) log += entry;
    return log;
}

void FillDisk(size_t logBytes)
{
    // A small file system of its own, filled up but for a few bytes: the next line may fit in part.
    ASSERT_EQ(mount("full", "/var/log", "tmpfs", MS_NOSUID, "size=16k"), 0);
    WriteFile(kLog, Entries(logBytes), 0644);
    WriteFile("/var/log/filler", std::string(12 * 1024, 'x'));
    std::string more(512, 'y');
    for (int i = 0; i < 16; ++i) {
        int fd = open(("/var/log/filler" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
        while (write(fd, more.data(), more.size()) > 0) {
        }
        close(fd);
    }
}

// Every line is one whole entry (no message here holds a "["), found by its start.
void ExpectWholeEntries()
{
    static const std::regex entry(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[process\(\d+\)\]\[[A-Z]+\]\[[^[]*\])");
    for (const std::string &line : LogLines()) EXPECT_TRUE(std::regex_match(line, entry)) << "a torn line: " << line;
}

void ReadOnlyLog()
{
    ASSERT_EQ(mount(nullptr, "/var/log", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
}

const LogFault kFaults[] = {
    {"read_only_directory", ReadOnlyLog, "Open log file failed ", false},
    {"notices_to_a_pipe_without_reader", ReadOnlyLog, "", false, true},
    {"file_system_full", [] { FillDisk(0); }, "The Disk space is full, writed", false},
    {"file_system_full_in_the_middle_of_a_line", [] { FillDisk(3990); }, "The Disk space is full, writed", false},
    {"log_is_a_directory", [] { MakeDirs(kLog); }, "Open log file failed ", false},
    {"log_is_a_symlink_loop", [] { ASSERT_EQ(symlink(kLog, kLog), 0); }, "Open log file failed ", false},
    {"log_is_a_dangling_symlink", [] { ASSERT_EQ(symlink("/var/log/gone/x.log", kLog), 0); },
     "Open log file failed ", false},
    // Lines are not appended through a link or waited on behind a FIFO.
    {"log_is_a_symlink_to_a_file", [] {
         WriteFile("/var/log/elsewhere", "");
         ASSERT_EQ(symlink("/var/log/elsewhere", kLog), 0);
     }, "Open log file failed ", false},
    {"log_is_a_fifo", [] { ASSERT_EQ(mkfifo(kLog, 0600), 0); }, "Open log file failed ", false},
    // The rotation cannot clear the way: the lines go to the current file.
    {"old_log_is_a_directory", [] {
         WriteFile(kLog, Entries(4193281));
         MakeDirs(std::string(kLog) + ".old/keep");
     }, "Open log file failed ", true},
};

class FaultLogTest : public SandboxTest, public ::testing::WithParamInterface<LogFault> {};

TEST_P(FaultLogTest, DaemonKeepsWorking)
{
    fault::AddTarget("sdc", "personality=sata");
    GetParam().make();
    RunOptions opts = WithDrives();
    opts.stdoutUnread = GetParam().stdoutUnread;
    fault::Run run = fault::RunCycle(opts);
    fault::ExpectOrderlyCycle(run);
    EXPECT_EQ(DriveWce("sdc"), 0) << "the disk must be switched all the same";
    EXPECT_NE(run.exit.out.find(GetParam().notice), std::string::npos) << run.exit.out;
    std::vector<std::string> log = LogMessages();
    EXPECT_EQ(!log.empty() && log.back() == "INFO ceph zarvel stop", GetParam().fileHasStop);
    ExpectWholeEntries();
}
INSTANTIATE_TEST_SUITE_P(Log, FaultLogTest, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

// A file system that fills up in the middle of a run and frees again: the
// lines written before and after are whole, and a later run logs normally.
TEST_F(SandboxTest, LogRecoversAfterTheDiskFreesUp)
{
    fault::AddTarget("sdc", "personality=sata");
    FillDisk(3990);
    fault::ExpectOrderlyCycle(fault::RunCycle(WithDrives()));
    unlink("/var/log/filler");
    fault::ExpectOrderlyCycle(fault::RunCycle(WithDrives()));
    std::vector<std::string> log = LogMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.back(), "INFO ceph zarvel stop");
    ExpectWholeEntries();
}

}  // namespace
