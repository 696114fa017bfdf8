// The small files of an OSD directory (fsid, type), each read without
// following a link and without waiting, and the growable blocks of a refresh.
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

constexpr int OSD_PATH_SIZE = PATH_BUFFER_SIZE;
constexpr int LINE_SIZE = 256;
constexpr size_t FSID_LINE_LEN = FSID_SLOT;  // 36 characters and the line feed

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

int32_t ReadTypeAt(int osdFd, const char *dirPath)
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
