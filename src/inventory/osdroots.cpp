// The OSD roots a host may have, each read without following a link:
// /var/lib/ceph/osd/*, cephadm's /var/lib/ceph/<cluster>/osd.<id>, and
// Rook's /var/lib/rook/<namespace>/<fsid>_<uuid> and
// /var/lib/rook/<namespace>/<pvc>/ceph-<id>. The directories belong to the
// ceph user: each is opened below the one before it with O_NOFOLLOW, and a
// root that is a link (or a loop) is logged and skipped.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"

constexpr size_t UUID_LEN = 36;

// The path of the directory being read, grown and cut as the scan descends.
struct ScanPath {
    char text[PATH_BUFFER_SIZE];
    size_t len;
    size_t rootLen;  // the root's own part, left out of the report's names
};

// One root's share of the OSDs: its own cap.
struct RootScan {
    InventoryBuild *build;
    ScanPath *path;
    int32_t count;
    bool full;
};

static bool Push(ScanPath *path, const char *name)
{
    int rc = sprintf_s(path->text + path->len, sizeof(path->text) - path->len, "/%s", name);
    if (rc < 0) {
        path->text[path->len] = '\0';
        return false;
    }
    path->len += static_cast<size_t>(rc);
    return true;
}

static void Pop(ScanPath *path, size_t len)
{
    path->len = len;
    path->text[len] = '\0';
}

// A directory below dirFd (AT_FDCWD for a root), never through a link, with
// its path added to the directories read. -1 when it is not there; a root
// that cannot be opened otherwise is logged.
static int OpenBelow(InventoryBuild *build, int dirFd, const ScanPath *path, const char *name)
{
    if (build->failed) {
        return -1;
    }
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (dirFd == AT_FDCWD && errno != ENOENT) {
            WriteLog(LOG_ERROR, "opendir error:%s\n", path->text);
        }
        return -1;
    }
    if (!AddInventoryDir(build, path->text)) {
        build->failed = true;
        (void)close(fd);
        return -1;
    }
    return fd;
}

// The same as a stream to read its entries.
static DIR *OpenDirBelow(InventoryBuild *build, int dirFd, const ScanPath *path, const char *name)
{
    int fd = OpenBelow(build, dirFd, path, name);
    DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr && fd >= 0) {
        (void)close(fd);
    }
    return dir;
}

// One OSD directory of the root, counted against the root's cap.
static void ScanOsd(RootScan *root, int parentFd, const char *name)
{
    if (root->full || root->build->failed) {
        return;
    }
    size_t keep = root->path->len;
    int fd = Push(root->path, name) ? OpenBelow(root->build, parentFd, root->path, name) : -1;
    if (fd >= 0) {
        const char *shown = root->path->text + root->path->rootLen + 1;
        if (root->count == OSD_MAX) {
            // Only a directory with a valid fsid would have been one too many.
            if (ReadFsidAt(fd, root->path->text, nullptr, 0) == 0) {
                WriteLog(LOG_WARNING, "fsidNum is too many:%d\n", OSD_MAX + 1);
                root->full = true;
            }
        } else if (AddOsdRecord(root->build, fd, root->path->text, shown)) {
            ++root->count;
        }
        (void)close(fd);
    }
    Pop(root->path, keep);
}

static bool IsNumbered(const char *name, const char *prefix)
{
    size_t len = strlen(prefix);
    if (strncmp(name, prefix, len) != 0 || name[len] == '\0') {
        return false;
    }
    return strspn(name + len, "0123456789") == strlen(name + len);
}

static bool IsUuidAt(const char *text)
{
    for (size_t i = 0; i < UUID_LEN; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (dash ? c != '-' : !hex) {
            return false;
        }
    }
    return true;
}

// A cluster's uuid, as cephadm names its directory.
static bool IsUuidName(const char *name)
{
    return strlen(name) == UUID_LEN && IsUuidAt(name);
}

// "<ceph fsid>_<osd uuid>", as Rook names an OSD on a host disk.
static bool IsRookOsdName(const char *name)
{
    return strlen(name) == 2 * UUID_LEN + 1 && IsUuidAt(name) && name[UUID_LEN] == '_' && IsUuidAt(name + UUID_LEN + 1);
}

