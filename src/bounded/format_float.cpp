// Floating conversions: e E f F g G, made by the C library's own printf in
// a scratch area sized for the largest text the value can give.
#include <cstdio>
#include <cstdlib>

#include "bounded/format_engine.h"

// Scratch room beyond the precision for the integer digits, sign, point and
// exponent of the widest double and long double.
constexpr size_t DOUBLE_EXTRA = 351;
constexpr size_t LONG_DOUBLE_EXTRA = 4974;
// Precisions beyond these would push the area past what a signed 32-bit
// size can describe.
constexpr int32_t DOUBLE_PRECISION_LIMIT = 214748011;
constexpr int32_t LONG_DOUBLE_PRECISION_LIMIT = 214743388;

static size_t AreaSize(const FmtSpec *conv, bool longDouble)
{
    size_t precision = conv->precision < 0 ? 6 : static_cast<size_t>(conv->precision);
    size_t size = precision + (longDouble ? LONG_DOUBLE_EXTRA : DOUBLE_EXTRA);
    size_t width = static_cast<size_t>(conv->width);
    return width > size ? width + 2 : size;
}

// The C library's conversion for the same conversion. Width and
// precision always go as "*" values, and of the size letters only "L" means
// anything to it, so the text stays short: at most 12 bytes.
static void BuildSpec(char *fmt, const FmtSpec *conv, bool longDouble)
{
    static const struct {
        uint32_t flag;
        char c;
    } FLAGS[] = {{FMT_LEFT, '-'}, {FMT_PLUS, '+'}, {FMT_SPACE, ' '}, {FMT_ALT, '#'}, {FMT_ZERO, '0'}};
    *fmt++ = '%';
    for (const auto &f : FLAGS) {
        if ((conv->flags & f.flag) != 0) {
            *fmt++ = f.c;
        }
    }
    memcpy(fmt, "*.*", 3);
    fmt += 3;
    if (longDouble) {
        *fmt++ = 'L';
    }
    *fmt++ = conv->type;
    *fmt = '\0';
}

// Formats into area (size bytes); returns the length or -1 when the C
// library fails or the text would not fit.
static int FormatValue(char *area, size_t size, const char *fmt, const FmtSpec *conv, bool longDouble,
                long double ldValue, double dValue)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = longDouble ? snprintf(area, size, fmt, conv->width, conv->precision, ldValue)
                       : snprintf(area, size, fmt, conv->width, conv->precision, dValue);
#pragma GCC diagnostic pop
    return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : n;
}

int ConvertFloat(FmtOut *out, const FmtSpec *conv, va_list *args, char *area)
{
    bool longDouble = (conv->sizes & FMT_SZ_LDBL) != 0;
    long double ldValue = 0;
    double dValue = 0;
    if (longDouble) {
        ldValue = va_arg(*args, long double);
    } else {
        dValue = va_arg(*args, double);
    }
    // Every failure below drops the field and lets the format go on.
    if (conv->precision > (longDouble ? LONG_DOUBLE_PRECISION_LIMIT : DOUBLE_PRECISION_LIMIT)) {
        return FMT_OK;
    }
    size_t size = AreaSize(conv, longDouble);
    char *heap = nullptr;
    if (size > FMT_AREA_SIZE) {
        heap = static_cast<char *>(malloc(size));
        if (heap == nullptr) {
            return FMT_OK;
        }
        area = heap;
    }
    char fmt[16];
    BuildSpec(fmt, conv, longDouble);
    int n = FormatValue(area, size, fmt, conv, longDouble, ldValue, dValue);
    bool fits = n < 0 || PutText(out, area, static_cast<size_t>(n));
    free(heap);
    return fits ? FMT_OK : FMT_TOO_LONG;
}
