// Target disk selection: rotational, and tied to a BlueStore OSD whose
// block.db lives on another device.
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"

constexpr int ATTR_BUFFER_SIZE = 256;

int32_t IsHdd(const char *deviceName)
{
    char path[ATTR_BUFFER_SIZE];
    char content[ATTR_BUFFER_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    (void)memset_s(content, sizeof(content), 0, sizeof(content));
    if (sprintf_s(path, sizeof(path), "/sys/block/%s/queue/rotational", deviceName) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:/sys/block/%s/queue/rotational\n", deviceName);
        return 0;
    }
    if (SafeFileOperation(path, content, sizeof(content), 0) != 0) {
        return 0;
    }
    content[sizeof(content) - 1] = '\0';
    if (content[0] == '1') {
        return 1;
    }
    WriteLog(LOG_DEBUG, "%s not HDD\n", deviceName);
    return 0;
}

// The entry names the disk itself or one of its partitions: sdb covers sdb,
// sdb1 and sdb12, never sdba.
static bool EntryBelongsTo(const DevMapEntry *entry, const char *deviceName, size_t nameLen)
{
    if (strncmp(entry->name, deviceName, nameLen) != 0) {
        return false;
    }
    char next = entry->name[nameLen];
    return next < 'a' || next > 'z';
}

// How far one matching entry gets towards qualifying.
static int32_t EntryRule(const DevMapEntry *entry)
{
    if (entry->osdType == OSD_TYPE_NONE && entry->separateDb == 0) {
        return TARGET_NO_OSD;
    }
    if (entry->osdType != OSD_TYPE_BLUESTORE) {
        return TARGET_NOT_BLUESTORE;
    }
    return entry->separateDb == 1 ? TARGET_SELECTED : TARGET_DB_NOT_SEPARATE;
}

int32_t TargetRule(const char *deviceName)
{
    if (deviceName == nullptr) {
        WriteLog(LOG_ERROR, "point error, deviceName:%p", static_cast<const void *>(deviceName));
        return TARGET_NO_NAME;
    }
    // Rotation first: the attribute is read for every disk asked about.
    if (IsHdd(deviceName) == 0) {
        return TARGET_NOT_ROTATIONAL;
    }
    int32_t rule = TARGET_NO_OSD;
    size_t nameLen = strlen(deviceName);
    for (int32_t i = 0; i < g_devMapNum; ++i) {
        const DevMapEntry *entry = &devMap[i];
        WriteLog(LOG_DEBUG, "devMap[%d]:%s|%d|%d\n", i, entry->name, entry->separateDb, entry->osdType);
        if (!EntryBelongsTo(entry, deviceName, nameLen)) {
            continue;
        }
        int32_t entryRule = EntryRule(entry);
        if (entryRule == TARGET_SELECTED) {
            return TARGET_SELECTED;
        }
        // Keep the reason of the entry that came closest to qualifying.
        rule = entryRule > rule ? entryRule : rule;
    }
    return rule;
}

int32_t IsTargetDevice(const char *deviceName)
{
    return TargetRule(deviceName) == TARGET_SELECTED ? 1 : 0;
}
