// The device map: which OSD's data lies on each listed name, whether its
// block.db is elsewhere, and its object store. A name is tied to an OSD only
// when the OSD's block device is the name's device or stands on it, and
// carries the OSD's own label (identity.cpp); link texts prove nothing.
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
        // The text names "--readonly", which the command never had; operators
        // grep it as it stands, so it stays.
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
    char resolved[PATH_BUFFER_SIZE];
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

// The identities of the last build, one per g_osdList record.
static OsdIdentity *s_identities = nullptr;
static int32_t s_identityNum = 0;

void ReleaseOsdIdentities(void)
{
    free(s_identities);
    s_identities = nullptr;
    s_identityNum = 0;
}

// Resolves every OSD once per build: each label is read (and an unreadable
// one logged) once, however many names there are. 0, or 1 on allocation failure.
static int32_t ResolveIdentities(void)
{
    ReleaseOsdIdentities();
    if (g_osdNum == 0) {
        return 0;
    }
    size_t bytes = static_cast<size_t>(g_osdNum) * sizeof(OsdIdentity);
    s_identities = static_cast<OsdIdentity *>(malloc(bytes));
    if (s_identities == nullptr) {
        WriteLog(LOG_ERROR, "malloc size:%lu\n", static_cast<unsigned long>(bytes));
        return 1;
    }
    (void)memset_s(s_identities, bytes, 0, bytes);
    for (int32_t i = 0; i < g_osdNum; ++i) {
        ResolveOsdIdentity(&g_osdList[i], &s_identities[i]);
    }
    s_identityNum = g_osdNum;
    return 0;
}

// separateDb of a tied OSD. A block.db that leads to no block device keeps
// the text rule: another target text, and not beside block.
static uint8_t SeparateDb(const OsdRecord *osd, const OsdIdentity *identity, const char *key)
{
    if (identity->db != DB_BY_TEXT) {
        return identity->db == DB_SEPARATE ? 1 : 0;
    }
    char path[PATH_BUFFER_SIZE];
    if (strcmp(osd->block, osd->blockDb) == 0 || !OsdPath(osd, "block.db", path, sizeof(path))) {
        return 0;
    }
    return DbBesideBlock(path, osd->blockDb, key) ? 0 : 1;
}

// True when the block link of a record whose block leads to no block device
// names key by its text: the name it claims, for the report to explain.
static bool ClaimsByText(const OsdRecord *osd, const OsdIdentity *identity, const char *key)
{
    char path[PATH_BUFFER_SIZE];
    return identity->proof == PROOF_NOT_BLOCK && osd->blockState == LINK_TEXT &&
           OsdPath(osd, "block", path, sizeof(path)) && LinkNames(path, osd->block, key, nullptr);
}

static const char *LayerText(int16_t layer)
{
    switch (layer) {
    case LAYER_LV: return "lv";
    case LAYER_CRYPT: return "dm-crypt";
    case LAYER_MPATH: return "multipath";
    case LAYER_DM: return "dm";
    default: return "dev";
    }
}

// How node reaches the name from the top of the stack: "device" for the
// device itself, "vg:<group>" for a plain logical volume on a physical
// volume, else the layers from the top down and the name ("dm-crypt>lv>sdb").
static void DescribeTie(const DevStack *stack, int32_t node, const char *slot, int32_t keyKind, const char *key,
                        char *how)
{
    (void)memset_s(how, MATCH_TEXT_SLOT, 0, MATCH_TEXT_SLOT);
    if (node == 0) {
        (void)sprintf_s(how, MATCH_TEXT_SLOT, "device");
        return;
    }
    int16_t parent = stack->nodes[node].parent;
    if (keyKind == MATCH_BY_VG && parent == 0 && stack->nodes[0].layer == LAYER_LV) {
        (void)sprintf_s(how, MATCH_TEXT_SLOT, "vg:%s", key);
        return;
    }
    int16_t layers[STACK_DEPTH_MAX + 1];
    int depth = 0;
    for (int16_t at = parent; at >= 0 && depth <= STACK_DEPTH_MAX; at = stack->nodes[at].parent) {
        layers[depth++] = stack->nodes[at].layer;
    }
    size_t used = 0;
    while (depth > 0 && used < MATCH_TEXT_SLOT) {
        int rc = sprintf_s(how + used, MATCH_TEXT_SLOT - used, "%s>", LayerText(layers[--depth]));
        used += rc > 0 ? static_cast<size_t>(rc) : MATCH_TEXT_SLOT;
    }
    if (used < MATCH_TEXT_SLOT) {
        (void)sprintf_s(how + used, MATCH_TEXT_SLOT - used, "%s", slot);
    }
}

