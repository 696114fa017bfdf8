// The first bytes of a block device without ever waiting on the device:
// one O_DIRECT read through the head ring (headring.h), waited for on the
// ring until it ends or the deadline passes. A buffered read would
// leave a locked page-cache page behind, and the close of the device's last
// opener waits for such a page without end (it truncates the cache); an
// O_DIRECT read touches no cache, and its request keeps its own reference
// to the file, so no close and no exit of this process waits for it.
#include "sysaccess/devhead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "bounded/bounded.h"
#include "sysaccess/headring.h"
#include "sysaccess/sysfs.h"

constexpr int64_t SECTOR = 512;    // the unit of a block device's size attribute

static int64_t NowMs(void)
{
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The kernel's node of the device open in sd, opened for O_DIRECT without
// following a link and checked to be that very device. -1 with *error set
// otherwise.
static int OpenKernelNode(const SysfsDev *sd, int32_t *error)
{
    char name[SYSFS_NAME_SIZE];
    char path[SYSFS_NAME_SIZE + 8];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (!SysfsKernelName(sd, name, sizeof(name)) || sprintf_s(path, sizeof(path), "/dev/%s", name) < 0) {
        *error = ENODEV;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_DIRECT | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat st;
    // O_NONBLOCK only for the open: a read on a device that cannot take it
    // without waiting would end in EAGAIN instead of being queued.
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != sd->dev || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        (void)close(fd);
        *error = ENODEV;
        return -1;
    }
    return fd;
}

// Waits for the slot's read until deadlineMs pass, on the ring, never on
// the device.
static int32_t AwaitHead(int32_t slot, uint8_t *buf, uint32_t len, int32_t deadlineMs, int32_t *error)
{
    int64_t end = NowMs() + deadlineMs;
    int32_t result = 0;
    while (!HeadReadEnded(slot, &result)) {
        int64_t left = end - NowMs();
        if (left <= 0) {
            return HEAD_NO_ANSWER;
        }
        AwaitHeadRing(left);
    }
    if (result < 0) {
        *error = -result;
        return HEAD_FAILED;
    }
    if (static_cast<uint32_t>(result) < len) {
        return HEAD_FAILED;
    }
    (void)memcpy_s(buf, len, HeadSlotData(slot), len);
    return HEAD_OK;
}

static int32_t ReadOpenDevice(const SysfsDev *sd, uint8_t *buf, uint32_t len, int32_t deadlineMs, int32_t *error)
{
    int64_t sectors = 0;
    if (SysfsReadInt(sd, "size", &sectors) && sectors * SECTOR < static_cast<int64_t>(len)) {
        return HEAD_FAILED;
    }
    int fd = OpenKernelNode(sd, error);
    if (fd < 0) {
        return HEAD_FAILED;
    }
    int32_t slot = TakeHeadSlot(sd->dev);
    int32_t started = slot < 0 ? 0 : StartHeadRead(slot, fd);
    (void)close(fd);
    if (slot < 0) {
        return HEAD_NO_ANSWER;  // its last read has not ended, or too many have not
    }
    if (started != 0) {
        *error = -started;
        return HEAD_FAILED;
    }
    int32_t rc = AwaitHead(slot, buf, len, deadlineMs, error);
    DropHeadSlot(slot);
    return rc;
}

int32_t ReadDeviceHead(dev_t dev, uint8_t *buf, uint32_t len, int32_t deadlineMs, int32_t *error)
{
    *error = 0;
    if (buf == nullptr || len == 0 || len > HEAD_BLOCK) {
        *error = EINVAL;
        return HEAD_FAILED;
    }
    SysfsDev sd;
    if (!SysfsOpen(dev, &sd)) {
        *error = ENODEV;
        return HEAD_FAILED;
    }
    int32_t rc = DeviceCannotAnswer(&sd) ? HEAD_CANNOT_ANSWER
                                         : ReadOpenDevice(&sd, buf, len, deadlineMs < 0 ? 0 : deadlineMs, error);
    SysfsClose(&sd);
    return rc;
}
