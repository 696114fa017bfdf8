// Write-cache control: SCSI transport, Caching mode page, switch and flush,
// the kernel's view, and the apply pass. Sensing (transport.cpp,
// modepage.cpp, kernelview.cpp, move.cpp, opennode.cpp) is in zcore, which
// the read-only report links; every command that changes a drive or the
// kernel's view (modeselect.cpp, switch.cpp, flush.cpp, rescan.cpp) and the
// apply pass are in zchange, which only the daemon links.
#pragma once

#include <cstdint>

// One SCSI command; the issuer clears it and owns every buffer.
struct SgRequest {
    uint8_t *cdb;
    int32_t cdbLen;     // 6, 10, 12 or 16
    int32_t direction;  // SG_DXFER_NONE / SG_DXFER_TO_DEV / SG_DXFER_FROM_DEV
    void *data;
    uint32_t dataLen;
    uint8_t *sense;
    int32_t senseLen;
    uint32_t timeout;   // milliseconds; 0 means 60000
    uint32_t *received; // optional: bytes the device really moved, set on success
};

// Mode parameter data handed to MODE SENSE / MODE SELECT.
struct ModeBuffer {
    uint32_t bufferLen;
    uint8_t *modeData;
};

constexpr uint32_t SG_DEFAULT_TIMEOUT_MS = 60000;
constexpr uint32_t MODE_DATA_MAX = 8192;
constexpr int SENSE_LEN = 64;

// Sends one command with SG_IO. 0 success, 1 failure. With checkAtaStatus
// bit 0 set, CHECK CONDITION whose ATA status (sense byte 21) shows neither
// ERR nor DRQ counts as success.
int32_t SendSgIo(int fd, const SgRequest *request, int32_t checkAtaStatus);

// One MODE SENSE(10) (useTenByte 1) or (6) of page[0]/page[1] into modeBuffer.
// On success bufferLen becomes the number of bytes the device really sent.
int32_t ModeSense(int fd, int32_t pageControl, const uint8_t *page, ModeBuffer *modeBuffer,
                  int32_t useTenByte);

// Two-pass fetch of one page's whole mode data. 0: *outBuffer (heap, caller
// frees) and *outLength set; 1: nothing allocated.
int32_t GetModePage10(int fd, int32_t pageControl, const uint8_t *page, uint8_t **outBuffer,
                      uint32_t *outLength);
int32_t GetModePage6(int fd, int32_t pageControl, const uint8_t *page, uint8_t **outBuffer,
                     uint32_t *outLength);

// Reads the Caching page's WCE bit. 0 success, 1 failure (*wceValue untouched).
int32_t GetWce(int fd, int32_t pageControl, uint32_t *wceValue);

// Sets WCE in fetched mode data and sends it back. -1: already wanted value,
// nothing sent; 0: MODE SELECT succeeded; 1: failed.
int32_t ModeSelectWce(int fd, uint32_t wantedWce, uint8_t *cachingPage, ModeBuffer *modeBuffer,
                      int32_t useTenByte);

// Brings WCE to wantedWce by the first method that works, each confirmed by
// a fresh reading. -1: already there; 0: reached; 1: every method failed, or
// the last one was accepted and WCE did not change.
int32_t SetWce(int fd, uint32_t wantedWce);

// ATA SET FEATURES 82h through ATA PASS-THROUGH(16) or (12).
int32_t AtaDisableWriteCache(int fd, int32_t useSixteenByte);

// SYNCHRONIZE CACHE(10) (useTenByte 1) or (16).
int32_t SyncCache(int fd, int32_t useTenByte);

// Flush: (10), falling back to (16). 0 flushed, 1 failed.
int32_t SyncDevice(int fd);

// Kernel view of a whole disk's write cache.
constexpr int KERNEL_WC_BACK = 0;
constexpr int KERNEL_WC_THROUGH = 1;
constexpr int KERNEL_WC_UNKNOWN = 2;
int GetKernelWriteCache(const char *devName);
// The words of queue/write_cache for a KERNEL_WC_* value ("unknown" for
// any other): the one table that reading and showing the view share.
const char *KernelViewText(int view);

// The apply pass's next move on an open target disk, given the kernel's
// view and the drive's WCE (1, 0, or -1 when the Caching page could not be
// read: the switch then still goes on to MODE SELECT). The pass and
// ceph-zarvel-report both decide through it, so they cannot drift apart.
constexpr int WC_MOVE_NONE = 0;
constexpr int WC_MOVE_SWITCH = 1;  // try the switch, then rescan and flush
constexpr int WC_MOVE_RESCAN = 2;  // WCE already 0: only tell the kernel
int NextWriteCacheMove(int view, int32_t driveWce);

// Writes "1" to the disk's device/rescan through the sysfs reader and logs
// the outcome (0 written, 1 not).
void RescanDevice(const char *devName);

// For ceph-zarvel-report too. Opens /dev/<name> as the apply pass does:
// links resolved into resolved (PATH_BUFFER_SIZE bytes at least), then
// read-only and non-blocking. The descriptor (the caller closes it),
// DISK_NODE_MISSING when the path cannot be built or resolved,
// DISK_NODE_OPEN_FAILED when the open failed. Logs nothing.
constexpr int DISK_NODE_MISSING = -1;
constexpr int DISK_NODE_OPEN_FAILED = -2;
int OpenDiskNode(const char *name, char *resolved, uint32_t resolvedLen);

// What one apply pass found, for the service's status line: the target
// disks, and those of them whose drive ended at WCE 0.
struct ApplyTally {
    int32_t targets;
    int32_t off;
};
// One pass over the inventory's rows: every target disk to write-through.
// tally (may be null) is filled from zero.
void ApplyWriteCachePolicy(ApplyTally *tally);
