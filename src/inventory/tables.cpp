// The inventory of the last refresh and its lifecycle.
#include <cstdlib>

#include "inventory/inventory.h"
#include "sysaccess/devhead.h"

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

static void ReleaseTables(void)
{
    free(g_osdList);
    free(g_rows);
    free(g_devList);
    InitDeviceInfo();
    ForgetLabels();
}

// The label reads' ring too, but only here, at the end: closing it makes
// the kernel cut short whatever sleep the process is in.
void FreeDeviceInfo(void)
{
    ReleaseTables();
    CloseHeadRing();
}

void DiscardInventory(InventoryBuild *build)
{
    free(build->osds);
    free(build->rows);
    free(build->names);
}

void InstallInventory(InventoryBuild *build)
{
    ReleaseTables();
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
