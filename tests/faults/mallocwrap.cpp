// Wraps malloc for the objects linked with --wrap=malloc: the daemon's own
// code. Allocations inside the C library (opendir, fopen) are not seen.
#include <cstddef>

#include "mallocwrap.h"

extern "C" void *__real_malloc(size_t size);

namespace {
int g_failIn = 0;
int g_calls = 0;
unsigned long g_bytes = 0;
}  // namespace

extern "C" void *__wrap_malloc(size_t size)
{
    ++g_calls;
    g_bytes += size;
    if (g_failIn > 0 && --g_failIn == 0) {
        return nullptr;
    }
    return __real_malloc(size);
}

namespace mallocwrap {
void FailNth(int n)
{
    g_failIn = n;
}

void Reset()
{
    g_failIn = 0;
    g_calls = 0;
    g_bytes = 0;
}

int Calls()
{
    return g_calls;
}

unsigned long Bytes()
{
    return g_bytes;
}
}  // namespace mallocwrap
