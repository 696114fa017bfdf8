// The sandbox: private mount namespace, fixture writers, process control.
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace sandbox {
namespace {

const char *const kTrees[] = {"/dev", "/sys/block", "/sys/class/block", "/sys/dev/block", "/var/log", "/var/lib"};

// Fixture disks use a block major reserved for local use, which no driver on a
// test host claims: a node that the emulated drive does not serve can never
// reach a real disk.
constexpr unsigned kDiskMajor = 60;
constexpr unsigned kMapperMajor = 61;

unsigned g_nextMinor = 0;
unsigned g_nextMapper = 0;

void Check(bool ok, const std::string &what)
{
    if (!ok) {
        fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), strerror(errno));
        abort();
    }
}

void MakeNode(const std::string &path, mode_t kind, unsigned maj, unsigned min)
{
    Check(mknod(path.c_str(), kind | 0660, makedev(maj, min)) == 0, "mknod " + path);
}

// A device's sysfs directory, its dev attribute and the kernel's links to it.
void AddSysDevice(const std::string &dir, const std::string &name, unsigned maj, unsigned min)
{
    std::string number = std::to_string(maj) + ":" + std::to_string(min);
    MakeDirs(dir);
    WriteFile(dir + "/dev", number + "\n");
    Check(symlink(dir.c_str(), ("/sys/class/block/" + name).c_str()) == 0, "symlink class " + name);
    Check(symlink(dir.c_str(), ("/sys/dev/block/" + number).c_str()) == 0, "symlink dev " + name);
}

void MountFresh(const char *path)
{
    Check(mount("sandbox", path, "tmpfs", MS_NOSUID, "mode=0755") == 0,
          std::string("mount tmpfs on ") + path);
}

}  // namespace

bool EnterSandbox()
{
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) {
        return false;
    }
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    for (const char *tree : kTrees) {
        if (mount("sandbox", tree, "tmpfs", MS_NOSUID, "mode=0755") != 0) {
            return false;
        }
    }
    return true;
}

void Reset()
{
    // A new tmpfs on top of the old one: never uncovers a host tree.
    for (const char *tree : kTrees) {
        MountFresh(tree);
    }
    MakeNode("/dev/null", S_IFCHR, 1, 3);
    MakeNode("/dev/zero", S_IFCHR, 1, 5);
    MakeNode("/dev/urandom", S_IFCHR, 1, 9);
    chmod("/dev/null", 0666);
    chmod("/dev/zero", 0666);
    chmod("/dev/urandom", 0666);
    Check(symlink("/proc/self/fd", "/dev/fd") == 0, "symlink /dev/fd");
    MakeDirs(kBinDir);
    setenv("PATH", kPath, 1);
    g_nextMinor = 0;
    g_nextMapper = 0;
}

void AddDisk(const Disk &disk)
{
    unsigned base = g_nextMinor;
    g_nextMinor += 16;
    MakeNode("/dev/" + disk.name, S_IFBLK, kDiskMajor, base);
    for (size_t i = 0; i < disk.partitions.size(); ++i) {
        MakeNode("/dev/" + disk.partitions[i], S_IFBLK, kDiskMajor, base + 1 + static_cast<unsigned>(i));
    }
    std::string sys = "/sys/block/" + disk.name;
    MakeDirs(sys + "/queue");
    MakeDirs(sys + "/device");
    WriteFile(sys + "/queue/rotational", std::to_string(disk.rotational) + "\n");
    if (!disk.writeCache.empty()) {
        WriteFile(sys + "/queue/write_cache", disk.writeCache + "\n");
    }
    WriteFile(sys + "/device/rescan", "", 0200);
    AddSysDevice(sys, disk.name, kDiskMajor, base);
    for (size_t i = 0; i < disk.partitions.size(); ++i) {
        AddSysDevice(sys + "/" + disk.partitions[i], disk.partitions[i], kDiskMajor, base + 1 + static_cast<unsigned>(i));
        WriteFile(sys + "/" + disk.partitions[i] + "/partition", std::to_string(i + 1) + "\n");
    }
    if (!disk.drive.empty()) {
        MakeDirs(std::string(kSandboxDir) + "/drives");
        WriteFile(std::string(kSandboxDir) + "/drives/" + disk.name, disk.drive);
    }
}

