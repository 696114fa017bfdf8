// The device stack under an OSD's device, as sysfs shows it: every holder
// the kernel lists (device-mapper, md, bcache, ...) followed through its
// slaves down to the whole disks, within bounds no real stack reaches.
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "sysaccess/sysfs.h"

// The kind of device-mapper device, by the prefix of its dm uuid.
static int16_t LayerOf(const SysfsDev *sd)
{
    static const struct {
        const char *prefix;
        int16_t layer;
    } LAYERS[] = {{"LVM-", LAYER_LV}, {"CRYPT-", LAYER_CRYPT}, {"mpath-", LAYER_MPATH}};
    char uuid[SYSFS_TEXT_SIZE];
    if (!SysfsReadText(sd, "dm/uuid", uuid, sizeof(uuid))) {
        return LAYER_DEVICE;
    }
    for (const auto &kind : LAYERS) {
        if (strncmp(uuid, kind.prefix, strlen(kind.prefix)) == 0) {
            return kind.layer;
        }
    }
    return LAYER_DM;
}

static bool Known(const DevStack *stack, dev_t dev)
{
    for (int32_t i = 0; i < stack->num; ++i) {
        if (stack->nodes[i].dev == dev) {
            return true;
        }
    }
    return false;
}

static void AddWholeDisk(DevStack *stack, dev_t disk, int32_t node)
{
    for (int32_t i = 0; i < stack->diskNum; ++i) {
        if (stack->disks[i] == disk) {
            return;
        }
    }
    if (stack->diskNum < STACK_MAX) {
        stack->disks[stack->diskNum] = disk;
        stack->diskNode[stack->diskNum] = static_cast<int16_t>(node);
        ++stack->diskNum;
    }
}

static int32_t DepthOf(const DevStack *stack, int32_t index)
{
    int32_t depth = 0;
    for (int16_t at = stack->nodes[index].parent; at >= 0; at = stack->nodes[at].parent) {
        ++depth;
    }
    return depth;
}

// Adds the slaves of node index not met before. False when it has none: it
// is at the bottom of the stack.
static bool AddSlaves(DevStack *stack, int32_t index, const SysfsDev *sd)
{
    dev_t slaves[STACK_MAX];
    int32_t count = SysfsListDevs(sd, "slaves", slaves, STACK_MAX);
    bool any = false;
    for (int32_t i = 0; i < count && stack->num < STACK_MAX; ++i) {
        any = true;
        if (!Known(stack, slaves[i])) {
            stack->nodes[stack->num++] = StackNode{slaves[i], static_cast<int16_t>(index)};
        }
    }
    return any;
}

void BuildStack(DevStack *stack, dev_t dev)
{
    stack->nodes[0] = StackNode{dev, -1};
    stack->num = 1;
    stack->diskNum = 0;
    SysfsDev sd;
    for (int32_t i = 0; i < stack->num; ++i) {
        if (!SysfsOpen(stack->nodes[i].dev, &sd)) {
            continue;
        }
        bool below = DepthOf(stack, i) < STACK_DEPTH_MAX && AddSlaves(stack, i, &sd);
        dev_t disk = 0;
        if (!below && SysfsWholeDisk(&sd, &disk)) {
            AddWholeDisk(stack, disk, i);
        }
        SysfsClose(&sd);
    }
}

// The volume group of an LVM device-mapper name: LVM joins the group and
// the volume with one '-' and doubles each '-' inside either.
static void VolumeGroupOf(const char *dmName, char *vg, size_t size)
{
    size_t used = 0;
    (void)memset_s(vg, size, 0, size);
    for (const char *c = dmName; *c != '\0' && used + 1 < size; ++c) {
        if (*c == '-' && c[1] != '-') {
            return;
        }
        vg[used++] = *c;
        c += *c == '-' ? 1 : 0;
    }
}

