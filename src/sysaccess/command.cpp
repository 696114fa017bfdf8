// Commands after the filter: run without a shell, read before a deadline,
// always reaped; their output as lines.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>  // environ too

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bounded/bounded.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"

static long long NowMs(void)
{
    struct timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds to the deadline, 0 once it has passed.
static int MsLeft(long long deadlineMs)
{
    long long left = deadlineMs - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The words of text (changed in place) into words, null-terminated. The
// count, or -1 when there are none or more than words can hold.
static int SplitWords(char *text, char *words[CMD_WORDS_MAX])
{
    char *context = nullptr;
    int count = 0;
    for (char *word = strtok_s(text, " ", &context); word != nullptr; word = strtok_s(nullptr, " ", &context)) {
        if (count == CMD_WORDS_MAX - 1) {
            return -1;
        }
        words[count++] = word;
    }
    words[count] = nullptr;
    return count > 0 ? count : -1;
}

// The child gets /dev/null as its input and the pipe as its output (every
// other descriptor of ours is close-on-exec), SIGPIPE back at its default
// (the daemon ignores it), no blocked signals, and a process group of its
// own, so that a kill at the deadline reaches whatever it has started.
static int Spawn(char *const words[], int pipeIn, pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    sigset_t defaults;
    sigset_t none;
    (void)sigemptyset(&defaults);
    (void)sigaddset(&defaults, SIGPIPE);
    (void)sigemptyset(&none);
    (void)posix_spawn_file_actions_init(&actions);
    (void)posix_spawnattr_init(&attr);
    (void)posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    (void)posix_spawn_file_actions_adddup2(&actions, pipeIn, STDOUT_FILENO);
    (void)posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    (void)posix_spawnattr_setpgroup(&attr, 0);
    (void)posix_spawnattr_setsigdefault(&attr, &defaults);
    (void)posix_spawnattr_setsigmask(&attr, &none);
    int rc = posix_spawnp(pid, words[0], &actions, &attr, words, environ);
    (void)posix_spawnattr_destroy(&attr);
    (void)posix_spawn_file_actions_destroy(&actions);
    return rc;
}

int StartSafeCmd(const char *cmd, CmdRun *run)
{
    char text[CMD_TEXT_SIZE];
    char *words[CMD_WORDS_MAX];
    (void)memset_s(run, sizeof(*run), 0, sizeof(*run));
    (void)memset_s(text, sizeof(text), 0, sizeof(text));
    run->cmd = cmd;
    run->out = -1;
    // A command too long or of too many words for the buffers is refused
    // like one with a refused byte: it is never cut to something else.
    if (IsSafeString(cmd) == 0 || strlen(cmd) >= sizeof(text) ||
        strncpy_s(text, sizeof(text), cmd, sizeof(text) - 1) != BC_OK || SplitWords(text, words) < 0) {
        WriteLog(LOG_WARNING, "reject dangerous cmd:\"%s\" \n", cmd);
        return 1;
    }
    WriteLog(LOG_DEBUG, "cmd:\"%s\" \n", cmd);
    // "popen error" stays the log's name for a command that could not start.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        WriteLog(LOG_ERROR, "popen error: %d\n", errno);
        return 1;
    }
    // Started with no PATH at all (env -i), the shell searched its own
    // default, which holds the sbin directories of pvs; glibc's would not.
    if (getenv("PATH") == nullptr) {
        (void)setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 0);
    }
    run->deadlineMs = NowMs() + CMD_DEADLINE_MS;
    int rc = Spawn(words, fds[1], &run->pid);
    (void)close(fds[1]);
    if (rc != 0) {
        (void)close(fds[0]);
        run->pid = 0;
        // A program that is not installed (pvs on a host without LVM) is a
        // command that printed nothing, as when a shell reported it: quiet.
        if (rc == ENOENT) {
            return 0;
        }
        WriteLog(LOG_ERROR, "popen error: %d\n", rc);
        return 1;
    }
    run->out = fds[0];
    return 0;
}

