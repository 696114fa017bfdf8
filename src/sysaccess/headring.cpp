// One io_uring for the head reads, set up at the first read and kept until
// CloseHeadRing: tearing a ring down makes the kernel queue work on the
// process that cuts short whatever sleep it is in. Completions are run only
// when the process asks for them (IORING_SETUP_DEFER_TASKRUN, from 6.1), so
// an abandoned read that ends later does not cut a sleep short either.
#include "sysaccess/headring.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "bounded/bounded.h"
#include "sysaccess/devhead.h"

constexpr long HEAD_POLL_NS = 2000000;
constexpr int32_t SLOT_FREE = 0;
constexpr int32_t SLOT_READING = 1;    // in flight, its caller waits
constexpr int32_t SLOT_ENDED = 2;      // ended, result kept for the caller
constexpr int32_t SLOT_ABANDONED = 3;  // in flight, nobody waits

struct HeadSlot {
    int32_t state;
    int32_t result;
    dev_t dev;
};

struct HeadRing {
    int fd;  // -1 while torn down
    void *rings;
    size_t ringsLen;
    io_uring_sqe *sqes;
    size_t sqesLen;
    uint32_t *sqTail;
    uint32_t *sqMask;
    uint32_t *sqArray;
    uint32_t *cqHead;
    uint32_t *cqTail;
    uint32_t *cqMask;
    io_uring_cqe *cqes;
};

