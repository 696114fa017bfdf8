// Storage inventory, built each cycle from the OSDs down: the OSD
// directories of every root, each proven by the kernel and the BlueStore
// labels, and one row per whole sd disk with the verdict's facts.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr const char *OSD_DIR = "/var/lib/ceph/osd";
// cephadm keeps its OSDs in /var/lib/ceph/<cluster uuid>/osd.<id>.
constexpr const char *CEPH_DIR = "/var/lib/ceph";
// Rook keeps them in /var/lib/rook/<namespace>/<ceph fsid>_<osd uuid> (host
// disks) and /var/lib/rook/<namespace>/<pvc>/ceph-<id> (OSDs on PVCs).
constexpr const char *ROOK_DIR = "/var/lib/rook";
// The whole disks, as the kernel lists them.
constexpr const char *SYS_BLOCK_DIR = "/sys/block";

constexpr int DEV_NAME_SLOT = 17;   // 16 characters and NUL
constexpr int FSID_SLOT = 37;       // 36 characters and NUL
constexpr int OSD_NAME_SLOT = 256;  // how the report names an OSD directory
// More OSD directories than this in one root are not read in one cycle: the
// first ones are kept and the rest waits (a host carries a few dozen). Each
// root has its own count, so a flood in one starves no other.
constexpr int32_t OSD_MAX = 4096;
// More sd names than this (disks and partitions) are not read in one cycle.
constexpr int32_t DEV_NAME_MAX = 174762;

// Object store codes of an OSD's "type" file.
constexpr int32_t OSD_TYPE_MEMSTORE = 0;
constexpr int32_t OSD_TYPE_KVSTORE = 1;
constexpr int32_t OSD_TYPE_FILESTORE = 2;
constexpr int32_t OSD_TYPE_BLUESTORE = 3;
constexpr int32_t OSD_TYPE_NONE = 0xffff;

// What the kernel and the disk say about an OSD's block device.
constexpr int32_t PROOF_NOT_BLOCK = 0;    // block does not lead to a block device
constexpr int32_t PROOF_NO_LABEL = 1;     // no readable BlueStore label on it
constexpr int32_t PROOF_OTHER_LABEL = 2;  // the label of another OSD
constexpr int32_t PROOF_LABEL = 3;        // the OSD's own label: the OSD's data is there
// Where its block.db lies.
constexpr int32_t DB_NONE = 0;         // no block.db, or it leads nowhere
constexpr int32_t DB_SEPARATE = 1;     // on other whole disks, with this OSD's "bluefs db" label
constexpr int32_t DB_SAME_DISK = 2;    // shares a whole disk with block
constexpr int32_t DB_OTHER_LABEL = 3;  // another OSD's label, or this OSD's "main" one
constexpr int32_t DB_DOUBT = 4;        // unreadable, no label, or no block device: counts as separate

// One OSD directory with a valid fsid, as this cycle read and proved it.
struct OsdRecord {
    char name[OSD_NAME_SLOT];  // below its root: "ceph-0", "<cluster>/osd.3", "<ns>/<pvc>/ceph-1"
    char fsid[FSID_SLOT];
    int32_t osdType;  // OSD_TYPE_* of its "type" file
    int32_t proof;    // PROOF_* of block
    int32_t db;       // DB_* of block.db (DB_NONE unless proof is PROOF_LABEL)
    dev_t block;      // the device block leads to; 0 when none
};

// One whole sd disk, and the OSD directory that decides its verdict.
constexpr int MATCH_TEXT_SLOT = 256;
struct InventoryRow {
    dev_t dev;
    char name[DEV_NAME_SLOT];     // kernel name
    int32_t rotational;           // 1 when queue/rotational reads '1'
    int32_t osd;                  // index in g_osdList; -1 when no OSD's block stands on it
    int32_t proof;                // PROOF_* of that OSD
    int32_t db;                   // DB_* of that OSD
    int32_t osdType;              // OSD_TYPE_* of that OSD
};

// The inventory of the last refresh; each pointer is null exactly when its
// count is 0.
extern OsdRecord *g_osdList;
extern int32_t g_osdNum;
// Rows in kernel name order (sdz before sdaa).
extern InventoryRow *g_rows;
extern int32_t g_rowNum;
// Every sd name of /sys/block and its disks' partitions (17-byte slots).
extern char *g_devList;
extern int32_t g_devNum;

// 1 and a NUL-terminated copy in pOutName when pInName is "sd", letters,
// digits; 0 otherwise (pOutName untouched on every refusal before the copy).
int32_t CheckDevName(const char *pInName, char *pOutName, uint32_t outNameLen);
// Cuts devName after its last lowercase letter (sdc2 -> sdc). 1 when cut.
int32_t StripPartition(char *devName, uint32_t nameLen);

// Kernel order of disk names: shorter first (sdz before sdaa), then by letter.
int CompareDevNames(const char *a, const char *b);

// Drops every table pointer without freeing (start of the process only).
void InitDeviceInfo(void);
// Frees every table and zeroes the counts.
void FreeDeviceInfo(void);
// One refresh per cycle. 0: ready for an apply pass; 1: failed, all tables
// released.
int32_t UpdateDeviceInfo(void);

// The directories the last refresh read on the way to the OSDs (each root,
// cephadm cluster, Rook namespace and PVC directory, each OSD directory), as
// absolute paths: what a watcher must watch to see the OSDs change.
int32_t InventoryDirCount(void);
const char *InventoryDir(int32_t index);

