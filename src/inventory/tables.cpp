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
static char *g_dirText = nullptr;
static int32_t *g_dirAt = nullptr;
static int32_t g_dirNum = 0;

void InitDeviceInfo(void)
{
    g_osdList = nullptr;
    g_osdNum = 0;
    g_rows = nullptr;
    g_rowNum = 0;
    g_devList = nullptr;
    g_devNum = 0;
    g_dirText = nullptr;
    g_dirAt = nullptr;
    g_dirNum = 0;
}

static void ReleaseTables(void)
{
    free(g_osdList);
    free(g_rows);
    free(g_devList);
    free(g_dirText);
    free(g_dirAt);
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
    free(build->dirText);
    free(build->dirAt);
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
    g_dirText = build->dirNum > 0 ? build->dirText : nullptr;
    g_dirAt = build->dirNum > 0 ? build->dirAt : nullptr;
    g_dirNum = build->dirNum;
    if (build->osdNum == 0) {
        free(build->osds);
    }
    if (build->rowNum == 0) {
        free(build->rows);
    }
    if (build->nameNum == 0) {
        free(build->names);
    }
    if (build->dirNum == 0) {
        free(build->dirText);
        free(build->dirAt);
    }
}

int32_t InventoryDirCount(void)
{
    return g_dirNum;
}

const char *InventoryDir(int32_t index)
{
    return index >= 0 && index < g_dirNum ? g_dirText + g_dirAt[index] : nullptr;
}
