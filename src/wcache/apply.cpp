// The apply pass: every target disk met in /dev gets its volatile write cache
// switched off, then a rescan so the kernel's view follows, then a flush.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"
#include "wcache/wcache.h"

constexpr size_t NAME_BUF_SIZE = 256;

// Acts on one open disk whose kernel view was read as view; the caller
// closes fd. SetWce reads WCE and switches in one call, so the move is
// consulted once the drive has answered. True when the drive ends at WCE 0.
static bool SwitchOpenDisk(int fd, const char *name, int view)
{
    int32_t rc = SetWce(fd, 0);
    if (rc == -1) {
        // The drive is already write-through; only a stale kernel view is left.
        if (NextWriteCacheMove(view, 0) == WC_MOVE_RESCAN) {
            RescanDevice(name);
        }
        return true;
    }
    if (rc != 0) {
        WriteLog(LOG_ERROR, "change config of %s failed\n", name);
        return false;
    }
    WriteLog(LOG_INFO, "change config of %s succeed\n", name);
    RescanDevice(name);
    WriteLog(LOG_INFO, "sync device %s return %d\n", name, SyncDevice(fd));
    return true;
}

// A disk is met once as itself and once per partition; only the visit of
// the whole disk's own entry is counted.
static void VisitEntry(const struct dirent *entry, ApplyTally *tally)
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
    bool whole = strcmp(name, entry->d_name) == 0;
    tally->targets += whole ? 1 : 0;
    int fd = OpenDiskNode(name, resolved, sizeof(resolved));
    if (fd == DISK_NODE_OPEN_FAILED) {
        WriteLog(LOG_ERROR, "open %s failed\n", resolved);
    }
    if (fd < 0) {
        return;
    }
    tally->off += SwitchOpenDisk(fd, name, view) && whole ? 1 : 0;
    close(fd);
}

int OpenDiskNode(const char *name, char *resolved, uint32_t resolvedLen)
{
    char path[NAME_BUF_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (resolvedLen < PATH_BUFFER_SIZE || snprintf_s(path, sizeof(path), sizeof(path) - 1, "/dev/%s", name) < 0 ||
        realpath(path, resolved) == nullptr) {
        return DISK_NODE_MISSING;
    }
    int fd = open(resolved, O_RDONLY | O_NONBLOCK);
    return fd < 0 ? DISK_NODE_OPEN_FAILED : fd;
}

void ApplyWriteCachePolicy(ApplyTally *tally)
{
    ApplyTally mine = {0, 0};
    ApplyTally *counts = tally != nullptr ? tally : &mine;
    *counts = mine;
    DIR *dir = opendir(DEV_DIR);
    if (dir == nullptr) {
        WriteLog(LOG_ERROR, "open directory failed\n");
        return;
    }
    for (struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (entry->d_type == DT_BLK) {
            VisitEntry(entry, counts);
        }
    }
    closedir(dir);
}
