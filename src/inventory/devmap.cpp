// The device map: which OSD's data lies on each listed name, whether its
// block.db is elsewhere, and its object store.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/sysaccess.h"

constexpr int MAP_BUFFER_SIZE = 256;

// A buffer of the map build, cleared before every use.
struct MapBuffer {
    char text[MAP_BUFFER_SIZE];
};

static void Clear(MapBuffer *buffer)
{
    (void)memset_s(buffer->text, sizeof(buffer->text), 0, sizeof(buffer->text));
}

// Runs a guarded command for the first line of its output. False when it
// was refused, could not start, or printed nothing.
static bool FirstOutputLine(const char *cmd, MapBuffer *output)
{
    int lines = 1;
    return ExecSafeCmd(cmd, output->text, sizeof(output->text), &lines) == 0 && lines == 1;
}

// True when the "pvs" listing has a line for /dev/<name> followed by a blank,
// so that sdb never matches the line of sdb1.
static bool ListedAsPv(const char *name)
{
    MapBuffer pattern;
    MapBuffer line;
    Clear(&pattern);
    Clear(&line);
    if (sprintf_s(pattern.text, sizeof(pattern.text), "/dev/%s ", name) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:/dev/%s \n", name);
        return false;
    }
    CmdRun listing;
    if (StartSafeCmd("pvs", &listing) != 0) {
        return false;
    }
    bool found = false;
    while (!found && NextCmdLine(&listing, line.text, sizeof(line.text)) == 1) {
        found = strstr(line.text, pattern.text) != nullptr;
        Clear(&line);
    }
    // A listing cut short by the deadline proves nothing either way.
    return EndSafeCmd(&listing) == 0 && found;
}

// The volume group of physical volume /dev/<name> into key; false when the
// query fails or names none.
static bool QueryVolumeGroup(const char *name, MapBuffer *key)
{
    MapBuffer cmd;
    MapBuffer output;
    Clear(&cmd);
    Clear(&output);
    if (sprintf_s(cmd.text, sizeof(cmd.text), "pvs --noheadings -o vg_name /dev/%s", name) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:pvs --noheadings --readonly -o vg_name /dev/%s\n", name);
        return false;
    }
    if (!FirstOutputLine(cmd.text, &output)) {
        return false;
    }
    const char *vg = output.text;
    while (*vg == ' ') {
        ++vg;
    }
    size_t len = strlen(vg);
    if (len == 0 || len > MAP_BUFFER_SIZE - 1) {
        return false;
    }
    int rc = strncpy_s(key->text, sizeof(key->text), vg, len);
    if (rc != BC_OK) {
        WriteLog(LOG_ERROR, "strncpy_s error:%s return:%d\n", vg, rc);
        return false;
    }
    return true;
}

// The match key of a name slot: its volume group, else the name itself.
// 0, or 1 when not even the name could be copied.
static int32_t FindMatchKey(const char *slot, MapBuffer *key, int32_t *keyKind)
{
    Clear(key);
    *keyKind = MATCH_BY_VG;
    if (ListedAsPv(slot) && QueryVolumeGroup(slot, key)) {
        return 0;
    }
    *keyKind = MATCH_BY_DEVICE;
    Clear(key);
    int rc = memcpy_s(key->text, sizeof(key->text), slot, DEV_NAME_SLOT);
    if (rc != BC_OK) {
        WriteLog(LOG_ERROR, "memcpy_s failed:%d\n", rc);
        return 1;
    }
    return 0;
}

// Reads the text of link path into target; logs and fails like the scan wants.
static bool ReadLinkText(const char *path, MapBuffer *target)
{
    Clear(target);
    // The analyzer takes memset_s's own null test inside Clear as a hint that
    // target may be null; it never is here.
    if (readlink(path, target->text, sizeof(target->text) - 1) < 0) {  // NOLINT(clang-analyzer-core.NonNullParamChecker)
        WriteLog(LOG_ERROR, "readlink error:%s return:%d\n", path, errno);
        return false;
    }
    return true;
}

