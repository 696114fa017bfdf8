// The apply pass: every target row of the inventory, each whole disk once,
// gets its volatile write cache switched off, then a rescan so the kernel's
// view follows, then a flush.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"
#include "wcache/wcache.h"

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

// One target row: its node opened as the kernel names it, and only when
// the node is still the row's device.
static void VisitRow(const InventoryRow *row, ApplyTally *tally)
{
    char resolved[PATH_BUFFER_SIZE];
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    if (TargetRule(row) != TARGET_SELECTED) {
        return;
    }
    ++tally->targets;
    // Anyone who may write queue/write_cache can make it say write through
    // while the drive keeps caching (and the kernel then stops flushing), so
    // only the drive's own WCE may end a target's visit.
    int view = GetKernelWriteCache(row->name);
    int fd = OpenDiskNode(row->name, resolved, sizeof(resolved));
    if (fd == DISK_NODE_OPEN_FAILED) {
        WriteLog(LOG_ERROR, "open %s failed\n", resolved);
    }
    if (fd < 0) {
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != row->dev) {
        WriteLog(LOG_ERROR, "not the device of %s:%s\n", row->name, resolved);
    } else {
        tally->off += SwitchOpenDisk(fd, row->name, view) ? 1 : 0;
    }
    close(fd);
}

void ApplyWriteCachePolicy(ApplyTally *tally)
{
    ApplyTally mine = {0, 0};
    ApplyTally *counts = tally != nullptr ? tally : &mine;
    *counts = mine;
    for (int32_t i = 0; i < g_rowNum; ++i) {
        VisitRow(&g_rows[i], counts);
    }
}
