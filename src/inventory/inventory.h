// Storage inventory: disk names, the three inventory tables, the device map,
// the per-cycle refresh and the target check.
#pragma once

#include <cstdint>

constexpr const char *OSD_DIR = "/var/lib/ceph/osd";
constexpr const char *DEV_DIR = "/dev";

constexpr int DEV_NAME_SLOT = 17;   // 16 characters and NUL
constexpr int FSID_SLOT = 37;       // 36 characters and NUL
constexpr int LIST_MAX_BYTES = 4194304;
constexpr int DEV_MAP_MAX = 174762;

// Object store codes of an OSD's "type" file.
constexpr int32_t OSD_TYPE_MEMSTORE = 0;
constexpr int32_t OSD_TYPE_KVSTORE = 1;
constexpr int32_t OSD_TYPE_FILESTORE = 2;
constexpr int32_t OSD_TYPE_BLUESTORE = 3;
constexpr int32_t OSD_TYPE_NONE = 0xffff;

struct DevMapEntry {
    char name[DEV_NAME_SLOT];  // copy of the whole g_devList slot
    uint8_t separateDb;        // 1: block.db target text differs from block's
    int32_t osdType;           // OSD_TYPE_*
};

// The tables: one heap block each; the pointer is null exactly when the count is 0.
extern char *g_fsidList;
extern int32_t g_fsidNum;
extern char *g_devList;
extern int32_t g_devNum;
extern DevMapEntry *devMap;
extern int32_t g_devMapNum;

// 1 and a NUL-terminated copy in pOutName when pInName is "sd", letters,
// digits; 0 otherwise (pOutName untouched on every refusal before the copy).
int32_t CheckDevName(const char *pInName, char *pOutName, uint32_t outNameLen);

// Cuts devName after its last lowercase letter (sdc2 -> sdc). 1 when cut.
int32_t StripPartition(char *devName, uint32_t nameLen);

// Drops every table pointer without freeing (start of the process only).
void InitDeviceInfo(void);
// Frees every table and zeroes the counts.
void FreeDeviceInfo(void);

// Rebuilds devMap from g_devList. 0: replaced (or emptied); 1: failure,
// the stored devMap untouched.
int32_t BuildDevMap(void);

// 0 when OSD directory entry osdName holds a valid fsid (copied to dest when
// dest is given, destLen - 1 bytes), 1 otherwise.
int32_t ReadOsdFsid(const char *osdName, char *dest, uint32_t destLen);

// One refresh per cycle. 0: ready for an apply pass; 1: failed, all tables
// released.
int32_t UpdateDeviceInfo(void);

// 1 when /sys/block/<name>/queue/rotational reads '1'.
int32_t IsHdd(const char *deviceName);

// 1 when the whole disk deviceName is rotational and devMap holds an entry
// for it or one of its partitions with separateDb 1 and a BlueStore OSD.
int32_t IsTargetDevice(const char *deviceName);

// The rule that decides IsTargetDevice's verdict, for anyone who must explain
// it. Among several entries of one disk, the one that came closest wins.
constexpr int32_t TARGET_SELECTED = 0;         // a target
constexpr int32_t TARGET_NO_NAME = 1;          // deviceName missing
constexpr int32_t TARGET_NOT_ROTATIONAL = 2;   // rotational attribute not '1' or unreadable
constexpr int32_t TARGET_NO_OSD = 3;           // no map entry of it or its partitions ties it to an OSD
constexpr int32_t TARGET_NOT_BLUESTORE = 4;    // tied to an OSD whose type is not BlueStore
constexpr int32_t TARGET_DB_NOT_SEPARATE = 5;  // BlueStore, but block.db not on another device
// Logs exactly what IsTargetDevice logs; TARGET_SELECTED exactly when it says 1.
int32_t TargetRule(const char *deviceName);
