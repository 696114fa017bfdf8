// strncpy_s and strtok_s.
#include "bounded/bounded.h"

#include <cstdint>
#include <cstring>

// Length of s, but never reading past limit characters.
static size_t BoundedLength(const char *s, size_t limit)
{
    const void *end = memchr(s, '\0', limit);
    return end == nullptr ? limit : static_cast<size_t>(static_cast<const char *>(end) - s);
}

int strncpy_s(char *dest, size_t destSize, const char *src, size_t count)
{
    if (destSize == 0 || destSize > BC_MAX_SIZE) {
        return BC_RANGE;
    }
    if (dest == nullptr) {
        return BC_INVALID;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return BC_INVALID_CLEARED;
    }
    if (count == 0) {
        dest[0] = '\0';
        return BC_OK;
    }
    if (count > BC_MAX_SIZE) {
        dest[0] = '\0';
        return BC_RANGE_CLEARED;
    }
    size_t len;
    if (count < destSize) {
        len = BoundedLength(src, count);
    } else {
        len = BoundedLength(src, destSize);
        if (len == destSize) {
            dest[0] = '\0';
            return BC_RANGE_CLEARED;
        }
    }
    uintptr_t d = reinterpret_cast<uintptr_t>(dest);
    uintptr_t s = reinterpret_cast<uintptr_t>(src);
    // The terminator's position counts as part of both ranges.
    if ((d > s && d <= s + len) || (d < s && d + len >= s)) {
        dest[0] = '\0';
        return BC_OVERLAP_CLEARED;
    }
    if (d != s) {
        memcpy(dest, src, len);
    }
    dest[len] = '\0';
    return BC_OK;
}

char *strtok_s(char *str, const char *delimiters, char **context)
{
    if (context == nullptr || delimiters == nullptr) {
        return nullptr;
    }
    char *p = (str != nullptr) ? str : *context;
    if (p == nullptr) {
        return nullptr;
    }
    p += strspn(p, delimiters);
    if (*p == '\0') {
        *context = p;
        return nullptr;
    }
    char *token = p;
    p += strcspn(p, delimiters);
    if (*p != '\0') {
        *p = '\0';
        *context = p + 1;
    } else {
        *context = p;
    }
    return token;
}
