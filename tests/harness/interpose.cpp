// Counting stand-ins for the ways to start a command (posix_spawnp, popen)
// and for realpath, linked into a test binary that asks for the counts: they
// prove that a refused path or command reaches neither the file system nor a
// program. Each forwards to the next definition.
#include <dlfcn.h>
#include <spawn.h>

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

extern "C" int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                            const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    static auto next = Next<int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                                    const posix_spawnattr_t *, char *const[], char *const[])>("posix_spawnp");
    ++g_popenCalls;
    return next(pid, file, actions, attr, argv, envp);
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