// True when one '/'-separated component of text equals key, or, when disk is
// given, names that whole disk or one of its partitions.
static bool TextNames(const char *text, const char *key, const char *disk)
{
    MapBuffer work;
    MapBuffer name;
    Clear(&work);
    if (strncpy_s(work.text, sizeof(work.text), text, sizeof(work.text) - 1) != BC_OK) {
        return false;
    }
    char *context = nullptr;
    for (char *part = strtok_s(work.text, "/", &context); part != nullptr; part = strtok_s(nullptr, "/", &context)) {
        if (strcmp(part, key) == 0) {
            return true;
        }
        Clear(&name);
        if (disk != nullptr && CheckDevName(part, name.text, sizeof(name.text)) == 1 &&
            StripPartition(name.text, static_cast<uint32_t>(strlen(name.text))) == 1 && strcmp(name.text, disk) == 0) {
            return true;
        }
    }
    return false;
}

// True when the link at path names key by its own text or by where it
// finally leads: a link through /dev/disk/by-partuuid/... names the
// partition only once resolved.
static bool LinkNames(const char *path, const char *linkText, const char *key, const char *disk)
{
    if (TextNames(linkText, key, disk)) {
        return true;
    }
    char resolved[PATH_MAX];
    (void)memset_s(resolved, sizeof(resolved), 0, sizeof(resolved));
    return realpath(path, resolved) != nullptr && TextNames(resolved, key, disk);
}

// True when block.db lies where block was found: the same volume group, or,
// for a device-name key, the same whole disk. Such a database is not on
// another device, whatever its link text says.
static bool DbBesideBlock(const char *dbPath, const char *dbText, const char *key)
{
    MapBuffer disk;
    Clear(&disk);
    bool keyIsDisk = CheckDevName(key, disk.text, sizeof(disk.text)) == 1 &&
                     StripPartition(disk.text, static_cast<uint32_t>(strlen(disk.text))) == 1;
    return LinkNames(dbPath, dbText, key, keyIsDisk ? disk.text : nullptr);
}

static int32_t OsdTypeCode(const char *line)
{
    static const struct {
        const char *prefix;
        size_t len;
        int32_t code;
    } kTypes[] = {
        {"bluestore", 9, OSD_TYPE_BLUESTORE},
        {"filestore", 9, OSD_TYPE_FILESTORE},
        {"kvstore", 7, OSD_TYPE_KVSTORE},
        {"memstore", 8, OSD_TYPE_MEMSTORE},
    };
    for (const auto &type : kTypes) {
        if (strncmp(line, type.prefix, type.len) == 0) {
            return type.code;
        }
    }
    return OSD_TYPE_NONE;
}

// The object store of OSD directory osdName, through its "type" file. A name
// the filter refuses (a dot, shell characters) leaves it unknown.
static int32_t ReadOsdType(const char *osdName)
{
    MapBuffer cmd;
    MapBuffer output;
    Clear(&cmd);
    Clear(&output);
    if (sprintf_s(cmd.text, sizeof(cmd.text), "cat %s/%s/type", OSD_DIR, osdName) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:cat %s/%s/type\n", OSD_DIR, osdName);
        return OSD_TYPE_NONE;
    }
    return FirstOutputLine(cmd.text, &output) ? OsdTypeCode(output.text) : OSD_TYPE_NONE;
}

// Ties entry to OSD directory osdName when its block link names key.
// True when the scan is over (the OSD matched and its block.db was read).
static bool MatchOsd(const char *osdName, const char *key, DevMapEntry *entry)
{
    MapBuffer path;
    MapBuffer block;
    MapBuffer blockDb;
    Clear(&path);
    if (sprintf_s(path.text, sizeof(path.text), "%s/%s/block", OSD_DIR, osdName) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:%s/%s/block\n", OSD_DIR, osdName);
        return false;
    }
    if (access(path.text, F_OK) != 0 || !ReadLinkText(path.text, &block) ||
        !LinkNames(path.text, block.text, key, nullptr)) {
        return false;
    }
    Clear(&path);
    if (sprintf_s(path.text, sizeof(path.text), "%s/%s/block.db", OSD_DIR, osdName) < 0) {
        WriteLog(LOG_ERROR, "sprintf_s error:%s/%s/block.db\n", OSD_DIR, osdName);
        return false;
    }
    if (access(path.text, F_OK) != 0) {
        entry->separateDb = 0;
    } else if (ReadLinkText(path.text, &blockDb)) {
        entry->separateDb = (strcmp(block.text, blockDb.text) != 0 && !DbBesideBlock(path.text, blockDb.text, key)) ? 1 : 0;
    } else {
        return false;
    }
    entry->osdType = ReadOsdType(osdName);
    return true;
}

