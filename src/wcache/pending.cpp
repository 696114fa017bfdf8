// PROVISIONAL stand-ins until the inventory and kernel-view code lands.
#include "inventory/inventory.h"
#include "wcache/wcache.h"

int32_t CheckDevName(const char *, char *, uint32_t) { return 0; }
int32_t StripPartition(char *, uint32_t) { return 0; }
int32_t IsTargetDevice(const char *) { return 0; }
int GetKernelWriteCache(const char *) { return KERNEL_WC_UNKNOWN; }
void RescanDevice(const char *) {}
