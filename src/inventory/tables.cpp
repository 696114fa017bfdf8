// The three inventory tables and their lifecycle.
#include <cstdlib>

#include "inventory/inventory.h"
#include "sysaccess/devhead.h"

char *g_fsidList = nullptr;
int32_t g_fsidNum = 0;
char *g_devList = nullptr;
int32_t g_devNum = 0;
DevMapEntry *devMap = nullptr;
int32_t g_devMapNum = 0;
OsdRecord *g_osdList = nullptr;
int32_t g_osdNum = 0;

void InitDeviceInfo(void)
{
    devMap = nullptr;
    g_devMapNum = 0;
    g_devList = nullptr;
    g_devNum = 0;
    g_fsidList = nullptr;
    g_fsidNum = 0;
    g_osdList = nullptr;
    g_osdNum = 0;
}

void FreeDeviceInfo(void)
{
    CloseHeadRing();
    if (g_fsidList != nullptr) {
        free(g_fsidList);
        g_fsidList = nullptr;
        g_fsidNum = 0;
    }
    if (g_devList != nullptr) {
        free(g_devList);
        g_devList = nullptr;
        g_devNum = 0;
    }
    if (devMap != nullptr) {
        free(devMap);
        devMap = nullptr;
        g_devMapNum = 0;
    }
    if (g_osdList != nullptr) {
        free(g_osdList);
        g_osdList = nullptr;
        g_osdNum = 0;
    }
    ReleaseOsdIdentities();
}
