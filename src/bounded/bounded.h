// Bounds-checked memory, string and formatted-output functions.
// Every function takes the size of its destination and never writes past it.
// This header depends on nothing else in the project.
#pragma once

#include <cstdarg>
#include <cstddef>

// Largest destination size any function of the layer accepts.
constexpr size_t BC_MAX_SIZE = 0x7fffffffUL;

// Result codes of memset_s, memcpy_s and strncpy_s.
constexpr int BC_OK = 0;
constexpr int BC_INVALID = 22;           // dest is null; dest untouched
constexpr int BC_RANGE = 34;             // destSize is 0 or above BC_MAX_SIZE; dest untouched
constexpr int BC_INVALID_CLEARED = 150;  // src is null; dest cleared
constexpr int BC_RANGE_CLEARED = 162;    // count does not fit; dest cleared (memset_s: filled)
constexpr int BC_OVERLAP_CLEARED = 182;  // src and dest overlap; dest cleared

// The ordinary cases of memset_s and memcpy_s are tested in one step at the
// call site and go straight to the C library; only the other cases call
// into the layer. Nothing outside this header calls the *Rules functions.
int BcMemsetRules(void *dest, size_t destSize, int value, size_t count);
int BcMemcpyRules(void *dest, size_t destSize, const void *src, size_t count);

// Fills the first count bytes of dest with the low byte of value.
inline int memset_s(void *dest, size_t destSize, int value, size_t count)
{
    if (__builtin_expect((dest != nullptr) & (destSize <= BC_MAX_SIZE) & (count <= destSize), 1)) {
        __builtin_memset(dest, value, count);
        return BC_OK;
    }
    return BcMemsetRules(dest, destSize, value, count);
}

// Copies count bytes; on any error the whole destination is zeroed (see codes).
inline int memcpy_s(void *dest, size_t destSize, const void *src, size_t count)
{
    // count - 1 < destSize holds for 1..destSize only; the two distances are
    // both at least count only when the ranges lie apart (dest == src fails).
    __UINTPTR_TYPE__ d = reinterpret_cast<__UINTPTR_TYPE__>(dest);
    __UINTPTR_TYPE__ s = reinterpret_cast<__UINTPTR_TYPE__>(src);
    if (__builtin_expect((dest != nullptr) & (src != nullptr) & (count - 1 < destSize) &
                             (destSize <= BC_MAX_SIZE) & (d - s >= count) & (s - d >= count),
                         1)) {
        __builtin_memcpy(dest, src, count);  // NOLINT(clang-analyzer-unix.cstring.NullArg): tested above
        return BC_OK;
    }
    return BcMemcpyRules(dest, destSize, src, count);
}

// Copies at most count characters of src plus a terminator; on error dest
// becomes the empty string. Bytes after the terminator are left alone.
int strncpy_s(char *dest, size_t destSize, const char *src, size_t count);

// Splits str at any byte of delimiters; position kept in *context.
// Returns the next token or null.
char *strtok_s(char *str, const char *delimiters, char **context);

// Formatted output. Result: characters written (without terminator) or -1.
// sprintf_s: output must fit destSize - 1; too long gives -1 and "".
// snprintf_s: count < destSize cuts the text at count characters (result -1,
// the cut text kept); otherwise as sprintf_s. count above 2147483646 is -1.
int sprintf_s(char *dest, size_t destSize, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int snprintf_s(char *dest, size_t destSize, size_t count, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int vsprintf_s(char *dest, size_t destSize, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
int vsnprintf_s(char *dest, size_t destSize, size_t count, const char *format, va_list args)
    __attribute__((format(printf, 4, 0)));
