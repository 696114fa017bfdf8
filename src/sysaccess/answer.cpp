// Whether sysfs shows that a block device cannot answer a read now. A read
// sent to such a device waits until an operator acts (a suspended mapping,
// a multipath map queueing without paths, a blocked or offline LUN), so it
// is never sent.
#include <cstring>

#include "sysaccess/devhead.h"
#include "sysaccess/sysfs.h"

// More paths than any multipath map has; the rest are not looked at.
constexpr int32_t MPATH_PATHS_MAX = 64;

// A SCSI device (it has a scsi_level) whose state is anything but running:
// blocked and quiesced devices hold reads, offline ones fail or hold them.
static bool ScsiNotRunning(const SysfsDev *disk)
{
    int64_t level = 0;
    char state[SYSFS_TEXT_SIZE];
    return SysfsReadInt(disk, "device/scsi_level", &level) &&
           SysfsReadText(disk, "device/state", state, sizeof(state)) && strcmp(state, "running") != 0;
}

// The whole disk of sd (itself, or a partition's parent) is a stopped SCSI
// device.
static bool DiskNotRunning(const SysfsDev *sd)
{
    dev_t disk = 0;
    SysfsDev whole;
    if (!SysfsWholeDisk(sd, &disk) || !SysfsOpen(disk, &whole)) {
        return false;
    }
    bool stopped = ScsiNotRunning(&whole);
    SysfsClose(&whole);
    return stopped;
}

// A multipath map none of whose paths runs: it has none, or every one is a
// stopped SCSI device. A list that cannot be read proves nothing.
static bool NoRunningPath(const SysfsDev *sd)
{
    dev_t paths[MPATH_PATHS_MAX];
    int32_t count = SysfsListDevs(sd, "slaves", paths, MPATH_PATHS_MAX);
    if (count < 0) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        SysfsDev path;
        if (!SysfsOpen(paths[i], &path)) {
            continue;
        }
        bool stopped = DiskNotRunning(&path);
        SysfsClose(&path);
        if (!stopped) {
            return false;
        }
    }
    return true;
}

bool DeviceCannotAnswer(const SysfsDev *sd)
{
    int64_t suspended = 0;
    if (SysfsReadInt(sd, "dm/suspended", &suspended) && suspended == 1) {
        return true;
    }
    char uuid[SYSFS_TEXT_SIZE];
    if (SysfsReadText(sd, "dm/uuid", uuid, sizeof(uuid))) {
        return strncmp(uuid, "mpath-", strlen("mpath-")) == 0 && NoRunningPath(sd);
    }
    return DiskNotRunning(sd);
}
