// Counting stand-ins for popen and realpath, linked into a test binary that
// asks for the counts: they prove that a refused path or command reaches
// neither the file system nor a shell. Each forwards to the next definition.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "sandbox.h"

namespace {
int g_popenCalls = 0;
int g_realpathCalls = 0;

template <typename Fn>
Fn Next(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" FILE *popen(const char *command, const char *mode)
{
    static auto next = Next<FILE *(*)(const char *, const char *)>("popen");
    ++g_popenCalls;
    return next(command, mode);
}

extern "C" char *realpath(const char *__restrict path, char *__restrict resolved) noexcept
{
    static auto next = Next<char *(*)(const char *, char *)>("realpath");
    ++g_realpathCalls;
    return next(path, resolved);
}

namespace sandbox {
int PopenCalls()
{
    return g_popenCalls;
}

int RealpathCalls()
{
    return g_realpathCalls;
}
}  // namespace sandbox
