// The one decision of what to do with a target disk's write cache, shared by
// the apply pass and the report; it depends on nothing that changes a drive.
#include "wcache/wcache.h"

int NextWriteCacheMove(int view, int32_t driveWce)
{
    if (driveWce != 0) {
        return WC_MOVE_SWITCH;
    }
    return view == KERNEL_WC_BACK ? WC_MOVE_RESCAN : WC_MOVE_NONE;
}
