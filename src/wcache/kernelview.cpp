// The kernel's own view of a disk's write cache, read through the sysfs
// reader.
#include <cstring>

#include "sysaccess/sysfs.h"
#include "wcache/wcache.h"

// Indexed by KERNEL_WC_BACK and KERNEL_WC_THROUGH; the kernel writes these
// words, followed by a line feed, into queue/write_cache.
static const char *const KERNEL_VIEW_WORDS[] = {"write back", "write through"};
static_assert(KERNEL_WC_BACK == 0 && KERNEL_WC_THROUGH == 1, "KERNEL_VIEW_WORDS is indexed by the view");

const char *KernelViewText(int view)
{
    return view == KERNEL_WC_BACK || view == KERNEL_WC_THROUGH ? KERNEL_VIEW_WORDS[view] : "unknown";
}

int GetKernelWriteCache(const char *devName)
{
    SysfsDev sd;
    char value[SYSFS_TEXT_SIZE];
    bool read = SysfsOpenName(devName, &sd) && SysfsReadText(&sd, "queue/write_cache", value, sizeof(value));
    SysfsClose(&sd);
    if (!read) {
        return KERNEL_WC_UNKNOWN;
    }
    // Prefixes only, as the kernel's own parser of this attribute reads them.
    for (int view = KERNEL_WC_BACK; view <= KERNEL_WC_THROUGH; ++view) {
        if (strncmp(value, KERNEL_VIEW_WORDS[view], strlen(KERNEL_VIEW_WORDS[view])) == 0) {
            return view;
        }
    }
    return KERNEL_WC_UNKNOWN;
}
