// A whole disk's node, opened the one way the apply pass and the report both
// use, so the report sees what the pass will see.
#include <fcntl.h>

#include <cstdlib>

#include "bounded/bounded.h"
#include "sysaccess/sysaccess.h"
#include "wcache/wcache.h"

// "/dev/" and a kernel name that CheckDevName let through.
constexpr size_t NODE_PATH_SIZE = 256;

int OpenDiskNode(const char *name, char *resolved, uint32_t resolvedLen)
{
    char path[NODE_PATH_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (resolvedLen < PATH_BUFFER_SIZE || snprintf_s(path, sizeof(path), sizeof(path) - 1, "/dev/%s", name) < 0 ||
        realpath(path, resolved) == nullptr) {
        return DISK_NODE_MISSING;
    }
    int fd = open(resolved, O_RDONLY | O_NONBLOCK);
    return fd < 0 ? DISK_NODE_OPEN_FAILED : fd;
}
