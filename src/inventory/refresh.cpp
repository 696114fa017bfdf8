// The per-cycle inventory refresh: list the OSDs and the sd names, keep each
// list only when it changed, rebuild the device map on a change.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"

// One of the two lists the refresh keeps.
struct ListKind {
    bool osd;  // OSD fsids; otherwise sd names in /dev
    size_t slotSize;
    char **list;
    int32_t *num;
};

static const ListKind FSID_KIND = {true, FSID_SLOT, &g_fsidList, &g_fsidNum};
static const ListKind DEV_KIND = {false, DEV_NAME_SLOT, &g_devList, &g_devNum};

// The sd names of /dev, read once into a growable block. 0 with *block and
// *count set (null and 0 for none), 1 on failure with nothing held. Names
// beyond DEV_MAP_MAX wait, with one line per cycle.
static int32_t ReadDevNames(char **block, int32_t *count)
{
    *block = nullptr;
    *count = 0;
    if (access(DEV_DIR, F_OK) != 0) {
        return 0;
    }
    DIR *dir = opendir(DEV_DIR);
    if (dir == nullptr) {
        WriteLog(LOG_ERROR, "opendir error:%s\n", DEV_DIR);
        return 1;
    }
    void *names = nullptr;
    int32_t capacity = 0;
    int32_t used = 0;
    int32_t result = 0;
    for (const struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (entry->d_type != DT_BLK) {
            continue;
        }
        if (!GrowSlots(&names, &capacity, used, DEV_NAME_SLOT)) {
            result = 1;
            break;
        }
        char *slot = static_cast<char *>(names) + static_cast<size_t>(used) * DEV_NAME_SLOT;
        if (CheckDevName(entry->d_name, slot, DEV_NAME_SLOT) != 1) {
            continue;
        }
        if (used == DEV_MAP_MAX) {
            (void)memset_s(slot, DEV_NAME_SLOT, 0, DEV_NAME_SLOT);
            WriteLog(LOG_WARNING, "devNum is too many:%d\n", DEV_MAP_MAX + 1);
            break;
        }
        ++used;
    }
    (void)closedir(dir);
    if (result != 0 || used == 0) {
        free(names);
        return result;
    }
    *block = static_cast<char *>(names);
    *count = used;
    return 0;
}

// The fsids of the records, in their order, as one block of slots.
static int32_t FsidsOf(const OsdRecord *records, int32_t count, char **block)
{
    *block = nullptr;
    if (count == 0) {
        return 0;
    }
    size_t bytes = static_cast<size_t>(count) * FSID_SLOT;
    char *fsids = static_cast<char *>(malloc(bytes));
    if (fsids == nullptr) {
        WriteLog(LOG_ERROR, "malloc size:%d\n", static_cast<int>(bytes));
        return 1;
    }
    (void)memset_s(fsids, bytes, 0, bytes);
    for (int32_t i = 0; i < count; ++i) {
        (void)memcpy_s(fsids + static_cast<size_t>(i) * FSID_SLOT, FSID_SLOT, records[i].fsid, FSID_SLOT);
    }
    *block = fsids;
    return 0;
}

static void InstallList(const ListKind *kind, char *block, int32_t count)
{
    free(*kind->list);
    *kind->list = block;
    *kind->num = count;
}

// Keeps the fresh list when it differs from the stored one, in count or in
// any slot; otherwise releases it. True when the stored list was replaced.
static bool KeepIfChanged(const ListKind *kind, char *block, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        WriteLog(LOG_DEBUG, kind->osd ? "fsid[%d]:%s\n" : "dev[%d]:%s\n", i, block + static_cast<size_t>(i) * kind->slotSize);
    }
    if (*kind->num != count) {
        InstallList(kind, block, count);
        return true;
    }
    for (int32_t i = 0; i < count; ++i) {
        const char *stored = *kind->list + static_cast<size_t>(i) * kind->slotSize;
        WriteLog(LOG_DEBUG, kind->osd ? "g_fsidList[%d]:%s\n" : "g_devList[%d]:%s\n", i, stored);
        // The last byte of a slot is always NUL; the rest is the whole content.
        if (memcmp(stored, block + static_cast<size_t>(i) * kind->slotSize, kind->slotSize - 1) != 0) {
            InstallList(kind, block, count);
            return true;
        }
    }
    free(block);
    return false;
}

// Keeps the fresh records when anything in them differs from the stored
// ones: a new block.db link or a changed type must reach the map too.
static bool KeepRecordsIfChanged(OsdRecord *records, int32_t count)
{
    bool same = count == g_osdNum &&
                (count == 0 || memcmp(records, g_osdList, static_cast<size_t>(count) * sizeof(OsdRecord)) == 0);
    if (same) {
        free(records);
        return false;
    }
    free(g_osdList);
    g_osdList = records;
    g_osdNum = count;
    return true;
}

// -1 on failure, 1 when the OSDs changed, 0 when they stayed.
static int32_t RefreshOsds(void)
{
    OsdRecord *records = nullptr;
    int32_t count = 0;
    char *fsids = nullptr;
    if (ReadOsdRoots(&records, &count) != 0 || FsidsOf(records, count, &fsids) != 0) {
        free(records);
        return -1;
    }
    bool fsidChanged = KeepIfChanged(&FSID_KIND, fsids, count);
    bool recordsChanged = KeepRecordsIfChanged(records, count);
    return fsidChanged || recordsChanged ? 1 : 0;
}

// -1 on failure, 1 when the names changed, 0 when they stayed.
static int32_t RefreshDevNames(void)
{
    char *block = nullptr;
    int32_t count = 0;
    if (ReadDevNames(&block, &count) != 0) {
        return -1;
    }
    return KeepIfChanged(&DEV_KIND, block, count) ? 1 : 0;
}

int32_t UpdateDeviceInfo(void)
{
    int32_t osdChanged = RefreshOsds();
    int32_t devChanged = osdChanged < 0 ? -1 : RefreshDevNames();
    if (osdChanged < 0 || devChanged < 0) {
        FreeDeviceInfo();
        return 1;
    }
    // The expensive map build (child processes per name) only on a change.
    if ((osdChanged != 0 || devChanged != 0) && BuildDevMap() != 0) {
        FreeDeviceInfo();
        return 1;
    }
    return 0;
}
