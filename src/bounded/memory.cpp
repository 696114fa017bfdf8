// memset_s, memcpy_s: everything but the ordinary case, which the header
// handles inline. The rules run in order; the first that applies decides.
#include <cstdint>
#include <cstring>

#include "bounded/bounded.h"

int BcMemsetRules(void *dest, size_t destSize, int value, size_t count)
{
    if (dest != nullptr && destSize <= BC_MAX_SIZE && count <= destSize) {
        memset(dest, value, count);
        return BC_OK;
    }
    if (destSize == 0 || destSize > BC_MAX_SIZE) {
        return BC_RANGE;
    }
    if (dest == nullptr) {
        return BC_INVALID;
    }
    memset(dest, value, destSize);
    return BC_RANGE_CLEARED;
}

// Distances instead of sums, so that a range near the top of the address
// space cannot wrap around and pass for a distant one.
static bool RangesOverlap(uintptr_t a, uintptr_t b, size_t count)
{
    return (a > b && a - b < count) || (b > a && b - a < count);
}

int BcMemcpyRules(void *dest, size_t destSize, const void *src, size_t count)
{
    if (destSize == 0 || destSize > BC_MAX_SIZE) {
        return BC_RANGE;
    }
    if (dest == nullptr) {
        return BC_INVALID;
    }
    if (src == nullptr) {
        memset(dest, 0, destSize);
        return BC_INVALID_CLEARED;
    }
    if (count > destSize) {
        memset(dest, 0, destSize);
        return BC_RANGE_CLEARED;
    }
    uintptr_t d = reinterpret_cast<uintptr_t>(dest);
    uintptr_t s = reinterpret_cast<uintptr_t>(src);
    if (d != s && RangesOverlap(d, s, count)) {
        memset(dest, 0, destSize);
        return BC_OVERLAP_CLEARED;
    }
    if (count != 0 && d != s) {
        memcpy(dest, src, count);  // only reached when called directly
    }
    return BC_OK;
}
