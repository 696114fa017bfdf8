// One read or one write of a small system file, after the filter.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "bounded/bounded.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"


int SafeFileOperation(const char *filePath, char *buffer, int size, int isWrite)
{
    // A negative size would turn into a huge byte count for read(): it is
    // refused with the argument check, as the caller's mistake it is.
    if (filePath == nullptr || buffer == nullptr || size < 0) {
        WriteLog(LOG_ERROR, "point error, filePath:%p, buffer:%p\n", static_cast<const void *>(filePath),
                 static_cast<void *>(buffer));
        return 1;
    }
    if (IsSafeString(filePath) == 0) {
        WriteLog(LOG_WARNING, "reject dangerous file path:\"%s\" \n", filePath);
        return 1;
    }
    char resolved[PATH_BUFFER_SIZE];
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    WriteLog(LOG_DEBUG, "file path:\"%s\", fd = %d\n", filePath, 0);
    // The resolved path is deliberately not filtered again: sysfs paths lead
    // through links into /sys/devices.
    if (realpath(filePath, resolved) == nullptr) {
        WriteLog(LOG_ERROR, "realpath failed\n");
        return 1;
    }
    // The resolved path holds no link any more: one swapped in meanwhile is
    // refused, not followed.
    int fd = open(resolved, (isWrite != 0 ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        WriteLog(LOG_ERROR, "open %s failed\n", resolved);
        return 1;
    }
    // A sysfs attribute is a regular file; a FIFO or a device node is not
    // one to read or write here.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        (void)close(fd);
        WriteLog(LOG_WARNING, "not a regular file:%s\n", resolved);
        return 1;
    }
    // Exactly one call: a sysfs attribute takes its value in one write.
    ssize_t moved = isWrite != 0 ? write(fd, buffer, static_cast<size_t>(size))
                                 : read(fd, buffer, static_cast<size_t>(size));
    (void)close(fd);
    if (moved < 0) {
        WriteLog(LOG_ERROR, "file operation failed %d\n", static_cast<int>(moved));
        return 1;
    }
    return 0;
}