// More output into the chunk. False at the end of the output, on a read
// error, or at the deadline. A signal (SIGTERM) wakes the wait, but the wait
// resumes only until the same deadline: a stop can never prolong it.
static bool Refill(CmdRun *run)
{
    while (run->out >= 0) {
        int left = MsLeft(run->deadlineMs);
        struct pollfd ready = {run->out, POLLIN, 0};
        int rc = left > 0 ? poll(&ready, 1, left) : 0;
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        ssize_t got = rc > 0 ? read(run->out, run->chunk, sizeof(run->chunk)) : -1;
        if (got < 0 && errno == EINTR && rc > 0) {
            continue;
        }
        if (got > 0) {
            run->have = static_cast<size_t>(got);
            run->used = 0;
            return true;
        }
        run->timedOut = rc == 0 ? 1 : 0;
        (void)close(run->out);
        run->out = -1;
    }
    return false;
}

int NextCmdLine(CmdRun *run, char *row, int size)
{
    int len = 0;
    while (len < size - 1 && (run->used < run->have || Refill(run))) {
        char c = run->chunk[run->used++];
        if (c == '\n') {
            row[len] = '\0';
            return 1;
        }
        row[len++] = c;
    }
    if (len == 0) {
        return 0;
    }
    row[len] = '\0';
    return 1;
}

// Waits until pid has ended and reaps it; false when the deadline comes
// first. A pidfd makes the wait exact; without one it looks every 10 ms.
static bool ReapBy(pid_t pid, long long deadlineMs)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool reaped = false;
    for (;;) {
        pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            reaped = true;  // ended, or not ours to wait for any more (ECHILD)
            break;
        }
        int left = MsLeft(deadlineMs);
        if (left == 0) {
            break;
        }
        struct pollfd ended = {pidfd, POLLIN, 0};
        (void)poll(pidfd >= 0 ? &ended : nullptr, pidfd >= 0 ? 1 : 0, pidfd >= 0 || left < 10 ? left : 10);
    }
    if (pidfd >= 0) {
        (void)close(pidfd);
    }
    return reaped;
}

int EndSafeCmd(CmdRun *run)
{
    if (run->out >= 0) {
        (void)close(run->out);  // a command still writing gets SIGPIPE
        run->out = -1;
    }
    if (run->pid <= 0 || (run->timedOut == 0 && ReapBy(run->pid, run->deadlineMs))) {
        return 0;  // never started, or ended in time
    }
    // The group is still ours to kill: its leader is not reaped yet. After
    // SIGKILL the wait is short, unless the kernel holds the process in an
    // uninterruptible wait, which no signal can end.
    (void)kill(-run->pid, SIGKILL);
    while (waitpid(run->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    WriteLog(LOG_ERROR, "cmd timeout:%s\n", run->cmd);
    return 1;
}

int ExecSafeCmd(const char *cmd, char *cmdResult, int size, int *stringHeight)
{
    if (cmdResult == nullptr || stringHeight == nullptr || cmd == nullptr) {
        WriteLog(LOG_ERROR, "point error, cmd:%p,cmdResult:%p,stringHeight:%p\n", static_cast<const void *>(cmd),
                 static_cast<void *>(cmdResult), static_cast<void *>(stringHeight));
        return 1;
    }
    CmdRun run;
    if (StartSafeCmd(cmd, &run) != 0) {
        return 1;
    }
    // A row never takes more than its stride, whatever the caller says:
    // a larger size would let one line run into the next row or past the end.
    int rowSize = size < CMD_ROW_SIZE ? size : CMD_ROW_SIZE;
    int filled = 0;
    while (filled < *stringHeight &&
           NextCmdLine(&run, cmdResult + static_cast<size_t>(filled) * CMD_ROW_SIZE, rowSize) == 1) {
        ++filled;
    }
    *stringHeight = filled;
    // The exit status is of no interest: a failed command shows as no rows.
    int rc = EndSafeCmd(&run);
    for (int i = 0; i < filled; ++i) {
        WriteLog(LOG_DEBUG, "Line%d:%s\n", i, cmdResult + static_cast<size_t>(i) * CMD_ROW_SIZE);
    }
    return rc;
}
