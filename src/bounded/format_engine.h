// The formatting engine shared by sprintf_s and friends. Internal to the
// bounded layer: nothing outside src/bounded includes this.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Engine outcomes besides a non-negative length.
constexpr int FMT_OK = 0;
constexpr int FMT_INVALID = -1;   // the format string is not acceptable
constexpr int FMT_TOO_LONG = -2;  // a character found no room

// Size of the integer digit area and of the on-stack floating scratch area.
constexpr int FMT_AREA_SIZE = 512;

// Flags of one conversion.
constexpr uint32_t FMT_LEFT = 1u << 0;   // "-"
constexpr uint32_t FMT_PLUS = 1u << 1;   // "+"
constexpr uint32_t FMT_SPACE = 1u << 2;  // " "
constexpr uint32_t FMT_ALT = 1u << 3;    // "#"
constexpr uint32_t FMT_ZERO = 1u << 4;   // "0"

// Size marks; several may be set at once and the integer reader ranks them.
constexpr uint32_t FMT_SZ_HH = 1u << 0;
constexpr uint32_t FMT_SZ_H = 1u << 1;
constexpr uint32_t FMT_SZ_L = 1u << 2;     // "l": 64 bits, wide with c and s
constexpr uint32_t FMT_SZ_LL = 1u << 3;    // "ll", "L", "q"
constexpr uint32_t FMT_SZ_I64 = 1u << 4;   // "I64", "I" before an integer type
constexpr uint32_t FMT_SZ_WORD = 1u << 5;  // "j", "z", "Z", "t"
constexpr uint32_t FMT_SZ_WIDE = 1u << 6;  // "w"
constexpr uint32_t FMT_SZ_LDBL = 1u << 7;  // "L", "q" before a floating type
constexpr uint32_t FMT_SZ_64 = FMT_SZ_L | FMT_SZ_LL | FMT_SZ_I64;

// One conversion as the state machine has read it.
struct FmtSpec {
    uint32_t flags;
    uint32_t sizes;
    int32_t width;
    int32_t precision;  // -1 when absent
    bool widthFromArg;
    bool precisionFromArg;
    char type;
};

// Where the next character goes and how many more fit.
struct FmtOut {
    char *cur;
    int32_t room;
};

// Each Put* returns false as soon as one character finds no room; the
// characters that did fit stay written, so a cut output keeps its head.
inline bool PutChar(FmtOut *out, char c)
{
    if (out->room <= 0) {
        return false;
    }
    *out->cur++ = c;
    --out->room;
    return true;
}

inline bool PutRepeat(FmtOut *out, char c, size_t n)
{
    size_t take = n <= static_cast<size_t>(out->room) ? n : static_cast<size_t>(out->room);
    memset(out->cur, c, take);
    out->cur += take;
    out->room -= static_cast<int32_t>(take);
    return take == n;
}

inline bool PutText(FmtOut *out, const char *text, size_t n)
{
    if (n <= static_cast<size_t>(out->room)) {
        if (n > 11) {
            memcpy(out->cur, text, n);  // long text in one block
            out->cur += n;
        } else {
            for (size_t i = 0; i < n; ++i) {
                *out->cur++ = text[i];
            }
        }
        out->room -= static_cast<int32_t>(n);
        return true;
    }
    for (; out->room > 0; --out->room) {  // the part that fits stays
        *out->cur++ = *text++;
    }
    return false;
}

// Runs the whole format into out->cur with out->room characters at most and
// always leaves a terminator at the place reached. Returns the length
// written, FMT_INVALID or FMT_TOO_LONG. args is consumed.
int FormatEngine(FmtOut *out, const char *format, va_list *args);

// The conversions; each returns FMT_OK, FMT_INVALID or FMT_TOO_LONG.
// area is the engine's FMT_AREA_SIZE-byte scratch space.
int ConvertInteger(FmtOut *out, FmtSpec *conv, va_list *args, char *area);
int ConvertText(FmtOut *out, const FmtSpec *conv, va_list *args);
int ConvertFloat(FmtOut *out, const FmtSpec *conv, va_list *args, char *area);

// Width less text less prefix, when positive.
inline size_t FieldFill(const FmtSpec *conv, size_t textLen, size_t prefixLen)
{
    size_t used = textLen + prefixLen;
    size_t width = static_cast<size_t>(conv->width);
    return width > used ? width - used : 0;
}

// What goes in front of a text of textLen units: fill as spaces unless "-"
// or zero fill applies, the prefix, then the zero fill. zeroFill says
// whether "0" may fill this conversion at all.
inline bool PutFieldHead(FmtOut *out, const FmtSpec *conv, size_t textLen, const char *prefix,
                         size_t prefixLen, bool zeroFill)
{
    size_t fill = FieldFill(conv, textLen, prefixLen);
    bool left = (conv->flags & FMT_LEFT) != 0;
    bool zeros = zeroFill && !left && (conv->flags & FMT_ZERO) != 0;
    if (fill != 0 && !left && !zeros && !PutRepeat(out, ' ', fill)) {
        return false;
    }
    if (!PutText(out, prefix, prefixLen)) {
        return false;
    }
    return !zeros || PutRepeat(out, '0', fill);
}

// The fill behind the text of a left-justified field.
inline bool PutFieldTail(FmtOut *out, const FmtSpec *conv, size_t textLen, size_t prefixLen)
{
    return (conv->flags & FMT_LEFT) == 0 || PutRepeat(out, ' ', FieldFill(conv, textLen, prefixLen));
}

// The whole field around a narrow text.
inline bool PutField(FmtOut *out, const FmtSpec *conv, const char *prefix, size_t prefixLen, const char *text,
                     size_t textLen, bool zeroFill)
{
    return PutFieldHead(out, conv, textLen, prefix, prefixLen, zeroFill) && PutText(out, text, textLen) &&
           PutFieldTail(out, conv, textLen, prefixLen);
}
