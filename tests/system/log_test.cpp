// The daemon's log on disk: rotation, and the notices when the log cannot be
// written. Whatever happens to the log, the daemon runs and stops cleanly.
#include <sys/mount.h>
#include <sys/stat.h>

#include <csignal>
#include <algorithm>
#include <cstring>
#include <functional>

#include "sandbox.h"

using namespace sandbox;

namespace {

constexpr const char *kLog = "/var/log/ceph-zarvel.log";
constexpr const char *kOld = "/var/log/ceph-zarvel.log.old";
constexpr long kLimit = 4193280;

// A log of exactly `size` bytes made of whole lines.
std::string Filler(long size, char fill)
{
    std::string text;
    while (static_cast<long>(text.size()) + 100 < size) {
        text += std::string(99, fill) + "\n";
    }
    return text + std::string(static_cast<size_t>(size) - text.size() - 1, fill) + "\n";
}

std::string Describe(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0) {
        return "absent";
    }
    if (S_ISDIR(st.st_mode)) {
        return "directory";
    }
    return std::to_string(st.st_size) + " bytes";
}

class LogFileTest : public SandboxTest {};

// True when the file begins with `before` and its last log entries are `tail`.
void ExpectLog(const char *path, const std::string &before, const std::vector<std::string> &tail)
{
    std::string text = ReadFile(path);
    EXPECT_EQ(text.compare(0, before.size(), before), 0) << path << ": earlier lines changed";
    std::vector<std::string> messages = LogMessages(path);
    ASSERT_GE(messages.size(), tail.size()) << path;
    EXPECT_EQ(std::vector<std::string>(messages.end() - static_cast<long>(tail.size()), messages.end()), tail)
        << path;
}

struct RotationCase {
    const char *name;
    long size;        // of the log before the start
    bool oldBefore;   // a rotated generation exists already
    int rotateAfter;  // daemon lines written before the rotation; -1: none
};

// A file is rotated at the first line that finds it larger than the limit,
// before that line is written.
TEST_F(LogFileTest, RotatesOnlyPastTheLimit)
{
    const std::vector<std::string> lines = {"INFO ceph zarvel start", "INFO ceph zarvel stop"};
    const RotationCase cases[] = {
        {"small log: appended", 300, true, -1},
        {"exactly at the limit: start appended, stop rotates", kLimit, false, 1},
        {"one byte over: start rotates", kLimit + 1, false, 0},
        {"old generation replaced", kLimit + 1, true, 0},
    };
    for (const RotationCase &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        std::string before = Filler(c.size, 'x');
        WriteFile(kLog, before);
        std::string oldBefore = c.oldBefore ? Filler(500, 'o') : "";
        if (c.oldBefore) {
            WriteFile(kOld, oldBefore);
        }
        Exit result = RunOneCycle();
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        if (c.rotateAfter < 0) {
            EXPECT_EQ(ReadFile(kOld), oldBefore);
            ExpectLog(kLog, before, lines);
            continue;
        }
        ExpectLog(kOld, before, std::vector<std::string>(lines.begin(), lines.begin() + c.rotateAfter));
        EXPECT_EQ(LogMessages(kLog), std::vector<std::string>(lines.begin() + c.rotateAfter, lines.end()));
        EXPECT_EQ(LogLines(kOld).size(), std::count(before.begin(), before.end(), '\n') + c.rotateAfter)
            << "the rotated file holds exactly the old log and the lines before the rotation";
    }
}

void MountTinyLogDir()
{
    ASSERT_EQ(mount("sandbox", "/var/log", "tmpfs", MS_NOSUID, "size=4k,mode=0755"), 0) << strerror(errno);
}

// Fills the tiny tmpfs with another file until no byte fits.
void FillLogDir()
{
    MountTinyLogDir();
    FILE *fp = fopen("/var/log/ballast", "w");
    ASSERT_NE(fp, nullptr);
    setvbuf(fp, nullptr, _IONBF, 0);
    while (fputc('b', fp) != EOF) {
    }
    fclose(fp);
}

struct FailureCase {
    const char *name;
    std::function<void()> setup;
    uid_t uid;
    const char *notice;  // printed once per line; "{N}" = length of the full line
    const char *logAfter;
};

// "{N}" in a notice is the length of the line that was to be written,
// "]\n" included: header, pid, "[INFO][", message.
std::string Notices(const std::string &notice, pid_t pid)
{
    std::string out;
    for (const char *message : {"ceph zarvel start", "ceph zarvel stop"}) {
        size_t length = 21 + std::string("[process(" + std::to_string(pid) + ")][INFO][").size() +
                        strlen(message) + 2;
        std::string text = notice;
        size_t at = text.find("{N}");
        if (at != std::string::npos) {
            text.replace(at, 3, std::to_string(length));
        }
        out += text;
    }
    return out;
}

TEST_F(LogFileTest, UnwritableLogGivesNoticesAndTheDaemonRunsOn)
{
    const char *open = "Open log file failed \n";
    const char *full = "The Disk space is full, writed -1 of {N} \n";
    const FailureCase cases[] = {
        {"not root", [] {}, 65534, "Cur user is not root, Unable to access the current log\n", "absent"},
        {"log path is a directory", [] { MakeDirs(kLog); }, 0, open, "directory"},
        {"log directory read-only",
         [] { ASSERT_EQ(mount("sandbox", "/var/log", "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0); }, 0,
         open, "absent"},
        {"disk full", FillLogDir, 0, full, "0 bytes"},
        {"disk full in the middle of a line",
         [] {
             MountTinyLogDir();
             WriteFile(kLog, Filler(4096 - 10, 'x'));
         },
         0, full, "4086 bytes"},  // the cut line taken back
    };
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        c.setup();
        RunOptions opts;
        opts.uid = c.uid;
        Process proc = StartDaemon(opts);
        ASSERT_TRUE(WaitUntilSleeping(proc.pid)) << "the daemon did not go on to its cycle";
        pid_t pid = proc.pid;
        Exit result = Stop(proc, SIGTERM);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, Notices(c.notice, pid));
        EXPECT_EQ(Describe(kLog), c.logAfter);
    }
}

}  // namespace
