// The first bytes of a block device without ever waiting on the device.
// The read is started as page-cache readahead and then only polled with
// RWF_NOWAIT, which fails with EAGAIN while the bytes are not cached: the
// process never sleeps on the device's I/O, so a read that never finishes
// is abandoned at the deadline and leaves nothing that could hold up a later
// read, a signal or the process's exit. (A direct read, through AIO or not,
// would leave a request that exit has to wait for.)
#include "sysaccess/devhead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "bounded/bounded.h"
#include "sysaccess/sysfs.h"

constexpr uint32_t HEAD_MAX = 4096;
constexpr long POLL_NS = 2000000;  // 2 ms between two looks into the cache
constexpr int64_t SECTOR = 512;    // the unit of a block device's size attribute

static int64_t NowMs(void)
{
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The kernel's node of the device open in sd, opened without following a
// link and checked to be that very device. -1 with *error set otherwise.
static int OpenKernelNode(const SysfsDev *sd, int32_t *error)
{
    char name[SYSFS_NAME_SIZE];
    char path[SYSFS_NAME_SIZE + 8];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (!SysfsKernelName(sd, name, sizeof(name)) || sprintf_s(path, sizeof(path), "/dev/%s", name) < 0) {
        *error = ENODEV;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != sd->dev) {
        (void)close(fd);
        *error = ENODEV;
        return -1;
    }
    return fd;
}

// Polls the page cache for the first len bytes until they are there, the
// device reports an error, or deadlineMs pass.
static int32_t PollHead(int fd, uint8_t *buf, uint32_t len, int32_t deadlineMs, int32_t *error)
{
    int64_t end = NowMs() + deadlineMs;
    struct iovec iov = {buf, len};
    for (;;) {
        ssize_t got = preadv2(fd, &iov, 1, 0, RWF_NOWAIT);
        if (got == static_cast<ssize_t>(len)) {
            return HEAD_OK;
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            *error = errno;
            return HEAD_FAILED;
        }
        // A short count is a part of the bytes already cached; the size
        // check has ruled out a device that is shorter than len.
        if (NowMs() >= end) {
            return HEAD_NO_ANSWER;
        }
        struct timespec pause = {0, POLL_NS};
        (void)nanosleep(&pause, nullptr);
    }
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
    // Readahead only queues the read; whether it ever ends, nothing here
    // waits for it.
    (void)posix_fadvise(fd, 0, len, POSIX_FADV_WILLNEED);
    int32_t rc = PollHead(fd, buf, len, deadlineMs, error);
    // The cached bytes are dropped, so the next cycle reads the device again
    // and never a label that has since been rewritten past the cache.
    (void)posix_fadvise(fd, 0, len, POSIX_FADV_DONTNEED);
    (void)close(fd);
    return rc;
}

int32_t ReadDeviceHead(dev_t dev, uint8_t *buf, uint32_t len, int32_t deadlineMs, int32_t *error)
{
    *error = 0;
    if (buf == nullptr || len == 0 || len > HEAD_MAX) {
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
