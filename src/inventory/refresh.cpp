// The per-cycle inventory refresh: list the OSD fsids and the sd names,
// keep each list only when it changed, rebuild the device map on a change.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"

constexpr int PATH_BUFFER_SIZE = 256;
constexpr int RESOLVED_BUFFER_SIZE = 4096;
constexpr int LINE_BUFFER_SIZE = 256;
constexpr size_t FSID_LINE_LEN = FSID_SLOT;  // 36 characters and the line feed

int32_t ReadOsdFsid(const char *osdName, char *dest, uint32_t destLen)
{
    char path[PATH_BUFFER_SIZE];
    char resolved[RESOLVED_BUFFER_SIZE];
    char line[LINE_BUFFER_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    (void)memset_s(line, sizeof(line), 0, sizeof(line));
    // Skips ".", ".." and hidden entries.
    if (osdName == nullptr || osdName[0] == '.') {
        return 1;
    }
    if (sprintf_s(path, sizeof(path), "%s/%s/fsid", OSD_DIR, osdName) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:%s/%s/fsid\n", OSD_DIR, osdName);
        return 1;
    }
    if (realpath(path, resolved) == nullptr) {
        WriteLog(LOG_DEBUG, "realpath error:%s\n", path);
        return 1;
    }
    if (access(resolved, F_OK) != 0) {
        return 1;
    }
    FILE *file = fopen(resolved, "r");
    if (file == nullptr) {
        WriteLog(LOG_ERROR, "fopen error:%s\n", resolved);
        return 1;
    }
    int32_t result = 1;
    if (fgets(line, sizeof(line), file) == nullptr) {
        WriteLog(LOG_ERROR, "fgets error:%s\n", resolved);
    } else if (strlen(line) != FSID_LINE_LEN) {
        WriteLog(LOG_WARNING, "fsidlen error:%lu\n", static_cast<unsigned long>(strlen(line)));
    } else if (dest == nullptr) {
        result = 0;
    } else {
        // Never more than the fsid itself: a larger destination must not pull
        // bytes from beyond the line buffer.
        size_t count = destLen - 1 < FSID_SLOT - 1 ? destLen - 1 : FSID_SLOT - 1;
        int rc = memcpy_s(dest, destLen, line, count);
        if (rc != BC_OK) {
            WriteLog(LOG_ERROR, "memcpy_s error:%d\n", rc);
        } else {
            result = 0;
        }
    }
    (void)fclose(file);
    return result;
}

// One of the two lists the refresh keeps.
struct ListKind {
    bool osd;          // OSD fsids; otherwise sd names in /dev
    const char *dir;
    unsigned char entryType;
    size_t slotSize;
    char **list;
    int32_t *num;
};

static const ListKind kFsidKind = {true, OSD_DIR, DT_DIR, FSID_SLOT, &g_fsidList, &g_fsidNum};
static const ListKind kDevKind = {false, DEV_DIR, DT_BLK, DEV_NAME_SLOT, &g_devList, &g_devNum};

// True when the entry belongs in the list; its value goes to slot.
static bool AcceptEntry(const ListKind *kind, const struct dirent *entry, char *slot)
{
    if (entry->d_type != kind->entryType) {
        return false;
    }
    if (kind->osd) {
        return ReadOsdFsid(entry->d_name, slot, slot != nullptr ? FSID_SLOT : 0) == 0;
    }
    return CheckDevName(entry->d_name, slot, DEV_NAME_SLOT) == 1;
}

static DIR *OpenListDir(const ListKind *kind)
{
    DIR *dir = opendir(kind->dir);
    if (dir == nullptr) {
        WriteLog(LOG_ERROR, "opendir error:%s\n", kind->dir);
    }
    return dir;
}

// Counting pass. -1 when the directory cannot be read.
static int32_t CountEntries(const ListKind *kind)
{
    DIR *dir = OpenListDir(kind);
    if (dir == nullptr) {
        return -1;
    }
    char scratch[DEV_NAME_SLOT];
    (void)memset_s(scratch, sizeof(scratch), 0, sizeof(scratch));
    int32_t count = 0;
    for (const struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (AcceptEntry(kind, entry, kind->osd ? nullptr : scratch)) {
            ++count;
        }
    }
    (void)closedir(dir);
    return count;
}

// Filling pass into block; the number of slots filled, -1 when unreadable.
// Entries after the block is full are not looked at.
static int32_t FillEntries(const ListKind *kind, char *block, int32_t count)
{
    if (access(kind->dir, F_OK) != 0) {
        return -1;
    }
    DIR *dir = OpenListDir(kind);
    if (dir == nullptr) {
        return -1;
    }
    int32_t filled = 0;
    for (const struct dirent *entry = readdir(dir); entry != nullptr && filled < count; entry = readdir(dir)) {
        if (AcceptEntry(kind, entry, block + static_cast<size_t>(filled) * kind->slotSize)) {
            ++filled;
        }
    }
    (void)closedir(dir);
    if (filled < count && kind->osd) {
        WriteLog(LOG_ERROR, "get all fsid error:%d|%d\n", filled, count);
    }
    return filled;
}

// Builds the list anew in one exactly sized block. 0 with *block and *count
// set (null and 0 for an empty list), 1 on failure with nothing held.
static int32_t BuildList(const ListKind *kind, char **block, int32_t *count)
{
    *block = nullptr;
    *count = 0;
    // Only a directory that is not there means an empty list. One that
    // cannot even be looked at (no search permission on the way) goes on to
    // fail, logged, instead of passing for a host without OSDs.
    if (access(kind->dir, F_OK) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return 0;
    }
    int32_t counted = CountEntries(kind);
    if (counted <= 0) {
        return counted < 0 ? 1 : 0;
    }
    int64_t bytes = static_cast<int64_t>(counted) * static_cast<int64_t>(kind->slotSize);
    if (bytes > LIST_MAX_BYTES) {
        WriteLog(LOG_ERROR, kind->osd ? "fsidNum is too many:%d\n" : "devNum is too many:%d\n", counted);
        return 1;
    }
    char *fresh = static_cast<char *>(malloc(static_cast<size_t>(bytes)));
    if (fresh == nullptr) {
        WriteLog(LOG_ERROR, "malloc size:%d\n", static_cast<int>(bytes));
        return 1;
    }
    (void)memset_s(fresh, static_cast<size_t>(bytes), 0, static_cast<size_t>(bytes));
    if (FillEntries(kind, fresh, counted) < counted) {
        free(fresh);
        return 1;
    }
    for (int32_t i = 0; i < counted; ++i) {
        WriteLog(LOG_DEBUG, kind->osd ? "fsid[%d]:%s\n" : "dev[%d]:%s\n", i, fresh + static_cast<size_t>(i) * kind->slotSize);
    }
    *block = fresh;
    *count = counted;
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

// -1 on failure, 1 when the stored list changed, 0 when it stayed.
static int32_t RefreshList(const ListKind *kind)
{
    char *block = nullptr;
    int32_t count = 0;
    if (BuildList(kind, &block, &count) != 0) {
        return -1;
    }
    return KeepIfChanged(kind, block, count) ? 1 : 0;
}

int32_t UpdateDeviceInfo(void)
{
    int32_t fsidChanged = RefreshList(&kFsidKind);
    int32_t devChanged = fsidChanged < 0 ? -1 : RefreshList(&kDevKind);
    if (fsidChanged < 0 || devChanged < 0) {
        FreeDeviceInfo();
        return 1;
    }
    // The expensive map build (child processes per name) only on a change.
    if ((fsidChanged != 0 || devChanged != 0) && BuildDevMap() != 0) {
        FreeDeviceInfo();
        return 1;
    }
    return 0;
}