// The words of one layer: the device-mapper kind, else the kernel's name
// without its number ("md", "bcache").
static void LayerText(dev_t dev, char *text, size_t size)
{
    static const char *const DM_WORDS[] = {"dev", "lv", "dm-crypt", "multipath", "dm"};
    (void)memset_s(text, size, 0, size);
    SysfsDev sd;
    if (!SysfsOpen(dev, &sd)) {
        (void)sprintf_s(text, size, "dev");
        return;
    }
    int16_t layer = LayerOf(&sd);
    if (layer != LAYER_DEVICE || !SysfsKernelName(&sd, text, size)) {
        (void)sprintf_s(text, size, "%s", DM_WORDS[layer]);
    }
    SysfsClose(&sd);
    if (layer != LAYER_DEVICE) {
        return;
    }
    size_t len = strlen(text);
    while (len > 1 && text[len - 1] >= '0' && text[len - 1] <= '9') {
        text[--len] = '\0';
    }
}

// "vg:<group>" for a plain logical volume on node; false otherwise.
static bool DescribeVolumeGroup(const DevStack *stack, int32_t node, char *how)
{
    SysfsDev sd;
    char dmName[SYSFS_TEXT_SIZE];
    char vg[SYSFS_TEXT_SIZE];
    if (stack->nodes[node].parent != 0 || !SysfsOpen(stack->nodes[0].dev, &sd)) {
        return false;
    }
    bool named = LayerOf(&sd) == LAYER_LV && SysfsReadText(&sd, "dm/name", dmName, sizeof(dmName));
    SysfsClose(&sd);
    if (!named) {
        return false;
    }
    VolumeGroupOf(dmName, vg, sizeof(vg));
    return vg[0] != '\0' && sprintf_s(how, MATCH_TEXT_SLOT, "vg:%s", vg) >= 0;
}

static void DescribeTie(const DevStack *stack, int32_t disk, char *how)
{
    int32_t node = stack->diskNode[disk];
    (void)memset_s(how, MATCH_TEXT_SLOT, 0, MATCH_TEXT_SLOT);
    if (node == 0) {
        (void)sprintf_s(how, MATCH_TEXT_SLOT, "device");
        return;
    }
    if (DescribeVolumeGroup(stack, node, how)) {
        return;
    }
    int16_t path[STACK_DEPTH_MAX + 2];
    int depth = 0;
    for (int16_t at = static_cast<int16_t>(node); at >= 0 && depth < STACK_DEPTH_MAX + 2; at = stack->nodes[at].parent) {
        path[depth++] = at;
    }
    size_t used = 0;
    char word[SYSFS_NAME_SIZE];
    SysfsDev sd;
    while (--depth > 0 && used < MATCH_TEXT_SLOT) {
        LayerText(stack->nodes[path[depth]].dev, word, sizeof(word));
        int rc = sprintf_s(how + used, MATCH_TEXT_SLOT - used, "%s>", word);
        used += rc > 0 ? static_cast<size_t>(rc) : MATCH_TEXT_SLOT;
    }
    if (used < MATCH_TEXT_SLOT && SysfsOpen(stack->nodes[node].dev, &sd)) {
        if (SysfsKernelName(&sd, word, sizeof(word))) {
            (void)sprintf_s(how + used, MATCH_TEXT_SLOT - used, "%s", word);
        }
        SysfsClose(&sd);
    }
}

void DescribeRow(const InventoryRow *row, char *how)
{
    static DevStack stack;
    (void)memset_s(how, MATCH_TEXT_SLOT, 0, MATCH_TEXT_SLOT);
    if (row->osd < 0 || row->osd >= g_osdNum || g_osdList[row->osd].block == 0) {
        return;
    }
    BuildStack(&stack, g_osdList[row->osd].block);
    for (int32_t disk = 0; disk < stack.diskNum; ++disk) {
        if (stack.disks[disk] == row->dev) {
            DescribeTie(&stack, disk, how);
            return;
        }
    }
}
