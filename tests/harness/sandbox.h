// The test sandbox. A test process enters a private mount namespace once
// (EnterSandbox, from the test main) with tmpfs over /dev, /sys/block,
// /var/log and /var/lib; fixtures are then written into those trees and the
// real binary runs in the same namespace. The host's own trees are never
// touched: if the namespace cannot be made, the tests refuse to run.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace sandbox {

// Directory of the sandbox's own files (stand-in commands, drive states).
constexpr const char *kSandboxDir = "/var/lib/zarvel-sandbox";
constexpr const char *kBinDir = "/var/lib/zarvel-sandbox/bin";
constexpr const char *kPath = "/var/lib/zarvel-sandbox/bin:/usr/bin:/bin";

bool EnterSandbox();
constexpr int kSkipStatus = 77;  // exit status of a skipped test program (ctest's SKIP_RETURN_CODE)
// Fresh, empty trees over the sandboxed paths; /dev gets null, zero, urandom.
void Reset();

// ---- fixture rows -------------------------------------------------------
struct Disk {
    std::string name;                     // "sdc"
    std::vector<std::string> partitions;  // {"sdc1", "sdc2"}
    int rotational = 1;
    std::string writeCache = "write back";  // text of queue/write_cache, "" = no attribute
    std::string drive;                    // emulated drive description ("" = none)
};
// Block nodes in /dev and the sysfs attributes of one disk: its device
// numbers (dev, partition) in /sys/block, found from /sys/class/block and
// /sys/dev/block as the kernel links them.
void AddDisk(const Disk &disk);
// A device-mapper device over others, as LVM, cryptsetup and multipathd
// make them: node /dev/dm-N, link to it, dm/uuid and slaves in sysfs.
struct Mapper {
    std::string uuid;               // "LVM-...", "CRYPT-LUKS2-...", "mpath-..."
    std::string link;               // "/dev/ceph-a/osd-block-0", "/dev/mapper/x"
    std::vector<std::string> over;  // kernel names below it ("sdb", "dm-0")
};
// Returns its kernel name, "dm-N".
std::string AddMapper(const Mapper &mapper);
// A logical volume /dev/<vg>/<lv> over the given devices.
std::string AddLv(const std::string &vg, const std::string &lv, const std::vector<std::string> &over);
// The first bytes of the device behind node /dev/<name> (the emulated drive
// serves them to read()): a BlueStore label with this OSD uuid and description.
void WriteLabel(const std::string &name, const std::string &fsid, const std::string &description = "main");
// The device behind node /dev/<name> never answers a read (a dead LUN).
void NeverAnswers(const std::string &name);
// One more block node in /dev (a name only: no sysfs, no drive behind it).
void AddBlockNode(const std::string &name);

struct Osd {
    std::string dir;              // "ceph-0" in /var/lib/ceph/osd, or an absolute path (cephadm)
    std::string fsid;             // written with a line feed unless fsidRaw
    std::string type = "bluestore";  // written with a line feed; "" = no file
    std::string block;            // link target, "" = no link
    std::string blockDb;          // link target, "" = no link
    bool fsidRaw = false;         // write fsid exactly as given
    bool labelled = true;         // the device behind block carries this OSD's label
};
void AddOsd(const Osd &osd);

// Commands started (posix_spawnp, popen) and calls of realpath made by this
// test process (all of them, ever): compare before and after to prove that
// nothing was run or resolved.
int PopenCalls();
int RealpathCalls();

// ---- files ----------------------------------------------------------------
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);
std::string ReadFile(const std::string &path);
bool Exists(const std::string &path);
void MakeDirs(const std::string &path);
// Entry names of dir in the order readdir yields them, without "." and "..".
// tmpfs order is stable but not creation order: read it, never assume it.
std::vector<std::string> DirOrder(const std::string &dir);
// True when text is well-formed UTF-8 (iconv's strict decoder: no overlong
// forms, no surrogates, nothing past U+10FFFF).
bool ValidUtf8(const std::string &text);
// A distinct well-formed 36-character fsid for each n.
std::string FsidOf(int n);

// Lines of /var/log/ceph-zarvel.log (none when it is not a regular file).
std::vector<std::string> LogLines(const std::string &path = "/var/log/ceph-zarvel.log");
// The same lines reduced to "LEVEL message" ("INFO ceph zarvel start").
std::vector<std::string> LogMessages(const std::string &path = "/var/log/ceph-zarvel.log");

// ---- this process's own output ----------------------------------------------
struct Captured {
    std::string out, err;
};
// Runs call with fds 1 and 2 pointed at memory files; what each received.
Captured CaptureOutput(const std::function<void()> &call);

// ---- processes ------------------------------------------------------------
struct RunOptions {
    std::vector<std::string> env;  // extra "NAME=value" entries
    uid_t uid = 0;                 // run as this user when not 0
    std::string daemon;            // StartDaemon's binary; "" = DaemonPath()
    bool stdoutUnread = false;     // stdout a pipe whose reader is gone at the start
};
// Starts the daemon (build/ceph-zarvel by default); stdout goes to a pipe.
struct Process {
    pid_t pid = -1;
    int outFd = -1;
};
Process Start(const std::vector<std::string> &argv, const RunOptions &opts = {});
Process StartDaemon(const RunOptions &opts = {});
// True once the process is blocked in one of the given system calls (false
// when it is gone or timeoutMs passes).
bool WaitInSyscall(pid_t pid, const std::vector<long> &numbers, int timeoutMs = 20000);
// True once the process is in its wait between cycles; false when it ends
// or timeoutMs passes first.
bool WaitUntilSleeping(pid_t pid, int timeoutMs = 20000);
struct Exit {
    bool exited = false;
    int status = -1;      // exit status when exited
    int signal = 0;       // terminating signal otherwise
    std::string out;      // everything printed on stdout
};
// Sends sig (0: none), then waits up to timeoutMs for the end.
Exit Stop(Process &proc, int sig, int timeoutMs = 20000);
// Runs the daemon for one cycle: start, wait for its sleep, SIGTERM.
Exit RunOneCycle(const RunOptions &opts = {});

std::string DaemonPath();

// ---- emulated drives (tests/drive) ------------------------------------------
// A Disk's drive description is whitespace-separated key=value words, for example
// "personality=sas wce=1 hdio=enotty reject=55 fault=timeout:35"; "same=sdb"
// makes the node a second path to the drive of sdb (multipath).
// Commands the drive of disk received, in order: CDB bytes in hex, followed
// by " > " and the parameter data for commands that send data; "hdio N" for
// an HDIO_SET_WCACHE request.
std::vector<std::string> DriveCommands(const std::string &disk);
// The drive's WCE now (its description's value until a command changed it).
int DriveWce(const std::string &disk);
// opts with the emulated drive preloaded into the child.
RunOptions WithDrives(RunOptions opts = {});

}  // namespace sandbox

// Base for tests that touch the sandboxed trees: each test starts empty.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override { sandbox::Reset(); }
};
