// The rescan that makes the kernel's view follow the drive: a write to
// sysfs, so it lives with the commands that change a disk.
#include "log/log.h"
#include "sysaccess/sysfs.h"
#include "wcache/wcache.h"

void RescanDevice(const char *devName)
{
    SysfsDev sd;
    int rc = SysfsOpenName(devName, &sd) && SysfsWrite(&sd, "device/rescan", "1") ? 0 : 1;
    SysfsClose(&sd);
    WriteLog(LOG_INFO, "rescan dev %s return %d\n", devName, rc);
}
