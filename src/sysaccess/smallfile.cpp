// The one reader for small files that live where others can write: an OSD's
// fsid and type, sysfs attributes. It never follows a link in the last
// component, never waits on a FIFO or a device, and reads once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sysaccess/sysaccess.h"

// Opens path without following a link or waiting, and reads it when it is
// a regular file (the one seen before, when seen is given).
static int OpenAndRead(int dirFd, const char *path, const struct stat *seen, char *buffer, int size, int *length)
{
    *length = 0;
    int fd = openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? SMALL_MISSING : (errno == ELOOP ? SMALL_NOT_REGULAR : SMALL_FAILED);
    }
    // Checked once open, in case it was swapped in between: O_NONBLOCK kept
    // a FIFO's open from waiting, and nothing is read from it.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (seen != nullptr && (st.st_ino != seen->st_ino || st.st_dev != seen->st_dev))) {
        (void)close(fd);
        return SMALL_NOT_REGULAR;
    }
    ssize_t got = read(fd, buffer, static_cast<size_t>(size));
    (void)close(fd);
    if (got < 0) {
        return SMALL_FAILED;
    }
    *length = static_cast<int>(got);
    return SMALL_OK;
}

int ReadSmallFile(int dirFd, const char *path, char *buffer, int size, int *length)
{
    if (path == nullptr || buffer == nullptr || length == nullptr || size < 0) {
        return SMALL_FAILED;
    }
    *length = 0;
    // Looked at before it is opened: opening a device node can have effects
    // of its own (a watchdog starts, a tape rewinds on close).
    struct stat seen;
    if (fstatat(dirFd, path, &seen, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? SMALL_MISSING : SMALL_FAILED;
    }
    if (!S_ISREG(seen.st_mode)) {
        return SMALL_NOT_REGULAR;
    }
    return OpenAndRead(dirFd, path, &seen, buffer, size, length);
}

int ReadKernelFile(int dirFd, const char *path, char *buffer, int size, int *length)
{
    if (path == nullptr || buffer == nullptr || length == nullptr || size < 0) {
        return SMALL_FAILED;
    }
    return OpenAndRead(dirFd, path, nullptr, buffer, size, length);
}
