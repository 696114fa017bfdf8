// WriteLog lines per second against a bare locked append of a line of the
// same shape. Both write into /var/log, so the benchmark first enters the
// test sandbox (private mount namespace, tmpfs over /var/log) or refuses.
#include <benchmark/benchmark.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

#include "log/log.h"
#include "sandbox.h"

namespace {

constexpr const char *kBarePath = "/var/log/bare.log";

void BM_WriteLog(benchmark::State &state, int level)
{
    int n = 0;
    for (auto _ : state) {
        WriteLog(level, "sync device %s return %d\n", "sdc", n++);
    }
    state.SetItemsProcessed(n);
}
BENCHMARK_CAPTURE(BM_WriteLog, info, LOG_INFO);
BENCHMARK_CAPTURE(BM_WriteLog, debug_formatted_only, LOG_DEBUG);

// Open, lock, one formatted write, unlock, close: the least a locked
// append can cost. Truncated now and then so that tmpfs stays small.
void BM_BareAppend(benchmark::State &state)
{
    int n = 0;
    for (auto _ : state) {
        FILE *fp = fopen(kBarePath, "a");
        if (fp == nullptr) {
            state.SkipWithError("cannot open the bare log");
            break;
        }
        flock(fileno(fp), LOCK_EX);
        fprintf(fp, "[2026-12-07 05:00:00][process(%u)][INFO][sync device %s return %d]\n", 4321u, "sdc",
                n);
        flock(fileno(fp), LOCK_UN);
        fclose(fp);
        if ((++n & 0xffff) == 0) {
            (void)truncate(kBarePath, 0);
        }
    }
    state.SetItemsProcessed(n);
}
BENCHMARK(BM_BareAppend);

}  // namespace

int main(int argc, char **argv)
{
    if (!sandbox::EnterSandbox()) {
        fprintf(stderr, "cannot enter a private mount namespace with tmpfs over /var/log; refusing to run\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
