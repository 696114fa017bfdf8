// The format reader: byte classes, the state table and what entering each
// state does. Conversions themselves live in the other format_*.cpp files.
#include <climits>
#include <cstring>

#include "bounded/format_engine.h"

enum FormatState : uint8_t { ST_TEXT, ST_PERCENT, ST_FLAG, ST_WIDTH, ST_DOT, ST_PRECISION, ST_SIZE, ST_TYPE, ST_INVALID };
enum CharClass : uint8_t { CL_ORDINARY, CL_PERCENT, CL_DOT, CL_STAR, CL_ZERO, CL_DIGIT, CL_FLAG, CL_SIZE, CL_TYPE };

constexpr int32_t DIGIT_LIMIT = 21474836;  // a further digit beyond this is refused
constexpr int32_t ARG_LIMIT = 214748360;   // largest width or precision taken from "*"

struct ClassTable {
    uint8_t of[256];
};

static constexpr ClassTable MakeClassTable()
{
    ClassTable t{};
    const char *sizes = "ILNZhjlqtwz";
    const char *types = "CEFGSXcdefgiopsux";
    for (const char *p = sizes; *p != '\0'; ++p) {
        t.of[static_cast<uint8_t>(*p)] = CL_SIZE;
    }
    for (const char *p = types; *p != '\0'; ++p) {
        t.of[static_cast<uint8_t>(*p)] = CL_TYPE;
    }
    for (char c = '1'; c <= '9'; ++c) {
        t.of[static_cast<uint8_t>(c)] = CL_DIGIT;
    }
    t.of[static_cast<uint8_t>('%')] = CL_PERCENT;
    t.of[static_cast<uint8_t>('.')] = CL_DOT;
    t.of[static_cast<uint8_t>('*')] = CL_STAR;
    t.of[static_cast<uint8_t>('0')] = CL_ZERO;
    t.of[static_cast<uint8_t>(' ')] = CL_FLAG;
    t.of[static_cast<uint8_t>('#')] = CL_FLAG;
    t.of[static_cast<uint8_t>('+')] = CL_FLAG;
    t.of[static_cast<uint8_t>('-')] = CL_FLAG;
    return t;
}

constexpr ClassTable CLASS = MakeClassTable();

// Next state by class (rows) and current state (columns text .. type).
constexpr uint8_t I = ST_INVALID;
constexpr uint8_t NEXT[9][8] = {
    /* ordinary */ {ST_TEXT, I, I, I, I, I, I, ST_TEXT},
    /* percent  */ {ST_PERCENT, ST_TEXT, I, I, I, I, I, ST_PERCENT},
    /* dot      */ {ST_TEXT, ST_DOT, ST_DOT, ST_DOT, I, I, I, ST_TEXT},
    /* star     */ {ST_TEXT, ST_WIDTH, ST_WIDTH, I, ST_PRECISION, I, I, ST_TEXT},
    /* zero     */ {ST_TEXT, ST_FLAG, ST_FLAG, ST_WIDTH, ST_PRECISION, ST_PRECISION, I, ST_TEXT},
    /* digit    */ {ST_TEXT, ST_WIDTH, ST_WIDTH, ST_WIDTH, ST_PRECISION, ST_PRECISION, I, ST_TEXT},
    /* flag     */ {ST_TEXT, ST_FLAG, ST_FLAG, ST_FLAG, I, I, I, ST_TEXT},
    /* size     */ {ST_TEXT, ST_SIZE, ST_SIZE, ST_SIZE, ST_SIZE, ST_SIZE, ST_SIZE, ST_TEXT},
    /* type     */ {ST_TEXT, ST_TYPE, ST_TYPE, ST_TYPE, ST_TYPE, ST_TYPE, ST_TYPE, ST_TEXT},
};

static void SetFlag(FmtSpec *conv, char c)
{
    switch (c) {
    case '-': conv->flags |= FMT_LEFT; break;
    case '+': conv->flags |= FMT_PLUS; break;
    case ' ': conv->flags |= FMT_SPACE; break;
    case '#': conv->flags |= FMT_ALT; break;
    default: conv->flags |= FMT_ZERO; break;
    }
}

// Appends one digit to a width or precision; false once it grows too large.
static bool AppendDigit(int32_t *value, char c)
{
    if (*value > DIGIT_LIMIT) {
        return false;
    }
    *value = *value * 10 + (c - '0');
    return true;
}

static bool TakeWidth(FmtSpec *conv, char c, uint8_t from, va_list *args)
{
    if (c == '*') {
        int64_t w = va_arg(*args, int);
        if (w < 0) {
            conv->flags |= FMT_LEFT;
            w = -w;
        }
        conv->width = static_cast<int32_t>(w > ARG_LIMIT ? 0 : w);
        conv->widthFromArg = true;
        return w <= ARG_LIMIT;
    }
    if (from != ST_WIDTH) {
        conv->width = 0;  // the first digit after "%" or a flag starts anew
        conv->widthFromArg = false;
    } else if (conv->widthFromArg) {
        return true;  // digits behind "*" carry no meaning
    }
    return AppendDigit(&conv->width, c);
}