void AddBlockNode(const std::string &name)
{
    MakeNode("/dev/" + name, S_IFBLK, kDiskMajor, g_nextMinor++);
}

std::string AddMapper(const Mapper &mapper)
{
    unsigned minor = g_nextMapper++;
    std::string name = "dm-" + std::to_string(minor);
    MakeNode("/dev/" + name, S_IFBLK, kMapperMajor, minor);
    std::string sys = "/sys/block/" + name;
    AddSysDevice(sys, name, kMapperMajor, minor);
    MakeDirs(sys + "/dm");
    WriteFile(sys + "/dm/uuid", mapper.uuid + "\n");
    MakeDirs(sys + "/slaves");
    for (const std::string &below : mapper.over) {
        char target[PATH_MAX] = {};
        Check(readlink(("/sys/class/block/" + below).c_str(), target, sizeof(target) - 1) > 0, "no device " + below);
        Check(symlink(target, (sys + "/slaves/" + below).c_str()) == 0, "symlink slave " + below);
    }
    // A mapped device reads as a blank one until something is written to it.
    MakeDirs(std::string(kSandboxDir) + "/media");
    WriteFile(std::string(kSandboxDir) + "/media/" + name, "");
    MakeDirs(mapper.link.substr(0, mapper.link.rfind('/')));
    Check(symlink(("/dev/" + name).c_str(), mapper.link.c_str()) == 0, "symlink " + mapper.link);
    return name;
}

std::string AddLv(const std::string &vg, const std::string &lv, const std::vector<std::string> &over)
{
    std::string name = AddMapper({"LVM-" + vg + "-" + lv, "/dev/" + vg + "/" + lv, over});
    auto dashes = [](std::string s) { for (size_t at = s.find('-'); at != std::string::npos; at = s.find('-', at + 2)) s.insert(at, "-"); return s; };
    WriteFile("/sys/block/" + name + "/dm/name", dashes(vg) + "-" + dashes(lv) + "\n");
    return name;
}

void WriteLabel(const std::string &name, const std::string &fsid, const std::string &description)
{
    // As BlueStore encodes it: v2/compat 1 and length, uuid, size, birth time, description.
    std::string label = "bluestore block device\n" + fsid + "\n" + std::string("\2\1", 2) + std::string(4 + 32, '\0');
    label += std::string(1, static_cast<char>(description.size())) + std::string(3, '\0') + description;
    MakeDirs(std::string(kSandboxDir) + "/media");
    WriteFile(std::string(kSandboxDir) + "/media/" + name, label + std::string(4, '\0'));
}

void NeverAnswers(const std::string &name)
{
    WriteFile(std::string(kSandboxDir) + "/media/" + name + ".hang", "");
}

void AddOsd(const Osd &osd)
{
    std::string dir = osd.dir[0] == '/' ? osd.dir : std::string("/var/lib/ceph/osd/") + osd.dir;
    MakeDirs(dir);
    if (!osd.fsid.empty()) {
        WriteFile(dir + "/fsid", osd.fsidRaw ? osd.fsid : osd.fsid + "\n");
    }
    if (!osd.type.empty()) {
        WriteFile(dir + "/type", osd.type + "\n");
    }
    if (!osd.block.empty()) {
        Check(symlink(osd.block.c_str(), (dir + "/block").c_str()) == 0, "symlink block");
    }
    if (!osd.blockDb.empty()) {
        Check(symlink(osd.blockDb.c_str(), (dir + "/block.db").c_str()) == 0, "symlink block.db");
    }
    // As ceph-volume does: the OSD's device gets its label with the directory.
    char device[PATH_MAX] = {};
    struct stat st;
    if (osd.labelled && !osd.fsid.empty() && !osd.block.empty() && realpath((dir + "/block").c_str(), device) != nullptr &&
        stat(device, &st) == 0 && S_ISBLK(st.st_mode) && strncmp(device, "/dev/", 5) == 0) {
        WriteLabel(device + 5, osd.fsid);
    }
    // And block.db its database label, unless the test gave the device its own bytes.
    if (osd.labelled && !osd.blockDb.empty() && realpath((dir + "/block.db").c_str(), device) != nullptr &&
        stat(device, &st) == 0 && S_ISBLK(st.st_mode) && strncmp(device, "/dev/", 5) == 0 &&
        !Exists(std::string(kSandboxDir) + "/media/" + (device + 5))) {
        WriteLabel(device + 5, osd.fsid, "bluefs db");
    }
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    Check(fd >= 0, "open " + path);
    Check(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()),
          "write " + path);
    close(fd);
    chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string &path)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        Check(mkdir(part.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + part);
    }
}

