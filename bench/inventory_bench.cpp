// The inventory refresh at scale, in the tests' sandbox: every refresh is a
// whole inventory (roots read, labels read, device stacks walked; no child
// process), over 10, 100 and 1,000 sd names and 1, 10 and 100 OSDs; and the
// first cycle over 4,096 OSD directories whose block links lead through
// chains of links. Reports the time per name, the child processes started
// and the daemon's own allocations per refresh.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "inventory/inventory.h"
#include "mallocwrap.h"
#include "sandbox.h"

using namespace sandbox;

namespace {

// "sd" and two letters: aa, ab, ... (676 disks at most).
std::string DiskName(int i)
{
    return std::string("sd") + static_cast<char>('a' + i / 26) + static_cast<char>('a' + i % 26);
}

// names/2 disks with one partition each; OSD i is an LVM OSD on disk i
// (volume group ceph-i, its LV a device-mapper device over the disk, with
// the OSD's label) with its block.db on the partition of the next disk.
void Layout(int names, int osds)
{
    Reset();
    FreeDeviceInfo();
    for (int i = 0; i < names / 2; ++i) {
        AddDisk({DiskName(i), {DiskName(i) + "1"}, 1, "write back", ""});
    }
    for (int i = 0; i < osds; ++i) {
        std::string vg = "ceph-" + std::to_string(i);
        AddLv(vg, "osd-block", {DiskName(i % (names / 2))});
        AddOsd({vg, FsidOf(i), "bluestore", "/dev/" + vg + "/osd-block", "/dev/" + DiskName((i + 1) % (names / 2)) + "1"});
    }
}

void Report(benchmark::State &state, int popens)
{
    double iterations = static_cast<double>(state.iterations());
    int names = static_cast<int>(state.range(0));
    state.counters["names"] = names;
    state.counters["osds"] = static_cast<double>(state.range(1));
    state.counters["per_name"] =
        benchmark::Counter(names, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["children"] = (PopenCalls() - popens) / iterations;
    state.counters["allocs"] = mallocwrap::Calls() / iterations;
    state.counters["alloc_bytes"] = static_cast<double>(mallocwrap::Bytes()) / iterations;
}

void Refresh(benchmark::State &state)
{
    Layout(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    int popens = PopenCalls();
    mallocwrap::Reset();
    for (auto _ : state) {
        benchmark::DoNotOptimize(UpdateDeviceInfo());
    }
    Report(state, popens);
    if (PopenCalls() != popens) {
        state.SkipWithError("a refresh started a child process");
    }
    FreeDeviceInfo();
}

// 4,096 OSD directories (names copies of 100 OSDs, as a flood would make
// them) whose block links each lead through eight links of their own to the
// volume; the first cycle, from empty tables.
void ChainedDirectories(benchmark::State &state)
{
    Layout(200, 100);
    MakeDirs("/var/lib/chain");
    for (int i = 0; i < 4096; ++i) {
        std::string link = "/dev/ceph-" + std::to_string(i % 100) + "/osd-block";
        for (int hop = 0; hop < 8; ++hop) {
            std::string next = "/var/lib/chain/" + std::to_string(i) + "-" + std::to_string(hop);
            symlink(link.c_str(), next.c_str());
            link = next;
        }
        AddOsd({"/var/lib/ceph/5e1f0c2a-0d5b-4c1e-9a7e-1234567890ab/osd." + std::to_string(i), FsidOf(i % 100), "bluestore", link, ""});
    }
    for (auto _ : state) {
        FreeDeviceInfo();
        benchmark::DoNotOptimize(UpdateDeviceInfo());
    }
    state.counters["osds"] = g_osdNum;
    FreeDeviceInfo();
}

void Sizes(benchmark::internal::Benchmark *b)
{
    for (int names : {10, 100, 1000}) {
        for (int osds : {1, 10, 100}) {
            b->Args({names, osds});
        }
    }
    b->ArgNames({"names", "osds"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(Refresh)->Apply(Sizes);
BENCHMARK(ChainedDirectories)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char **argv)
{
    // Fixtures go over /dev and /var/lib: only ever inside a private namespace.
    if (!EnterSandbox()) {
        fprintf(stderr, "cannot enter a private mount namespace (root needed); refusing to run\n");
        return 1;
    }
    Reset();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
