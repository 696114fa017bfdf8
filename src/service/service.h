// Service control: the run flag, the cycle, and the wait between cycles,
// which a full period or a change on the node ends.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

constexpr unsigned int SERVICE_INTERVAL_S = 600;

// Cleared only by the SIGTERM handler.
extern volatile sig_atomic_t g_running;

// The whole life of the process; returns the exit status (always 0).
int RunService(void);

// One cycle: the inventory refresh, then the apply pass when it succeeded.
// tally gets what the pass found (zeros when it did not run). 0 when the
// pass ran, 1 when the refresh failed.
struct ApplyTally;
int32_t RunCycle(ApplyTally *tally);

// When a change on the node ends the wait. A change starts a cycle once no
// further change came for WAKE_QUIET_MS (an OSD's activation is a burst of
// steps), but never later than WAKE_SETTLE_MAX_MS after the first one (a
// storm has no quiet), and never sooner than WAKE_GAP_MS after the last
// cycle started (so a storm costs at most one cycle a second, and what the
// cycle itself stirred up at most one more).
constexpr int64_t WAKE_QUIET_MS = 200;
constexpr int64_t WAKE_SETTLE_MAX_MS = 1000;
constexpr int64_t WAKE_GAP_MS = 1000;
constexpr int64_t WAKE_NONE = -1;
struct WakeState {
    int64_t cycleStartMs;  // monotonic time the last cycle started
    int64_t cycleEndMs;    // and ended
    int64_t firstEventMs;  // first change since then; WAKE_NONE: none
    int64_t lastEventMs;   // latest change since then
};
// A cycle ran from startMs to endMs: the changes seen so far were its to
// answer.
void NoteCycle(WakeState *wake, int64_t startMs, int64_t endMs);
// A change was seen at nowMs.
void NoteChange(WakeState *wake, int64_t nowMs);
// Milliseconds from nowMs until the next cycle is due (the full period, or
// a change's), 0 when it is due now.
int64_t MsUntilCycle(const WakeState *wake, int64_t nowMs);

// Whether one kernel uevent (len bytes, "ACTION@DEVPATH" then KEY=VALUE
// fields, each NUL-ended) can bring a cache back on or a target into being:
// a block device added, changed or removed, or a SCSI device that reports a
// unit attention (a reset, changed mode parameters). Reads only within len.
bool UeventMatters(const char *msg, size_t len);

// The change sources the wait watches: the kernel's uevents, the OSD
// directories, the mount table. A descriptor is -1 when its source could
// not be opened; the full period still runs then.
struct EventSources {
    int uevent;
    int inotify;
    int mounts;
};
void OpenEventSources(EventSources *src);
void CloseEventSources(EventSources *src);

// The uevent socket, bound to the kernel's group. -1 when unavailable.
int OpenUeventSocket(void);
// Reads every queued uevent. True when one of them matters, or when some
// were lost (the queue overflowed).
bool DrainUevents(int fd);

// Watches on the OSD roots and on every directory below them that may be
// or become an OSD. The directories, as "/var/lib/ceph/osd" and the like;
// at most WATCH_MAX of them, in a heap block the caller frees.
constexpr int32_t WATCH_MAX = 1024;
constexpr int WATCH_PATH_SIZE = 256;
struct WatchDir {
    char path[WATCH_PATH_SIZE];
};
int32_t CollectWatchDirs(WatchDir **dirs);
// A fresh inotify descriptor watching what CollectWatchDirs names; the old
// one (-1: none) is drained first and closed, so no change is lost. Sets
// *changed when the old one had seen one. The old one when no new one
// could be made.
int RearmWatches(int oldFd, bool *changed);
// Reads every queued inotify event. True when there was any (an overflow
// included).
bool DrainWatches(int fd);

// /proc/self/mountinfo, whose poll reports a changed mount table. -1 when
// unavailable.
int OpenMountTable(void);

// Tells systemd about a finished cycle when NOTIFY_SOCKET names its socket:
// READY=1 with the first, and a STATUS= line with each. Silent otherwise.
void NotifyCycle(const ApplyTally *tally, int32_t failed, bool first);
// The STATUS= text of a cycle into text (size bytes). False when it does not fit.
bool FormatStatus(const ApplyTally *tally, int32_t failed, char *text, size_t size);
