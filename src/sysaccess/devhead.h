// The first bytes of a block device, read so that a device that never
// answers costs a bounded time and never blocks the caller for good.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr int32_t HEAD_OK = 0;             // len bytes read into buf
constexpr int32_t HEAD_FAILED = 1;         // the device answered: an error or fewer bytes (*error: errno or 0)
constexpr int32_t HEAD_CANNOT_ANSWER = 2;  // sysfs shows it cannot answer now (dm/suspended 1, a multipath map with no active path, a path device not running): nothing was read
constexpr int32_t HEAD_NO_ANSWER = 3;      // no answer before the deadline: the read was abandoned
constexpr int32_t HEAD_DEADLINE_MS = 2000;
// Opens the kernel's own node of dev (/dev/<kernel name from sysfs>), checks
// it is that block device, and reads its first len bytes (len <= 4096).
int32_t ReadDeviceHead(dev_t dev, uint8_t *buf, uint32_t len, int32_t deadlineMs, int32_t *error);

// Closes the ring that ReadDeviceHead keeps open from its first read (at
// the process's end: reads it abandoned are then not waited for either).
void CloseHeadRing(void);

struct SysfsDev;
// True when sysfs shows that the device open in sd cannot answer a read now
// (HEAD_CANNOT_ANSWER's cases). A device sysfs says nothing about can answer.
bool DeviceCannotAnswer(const SysfsDev *sd);