static bool TakePrecision(FmtSpec *conv, char c, va_list *args)
{
    if (c == '*') {
        int p = va_arg(*args, int);
        conv->precisionFromArg = true;
        conv->precision = p < 0 ? -1 : (p > ARG_LIMIT ? 0 : p);
        return p <= ARG_LIMIT;
    }
    if (conv->precisionFromArg) {
        return true;
    }
    return AppendDigit(&conv->precision, c);
}

// Reads the size letters at *at (the pointer is left on the last one read).
// Returns false for an "I" that starts no size.
static bool TakeSize(FmtSpec *conv, const char **at)
{
    const char *p = *at;
    switch (*p) {
    case 'h':
        conv->sizes |= (p[1] == 'h') ? FMT_SZ_HH : FMT_SZ_H;
        p += (p[1] == 'h');
        break;
    case 'l':
        conv->sizes |= (p[1] == 'l') ? FMT_SZ_LL : FMT_SZ_L;
        p += (p[1] == 'l');
        break;
    case 'L':
    case 'q': conv->sizes |= FMT_SZ_LL | FMT_SZ_LDBL; break;
    case 'w': conv->sizes |= FMT_SZ_WIDE; break;
    case 'N': break;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            conv->sizes |= FMT_SZ_I64;
            p += 2;
        } else if (p[1] == '3' && p[2] == '2') {
            conv->sizes &= ~FMT_SZ_I64;
            p += 2;
        } else if (p[1] != '\0' && strchr("dioxXu", p[1]) != nullptr) {
            conv->sizes |= FMT_SZ_I64;
        } else {
            return false;
        }
        break;
    default: conv->sizes |= FMT_SZ_WORD; break;  // j z Z t
    }
    *at = p;
    return true;
}

static int Convert(FmtOut *out, FmtSpec *conv, va_list *args, char *area)
{
    switch (conv->type) {
    case 'c':
    case 's':
    case 'C':
    case 'S': return ConvertText(out, conv, args);
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G': return ConvertFloat(out, conv, args, area);
    default: return ConvertInteger(out, conv, args, area);
    }
}

// Copies format text up to the next "%" or the end and returns where it
// stopped. Short runs, the usual case, go byte by byte; the rest of a long
// run is found with the C library and copied in one block.
static const char *CopyText(FmtOut *out, const char *p, bool *fits)
{
    constexpr int SHORT_RUN = 16;
    char *cur = out->cur;
    int32_t room = out->room;
    for (int k = 0; k < SHORT_RUN; ++k, ++p) {
        char c = *p;
        if (c == '%' || c == '\0' || room == 0) {
            *fits = (c == '%' || c == '\0');
            out->cur = cur;
            out->room = room;
            return p;
        }
        *cur++ = c;
        --room;
    }
    out->cur = cur;
    out->room = room;
    const char *end = strchrnul(p, '%');
    *fits = PutText(out, p, static_cast<size_t>(end - p));
    return end;
}

static int RunFormat(FmtOut *out, const char *p, va_list *args)
{
    char area[FMT_AREA_SIZE];  // written before it is read, by each conversion
    FmtSpec conv{};
    uint8_t state = ST_TEXT;
    bool fits = true;
    for (;;) {
        if (state == ST_TEXT) {
            p = CopyText(out, p, &fits);
            if (!fits) {
                return FMT_TOO_LONG;
            }
            if (*p == '\0') {
                return FMT_OK;
            }
            conv = FmtSpec{0, 0, 0, -1, false, false, 0};
            state = ST_PERCENT;
            ++p;
            continue;
        }
        char c = *p;
        if (c == '\0') {
            return FMT_INVALID;  // a conversion left open
        }
        uint8_t next = NEXT[CLASS.of[static_cast<uint8_t>(c)]][state];
        int rc = FMT_OK;
        switch (next) {
        case ST_TEXT: rc = PutChar(out, c) ? FMT_OK : FMT_TOO_LONG; break;
        case ST_FLAG: SetFlag(&conv, c); break;
        case ST_WIDTH: rc = TakeWidth(&conv, c, state, args) ? FMT_OK : FMT_INVALID; break;
        case ST_DOT: conv.precision = 0; break;
        case ST_PRECISION: rc = TakePrecision(&conv, c, args) ? FMT_OK : FMT_INVALID; break;
        case ST_SIZE:
            if (!TakeSize(&conv, &p)) {
                // A stray "I" is text, the conversion so far is dropped,
                // and the byte behind it is read again in the text state.
                rc = PutChar(out, 'I') ? FMT_OK : FMT_TOO_LONG;
                next = ST_TEXT;
            }
            break;
        case ST_TYPE:
            conv.type = c;
            rc = Convert(out, &conv, args, area);
            next = ST_TEXT;
            break;
        default: rc = FMT_INVALID; break;
        }
        if (rc != FMT_OK) {
            return rc;
        }
        state = next;
        ++p;
    }
}

int FormatEngine(FmtOut *out, const char *format, va_list *args)
{
    char *start = out->cur;
    int rc = RunFormat(out, format, args);
    *out->cur = '\0';
    return rc == FMT_OK ? static_cast<int>(out->cur - start) : rc;
}
