// Target disk selection: rotational, and proven to hold the data of a
// BlueStore OSD whose block.db lives on another device.
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysfs.h"

int32_t SysfsIsRotational(const SysfsDev *sd)
{
    char content[SYSFS_TEXT_SIZE];
    char name[SYSFS_NAME_SIZE];
    if (SysfsReadText(sd, "queue/rotational", content, sizeof(content)) && content[0] == '1') {
        return 1;
    }
    if (SysfsKernelName(sd, name, sizeof(name))) {
        WriteLog(LOG_DEBUG, "%s not HDD\n", name);
    }
    return 0;
}

int32_t IsHdd(const char *deviceName)
{
    SysfsDev sd;
    int32_t rotational = SysfsOpenName(deviceName, &sd) ? SysfsIsRotational(&sd) : 0;
    SysfsClose(&sd);
    return rotational;
}

int32_t OsdRule(int32_t proof, int32_t db, int32_t osdType)
{
    if (proof != PROOF_LABEL) {
        return TARGET_NO_OSD;
    }
    if (osdType != OSD_TYPE_BLUESTORE) {
        return TARGET_NOT_BLUESTORE;
    }
    // A database that could not be proven either way counts as separate:
    // the unsafe direction is a data disk left caching.
    return db == DB_SEPARATE || db == DB_DOUBT ? TARGET_SELECTED : TARGET_DB_NOT_SEPARATE;
}

int32_t TargetRule(const InventoryRow *row)
{
    if (row == nullptr) {
        return TARGET_NO_NAME;
    }
    if (row->rotational != 1) {
        return TARGET_NOT_ROTATIONAL;
    }
    return row->osd < 0 ? TARGET_NO_OSD : OsdRule(row->proof, row->db, row->osdType);
}

const InventoryRow *FindRow(const char *name)
{
    for (int32_t i = 0; name != nullptr && i < g_rowNum; ++i) {
        if (strcmp(g_rows[i].name, name) == 0) {
            return &g_rows[i];
        }
    }
    return nullptr;
}
