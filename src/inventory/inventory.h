// Storage inventory: disk names, the three inventory tables, the device map,
// the per-cycle refresh and the target check.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr const char *OSD_DIR = "/var/lib/ceph/osd";
// cephadm keeps its OSDs in /var/lib/ceph/<cluster uuid>/osd.<id>.
constexpr const char *CEPH_DIR = "/var/lib/ceph";
constexpr const char *DEV_DIR = "/dev";

constexpr int DEV_NAME_SLOT = 17;   // 16 characters and NUL
constexpr int FSID_SLOT = 37;       // 36 characters and NUL
constexpr int LIST_MAX_BYTES = 4194304;
constexpr int DEV_MAP_MAX = 174762;
// More OSD directories than this are not read in one cycle: the first ones
// are kept and the rest waits (a host carries a few dozen).
constexpr int32_t OSD_MAX = 4096;
constexpr int OSD_TEXT_SLOT = 256;

// Object store codes of an OSD's "type" file.
constexpr int32_t OSD_TYPE_MEMSTORE = 0;
constexpr int32_t OSD_TYPE_KVSTORE = 1;
constexpr int32_t OSD_TYPE_FILESTORE = 2;
constexpr int32_t OSD_TYPE_BLUESTORE = 3;
constexpr int32_t OSD_TYPE_NONE = 0xffff;

struct DevMapEntry {
    char name[DEV_NAME_SLOT];  // copy of the whole g_devList slot
    uint8_t separateDb;        // 1: block.db lies on other whole disks than block
    int32_t osdType;           // OSD_TYPE_*
};

// What an OSD directory holds, as one refresh read it. The map is rebuilt
// when any of it changes.
constexpr uint8_t LINK_ABSENT = 0;      // no such entry
constexpr uint8_t LINK_TEXT = 1;        // a link; its text is kept
constexpr uint8_t LINK_UNREADABLE = 2;  // an entry that is no link (or unreadable)
struct OsdRecord {
    char cluster[FSID_SLOT];         // "" in /var/lib/ceph/osd; else its cephadm cluster directory
    char name[OSD_TEXT_SLOT];        // the directory's entry name
    char fsid[FSID_SLOT];            // valid: records without one are not kept
    char block[OSD_TEXT_SLOT];       // link text, "" unless blockState is LINK_TEXT
    char blockDb[OSD_TEXT_SLOT];
    uint8_t blockState;              // LINK_*
    uint8_t blockDbState;
    int32_t blockErrno;              // why a LINK_UNREADABLE entry could not be read
    int32_t blockDbErrno;
    int32_t osdType;                 // OSD_TYPE_* of its "type" file
};

// The tables: one heap block each; the pointer is null exactly when the count is 0.
extern char *g_fsidList;
extern int32_t g_fsidNum;
extern char *g_devList;
extern int32_t g_devNum;
extern DevMapEntry *devMap;
extern int32_t g_devMapNum;
// Every OSD directory with a valid fsid, in root order then directory order
// (g_fsidList holds their fsids in the same order).
extern OsdRecord *g_osdList;
extern int32_t g_osdNum;

// 1 and a NUL-terminated copy in pOutName when pInName is "sd", letters,
// digits; 0 otherwise (pOutName untouched on every refusal before the copy).
int32_t CheckDevName(const char *pInName, char *pOutName, uint32_t outNameLen);

// Cuts devName after its last lowercase letter (sdc2 -> sdc). 1 when cut.
int32_t StripPartition(char *devName, uint32_t nameLen);

// Drops every table pointer without freeing (start of the process only).
void InitDeviceInfo(void);
// Frees every table and zeroes the counts.
void FreeDeviceInfo(void);

// The devices under an OSD's block device, as sysfs shows them: the device
// itself (node 0), then its slaves and theirs (any depth, bounded), and the
// whole disks at the bottom.
constexpr int STACK_MAX = 16;
constexpr int STACK_DEPTH_MAX = 8;
constexpr int STACK_DISKS_MAX = 8;
constexpr int16_t LAYER_DEVICE = 0;  // no device-mapper device
constexpr int16_t LAYER_LV = 1;      // an LVM logical volume
constexpr int16_t LAYER_CRYPT = 2;   // a dm-crypt mapping
constexpr int16_t LAYER_MPATH = 3;   // a multipath map
constexpr int16_t LAYER_DM = 4;      // another device-mapper device
struct StackNode {
    dev_t dev;
    int16_t parent;  // index of the device above it; -1 for node 0
    int16_t layer;   // LAYER_*
};
struct DevStack {
    int32_t num;
    StackNode nodes[STACK_MAX];
    int32_t diskNum;
    dev_t disks[STACK_DISKS_MAX];
};

// What the kernel and the disk say about an OSD's block device.
constexpr int32_t PROOF_NOT_BLOCK = 0;    // block does not lead to a block device
constexpr int32_t PROOF_NO_LABEL = 1;     // no readable BlueStore label on it
constexpr int32_t PROOF_OTHER_LABEL = 2;  // the label of another OSD
constexpr int32_t PROOF_LABEL = 3;        // the OSD's own label: the OSD's data is there
// Where its block.db lies.
constexpr int32_t DB_NONE = 0;         // no block.db, or it leads nowhere
constexpr int32_t DB_SEPARATE = 1;     // on whole disks that block does not use
constexpr int32_t DB_SAME_DISK = 2;    // shares a whole disk with block
constexpr int32_t DB_OTHER_LABEL = 3;  // carries the label of another OSD
constexpr int32_t DB_BY_TEXT = 4;      // no block device behind it: its link text decides
struct OsdIdentity {
    int32_t proof;   // PROOF_*
    int32_t db;      // DB_*
    DevStack block;  // empty unless block leads to a block device
};

