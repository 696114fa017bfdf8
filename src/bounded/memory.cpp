// memset_s, memcpy_s: one test for the ordinary case, the full rules after.
#include "bounded/bounded.h"

#include <cstdint>
#include <cstring>

int memset_s(void *dest, size_t destSize, int value, size_t count)
{
    if (__builtin_expect(dest != nullptr && destSize <= BC_MAX_SIZE && count <= destSize, 1)) {
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

int memcpy_s(void *dest, size_t destSize, const void *src, size_t count)
{
    uintptr_t d = reinterpret_cast<uintptr_t>(dest);
    uintptr_t s = reinterpret_cast<uintptr_t>(src);
    // count - 1 < destSize holds for 1..destSize only; d - s and s - d are
    // both at least count only when the ranges are apart (d == s fails too).
    if (__builtin_expect(dest != nullptr && src != nullptr && count - 1 < destSize &&
                             destSize <= BC_MAX_SIZE && d - s >= count && s - d >= count,
                         1)) {
        memcpy(dest, src, count);
        return BC_OK;
    }
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
    if (d != s && RangesOverlap(d, s, count)) {
        memset(dest, 0, destSize);
        return BC_OVERLAP_CLEARED;
    }
    return BC_OK;  // count 0, or dest == src: nothing to copy
}
