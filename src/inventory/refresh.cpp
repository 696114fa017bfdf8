// The per-cycle refresh: the whole inventory built anew from the OSDs down,
// installed only once complete.
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"

int32_t UpdateDeviceInfo(void)
{
    InventoryBuild build;
    (void)memset_s(&build, sizeof(build), 0, sizeof(build));
    ForgetLabels();
    if (!ReadDiskRows(&build)) {
        DiscardInventory(&build);
        FreeDeviceInfo();
        return 1;
    }
    ReadOsdRoots(&build);
    ForgetLabels();
    if (build.failed) {
        DiscardInventory(&build);
        FreeDeviceInfo();
        return 1;
    }
    InstallInventory(&build);
    return 0;
}
