// BlueStore labels: the first bytes of an OSD's devices, each device read
// once per refresh through the bounded head read. A device that does not
// answer costs its own OSD only.
#include <sys/sysmacros.h>

#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"
#include "sysaccess/devhead.h"
#include "sysaccess/sysfs.h"

// One read of 4096 bytes suits every logical block size, so that a read
// that bypasses the page cache is aligned on any disk.
constexpr uint32_t HEAD_SIZE = 4096;
constexpr size_t LABEL_TEXT_LEN = 23;  // "bluestore block device\n"
// After the 60 bytes: struct_v, compat, length (6 bytes), the uuid (16),
// size (8) and birth time (8); then the description's length and bytes.
constexpr size_t DESCRIPTION_AT = BLUESTORE_LABEL_SIZE + 6 + 16 + 8 + 8;

struct KnownLabel {
    dev_t dev;
    DeviceLabel label;
};

static KnownLabel *s_known = nullptr;
static int32_t s_knownNum = 0;
static int32_t s_knownCap = 0;

void ForgetLabels(void)
{
    free(s_known);
    s_known = nullptr;
    s_knownNum = 0;
    s_knownCap = 0;
}

static void ParseLabel(const uint8_t *head, DeviceLabel *label)
{
    if (memcmp(head, BLUESTORE_LABEL, LABEL_TEXT_LEN) != 0 || head[BLUESTORE_LABEL_SIZE - 1] != '\n') {
        label->state = LABEL_NONE;
        return;
    }
    label->state = LABEL_FOUND;
    (void)memcpy_s(label->uuid, sizeof(label->uuid), head + LABEL_TEXT_LEN, FSID_SLOT - 1);
    uint32_t length = static_cast<uint32_t>(head[DESCRIPTION_AT]) | static_cast<uint32_t>(head[DESCRIPTION_AT + 1]) << 8 |
                      static_cast<uint32_t>(head[DESCRIPTION_AT + 2]) << 16 |
                      static_cast<uint32_t>(head[DESCRIPTION_AT + 3]) << 24;
    if (length < LABEL_DESC_SLOT) {
        (void)memcpy_s(label->description, sizeof(label->description), head + DESCRIPTION_AT + 4, length);
    }
}

// The node the kernel names dev by, for log lines: "/dev/<name>", else "M:m".
static void NodeText(dev_t dev, char *text, size_t size)
{
    SysfsDev sd;
    char name[SYSFS_NAME_SIZE];
    bool named = SysfsOpen(dev, &sd) && SysfsKernelName(&sd, name, sizeof(name));
    SysfsClose(&sd);
    (void)memset_s(text, size, 0, size);
    if (named) {
        (void)sprintf_s(text, size, "/dev/%s", name);
    } else {
        (void)sprintf_s(text, size, "%u:%u", major(dev), minor(dev));
    }
}

static void ReadLabel(dev_t dev, const char *dirPath, DeviceLabel *label)
{
    alignas(HEAD_SIZE) static uint8_t head[HEAD_SIZE];
    (void)memset_s(label, sizeof(*label), 0, sizeof(*label));
    (void)memset_s(head, sizeof(head), 0, sizeof(head));
    int32_t error = 0;
    int32_t rc = ReadDeviceHead(dev, head, HEAD_SIZE, HEAD_DEADLINE_MS, &error);
    if (rc == HEAD_OK) {
        ParseLabel(head, label);
        return;
    }
    label->state = LABEL_UNREADABLE;
    char node[SYSFS_NAME_SIZE + 8];
    NodeText(dev, node, sizeof(node));
    if (rc == HEAD_FAILED) {
        WriteLog(LOG_WARNING, "read label error:%s on %s return:%d\n", dirPath, node, error);
    } else {
        WriteLog(LOG_WARNING, "device does not answer:%s on %s\n", dirPath, node);
    }
}

void ReadLabelOnce(dev_t dev, const char *dirPath, DeviceLabel *label)
{
    for (int32_t i = 0; i < s_knownNum; ++i) {
        if (s_known[i].dev == dev) {
            *label = s_known[i].label;
            return;
        }
    }
    ReadLabel(dev, dirPath, label);
    void *block = s_known;
    if (GrowSlots(&block, &s_knownCap, s_knownNum, sizeof(KnownLabel))) {
        s_known = static_cast<KnownLabel *>(block);
        s_known[s_knownNum].dev = dev;
        s_known[s_knownNum].label = *label;
        ++s_knownNum;
    }
}
