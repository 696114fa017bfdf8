// The kernel's uevents: a netlink socket bound to the kernel's group. A
// uevent is read into a bounded buffer and only looked at, never logged.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bounded/bounded.h"
#include "service/service.h"

constexpr unsigned int UEVENT_KERNEL_GROUP = 1;
constexpr size_t UEVENT_BUF_SIZE = 8192;  // the kernel's are a few hundred bytes
// A boot sends thousands; a slow drain must not starve the rest of the wait.
constexpr int UEVENT_DRAIN_MAX = 4096;
constexpr int UEVENT_RCVBUF = 1 << 20;

int OpenUeventSocket(void)
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        return -1;
    }
    // Room for a burst while a cycle runs; an overflow is noticed anyway.
    int size = UEVENT_RCVBUF;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    struct sockaddr_nl addr;
    (void)memset_s(&addr, sizeof(addr), 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = UEVENT_KERNEL_GROUP;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

bool DrainUevents(int fd)
{
    char buf[UEVENT_BUF_SIZE];
    bool matters = false;
    for (int i = 0; i < UEVENT_DRAIN_MAX; ++i) {
        struct sockaddr_nl from;
        (void)memset_s(&from, sizeof(from), 0, sizeof(from));
        struct iovec iov = {buf, sizeof(buf)};
        struct msghdr msg;
        (void)memset_s(&msg, sizeof(msg), 0, sizeof(msg));
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t got = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (got < 0) {
            // ENOBUFS: the queue overflowed and uevents were lost.
            matters = matters || errno == ENOBUFS;
            if (errno == EINTR || errno == ENOBUFS) {
                continue;
            }
            break;
        }
        // Only the kernel (port 0) speaks for the devices.
        if (from.nl_pid != 0 || msg.msg_namelen != sizeof(from)) {
            continue;
        }
        size_t len = static_cast<size_t>(got) < sizeof(buf) ? static_cast<size_t>(got) : sizeof(buf);
        matters = matters || UeventMatters(buf, len);
    }
    return matters;
}
