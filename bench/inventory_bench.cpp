// The inventory refresh at scale, in the tests' sandbox: one steady-state
// refresh (nothing changed; it must start no child process) and one full
// rebuild of the map (labels read, device stacks walked), over 10, 100 and
// 1,000 sd names and 1, 10 and 100 OSDs. Reports the time per name, the child
// processes started and the daemon's own allocations per refresh.
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
    std::vector<Pv> pvs;
    for (int i = 0; i < names / 2; ++i) {
        AddDisk({DiskName(i), {DiskName(i) + "1"}, 1, "write back", ""});
    }
    for (int i = 0; i < osds; ++i) {
        std::string vg = "ceph-" + std::to_string(i);
        AddLv(vg, "osd-block", {DiskName(i % (names / 2))});
        pvs.push_back({DiskName(i % (names / 2)), vg});
        AddOsd({vg, FsidOf(i), "bluestore", "/dev/" + vg + "/osd-block", "/dev/" + DiskName((i + 1) % (names / 2)) + "1"});
    }
    AddPvs(pvs);
}

void Report(benchmark::State &state, int popens, int pvs)
{
    double iterations = static_cast<double>(state.iterations());
    int names = static_cast<int>(state.range(0));
    state.counters["names"] = names;
    state.counters["osds"] = static_cast<double>(state.range(1));
    state.counters["per_name"] =
        benchmark::Counter(names, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["children"] = (PopenCalls() - popens) / iterations;
    state.counters["pvs"] = (PvsCalls() - pvs) / iterations;
    state.counters["allocs"] = mallocwrap::Calls() / iterations;
    state.counters["alloc_bytes"] = static_cast<double>(mallocwrap::Bytes()) / iterations;
}

void SteadyRefresh(benchmark::State &state)
{
    Layout(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (UpdateDeviceInfo() != 0) {
        state.SkipWithError("first refresh failed");
        return;
    }
    int popens = PopenCalls();
    int pvs = PvsCalls();
    mallocwrap::Reset();
    for (auto _ : state) {
        benchmark::DoNotOptimize(UpdateDeviceInfo());
    }
    Report(state, popens, pvs);
    if (PopenCalls() != popens || PvsCalls() != pvs || CatCalls() != 0) {
        state.SkipWithError("a steady refresh started a child process");
    }
    FreeDeviceInfo();
}

void Rebuild(benchmark::State &state)
{
    Layout(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    int popens = PopenCalls();
    int pvs = PvsCalls();
    mallocwrap::Reset();
    for (auto _ : state) {
        FreeDeviceInfo();  // empty tables: every list counts as changed
        benchmark::DoNotOptimize(UpdateDeviceInfo());
    }
    Report(state, popens, pvs);
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

BENCHMARK(SteadyRefresh)->Apply(Sizes);
BENCHMARK(Rebuild)->Apply(Sizes)->Iterations(1);

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
