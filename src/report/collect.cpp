// The facts of each disk, gathered through the daemon's own functions so that
// the report can never disagree with what the next cycle does.
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

// Kernel order of disk names: shorter first (sdz before sdaa), then by letter.
static int CompareNames(const char *a, const char *b)
{
    size_t lenA = strlen(a);
    size_t lenB = strlen(b);
    if (lenA != lenB) {
        return lenA < lenB ? -1 : 1;
    }
    return strcmp(a, b);
}

const char *NextPartition(const char *disk, const char *previous)
{
    const char *next = nullptr;
    char owner[DEV_NAME_SLOT];
    for (int32_t i = 0; i < g_devNum; ++i) {
        const char *slot = g_devList + static_cast<size_t>(i) * DEV_NAME_SLOT;
        if (strcmp(slot, disk) == 0 || (previous != nullptr && CompareNames(slot, previous) <= 0) ||
            (next != nullptr && CompareNames(slot, next) >= 0)) {
            continue;
        }
        if (DiskOfSlot(i, owner) && strcmp(owner, disk) == 0) {
            next = slot;
        }
    }
    return next;
}

// Adds disk to the sorted rows unless it is there already.
static void InsertDisk(Report *report, const char *disk)
{
    int32_t at = 0;
    while (at < report->count && CompareNames(report->rows[at].name, disk) < 0) {
        ++at;
    }
    if (at < report->count && strcmp(report->rows[at].name, disk) == 0) {
        return;
    }
    DiskRow *row = &report->rows[at];
    size_t tail = static_cast<size_t>(report->count - at) * sizeof(DiskRow);
    if (tail > 0) {
        (void)memmove(row + 1, row, tail);
    }
    (void)memset_s(row, sizeof(*row), 0, sizeof(*row));
    (void)memcpy_s(row->name, sizeof(row->name), disk, DEV_NAME_SLOT);
    ++report->count;
}

// The drive's WCE as the apply pass would first see it: the node opened as
// the pass opens it, and the Caching page's current values.
static void ReadDriveWce(DiskRow *row)
{
    char resolved[PATH_BUFFER_SIZE];
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    row->driveWce = -1;
    int fd = OpenDiskNode(row->name, resolved, sizeof(resolved));
    row->nodeOpen = fd >= 0 ? 1 : 0;
    if (fd < 0) {
        return;
    }
    uint32_t wce = 0;
    if (GetWce(fd, 0, &wce) == 0) {
        row->driveWce = wce != 0 ? 1 : 0;
    }
    (void)close(fd);
}

// The OSD side of a disk: the map entry that decided its rule and, through
// the map build's own matching, the OSD and how it was tied. A disk that no
// OSD ties is explained by the first of its names that an OSD claims.
static int32_t ReadOsdFacts(DiskRow *row)
{
    int32_t entryRule = TARGET_NO_OSD;
    int32_t index = DecidingEntry(row->name, &entryRule);
    row->osdType = OSD_TYPE_NONE;
    row->separateDb = -1;
    DevMapEntry scratch;
    (void)memset_s(&scratch, sizeof(scratch), 0, sizeof(scratch));
    if (index >= 0 && entryRule != TARGET_NO_OSD) {
        row->osdType = devMap[index].osdType;
        row->separateDb = devMap[index].separateDb;
        return MatchDevName(devMap[index].name, &scratch, &row->match);
    }
    const char *part = nullptr;
    for (const char *name = row->name; name != nullptr; name = part) {
        if (MatchDevName(name, &scratch, &row->match) != 0) {
            return 1;
        }
        if (row->match.osdDir[0] != '\0') {
            return 0;
        }
        part = NextPartition(row->name, part);
    }
    return 0;
}

static int32_t ReadDiskFacts(DiskRow *row)
{
    row->rule = TargetRule(row->name);
    row->rotational = IsHdd(row->name);
    row->kernel = GetKernelWriteCache(row->name);
    ReadDriveWce(row);
    return ReadOsdFacts(row);
}

int32_t CollectReport(Report *report)
{
    report->rows = nullptr;
    report->count = 0;
    InitDeviceInfo();
    if (UpdateDeviceInfo() != 0) {
        return 1;
    }
    if (g_devNum == 0) {
        return 0;
    }
    size_t bytes = static_cast<size_t>(g_devNum) * sizeof(DiskRow);
    report->rows = static_cast<DiskRow *>(malloc(bytes));
    if (report->rows == nullptr) {
        FreeDeviceInfo();
        return 1;
    }
    (void)memset_s(report->rows, bytes, 0, bytes);
    char disk[DEV_NAME_SLOT];
    for (int32_t i = 0; i < g_devNum; ++i) {
        if (DiskOfSlot(i, disk)) {
            InsertDisk(report, disk);
        }
    }
    for (int32_t i = 0; i < report->count; ++i) {
        if (ReadDiskFacts(&report->rows[i]) != 0) {
            FreeReport(report);
            return 1;
        }
    }
    return 0;
}

void FreeReport(Report *report)
{
    free(report->rows);
    report->rows = nullptr;
    report->count = 0;
    FreeDeviceInfo();
}