// The OSD directory as the report names it: its name, under cephadm with
// the cluster directory in front.
static void NameOsd(const OsdRecord *osd, char *osdDir)
{
    (void)memset_s(osdDir, MATCH_TEXT_SLOT, 0, MATCH_TEXT_SLOT);
    if (osd->cluster[0] == '\0') {
        (void)strncpy_s(osdDir, MATCH_TEXT_SLOT, osd->name, MATCH_TEXT_SLOT - 1);
    } else {
        (void)sprintf_s(osdDir, MATCH_TEXT_SLOT, "%s/%s", osd->cluster, osd->name);
    }
}

// What one OSD makes of a name whose device is dev (0 when unknown):
// PROOF_LABEL when it ties it, another PROOF_* when it claims it but fails
// the proof, -1 when it has nothing to do with it. *node is where dev sits.
static int32_t JudgeOsd(int32_t osd, bool known, dev_t dev, const char *key, int32_t *node)
{
    const OsdIdentity *identity = &s_identities[osd];
    *node = known ? StackNodeOf(&identity->block, dev) : -1;
    if (*node >= 0) {
        return identity->proof;
    }
    return ClaimsByText(&g_osdList[osd], identity, key) ? PROOF_NOT_BLOCK : -1;
}

static void FillMatch(DevMatch *match, int32_t osd, int32_t verdict, int32_t node, const char *slot)
{
    NameOsd(&g_osdList[osd], match->osdDir);
    match->proof = verdict;
    match->db = s_identities[osd].db;
    if (node >= 0) {
        DescribeTie(&s_identities[osd].block, node, slot, match->keyKind, match->key, match->how);
    } else {
        (void)sprintf_s(match->how, sizeof(match->how), "link text");
    }
}

// Ties entry to the first OSD, in OSD order, that proves it holds the name;
// match, when given, names it or the first OSD that failed the proof.
static void ScanOsds(const char *slot, const char *key, DevMapEntry *entry, DevMatch *match)
{
    char path[MAP_BUFFER_SIZE];
    (void)memset_s(path, sizeof(path), 0, sizeof(path));
    dev_t dev = 0;
    bool known = sprintf_s(path, sizeof(path), "/sys/class/block/%s/dev", slot) >= 0 && ReadDevNumber(path, &dev);
    bool explained = false;
    for (int32_t i = 0; i < s_identityNum && i < g_osdNum; ++i) {
        int32_t node = -1;
        int32_t verdict = JudgeOsd(i, known, dev, key, &node);
        if (verdict == PROOF_LABEL) {
            entry->separateDb = SeparateDb(&g_osdList[i], &s_identities[i], key);
            entry->osdType = g_osdList[i].osdType;
            if (match != nullptr) {
                FillMatch(match, i, verdict, node, slot);
            }
            return;
        }
        if (verdict >= 0 && match != nullptr && !explained) {
            FillMatch(match, i, verdict, node, slot);
            explained = true;
        }
    }
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
    if (match != nullptr) {
        (void)memset_s(match, sizeof(*match), 0, sizeof(*match));
        match->keyKind = keyKind;
        (void)memcpy_s(match->key, sizeof(match->key), key.text, sizeof(key.text));
    }
    ScanOsds(slot, key.text, entry, match);
    return 0;
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
        ReleaseOsdIdentities();
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
    if (ResolveIdentities() != 0 || FillDevMap(map) != 0) {
        free(map);
        return 1;
    }
    InstallDevMap(map, g_devNum);
    return 0;
}
