// The inventory of the last refresh and its lifecycle.
#include <cstdlib>

#include "inventory/inventory.h"

OsdRecord *g_osdList = nullptr;
int32_t g_osdNum = 0;
InventoryRow *g_rows = nullptr;
int32_t g_rowNum = 0;
char *g_devList = nullptr;
int32_t g_devNum = 0;

void InitDeviceInfo(void)
{
    g_osdList = nullptr;
    g_osdNum = 0;
    g_rows = nullptr;
    g_rowNum = 0;
    g_devList = nullptr;
    g_devNum = 0;
}

void FreeDeviceInfo(void)
{
    free(g_osdList);
    free(g_rows);
    free(g_devList);
    InitDeviceInfo();
    ForgetLabels();
}

void DiscardInventory(InventoryBuild *build)
{
    free(build->osds);
    free(build->rows);
    free(build->names);
}

void InstallInventory(InventoryBuild *build)
{
    FreeDeviceInfo();
    g_osdList = build->osdNum > 0 ? build->osds : nullptr;
    g_osdNum = build->osdNum;
    g_rows = build->rowNum > 0 ? build->rows : nullptr;
    g_rowNum = build->rowNum;
    g_devList = build->nameNum > 0 ? build->names : nullptr;
    g_devNum = build->nameNum;
    if (build->osdNum == 0) {
        free(build->osds);
    }
    if (build->rowNum == 0) {
        free(build->rows);
    }
    if (build->nameNum == 0) {
        free(build->names);
    }
}
