// The service loop: a cycle, then a wait that the full period, a change on
// the node, or SIGTERM ends; until SIGTERM clears g_running.
#include "service/service.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "inventory/inventory.h"
#include "log/log.h"
#include "wcache/wcache.h"

volatile sig_atomic_t g_running = 1;

static void HandleSigterm(int)
{
    g_running = 0;
}

int32_t RunCycle(ApplyTally *tally)
{
    tally->targets = 0;
    tally->off = 0;
    if (UpdateDeviceInfo() != 0) {
        return 1;
    }
    ApplyWriteCachePolicy(tally);
    return 0;
}

// A source that cannot be had is said once: without it the daemon still
// runs every 600 s, but no longer answers that kind of change at once.
void OpenEventSources(EventSources *src)
{
    src->uevent = OpenUeventSocket();
    if (src->uevent < 0) {
        WriteLog(LOG_WARNING, "uevent socket failed:%d\n", errno);
    }
    bool changed = false;
    src->inotify = RearmWatches(-1, &changed);  // taken afresh before each cycle
    if (src->inotify < 0) {
        WriteLog(LOG_WARNING, "inotify failed:%d\n", errno);
    }
    src->mounts = OpenMountTable();
    if (src->mounts < 0) {
        WriteLog(LOG_WARNING, "open mountinfo failed:%d\n", errno);
    }
}

static void CloseSource(int *fd)
{
    if (*fd >= 0) {
        (void)close(*fd);
    }
    *fd = -1;
}

void CloseEventSources(EventSources *src)
{
    CloseSource(&src->uevent);
    CloseSource(&src->inotify);
    CloseSource(&src->mounts);
}

static int64_t NowMs(void)
{
    struct timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// True when a source that poll found ready had a change to tell.
static bool ReadSources(const EventSources *src, const struct pollfd *fds)
{
    bool changed = false;
    if (fds[0].revents != 0) {
        changed = DrainUevents(src->uevent) || changed;
    }
    if (fds[1].revents != 0) {
        changed = DrainWatches(src->inotify) || changed;
    }
    return changed || (fds[2].revents & (POLLPRI | POLLERR)) != 0;
}

// Waits until the next cycle is due or SIGTERM has come. SIGTERM is blocked
// from the test of g_running until ppoll unblocks it, so a stop that comes
// in between still ends the wait at once.
static void WaitForCycle(const EventSources *src, WakeState *wake)
{
    sigset_t term;
    sigset_t open;
    (void)sigemptyset(&term);
    (void)sigaddset(&term, SIGTERM);
    (void)sigprocmask(SIG_BLOCK, &term, &open);
    (void)sigdelset(&open, SIGTERM);
    for (;;) {
        int64_t left = MsUntilCycle(wake, NowMs());
        if (g_running == 0 || left == 0) {
            break;
        }
        struct pollfd fds[] = {{src->uevent, POLLIN, 0}, {src->inotify, POLLIN, 0}, {src->mounts, POLLPRI, 0}};
        struct timespec wait = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        int ready = ppoll(fds, sizeof(fds) / sizeof(fds[0]), &wait, &open);
        if (ready > 0 && ReadSources(src, fds)) {
            NoteChange(wake, NowMs());
        } else if (ready < 0 && errno != EINTR) {
            (void)sleep(1);  // never spin on a wait that fails (a syscall filter)
        }
    }
    (void)sigprocmask(SIG_UNBLOCK, &term, nullptr);
}

int RunService(void)
{
    // A notice to a standard output that nobody reads any more (a manual run
    // piped into a pager that quit) must fail, not end the service. Commands
    // get SIGPIPE back at its default when they start.
    (void)signal(SIGPIPE, SIG_IGN);
    WriteLog(LOG_INFO, "ceph zarvel start\n");
    // signal() on Linux keeps the handler and restarts interrupted calls, so
    // a cycle runs to its end; the wait after it then ends at once.
    (void)signal(SIGTERM, HandleSigterm);
    InitDeviceInfo();
    EventSources src = {-1, -1, -1};
    OpenEventSources(&src);
    WakeState wake = {0, 0, WAKE_NONE, WAKE_NONE};
    bool first = true;
    while (g_running != 0) {
        // The directories that appeared since the last cycle are watched
        // before this one reads them: an OSD mounted and filled while the
        // cycle runs is seen. What the old set saw still counts.
        bool changed = false;
        src.inotify = RearmWatches(src.inotify, &changed);
        ApplyTally tally = {0, 0};
        int64_t start = NowMs();
        int32_t failed = RunCycle(&tally);
        NoteCycle(&wake, start, NowMs());
        if (changed) {
            NoteChange(&wake, NowMs());
        }
        NotifyCycle(&tally, failed, first);
        first = false;
        WaitForCycle(&src, &wake);
    }
    CloseEventSources(&src);
    FreeDeviceInfo();
    WriteLog(LOG_INFO, "ceph zarvel stop\n");
    return 0;
}
