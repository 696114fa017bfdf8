// Identity through the device stack: what an OSD's block link leads to, as
// the kernel sees it (a block device and the devices under it in sysfs), and
// whether the device itself says it holds that OSD (its BlueStore label).
// Link texts are written by the unprivileged ceph user; only this counts.
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
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/devhead.h"
#include "sysaccess/sysaccess.h"

constexpr int SYS_PATH_SIZE = 512;
constexpr int ATTR_SIZE = 128;
constexpr size_t LABEL_TEXT_LEN = 23;  // "bluestore block device\n"

bool ReadDevNumber(const char *path, dev_t *dev)
{
    char text[ATTR_SIZE];
    (void)memset_s(text, sizeof(text), 0, sizeof(text));
    int length = 0;
    if (ReadSmallFile(AT_FDCWD, path, text, sizeof(text) - 1, &length) != SMALL_OK) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long major = strtoul(text, &end, 10);
    if (end == text || *end != ':' || errno != 0) {
        return false;
    }
    const char *minorText = end + 1;
    unsigned long minor = strtoul(minorText, &end, 10);
    if (end == minorText || (*end != '\n' && *end != '\0') || errno != 0 || major > UINT_MAX || minor > UINT_MAX) {
        return false;
    }
    *dev = makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
    return true;
}

int32_t StackNodeOf(const DevStack *stack, dev_t dev)
{
    for (int32_t i = 0; i < stack->num; ++i) {
        if (stack->nodes[i].dev == dev) {
            return i;
        }
    }
    return -1;
}