// ---- the steps of a refresh --------------------------------------------
// The growable lists one refresh builds.
struct InventoryBuild {
    OsdRecord *osds;
    int32_t osdNum, osdCap;
    InventoryRow *rows;
    int32_t rowNum, rowCap;
    char *names;
    int32_t nameNum, nameCap;
    char *dirText;  // NUL-separated paths
    size_t dirUsed, dirTextCap;
    int32_t *dirAt;  // offset of each path in dirText
    int32_t dirNum, dirCap;
    bool failed;  // out of memory
};
// Replaces the stored inventory by the complete build.
void InstallInventory(InventoryBuild *build);
// Releases an incomplete build.
void DiscardInventory(InventoryBuild *build);
// Grows a heap block of slots when it is full (doubling). False when out of memory.
bool GrowSlots(void **block, int32_t *capacity, int32_t used, size_t slotSize);
// Adds path to the directories read. False when out of memory.
bool AddInventoryDir(InventoryBuild *build, const char *path);
// The rows of every sd whole disk and the names of their partitions. False
// when /sys/block cannot be read or memory runs out.
bool ReadDiskRows(InventoryBuild *build);
// Reads every root and proves each OSD directory found, tying the rows of
// the disks under it.
void ReadOsdRoots(InventoryBuild *build);
// Reads and proves the OSD directory open at osdFd (path dirPath, named name
// in the report); false when it holds no valid fsid (nothing added).
bool AddOsdRecord(InventoryBuild *build, int osdFd, const char *dirPath, const char *name);

// 0 when the fsid file of the OSD directory open at osdFd holds a valid
// fsid (copied to dest when given, destLen - 1 bytes), 1 otherwise; dirPath
// names that directory in log lines.
int32_t ReadFsidAt(int osdFd, const char *dirPath, char *dest, uint32_t destLen);

// The object store named by the first line of the "type" file there.
int32_t ReadTypeAt(int osdFd, const char *dirPath);

// The 60 bytes at the start of every BlueStore device (this text, the OSD's
// uuid and a line feed), then the encoded label with its description.
constexpr const char *BLUESTORE_LABEL = "bluestore block device\n";
constexpr int BLUESTORE_LABEL_SIZE = 60;
constexpr int LABEL_DESC_SLOT = 16;
// LABEL_*: what one device's first bytes said this cycle.
constexpr int32_t LABEL_FOUND = 0;
constexpr int32_t LABEL_NONE = 1;        // it answered, and holds no label
constexpr int32_t LABEL_UNREADABLE = 2;  // an error, or no answer in time
struct DeviceLabel {
    int32_t state;  // LABEL_*
    char uuid[FSID_SLOT];
    char description[LABEL_DESC_SLOT];  // "main", "bluefs db", "bluefs wal"; "" when unknown
};
// The label of block device dev, read at most once per device per refresh;
// a device that did not answer is logged once, with dirPath, the OSD
// directory that asked first.
void ReadLabelOnce(dev_t dev, const char *dirPath, DeviceLabel *label);
// Forgets the labels read (at the start of each refresh).
void ForgetLabels(void);

// The devices under an OSD's block device, as sysfs shows them: the device
// itself (node 0), then every holder's slaves (device-mapper, md, bcache,
// whatever the kernel lists) and theirs, down to the whole disks. The walk
// ends at bounds no real stack reaches.
constexpr int STACK_MAX = 256;
constexpr int STACK_DEPTH_MAX = 16;
// What a layer of the stack is, for the report's description of a tie.
constexpr int16_t LAYER_DEVICE = 0;  // no device-mapper device
constexpr int16_t LAYER_LV = 1;      // an LVM logical volume
constexpr int16_t LAYER_CRYPT = 2;   // a dm-crypt mapping
constexpr int16_t LAYER_MPATH = 3;   // a multipath map
constexpr int16_t LAYER_DM = 4;      // another device-mapper device
struct StackNode {
    dev_t dev;
    int16_t parent;  // index of the device above it; -1 for node 0
};
struct DevStack {
    int32_t num;
    StackNode nodes[STACK_MAX];
    int32_t diskNum;
    dev_t disks[STACK_MAX];
    int16_t diskNode[STACK_MAX];  // the node that stands on each disk
};
void BuildStack(DevStack *stack, dev_t dev);
// How the block device of the row's OSD reaches the disk, for the report
// (MATCH_TEXT_SLOT bytes): "device", "vg:ceph-a", "dm-crypt>lv>sdb2"; ""
// without an OSD. The apply pass has no need of it.
void DescribeRow(const InventoryRow *row, char *how);
// Offers OSD record osd to the row of each whole disk of its block stack:
// the OSD that comes closest to making a disk a target decides it.
void TieRows(InventoryBuild *build, int32_t osd, const DevStack *stack);

// 1 when /sys/block/<name>/queue/rotational reads '1'.
int32_t IsHdd(const char *deviceName);
// The same for the device open at sd.
struct SysfsDev;
int32_t SysfsIsRotational(const SysfsDev *sd);

// The verdict on one row: the rule that keeps the daemon away from the disk,
// or TARGET_SELECTED. The apply pass and the report both go by it.
constexpr int32_t TARGET_SELECTED = 0;         // a target
constexpr int32_t TARGET_NO_NAME = 1;          // no row
constexpr int32_t TARGET_NOT_ROTATIONAL = 2;   // rotational attribute not '1' or unreadable
constexpr int32_t TARGET_NO_OSD = 3;           // no OSD's own label proves its data is there
constexpr int32_t TARGET_NOT_BLUESTORE = 4;    // tied to an OSD whose type is not BlueStore
constexpr int32_t TARGET_DB_NOT_SEPARATE = 5;  // BlueStore, but block.db not on another device
int32_t TargetRule(const InventoryRow *row);
// The same verdict with rotation left aside: which of two OSDs decides a disk.
int32_t OsdRule(int32_t proof, int32_t db, int32_t osdType);
// The row of whole disk name; null when there is none.
const InventoryRow *FindRow(const char *name);
