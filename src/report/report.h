// ceph-zarvel-report: one read-only inventory of the sd disks with the
// daemon's verdict on each, for people (a table), scripts (JSON) and
// node_exporter's textfile collector.
#pragma once

#include <cstdint>

#include "inventory/inventory.h"
#include "wcache/wcache.h"

// What one whole disk looks like to the daemon right now.
struct DiskRow {
    char name[DEV_NAME_SLOT];
    int32_t rule;        // TargetRule's verdict (TARGET_*)
    int32_t rotational;  // IsHdd
    int kernel;          // KERNEL_WC_*
    int32_t nodeOpen;    // 1 when /dev/<name> could be opened as the apply pass opens it
    int32_t driveWce;    // 0, 1, or -1 when the Caching page could not be read
    int32_t osdType;     // of the OSD that decided; OSD_TYPE_NONE without a proven OSD
    int32_t separateDb;  // 0 or 1; -1 without a proven OSD
    int32_t proof;       // PROOF_* of the OSD directory that decided
    int32_t db;          // DB_* of it
    char osdDir[OSD_NAME_SLOT];  // that directory below its root; "" when no OSD's block stands on the disk
    char how[MATCH_TEXT_SLOT];   // how its block reaches the disk
};

// The inventory's rows, in its order (sdb before sdaa); the inventory stays
// loaded while a report lives, since partitions are read from g_devList.
struct Report {
    DiskRow *rows;  // heap, count entries; null when count is 0
    int32_t count;
};

// Runs one inventory refresh and reads every disk's facts. 0 with report
// filled (FreeReport releases it and the tables), 1 on failure (nothing held).
int32_t CollectReport(Report *report);
void FreeReport(Report *report);

// The daemon's next move on a disk, and why: the apply pass's own decision.
constexpr int ACTION_NONE = WC_MOVE_NONE;
constexpr int ACTION_SWITCH = WC_MOVE_SWITCH;  // it would try the switch
constexpr int ACTION_RESCAN = WC_MOVE_RESCAN;  // WCE already 0, the kernel still says write back
int RowAction(const DiskRow *row);
// "target", or the first rule that keeps the daemon away from the disk.
const char *RowVerdict(const DiskRow *row);
// 1 when the disk is a target whose drive cache is on or unreadable.
int RowCacheStillOn(const DiskRow *row);

const char *KernelText(int kernel);
const char *ObjectStoreText(int32_t osdType);

// The partition of disk in g_devList that follows previous in name order
// (sdc2 before sdc10); the first for null, null after the last.
const char *NextPartition(const char *disk, const char *previous);

// Formats one piece of output and writes it to stdout. 0, or 1 when it
// could not be formatted or written.
int32_t EmitText(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Output formats; each writes the whole report to stdout. 0, or 1 when a
// line could not be formatted or written.
int32_t PrintTable(const Report *report);
int32_t PrintJson(const Report *report);
int32_t PrintPrometheus(const Report *report);
