// One row per whole sd disk, as /sys/block lists them, and the OSD that
// decides each: rows are filled from the OSDs down, never by name.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysfs.h"

int CompareDevNames(const char *a, const char *b)
{
    size_t lenA = strlen(a);
    size_t lenB = strlen(b);
    if (lenA != lenB) {
        return lenA < lenB ? -1 : 1;
    }
    return strcmp(a, b);
}

static bool AddName(InventoryBuild *build, const char *name)
{
    if (build->nameNum == DEV_NAME_MAX) {
        return true;
    }
    void *block = build->names;
    if (!GrowSlots(&block, &build->nameCap, build->nameNum, DEV_NAME_SLOT)) {
        return false;
    }
    build->names = static_cast<char *>(block);
    char *slot = build->names + static_cast<size_t>(build->nameNum) * DEV_NAME_SLOT;
    (void)memcpy_s(slot, DEV_NAME_SLOT, name, strlen(name));
    ++build->nameNum;
    return true;
}

// The partitions of the disk open at sd, by their own sysfs directories.
static bool AddPartitions(InventoryBuild *build, const SysfsDev *sd, const char *disk)
{
    int fd = openat(sd->dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) {
            (void)close(fd);
        }
        return true;
    }
    bool ok = true;
    char name[DEV_NAME_SLOT];
    char attr[DEV_NAME_SLOT + 16];
    int64_t number = 0;
    size_t diskLen = strlen(disk);
    for (const struct dirent *entry = readdir(dir); entry != nullptr && ok; entry = readdir(dir)) {
        (void)memset_s(attr, sizeof(attr), 0, sizeof(attr));
        if (strncmp(entry->d_name, disk, diskLen) != 0 || CheckDevName(entry->d_name, name, sizeof(name)) != 1 ||
            sprintf_s(attr, sizeof(attr), "%s/partition", name) < 0 || !SysfsReadInt(sd, attr, &number)) {
            continue;
        }
        ok = AddName(build, name);
    }
    (void)closedir(dir);
    return ok;
}

// Adds the row of whole disk name at its place in kernel order.
static bool AddRow(InventoryBuild *build, const char *name)
{
    SysfsDev sd;
    if (!SysfsOpenName(name, &sd)) {
        return true;
    }
    void *block = build->rows;
    bool grown = GrowSlots(&block, &build->rowCap, build->rowNum, sizeof(InventoryRow));
    build->rows = static_cast<InventoryRow *>(block);
    bool ok = grown && AddName(build, name) && AddPartitions(build, &sd, name);
    dev_t dev = sd.dev;
    int32_t rotational = SysfsIsRotational(&sd);
    SysfsClose(&sd);
    if (!ok) {
        return false;
    }
    int32_t at = build->rowNum;
    while (at > 0 && CompareDevNames(build->rows[at - 1].name, name) > 0) {
        build->rows[at] = build->rows[at - 1];
        --at;
    }
    InventoryRow *row = &build->rows[at];
    (void)memset_s(row, sizeof(*row), 0, sizeof(*row));
    row->dev = dev;
    (void)memcpy_s(row->name, sizeof(row->name), name, strlen(name));
    row->rotational = rotational;
    row->osd = -1;
    row->osdType = OSD_TYPE_NONE;
    ++build->rowNum;
    return true;
}

bool ReadDiskRows(InventoryBuild *build)
{
    DIR *dir = opendir(SYS_BLOCK_DIR);
    if (dir == nullptr) {
        WriteLog(LOG_ERROR, "opendir error:%s\n", SYS_BLOCK_DIR);
        return false;
    }
    bool ok = true;
    char name[DEV_NAME_SLOT];
    char disk[DEV_NAME_SLOT];
    for (const struct dirent *entry = readdir(dir); entry != nullptr && ok; entry = readdir(dir)) {
        if (CheckDevName(entry->d_name, name, sizeof(name)) != 1) {
            continue;
        }
        (void)memcpy_s(disk, sizeof(disk), name, sizeof(name));
        if (StripPartition(disk, static_cast<uint32_t>(strlen(disk))) == 1 && strcmp(disk, name) == 0) {
            ok = AddRow(build, name);
        }
    }
    (void)closedir(dir);
    return ok;
}

// How close an OSD comes to making a disk a target: a target first, then
// the rules in the order in which they would be mended.
static int32_t Rank(int32_t proof, int32_t db, int32_t osdType)
{
    int32_t rule = OsdRule(proof, db, osdType);
    return (rule == TARGET_SELECTED ? 16 : rule) * 4 + proof;
}

void TieRows(InventoryBuild *build, int32_t osd, const DevStack *stack)
{
    const OsdRecord *record = &build->osds[osd];
    int32_t rank = Rank(record->proof, record->db, record->osdType);
    for (int32_t disk = 0; disk < stack->diskNum; ++disk) {
        for (int32_t i = 0; i < build->rowNum; ++i) {
            InventoryRow *row = &build->rows[i];
            if (row->dev != stack->disks[disk] || (row->osd >= 0 && Rank(row->proof, row->db, row->osdType) >= rank)) {
                continue;
            }
            row->osd = osd;
            row->proof = record->proof;
            row->db = record->db;
            row->osdType = record->osdType;
        }
    }
}
