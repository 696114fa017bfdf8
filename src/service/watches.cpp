// inotify on the OSD roots and the directories below them, so that an OSD
// directory that appears, or gains its fsid, block or block.db, ends the
// wait. The set is taken afresh after every cycle.
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "service/service.h"

// The trees OSD directories live in, and how deep: /var/lib/ceph/osd/<dir>
// and cephadm's /var/lib/ceph/<cluster>/osd.<id>; Rook's
// /var/lib/rook/<namespace>/<dir> and, on PVCs, <namespace>/<pvc>/ceph-<id>.
// Their parent shows a base that is made while the daemon runs (Rook
// makes its own late).
struct WatchBase {
    const char *path;
    int depth;
};
static const WatchBase WATCH_BASES[] = {{CEPH_DIR, 2}, {ROOK_DIR, 3}};
constexpr const char *WATCH_TOP = "/var/lib";

// What changes an OSD directory: entries made, removed, renamed, or a file
// written. Never through a link, and only on directories.
constexpr uint32_t WATCH_MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR;
constexpr size_t WATCH_READ_SIZE = 4096;
constexpr int WATCH_DRAIN_MAX = 256;

struct WatchList {
    WatchDir *dirs;
    int32_t count;
    int32_t capacity;
};

static bool AddPath(WatchList *list, const char *parent, const char *name)
{
    if (list->count >= WATCH_MAX ||
        !GrowSlots(reinterpret_cast<void **>(&list->dirs), &list->capacity, list->count, sizeof(WatchDir))) {
        return false;
    }
    WatchDir *slot = &list->dirs[list->count];
    (void)memset_s(slot->path, sizeof(slot->path), 0, sizeof(slot->path));
    int rc = parent == nullptr ? sprintf_s(slot->path, sizeof(slot->path), "%s", name)
                               : sprintf_s(slot->path, sizeof(slot->path), "%s/%s", parent, name);
    list->count += rc >= 0 ? 1 : 0;  // a name too long for a path is no OSD of ours
    return true;
}

// Appends the subdirectories of parent (not through a link). parent is a
// copy: its slot moves when the block grows.
static void AddChildren(WatchList *list, const char *parent)
{
    int fd = open(parent, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) {
            (void)close(fd);
        }
        return;
    }
    for (const struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (entry->d_type == DT_DIR && entry->d_name[0] != '.' && !AddPath(list, parent, entry->d_name)) {
            break;
        }
    }
    (void)closedir(dir);
}

int32_t CollectWatchDirs(WatchDir **dirs)
{
    WatchList list = {nullptr, 0, 0};
    (void)AddPath(&list, nullptr, WATCH_TOP);
    for (const WatchBase &base : WATCH_BASES) {
        int32_t from = list.count;
        (void)AddPath(&list, nullptr, base.path);
        for (int depth = 0; depth < base.depth; ++depth) {
            int32_t to = list.count;
            for (int32_t at = from; at < to && list.dirs != nullptr; ++at) {
                char parent[WATCH_PATH_SIZE];
                (void)memcpy_s(parent, sizeof(parent), list.dirs[at].path, sizeof(parent));
                AddChildren(&list, parent);
            }
            from = to;
        }
    }
    *dirs = list.dirs;
    return list.count;
}

bool DrainWatches(int fd)
{
    alignas(struct inotify_event) char buf[WATCH_READ_SIZE];
    bool any = false;
    for (int i = 0; i < WATCH_DRAIN_MAX; ++i) {
        ssize_t got = read(fd, buf, sizeof(buf));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        // Which entry changed does not matter: the cycle reads everything.
        any = true;
    }
    return any;
}

int RearmWatches(int oldFd, bool *changed)
{
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return oldFd;  // the old set still sees the roots
    }
    WatchDir *dirs = nullptr;
    int32_t count = CollectWatchDirs(&dirs);
    for (int32_t i = 0; i < count; ++i) {
        (void)inotify_add_watch(fd, dirs[i].path, WATCH_MASK);
    }
    free(dirs);
    // Only now: what changed while the new set was being taken is in the old
    // one. The new one then takes the old one's number, so the daemon's
    // descriptors stay the same for its whole life.
    if (oldFd >= 0) {
        *changed = DrainWatches(oldFd) || *changed;
        if (dup3(fd, oldFd, O_CLOEXEC) == oldFd) {
            (void)close(fd);
            return oldFd;
        }
        (void)close(oldFd);
    }
    return fd;
}
