// The first bytes of a block device, through its kernel node only.
#include "sysaccess/devhead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "bounded/bounded.h"
#include "sysaccess/sysfs.h"

// A suspended device-mapper device queues every read until it is resumed.
static bool CannotAnswer(const SysfsDev *sd)
{
    int64_t suspended = 0;
    return SysfsReadInt(sd, "dm/suspended", &suspended) && suspended == 1;
}

int32_t ReadDeviceHead(dev_t dev, uint8_t *buf, uint32_t len, int32_t, int32_t *error)
{
    *error = 0;
    SysfsDev sd;
    char name[SYSFS_NAME_SIZE];
    char path[SYSFS_NAME_SIZE + 8];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (!SysfsOpen(dev, &sd)) {
        *error = ENODEV;
        return HEAD_FAILED;
    }
    bool named = SysfsKernelName(&sd, name, sizeof(name));
    bool stuck = CannotAnswer(&sd);
    SysfsClose(&sd);
    if (stuck) {
        return HEAD_CANNOT_ANSWER;
    }
    if (!named || sprintf_s(path, sizeof(path), "/dev/%s", name) < 0) {
        *error = ENODEV;
        return HEAD_FAILED;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != dev) {
        *error = fd < 0 ? errno : ENODEV;
        if (fd >= 0) {
            (void)close(fd);
        }
        return HEAD_FAILED;
    }
    ssize_t got = pread(fd, buf, len, 0);
    *error = got < 0 ? errno : 0;
    (void)close(fd);
    return got == static_cast<ssize_t>(len) ? HEAD_OK : HEAD_FAILED;
}
