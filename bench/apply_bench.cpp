// One apply pass over 10 and 100 emulated disks: wall time and commands sent,
// for the first switch of every disk and for the steady state after it, where
// each target's Caching page is read again and a node of solid-state disks
// (no targets) shows the pass that sends nothing.
// The fixtures are the tests' own (the sandbox: private mount namespace,
// tmpfs trees, OSDs with their labels), and the emulated drive is linked in;
// it refuses to run outside the sandbox.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "inventory/inventory.h"
#include "sandbox.h"
#include "wcache/wcache.h"

using namespace sandbox;

namespace {

// The solid-state disk that holds every OSD's block.db.
constexpr const char *kDbDisk = "sdzz";

std::string DiskName(int i)
{
    std::string letters;
    for (int n = i;; n = n / 26 - 1) {
        letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
        if (n < 26) break;
    }
    return "sd" + letters;
}

// Fresh trees with n disks, each the data disk of a BlueStore OSD whose
// block.db lies on kDbDisk, the first targets of them rotational, then one
// inventory refresh.
void Populate(int n, int targets)
{
    Reset();
    AddDisk({kDbDisk, {}, 0, "write back", "personality=sata"});
    for (int i = 0; i < n; ++i) {
        // Each block.db an LV of its own on the database disk, as ceph-volume makes them.
        std::string db = "/dev/ceph-db/db-" + std::to_string(i);
        AddLv("ceph-db", "db-" + std::to_string(i), {kDbDisk});
        AddDisk({DiskName(i), {}, i < targets ? 1 : 0, "write back", "personality=sata wce=1"});
        AddOsd({"ceph-" + std::to_string(i), FsidOf(i), "bluestore", "/dev/" + DiskName(i), db});
    }
    FreeDeviceInfo();
    if (UpdateDeviceInfo() != 0) fprintf(stderr, "inventory refresh failed\n");
}

// Every drive back to WCE 1 and the kernel to "write back"; no commands yet.
void ResetDrives(int n)
{
    for (int i = 0; i < n; ++i) {
        std::string drive = std::string(kSandboxDir) + "/drives/" + DiskName(i);
        unlink((drive + ".state").c_str());
        unlink((drive + ".cmds").c_str());
        WriteFile("/sys/block/" + DiskName(i) + "/queue/write_cache", "write back\n");
    }
}

long CommandsSent(int n)
{
    long total = 0;
    for (int i = 0; i < n; ++i) total += static_cast<long>(DriveCommands(DiskName(i)).size());
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
    if (!EnterSandbox()) {
        fprintf(stderr, "cannot enter a private mount namespace (root needed); refusing to run\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
