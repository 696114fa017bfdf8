// The kernel's own view of a disk's write cache, and the rescan that makes
// it follow the drive.
#include <cstring>

#include "bounded/bounded.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"
#include "wcache/wcache.h"

constexpr int WRITE_CACHE_TEXT_SIZE = 256;

// Indexed by KERNEL_WC_BACK and KERNEL_WC_THROUGH; the kernel writes these
// words, followed by a line feed, into queue/write_cache.
static const char *const KERNEL_VIEW_WORDS[] = {"write back", "write through"};
static_assert(KERNEL_WC_BACK == 0 && KERNEL_WC_THROUGH == 1, "KERNEL_VIEW_WORDS is indexed by the view");

const char *KernelViewText(int view)
{
    return view == KERNEL_WC_BACK || view == KERNEL_WC_THROUGH ? KERNEL_VIEW_WORDS[view] : "unknown";
}

int NextWriteCacheMove(int view, int32_t driveWce)
{
    if (driveWce != 0) {
        return WC_MOVE_SWITCH;
    }
    return view == KERNEL_WC_BACK ? WC_MOVE_RESCAN : WC_MOVE_NONE;
}

int GetKernelWriteCache(const char *devName)
{
    char path[PATH_BUFFER_SIZE];
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
    for (int view = KERNEL_WC_BACK; view <= KERNEL_WC_THROUGH; ++view) {
        if (strncmp(value, KERNEL_VIEW_WORDS[view], strlen(KERNEL_VIEW_WORDS[view])) == 0) {
            return view;
        }
    }
    return KERNEL_WC_UNKNOWN;
}

void RescanDevice(const char *devName)
{
    char path[PATH_BUFFER_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (snprintf_s(path, sizeof(path), sizeof(path) - 1, "/sys/block/%s/device/rescan", devName) < 0) {
        WriteLog(LOG_ERROR, "snprintf_s failed\n");
        return;
    }
    char one[] = "1";
    int rc = SafeFileOperation(path, one, 1, 1);
    WriteLog(LOG_INFO, "rescan dev %s return %d\n", devName, rc);
}
