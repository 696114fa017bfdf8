// systemd's notify protocol: one datagram to the socket NOTIFY_SOCKET names
// (a path, or "@" and an abstract name). Without it, nothing is sent.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "service/service.h"
#include "wcache/wcache.h"

constexpr size_t NOTIFY_TEXT_SIZE = 256;

bool FormatStatus(const ApplyTally *tally, int32_t failed, char *text, size_t size)
{
    (void)memset_s(text, size, 0, size);
    if (failed != 0) {
        return sprintf_s(text, size, "inventory refresh failed; next full check in %u s", SERVICE_INTERVAL_S) >= 0;
    }
    return sprintf_s(text, size, "%d disks guarded, %d off; next full check in %u s", tally->targets, tally->off,
                     SERVICE_INTERVAL_S) >= 0;
}

// The socket address of name; false when it is no path or abstract name
// that fits.
static bool NotifyAddress(const char *name, struct sockaddr_un *addr, socklen_t *len)
{
    size_t nameLen = strlen(name);
    (void)memset_s(addr, sizeof(*addr), 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if ((name[0] != '/' && name[0] != '@') || nameLen < 2 || nameLen >= sizeof(addr->sun_path)) {
        return false;
    }
    (void)memcpy_s(addr->sun_path, sizeof(addr->sun_path), name, nameLen);
    if (name[0] == '@') {
        addr->sun_path[0] = '\0';  // abstract: the length, not a NUL, ends it
        *len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + nameLen);
    } else {
        *len = static_cast<socklen_t>(sizeof(*addr));
    }
    return true;
}

void NotifyCycle(const ApplyTally *tally, int32_t failed, bool first)
{
    const char *name = getenv("NOTIFY_SOCKET");
    struct sockaddr_un addr;
    socklen_t addrLen = 0;
    char status[NOTIFY_TEXT_SIZE];
    char text[NOTIFY_TEXT_SIZE];
    (void)memset_s(text, sizeof(text), 0, sizeof(text));
    if (name == nullptr || !NotifyAddress(name, &addr, &addrLen) || !FormatStatus(tally, failed, status, sizeof(status)) ||
        sprintf_s(text, sizeof(text), "%sSTATUS=%s\n", first ? "READY=1\n" : "", status) < 0) {
        return;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    (void)sendto(fd, text, strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&addr),
                 addrLen);
    (void)close(fd);
}