static HeadRing g_ring = {-1, MAP_FAILED, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
static HeadSlot g_slots[HEAD_SLOTS];
alignas(HEAD_BLOCK) static uint8_t g_blocks[HEAD_SLOTS][HEAD_BLOCK];

static void TearDownRing(void)
{
    if (g_ring.sqes != nullptr) {
        (void)munmap(g_ring.sqes, g_ring.sqesLen);
    }
    if (g_ring.rings != MAP_FAILED) {
        (void)munmap(g_ring.rings, g_ring.ringsLen);
    }
    if (g_ring.fd >= 0) {
        (void)close(g_ring.fd);
    }
    g_ring = HeadRing{-1, MAP_FAILED, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

template <typename T>
static T *At(const HeadRing &ring, uint32_t offset)
{
    return reinterpret_cast<T *>(static_cast<uint8_t *>(ring.rings) + offset);
}

// -errno of the call that just failed, never 0: a caller must not take a
// failed set-up for a ring.
static int32_t LastError(void)
{
    return errno > 0 ? -errno : -EIO;
}

// 0, or -errno with nothing left set up. Kernels since 5.4 map both rings
// at once; an older one is not served.
static int32_t SetUpRing(void)
{
    io_uring_params params;
    (void)memset_s(&params, sizeof(params), 0, sizeof(params));
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    g_ring.fd = static_cast<int>(syscall(__NR_io_uring_setup, HEAD_SLOTS, &params));
    if (g_ring.fd < 0 && errno == EINVAL) {  // before 6.1: completions come as they end
        (void)memset_s(&params, sizeof(params), 0, sizeof(params));
        g_ring.fd = static_cast<int>(syscall(__NR_io_uring_setup, HEAD_SLOTS, &params));
    }
    if (g_ring.fd < 0 || (params.features & IORING_FEAT_SINGLE_MMAP) == 0) {
        int32_t error = g_ring.fd < 0 ? LastError() : -ENOSYS;
        TearDownRing();
        return error;
    }
    size_t sqLen = params.sq_off.array + params.sq_entries * sizeof(uint32_t);
    size_t cqLen = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    g_ring.ringsLen = sqLen > cqLen ? sqLen : cqLen;
    g_ring.rings = mmap(nullptr, g_ring.ringsLen, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, g_ring.fd,
                        IORING_OFF_SQ_RING);
    g_ring.sqesLen = params.sq_entries * sizeof(io_uring_sqe);
    void *sqes = mmap(nullptr, g_ring.sqesLen, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, g_ring.fd,
                      IORING_OFF_SQES);
    g_ring.sqes = sqes == MAP_FAILED ? nullptr : static_cast<io_uring_sqe *>(sqes);
    if (g_ring.rings == MAP_FAILED || g_ring.sqes == nullptr) {
        int32_t error = LastError();
        TearDownRing();
        return error;
    }
    g_ring.sqTail = At<uint32_t>(g_ring, params.sq_off.tail);
    g_ring.sqMask = At<uint32_t>(g_ring, params.sq_off.ring_mask);
    g_ring.sqArray = At<uint32_t>(g_ring, params.sq_off.array);
    g_ring.cqHead = At<uint32_t>(g_ring, params.cq_off.head);
    g_ring.cqTail = At<uint32_t>(g_ring, params.cq_off.tail);
    g_ring.cqMask = At<uint32_t>(g_ring, params.cq_off.ring_mask);
    g_ring.cqes = At<io_uring_cqe>(g_ring, params.cq_off.cqes);
    return 0;
}

// Takes every completion the kernel has posted.
static void Reap(void)
{
    if (g_ring.fd < 0) {
        return;
    }
    // Runs the completions the kernel deferred; waits for none.
    (void)syscall(__NR_io_uring_enter, g_ring.fd, 0, 0, IORING_ENTER_GETEVENTS, nullptr, 0);
    uint32_t head = *g_ring.cqHead;
    uint32_t tail = __atomic_load_n(g_ring.cqTail, __ATOMIC_ACQUIRE);
    for (; head != tail; ++head) {
        const io_uring_cqe &cqe = g_ring.cqes[head & *g_ring.cqMask];
        if (cqe.user_data < HEAD_SLOTS) {
            HeadSlot &slot = g_slots[cqe.user_data];
            slot.result = cqe.res;
            slot.state = slot.state == SLOT_ABANDONED ? SLOT_FREE : SLOT_ENDED;
        }
    }
    __atomic_store_n(g_ring.cqHead, head, __ATOMIC_RELEASE);
}

int32_t TakeHeadSlot(dev_t dev)
{
    Reap();
    int32_t free = -1;
    for (int32_t i = 0; i < HEAD_SLOTS; ++i) {
        if (g_slots[i].state == SLOT_ABANDONED && g_slots[i].dev == dev) {
            return -1;
        }
        free = free < 0 && g_slots[i].state == SLOT_FREE ? i : free;
    }
    if (free >= 0) {
        g_slots[free] = HeadSlot{SLOT_READING, 0, dev};
    }
    return free;
}

int32_t StartHeadRead(int32_t slot, int fd)
{
    if (g_ring.fd < 0) {
        (void)SetUpRing();
    }
    if (g_ring.fd < 0) {
        // No ring on this host (a kernel without io_uring, or a policy that
        // refuses it): one plain read, which a dead device can hold up,
        // rather than no label at all, which would leave every cache on.
        ssize_t got = pread(fd, g_blocks[slot], HEAD_BLOCK, 0);
        g_slots[slot].result = got < 0 ? -errno : static_cast<int32_t>(got);
        g_slots[slot].state = SLOT_ENDED;
        return 0;
    }
    uint32_t tail = *g_ring.sqTail;
    uint32_t index = tail & *g_ring.sqMask;
    io_uring_sqe &sqe = g_ring.sqes[index];
    (void)memset_s(&sqe, sizeof(sqe), 0, sizeof(sqe));
    sqe.opcode = IORING_OP_READ;
    sqe.fd = fd;
    sqe.addr = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(g_blocks[slot]));
    sqe.len = HEAD_BLOCK;
    sqe.user_data = static_cast<uint64_t>(slot);
    g_ring.sqArray[index] = index;
    __atomic_store_n(g_ring.sqTail, tail + 1, __ATOMIC_RELEASE);
    // The kernel takes its own reference to the file: fd may be closed.
    if (syscall(__NR_io_uring_enter, g_ring.fd, 1, 0, 0, nullptr, 0) == 1) {
        return 0;
    }
    int32_t error = LastError();
    __atomic_store_n(g_ring.sqTail, tail, __ATOMIC_RELEASE);  // not taken: nothing may submit it later
    g_slots[slot].state = SLOT_FREE;
    return error;
}

bool HeadReadEnded(int32_t slot, int32_t *result)
{
    Reap();
    *result = g_slots[slot].result;
    return g_slots[slot].state == SLOT_ENDED;
}

void AwaitHeadRing(int64_t ms)
{
    __kernel_timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    io_uring_getevents_arg arg;
    (void)memset_s(&arg, sizeof(arg), 0, sizeof(arg));
    arg.ts = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&ts));
    // Waits for the ring, not the device: a signal or the time ends it.
    if (g_ring.fd < 0 || syscall(__NR_io_uring_enter, g_ring.fd, 0, 1, IORING_ENTER_GETEVENTS | IORING_ENTER_EXT_ARG,
                                 &arg, sizeof(arg)) >= 0 || errno != EINVAL) {
        return;
    }
    struct timespec pause = {0, HEAD_POLL_NS};  // before 5.11: no timed wait, so a look every 2 ms
    (void)nanosleep(&pause, nullptr);
}

const uint8_t *HeadSlotData(int32_t slot)
{
    return g_blocks[slot];
}

void DropHeadSlot(int32_t slot)
{
    g_slots[slot].state = g_slots[slot].state == SLOT_ENDED ? SLOT_FREE : SLOT_ABANDONED;
}

void CloseHeadRing(void)
{
    TearDownRing();
    // Reads still in flight keep their buffers: their slots stay taken.
    for (HeadSlot &slot : g_slots) {
        slot.state = slot.state == SLOT_ENDED ? SLOT_FREE : slot.state;
    }
}
