// The reads behind ReadDeviceHead: O_DIRECT reads of a device's first block
// through an io_uring. A read that does not end in time is abandoned, not
// cancelled: the kernel still owns its buffer and still holds the device's
// file until it ends, so the process never waits for it, neither in a close
// nor at its exit (an abandoned io_uring request is not waited for there,
// unlike a Linux AIO one). Private to the sysaccess layer.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr uint32_t HEAD_BLOCK = 4096;  // the largest logical block size: any O_DIRECT read of it is aligned
constexpr int32_t HEAD_SLOTS = 16;     // reads at once, abandoned ones included

// A free slot for a read of dev: -1 when every slot is taken or an abandoned
// read of dev is still in flight (the device has not answered that one yet).
int32_t TakeHeadSlot(dev_t dev);
// Starts the read of the first HEAD_BLOCK bytes of fd (opened O_DIRECT) into
// the slot. 0, or -errno when it could not be started (the slot is free again).
int32_t StartHeadRead(int32_t slot, int fd);
// True once the slot's read has ended: *result is the byte count or -errno.
bool HeadReadEnded(int32_t slot, int32_t *result);
const uint8_t *HeadSlotData(int32_t slot);
// Waits up to ms for any read of the ring to end (a signal ends it early).
void AwaitHeadRing(int64_t ms);
// Frees an ended slot, or leaves an unended one to be freed when it ends.
void DropHeadSlot(int32_t slot);
