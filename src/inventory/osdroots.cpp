// The OSD directories: every root read once per refresh into one growable
// block, each file read without following a link and without waiting.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"

constexpr int OSD_PATH_SIZE = 256;
constexpr int LINE_SIZE = 256;
constexpr size_t FSID_LINE_LEN = FSID_SLOT;  // 36 characters and the line feed
constexpr size_t UUID_LEN = 36;

bool GrowSlots(void **block, int32_t *capacity, int32_t used, size_t slotSize)
{
    if (used < *capacity) {
        return true;
    }
    int32_t grown = *capacity == 0 ? 16 : *capacity * 2;
    void *bigger = realloc(*block, static_cast<size_t>(grown) * slotSize);
    if (bigger == nullptr) {
        WriteLog(LOG_ERROR, "malloc size:%d\n", static_cast<int>(static_cast<size_t>(grown) * slotSize));
        return false;
    }
    // Cleared, so that the bytes after each string are zero for the list
    // comparison.
    size_t fresh = static_cast<size_t>(grown - *capacity) * slotSize;
    (void)memset_s(static_cast<char *>(bigger) + static_cast<size_t>(*capacity) * slotSize, fresh, 0, fresh);
    *block = bigger;
    *capacity = grown;
    return true;
}

// The first line of what was read, as fgets would give it: up to and
// including the first line feed, and no further than the first NUL.
static size_t FirstLineLength(const char *line, int length)
{
    const char *lineFeed = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(length)));
    size_t upTo = lineFeed != nullptr ? static_cast<size_t>(lineFeed - line) + 1 : static_cast<size_t>(length);
    return strnlen(line, upTo);
}

