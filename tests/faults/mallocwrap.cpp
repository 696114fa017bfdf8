// Wraps malloc, calloc and realloc for the objects linked with --wrap: the
// daemon's own code (the compiler may turn a malloc followed by clearing into
// calloc; growing lists use realloc).
// Allocations inside the C library (opendir, fopen) are not seen.
#include <cstddef>

#include "mallocwrap.h"

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void *__real_realloc(void *block, size_t size);

namespace {
int g_failIn = 0;
int g_calls = 0;
unsigned long g_bytes = 0;
}  // namespace

// Counts one allocation; false when it is the one to fail.
static bool Admit(size_t bytes)
{
    ++g_calls;
    g_bytes += bytes;
    return !(g_failIn > 0 && --g_failIn == 0);
}

extern "C" void *__wrap_malloc(size_t size)
{
    return Admit(size) ? __real_malloc(size) : nullptr;
}

extern "C" void *__wrap_calloc(size_t count, size_t size)
{
    return Admit(count * size) ? __real_calloc(count, size) : nullptr;
}

extern "C" void *__wrap_realloc(void *block, size_t size)
{
    return Admit(size) ? __real_realloc(block, size) : nullptr;
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
