// Character and string conversions, narrow and wide: c s C S.
#include <climits>
#include <cwchar>

#include "bounded/format_engine.h"

// A wide string longer than this counts as empty.
constexpr size_t WIDE_LIMIT = 536870911;

static const char NULL_TEXT[] = "(null)";
static const wchar_t NULL_WIDE[] = L"(null)";

// "C" and "S" are wide unless a size says otherwise; "h" alone makes any of
// the four narrow, "l" or "w" wide.
static bool IsWide(const FmtSpec *conv)
{
    if ((conv->sizes & (FMT_SZ_L | FMT_SZ_WIDE)) != 0) {
        return true;
    }
    return (conv->type == 'C' || conv->type == 'S') && (conv->sizes & FMT_SZ_H) == 0;
}

// One wide character in its multibyte form; false when the locale cannot
// write it. A private conversion state keeps concurrent calls apart.
static bool PutWide(FmtOut *out, wchar_t wc, bool *fits)
{
    char bytes[MB_LEN_MAX];
    mbstate_t state;
    memset(&state, 0, sizeof(state));
    size_t n = wcrtomb(bytes, wc, &state);
    if (n == static_cast<size_t>(-1)) {
        return false;
    }
    *fits = PutText(out, bytes, n);
    return true;
}

// Width and precision count wide characters, not the bytes they become.
static int PutWideText(FmtOut *out, const FmtSpec *conv, const wchar_t *text, size_t len)
{
    if (!PutFieldHead(out, conv, len, nullptr, 0, false)) {
        return FMT_TOO_LONG;
    }
    for (size_t i = 0; i < len; ++i) {
        bool fits = true;
        if (!PutWide(out, text[i], &fits)) {
            return FMT_INVALID;
        }
        if (!fits) {
            return FMT_TOO_LONG;
        }
    }
    return PutFieldTail(out, conv, len, 0) ? FMT_OK : FMT_TOO_LONG;
}

static int ConvertWide(FmtOut *out, const FmtSpec *conv, va_list *args)
{
    if (conv->type == 'c' || conv->type == 'C') {
        wchar_t wc = static_cast<wchar_t>(va_arg(*args, wint_t));
        return PutWideText(out, conv, &wc, 1);
    }
    const wchar_t *text = va_arg(*args, const wchar_t *);
    if (text == nullptr) {
        text = NULL_WIDE;
    }
    size_t len;
    if (conv->precision >= 0) {
        len = wcsnlen(text, static_cast<size_t>(conv->precision));
    } else {
        len = wcsnlen(text, WIDE_LIMIT + 1);
        len = len > WIDE_LIMIT ? 0 : len;
    }
    return PutWideText(out, conv, text, len);
}

int ConvertText(FmtOut *out, const FmtSpec *conv, va_list *args)
{
    if (IsWide(conv)) {
        return ConvertWide(out, conv, args);
    }
    if (conv->type == 'c' || conv->type == 'C') {
        char c = static_cast<char>(va_arg(*args, int));
        return PutField(out, conv, nullptr, 0, &c, 1, false) ? FMT_OK : FMT_TOO_LONG;
    }
    const char *text = va_arg(*args, const char *);
    if (text == nullptr) {
        text = NULL_TEXT;
    }
    size_t len = conv->precision >= 0 ? strnlen(text, static_cast<size_t>(conv->precision)) : strlen(text);
    return PutField(out, conv, nullptr, 0, text, len, false) ? FMT_OK : FMT_TOO_LONG;
}
