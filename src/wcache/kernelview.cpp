// The kernel's own view of a disk's write cache, and the rescan that makes
// it follow the drive.
#include <cstring>

#include "bounded/bounded.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"
#include "wcache/wcache.h"

constexpr int SYSFS_PATH_SIZE = 4096;
constexpr int WRITE_CACHE_TEXT_SIZE = 256;

int GetKernelWriteCache(const char *devName)
{
    char path[SYSFS_PATH_SIZE];
    char value[WRITE_CACHE_TEXT_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    (void)memset_s(value, sizeof(value), 0, sizeof(value));
    if (snprintf_s(path, sizeof(path), sizeof(path) - 1, "/sys/block/%s/queue/write_cache", devName) < 0) {
        return KERNEL_WC_UNKNOWN;
    }
    if (SafeFileOperation(path, value, sizeof(value), 0) != 0) {
        return KERNEL_WC_UNKNOWN;
    }
    value[sizeof(value) - 1] = '\0';
    // Prefixes only: the kernel puts a line feed behind the words.
    if (strncmp(value, "write back", 10) == 0) {
        return KERNEL_WC_BACK;
    }
    if (strncmp(value, "write through", 13) == 0) {
        return KERNEL_WC_THROUGH;
    }
    return KERNEL_WC_UNKNOWN;
}

void RescanDevice(const char *devName)
{
    char path[SYSFS_PATH_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (snprintf_s(path, sizeof(path), sizeof(path) - 1, "/sys/block/%s/device/rescan", devName) < 0) {
        WriteLog(LOG_ERROR, "snprintf_s failed\n");
        return;
    }
    char one[] = "1";
    int rc = SafeFileOperation(path, one, 1, 1);
    WriteLog(LOG_INFO, "rescan dev %s return %d\n", devName, rc);
}
