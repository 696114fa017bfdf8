// The one reader for small files that live where others can write: an OSD's
// fsid and type, sysfs attributes. It never follows a link in the last
// component, never waits on a FIFO or a device, and reads once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sysaccess/sysaccess.h"

int ReadSmallFile(int dirFd, const char *path, char *buffer, int size, int *length)
{
    if (path == nullptr || buffer == nullptr || length == nullptr || size < 0) {
        return SMALL_FAILED;
    }
    *length = 0;
    int fd = openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR ? SMALL_MISSING : (errno == ELOOP ? SMALL_NOT_REGULAR : SMALL_FAILED);
    }
    // O_NONBLOCK already kept a FIFO's open from waiting; a FIFO, a socket
    // or a device node is refused before anything is read from it.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
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
