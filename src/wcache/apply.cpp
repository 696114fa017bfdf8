// The apply pass: every target disk met in /dev gets its volatile write cache
// switched off, then a rescan so the kernel's view follows, then a flush.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"
#include "wcache/wcache.h"

constexpr size_t NAME_BUF_SIZE = 256;

// Acts on one open disk whose kernel view was read as view; the caller
// closes fd. SetWce reads WCE and switches in one call, so the move is
// consulted once the drive has answered.
static void SwitchOpenDisk(int fd, const char *name, int view)
{
    int32_t rc = SetWce(fd, 0);
    if (rc == -1) {
        // The drive is already write-through; only a stale kernel view is left.
        if (NextWriteCacheMove(view, 0) == WC_MOVE_RESCAN) {
            RescanDevice(name);
        }
        return;
    }
    if (rc != 0) {
        WriteLog(LOG_ERROR, "change config of %s failed\n", name);
        return;
    }
    WriteLog(LOG_INFO, "change config of %s succeed\n", name);
    RescanDevice(name);
    WriteLog(LOG_INFO, "sync device %s return %d\n", name, SyncDevice(fd));
}

static void VisitEntry(const struct dirent *entry)
{
    char name[NAME_BUF_SIZE];
    char resolved[PATH_BUFFER_SIZE];
    (void)memset_s(name, sizeof(name), 0, sizeof(name));
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    if (CheckDevName(entry->d_name, name, sizeof(name)) != 1 ||
        StripPartition(name, static_cast<uint32_t>(strlen(name))) != 1) {
        return;
    }
    // Anyone who may write queue/write_cache can make it say write through
    // while the drive keeps caching (and the kernel then stops flushing), so
    // only the drive's own WCE may end a target's visit.
    int view = GetKernelWriteCache(name);
    if (IsTargetDevice(name) != 1) {
        return;
    }
    int fd = OpenDiskNode(name, resolved, sizeof(resolved));
    if (fd == DISK_NODE_OPEN_FAILED) {
        WriteLog(LOG_ERROR, "open %s failed\n", resolved);
    }
    if (fd < 0) {
        return;
    }
    SwitchOpenDisk(fd, name, view);
    close(fd);
}

void ApplyWriteCachePolicy(void)
{
    DIR *dir = opendir(DEV_DIR);
    if (dir == nullptr) {
        WriteLog(LOG_ERROR, "open directory failed\n");
        return;
    }
    for (struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (entry->d_type == DT_BLK) {
            VisitEntry(entry);
        }
    }
    closedir(dir);
}