std::vector<std::string> DirOrder(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    return names;
}

bool ValidUtf8(const std::string &text)
{
    iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
    std::string in = text;
    std::vector<char> out(text.size() * 4 + 4);
    char *inAt = in.data();
    char *outAt = out.data();
    size_t inLeft = in.size();
    size_t outLeft = out.size();
    bool ok = iconv(cd, &inAt, &inLeft, &outAt, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    iconv_close(cd);
    return ok;
}

std::string FsidOf(int n)
{
    char text[40];
    snprintf(text, sizeof(text), "%08x-1111-4222-8333-%012x", n, n);
    return text;
}

std::vector<std::string> LogLines(const std::string &path)
{
    std::vector<std::string> lines;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return lines;  // a FIFO would block the reader
    }
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LogMessages(const std::string &path)
{
    std::vector<std::string> out;
    for (const std::string &line : LogLines(path)) {
        size_t proc = line.find("[process(");
        size_t close = line.find(")][", proc == std::string::npos ? 0 : proc);
        if (proc == std::string::npos || close == std::string::npos) {
            out.push_back(line);
            continue;
        }
        size_t levelStart = close + 3;
        size_t levelEnd = line.find("][", levelStart);
        if (levelEnd == std::string::npos || line.back() != ']') {
            out.push_back(line);
            continue;
        }
        std::string msg = line.substr(levelEnd + 2, line.size() - levelEnd - 3);
        out.push_back(line.substr(levelStart, levelEnd - levelStart) + " " + msg);
    }
    return out;
}

std::string DaemonPath()
{
    return ZARVEL_DAEMON_PATH;
}

std::vector<std::string> DriveCommands(const std::string &disk)
{
    return LogLines(std::string(kSandboxDir) + "/drives/" + disk + ".cmds");
}

int DriveWce(const std::string &disk)
{
    std::string dir = std::string(kSandboxDir) + "/drives/";
    std::string state = ReadFile(dir + disk + ".state");
    if (!state.empty()) {
        return atoi(state.c_str());
    }
    std::string description = " " + ReadFile(dir + disk);
    size_t same = description.find(" same=");
    if (same != std::string::npos) {
        return DriveWce(description.substr(same + 6, description.find_first_of(" \n", same + 6) - same - 6));
    }
    size_t at = description.find(" wce=");
    return at == std::string::npos ? 1 : atoi(description.c_str() + at + 5);
}

RunOptions WithDrives(RunOptions opts)
{
#ifdef ZARVEL_DRIVE_LIB
    opts.env.push_back(std::string("LD_PRELOAD=") + ZARVEL_DRIVE_LIB);
#endif
    // The sanitized daemon would refuse a preloaded library ahead of its runtime.
    opts.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return opts;
}

Process Start(const std::vector<std::string> &argv, const RunOptions &opts)
{
    int pipeFds[2];
    Check(pipe2(pipeFds, O_CLOEXEC) == 0, "pipe");
    std::vector<std::string> env = {std::string("PATH=") + kPath};
    env.insert(env.end(), opts.env.begin(), opts.env.end());
    pid_t pid = fork();
    Check(pid >= 0, "fork");
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        if (devNull > STDERR_FILENO) {
            close(devNull);  // the daemon's descriptors are counted by tests
        }
        if (opts.uid != 0 && (setgroups(0, nullptr) != 0 || setresgid(opts.uid, opts.uid, opts.uid) != 0 ||
                              setresuid(opts.uid, opts.uid, opts.uid) != 0)) {
            _exit(126);
        }
        std::vector<char *> args, envp;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
        args.push_back(nullptr);
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (opts.stdoutUnread) {
        close(pipeFds[0]);
        return Process{pid, -1};
    }
    return Process{pid, pipeFds[0]};
}

Process StartDaemon(const RunOptions &opts)
{
    return Start({opts.daemon.empty() ? DaemonPath() : opts.daemon}, opts);
}

bool WaitInSyscall(pid_t pid, const std::vector<long> &numbers, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = ReadFile(path);
        if (text.empty()) {
            return false;  // gone
        }
        long nr = strtol(text.c_str(), nullptr, 10);
        if (std::find(numbers.begin(), numbers.end(), nr) != numbers.end()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool WaitUntilSleeping(pid_t pid, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string proc = "/proc/" + std::to_string(pid);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string stat = ReadFile(proc + "/stat");
        size_t end = stat.rfind(')');
        if (end == std::string::npos || stat.compare(end + 2, 1, "Z") == 0) {
            return false;  // gone, or a zombie
        }
        // The wait between cycles is the one ppoll with a signal mask (a
        // command's poll has none), short after a change or long.
        long nr = -1;
        unsigned long arg[4] = {};
        std::string call = ReadFile(proc + "/syscall");
        if (sscanf(call.c_str(), "%ld %lx %lx %lx %lx", &nr, &arg[0], &arg[1], &arg[2], &arg[3]) == 5 &&
            nr == SYS_ppoll && arg[3] != 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

Exit Stop(Process &proc, int sig, int timeoutMs)
{
    Exit result;
    if (sig != 0) {
        kill(proc.pid, sig);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(proc.pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
        kill(proc.pid, SIGKILL);
        waitpid(proc.pid, &status, 0);
        result.signal = SIGKILL;
    } else if (WIFEXITED(status)) {
        result.exited = true;
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    char buf[4096];
    if (proc.outFd >= 0) {
        fcntl(proc.outFd, F_SETFL, O_NONBLOCK);  // a left-over child may hold the pipe
        for (ssize_t n; (n = read(proc.outFd, buf, sizeof(buf))) > 0;) {
            result.out.append(buf, static_cast<size_t>(n));
        }
        close(proc.outFd);
        proc.outFd = -1;
    }
    return result;
}

Exit RunOneCycle(const RunOptions &opts)
{
    Process proc = StartDaemon(opts);
    bool slept = WaitUntilSleeping(proc.pid);
    Exit result = Stop(proc, SIGTERM);
    EXPECT_TRUE(slept) << "the daemon never reached its sleep";
    return result;
}

Captured CaptureOutput(const std::function<void()> &call)
{
    Captured got;
    std::string *dest[] = {&got.out, &got.err};
    int saved[2];
    int mem[2];
    fflush(stdout);
    fflush(stderr);
    for (int fd = 1; fd <= 2; ++fd) {
        saved[fd - 1] = dup(fd);
        mem[fd - 1] = memfd_create("captured", 0);
        dup2(mem[fd - 1], fd);
    }
    call();
    fflush(stdout);
    fflush(stderr);
    for (int fd = 1; fd <= 2; ++fd) {
        dup2(saved[fd - 1], fd);
        close(saved[fd - 1]);
        dest[fd - 1]->resize(static_cast<size_t>(lseek(mem[fd - 1], 0, SEEK_END)));
        (void)!pread(mem[fd - 1], dest[fd - 1]->data(), dest[fd - 1]->size(), 0);
        close(mem[fd - 1]);
    }
    return got;
}

}  // namespace sandbox
