// The verdict on each disk, in the order in which the daemon's rules apply:
// the target selection first, then the drive's WCE, then the kernel's view.
#include "report/report.h"
#include "wcache/wcache.h"

const char *KernelText(int kernel)
{
    return KernelViewText(kernel);
}

const char *ObjectStoreText(int32_t osdType)
{
    switch (osdType) {
    case OSD_TYPE_BLUESTORE: return "bluestore";
    case OSD_TYPE_FILESTORE: return "filestore";
    case OSD_TYPE_KVSTORE: return "kvstore";
    case OSD_TYPE_MEMSTORE: return "memstore";
    default: return "unknown";
    }
}

// Why no OSD ties the disk: none claims it, or one does but its device
// does not prove it.
static const char *NoOsdVerdict(const DiskRow *row)
{
    if (row->osdDir[0] == '\0') {
        return "no OSD";
    }
    switch (row->proof) {
    case PROOF_NOT_BLOCK: return "block is not a block device";
    case PROOF_OTHER_LABEL: return "label of another OSD";
    default: return "no BlueStore label";
    }
}

// Why the database of a BlueStore OSD does not count as separate.
static const char *DbVerdict(const DiskRow *row)
{
    switch (row->db) {
    case DB_NONE: return "no block.db";
    case DB_OTHER_LABEL: return "block.db of another OSD";
    default: return "block.db on the same disk";
    }
}

const char *RowVerdict(const DiskRow *row)
{
    switch (row->rule) {
    case TARGET_SELECTED:
        // A view of write through alone proves nothing: the pass asks the drive.
        return row->kernel == KERNEL_WC_THROUGH && row->driveWce == 0 ? "kernel already write through" : "target";
    case TARGET_NOT_ROTATIONAL: return "not rotational";
    case TARGET_NOT_BLUESTORE:
        return row->osdType == OSD_TYPE_NONE ? "object store unknown" : ObjectStoreText(row->osdType);
    case TARGET_DB_NOT_SEPARATE: return DbVerdict(row);
    case TARGET_NO_OSD: return NoOsdVerdict(row);
    default: return "no name";
    }
}

int RowAction(const DiskRow *row)
{
    if (row->rule != TARGET_SELECTED || row->nodeOpen != 1) {
        return ACTION_NONE;
    }
    return NextWriteCacheMove(row->kernel, row->driveWce);
}

int RowCacheStillOn(const DiskRow *row)
{
    return row->rule == TARGET_SELECTED && row->driveWce != 0 ? 1 : 0;
}