// The 60 bytes at the start of every BlueStore device: this text, the OSD's
// uuid and a line feed.
constexpr const char *BLUESTORE_LABEL = "bluestore block device\n";
constexpr int BLUESTORE_LABEL_SIZE = 60;

// Resolves the block and block.db links of osd down to devices and reads
// the label. An unreadable label is logged (once per call).
void ResolveOsdIdentity(const OsdRecord *osd, OsdIdentity *identity);
// The device number in sysfs attribute path ("8:34"). False when unreadable.
bool ReadDevNumber(const char *path, dev_t *dev);
// Index of the node dev in stack, -1 when it is not under the block device.
int32_t StackNodeOf(const DevStack *stack, dev_t dev);
// Releases the identities of the last map build (FreeDeviceInfo does).
void ReleaseOsdIdentities(void);

// For ceph-zarvel-report: how a listed name was tied to an OSD, or why it
// was not.
constexpr int32_t MATCH_BY_DEVICE = 0;  // the name is no volume group member: its own name is the key
constexpr int32_t MATCH_BY_VG = 1;      // the key is the name's volume group
constexpr int MATCH_TEXT_SLOT = 256;
struct DevMatch {
    int32_t keyKind;               // MATCH_BY_*
    char key[MATCH_TEXT_SLOT];     // the volume group, or the name
    char osdDir[MATCH_TEXT_SLOT];  // the OSD directory ("<cluster>/osd.<id>" under cephadm); "" when none
    int32_t proof;                 // PROOF_* of that OSD: PROOF_LABEL when tied
    int32_t db;                    // DB_* of that OSD
    char how[MATCH_TEXT_SLOT];     // "device", "vg:ceph-a", "dm-crypt>lv>sdb", "link text"
};

// The map build's work for one 17-byte name slot (BuildDevMap's, and for
// ceph-zarvel-report with match given): the first OSD whose block
// device is the name's device or stands on it, proven by the OSD's label.
// Sets entry's separateDb and osdType (never its name) and, when match is
// given, fills it: the tying OSD, else the first OSD that claims the name
// but failed the proof. 0, or 1 when the build must fail.
int32_t MatchDevName(const char *slot, DevMapEntry *entry, DevMatch *match);

// Rebuilds devMap from g_devList. 0: replaced (or emptied); 1: failure,
// the stored devMap untouched.
int32_t BuildDevMap(void);

// 0 when OSD directory entry osdName holds a valid fsid (copied to dest when
// dest is given, destLen - 1 bytes), 1 otherwise.
int32_t ReadOsdFsid(const char *osdName, char *dest, uint32_t destLen);
// The same for the fsid file of the OSD directory open at osdFd; dirPath
// names that directory in log lines.
int32_t ReadFsidAt(int osdFd, const char *dirPath, char *dest, uint32_t destLen);

// Reads every OSD root once: /var/lib/ceph/osd/* and cephadm's
// /var/lib/ceph/<cluster uuid>/osd.<id>. 0 with a new heap block of records
// (null and 0 when none), 1 when a root cannot be read (nothing held).
int32_t ReadOsdRoots(OsdRecord **list, int32_t *count);
// "<root>/<name>/<entry>" of an OSD record into path. False when it does not fit.
bool OsdPath(const OsdRecord *osd, const char *entry, char *path, size_t pathLen);
// Grows a heap block of slots when it is full (doubling). False when out of memory.
bool GrowSlots(void **block, int32_t *capacity, int32_t used, size_t slotSize);

// One refresh per cycle. 0: ready for an apply pass; 1: failed, all tables
// released.
int32_t UpdateDeviceInfo(void);

// 1 when /sys/block/<name>/queue/rotational reads '1'.
int32_t IsHdd(const char *deviceName);

// 1 when the whole disk deviceName is rotational and devMap holds an entry
// for it or one of its partitions with separateDb 1 and a BlueStore OSD.
int32_t IsTargetDevice(const char *deviceName);

// The rule that decides IsTargetDevice's verdict; TargetRule and
// DecidingEntry are for ceph-zarvel-report, which must explain it. Among
// several entries of one disk, the one that came closest wins.
constexpr int32_t TARGET_SELECTED = 0;         // a target
constexpr int32_t TARGET_NO_NAME = 1;          // deviceName missing
constexpr int32_t TARGET_NOT_ROTATIONAL = 2;   // rotational attribute not '1' or unreadable
constexpr int32_t TARGET_NO_OSD = 3;           // no map entry of it or its partitions ties it to an OSD
constexpr int32_t TARGET_NOT_BLUESTORE = 4;    // tied to an OSD whose type is not BlueStore
constexpr int32_t TARGET_DB_NOT_SEPARATE = 5;  // BlueStore, but block.db not on another device
// Logs exactly what IsTargetDevice logs; TARGET_SELECTED exactly when it says 1.
int32_t TargetRule(const char *deviceName);
// The devMap index of the entry of deviceName or its partitions that decides
// TargetRule's verdict once rotation is left aside, and that verdict in
// *rule; -1 (and TARGET_NO_OSD) when no entry belongs to the disk.
int32_t DecidingEntry(const char *deviceName, int32_t *rule);