int32_t ReadFsidAt(int osdFd, const char *dirPath, char *dest, uint32_t destLen)
{
    char path[OSD_PATH_SIZE];
    char line[LINE_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    (void)memset_s(line, sizeof(line), 0, sizeof(line));
    if (sprintf_s(path, sizeof(path), "%s/fsid", dirPath) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:%s/fsid\n", dirPath);
        return 1;
    }
    int length = 0;
    int rc = ReadSmallFile(osdFd, "fsid", line, sizeof(line) - 1, &length);
    if (rc == SMALL_MISSING) {
        WriteLog(LOG_DEBUG, "realpath error:%s\n", path);
        return 1;
    }
    if (rc == SMALL_NOT_REGULAR) {
        WriteLog(LOG_WARNING, "not a regular file:%s\n", path);
        return 1;
    }
    if (rc != SMALL_OK) {
        WriteLog(LOG_ERROR, "fopen error:%s\n", path);
        return 1;
    }
    if (length == 0) {
        WriteLog(LOG_ERROR, "fgets error:%s\n", path);
        return 1;
    }
    size_t lineLen = FirstLineLength(line, length);
    if (lineLen != FSID_LINE_LEN) {
        WriteLog(LOG_WARNING, "fsidlen error:%lu\n", static_cast<unsigned long>(lineLen));
        return 1;
    }
    if (dest == nullptr) {
        return 0;
    }
    // Never more than the fsid itself: a larger destination must not pull
    // bytes from beyond the line.
    size_t count = destLen - 1 < FSID_SLOT - 1 ? destLen - 1 : FSID_SLOT - 1;
    rc = memcpy_s(dest, destLen, line, count);
    if (rc != BC_OK) {
        WriteLog(LOG_ERROR, "memcpy_s error:%d\n", rc);
        return 1;
    }
    return 0;
}

// The directory osdName in rootFd, opened without following a link.
static int OpenOsdDir(int rootFd, const char *osdName)
{
    return openat(rootFd, osdName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int32_t ReadOsdFsid(const char *osdName, char *dest, uint32_t destLen)
{
    char dirPath[OSD_PATH_SIZE];
    (void)memset_s(dirPath, sizeof(dirPath), 0, sizeof(dirPath));
    // Skips ".", ".." and hidden entries.
    if (osdName == nullptr || osdName[0] == '.') {
        return 1;
    }
    if (sprintf_s(dirPath, sizeof(dirPath), "%s/%s", OSD_DIR, osdName) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:%s/%s/fsid\n", OSD_DIR, osdName);
        return 1;
    }
    int osdFd = OpenOsdDir(AT_FDCWD, dirPath);
    if (osdFd < 0) {
        WriteLog(LOG_DEBUG, "realpath error:%s/fsid\n", dirPath);
        return 1;
    }
    int32_t result = ReadFsidAt(osdFd, dirPath, dest, destLen);
    (void)close(osdFd);
    return result;
}

static int32_t OsdTypeCode(const char *line)
{
    static const struct {
        const char *prefix;
        size_t len;
        int32_t code;
    } OSD_TYPES[] = {
        {"bluestore", 9, OSD_TYPE_BLUESTORE},
        {"filestore", 9, OSD_TYPE_FILESTORE},
        {"kvstore", 7, OSD_TYPE_KVSTORE},
        {"memstore", 8, OSD_TYPE_MEMSTORE},
    };
    for (const auto &type : OSD_TYPES) {
        if (strncmp(line, type.prefix, type.len) == 0) {
            return type.code;
        }
    }
    return OSD_TYPE_NONE;
}

// The object store named by the first line of the OSD's "type" file.
static int32_t ReadTypeAt(int osdFd, const char *dirPath)
{
    char line[LINE_SIZE];
    (void)memset_s(line, sizeof(line), 0, sizeof(line));
    int length = 0;
    int rc = ReadSmallFile(osdFd, "type", line, sizeof(line) - 1, &length);
    if (rc == SMALL_NOT_REGULAR) {
        WriteLog(LOG_WARNING, "not a regular file:%s/type\n", dirPath);
    }
    return rc == SMALL_OK ? OsdTypeCode(line) : OSD_TYPE_NONE;
}

// The text of link entry in the OSD directory; its state (LINK_*) and, when
// it cannot be read, errno.
static void ReadLinkAt(int osdFd, const char *entry, char *text, uint8_t *state, int32_t *error)
{
    (void)memset_s(text, OSD_TEXT_SLOT, 0, OSD_TEXT_SLOT);
    *error = 0;
    if (readlinkat(osdFd, entry, text, OSD_TEXT_SLOT - 1) >= 0) {
        *state = LINK_TEXT;
        return;
    }
    *error = errno;
    *state = errno == ENOENT ? LINK_ABSENT : LINK_UNREADABLE;
    (void)memset_s(text, OSD_TEXT_SLOT, 0, OSD_TEXT_SLOT);
}

// Fills record from directory osdName of the root open at rootFd. False
// when it is no OSD: not a directory, or no valid fsid.
static bool ReadOsdAt(int rootFd, const char *rootPath, const char *cluster, const char *osdName, OsdRecord *record)
{
    char dirPath[OSD_PATH_SIZE];
    (void)memset_s(dirPath, sizeof(dirPath), 0, sizeof(dirPath));
    (void)memset_s(record, sizeof(*record), 0, sizeof(*record));
    if (sprintf_s(dirPath, sizeof(dirPath), "%s/%s", rootPath, osdName) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:%s/%s/fsid\n", rootPath, osdName);
        return false;
    }
    int osdFd = OpenOsdDir(rootFd, osdName);
    if (osdFd < 0) {
        return false;
    }
    bool valid = ReadFsidAt(osdFd, dirPath, record->fsid, FSID_SLOT) == 0 &&
                 strncpy_s(record->cluster, sizeof(record->cluster), cluster, sizeof(record->cluster) - 1) == BC_OK &&
                 strncpy_s(record->name, sizeof(record->name), osdName, sizeof(record->name) - 1) == BC_OK;
    if (valid) {
        ReadLinkAt(osdFd, "block", record->block, &record->blockState, &record->blockErrno);
        ReadLinkAt(osdFd, "block.db", record->blockDb, &record->blockDbState, &record->blockDbErrno);
        record->osdType = ReadTypeAt(osdFd, dirPath);
    }
    (void)close(osdFd);
    return valid;
}

// The records of one refresh.
struct OsdScan {
    OsdRecord *list;
    int32_t count;
    int32_t capacity;
    bool full;  // OSD_MAX reached: the rest waits, logged once
    bool failed;
};

// Adds the OSD directory osdName of the root open at rootFd, if it is one.
static void ScanOsd(OsdScan *scan, int rootFd, const char *rootPath, const char *cluster, const char *osdName)
{
    if (scan->full || scan->failed) {
        return;
    }
    void *block = scan->list;
    if (!GrowSlots(&block, &scan->capacity, scan->count, sizeof(OsdRecord))) {
        scan->failed = true;
        return;
    }
    scan->list = static_cast<OsdRecord *>(block);
    if (!ReadOsdAt(rootFd, rootPath, cluster, osdName, &scan->list[scan->count])) {
        return;
    }
    if (scan->count == OSD_MAX) {
        WriteLog(LOG_WARNING, "fsidNum is too many:%d\n", OSD_MAX + 1);
        scan->full = true;
        return;
    }
    ++scan->count;
}

// "osd." and the OSD's number: cephadm's name for an OSD's directory.
static bool IsCephadmOsdName(const char *name)
{
    if (strncmp(name, "osd.", 4) != 0 || name[4] == '\0') {
        return false;
    }
    for (const char *c = name + 4; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    return true;
}

// A cluster's uuid, as cephadm names its directory.
static bool IsUuidName(const char *name)
{
    if (strlen(name) != UUID_LEN) {
        return false;
    }
    for (size_t i = 0; i < UUID_LEN; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        char c = name[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (dash ? c != '-' : !hex) {
            return false;
        }
    }
    return true;
}

// Every OSD directory of one root, open as dir, in directory order.
static void ScanRoot(OsdScan *scan, DIR *dir, const char *rootPath, const char *cluster)
{
    for (const struct dirent *entry = readdir(dir); entry != nullptr && !scan->full && !scan->failed;
         entry = readdir(dir)) {
        bool named = cluster[0] == '\0' ? entry->d_name[0] != '.' : IsCephadmOsdName(entry->d_name);
        if (entry->d_type == DT_DIR && named) {
            ScanOsd(scan, dirfd(dir), rootPath, cluster, entry->d_name);
        }
    }
}

// cephadm's clusters under /var/lib/ceph, each a root of osd.<id> directories.
static void ScanClusters(OsdScan *scan, DIR *ceph)
{
    char rootPath[OSD_PATH_SIZE];
    for (const struct dirent *entry = readdir(ceph); entry != nullptr && !scan->full && !scan->failed;
         entry = readdir(ceph)) {
        if (entry->d_type != DT_DIR || !IsUuidName(entry->d_name)) {
            continue;
        }
        (void)memset_s(rootPath, sizeof(rootPath), 0, sizeof(rootPath));
        int fd = OpenOsdDir(dirfd(ceph), entry->d_name);
        DIR *cluster = fd >= 0 ? fdopendir(fd) : nullptr;
        if (cluster == nullptr) {
            if (fd >= 0) {
                (void)close(fd);
            }
            continue;
        }
        if (sprintf_s(rootPath, sizeof(rootPath), "%s/%s", CEPH_DIR, entry->d_name) >= 0) {
            ScanRoot(scan, cluster, rootPath, entry->d_name);
        }
        (void)closedir(cluster);
    }
}

// Reads the root at path with each, when it exists. False when it exists
// but cannot be opened: only a root that is not there means no OSDs; one
// that cannot even be looked at (no search permission on the way, a loop)
// fails the cycle, logged, instead of passing for a host without OSDs.
static bool ScanDir(OsdScan *scan, const char *path, bool clusters)
{
    if (access(path, F_OK) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return true;
    }
    DIR *dir = opendir(path);
    if (dir == nullptr) {
        WriteLog(LOG_ERROR, "opendir error:%s\n", path);
        return false;
    }
    if (clusters) {
        ScanClusters(scan, dir);
    } else {
        ScanRoot(scan, dir, path, "");
    }
    (void)closedir(dir);
    return true;
}

int32_t ReadOsdRoots(OsdRecord **list, int32_t *count)
{
    OsdScan scan = {nullptr, 0, 0, false, false};
    if (!ScanDir(&scan, OSD_DIR, false) || !ScanDir(&scan, CEPH_DIR, true) || scan.failed) {
        free(scan.list);
        *list = nullptr;
        *count = 0;
        return 1;
    }
    if (scan.count == 0) {
        free(scan.list);
        scan.list = nullptr;
    }
    *list = scan.list;
    *count = scan.count;
    return 0;
}

bool OsdPath(const OsdRecord *osd, const char *entry, char *path, size_t pathLen)
{
    (void)memset_s(path, pathLen, 0, pathLen);
    if (osd->cluster[0] == '\0') {
        return sprintf_s(path, pathLen, "%s/%s/%s", OSD_DIR, osd->name, entry) >= 0;
    }
    return sprintf_s(path, pathLen, "%s/%s/%s/%s", CEPH_DIR, osd->cluster, osd->name, entry) >= 0;
}
