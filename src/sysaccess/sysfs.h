// The one reader of the kernel's block-device directories in sysfs, after
// the shape of util-linux's lib/sysfs.c: a device is opened once by its
// number (/sys/dev/block/M:m, the kernel's own link) and every attribute is
// read relative to that directory by the small-file reader, so no link is
// followed in an attribute's last component and every read is one bounded
// read. The inventory, the apply pass and the report all read through it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct SysfsDev {
    dev_t dev;
    int dirFd;  // the device's sysfs directory; -1 when not open
};

// Room for one attribute's text ("write back", "LVM-<64 characters>", ...).
constexpr int SYSFS_TEXT_SIZE = 256;
// Room for a kernel device name ("sdaa1", "dm-12", "nvme0n1p3", "md127").
constexpr int SYSFS_NAME_SIZE = 32;

// Opens block device dev's directory. False (and dirFd -1) when the kernel
// has no such device.
bool SysfsOpen(dev_t dev, SysfsDev *sd);
// The same by kernel name (/sys/class/block/<name>): names holding a '/' or
// made of dots are refused.
bool SysfsOpenName(const char *name, SysfsDev *sd);
void SysfsClose(SysfsDev *sd);

// Attribute attr (a path relative to the device's directory, "dm/uuid",
// "queue/rotational") into text, NUL terminated, one trailing line feed cut.
// False when absent, not a regular file, unreadable or longer than size - 1.
bool SysfsReadText(const SysfsDev *sd, const char *attr, char *text, size_t size);
// A decimal attribute ("partition", "dm/suspended", "size").
bool SysfsReadInt(const SysfsDev *sd, const char *attr, int64_t *value);
// A "M:m" attribute ("dev").
bool SysfsReadDevNo(const SysfsDev *sd, const char *attr, dev_t *dev);
// Parses "M:m" (a line feed may follow). False on anything else.
bool ParseDevNo(const char *text, dev_t *dev);
// The device's kernel name, as its /sys/dev/block link names it.
bool SysfsKernelName(const SysfsDev *sd, char *name, size_t size);
// Device numbers of the entries of subdirectory subdir ("slaves",
// "holders"), at most max, in directory order. -1 when it cannot be read
// (a device without such a directory has none: 0).
int32_t SysfsListDevs(const SysfsDev *sd, const char *subdir, dev_t *devs, int32_t max);
// The whole disk the device belongs to: its parent for a partition, else
// itself. False when a partition's parent cannot be read.
bool SysfsWholeDisk(const SysfsDev *sd, dev_t *disk);
// One write of value to attribute attr ("device/rescan"). False on failure,
// errno kept.
bool SysfsWrite(const SysfsDev *sd, const char *attr, const char *value);
