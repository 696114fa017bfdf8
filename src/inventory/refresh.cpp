// The per-cycle refresh: the whole inventory built anew from the OSDs down,
// installed only once complete.
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"

bool AddInventoryDir(InventoryBuild *build, const char *path)
{
    size_t len = strlen(path) + 1;
    void *offsets = build->dirAt;
    if (!GrowSlots(&offsets, &build->dirCap, build->dirNum, sizeof(int32_t))) {
        return false;
    }
    build->dirAt = static_cast<int32_t *>(offsets);
    if (build->dirUsed + len > build->dirTextCap) {
        size_t grown = build->dirTextCap == 0 ? 4096 : build->dirTextCap * 2;
        grown = grown < build->dirUsed + len ? build->dirUsed + len : grown;
        char *bigger = static_cast<char *>(realloc(build->dirText, grown));
        if (bigger == nullptr) {
            WriteLog(LOG_ERROR, "malloc size:%d\n", static_cast<int>(grown));
            return false;
        }
        build->dirText = bigger;
        build->dirTextCap = grown;
    }
    (void)memcpy_s(build->dirText + build->dirUsed, build->dirTextCap - build->dirUsed, path, len);
    build->dirAt[build->dirNum++] = static_cast<int32_t>(build->dirUsed);
    build->dirUsed += len;
    return true;
}

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