// The kind of device-mapper device at sysfs directory dir, by the prefix
// of its dm uuid.
static int16_t LayerOf(const char *dir)
{
    static const struct {
        const char *prefix;
        int16_t layer;
    } LAYERS[] = {{"LVM-", LAYER_LV}, {"CRYPT-", LAYER_CRYPT}, {"mpath-", LAYER_MPATH}};
    char path[SYS_PATH_SIZE];
    char uuid[ATTR_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    (void)memset_s(uuid, sizeof(uuid), 0, sizeof(uuid));
    int length = 0;
    if (sprintf_s(path, sizeof(path), "%s/dm/uuid", dir) < 0 ||
        ReadSmallFile(AT_FDCWD, path, uuid, sizeof(uuid) - 1, &length) != SMALL_OK) {
        return LAYER_DEVICE;
    }
    for (const auto &kind : LAYERS) {
        if (strncmp(uuid, kind.prefix, strlen(kind.prefix)) == 0) {
            return kind.layer;
        }
    }
    return LAYER_DM;
}

// The whole disk of the device at sysfs directory dir: its parent when it is
// a partition, else itself.
static dev_t WholeDiskOf(const char *dir, dev_t dev)
{
    char path[SYS_PATH_SIZE];
    char number[ATTR_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    int length = 0;
    dev_t disk = dev;
    if (sprintf_s(path, sizeof(path), "%s/partition", dir) >= 0 &&
        ReadSmallFile(AT_FDCWD, path, number, sizeof(number) - 1, &length) == SMALL_OK &&
        sprintf_s(path, sizeof(path), "%s/../dev", dir) >= 0 && ReadDevNumber(path, &disk)) {
        return disk;
    }
    return dev;
}

static void AddWholeDisk(DevStack *stack, dev_t disk)
{
    for (int32_t i = 0; i < stack->diskNum; ++i) {
        if (stack->disks[i] == disk) {
            return;
        }
    }
    if (stack->diskNum < STACK_DISKS_MAX) {
        stack->disks[stack->diskNum++] = disk;
    }
}

// The sysfs directory of block device dev.
static bool SysDirOf(dev_t dev, char *dir, size_t dirLen)
{
    (void)memset_s(dir, dirLen, 0, dirLen);
    return sprintf_s(dir, dirLen, "/sys/dev/block/%u:%u", major(dev), minor(dev)) >= 0;
}

static int32_t DepthOf(const DevStack *stack, int32_t index)
{
    int32_t depth = 0;
    for (int16_t at = stack->nodes[index].parent; at >= 0; at = stack->nodes[at].parent) {
        ++depth;
    }
    return depth;
}

// Adds the slaves of node index, found in its sysfs directory dir. False
// when it has none: it is at the bottom of the stack.
static bool AddSlaves(DevStack *stack, int32_t index, const char *dir)
{
    char path[SYS_PATH_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    DIR *slaves = sprintf_s(path, sizeof(path), "%s/slaves", dir) >= 0 ? opendir(path) : nullptr;
    if (slaves == nullptr) {
        return false;
    }
    bool any = false;
    for (const struct dirent *entry = readdir(slaves); entry != nullptr && stack->num < STACK_MAX; entry = readdir(slaves)) {
        dev_t dev = 0;
        char slave[SYS_PATH_SIZE];
        if (entry->d_name[0] == '.' || sprintf_s(path, sizeof(path), "%s/slaves/%s/dev", dir, entry->d_name) < 0 ||
            !ReadDevNumber(path, &dev) || !SysDirOf(dev, slave, sizeof(slave))) {
            continue;
        }
        stack->nodes[stack->num] = StackNode{dev, static_cast<int16_t>(index), LayerOf(slave)};
        ++stack->num;
        any = true;
    }
    (void)closedir(slaves);
    return any;
}

// The stack under block device dev, breadth first: each device's slaves, to
// STACK_DEPTH_MAX levels and STACK_MAX devices; those without slaves add
// their whole disks.
static void BuildStack(DevStack *stack, dev_t dev)
{
    char dir[SYS_PATH_SIZE];
    (void)memset_s(stack, sizeof(*stack), 0, sizeof(*stack));
    if (!SysDirOf(dev, dir, sizeof(dir))) {
        return;
    }
    stack->nodes[0] = StackNode{dev, -1, LayerOf(dir)};
    stack->num = 1;
    for (int32_t i = 0; i < stack->num; ++i) {
        if (!SysDirOf(stack->nodes[i].dev, dir, sizeof(dir))) {
            continue;
        }
        bool below = DepthOf(stack, i) < STACK_DEPTH_MAX && AddSlaves(stack, i, dir);
        if (!below) {
            AddWholeDisk(stack, WholeDiskOf(dir, stack->nodes[i].dev));
        }
    }
}

// Opens what the link at path leads to when that is a block device: true
// with its number in *dev and an open descriptor in *fd (-1 when it cannot
// be opened: -errno then). The descriptor is checked to be that same device, so that a
// node swapped in after the stat is not read.
static bool OpenBlockDevice(const char *path, char *resolved, dev_t *dev, int *fd)
{
    struct stat st;
    *fd = -1;
    if (realpath(path, resolved) == nullptr || stat(resolved, &st) != 0 || !S_ISBLK(st.st_mode)) {
        return false;
    }
    *dev = st.st_rdev;
    int opened = open(resolved, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) {
        *fd = -errno;
        return true;
    }
    struct stat held;
    if (fstat(opened, &held) != 0 || !S_ISBLK(held.st_mode) || held.st_rdev != *dev) {
        (void)close(opened);
        return false;
    }
    *fd = opened;
    return true;
}

// LABEL_*: what the first bytes of the open device say.
constexpr int LABEL_UNREADABLE = 0;
constexpr int LABEL_NONE = 1;
constexpr int LABEL_FOUND = 2;

// Reads the label of block device dev, open at fd, into uuid (37 bytes); fd
// (closed here) is -errno when the device could not be opened. The read goes
// through ReadDeviceHead, so a device that cannot or does not answer costs
// at most its deadline: EBUSY when sysfs shows it cannot answer, ETIMEDOUT
// when it did not answer in time.
static int ReadLabel(dev_t dev, int fd, char *uuid, int *error)
{
    uint8_t label[BLUESTORE_LABEL_SIZE];
    *error = 0;
    if (fd < 0) {
        *error = -fd;
        return LABEL_UNREADABLE;
    }
    (void)close(fd);
    int32_t headError = 0;
    int32_t head = ReadDeviceHead(dev, label, sizeof(label), HEAD_DEADLINE_MS, &headError);
    *error = head == HEAD_CANNOT_ANSWER ? EBUSY : head == HEAD_NO_ANSWER ? ETIMEDOUT : headError;
    if (head != HEAD_OK) {
        return head == HEAD_FAILED && headError == 0 ? LABEL_NONE : LABEL_UNREADABLE;
    }
    if (memcmp(label, BLUESTORE_LABEL, LABEL_TEXT_LEN) != 0 ||
        label[BLUESTORE_LABEL_SIZE - 1] != '\n') {
        return LABEL_NONE;
    }
    (void)memset_s(uuid, FSID_SLOT, 0, FSID_SLOT);
    (void)memcpy_s(uuid, FSID_SLOT, label + LABEL_TEXT_LEN, FSID_SLOT - 1);
    return LABEL_FOUND;
}

// True when the two stacks stand on no common whole disk.
static bool DisjointDisks(const DevStack *a, const DevStack *b)
{
    for (int32_t i = 0; i < a->diskNum; ++i) {
        for (int32_t j = 0; j < b->diskNum; ++j) {
            if (a->disks[i] == b->disks[j]) {
                return false;
            }
        }
    }
    return true;
}

static void LogUnreadableLink(const char *path, int32_t error)
{
    WriteLog(LOG_ERROR, "readlink error:%s return:%d\n", path, error);
}

// Where block.db of a proven OSD lies (DB_*).
static int32_t DbPlacement(const OsdRecord *osd, const DevStack *block)
{
    char path[PATH_BUFFER_SIZE];
    char resolved[PATH_BUFFER_SIZE];
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    if (osd->blockDbState == LINK_ABSENT || !OsdPath(osd, "block.db", path, sizeof(path))) {
        return DB_NONE;
    }
    if (osd->blockDbState == LINK_UNREADABLE) {
        LogUnreadableLink(path, osd->blockDbErrno);
        return DB_NONE;
    }
    dev_t dev = 0;
    int fd = -1;
    if (!OpenBlockDevice(path, resolved, &dev, &fd)) {
        // A link that leads nowhere is no database; one that leads to no
        // block device is judged by its text, as before devices were looked at.
        return access(path, F_OK) != 0 ? DB_NONE : DB_BY_TEXT;
    }
    DevStack db;
    BuildStack(&db, dev);
    char uuid[FSID_SLOT];
    int error = 0;
    bool foreign = ReadLabel(dev, fd, uuid, &error) == LABEL_FOUND && memcmp(uuid, osd->fsid, FSID_SLOT - 1) != 0;
    if (!DisjointDisks(&db, block)) {
        return DB_SAME_DISK;
    }
    return foreign ? DB_OTHER_LABEL : DB_SEPARATE;
}

void ResolveOsdIdentity(const OsdRecord *osd, OsdIdentity *identity)
{
    char path[PATH_BUFFER_SIZE];
    char resolved[PATH_BUFFER_SIZE];
    (void)memset_s(identity, sizeof(*identity), 0, sizeof(*identity));
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    identity->proof = PROOF_NOT_BLOCK;
    identity->db = DB_NONE;
    if (osd->blockState == LINK_ABSENT || !OsdPath(osd, "block", path, sizeof(path))) {
        return;
    }
    if (osd->blockState == LINK_UNREADABLE) {
        LogUnreadableLink(path, osd->blockErrno);
        return;
    }
    dev_t dev = 0;
    int fd = -1;
    if (!OpenBlockDevice(path, resolved, &dev, &fd)) {
        return;
    }
    BuildStack(&identity->block, dev);
    char uuid[FSID_SLOT];
    int error = 0;
    int label = ReadLabel(dev, fd, uuid, &error);
    if (label == LABEL_UNREADABLE) {
        path[strlen(path) - strlen("/block")] = '\0';
        WriteLog(LOG_WARNING, "read label error:%s on %s return:%d\n", path, resolved, error);
    }
    if (label != LABEL_FOUND) {
        identity->proof = PROOF_NO_LABEL;
        return;
    }
    if (memcmp(uuid, osd->fsid, FSID_SLOT - 1) != 0) {
        identity->proof = PROOF_OTHER_LABEL;
        return;
    }
    identity->proof = PROOF_LABEL;
    identity->db = DbPlacement(osd, &identity->block);
}
