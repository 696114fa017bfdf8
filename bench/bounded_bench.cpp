// The bounded layer against the plain C library on the service's own
// formats and buffer sizes.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bounded/bounded.h"

namespace {

const char kLogHeader[] = "[%04d-%02d-%02d %02d:%02d:%02d][process(%u)]%s[";
const char kFsidPath[] = "%s/%s/fsid";
const char kTypeCmd[] = "cat %s/%s/type";

// Both sides reach their formatter through the same kind of va_list wrapper.
__attribute__((format(printf, 3, 4))) int Ours(char *dest, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int rc = vsnprintf_s(dest, size, size - 1, format, args);
    va_end(args);
    return rc;
}

__attribute__((format(printf, 3, 4))) int Glibc(char *dest, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int rc = vsnprintf(dest, size, format, args);
    va_end(args);
    return rc;
}

template <auto Format>
void LogHeader(benchmark::State &state)
{
    char buf[256];
    unsigned tid = 123456;
    for (auto _ : state) {
        int rc = Format(buf, sizeof(buf), kLogHeader, 2024, 6, 11, 9, 5, 37, tid, "[INFO]");
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
}

template <auto Format>
void OsdPath(benchmark::State &state)
{
    char buf[256];
    for (auto _ : state) {
        int rc = Format(buf, sizeof(buf), kFsidPath, "/var/lib/ceph/osd", "ceph-12");
        rc += Format(buf, sizeof(buf), kTypeCmd, "/var/lib/ceph/osd", "ceph-12");
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
}

// Both sides use the same buffers, so alignment and the distance between
// source and destination (kept off a multiple of 4 KiB, which would slow
// every copy) are equal. Sizes come in at run time so that neither side is
// folded into a few moves.
alignas(64) char g_arena[3 * 4096];
char *const g_src = g_arena;
char *const g_dst = g_arena + 4096 + 256;

template <bool Bounded>
void Copy(benchmark::State &state)
{
    size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        if constexpr (Bounded) {
            benchmark::DoNotOptimize(memcpy_s(g_dst, n, g_src, n));
        } else {
            benchmark::DoNotOptimize(memcpy(g_dst, g_src, n));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

template <bool Bounded>
void Fill(benchmark::State &state)
{
    size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        if constexpr (Bounded) {
            benchmark::DoNotOptimize(memset_s(g_dst, n, 0, n));
        } else {
            benchmark::DoNotOptimize(memset(g_dst, 0, n));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

}  // namespace

BENCHMARK(LogHeader<Ours>)->Name("LogHeader/vsnprintf_s");
BENCHMARK(LogHeader<Glibc>)->Name("LogHeader/glibc_vsnprintf");
BENCHMARK(OsdPath<Ours>)->Name("OsdPaths/vsnprintf_s");
BENCHMARK(OsdPath<Glibc>)->Name("OsdPaths/glibc_vsnprintf");
BENCHMARK(Copy<true>)->Name("Copy/memcpy_s")->Arg(17)->Arg(256)->Arg(4096);
BENCHMARK(Copy<false>)->Name("Copy/memcpy")->Arg(17)->Arg(256)->Arg(4096);
BENCHMARK(Fill<true>)->Name("Fill/memset_s")->Arg(17)->Arg(256)->Arg(4096);
BENCHMARK(Fill<false>)->Name("Fill/memset")->Arg(17)->Arg(256)->Arg(4096);

BENCHMARK_MAIN();
