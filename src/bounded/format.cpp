// PROVISIONAL: contract wrapper over the C library until the engine lands.
#include "bounded/bounded.h"

#include <cstdio>

int vsnprintf_s(char *dest, size_t destSize, size_t count, const char *format, va_list args)
{
    if (dest == nullptr || destSize == 0 || destSize > BC_MAX_SIZE) {
        return -1;
    }
    if (format == nullptr || count > BC_MAX_SIZE - 1) {
        dest[0] = '\0';
        return -1;
    }
    size_t room = count < destSize ? count : destSize - 1;
    int n = vsnprintf(dest, room + 1, format, args);
    if (n < 0) {
        dest[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(n) > room) {
        if (count >= destSize) {
            dest[0] = '\0';
        }
        return -1;
    }
    return n;
}

int vsprintf_s(char *dest, size_t destSize, const char *format, va_list args)
{
    return vsnprintf_s(dest, destSize, destSize - 1 < BC_MAX_SIZE ? destSize : 0, format, args);
}

int sprintf_s(char *dest, size_t destSize, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int rc = vsprintf_s(dest, destSize, format, args);
    va_end(args);
    return rc;
}

int snprintf_s(char *dest, size_t destSize, size_t count, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int rc = vsnprintf_s(dest, destSize, count, format, args);
    va_end(args);
    return rc;
}
