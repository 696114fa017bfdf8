// One apply pass over 10 and 100 emulated disks: wall time and commands sent,
// for the first switch of every disk and for the steady state after it, where
// each target's Caching page is read again and a node of solid-state disks
// (no targets) shows the pass that sends nothing.
// Runs only inside a private mount namespace with fresh tmpfs trees, re-exec'd
// with the emulated drive preloaded; it refuses to run otherwise.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "wcache/wcache.h"

namespace {

const std::string kDrives = "/var/lib/zarvel-sandbox/drives/";
const char *const kTrees[] = {"/dev", "/sys/block", "/sys/class/block", "/sys/dev/block", "/var/log", "/var/lib"};
// Left in the private /dev before the re-exec: proof that we are still inside.
const char *const kMarker = "/dev/.zarvel-bench-sandbox";

void Put(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::trunc) << text;
}

void Dirs(const std::string &path)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

std::string DiskName(int i)
{
    std::string letters;
    for (int n = i;; n = n / 26 - 1) {
        letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
        if (n < 26) break;
    }
    return "sd" + letters;
}

bool EnterSandbox()
{
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    for (const char *tree : kTrees) {
        if (mount("bench", tree, "tmpfs", MS_NOSUID, "mode=0755") != 0) return false;
    }
    return true;
}

// Fresh trees with n disks, each the data disk of a BlueStore OSD whose
// block.db lies elsewhere, the first targets of them rotational, then one
// inventory refresh.
void Populate(int n, int targets)
{
    for (const char *tree : kTrees) mount("bench", tree, "tmpfs", MS_NOSUID, "mode=0755");
    mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3));
    Dirs(kDrives);
    Dirs("/var/lib/zarvel-sandbox/media");
    for (int i = 0; i < n; ++i) {
        std::string name = DiskName(i), sys = "/sys/block/" + name, osd = "/var/lib/ceph/osd/ceph-" + std::to_string(i);
        mknod(("/dev/" + name).c_str(), S_IFBLK | 0660, makedev(8, static_cast<unsigned>(i) * 16));
        Dirs(sys + "/queue");
        Dirs(sys + "/device");
        Put(sys + "/queue/rotational", i < targets ? "1\n" : "0\n");
        Put(sys + "/device/rescan", "");
        // The kernel's links to the disk, and its BlueStore label: the inventory's proof.
        std::string number = "8:" + std::to_string(i * 16);
        Put(sys + "/dev", number + "\n");
        symlink(sys.c_str(), ("/sys/class/block/" + name).c_str());
        symlink(sys.c_str(), ("/sys/dev/block/" + number).c_str());
        Put(kDrives + name, "personality=sata wce=1");
        Put("/dev/db-" + std::to_string(i), "");
        Dirs(osd);
        char fsid[40];
        snprintf(fsid, sizeof(fsid), "%08x-0000-4000-8000-%012x", i, i);
        Put(osd + "/fsid", std::string(fsid) + "\n");
        Put("/var/lib/zarvel-sandbox/media/" + name, "bluestore block device\n" + std::string(fsid) + "\n");
        Put(osd + "/type", "bluestore\n");
        symlink(("/dev/" + name).c_str(), (osd + "/block").c_str());
        symlink(("/dev/db-" + std::to_string(i)).c_str(), (osd + "/block.db").c_str());
    }
    FreeDeviceInfo();
    if (UpdateDeviceInfo() != 0) fprintf(stderr, "inventory refresh failed\n");
}

// Every drive back to WCE 1 and the kernel to "write back"; no commands yet.
void ResetDrives(int n)
{
    for (int i = 0; i < n; ++i) {
        std::string name = DiskName(i);
        unlink((kDrives + name + ".state").c_str());
        unlink((kDrives + name + ".cmds").c_str());
        Put("/sys/block/" + name + "/queue/write_cache", "write back\n");
    }
}

long CommandsSent(int n)
{
    long total = 0;
    for (int i = 0; i < n; ++i) {
        std::ifstream in(kDrives + DiskName(i) + ".cmds");
        for (std::string line; std::getline(in, line);) ++total;
    }
    return total;
}

void BM_ApplyFirstSwitch(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    Populate(n, n);
    for (auto _ : state) {
        state.PauseTiming();
        ResetDrives(n);
        state.ResumeTiming();
        ApplyWriteCachePolicy();
    }
    state.counters["disks"] = n;
    state.counters["commands_per_pass"] = static_cast<double>(CommandsSent(n));
}

void BM_ApplySteady(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    int targets = static_cast<int>(state.range(1));
    Populate(n, targets);
    ResetDrives(n);
    ApplyWriteCachePolicy();
    long before = CommandsSent(n);
    long passes = 0;
    for (auto _ : state) {
        ApplyWriteCachePolicy();
        ++passes;
    }
    state.counters["disks"] = n;
    state.counters["targets"] = targets;
    state.counters["commands_per_pass"] = static_cast<double>(CommandsSent(n) - before) / static_cast<double>(passes);
}

BENCHMARK(BM_ApplyFirstSwitch)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplySteady)->Args({10, 10})->Args({100, 100})->Args({100, 0})->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv)
{
    if (getenv("ZARVEL_BENCH_SANDBOXED") == nullptr) {
        if (!EnterSandbox()) {
            fprintf(stderr, "cannot enter a private mount namespace (root needed); refusing to run\n");
            return 1;
        }
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return 1;
        std::string dir(self);
        dir = dir.substr(0, dir.rfind('/'));
        std::string preload = dir + "/../tests/drive/libzdrive.so";
        if (access(preload.c_str(), R_OK) != 0) {
            fprintf(stderr, "emulated drive %s not built; refusing to run\n", preload.c_str());
            return 1;
        }
        Put(kMarker, "");
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("ZARVEL_BENCH_SANDBOXED", "1", 1);
        execv(self, argv);
        return 1;
    }
    if (access(kMarker, F_OK) != 0) {
        fprintf(stderr, "not inside the benchmark's mount namespace; refusing to run\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
