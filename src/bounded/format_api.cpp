// sprintf_s, snprintf_s, vsprintf_s, vsnprintf_s: argument checks, then the
// engine, then the destination's state for each outcome.
#include "bounded/bounded.h"
#include "bounded/format_engine.h"

// Largest count the counted forms accept: one less than the largest size.
constexpr size_t MAX_COUNT = BC_MAX_SIZE - 1;

// room: the most characters the output may hold. keepCut: a too-long output
// keeps its first room characters (count below destSize) instead of being
// emptied.
static int FormatInto(char *dest, size_t room, bool keepCut, const char *format, va_list args)
{
    va_list ap;
    va_copy(ap, args);
    FmtOut out{dest, static_cast<int32_t>(room)};
    int rc = FormatEngine(&out, format, &ap);
    va_end(ap);
    if (rc >= 0) {
        return rc;
    }
    if (rc != FMT_TOO_LONG || !keepCut) {
        dest[0] = '\0';
    }
    return -1;
}

int vsnprintf_s(char *dest, size_t destSize, size_t count, const char *format, va_list args)
{
    if (dest == nullptr || destSize == 0 || destSize > BC_MAX_SIZE) {
        return -1;
    }
    if (format == nullptr || count > MAX_COUNT) {
        dest[0] = '\0';
        return -1;
    }
    if (count < destSize) {
        return FormatInto(dest, count, true, format, args);
    }
    return FormatInto(dest, destSize - 1, false, format, args);
}

int vsprintf_s(char *dest, size_t destSize, const char *format, va_list args)
{
    if (dest == nullptr || destSize == 0 || destSize > BC_MAX_SIZE) {
        return -1;
    }
    if (format == nullptr) {
        dest[0] = '\0';
        return -1;
    }
    return FormatInto(dest, destSize - 1, false, format, args);
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