static bool IsSubdir(const struct dirent *entry)
{
    return entry->d_type == DT_DIR && entry->d_name[0] != '.';
}

// The entries of dir that prefix (or, without one, any name) admits, each
// an OSD directory of root.
static void ScanOsdDirs(RootScan *root, DIR *dir, const char *prefix)
{
    for (const struct dirent *entry = readdir(dir); entry != nullptr && !root->full && !root->build->failed;
         entry = readdir(dir)) {
        if (IsSubdir(entry) && (prefix == nullptr || IsNumbered(entry->d_name, prefix))) {
            ScanOsd(root, dirfd(dir), entry->d_name);
        }
    }
}

// A subdirectory of parent, scanned for OSD directories named prefix<N>.
static void ScanHolder(RootScan *root, DIR *parent, const char *name, const char *prefix)
{
    size_t keep = root->path->len;
    DIR *dir = Push(root->path, name) ? OpenDirBelow(root->build, dirfd(parent), root->path, name) : nullptr;
    if (dir != nullptr) {
        ScanOsdDirs(root, dir, prefix);
        (void)closedir(dir);
    }
    Pop(root->path, keep);
}

static void ScanCephadm(RootScan *root, DIR *ceph)
{
    for (const struct dirent *entry = readdir(ceph); entry != nullptr && !root->full && !root->build->failed;
         entry = readdir(ceph)) {
        if (IsSubdir(entry) && IsUuidName(entry->d_name)) {
            ScanHolder(root, ceph, entry->d_name, "osd.");
        }
    }
}

// One Rook namespace: OSDs on host disks directly in it, OSDs on PVCs one
// level further down; each kind with its own cap.
static void ScanNamespace(RootScan *host, RootScan *pvc, DIR *space)
{
    for (const struct dirent *entry = readdir(space); entry != nullptr && !host->build->failed; entry = readdir(space)) {
        if (!IsSubdir(entry)) {
            continue;
        }
        if (IsRookOsdName(entry->d_name)) {
            ScanOsd(host, dirfd(space), entry->d_name);
        } else if (!pvc->full) {
            ScanHolder(pvc, space, entry->d_name, "ceph-");
        }
    }
}

static void ScanRook(RootScan *host, RootScan *pvc, DIR *rook)
{
    for (const struct dirent *entry = readdir(rook); entry != nullptr && !host->build->failed; entry = readdir(rook)) {
        size_t keep = host->path->len;
        DIR *space = IsSubdir(entry) && Push(host->path, entry->d_name)
                         ? OpenDirBelow(host->build, dirfd(rook), host->path, entry->d_name)
                         : nullptr;
        if (space != nullptr) {
            ScanNamespace(host, pvc, space);
            (void)closedir(space);
        }
        Pop(host->path, keep);
    }
}

// Opens root, on its own path.
static DIR *OpenRoot(InventoryBuild *build, ScanPath *path, const char *root)
{
    (void)memset_s(path, sizeof(*path), 0, sizeof(*path));
    (void)sprintf_s(path->text, sizeof(path->text), "%s", root);
    path->len = strlen(path->text);
    path->rootLen = path->len;
    return OpenDirBelow(build, AT_FDCWD, path, root);
}

void ReadOsdRoots(InventoryBuild *build)
{
    static ScanPath path;
    RootScan plain = {build, &path, 0, false};
    DIR *dir = OpenRoot(build, &path, OSD_DIR);
    if (dir != nullptr) {
        ScanOsdDirs(&plain, dir, nullptr);
        (void)closedir(dir);
    }
    RootScan cephadm = {build, &path, 0, false};
    dir = OpenRoot(build, &path, CEPH_DIR);
    if (dir != nullptr) {
        ScanCephadm(&cephadm, dir);
        (void)closedir(dir);
    }
    RootScan host = {build, &path, 0, false};
    RootScan pvc = {build, &path, 0, false};
    dir = OpenRoot(build, &path, ROOK_DIR);
    if (dir != nullptr) {
        ScanRook(&host, &pvc, dir);
        (void)closedir(dir);
    }
}