// Fills entry from the first OSD, in directory order, that matches key, and
// names that OSD in osdDir when given. 0, or 1 when the OSD directory is
// gone or unreadable.
static int32_t ScanOsds(const char *key, DevMapEntry *entry, char *osdDir, size_t osdDirLen)
{
    if (access(OSD_DIR, F_OK) != 0) {
        return 1;
    }
    DIR *dir = opendir(OSD_DIR);
    if (dir == nullptr) {
        WriteLog(LOG_ERROR, "opendir error:%s\n", OSD_DIR);
        return 1;
    }
    // Every OSD directory counts here, whether or not its fsid is valid.
    for (const struct dirent *osd = readdir(dir); osd != nullptr; osd = readdir(dir)) {
        if (osd->d_type == DT_DIR && osd->d_name[0] != '.' && MatchOsd(osd->d_name, key, entry)) {
            if (osdDir != nullptr) {
                (void)strncpy_s(osdDir, osdDirLen, osd->d_name, osdDirLen - 1);
            }
            break;
        }
    }
    (void)closedir(dir);
    return 0;
}

int32_t MatchDevName(const char *slot, DevMapEntry *entry, DevMatch *match)
{
    MapBuffer key;
    int32_t keyKind = MATCH_BY_DEVICE;
    if (FindMatchKey(slot, &key, &keyKind) != 0) {
        return 1;
    }
    entry->separateDb = 0;
    entry->osdType = OSD_TYPE_NONE;
    if (match == nullptr) {
        return ScanOsds(key.text, entry, nullptr, 0);
    }
    (void)memset_s(match, sizeof(*match), 0, sizeof(*match));
    match->keyKind = keyKind;
    (void)memcpy_s(match->key, sizeof(match->key), key.text, sizeof(key.text));
    return ScanOsds(key.text, entry, match->osdDir, sizeof(match->osdDir));
}

// One entry per g_devList slot, same order. 0, or 1 when the build failed.
static int32_t FillDevMap(DevMapEntry *map)
{
    for (int32_t i = 0; i < g_devNum; ++i) {
        const char *slot = g_devList + static_cast<size_t>(i) * DEV_NAME_SLOT;
        if (MatchDevName(slot, &map[i], nullptr) != 0) {
            return 1;
        }
        int rc = memcpy_s(map[i].name, sizeof(map[i].name), slot, DEV_NAME_SLOT);
        if (rc != BC_OK) {
            WriteLog(LOG_ERROR, "memcpy_s failed:%d\n", rc);
            return 1;
        }
    }
    return 0;
}

static void InstallDevMap(DevMapEntry *map, int32_t count)
{
    free(devMap);
    devMap = map;
    g_devMapNum = count;
}

int32_t BuildDevMap(void)
{
    if (g_devNum == 0 || g_fsidNum == 0) {
        InstallDevMap(nullptr, 0);
        return 0;
    }
    if (g_devNum > DEV_MAP_MAX) {
        WriteLog(LOG_ERROR, "g_devNum is too many:%d\n", g_devNum);
        return 1;
    }
    size_t bytes = static_cast<size_t>(g_devNum) * sizeof(DevMapEntry);
    DevMapEntry *map = static_cast<DevMapEntry *>(malloc(bytes));
    if (map == nullptr) {
        WriteLog(LOG_ERROR, "malloc size:%lu\n", static_cast<unsigned long>(bytes));
        return 1;
    }
    (void)memset_s(map, bytes, 0, bytes);
    if (FillDevMap(map) != 0) {
        free(map);
        return 1;
    }
    InstallDevMap(map, g_devNum);
    return 0;
}
