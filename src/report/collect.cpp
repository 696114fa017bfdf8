// The facts of each disk: the daemon's own inventory rows and verdict, so
// that the report can never disagree with what the next cycle does.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "report/report.h"
#include "sysaccess/sysaccess.h"
#include "wcache/wcache.h"


// Whole-disk name of g_devList slot i into disk (DEV_NAME_SLOT bytes).
static bool DiskOfSlot(int32_t i, char *disk)
{
    (void)memset_s(disk, DEV_NAME_SLOT, 0, DEV_NAME_SLOT);
    const char *slot = g_devList + static_cast<size_t>(i) * DEV_NAME_SLOT;
    if (memcpy_s(disk, DEV_NAME_SLOT, slot, DEV_NAME_SLOT) != BC_OK) {
        return false;
    }
    disk[DEV_NAME_SLOT - 1] = '\0';
    return StripPartition(disk, static_cast<uint32_t>(strlen(disk))) == 1;
}

const char *NextPartition(const char *disk, const char *previous)
{
    const char *next = nullptr;
    char owner[DEV_NAME_SLOT];
    for (int32_t i = 0; i < g_devNum; ++i) {
        const char *slot = g_devList + static_cast<size_t>(i) * DEV_NAME_SLOT;
        if (strcmp(slot, disk) == 0 || (previous != nullptr && CompareDevNames(slot, previous) <= 0) ||
            (next != nullptr && CompareDevNames(slot, next) >= 0)) {
            continue;
        }
        if (DiskOfSlot(i, owner) && strcmp(owner, disk) == 0) {
            next = slot;
        }
    }
    return next;
}

// The drive's WCE as the apply pass would first see it: the node opened as
// the pass opens it, only when it is still the row's device, and the
// Caching page's current values.
static void ReadDriveWce(DiskRow *row, dev_t dev)
{
    char resolved[PATH_BUFFER_SIZE];
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    row->driveWce = -1;
    int fd = OpenDiskNode(row->name, resolved, sizeof(resolved));
    struct stat st;
    row->nodeOpen = fd >= 0 && fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev ? 1 : 0;
    uint32_t wce = 0;
    if (row->nodeOpen == 1 && GetWce(fd, 0, &wce) == 0) {
        row->driveWce = wce != 0 ? 1 : 0;
    }
    if (fd >= 0) {
        (void)close(fd);
    }
}

// The facts of one inventory row: the verdict, the kernel's and the
// drive's view, and the OSD directory that decided.
static void FillRow(DiskRow *row, const InventoryRow *disk)
{
    (void)memset_s(row, sizeof(*row), 0, sizeof(*row));
    (void)memcpy_s(row->name, sizeof(row->name), disk->name, sizeof(disk->name));
    row->rule = TargetRule(disk);
    row->rotational = disk->rotational;
    row->kernel = GetKernelWriteCache(disk->name);
    ReadDriveWce(row, disk->dev);
    bool tied = disk->osd >= 0 && disk->proof == PROOF_LABEL;
    row->osdType = tied ? disk->osdType : OSD_TYPE_NONE;
    row->separateDb = tied ? (OsdRule(disk->proof, disk->db, OSD_TYPE_BLUESTORE) == TARGET_SELECTED ? 1 : 0) : -1;
    row->proof = disk->proof;
    row->db = disk->db;
    if (disk->osd >= 0) {
        (void)memcpy_s(row->osdDir, sizeof(row->osdDir), g_osdList[disk->osd].name, sizeof(g_osdList[disk->osd].name));
        DescribeRow(disk, row->how);
    }
}

int32_t CollectReport(Report *report)
{
    report->rows = nullptr;
    report->count = 0;
    InitDeviceInfo();
    if (UpdateDeviceInfo() != 0) {
        return 1;
    }
    if (g_rowNum == 0) {
        return 0;
    }
    size_t bytes = static_cast<size_t>(g_rowNum) * sizeof(DiskRow);
    report->rows = static_cast<DiskRow *>(malloc(bytes));
    if (report->rows == nullptr) {
        FreeDeviceInfo();
        return 1;
    }
    for (int32_t i = 0; i < g_rowNum; ++i) {
        FillRow(&report->rows[i], &g_rows[i]);
    }
    report->count = g_rowNum;
    return 0;
}

void FreeReport(Report *report)
{
    free(report->rows);
    report->rows = nullptr;
    report->count = 0;
    FreeDeviceInfo();
}
