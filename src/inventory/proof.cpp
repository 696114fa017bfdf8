// The proof of one OSD directory: where block and block.db lead as the
// kernel sees them (one stat each, the link never trusted: only the device
// number it ends at counts, or the node's own when Rook copied the node
// itself), the stacks under them, and what their labels say. Redone every
// cycle, so that a device that appears or changes is seen in the next one.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "bounded/bounded.h"
#include "inventory/inventory.h"
#include "log/log.h"

// The block device entry leads to; false when it leads to none.
static bool DeviceOf(int osdFd, const char *entry, dev_t *dev)
{
    struct stat st;
    if (fstatat(osdFd, entry, &st, 0) != 0 || !S_ISBLK(st.st_mode)) {
        return false;
    }
    *dev = st.st_rdev;
    return true;
}

static bool SharesDisk(const DevStack *a, const DevStack *b)
{
    for (int32_t i = 0; i < a->diskNum; ++i) {
        for (int32_t j = 0; j < b->diskNum; ++j) {
            if (a->disks[i] == b->disks[j]) {
                return true;
            }
        }
    }
    return false;
}

// What the database's own label says of it: only this OSD's "bluefs db"
// label proves a database; another OSD's label, or this OSD's data label,
// proves it is none; anything else is doubt, which counts as separate.
static int32_t DbByLabel(const DeviceLabel *label, const char *fsid)
{
    if (label->state != LABEL_FOUND || label->description[0] == '\0') {
        return label->state == LABEL_FOUND && memcmp(label->uuid, fsid, FSID_SLOT - 1) != 0 ? DB_OTHER_LABEL : DB_DOUBT;
    }
    if (memcmp(label->uuid, fsid, FSID_SLOT - 1) != 0) {
        return DB_OTHER_LABEL;
    }
    return strcmp(label->description, "bluefs db") == 0 ? DB_SEPARATE : DB_OTHER_LABEL;
}

// Where block.db of a proven OSD lies (DB_*).
static int32_t DbPlacement(int osdFd, const char *dirPath, const OsdRecord *osd, const DevStack *block)
{
    static DevStack db;
    // No block.db, or a link that leads nowhere, is no database.
    struct stat st;
    if (fstatat(osdFd, "block.db", &st, 0) != 0) {
        return DB_NONE;
    }
    if (!S_ISBLK(st.st_mode)) {
        return DB_DOUBT;
    }
    dev_t dev = st.st_rdev;
    BuildStack(&db, dev);
    if (SharesDisk(&db, block)) {
        return DB_SAME_DISK;
    }
    DeviceLabel label;
    ReadLabelOnce(dev, dirPath, &label);
    return DbByLabel(&label, osd->fsid);
}

static int32_t ProofOf(dev_t dev, const char *dirPath, const OsdRecord *osd)
{
    DeviceLabel label;
    ReadLabelOnce(dev, dirPath, &label);
    if (label.state != LABEL_FOUND) {
        return PROOF_NO_LABEL;
    }
    return memcmp(label.uuid, osd->fsid, FSID_SLOT - 1) == 0 ? PROOF_LABEL : PROOF_OTHER_LABEL;
}

// A fresh record for the directory, its fsid and type read; null when it
// holds no valid fsid or memory runs out.
static OsdRecord *NewRecord(InventoryBuild *build, int osdFd, const char *dirPath, const char *name)
{
    char fsid[FSID_SLOT];
    (void)memset_s(fsid, sizeof(fsid), 0, sizeof(fsid));
    if (ReadFsidAt(osdFd, dirPath, fsid, sizeof(fsid)) != 0) {
        return nullptr;
    }
    void *block = build->osds;
    if (!GrowSlots(&block, &build->osdCap, build->osdNum, sizeof(OsdRecord))) {
        build->failed = true;
        return nullptr;
    }
    build->osds = static_cast<OsdRecord *>(block);
    OsdRecord *osd = &build->osds[build->osdNum];
    (void)memset_s(osd, sizeof(*osd), 0, sizeof(*osd));
    (void)strncpy_s(osd->name, sizeof(osd->name), name, sizeof(osd->name) - 1);
    (void)memcpy_s(osd->fsid, sizeof(osd->fsid), fsid, sizeof(fsid));
    osd->osdType = ReadTypeAt(osdFd, dirPath);
    osd->proof = PROOF_NOT_BLOCK;
    osd->db = DB_NONE;
    return osd;
}

bool AddOsdRecord(InventoryBuild *build, int osdFd, const char *dirPath, const char *name)
{
    static DevStack stack;
    OsdRecord *osd = NewRecord(build, osdFd, dirPath, name);
    if (osd == nullptr) {
        return false;
    }
    int32_t index = build->osdNum++;
    dev_t dev = 0;
    if (!DeviceOf(osdFd, "block", &dev)) {
        return true;
    }
    BuildStack(&stack, dev);
    osd->block = dev;
    osd->proof = ProofOf(dev, dirPath, osd);
    if (osd->proof == PROOF_LABEL) {
        osd->db = DbPlacement(osdFd, dirPath, osd, &stack);
    }
    TieRows(build, index, &stack);
    return true;
}
