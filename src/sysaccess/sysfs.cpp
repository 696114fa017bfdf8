// The sysfs reader: one directory descriptor per device, attributes read
// relative to it.
#include "sysaccess/sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "sysaccess/sysaccess.h"

static bool OpenDir(const char *path, dev_t dev, SysfsDev *sd)
{
    sd->dev = dev;
    sd->dirFd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return sd->dirFd >= 0;
}

bool SysfsOpen(dev_t dev, SysfsDev *sd)
{
    char path[64];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (sprintf_s(path, sizeof(path), "/sys/dev/block/%u:%u", major(dev), minor(dev)) < 0) {
        sd->dirFd = -1;
        return false;
    }
    return OpenDir(path, dev, sd);
}

bool SysfsOpenName(const char *name, SysfsDev *sd)
{
    char path[64];
    sd->dirFd = -1;
    sd->dev = 0;
    if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr || strspn(name, ".") == strlen(name) ||
        strlen(name) >= SYSFS_NAME_SIZE) {
        return false;
    }
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    if (sprintf_s(path, sizeof(path), "/sys/class/block/%s", name) < 0 || !OpenDir(path, 0, sd)) {
        return false;
    }
    if (!SysfsReadDevNo(sd, "dev", &sd->dev)) {
        SysfsClose(sd);
        return false;
    }
    return true;
}

void SysfsClose(SysfsDev *sd)
{
    if (sd->dirFd >= 0) {
        (void)close(sd->dirFd);
    }
    sd->dirFd = -1;
}

bool SysfsReadText(const SysfsDev *sd, const char *attr, char *text, size_t size)
{
    if (sd->dirFd < 0 || size < 2 || size > INT_MAX) {
        return false;
    }
    (void)memset_s(text, size, 0, size);
    // One byte more than fits tells a value that was cut from one that fits.
    char buffer[SYSFS_TEXT_SIZE + 1];
    int length = 0;
    int want = size < sizeof(buffer) ? static_cast<int>(size) : static_cast<int>(sizeof(buffer));
    if (ReadKernelFile(sd->dirFd, attr, buffer, want, &length) != SMALL_OK) {
        return false;
    }
    if (length > 0 && buffer[length - 1] == '\n') {
        --length;
    }
    if (static_cast<size_t>(length) >= size || memchr(buffer, '\0', static_cast<size_t>(length)) != nullptr) {
        return false;
    }
    (void)memcpy_s(text, size, buffer, static_cast<size_t>(length));
    return true;
}

bool SysfsReadInt(const SysfsDev *sd, const char *attr, int64_t *value)
{
    char text[32];
    if (!SysfsReadText(sd, attr, text, sizeof(text)) || text[0] == '\0') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long long parsed = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    *value = parsed;
    return true;
}

bool ParseDevNo(const char *text, dev_t *dev)
{
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long majorNo = strtoul(text, &end, 10);
    if (*end != ':' || errno != 0 || end[1] < '0' || end[1] > '9') {
        return false;
    }
    const char *minorText = end + 1;
    unsigned long minorNo = strtoul(minorText, &end, 10);
    if ((*end != '\n' && *end != '\0') || errno != 0 || majorNo > UINT_MAX || minorNo > UINT_MAX) {
        return false;
    }
    *dev = makedev(static_cast<unsigned>(majorNo), static_cast<unsigned>(minorNo));
    return true;
}

bool SysfsReadDevNo(const SysfsDev *sd, const char *attr, dev_t *dev)
{
    char text[32];
    return SysfsReadText(sd, attr, text, sizeof(text)) && ParseDevNo(text, dev);
}

bool SysfsKernelName(const SysfsDev *sd, char *name, size_t size)
{
    char path[64];
    char target[PATH_BUFFER_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    (void)memset_s(target, sizeof(target), 0, sizeof(target));
    if (sprintf_s(path, sizeof(path), "/sys/dev/block/%u:%u", major(sd->dev), minor(sd->dev)) < 0) {
        return false;
    }
    ssize_t got = readlink(path, target, sizeof(target) - 1);
    if (got <= 0) {
        return false;
    }
    const char *slash = strrchr(target, '/');
    const char *base = slash == nullptr ? target : slash + 1;
    if (base[0] == '\0' || strlen(base) >= size) {
        return false;
    }
    (void)memset_s(name, size, 0, size);
    (void)memcpy_s(name, size, base, strlen(base));
    return true;
}

int32_t SysfsListDevs(const SysfsDev *sd, const char *subdir, dev_t *devs, int32_t max)
{
    if (sd->dirFd < 0) {
        return -1;
    }
    int fd = openat(sd->dirFd, subdir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 0 : -1;
    }
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        (void)close(fd);
        return -1;
    }
    int32_t count = 0;
    for (const struct dirent *entry = readdir(dir); entry != nullptr && count < max; entry = readdir(dir)) {
        char attr[SYSFS_NAME_SIZE + 8];
        char text[32];
        (void)memset_s(attr, sizeof(attr), 0, sizeof(attr));
        // The entries are the kernel's links to the devices' directories:
        // followed as a directory, never as the attribute itself.
        if (entry->d_name[0] == '.' || sprintf_s(attr, sizeof(attr), "%s/dev", entry->d_name) < 0) {
            continue;
        }
        SysfsDev below = {0, dirfd(dir)};
        if (SysfsReadText(&below, attr, text, sizeof(text)) && ParseDevNo(text, &devs[count])) {
            ++count;
        }
    }
    (void)closedir(dir);
    return count;
}

bool SysfsWholeDisk(const SysfsDev *sd, dev_t *disk)
{
    int64_t partition = 0;
    if (!SysfsReadInt(sd, "partition", &partition)) {
        *disk = sd->dev;
        return true;
    }
    return SysfsReadDevNo(sd, "../dev", disk);
}

bool SysfsWrite(const SysfsDev *sd, const char *attr, const char *value)
{
    if (sd->dirFd < 0) {
        errno = EBADF;
        return false;
    }
    int fd = openat(sd->dirFd, attr, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        (void)close(fd);
        errno = EINVAL;
        return false;
    }
    size_t length = strlen(value);
    ssize_t moved = write(fd, value, length);
    int saved = errno;
    (void)close(fd);
    errno = saved;
    return moved == static_cast<ssize_t>(length);
}
