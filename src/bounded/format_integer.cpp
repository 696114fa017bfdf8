// Integer and pointer conversions: d i u o x X p.
#include "bounded/format_engine.h"

static const char LOWER_DIGITS[] = "0123456789abcdefx";
static const char UPPER_DIGITS[] = "0123456789ABCDEFX";

// The widest mark decides: 64-bit marks, then "hh", then "h", then the
// word-sized letters, else int.
static int64_t ReadSigned(uint32_t sizes, va_list *args)
{
    if ((sizes & FMT_SZ_64) != 0) {
        return va_arg(*args, long long);
    }
    if ((sizes & FMT_SZ_HH) != 0) {
        return static_cast<signed char>(va_arg(*args, int));
    }
    if ((sizes & FMT_SZ_H) != 0) {
        return static_cast<short>(va_arg(*args, int));
    }
    if ((sizes & FMT_SZ_WORD) != 0) {
        return va_arg(*args, long long);
    }
    return va_arg(*args, int);
}

static uint64_t ReadUnsigned(uint32_t sizes, va_list *args)
{
    if ((sizes & FMT_SZ_64) != 0) {
        return va_arg(*args, unsigned long long);
    }
    if ((sizes & FMT_SZ_HH) != 0) {
        return static_cast<unsigned char>(va_arg(*args, unsigned int));
    }
    if ((sizes & FMT_SZ_H) != 0) {
        return static_cast<unsigned short>(va_arg(*args, unsigned int));
    }
    if ((sizes & FMT_SZ_WORD) != 0) {
        return va_arg(*args, unsigned long long);
    }
    return va_arg(*args, unsigned int);
}

// Decimal digits two at a time: the pair for n is at PAIRS + 2 * n.
static const char PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

template <class T>
static char *PutDecimal(char *s, T value)
{
    while (value >= 100) {
        T pair = value % 100;
        value /= 100;
        s -= 2;
        memcpy(s, PAIRS + 2 * pair, 2);
    }
    if (value >= 10) {
        s -= 2;
        memcpy(s, PAIRS + 2 * value, 2);
    } else if (value != 0) {
        *--s = static_cast<char>('0' + value);
    }
    return s;
}

// Writes the digits of value leftwards ending at end and returns the first;
// a value 0 gives no digits (the caller adds what the precision asks).
static char *PutDigits(char *end, uint64_t value, unsigned base, const char *digits)
{
    if (base == 10) {
        // 32-bit division is the cheaper one when the value allows it.
        return value <= UINT32_MAX ? PutDecimal(end, static_cast<uint32_t>(value)) : PutDecimal(end, value);
    }
    unsigned shift = (base == 16) ? 4 : 3;
    char *s = end;
    for (; value != 0; value >>= shift) {
        *--s = digits[value & (base - 1)];
    }
    return s;
}

static unsigned BaseOf(char type)
{
    switch (type) {
    case 'o': return 8;
    case 'x':
    case 'X':
    case 'p': return 16;
    default: return 10;
    }
}

int ConvertInteger(FmtOut *out, FmtSpec *conv, va_list *args, char *area)
{
    char prefix[2];
    size_t prefixLen = 0;
    uint64_t value;
    int32_t precision = conv->precision;
    if (conv->type == 'p') {
        const void *ptr = va_arg(*args, const void *);
        if (ptr == nullptr) {
            return PutField(out, conv, nullptr, 0, "(nil)", 5, false) ? FMT_OK : FMT_TOO_LONG;
        }
        value = reinterpret_cast<uintptr_t>(ptr);
        prefix[prefixLen++] = '0';
        prefix[prefixLen++] = 'x';
        precision = -1;
    } else if (conv->type == 'd' || conv->type == 'i') {
        int64_t v = ReadSigned(conv->sizes, args);
        value = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        if (v < 0 || (conv->flags & (FMT_PLUS | FMT_SPACE)) != 0) {
            prefix[prefixLen++] = v < 0 ? '-' : ((conv->flags & FMT_PLUS) != 0 ? '+' : ' ');
        }
    } else {
        value = ReadUnsigned(conv->sizes, args);
    }
    if (precision >= 0) {
        conv->flags &= ~FMT_ZERO;
        precision = precision > FMT_AREA_SIZE ? FMT_AREA_SIZE : precision;
    }
    const char *digits = conv->type == 'X' ? UPPER_DIGITS : LOWER_DIGITS;
    char *end = area + FMT_AREA_SIZE;
    char *s = PutDigits(end, value, BaseOf(conv->type), digits);
    // Without a precision at least one digit; "%.0d" of 0 gives none.
    int32_t least = precision < 0 ? 1 : precision;
    while (end - s < least) {
        *--s = '0';
    }
    if ((conv->flags & FMT_ALT) != 0) {
        if (conv->type == 'o' && (s == end || *s != '0') && s > area) {
            *--s = '0';
        } else if ((conv->type == 'x' || conv->type == 'X') && value != 0) {
            prefix[prefixLen++] = '0';
            prefix[prefixLen++] = digits[16];
        }
    }
    return PutField(out, conv, prefix, prefixLen, s, static_cast<size_t>(end - s), true) ? FMT_OK : FMT_TOO_LONG;
}
