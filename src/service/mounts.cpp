// The mount table: an OSD activation mounts its tmpfs before it writes the
// directory, and a watch on the directory below the mount sees none of it.
#include <fcntl.h>

#include "service/service.h"

int OpenMountTable(void)
{
    // poll() on it reports POLLPRI once per change of this namespace's
    // mounts, which under systemd's PrivateMounts follow the host's.
    return open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}
